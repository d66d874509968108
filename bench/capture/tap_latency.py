#!/usr/bin/env python3
"""What velt-capture adds to a frame's way from the device to the program.

Frames are written on a device pseudo-terminal at a fixed rate and read where the
program reads them: through velt-capture (device pty -> tap -> mapped link), and,
at the same moments, on a second pty read directly (the path without the tap). The
difference of the two latency distributions is what the tap adds; its CPU share
comes from /proc/<pid>/stat over the run.

With --simulator the device is oximeter-sim, which trickles its stream out at the
line rate in small chunks as a serial line does; only the CPU shares of the tap and
of the simulator are measured then.

With --slow-disk BYTES_PER_S the capture goes into a FIFO that this script drains at
that rate (2000 stands in for a slow network share): the tap's file is slower than
the link, and the figures show whether the forwarding waits for it.

usage: tap_latency.py [--bin build/default/bin] [--seconds 60] [--rate 50] [--simulator]
                      [--slow-disk BYTES_PER_S]
"""
import argparse
import os
import select
import signal
import struct
import subprocess
import tempfile
import threading
import time
import tty

FRAME = 20  # bytes, about one record of the device


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def raw_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def simulator_cpu(args):
    with tempfile.TemporaryDirectory() as tmp:
        sim = subprocess.Popen([f"{args.bin}/oximeter-sim", "--map", f"{tmp}/device",
                                "--protocol", "1"], stdout=subprocess.PIPE, text=True)
        sim.stdout.readline()
        tap = subprocess.Popen([f"{args.bin}/velt-capture", "--device", f"{tmp}/device",
                                "--map", f"{tmp}/com1", "--protocol", "1",
                                "--out", f"{tmp}/bench.vcap"], stdout=subprocess.PIPE, text=True)
        try:
            if "mapped as" not in tap.stdout.readline():
                raise SystemExit("velt-capture did not start")
            port = os.open(f"{tmp}/com1", os.O_RDWR | os.O_NOCTTY)
            tty.setraw(port)
            t0, s0, wall0 = cpu_ticks(tap.pid), cpu_ticks(sim.pid), time.monotonic()
            got = 0
            while time.monotonic() - wall0 < args.seconds:
                got += len(os.read(port, 4096))
            wall = time.monotonic() - wall0
            tap_ticks, sim_ticks = cpu_ticks(tap.pid) - t0, cpu_ticks(sim.pid) - s0
            os.close(port)
        finally:
            tap.send_signal(signal.SIGTERM)
            summary = tap.communicate(timeout=10)[0]
            sim.send_signal(signal.SIGTERM)
            sim.communicate(timeout=10)
    hz = os.sysconf("SC_CLK_TCK")
    load = os.getloadavg()
    print(f"simulator, protocol 1: the program read {got} bytes in {wall:.1f} s")
    print(f"tap CPU: {100.0 * tap_ticks / hz / wall:.2f} % of a core; "
          f"simulator: {100.0 * sim_ticks / hz / wall:.2f} %")
    print(f"load average: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cores")
    print(summary.strip())
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default="build/default/bin")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--rate", type=float, default=50)
    ap.add_argument("--simulator", action="store_true")
    ap.add_argument("--slow-disk", type=float, default=0)
    args = ap.parse_args()
    if args.simulator:
        return simulator_cpu(args)

    # The program's receive thread reads at real-time priority where it may; so does
    # this reader, else its own delays on a busy machine would be measured.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(50))
        reader = "real-time"
    except OSError:
        reader = "normal"
    with tempfile.TemporaryDirectory() as tmp:
        dev_master, dev_slave = raw_pty()
        os.symlink(os.ttyname(dev_slave), f"{tmp}/device")
        os.close(dev_slave)
        out = f"{tmp}/bench.vcap"
        draining = threading.Event()
        drained = [0]
        if args.slow_disk > 0:
            out = f"{tmp}/slow.fifo"
            os.mkfifo(out)

            def drain():
                fd = os.open(out, os.O_RDONLY)
                step = max(1, int(args.slow_disk / 10))
                while not draining.is_set():
                    drained[0] += len(os.read(fd, step))
                    time.sleep(0.1)
                os.close(fd)

            threading.Thread(target=drain, daemon=True).start()
        tap = subprocess.Popen([f"{args.bin}/velt-capture", "--device", f"{tmp}/device",
                                "--map", f"{tmp}/com1", "--protocol", "2", "--out", out],
                               stdout=subprocess.PIPE, text=True)
        try:
            started = tap.stdout.readline()
            if "mapped as" not in started:
                raise SystemExit("velt-capture did not start")
            tapped = os.open(f"{tmp}/com1", os.O_RDWR | os.O_NOCTTY)
            tty.setraw(tapped)
            direct_master, direct = raw_pty()

            sent = {}
            got = {tapped: {}, direct: {}}
            pending = {tapped: b"", direct: b""}
            period = 1.0 / args.rate
            count = int(args.seconds * args.rate)
            time.sleep(0.2)
            ticks0, wall0 = cpu_ticks(tap.pid), time.monotonic()
            next_send = time.monotonic()
            seq = 0
            poller = select.poll()
            poller.register(tapped, select.POLLIN)
            poller.register(direct, select.POLLIN)
            while seq < count or any(len(got[fd]) < count for fd in got):
                now = time.monotonic()
                if seq < count and now >= next_send:
                    frame = struct.pack("<I", seq) + bytes(FRAME - 4)
                    t_tap = time.monotonic_ns()
                    os.write(dev_master, frame)
                    t_direct = time.monotonic_ns()
                    os.write(direct_master, frame)
                    sent[seq] = (t_tap, t_direct)
                    seq += 1
                    next_send += period
                if seq >= count and now > next_send + 2:
                    break  # frames that never came count as missing
                wait = max(0.0, next_send - time.monotonic()) if seq < count else 0.1
                for fd, _ in poller.poll(wait * 1000):
                    t = time.monotonic_ns()
                    pending[fd] += os.read(fd, 4096)
                    while len(pending[fd]) >= FRAME:
                        (n,) = struct.unpack_from("<I", pending[fd])
                        got[fd][n] = t
                        pending[fd] = pending[fd][FRAME:]
            wall = time.monotonic() - wall0
            ticks = cpu_ticks(tap.pid) - ticks0
        finally:
            tap.send_signal(signal.SIGTERM)
            stop_start = time.monotonic()
            try:
                summary = tap.communicate(timeout=10)[0]
            except subprocess.TimeoutExpired:
                tap.kill()
                summary = tap.communicate()[0] + "(killed: no end within 10 s of SIGTERM)"
            stopped_in = time.monotonic() - stop_start
            draining.set()

    def latencies(fd, which):
        return [(got[fd][n] - sent[n][which]) / 1e6 for n in range(count) if n in got[fd]]

    via_tap, without = latencies(tapped, 0), latencies(direct, 1)
    cpu = 100.0 * ticks / os.sysconf("SC_CLK_TCK") / wall
    load = os.getloadavg()
    print(f"reader priority: {reader}; tap: {'real-time' if 'real-time' in started else 'normal'}")
    print(f"frames: {count} at {args.rate:g}/s over {wall:.1f} s; "
          f"through the tap {len(via_tap)}, direct {len(without)}")
    for name, p in (("p50", 50), ("p99", 99), ("max", 100)):
        a, b = percentile(via_tap, p), percentile(without, p)
        print(f"{name}: through the tap {a:.3f} ms, direct {b:.3f} ms, added {a - b:.3f} ms")
    # The same frame on both paths: what the tap added to that frame.
    paired = [(got[tapped][n] - sent[n][0] - got[direct][n] + sent[n][1]) / 1e6
              for n in range(count) if n in got[tapped] and n in got[direct]]
    print(f"per frame, tap minus direct: p50 {percentile(paired, 50):.3f} ms, "
          f"p99 {percentile(paired, 99):.3f} ms")
    print(f"tap CPU: {cpu:.2f} % of a core ({ticks} ticks)")
    if args.slow_disk > 0:
        print(f"slow disk: {args.slow_disk:g} B/s, {drained[0]} bytes of capture taken")
    print(f"the tap ended {stopped_in:.2f} s after SIGTERM")
    print(f"load average: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cores")
    print(summary.strip())
    ok = len(via_tap) == count and percentile(paired, 99) <= 1.0 and cpu < 1.0
    print("target (per frame p99 added <= 1 ms, CPU < 1 %):", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
