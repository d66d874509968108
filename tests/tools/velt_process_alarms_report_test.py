#!/usr/bin/env python3
"""velt-process --alarms and --report over simulator scenarios: the alarms start after
their delay and end after the condition has gone, a short dip starts nothing, settings
move the limits; the report's PDF (read with poppler's pdftotext) holds the JSON's
numbers."""
import json
import os
import subprocess
import sys
import tempfile

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/default/bin"
SIM = os.path.abspath(os.path.join(BIN, "oximeter-sim"))
PROCESS = os.path.abspath(os.path.join(BIN, "velt-process"))
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "scenarios")


def process(work, scenario, seconds, *options, status=0):
    raw = os.path.join(work, "s.raw")
    subprocess.run([SIM, "--protocol", "2", "--scenario", os.path.join(DATA, scenario),
                    "--output", raw, "--seconds", str(seconds)], check=True, capture_output=True)
    r = subprocess.run([PROCESS, "--protocol", "2", "--log-dir", work, raw] + list(options),
                       capture_output=True, text=True)
    assert r.returncode == status, (r.returncode, r.stderr)
    return r


def alarm_lines(r):
    return [line.split("\t") for line in r.stdout.splitlines() if "\t" in line]


def main():
    work = tempfile.mkdtemp()
    # SpO2 below 90 from 22.73 s (the ramp from 97 at 10 s to 86 at 30 s), 97 again
    # (above 90 from 73.6 s) after 70 s.
    lines = alarm_lines(process(work, "desaturation.scn", 100, "--alarms"))
    assert [l[1:4] for l in lines] == [["start", "medium", "spo2-low"],
                                       ["end", "medium", "spo2-low"]], lines
    assert 31.73 <= float(lines[0][0]) <= 33.73 and lines[0][4] == "** SpO2 86 < 90", lines
    assert 73.6 < float(lines[1][0]) <= 76.6, lines
    assert alarm_lines(process(work, "short_dip.scn", 40, "--alarms")) == []
    lines = alarm_lines(process(work, "pulse_high.scn", 60, "--alarms"))
    assert [l[1:4] for l in lines] == [["start", "medium", "pulse-high"],
                                       ["end", "medium", "pulse-high"]], lines

    settings = os.path.join(work, "alarms.ini")
    with open(settings, "w") as f:
        f.write("[alarms]\nspo2-low=85\nspo2-desat=80\n")
    assert alarm_lines(process(work, "desaturation.scn", 100, "--alarms",
                               "--alarm-settings", settings)) == []
    with open(settings, "w") as f:
        f.write("[alarms]\nspo2-low-delay=forever\n")
    r = process(work, "desaturation.scn", 5, "--alarms", "--alarm-settings", settings, status=2)
    assert "spo2-low-delay takes 0 to 120" in r.stderr, r.stderr

    pdf, js = os.path.join(work, "r.pdf"), os.path.join(work, "r.json")
    process(work, "desaturation.scn", 100, "--report", pdf, "--report-json", js)
    with open(js) as f:
        numbers = json.load(f)
    assert numbers["desaturations3"] == 1 and numbers["spo2_min"] == 86.0, numbers
    assert numbers["events"][0]["baseline"] == 97.0, numbers
    text = subprocess.run(["pdftotext", "-layout", pdf, "-"], check=True, capture_output=True,
                          text=True).stdout
    minutes = "%.1f min (%.1f %%)" % (numbers["t90_seconds"] / 60, numbers["t90_percent"])
    for want in ["%.1f %%" % numbers["spo2_mean"], minutes,
                 "1 events, %.1f /h" % numbers["odi3"], "Definitions"]:
        assert want in text, (want, text)
    print("velt-process alarms and report: all checks passed")


if __name__ == "__main__":
    main()
