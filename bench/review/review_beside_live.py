#!/usr/bin/env python3
"""A picture of a review beside the live window at the same moment.

Usage: review_beside_live.py BIN_DIR OUT.png

The simulator (protocol 2) through velt-capture into the program's COM1; at about 20 s
the screen is taken (the live window). Then the program opens the capture: Right moves
10 s at a time, the rest is played at 1x, and the screen is taken again (the review).
The two pictures go side by side into OUT.png (taken and joined with Debian's
python3-pil, run by /usr/bin/python3).
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))
from e2e_support import close_main_window, rerun_under_xvfb, wait_for  # noqa: E402


def pil(code):
    """Runs Python code with Pillow's Image and ImageGrab (Debian's python3-pil)."""
    subprocess.check_call(["/usr/bin/python3", "-c",
                           "from PIL import Image, ImageGrab\n" + code])


def grab(path):
    """The whole X screen of $DISPLAY into a PNG."""
    pil(f"ImageGrab.grab(xdisplay=None).save({path!r})")


def main():
    bin_dir, out = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    code = rerun_under_xvfb()
    if code is not None:
        return code
    work = tempfile.mkdtemp(prefix="velt-review-shot-")
    try:
        os.makedirs(os.path.join(work, "configuration", "dosdevices"))
        exe = os.path.join(work, "velt-monitoring")
        shutil.copy2(os.path.join(bin_dir, "velt-monitoring"), exe)
        with open(os.path.join(work, "configuration", "VELTMonitoring.ini"), "w") as f:
            f.write("[connection]\nport=COM1\nprotocol=2\n")
        entry = os.path.join(work, "configuration", "dosdevices", "com1")
        device, capture = os.path.join(work, "device"), os.path.join(work, "night.vcap")
        sim = subprocess.Popen([os.path.join(bin_dir, "oximeter-sim"), "--protocol", "2",
                                "--seconds", "40", "--map", device],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.lexists(device), 5)
        tap = subprocess.Popen([os.path.join(bin_dir, "velt-capture"), "--device", device,
                                "--map", entry, "--protocol", "2", "--out", capture],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.lexists(entry), 5)
        live = subprocess.Popen([exe], cwd=work, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(20)
        shot_unix = time.time()
        grab(os.path.join(work, "live.png"))
        sim.wait(timeout=60)
        close_main_window("VELT Monitoring")
        live.wait(timeout=10)
        tap.send_signal(signal.SIGTERM)
        tap.wait(timeout=10)

        with open(capture, "rb") as f:
            start_us = struct.unpack("<q", f.read(24)[16:24])[0]
        at = shot_unix - start_us / 1e6
        review = subprocess.Popen([exe, capture], cwd=work, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        time.sleep(4)
        subprocess.call(["xdotool", "mousemove", "400", "300"])
        tens = int(at // 10)
        for _ in range(tens):
            subprocess.call(["xdotool", "key", "Right"])
        time.sleep(0.5)
        subprocess.call(["xdotool", "key", "space"])
        time.sleep(at - tens * 10)
        subprocess.call(["xdotool", "key", "space"])
        time.sleep(1)
        grab(os.path.join(work, "review.png"))
        close_main_window("VELT Monitoring")
        review.wait(timeout=10)
        pil(f"a, b = Image.open({os.path.join(work, 'live.png')!r}), "
            f"Image.open({os.path.join(work, 'review.png')!r})\n"
            "both = Image.new('RGB', (a.width + b.width, max(a.height, b.height)), 'white')\n"
            "both.paste(a, (0, 0)); both.paste(b, (a.width, 0))\n"
            f"both.save({out!r})")
        print(f"live at {at:.2f} s of the session; {out}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
