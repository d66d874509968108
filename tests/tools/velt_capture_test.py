#!/usr/bin/env python3
"""velt-capture between a test-owned pseudo-terminal (the device) and the mapped
link opened as the program opens its port: bytes both ways, the capture file,
the program closing and reopening, an unplug and replug, a full disk, bad arguments.

usage: velt_capture_test.py BIN_DIR
"""
import os
import queue
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import tty
import zlib

BIN = sys.argv[1] if len(sys.argv) > 1 else "build/default/bin"
TAP = os.path.join(BIN, "velt-capture")
STARTED = []  # taps to end whatever happens
DEVICE_BYTES, PROGRAM_BYTES, OPENED, CLOSED, LOST, BACK = 1, 2, 3, 4, 5, 6
DEVICE_DROPPED, PROGRAM_DROPPED, RECORDS_DROPPED = 7, 8, 9
SYNC = b"\xe5\x1a"


class Device:
    """A pseudo-terminal whose slave is reached through a symlink, as a device node."""

    def __init__(self, link):
        self.master, slave = os.openpty()
        tty.setraw(slave)  # the line as the tap leaves it, before the tap opens it
        name = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(self.master, False)
        tmp = link + ".tmp"
        os.symlink(name, tmp)
        os.rename(tmp, link)

    def unplug(self):
        os.close(self.master)


def read_exactly(fd, size, timeout=3.0):
    got = b""
    end = time.monotonic() + timeout
    while len(got) < size and time.monotonic() < end:
        try:
            got += os.read(fd, size - len(got))
        except BlockingIOError:
            time.sleep(0.005)
    return got


def read_nothing(fd, wait=0.3):
    time.sleep(wait)
    try:
        return os.read(fd, 4096)
    except BlockingIOError:
        return b""


def open_port(link):
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


