#!/usr/bin/env python3
"""Memory of the capture readers on a long capture.

Writes a capture of HOURS hours (24) of protocol 2 (the simulator's stream tiled, in
the chunks a serial line delivers, with an acknowledgement per chunk; about 1 GB a
day), then runs velt-process --capture over it and reports its peak resident memory
(the diagnostic logs go to /dev/null), and the replay's after its passes over the
file.

usage: long_capture.py [--bin build/default/bin] [--hours 24] [--keep FILE]
"""
import argparse
import os
import re
import struct
import subprocess
import tempfile
import time
import zlib

LOGS = ["fTxtLog.txt", "fTxtLog2.txt", "dumpWL1617.txt", "Maxima.txt", "CM_Maxima.txt",
        "dumpPutEKG.txt", "dumpGetEKG.txt", "dumpfile.txt"]


def header(protocol):
    body = b"VELT-CAP" + struct.pack("<HHB3xq", 2, 0, protocol, int(time.time() * 1e6))
    for text in (b"/dev/ttyUSB0", b"115200 8N1", b"bench", b"long_capture.py"):
        body += struct.pack("<H", len(text)) + text
    body = body[:10] + struct.pack("<H", len(body) + 4) + body[12:]
    return body + struct.pack("<I", zlib.crc32(body))


def record(kind, us, data=b""):
    r = b"\xe5\x1a" + struct.pack("<BQH", kind, us, len(data)) + data
    return r + struct.pack("<I", zlib.crc32(r))


def write_capture(bin_dir, path, hours, tmp):
    raw_path = f"{tmp}/minute.bin"
    subprocess.run([f"{bin_dir}/oximeter-sim", "--protocol", "2", "--seconds", "60",
                    "--output", raw_path], check=True, capture_output=True)
    raw = open(raw_path, "rb").read()
    per_us = len(raw) / 60e6  # bytes per microsecond of the stream
    sizes = [37, 64, 11, 128, 90, 255, 7, 160]  # chunks as a serial driver hands them on
    with open(path, "wb") as f:
        f.write(header(2))
        f.write(record(3, 0))
        at_byte = 0
        for minute in range(int(hours * 60)):
            out = []
            i = at = 0
            while at < len(raw):
                n = min(sizes[i % len(sizes)], len(raw) - at)
                us = int((at_byte + at + n) / per_us)
                out.append(record(1, us, raw[at:at + n]))
                out.append(record(2, us + 300, b"\xfd\x01\xfb"))
                at += n
                i += 1
            at_byte += len(raw)
            f.write(b"".join(out))
    return os.path.getsize(path)


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as s:
        return int(re.search(r"VmHWM:\s+(\d+)", s.read()).group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default="build/default/bin")
    ap.add_argument("--hours", type=float, default=24)
    ap.add_argument("--keep")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or f"{tmp}/day.vcap"
        start = time.monotonic()
        size = write_capture(args.bin, path, args.hours, tmp)
        print(f"capture: {args.hours:g} h of protocol 2, {size / 1e6:.0f} MB, written in "
              f"{time.monotonic() - start:.0f} s")
        logs = f"{tmp}/logs"
        os.mkdir(logs)
        for name in LOGS:
            os.symlink("/dev/null", f"{logs}/{name}")
        start = time.monotonic()
        p = subprocess.run(["/usr/bin/time", "-f", "%M", f"{args.bin}/velt-process",
                            "--log-dir", logs, "--capture", path],
                           capture_output=True, text=True)
        peak = int(p.stderr.strip().splitlines()[-1])
        print(f"velt-process --capture: exit {p.returncode}, {time.monotonic() - start:.0f} s, "
              f"peak resident memory {peak / 1024:.1f} MB")
        print("  " + p.stdout.strip())

        replay = subprocess.Popen([f"{args.bin}/oximeter-sim", "--replay", path],
                                  stdout=subprocess.PIPE, text=True)
        line = replay.stdout.readline()  # printed after both passes over the file
        peak = peak_kib(replay.pid)
        replay.terminate()
        try:
            replay.wait(timeout=10)
            ended = "ended on SIGTERM"
        except subprocess.TimeoutExpired:
            replay.kill()
            replay.wait()
            ended = "had to be killed"
        print(f"oximeter-sim --replay: peak resident memory {peak / 1024:.1f} MB after reading "
              f"the file through ({line.strip()}); {ended}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
