#!/usr/bin/env python3
"""The real program under Xvfb against the simulated device with line faults.

Usage: link_faults.py BIN_DIR [SECONDS]   (SECONDS: VELT_E2E_SECONDS, else 60)

The simulator runs with bad checksums, dropped bytes, cut frames and noise bursts;
the device is unplugged twice (the simulator ends and a new one starts on the same
mapping). Checks: the program reconnects by itself within 2 s of the device's return;
per connection its good frames equal the simulator's FD answers and its bad checksums
the FC answers; its resident memory grows by less than 1 MB after the first 10 s;
closing the main window ends it within 3 s. Exit 77 when no X server can be had.
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
from e2e_support import (check, close_main_window, failures, keep_or_remove,  # noqa: E402
                         rerun_under_xvfb)

SIM_FAULTS = ["--bad-checksum", "0.02", "--drop-byte", "0.01", "--cut-frame", "0.01", "--burst"]
STATS = re.compile(
    r"Link statistics COM1: bytes (\d+), frames (\d+), bad checksums (\d+), incomplete (\d+), "
    r"oversize (\d+), dropped (\d+), line errors (\d+), reconnects (\d+)")
CONNECTION = re.compile(r"connection (\d+): frames (\d+), FD (\d+), FC (\d+)")

def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Simulator:
    def __init__(self, sim, entry, work, number):
        self.out_path = os.path.join(work, f"sim{number}.out")
        self.proc = subprocess.Popen(
            [sim, "--protocol", "1", "--map", entry, "--seed", str(number)] + SIM_FAULTS,
            stdout=open(self.out_path, "w"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 5
        while not os.path.lexists(entry) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.mapped_at = time.monotonic()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)

    def connections(self):
        with open(self.out_path) as f:
            return [tuple(int(v) for v in m.groups()[1:]) for m in CONNECTION.finditer(f.read())]


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2] if len(sys.argv) > 2 else os.environ.get("VELT_E2E_SECONDS", 60))
    code = rerun_under_xvfb()
    if code is not None:
        return code

    work = tempfile.mkdtemp(prefix="velt-e2e-", dir=os.path.dirname(bin_dir))
    try:
        # The program finds its configuration and device map beside itself.
        program = os.path.join(work, "velt-monitoring")
        try:
            os.link(os.path.join(bin_dir, "velt-monitoring"), program)
        except OSError:
            shutil.copy2(os.path.join(bin_dir, "velt-monitoring"), program)
        os.makedirs(os.path.join(work, "configuration", "dosdevices"))
        entry = os.path.join(work, "configuration", "dosdevices", "com1")
        sim = os.path.join(bin_dir, "oximeter-sim")
        errors = open(os.path.join(work, "debug.txt"), "w")

        sims = [Simulator(sim, entry, work, 1)]
        app = subprocess.Popen([program], cwd=work, stdout=subprocess.DEVNULL, stderr=errors)
        started = time.monotonic()

        def debug_text():
            with open(os.path.join(work, "debug.txt"), errors="replace") as f:
                return f.read()

        rss_base = None
        rss_max = 0
        unplugs = [seconds * 0.3, seconds * 0.6]
        reconnect_times = []
        while time.monotonic() - started < seconds:
            time.sleep(0.2)
            check_alive = app.poll() is None
            if not check_alive:
                check(False, "the program runs to the end")
                break
            elapsed = time.monotonic() - started
            if elapsed >= 10:
                rss = rss_kb(app.pid)
                if rss_base is None:
                    rss_base = rss
                rss_max = max(rss_max, rss)
            if unplugs and elapsed >= unplugs[0]:
                unplugs.pop(0)
                reconnected = debug_text().count("Reconnected(COM1)")
                sims[-1].stop()  # unplugged
                time.sleep(2.5)
                sims.append(Simulator(sim, entry, work, len(sims) + 1))
                back = None
                deadline = sims[-1].mapped_at + 5
                while time.monotonic() < deadline:
                    if debug_text().count("Reconnected(COM1)") > reconnected:
                        back = time.monotonic() - sims[-1].mapped_at
                        break
                    time.sleep(0.02)
                reconnect_times.append(back)
                check(back is not None and back < 2.0,
                      f"reconnected by itself within 2 s of the device's return ({back})")

        threads = len(os.listdir(f"/proc/{app.pid}/task")) if app.poll() is None else 0
        closed_at = time.monotonic()
        check(close_main_window("VELT Monitoring"), "the main window was found and asked to close")
        try:
            code = app.wait(timeout=3)
            took = time.monotonic() - closed_at
            check(code == 0, f"the program ends cleanly (exit {code}) in {took:.2f} s")
        except subprocess.TimeoutExpired:
            check(False, "the program ends within 3 s of closing its window")
            app.kill()
            app.wait()
        time.sleep(0.5)
        sims[-1].stop()
        errors.close()

        growth = (rss_max - rss_base) if rss_base is not None else None
        check(growth is not None and growth < 1024,
              f"resident memory after the first 10 s grows by {growth} kB (< 1024)")

        # Per connection: the program's cumulative lines, one per closed connection.
        lines = [tuple(int(v) for v in m.groups()) for m in STATS.finditer(debug_text())]
        check(len(lines) == 3, f"three statistics lines, one per connection ({len(lines)})")
        previous = (0,) * 8
        for number, (line, s) in enumerate(zip(lines, sims), start=1):
            frames, bad = line[1] - previous[1], line[2] - previous[2]
            answers = s.connections()
            check(len(answers) == 1, f"connection {number}: the simulator saw one connection")
            if answers:
                sent, fd, fc = answers[0]
                check(frames == fd and bad == fc,
                      f"connection {number}: frames {frames} = FD {fd}, bad {bad} = FC {fc} "
                      f"(sent {sent}, incomplete {line[3] - previous[3]}, "
                      f"oversize {line[4] - previous[4]})")
            previous = line
        if lines:
            check(lines[-1][7] == 2, f"two reconnects counted ({lines[-1][7]})")
            check(lines[-1][3] > 0 and lines[-1][2] > 0, "the faults were seen and counted")
        print(f"figures: reconnect {reconnect_times} s, memory growth {growth} kB, "
              f"threads before closing {threads}, run {seconds:.0f} s", flush=True)
    finally:
        keep_or_remove(work, os.path.join(work, "debug.txt"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
