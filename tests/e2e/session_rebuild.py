#!/usr/bin/env python3
"""The real program records its session; velt-process rebuilds the logs from it.

Usage: session_rebuild.py BIN_DIR [SECONDS]   (SECONDS: VELT_E2E_SECONDS, else 20)

For protocols 1, 2 and 3: the program runs for SECONDS on the simulator with line
faults, the device unplugged once a third of the way in (the simulator ends, a new
one starts on the same mapping 2.5 s later); then its main window is closed. Checks:
one session file in sessions/, named by start time and port; `velt-process --capture
SESSION --log-dir DIR` writes the same logs, byte for byte, as the program wrote
(protocol 3 writes none, on either side). Then the program is killed with SIGKILL
after a few seconds: its session file reads whole up to within its last second.
Prints the bytes per hour of each protocol. Exit 77 when no X server can be had.
"""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import check, close_main_window, failures, rerun_under_xvfb  # noqa: E402

# Bad checksums, noise bursts, cut frames and lost bytes: a cut frame is stood in for by
# a copy of the record still waiting for display, which depends on the window's pace;
# the session notes what became of it, so the rebuild hands it on alike.
SIM_FAULTS = ["--bad-checksum", "0.02", "--burst", "--cut-frame", "0.02", "--drop-byte", "0.002"]
LOGS = ["fTxtLog.txt", "fTxtLog2.txt", "dumpWL1617.txt", "Maxima.txt", "CM_Maxima.txt",
        "dumpPutEKG.txt", "dumpGetEKG.txt"]
NAME = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_COM1\.vcap$")


def read_session(path):
    """(start µs since 1970, [(kind, time µs, bytes)], whole) of a version-2 capture."""
    data = open(path, "rb").read()
    if data[:8] != b"VELT-CAP" or struct.unpack_from("<H", data, 8)[0] != 2:
        return None, [], False
    size = struct.unpack_from("<H", data, 10)[0]
    start = struct.unpack_from("<q", data, 16)[0]
    records, at = [], size
    while at + 17 <= len(data):
        if data[at:at + 2] != b"\xe5\x1a":
            return start, records, False
        kind, t, n = struct.unpack_from("<BQH", data, at + 2)
        end = at + 13 + n
        if end + 4 > len(data):
            return start, records, False
        if zlib.crc32(data[at:end]) != struct.unpack_from("<I", data, end)[0]:
            return start, records, False
        records.append((kind, t, data[at + 13:end]))
        at = end + 4
    return start, records, at == len(data)


class Setup:
    def __init__(self, bin_dir, work):
        self.work = work
        self.program = os.path.join(work, "velt-monitoring")
        try:
            os.link(os.path.join(bin_dir, "velt-monitoring"), self.program)
        except OSError:
            shutil.copy2(os.path.join(bin_dir, "velt-monitoring"), self.program)
        os.makedirs(os.path.join(work, "configuration", "dosdevices"))
        self.entry = os.path.join(work, "configuration", "dosdevices", "com1")
        self.sim = os.path.join(bin_dir, "oximeter-sim")
        self.sims = []

    def configure(self, protocol):
        with open(os.path.join(self.work, "configuration", "VELTMonitoring.ini"), "w") as f:
            f.write(f"[connection]\nport=COM1\nprotocol={protocol}\n")

    def start_sim(self, protocol):
        number = len(self.sims) + 1
        p = subprocess.Popen([self.sim, "--protocol", str(protocol), "--map", self.entry,
                              "--seed", str(number)] + SIM_FAULTS,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.sims.append(p)
        deadline = time.monotonic() + 5
        while not os.path.lexists(self.entry) and time.monotonic() < deadline:
            time.sleep(0.01)

    def stop_sim(self):
        p = self.sims[-1]
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=10)

    def start_program(self):
        return subprocess.Popen([self.program], cwd=self.work, stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(self.work, "debug.txt"), "w"))

    def sessions(self):
        d = os.path.join(self.work, "sessions")
        return sorted(os.listdir(d)) if os.path.isdir(d) else []


