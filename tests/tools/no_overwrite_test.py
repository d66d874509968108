#!/usr/bin/env python3
"""No tool writes over its input or a session being recorded (a file under another's
lock), whatever the spelling (path, ./path, symbolic link, hard link): status 2 naming
it, the file kept. An export onto a symbolic link writes the file it points to.
usage: no_overwrite_test.py BIN_DIR"""
import fcntl
import os
import subprocess
import sys
import tempfile

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/default/bin")

# program, its arguments ({} the spelled name), the file spelled, what the message says
INPUT, HELD, SAME = "overwrite its input", "being recorded", "same file"
CASES = [("velt-process", ["s.raw", o, "{}"], "s.raw", INPUT)
         for o in ("--csv", "--fields", "--acks", "--debug-out")] + [
    ("velt-process", ["--capture", "s.vcap", "--edf", "{}"], "s.vcap", INPUT),
    ("velt-process", ["{}", "--log-dir", "."], "Maxima.txt", INPUT),
    ("velt-process", ["s.raw", "--edf", "{}"], "held.vcap", HELD),
    ("velt-capture", ["--cut", "s.vcap", "--from", "0", "--to", "1", "--out", "{}"], "s.vcap",
     "itself"),
    ("velt-capture", ["--pcapng", "s.vcap", "--out", "{}", "--force"], "s.vcap", "itself"),
    ("velt-capture", ["--device", "dev", "--map", "map", "--protocol", "1", "--out", "{}"], "dev",
     SAME),
    ("oximeter-sim", ["--replay", "s.vcap", "--map", "{}"], "s.vcap", SAME),
    ("oximeter-sim", ["--output", "s.raw", "--record", "{}"], "s.raw", SAME),
    ("oximeter-sim", ["--output", "{}"], "held.vcap", HELD),
    ("velt-make-recording", ["{}"], "held.vcap", HELD),
]


def run(program, args):
    return subprocess.run([os.path.join(BIN, program), *args], capture_output=True, text=True,
                          timeout=30)


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        os.chdir(work)
        for name in ("s.vcap", "s.raw", "Maxima.txt", "dev", "held.vcap"):
            open(name, "wb").write(name.encode() * 100)
            os.symlink(name, "sym-" + name)
            os.link(name, "hard-" + name)
        os.symlink("dev", "map")
        held = open("held.vcap", "rb")
        fcntl.flock(held, fcntl.LOCK_EX)  # as a recorder holds its file
        for program, args, name, says in CASES:
            for spelled in (name, "./" + name, "sym-" + name, "hard-" + name):
                p = run(program, [a.replace("{}", spelled) for a in args])
                kept = open(name, "rb").read() == name.encode() * 100
                if p.returncode != 2 or spelled not in p.stderr or says not in p.stderr or not kept:
                    failures += 1
                    print("FAIL", program, args, spelled, p.returncode, p.stderr[-300:], kept)
        # Onto links: the file pointed to takes the export (a new one when missing).
        assert run("oximeter-sim", ["--output", "r.raw", "--seconds", "2"]).returncode == 0
        open("old.csv", "w").write("old\n")
        for link, target in (("to-old.csv", "old.csv"), ("to-new.csv", "new.csv")):
            os.symlink(target, link)
            p = run("velt-process", ["r.raw", "--csv", link])
            if (p.returncode != 0 or os.readlink(link) != target
                    or not open(target).read().startswith("time,spo2")):
                failures += 1
                print("FAIL link", link, p.returncode, p.stderr[-300:])
        os.chdir("/")
    print("FAIL" if failures else "PASS", failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
