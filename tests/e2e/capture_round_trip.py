#!/usr/bin/env python3
"""Capture and replay through the real program under Xvfb.

Usage: capture_round_trip.py BIN_DIR [SECONDS]   (SECONDS of device time, 15)

Run 1: the simulator as the device (protocol 2, fixed seed, line faults), velt-capture
between it and the program's COM1, the program on COM1. Run 2: oximeter-sim --replay
of that capture into a second program with its own directory. Checks: the logs of
both runs (fTxtLog.txt, Maxima.txt, CM_Maxima.txt, dumpWL1617.txt) are identical and
not empty, both count the same frames, and the replay reports that the answers match.
Exit 77 when no X server can be had.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import check, close_main_window, failures, rerun_under_xvfb, wait_for  # noqa: E402

SIM_FAULTS = ["--bad-checksum", "0.02", "--drop-byte", "0.01", "--cut-frame", "0.01", "--burst"]
LOGS = ["fTxtLog.txt", "Maxima.txt", "CM_Maxima.txt", "dumpWL1617.txt"]
STATS = re.compile(r"Link statistics COM1: bytes (\d+), frames (\d+), bad checksums (\d+)")

def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


class Program:
    """The program in a directory of its own, on COM1 with protocol 2."""

    def __init__(self, bin_dir, work, name):
        self.dir = os.path.join(work, name)
        os.makedirs(os.path.join(self.dir, "configuration", "dosdevices"))
        self.exe = os.path.join(self.dir, "velt-monitoring")
        try:
            os.link(os.path.join(bin_dir, "velt-monitoring"), self.exe)
        except OSError:
            shutil.copy2(os.path.join(bin_dir, "velt-monitoring"), self.exe)
        with open(os.path.join(self.dir, "configuration", "VELTMonitoring.ini"), "w") as f:
            f.write("[connection]\nport=COM1\nprotocol=2\n")
        self.entry = os.path.join(self.dir, "configuration", "dosdevices", "com1")
        self.debug_path = os.path.join(self.dir, "debug.txt")
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen([self.exe], cwd=self.dir, stdout=subprocess.DEVNULL,
                                     stderr=open(self.debug_path, "w"))

    def wait_quiet(self):
        """Until the program has logged nothing new for a second (it may lag on a busy machine)."""
        path, last, since = os.path.join(self.dir, "fTxtLog.txt"), -1, time.monotonic()
        deadline = since + 20
        while time.monotonic() < deadline and time.monotonic() - since < 1.0:
            size = os.path.getsize(path) if os.path.exists(path) else 0
            if size != last:
                last, since = size, time.monotonic()
            time.sleep(0.1)

    def close(self, label):
        check(self.proc.poll() is None, f"{label}: the program ran to the end")
        check(close_main_window("VELT Monitoring"), f"{label}: the main window was asked to close")
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            check(False, f"{label}: the program ends within 5 s of closing its window")
            self.proc.kill()
            self.proc.wait()

    def frames(self):
        m = STATS.findall(read(self.debug_path).decode(errors="replace"))
        # Bytes may differ by what arrived before the program emptied its input on
        # opening; frames and bad checksums may not.
        return tuple(int(v) for v in m[-1][1:]) if m else None


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2] if len(sys.argv) > 2 else 15)
    code = rerun_under_xvfb()
    if code is not None:
        return code

    work = tempfile.mkdtemp(prefix="velt-e2e-", dir=os.path.dirname(bin_dir))
    try:
        capture = os.path.join(work, "wire.cap")
        sim_link = os.path.join(work, "device")
        first, second = Program(bin_dir, work, "run1"), Program(bin_dir, work, "run2")

        # Run 1: device, tap, program.
        sim = subprocess.Popen(
            [os.path.join(bin_dir, "oximeter-sim"), "--protocol", "2", "--seed", "18",
             "--seconds", str(seconds), "--map", sim_link] + SIM_FAULTS,
            stdout=open(os.path.join(work, "sim.out"), "w"), stderr=subprocess.STDOUT)
        sim_started = time.monotonic()
        check(wait_for(lambda: os.path.lexists(sim_link), 5), "the simulator mapped its port")
        tap_out = os.path.join(work, "tap.out")
        tap = subprocess.Popen(
            [os.path.join(bin_dir, "velt-capture"), "--device", sim_link, "--map", first.entry,
             "--protocol", "2", "--out", capture],
            stdout=open(tap_out, "w"), stderr=subprocess.STDOUT)
        check(wait_for(lambda: os.path.lexists(first.entry), 5), "the tap mapped COM1")
        first.start()
        try:
            sim.wait(timeout=seconds + 30)
        except subprocess.TimeoutExpired:
            check(False, "the simulator ends after its device time")
            sim.kill()
        ran = time.monotonic() - sim_started
        check(ran >= seconds, f"the simulator played its {seconds:.0f} s ({ran:.1f} s)")
        print(read(os.path.join(work, "sim.out")).decode(errors="replace"), end="", flush=True)
        first.wait_quiet()
        first.close("run 1")
        tap.send_signal(signal.SIGTERM)
        tap.wait(timeout=10)
        print(read(tap_out).decode(errors="replace"), end="", flush=True)
        check(os.path.getsize(capture) > 0 if os.path.exists(capture) else False,
              "the tap wrote a capture")

        # Run 2: the capture replayed into a second program.
        replay_out = os.path.join(work, "replay.out")
        replay = subprocess.Popen(
            [os.path.join(bin_dir, "oximeter-sim"), "--replay", capture, "--map", second.entry],
            stdout=open(replay_out, "w"), stderr=subprocess.STDOUT)
        check(wait_for(lambda: os.path.lexists(second.entry), 5), "the replay mapped COM1")
        second.start()
        try:
            replay.wait(timeout=seconds + 30)
        except subprocess.TimeoutExpired:
            check(False, "the replay ends after the capture")
            replay.kill()
        replay_text = read(replay_out).decode(errors="replace")
        print(replay_text, end="", flush=True)
        second.wait_quiet()
        second.close("run 2")
        check(re.search(r"answers match \((\d+) bytes\)", replay_text) is not None and
              "answers match (0 bytes)" not in replay_text,
              "the replay reports that the answers match")

        for name in LOGS:
            a, b = read(os.path.join(first.dir, name)), read(os.path.join(second.dir, name))
            lines = a.count(b"\n")
            check(len(a) > 0 and a == b,
                  f"{name} identical ({len(a)} bytes, {lines} lines; replayed {len(b)} bytes)")
        f1, f2 = first.frames(), second.frames()
        check(f1 is not None and f1 == f2,
              f"the same frames and bad checksums counted ({f1} / {f2})")
    finally:
        if os.environ.get("VELT_E2E_KEEP"):
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