def run_protocol(bin_dir, protocol, seconds):
    work = tempfile.mkdtemp(prefix="velt-e2e-", dir=os.path.dirname(bin_dir))
    try:
        s = Setup(bin_dir, work)
        s.configure(protocol)
        s.start_sim(protocol)
        app = s.start_program()
        started = time.monotonic()
        unplugged = False
        while time.monotonic() - started < seconds and app.poll() is None:
            time.sleep(0.1)
            if not unplugged and time.monotonic() - started >= seconds / 3:
                unplugged = True
                s.stop_sim()
                time.sleep(2.5)
                s.start_sim(protocol)
        check(close_main_window("VELT Monitoring"), f"protocol {protocol}: the window closes")
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()
        s.stop_sim()

        names = s.sessions()
        check(len(names) == 1 and NAME.match(names[0]) is not None,
              f"protocol {protocol}: one session file named by start time and port {names}")
        if not names:
            return None
        path = os.path.join(work, "sessions", names[0])
        start, records, whole = read_session(path)
        kinds = [k for k, _, _ in records]
        check(whole and 5 in kinds and 6 in kinds and kinds[-1] == 4,
              f"protocol {protocol}: the file is whole, with the loss, the return and the close")
        rebuilt = os.path.join(work, "rebuilt")
        os.makedirs(rebuilt)
        r = subprocess.run([os.path.join(bin_dir, "velt-process"), "--capture", path,
                            "--log-dir", rebuilt], capture_output=True, text=True)
        check(r.returncode == 0, f"protocol {protocol}: velt-process reads it (exit {r.returncode})")
        written = 0
        for log in LOGS:
            live = os.path.join(work, log)
            again = os.path.join(rebuilt, log)
            if protocol == 3:
                check(not os.path.exists(live) and not os.path.exists(again),
                      f"protocol 3: no {log} on either side")
                continue
            a = open(live, "rb").read() if os.path.exists(live) else None
            b = open(again, "rb").read() if os.path.exists(again) else None
            if a is not None:
                written += 1
            check(a == b, f"protocol {protocol}: {log} rebuilt byte for byte "
                          f"({None if a is None else len(a)} / {None if b is None else len(b)} bytes)")
            if a != b and a is not None and b is not None:
                la, lb = a.split(b"\r\n"), b.split(b"\r\n")
                for i, (x, y) in enumerate(zip(la, lb)):
                    if x != y:
                        print(f"     line {i}: live {x!r} / rebuilt {y!r}")
                        break
        if protocol != 3:
            check(written >= 4, f"protocol {protocol}: the program wrote its logs ({written})")
        span = (records[-1][1] - records[0][1]) / 1e6 if records else 0
        size = os.path.getsize(path)
        return size / span * 3600 if span > 0 else None
    finally:
        if os.environ.get("VELT_E2E_KEEP"):
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def run_kill(bin_dir):
    work = tempfile.mkdtemp(prefix="velt-e2e-", dir=os.path.dirname(bin_dir))
    try:
        s = Setup(bin_dir, work)
        s.configure(1)
        s.start_sim(1)
        app = s.start_program()
        time.sleep(4)
        killed_at = time.time()
        app.send_signal(signal.SIGKILL)
        app.wait()
        s.stop_sim()
        names = s.sessions()
        check(len(names) == 1, f"kill -9: one session file {names}")
        if not names:
            return
        start, records, whole = read_session(os.path.join(work, "sessions", names[0]))
        last = (start + records[-1][1]) / 1e6 if records else 0
        check(whole, "kill -9: the file reads whole, every record checked")
        check(killed_at - last <= 1.0,
              f"kill -9: its last record is {killed_at - last:.3f} s before the kill (<= 1 s)")
        check(sum(1 for k, _, _ in records if k == 1) > 50, "kill -9: the bytes received are in it")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2] if len(sys.argv) > 2 else os.environ.get("VELT_E2E_SECONDS", 20))
    code = rerun_under_xvfb()
    if code is not None:
        return code
    per_hour = {}
    for protocol in (1, 2, 3):
        per_hour[protocol] = run_protocol(bin_dir, protocol, seconds)
    run_kill(bin_dir)
    print("figures: bytes per hour " + ", ".join(
        f"protocol {p}: {'-' if v is None else f'{v / 1e6:.1f} MB'}" for p, v in per_hour.items()),
        flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
