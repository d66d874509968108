#!/usr/bin/env python3
"""Writes Ding.wav: a 150 ms, 880 Hz tone with an exponential decay, 16-bit mono PCM."""
import math
import struct
import sys

RATE = 22050
DURATION = 0.150
FREQUENCY = 880.0
DECAY = 30.0  # 1/s: the tone falls to about 1 % by the end
ATTACK = 0.002  # a short fade-in avoids a click


def samples():
    count = int(RATE * DURATION)
    for i in range(count):
        t = i / RATE
        envelope = math.exp(-DECAY * t) * min(1.0, t / ATTACK)
        yield int(round(0.6 * 32767 * envelope * math.sin(2 * math.pi * FREQUENCY * t)))


def main(path):
    data = b"".join(struct.pack("<h", s) for s in samples())
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE"
    fmt = b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16)
    with open(path, "wb") as f:
        f.write(header + fmt + b"data" + struct.pack("<I", len(data)) + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Ding.wav")
