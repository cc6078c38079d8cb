#!/usr/bin/env python3
"""Times lumtab's refusal of malformed images, with its peak memory.

    python3 bench/malformed.py [--lumtab PATH] [--check]

Runs lumtab under GNU time on a copy of every malformed seed in fuzz/corpus and on
a pipe that claims 4 GiB of raster and ends after 1 MiB. Each must be refused (exit
status 1) in under 10 ms and 10 MiB; the time includes GNU time's own start, so it
is an upper bound. Prints the slowest refusal, the largest peak and "met" or
"MISSED" for each target. Exits 0 whatever the figures; 1 with --check if a target
is missed; 2 if lumtab is killed by a signal or a prerequisite is missing. The
copies go to a temporary directory, removed at the end. Needs a built lumtab
(./build.sh) and /usr/bin/time (Debian's package time).
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIME_NOTES = ("Command exited with non-zero status", "Command terminated by signal")


def fail(message):
    """An error, not a figure: exit status 2."""
    print("malformed: " + message, file=sys.stderr)
    sys.exit(2)


def refuse(lumtab, path):
    """Runs lumtab on path under GNU time; returns (exit status, seconds, peak KiB,
    first line of lumtab's message)."""
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", lumtab, path],
                            capture_output=True, text=True, errors="replace")
    seconds = time.perf_counter() - start
    *lines, kib = result.stderr.strip().split("\n")
    if any(line.startswith(TIME_NOTES[1]) for line in lines):
        fail("lumtab crashed on %s: %s" % (path, result.stderr.strip()))
    message = [line for line in lines if not line.startswith(TIME_NOTES)]
    return result.returncode, seconds, int(kib), (message or [""])[0]


def feed(pipe, data):
    try:
        with open(pipe, "wb") as f:
            f.write(data)
    except BrokenPipeError:
        pass  # lumtab stopped reading, as a refusal may


def refuse_pipe(lumtab, scratch):
    """Refusal of a pipe whose header claims 65536 x 65536 pixels but holds 1 MiB."""
    pipe = os.path.join(scratch, "pipe.pgm")
    os.mkfifo(pipe)
    feeder = threading.Thread(target=feed, daemon=True,
                              args=(pipe, b"P5\n65536 65536\n255\n" + os.urandom(1 << 20)))
    feeder.start()
    result = refuse(lumtab, pipe)
    # If lumtab never opened the pipe, the feeder waits for a reader: give it one.
    os.close(os.open(pipe, os.O_RDONLY | os.O_NONBLOCK))
    feeder.join(timeout=5)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lumtab", default=os.path.join(ROOT, "build", "lumtab"))
    parser.add_argument("--check", action="store_true", help="exit 1 if a target is missed")
    args = parser.parse_args()
    lumtab = os.path.abspath(args.lumtab)
    if not os.access(lumtab, os.X_OK):
        fail("%s not found; build it first with ./build.sh" % lumtab)
    if not os.path.exists("/usr/bin/time"):
        fail("needs /usr/bin/time: apt-get install time")

    seeds = sorted(glob.glob(os.path.join(ROOT, "fuzz", "corpus", "malformed-*.pgm")))
    results = []  # (name, exit status, seconds, KiB, message)
    with tempfile.TemporaryDirectory(prefix="lumtab-malformed-") as scratch:
        for seed in seeds:
            copy = os.path.join(scratch, os.path.basename(seed))
            shutil.copy(seed, copy)
            results.append((os.path.basename(seed), *refuse(lumtab, copy)))
        results.append(("pipe claiming 4 GiB, holding 1 MiB", *refuse_pipe(lumtab, scratch)))

    accepted = [r for r in results if r[1] != 1]
    slowest = max(results, key=lambda r: r[2])
    largest = max(results, key=lambda r: r[3])
    print("%d malformed inputs, %d refused" % (len(results), len(results) - len(accepted)))
    for name, status, *_ in accepted:
        print("  not refused (exit status %d): %s" % (status, name))
    print("slowest: %.1f ms (%s: %s)" % (slowest[2] * 1000, slowest[0], slowest[4]))
    print("largest peak: %.1f MiB (%s: %s)" % (largest[3] / 1024, largest[0], largest[4]))
    verdicts = [("every input refused", not accepted),
                ("under 10 ms", slowest[2] < 0.010),
                ("under 10 MiB", largest[3] < 10 * 1024)]
    for target, met in verdicts:
        print("target %s: %s" % (target, "met" if met else "MISSED"))
    missed = not all(met for _, met in verdicts)
    sys.exit(1 if args.check and missed else 0)


if __name__ == "__main__":
    main()
