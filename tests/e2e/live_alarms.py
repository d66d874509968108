#!/usr/bin/env python3
"""The real program alarms on a story the simulator tells, as velt-process computes it.

Usage: live_alarms.py BIN_DIR

The program runs on oximeter-sim --scenario (SpO2 from 97 down to 86 % and held, then
back); its session records its alarms. Checks: the window's "spo2-low" started 10 +- 1 s
after the shown SpO2 first fell below 90 (per-second values of the session's CSV) and
within 0.3 s of where velt-process --capture --alarms puts it, and ended within 3 s of
the return. Exit 77 when no X server can be had.
"""
import csv
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import check, close_main_window, failures, rerun_under_xvfb  # noqa: E402
from session_rebuild import Setup, read_session  # noqa: E402

SCENARIO = """# a fall below 90 held 14 s, then back
0  spo2=97 bpm=70
2  spo2=86 ramp=3
19 spo2=97 ramp=2
"""
ALARM_KIND = 15


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    code = rerun_under_xvfb()
    if code is not None:
        return code
    work = tempfile.mkdtemp(prefix="velt-e2e-", dir=os.path.dirname(bin_dir))
    try:
        s = Setup(bin_dir, work)
        s.configure(2)
        scenario = os.path.join(work, "fall.scn")
        with open(scenario, "w") as f:
            f.write(SCENARIO)
        sim = subprocess.Popen([s.sim, "--protocol", "2", "--map", s.entry, "--scenario", scenario],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not os.path.lexists(s.entry) and time.monotonic() < deadline:
            time.sleep(0.01)
        app = s.start_program()
        time.sleep(30)
        check(close_main_window("VELT Monitoring"), "the window closes")
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()
        sim.terminate()
        sim.wait(timeout=10)
        names = s.sessions()
        check(len(names) == 1, f"one session file {names}")
        if len(names) != 1:
            return 1
        path = os.path.join(work, "sessions", names[0])
        _, records, _ = read_session(path)
        live = {}
        for kind, t, data in records:
            fields = data.decode().split("\t") if kind == ALARM_KIND else []
            if len(fields) > 2 and fields[2] == "spo2-low":
                live.setdefault(fields[0], t / 1e6)
        out = os.path.join(work, "s.csv")
        r = subprocess.run([os.path.join(bin_dir, "velt-process"), "--capture", path, "--csv", out,
                            "--alarms"], capture_output=True, text=True)
        check(r.returncode == 0, f"velt-process reads the session (exit {r.returncode})")
        computed = {}
        for line in r.stdout.splitlines():
            f = line.split("\t")
            if len(f) == 5 and f[3] == "spo2-low":
                computed.setdefault(f[1], float(f[0]))
        with open(out, newline="") as f:
            rows = list(csv.DictReader(f))
        below = [i for i, row in enumerate(rows) if row["spo2"] and float(row["spo2"]) < 90]
        check(bool(below) and "start" in live and "end" in live,
              f"the window alarmed: {live}, below 90 at {below[:1]}")
        if below and "start" in live:
            delay = live["start"] - below[0]
            check(9.0 <= delay <= 11.5, f"spo2-low started {delay:.2f} s after the first second "
                                        "shown below 90 (10 +- 1 s at one-second resolution)")
            check(abs(live["start"] - computed.get("start", -99)) <= 0.3,
                  f"the window's start {live['start']:.2f} s, velt-process's {computed.get('start')}")
        if below and "end" in live:
            back = max(below) + 1
            check(0 <= live["end"] - back <= 3.0,
                  f"spo2-low ended {live['end'] - back:.2f} s after the return above 90")
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
