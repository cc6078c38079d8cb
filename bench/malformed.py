#!/usr/bin/env python3
"""Times lumtab's refusal of every malformed seed in fuzz/corpus, and of a pipe that
claims 4 GiB of raster and then ends, with peak memory from GNU time.

    python3 bench/malformed.py

Prints the slowest refusal and the largest peak; each must stay under 10 ms and
10 MiB. Needs a built lumtab (./build.sh) and /usr/bin/time (Debian's package time).
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LUMTAB = os.path.join(ROOT, "build", "lumtab")


def refuse(path):
    """Runs lumtab on path under GNU time; returns (seconds, peak KiB, message).

    The seconds are the wall time of the whole run, GNU time's start included: an
    upper bound on lumtab's own."""
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", LUMTAB, path],
                            capture_output=True, text=True, errors="replace")
    seconds = time.perf_counter() - start
    *message, kib = result.stderr.strip().split("\n")
    if result.returncode != 1:
        sys.exit("malformed: %s was not refused: %s" % (path, result.stderr))
    return seconds, int(kib), message[0]


def main():
    if not os.path.exists("/usr/bin/time"):
        sys.exit("malformed: needs /usr/bin/time: apt-get install time")
    seeds = sorted(glob.glob(os.path.join(ROOT, "fuzz", "corpus", "malformed-*.pgm")))
    with tempfile.TemporaryDirectory() as scratch:
        results = []
        for seed in seeds:
            copy = os.path.join(scratch, os.path.basename(seed))
            shutil.copy(seed, copy)
            results.append((seed, *refuse(copy)))
        pipe = os.path.join(scratch, "pipe.pgm")
        os.mkfifo(pipe)
        feeder = threading.Thread(target=lambda: open(pipe, "wb").write(
            b"P5\n65536 65536\n255\n" + os.urandom(1 << 20)))
        feeder.start()
        results.append(("pipe claiming 4 GiB, holding 1 MiB", *refuse(pipe)))
        feeder.join()

    slowest = max(results, key=lambda r: r[1])
    largest = max(results, key=lambda r: r[2])
    print("%d malformed inputs refused" % len(results))
    print("slowest: %.1f ms (%s: %s)" % (slowest[1] * 1000, os.path.basename(slowest[0]),
                                         slowest[3]))
    print("largest peak: %.1f MiB (%s: %s)" % (largest[2] / 1024, os.path.basename(largest[0]),
                                               largest[3]))
    ok = slowest[1] < 0.010 and largest[2] < 10 * 1024
    print("targets (under 10 ms, under 10 MiB): %s" % ("met" if ok else "MISSED"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
