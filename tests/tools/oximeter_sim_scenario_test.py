#!/usr/bin/env python3
"""oximeter-sim --scenario: bad lines refused with their line number; a scenario's values,
ramps, status words and unplugs as velt-process shows them (its CSV), unpaced and on a
pseudo-terminal."""
import csv
import os
import subprocess
import sys
import tempfile

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/default/bin"
SIM = os.path.abspath(os.path.join(BIN, "oximeter-sim"))
PROCESS = os.path.abspath(os.path.join(BIN, "velt-process"))
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "scenarios")


def shown(work, scenario, seconds, protocol="2"):
    """The CSV rows velt-process writes for the simulator's stream, and its stdout."""
    raw, out = os.path.join(work, "s.raw"), os.path.join(work, "s.csv")
    subprocess.run([SIM, "--protocol", protocol, "--scenario", scenario, "--output", raw,
                    "--seconds", str(seconds)], check=True, capture_output=True)
    run = subprocess.run([PROCESS, "--protocol", protocol, "--log-dir", work, raw, "--csv", out],
                         check=True, capture_output=True, text=True)
    with open(out, newline="") as f:
        return list(csv.DictReader(f)), run.stdout


def main():
    work = tempfile.mkdtemp()
    bad = {"1 spo2=97\n\n5 spo2=120\n": ":3: spo2 takes a number from 0 to 100",
           "10 bpm=80\n5 bpm=90\n": ":2: the time goes back",
           "# a comment\n0 colour=red\n": ":2: unknown key \"colour\"",
           "0 status=asleep\n": ":1: status takes ok, sensor",
           "x spo2=90\n": ":1: \"x\" is not a time",
           "3 ramp=5\n": ":1: ramp needs a number",
           "3\n": ":1: a time without a change"}
    for text, why in bad.items():
        path = os.path.join(work, "bad.scn")
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([SIM, "--scenario", path, "--output", os.path.join(work, "o.raw")],
                           capture_output=True, text=True)
        assert r.returncode == 2 and path + why in r.stderr, (text, r.returncode, r.stderr)

    # 97 % until 10 s, 86 % reached linearly by 30 s and held to 70 s, 97 % again by 80 s.
    rows, _ = shown(work, os.path.join(DATA, "desaturation.scn"), 90)
    spo2 = [float(r["spo2"]) if r["spo2"] else None for r in rows]
    assert spo2[1:10] == [97.0] * 9, spo2[:10]
    assert spo2[31:70] == [86.0] * 39, spo2[30:71]
    assert spo2[81:] == [97.0] * (len(spo2) - 81), spo2[80:]
    fall = spo2[10:31]
    assert all(a >= b for a, b in zip(fall, fall[1:])) and 91 < spo2[20] < 92, fall
    assert float(rows[50]["pulse"]) == 95.0, rows[50]

    # The status word comes and goes; the unplugged 10 s never reach the stream.
    rows, stdout = shown(work, os.path.join(DATA, "unplug_and_sensor.scn"), 60, "1")
    status = [r["status"] for r in rows]
    assert status[5] == "OK" and set(status[12:24]) == {"Finger?"} and status[30] == "OK", status
    assert "frames 2500," in stdout, stdout

    # On a pseudo-terminal an unplug closes it and takes the map entry away; the device
    # comes back on a new one under the same entry.
    entry = os.path.join(work, "com1")
    path = os.path.join(work, "unplug.scn")
    with open(path, "w") as f:
        f.write("1 unplug=1.5\n")
    sim = subprocess.Popen([SIM, "--scenario", path, "--map", entry, "--seconds", "4"],
                           stdout=subprocess.PIPE, text=True)
    seen = []
    for line in sim.stdout:
        seen.append(line)
        if "unplugged at" in line:
            assert not os.path.lexists(entry), "the entry stays while unplugged"
        if len(seen) > 1 and "mapped as" in line:
            assert os.path.lexists(entry), "the entry is back"
    assert sim.wait(10) == 0
    text = "".join(seen)
    assert "unplugged at 1.00 s" in text and text.count("mapped as " + entry) == 2, text
    print("oximeter-sim scenarios: all checks passed")


if __name__ == "__main__":
    main()