class Tap:
    def __init__(self, device, link, out, protocol="2", file_limit=None, extra=()):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))

        self.proc = subprocess.Popen(
            [TAP, "--device", device, "--map", link, "--protocol", protocol, "--out", out,
             *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=limit if file_limit else None)
        STARTED.append(self.proc)
        self.lines = queue.Queue()
        self.seen = []
        self.taken = set()
        for stream in (self.proc.stdout, self.proc.stderr):
            threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for line in stream:
            self.lines.put(line)

    def wait_for(self, pattern, timeout=5.0):
        """The first line matching pattern that no earlier wait took (stdout and
        stderr interleave in any order)."""
        end = time.monotonic() + timeout
        while True:
            for i, line in enumerate(self.seen):
                if i not in self.taken and re.search(pattern, line):
                    self.taken.add(i)
                    return line
            if time.monotonic() >= end:
                break
            try:
                self.seen.append(self.lines.get(timeout=0.05))
            except queue.Empty:
                pass
        raise AssertionError(f"no line matching {pattern!r}; got {''.join(self.seen)}")

    def stop(self, how=signal.SIGTERM):
        self.proc.send_signal(how)
        status = self.proc.wait(timeout=5)
        time.sleep(0.05)  # the readers take the last lines
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        return status, "".join(self.seen)


def read_capture(path, whole=True):
    """(protocol, records): every record checked; times in microseconds."""
    data = open(path, "rb").read()
    assert data[:8] == b"VELT-CAP", data[:8]
    version, header_size, protocol = struct.unpack_from("<HHB", data, 8)
    assert version == 2, version
    (check,) = struct.unpack_from("<I", data, header_size - 4)
    assert zlib.crc32(data[:header_size - 4]) == check, "the header's check fails"
    records, at = [], header_size
    while at + 17 <= len(data):
        assert data[at:at + 2] == SYNC, f"no record marker at byte {at}"
        kind, us, size = struct.unpack_from("<BQH", data, at + 2)
        end = at + 13 + size
        if end + 4 > len(data):
            break
        (check,) = struct.unpack_from("<I", data, end)
        assert zlib.crc32(data[at:end]) == check, f"the record at byte {at} fails its check"
        records.append((kind, us, data[at + 13:end]))
        at = end + 4
    if whole:
        assert at == len(data), "the file ends inside a record"
    times = [r[1] for r in records]
    assert times == sorted(times), "times go back"
    return protocol, records


def joined(records, kind):
    return b"".join(r[2] for r in records if r[0] == kind)


def received(records):
    """The device bytes the program had its port open for."""
    out, open_ = b"", False
    for kind, _, data in records:
        open_ = {OPENED: True, CLOSED: False}.get(kind, open_)
        if kind == DEVICE_BYTES and open_:
            out += data
    return out


def test_forwarding_and_port_events(tmp):
    link, dev, out = f"{tmp}/com1", f"{tmp}/ttyDEV", f"{tmp}/fwd.vcap"
    device = Device(dev)
    tap = Tap(dev, link, out, protocol="1")
    tap.wait_for("mapped as")
    os.write(device.master, b"nobody listens")  # recorded, not forwarded
    time.sleep(0.2)

    port = open_port(link)
    every_byte = bytes(range(256)) * 8
    os.write(device.master, every_byte)
    assert read_exactly(port, len(every_byte)) == every_byte, "device -> program changed"
    answers = bytes(reversed(range(256))) * 4
    os.write(port, answers)
    assert read_exactly(device.master, len(answers)) == answers, "program -> device changed"

    os.close(port)
    tap.wait_for("program closed the port")
    os.write(device.master, b"port closed")  # recorded, not forwarded
    time.sleep(0.2)
    port = open_port(link)
    assert read_nothing(port) == b"", "bytes of a closed port reached the program"
    os.write(device.master, b"second session")
    assert read_exactly(port, 14) == b"second session"
    os.close(port)
    tap.wait_for("program closed the port")

    status, text = tap.stop()
    assert status == 0, text
    assert not os.path.lexists(link), "the map entry is left behind"
    total = len(b"nobody listens") + len(every_byte) + len(b"port closed") + 14
    assert f"from the device: {total} bytes" in text, text
    assert f"from the program: {len(answers)} bytes" in text, text
    assert "device gaps: 0, port opens: 2, port closes: 2" in text, text
    protocol, records = read_capture(out)
    assert protocol == 1
    assert joined(records, DEVICE_BYTES) == (b"nobody listens" + every_byte + b"port closed" +
                                             b"second session")
    assert joined(records, PROGRAM_BYTES) == answers
    assert received(records) == every_byte + b"second session", [(k, t, d[:16]) for k, t, d in records]
    events = [r[0] for r in records if r[0] in (OPENED, CLOSED)]
    assert events == [OPENED, CLOSED, OPENED, CLOSED], events


def test_unplug_and_replug(tmp):
    link, dev, out = f"{tmp}/com2", f"{tmp}/ttyUSB", f"{tmp}/gap.vcap"
    device = Device(dev)
    os.symlink(dev, link)  # the port mapped to the device, as at a bedside
    tap = Tap(dev, link, out)
    tap.wait_for("mapped as")
    port = open_port(link)
    os.write(device.master, b"before")
    assert read_exactly(port, 6) == b"before"

    device.unplug()
    tap.wait_for("device lost")
    os.write(port, b"into the gap")  # recorded; there is no device to take it
    time.sleep(0.1)
    device = Device(dev)  # a new device on the same path
    tap.wait_for("device back", 3.0)
    os.write(device.master, b"after")
    assert read_exactly(port, 5) == b"after", "forwarding did not resume"
    os.write(port, b"ack")
    assert read_exactly(device.master, 3) == b"ack"
    os.close(port)

    status, text = tap.stop(signal.SIGINT)
    assert status == 0, text
    assert os.readlink(link) == dev, "the port's own mapping was not put back"
    assert "device gaps: 1, port opens: 1, port closes: 1" in text, text
    _, records = read_capture(out)
    kinds = [r[0] for r in records]
    assert LOST in kinds and BACK in kinds and kinds.index(LOST) < kinds.index(BACK), kinds
    lost = records[kinds.index(LOST)]
    assert lost[2], "the gap has no reason"
    back = records[kinds.index(BACK)]
    assert back[1] >= lost[1]
    assert joined(records[:kinds.index(LOST)], DEVICE_BYTES) == b"before"
    assert joined(records[kinds.index(BACK):], DEVICE_BYTES) == b"after"
    assert joined(records, PROGRAM_BYTES) == b"ack"
    # Read from the program while there was no device: dropped, and marked as such.
    assert joined(records, PROGRAM_DROPPED) == b"into the gap"


def test_full_disk(tmp):
    link, dev = f"{tmp}/com3", f"{tmp}/ttyFULL"
    device = Device(dev)
    tap = Tap(dev, link, "/dev/full", protocol="3")
    line = tap.wait_for("No space left on device")
    assert "/dev/full" in line, line
    tap.wait_for("mapped as")
    port = open_port(link)
    for i in range(3):  # across several flushes
        payload = b"still forwarded %d" % i
        os.write(device.master, payload)
        assert read_exactly(port, len(payload)) == payload
        os.write(port, b"ack%d" % i)
        assert read_exactly(device.master, 4) == b"ack%d" % i
        time.sleep(0.3)
    os.close(port)
    status, text = tap.stop(signal.SIGHUP)
    assert status == 1, f"a lost capture ended with status {status}"
    assert text.count("No space left on device") >= 1, text
    assert not os.path.lexists(link)


def test_disk_full_while_recording(tmp):
    """The file may grow to 3000 bytes: the capture ends at its last whole write."""
    link, dev, out = f"{tmp}/com5", f"{tmp}/ttyLIMIT", f"{tmp}/limit.vcap"
    device = Device(dev)
    tap = Tap(dev, link, out, file_limit=3000)
    tap.wait_for("mapped as")
    port = open_port(link)
    sent = b""
    for i in range(8):  # a chunk per flush, 8 x 700 bytes
        payload = bytes([65 + i]) * 700
        os.write(device.master, payload)
        assert read_exactly(port, len(payload)) == payload, f"chunk {i} not forwarded"
        sent += payload
        time.sleep(0.3)
    line = tap.wait_for("File too large", 0.5)
    assert out in line, line
    os.close(port)
    status, text = tap.stop()
    assert status == 1, text
    assert f"from the device: {len(sent)} bytes" in text, text
    _, records = read_capture(out)  # whole: no record is cut
    kept = joined(records, DEVICE_BYTES)
    assert 700 <= len(kept) < len(sent) and sent.startswith(kept), len(kept)
    assert os.path.getsize(out) <= 3000


def test_bad_start(tmp):
    def run(*args):
        p = subprocess.run([TAP, *args], capture_output=True, text=True, timeout=5)
        return p.returncode, p.stderr

    base = ["--device", f"{tmp}/none", "--map", f"{tmp}/com4", "--out", f"{tmp}/x.vcap"]
    for args in (base, base + ["--protocol", "4"], base + ["--protocol", "1", "--speed", "2"],
                 ["--device", "a", "--map", "a", "--protocol", "1", "--out", "b"]):
        status, err = run(*args)
        assert status == 2 and "velt-capture:" in err, (args, status, err)
    status, err = run(*base, "--protocol", "2")
    assert status == 1 and "No such file or directory" in err, (status, err)
    status, err = run("--device", "/dev/null", "--map", f"{tmp}/com4", "--protocol", "2",
                      "--out", f"{tmp}/x.vcap")
    assert status == 1 and "not a serial line" in err, (status, err)
    assert not os.path.lexists(f"{tmp}/com4") and not os.path.exists(f"{tmp}/x.vcap")
    device = Device(f"{tmp}/dev")  # noqa: F841 (kept open while the tap tries)
    status, err = run("--device", f"{tmp}/dev", "--map", f"{tmp}/no/com4", "--protocol", "2",
                      "--out", f"{tmp}/x.vcap")
    assert status == 1 and "cannot map" in err, (status, err)
    assert not os.path.exists(f"{tmp}/x.vcap")
    open(f"{tmp}/com4", "w").close()  # a file, not a map entry: left alone
    status, err = run("--device", f"{tmp}/dev", "--map", f"{tmp}/com4", "--protocol", "2",
                      "--out", f"{tmp}/x.vcap")
    assert status == 1 and "not a link" in err and os.path.isfile(f"{tmp}/com4"), (status, err)


def test_killed_tap_leaves_no_trap(tmp):
    """SIGKILL leaves the entry on the tap's dead terminal; the next start of
    velt-ports or velt-capture puts it back, from the note beside the entry."""
    conf = f"{tmp}/conf"
    os.makedirs(f"{conf}/dosdevices")
    os.makedirs(f"{tmp}/root/dev")
    link, dev = f"{conf}/dosdevices/com1", f"{tmp}/ttyUSB"
    device = Device(dev)  # noqa: F841 (kept open)
    os.symlink(dev, link)
    for restarter in ("velt-ports", "velt-capture"):
        tap = Tap(dev, link, f"{tmp}/killed-{restarter}.vcap")
        tap.wait_for("mapped as")
        assert os.readlink(link).startswith("/dev/pts/"), os.readlink(link)
        tap.proc.kill()
        tap.proc.wait(timeout=5)
        assert os.readlink(link) != dev and os.path.exists(link + ".taken")
        if restarter == "velt-ports":
            p = subprocess.run([os.path.join(BIN, "velt-ports"), "--config", conf, "--root",
                                f"{tmp}/root", "list"], capture_output=True, text=True, timeout=10)
            text = p.stdout
        else:
            again = Tap(dev, link, f"{tmp}/again.vcap")
            text = again.wait_for("points at")
            again.wait_for("mapped as")
            _, rest = again.stop()
            text += rest
        assert f"{link} points at {dev} again" in text, text
        assert os.readlink(link) == dev, os.readlink(link)
        assert not os.path.exists(link + ".taken")


def test_fifo_out_and_stop_signals(tmp):
    """A FIFO nobody reads never holds the tap up: it forwards, and every stop signal
    ends it within a second, with the program's port open or closed."""
    link, dev = f"{tmp}/com6", f"{tmp}/ttyFIFO"
    device = Device(dev)
    fifo = f"{tmp}/out.fifo"
    os.mkfifo(fifo)
    for how, with_port in ((signal.SIGINT, True), (signal.SIGTERM, False), (signal.SIGHUP, True)):
        tap = Tap(dev, link, fifo)
        tap.wait_for("mapped as")
        if with_port:
            port = open_port(link)
            payload = b"through %d" % how
            os.write(device.master, payload)
            assert read_exactly(port, len(payload)) == payload, "not forwarded"
        start = time.monotonic()
        status, text = tap.stop(how)
        took = time.monotonic() - start
        assert took < 1.0, f"{how!r} took {took:.2f} s"
        assert status == 1 and "not written" in text, (status, text)
        if with_port:
            os.close(port)


def test_slow_file_never_slows_the_forwarding(tmp):
    """A FIFO drained at 2 KB/s: the program gets every byte at once, and what the
    file got is whole records."""
    link, dev = f"{tmp}/com7", f"{tmp}/ttySLOW"
    device = Device(dev)
    fifo = f"{tmp}/slow.fifo"
    os.mkfifo(fifo)
    got = bytearray()
    stop = threading.Event()

    def drain():
        fd = os.open(fifo, os.O_RDONLY)
        while not stop.is_set():
            got.extend(os.read(fd, 200))
            time.sleep(0.1)
        os.close(fd)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    tap = Tap(dev, link, fifo)
    tap.wait_for("mapped as")
    port = open_port(link)
    worst = 0.0
    for i in range(150):  # 3 s at 50 frames/s, about 8 times what the file takes
        frame = bytes([i % 256]) * 100
        sent = time.monotonic()
        os.write(device.master, frame)
        assert read_exactly(port, len(frame)) == frame, f"frame {i}"
        worst = max(worst, time.monotonic() - sent)
        time.sleep(0.02)
    assert worst < 0.5, f"a frame took {worst:.2f} s through the tap"
    os.close(port)
    tap.stop()
    stop.set()
    reader.join(timeout=2)
    path = f"{tmp}/slow.vcap"
    open(path, "wb").write(bytes(got))
    _, records = read_capture(path, whole=False)
    assert records and records[0][0] == OPENED, records[:2]


def test_every_quick_open_and_close_is_recorded(tmp):
    link, dev = f"{tmp}/com8", f"{tmp}/ttyQUICK"
    device = Device(dev)  # noqa: F841
    out = f"{tmp}/quick.vcap"
    tap = Tap(dev, link, out)
    tap.wait_for("mapped as")
    for _ in range(50):
        port = open_port(link)
        time.sleep(0.002)
        os.close(port)
    time.sleep(0.3)
    status, text = tap.stop()
    assert status == 0, text
    assert "port opens: 50, port closes: 50" in text, text
    _, records = read_capture(out)
    events = [r[0] for r in records if r[0] in (OPENED, CLOSED)]
    assert events == [OPENED, CLOSED] * 50, events


def test_bytes_nobody_took_are_marked(tmp):
    """A program that stops reading: what did not fit is recorded as dropped, and
    what it received plus what was dropped is what the device sent."""
    link, dev = f"{tmp}/com9", f"{tmp}/ttyFULLQ"
    device = Device(dev)
    out = f"{tmp}/dropped.vcap"
    tap = Tap(dev, link, out)
    tap.wait_for("mapped as")
    port = open_port(link)
    sent = bytes(range(256)) * 1200  # 300 KiB: more than the pty and the tap's queue
    at = 0
    end = time.monotonic() + 10
    while at < len(sent) and time.monotonic() < end:
        try:
            at += os.write(device.master, sent[at:at + 4096])
        except BlockingIOError:
            time.sleep(0.01)
    assert at == len(sent)
    time.sleep(0.5)
    taken = read_nothing(port, 0.1)
    while True:
        more = read_nothing(port, 0.05)
        if not more:
            break
        taken += more
    os.close(port)
    tap.wait_for("program closed the port")
    status, text = tap.stop()
    assert status == 0, text
    assert "dropped" in text, text
    _, records = read_capture(out)
    received = b"".join(d for k, _, d in records if k == DEVICE_BYTES)
    dropped = b"".join(d for k, _, d in records if k == DEVICE_DROPPED)
    assert taken == received, (len(taken), len(received))
    assert len(dropped) > 0
    assert len(received) + len(dropped) == len(sent), (len(received), len(dropped))


def test_an_existing_file_is_kept(tmp):
    link, dev, out = f"{tmp}/com10", f"{tmp}/ttyKEEP", f"{tmp}/kept.vcap"
    device = Device(dev)  # noqa: F841
    open(out, "wb").write(b"yesterday's capture")
    p = subprocess.run([TAP, "--device", dev, "--map", link, "--protocol", "1", "--out", out],
                       capture_output=True, text=True, timeout=5)
    assert p.returncode == 1 and "exists (--force replaces it)" in p.stderr, p.stderr
    assert open(out, "rb").read() == b"yesterday's capture"
    assert not os.path.lexists(link)
    # Replaced only once the recording starts: an entry that cannot be taken keeps it.
    p = subprocess.run([TAP, "--device", dev, "--map", f"{tmp}/no/com10", "--protocol", "1",
                        "--out", out, "--force"], capture_output=True, text=True, timeout=5)
    assert "cannot map" in p.stderr and open(out, "rb").read() == b"yesterday's capture"
    tap = Tap(dev, link, out, extra=("--force",))
    tap.wait_for("mapped as")
    other = Device(f"{tmp}/ttyOTHER")  # noqa: F841
    second = subprocess.run([TAP, "--device", f"{tmp}/ttyOTHER", "--map", f"{tmp}/com11",
                             "--protocol", "1",
                             "--out", out, "--force"], capture_output=True, text=True, timeout=5)
    assert second.returncode == 1 and "being written by another capture" in second.stderr, \
        second.stderr
    status, text = tap.stop()
    assert status == 0, text
    read_capture(out)


def main():
    if not os.access(TAP, os.X_OK):
        print(f"no {TAP}", file=sys.stderr)
        return 1
    failed = 0
    for test in (test_forwarding_and_port_events, test_unplug_and_replug, test_full_disk,
                 test_disk_full_while_recording, test_bad_start, test_killed_tap_leaves_no_trap,
                 test_fifo_out_and_stop_signals, test_slow_file_never_slows_the_forwarding,
                 test_every_quick_open_and_close_is_recorded, test_bytes_nobody_took_are_marked,
                 test_an_existing_file_is_kept):
        with tempfile.TemporaryDirectory() as tmp:
            start = time.monotonic()
            try:
                test(tmp)
                print(f"ok   {test.__name__} ({time.monotonic() - start:.1f} s)")
            except Exception as e:  # report every test, then fail
                failed += 1
                print(f"FAIL {test.__name__}: {type(e).__name__}: {e}")
                traceback.print_exc()
            finally:
                for proc in STARTED:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                STARTED.clear()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
