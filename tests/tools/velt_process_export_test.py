#!/usr/bin/python3
"""velt-process --edf / --csv checked by readers that are not the program's: the EDF+
file through MNE-Python (not EDFlib), the CSV through Python's csv module, both
against the simulator's frames decoded here. The pleth and ECG channels must equal
the samples in the frames; the per-second values must equal the texts the window
shows after the records before that second; annotations mark the status changes.

Runs with Debian's /usr/bin/python3 (python3-mne).
usage: velt_process_export_test.py BIN_DIR
"""
import csv
import datetime
import os
import struct
import subprocess
import sys
import tempfile
import traceback

import mne
import numpy as np

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/default/bin"
SIM = os.path.abspath(os.path.join(BIN, "oximeter-sim"))
PROCESS = os.path.abspath(os.path.join(BIN, "velt-process"))
ENV = dict(os.environ, TZ="CET-1")  # local time an hour ahead of UTC, no summer time
CET = datetime.timezone(datetime.timedelta(hours=1))
STATUS = {0: "OK", 1: "Sensor?", 2: "Finger?", 3: "Perfusion?", 69: "Selftest?"}


def frames(stream):
    """The good frames of a clean stream: (type, payload)."""
    out, i = [], 0
    while True:
        i = stream.find(b"\xff", i)
        if i < 0:
            return out
        ftype, length = stream[i + 2] & 0x7F, stream[i + 3]
        payload, j, escape = bytearray(), i + 4, 0
        while len(payload) < length:
            b = stream[j]
            j += 1
            if b == 0xFE:
                escape = 0x80
                continue
            payload.append(b | escape)
            escape = 0
        assert stream[j + 1] == 0xFB, "frame end"
        out.append((ftype, bytes(payload)))
        i = j + 2


