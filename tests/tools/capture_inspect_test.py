#!/usr/bin/env python3
"""velt-capture --dump, --cut and --pcapng on a capture written here byte by byte
(the format of docs/capture-format.md), one with damage in it, and Wireshark's tshark
reading the pcapng file.

usage: capture_inspect_test.py BIN_DIR
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/default/bin"
TAP = os.path.join(BIN, "velt-capture")
START_US = 1765250000123456


def header(protocol=2):
    body = b"VELT-CAP" + struct.pack("<HHB3xq", 2, 0, protocol, START_US)
    for text in (b"/dev/ttyUSB0", b"115200 8N1", b"bedside", b"velt-capture 1.0.0"):
        body += struct.pack("<H", len(text)) + text
    body = body[:10] + struct.pack("<H", len(body) + 4) + body[12:]
    return body + struct.pack("<I", zlib.crc32(body))


def record(kind, us, data=b""):
    r = b"\xe5\x1a" + struct.pack("<BQH", kind, us, len(data)) + data
    return r + struct.pack("<I", zlib.crc32(r))


def records(data):
    (size,) = struct.unpack_from("<H", data, 10)
    out, at = [], size
    while at < len(data):
        kind, us, n = struct.unpack_from("<BQH", data, at + 2)
        assert zlib.crc32(data[at:at + 13 + n]) == struct.unpack_from("<I", data, at + 13 + n)[0]
        out.append((kind, us, data[at + 13:at + 13 + n]))
        at += 17 + n
    return out


SESSION = [(1, 0, b"early"), (3, 1_000_000, b""), (1, 1_500_000, b"\xf8\x01AB"),
           (2, 1_501_000, b"\xfd\x01\xfb"), (5, 2_000_000, b"hang-up"), (6, 3_000_000, b""),
           (7, 3_100_000, b"\x00\x01"), (4, 4_000_000, b""), (1, 5_000_000, b"late")]


def run(*args):
    return subprocess.run([TAP, *args], capture_output=True, text=True, timeout=20)


def test_dump(tmp):
    path = f"{tmp}/s.cap"
    data = header() + b"".join(record(*r) for r in SESSION)
    open(path, "wb").write(data)
    p = run("--dump", path)
    assert p.returncode == 0, p.stderr
    lines = p.stdout.splitlines()
    assert "protocol 2, started 2025-12-09T03:13:20.123456Z" in lines[0], lines[0]
    assert "device /dev/ttyUSB0 (115200 8N1), host bedside" in lines[1], lines[1]
    assert lines[2] == "    0.000000 >     5 65 61 72 6C 79  |early|", lines[2]
    assert lines[3] == "    1.000000   port opened", lines[3]
    assert lines[4] == "    1.500000 >     4 F8 01 41 42  |..AB|", lines[4]
    assert lines[5] == "    1.501000 <     3 FD 01 FB  |...|", lines[5]
    assert lines[6] == "    2.000000   device lost: hang-up", lines[6]
    assert lines[8] == "    3.100000 >     2 dropped 00 01  |..|", lines[8]
    assert len(lines) == 2 + len(SESSION)
    # A flipped bit: the record is not listed, the damage is, where it is.
    bad = bytearray(data)
    third = len(header()) + len(record(*SESSION[0])) + len(record(*SESSION[1]))
    bad[third + 14] ^= 0x10
    open(path, "wb").write(bytes(bad))
    p = run("--dump", path)
    assert p.returncode == 3, p.returncode
    skipped = len(record(*SESSION[2]))
    assert (f"!! damaged at byte {third}, resumed at byte {third + skipped}, {skipped} bytes "
            "skipped (bad check)") in p.stdout, p.stdout
    assert "F8 01 41 42" not in p.stdout
    # A program's own session (its clock record) that a kill cut off says so at its end.
    killed = header() + record(13, 0, bytes(8)) + record(3, 0) + record(1, 5, b"x")
    for tail, said in ((b"", True), (record(4, 9), False)):
        open(path, "wb").write(killed + tail)
        assert ("ended without a close" in run("--dump", path).stdout.splitlines()[-1]) == said


def test_cut(tmp):
    path, piece = f"{tmp}/s.cap", f"{tmp}/piece.cap"
    open(path, "wb").write(header() + b"".join(record(*r) for r in SESSION))
    p = run("--cut", path, "--from", "1.2", "--to", "3.5", "--out", piece)
    assert p.returncode == 0, p.stderr
    data = open(piece, "rb").read()
    (start,) = struct.unpack_from("<q", data, 16)
    assert start == START_US + 1_200_000, start
    got = records(data)
    # The port was open at 1.2 s: the piece says so first, then its records.
    assert got == [(3, 0, b""), (1, 300_000, b"\xf8\x01AB"), (2, 301_000, b"\xfd\x01\xfb"),
                   (5, 800_000, b"hang-up"), (6, 1_800_000, b""), (7, 1_900_000, b"\x00\x01")], got
    p = run("--cut", path, "--from", "1.2", "--to", "3.5", "--out", piece)
    assert p.returncode == 1 and "exists" in p.stderr, p.stderr
    assert run("--cut", path, "--from", "3", "--to", "2", "--out", f"{tmp}/x").returncode == 2


def test_dissector(tmp):
    """The dissector on a simulator's stream in 37-byte chunks with answers: every frame,
    its checksum's result as the program's decoder counts it, every answer."""
    raw, path, pcap = f"{tmp}/s.raw", f"{tmp}/d.cap", f"{tmp}/d.pcapng"
    subprocess.run([os.path.join(BIN, "oximeter-sim"), "--output", raw, "--seconds", "2",
                    "--protocol", "2", "--bad-checksum", "0.05", "--seed", "3"], check=True)
    stats = subprocess.run([os.path.join(BIN, "velt-process"), "--protocol", "2", raw],
                           capture_output=True, text=True).stdout
    good, bad = map(int, re.search(r"frames (\d+), bad checksums (\d+)", stats).groups())
    data = open(raw, "rb").read()
    chunks = [record(k, at * 30 + k, data[at:at + 37] if k == 1 else b"\xfd\x05\xfb")
              for at in range(0, len(data), 37) for k in (1, 2)]
    open(path, "wb").write(header() + b"".join(chunks))
    assert run("--pcapng", path, "--out", pcap).returncode == 0
    lua = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/velt.lua")
    fields = [a for f in ("direction", "sequence", "checksum_ok", "answer_sequence")
              for a in ("-e", "velt." + f)]
    t = subprocess.run(["tshark", "-X", f"lua_script:{lua}", "-r", pcap, "-Y", "velt", "-T",
                        "fields", "-E", "aggregator=/", *fields], capture_output=True, text=True)
    rows = [line.split("\t") for line in t.stdout.splitlines()]
    seqs, checks, answers = ([v for r in rows for v in r[i].split("/") if v] for i in (1, 2, 3))
    assert [int(v) for v in seqs] == [n % 128 for n in range(good + bad)], (seqs, t.stderr)
    assert checks.count("0") == bad and checks.count("1") == good, (checks, good, bad)
    assert answers == ["5"] * (len(chunks) // 2), answers
    assert {r[0] for r in rows} == {"1", "2"}, rows[:4]


def test_pcapng(tmp):
    path, pcap = f"{tmp}/s.cap", f"{tmp}/s.pcapng"
    open(path, "wb").write(header() + b"".join(record(*r) for r in SESSION))
    p = run("--pcapng", path, "--out", pcap)
    assert p.returncode == 0, p.stderr
    t = subprocess.run(["tshark", "-r", pcap, "-T", "fields", "-E", "separator=;",
                        "-e", "frame.time_epoch", "-e", "frame.len",
                        "-e", "frame.packet_flags_direction", "-e", "frame.comment"],
                       capture_output=True, text=True, timeout=60)
    assert t.returncode == 0, t.stderr
    rows = [line.split(";") for line in t.stdout.splitlines()]
    assert len(rows) == len(SESSION), rows
    for (kind, us, data), (epoch, length, direction, comment) in zip(SESSION, rows):
        assert abs(float(epoch) - (START_US + us) / 1e6) < 2e-6, (epoch, us)
        assert int(length) == (len(data) if kind in (1, 2, 7, 8) else 0), (kind, length)
        want = {1: 1, 7: 1, 2: 2, 8: 2}.get(kind)
        assert (int(direction, 16) if direction else None) == want, (kind, direction)
        if kind == 5:
            assert comment == "device lost: hang-up", comment


def main():
    failed = 0
    for test in (test_dump, test_cut, test_pcapng, test_dissector):
        with tempfile.TemporaryDirectory() as tmp:
            try:
                test(tmp)
                print(f"ok   {test.__name__}")
            except Exception as e:  # report every test, then fail
                failed += 1
                print(f"FAIL {test.__name__}: {type(e).__name__}: {e}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