def records(stream):
    """Per record: pleth words, ECG samples or None, and the window's texts after it."""
    shown = {"spo2": "", "pulse": "", "perfusion": "", "rhbco": "", "status": ""}
    out = []
    for ftype, p in frames(stream):
        if len(p) < 34:
            continue
        ir, red, red2 = struct.unpack_from("<H", p, 2)[0], struct.unpack_from("<H", p, 8)[0], \
            struct.unpack_from("<H", p, 14)[0]
        e = 36 if len(p) in (70, 86) else 0
        ecg = list(struct.unpack_from("<18h", p, 34)) if e else None
        if ftype == 36 and len(p) >= e + 50:
            status = p[e + 34]
            perf, puls, _rise, _jit, spo2, hbco = struct.unpack_from("<6H", p, e + 38)
            shown = dict(shown)
            shown["status"] = STATUS.get(status, "undefined")
            shown["perfusion"] = "%d.%02d" % (perf // 100, perf % 100)
            tenths = lambda v: "%d.%d" % (v // 10, v % 10)
            low = perf < 10
            shown["pulse"] = "Perfus?" if low else tenths(puls)
            shown["spo2"] = "Perfus?" if low else tenths(spo2)
            shown["rhbco"] = "Perfus?" if low else tenths(hbco)
        out.append(((ir, red, red2), ecg, shown))
    return out


def shown_at(recs, second):
    """What the window showed when `second` began: after the records before it."""
    before = second * 50
    if before == 0:
        return {"spo2": "", "pulse": "", "perfusion": "", "rhbco": "", "status": ""}
    return recs[min(before, len(recs)) - 1][2]


def number(text):
    try:
        return float(text)
    except ValueError:
        return None


def run(args, expect=0):
    r = subprocess.run([PROCESS] + args, env=ENV, capture_output=True, text=True, timeout=120)
    assert r.returncode == expect, "%s: exit %d\n%s" % (args, r.returncode, r.stderr)
    return r


def simulate(path, *args):
    subprocess.run([SIM, "--protocol", "2", "--output", path] + list(args), check=True,
                   capture_output=True, timeout=60)
    with open(path, "rb") as f:
        return f.read()


def read_edf(path):
    raw = mne.io.read_raw_edf(path, preload=True, verbose="error")
    data = {name: raw.get_data(picks=[name])[0] for name in raw.ch_names}
    sfreq = raw.info["sfreq"]
    # MNE brings every signal to the highest rate; the samples sent sit on its grid.
    def at(name, rate):
        step = int(round(sfreq / rate))
        return data[name][::step]
    notes = [(round(float(a["onset"]), 4), round(float(a["duration"]), 4), a["description"])
             for a in raw.annotations]
    return raw, at, notes


def clock(raw):
    """The start in the header: local time (EDF+ has no zone; MNE labels it UTC, and
    leaves out the part of a second, which EDFlib's reader checks in the C++ tests)."""
    return raw.info["meas_date"].replace(tzinfo=None)


def local(moment):
    return moment.astimezone(CET).replace(tzinfo=None, microsecond=0)


def check_export(work, recs, edf, csv_path, start, first_second=0):
    raw, at, notes = read_edf(edf)
    seconds = (len(recs) + 49) // 50 - first_second
    assert clock(raw) == local(start), (clock(raw), start)
    assert raw.ch_names == ["Pleth IR", "Pleth Red", "Pleth Red2", "ECG", "SpO2", "Pulse",
                            "Perfusion", "R-HbCO"], raw.ch_names
    assert raw.n_times == seconds * 900, (raw.n_times, seconds)
    part = recs[first_second * 50:]
    for c, name in enumerate(["Pleth IR", "Pleth Red", "Pleth Red2"]):
        got = at(name, 50)
        want = np.array([r[0][c] for r in part], dtype=float)
        assert np.allclose(got[:len(want)], want, atol=1e-6), \
            "%s differs first at %d" % (name, int(np.argmax(~np.isclose(got[:len(want)], want))))
        assert np.allclose(got[len(want):], 0), "%s: slots after the stream" % name
    ecg = at("ECG", 900)
    want = np.array([s for r in part for s in r[1]], dtype=float)
    assert np.allclose(ecg[:len(want)], want, atol=1e-6), "ECG differs"

    with open(csv_path, newline="") as f:
        text = f.read()
    assert text.endswith("\r\n") and "\n" not in text.replace("\r\n", ""), "CR LF line ends"
    rows = list(csv.reader(text.splitlines()))
    assert rows[0] == ["time", "spo2", "pulse", "perfusion", "rhbco", "status", "link",
                       "annotations"], rows[0]
    assert len(rows) == 1 + seconds, (len(rows), seconds)
    for k in range(seconds):
        s = first_second + k
        want = shown_at(recs, s)
        row = rows[1 + k]
        when = start + datetime.timedelta(seconds=k)
        assert row[0] == when.isoformat(timespec="milliseconds"), (row[0], when)
        for col, key, signal in [(1, "spo2", "SpO2"), (2, "pulse", "Pulse"),
                                 (3, "perfusion", "Perfusion"), (4, "rhbco", "R-HbCO")]:
            value = number(want[key])
            assert row[col] == (want[key] if value is not None else ""), (s, key, row, want)
            got = at(signal, 1)[k]
            if value is None:
                assert got < 0, "%s at %d: %r shown, EDF has %r" % (signal, s, want[key], got)
            else:
                assert abs(got - value) < 1e-6, "%s at %d: %r shown, EDF has %r" % (
                    signal, s, want[key], got)
        assert row[5] == want["status"] and row[6] == "connected", row
    return notes


def status_changes(recs, first_second=0):
    """(onset in the export, text) of every status change from the export's start."""
    out, last = [], ""
    for i, r in enumerate(recs):
        if r[2]["status"] != last:
            last = r[2]["status"]
            if i >= first_second * 50:
                out.append((round(i * 0.02 - first_second, 4), last))
    return out


def test_raw_stream(work):
    a = simulate(os.path.join(work, "a.raw"), "--seconds", "6", "--seed", "1")
    b = simulate(os.path.join(work, "b.raw"), "--seconds", "4.5", "--seed", "2", "--status",
                 "perfusion")
    c = simulate(os.path.join(work, "c.raw"), "--seconds", "5", "--seed", "3", "--status",
                 "finger")
    stream = a + b + c
    path = os.path.join(work, "stream.raw")
    with open(path, "wb") as f:
        f.write(stream)
    recs = records(stream)
    assert len(recs) == 775, len(recs)
    edf, csv_path = os.path.join(work, "s.edf"), os.path.join(work, "s.csv")
    run(["--protocol", "2", "--log-dir", work, path, "--edf", edf, "--csv", csv_path,
         "--start", "2026-12-09T10:00:00"])
    start = datetime.datetime(2026, 12, 9, 10, 0, 0, tzinfo=CET)
    notes = check_export(work, recs, edf, csv_path, start)
    status = [(o, d) for o, _, d in notes if d in STATUS.values()]
    assert status == status_changes(recs), (status, status_changes(recs))
    assert (0.0, 1.0, "SpO2, pulse, perfusion, R-HbCO: (empty)") in notes, notes
    perfus = [n for n in notes if n[2] == "SpO2, pulse, R-HbCO: Perfus?"]
    assert len(perfus) == 1 and perfus[0][1] >= 4, notes

    # A part: the same samples and values, its own start, the status at its start.
    part_edf, part_csv = os.path.join(work, "p.edf"), os.path.join(work, "p.csv")
    run(["--protocol", "2", "--log-dir", work, path, "--edf", part_edf, "--csv", part_csv,
         "--start", "2026-12-09T10:00:00", "--from", "5", "--to", "12"])
    raw, _, part_notes = read_edf(part_edf)
    assert raw.n_times == 7 * 900, raw.n_times
    notes = check_export(work, recs[:600], part_edf, part_csv,
                         start + datetime.timedelta(seconds=5), first_second=5)
    assert [(o, d) for o, _, d in notes if d in STATUS.values()] == \
        [(0.0, "OK")] + status_changes(recs[:600], 5), notes

    # Without --start, the stream ends when its file last changed.
    os.utime(path, (1796853127.25, 1796853127.25))
    default_edf = os.path.join(work, "d.edf")
    run(["--protocol", "2", "--log-dir", work, path, "--edf", default_edf])
    raw, _, _ = read_edf(default_edf)
    want = datetime.datetime.fromtimestamp(1796853127.25 - 775 * 0.02, datetime.timezone.utc)
    assert clock(raw) == local(want), (clock(raw), want)


def capture(path, start_ms, chunks):
    """A velt-capture file (docs/capture-format.md): (time, bytes) are device bytes,
    (time, bytes, kind) any record."""
    out = bytearray(b"VELT-CAP" + struct.pack("<HHB3xq", 1, 24, 2, start_ms))
    for chunk in chunks:
        t, data, kind = chunk if len(chunk) == 3 else chunk + (1,)
        out += struct.pack("<BIH", kind, t, len(data)) + data
    with open(path, "wb") as f:
        f.write(out)


def test_capture_with_a_gap(work):
    a = simulate(os.path.join(work, "ca.raw"), "--seconds", "4", "--seed", "4")
    b = simulate(os.path.join(work, "cb.raw"), "--seconds", "3", "--seed", "5")
    # One chunk per 20 ms of frames as the program read them, then 3 s without bytes.
    fa, fb = frames(a), frames(b)
    per_frame = lambda s: [s[i:j] for i, j in zip(
        [k for k in range(len(s)) if s[k] == 0xFF], [k for k in range(len(s)) if s[k] == 0xFF][1:]
        + [len(s)])]
    chunks = [(20 * i + 5, f) for i, f in enumerate(per_frame(a))]
    chunks += [(4100, b"read: Input/output error", 5), (6900, b"", 6)]  # lost, back
    chunks += [(7000 + 20 * i + 5, f) for i, f in enumerate(per_frame(b))]
    assert len(chunks) == len(fa) + len(fb) + 2
    path = os.path.join(work, "gap.vcap")
    start_ms = 1796853127250
    capture(path, start_ms, chunks)
    edf, csv_path = os.path.join(work, "g.edf"), os.path.join(work, "g.csv")
    run(["--log-dir", work, "--capture", path, "--edf", edf, "--csv", csv_path])
    raw, at, notes = read_edf(edf)
    assert clock(raw) == local(
        datetime.datetime.fromtimestamp(start_ms / 1000, datetime.timezone.utc)), clock(raw)
    assert raw.n_times == 10 * 900, raw.n_times
    ra, rb = records(a), records(b)
    ir = at("Pleth IR", 50)
    assert np.allclose(ir[:200], [r[0][0] for r in ra]), "before the gap"
    assert np.allclose(ir[200:350], 0), "the gap holds no samples"
    assert np.allclose(ir[350:500], [r[0][0] for r in rb]), "after the gap"
    assert (4.0, 3.0, "No samples") in notes, notes
    # The program's own text fits one annotation: no piece of it stands alone.
    assert [d for o, _, d in notes if o == 4.1] == ["Lost: read: Input/output error"], notes
    assert [d for o, _, d in notes if o == 6.9] == ["Connection back"], notes
    # The window showed "x" from the loss until the device's next results.
    assert [n for n in notes if n[2].endswith(": x")] == [
        (5.0, 3.0, "SpO2, pulse, perfusion, R-HbCO: x")], notes
    spo2 = at("SpO2", 1)
    assert np.allclose(spo2[1:5], 97.0) and np.all(spo2[5:8] < 0) and \
        np.allclose(spo2[8:], 97.0), spo2
    with open(csv_path, newline="") as f:
        rows = list(csv.reader(f))
    assert len(rows) == 11, rows
    assert [r[6] for r in rows[1:]] == ["connected"] * 5 + ["lost"] * 2 + ["connected"] * 3, rows
    assert rows[6][1] == "" and rows[6][5] == "*** Connection lost", rows[6]
    assert rows[8][5] == "Connected..", rows[8]
    assert rows[9][1] == "97.0" and rows[9][5] == "OK", rows[9]


def test_refusals(work):
    sim = simulate(os.path.join(work, "r.raw"), "--seconds", "1")
    path = os.path.join(work, "r.raw")
    err = run([path, "--protocol", "2", "--edf", os.path.join(work, "no", "x.edf")], 1).stderr
    assert "cannot write" in err and "x.edf" in err, err
    assert "must lie after" in run([path, "--csv", "o.csv", "--from", "5", "--to", "5"], 2).stderr
    assert "framed protocol" in run([path, "--protocol", "3", "--csv",
                                     os.path.join(work, "o.csv")], 2).stderr
    assert "go with --edf or --csv" in run([path, "--from", "3"], 2).stderr
    assert "four subfields" in run([path, "--edf", "o.edf", "--patient", "Harry"], 2).stderr
    assert "nothing to export" in run([path, "--protocol", "2", "--edf",
                                       os.path.join(work, "e.edf"), "--from", "30"], 1).stderr
    # A failed export leaves no file behind, under its name or a temporary one.
    left = [f for f in os.listdir(work) if f.startswith("e.edf")]
    assert not left, left
    assert "overwrite its input" in run([path, "--csv", path], 2).stderr
    assert len(sim) > 0
    # An export without --log-dir or --debug-out: no logs, no trace, one line per file.
    before = set(os.listdir(work))
    r = run([path, "--protocol", "2", "--csv", "q.csv", "--edf", "q.edf"])
    assert set(os.listdir(work)) - before == {"q.csv", "q.edf"} and r.stderr == "", r.stderr
    assert "wrote q.edf (EDF+, 0:00:01, " in r.stdout and "wrote q.csv (CSV, 0:00:01, " in r.stdout


def main():
    failures = 0
    for test in [test_raw_stream, test_capture_with_a_gap, test_refusals]:
        with tempfile.TemporaryDirectory() as work:
            # Relative outputs and the diagnostic logs of runs without --log-dir land here.
            os.chdir(work)
            try:
                test(work)
                print("PASS", test.__name__)
            except Exception:
                failures += 1
                print("FAIL", test.__name__)
                traceback.print_exc()
            finally:
                os.chdir("/")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
