#!/usr/bin/env python3
"""Measures lumtab against the cost of writing its table's bytes.

    python3 bench/bench.py [--runs N] [--dirs DIR ...]

In each directory (by default the tmpfs /dev/shm and build/bench on the disk) it
makes random images of 8192 x 8192 and 4096 x 4096 pixels and one of 1 x 1, then
runs, side by side and several times over:
  - lumtab on the large image, writing a new table;
  - dd writing as many bytes as that table from /dev/zero, bs=1M, into a new file;
  - lumtab on the large image again, replacing the table left by the run before;
  - lumtab on the 4096 x 4096 image;
  - od -An -v -tu1 -w8192 over the large raster (fewer runs: it is slow);
  - lumtab on the 1 x 1 image and /bin/true, many times.
It prints medians, MB/s, peak memory and the ratios lumtab is held to. It needs
only Python 3 and a built lumtab (./build.sh), and installs nothing.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def make_image(path, side, seed):
    if os.path.exists(path) and os.path.getsize(path) > side * side:
        return
    # Written a row at a time, so that this process stays small: the peak memory
    # of a child that it starts counts its own size before the exec.
    generator = random.Random(seed)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (side, side))
        for _ in range(side):
            f.write(generator.randbytes(side))


def run(argv, stdout=subprocess.DEVNULL):
    """Runs argv; returns (seconds, peak resident KiB)."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit("bench: %s failed: %s" % (" ".join(argv), process.stderr.read().decode()))
    process.stderr.close()
    return seconds, usage.ru_maxrss


def remove(path):
    if os.path.exists(path):
        os.unlink(path)


def median_ms(samples):
    return statistics.median(s for s, _ in samples) * 1000


def bench_directory(lumtab, directory, runs, od_runs, judged):
    os.makedirs(directory, exist_ok=True)
    large, medium, tiny = (os.path.join(directory, n) for n in ("large.pgm", "medium.pgm", "tiny.pgm"))
    make_image(large, 8192, 1)
    make_image(medium, 4096, 2)
    make_image(tiny, 1, 3)
    large_table = large[:-3] + "int"
    medium_table = medium[:-3] + "int"
    dd_out = os.path.join(directory, "dd.out")
    od_out = os.path.join(directory, "od.out")

    run([lumtab, large])  # warm the page cache and learn the table's size
    table_bytes = os.path.getsize(large_table)
    dd = ["dd", "if=/dev/zero", "of=" + dd_out, "bs=1M", "count=%d" % table_bytes,
          "iflag=count_bytes", "status=none"]

    samples = {name: [] for name in ("lumtab", "dd", "replace", "medium", "od", "tiny", "true")}
    for round_ in range(runs):
        remove(large_table)
        remove(dd_out)
        remove(medium_table)
        pair = [("lumtab", [lumtab, large]), ("dd", dd)]
        if round_ % 2:
            pair.reverse()
        for name, argv in pair:
            samples[name].append(run(argv))
        # The medium run comes before the replacing one, whose freeing of the old
        # table goes on in the kernel after it has ended.
        samples["medium"].append(run([lumtab, medium]))
        samples["replace"].append(run([lumtab, large]))
    remove(large_table)
    remove(medium_table)
    remove(dd_out)

    for _ in range(od_runs):
        with open(od_out, "wb") as out:
            samples["od"].append(run(["od", "-An", "-v", "-tu1", "-w8192",
                                      "-j%d" % (os.path.getsize(large) - 8192 * 8192), large],
                                     stdout=out))
        remove(od_out)
    for _ in range(200):
        samples["tiny"].append(run([lumtab, tiny]))
        samples["true"].append(run(["/bin/true"]))

    ms = {name: median_ms(s) for name, s in samples.items() if s}
    peak_mib = max(kib for _, kib in samples["lumtab"]) / 1024
    raster_mib = 8192 * 8192 / MIB
    rate = lambda name: table_bytes / MIB / (ms[name] / 1000)

    print("\n%s: %d paired runs; medians" % (directory, runs))
    print("  table of 8192 x 8192 pixels: %.1f MiB" % (table_bytes / MIB))
    print("  %-34s %9.1f ms  %7.0f MiB/s" % ("lumtab, new table", ms["lumtab"], rate("lumtab")))
    print("  %-34s %9.1f ms  %7.0f MiB/s" % ("dd, same bytes, new file", ms["dd"], rate("dd")))
    print("  %-34s %9.1f ms  %7.0f MiB/s" % ("lumtab, replacing the table", ms["replace"], rate("replace")))
    print("  %-34s %9.1f ms" % ("lumtab, 4096 x 4096", ms["medium"]))
    print("  %-34s %9.1f ms  (%d runs)" % ("od -An -v -tu1 -w8192", ms["od"], od_runs))
    print("  %-34s %9.3f ms" % ("lumtab, 1 x 1", ms["tiny"]))
    print("  %-34s %9.3f ms" % ("/bin/true", ms["true"]))

    checks = [
        ("lumtab / dd", ms["lumtab"] / ms["dd"], "at most 1.4", ms["lumtab"] / ms["dd"] <= 1.4),
        ("od / lumtab", ms["od"] / ms["lumtab"], "at least 10", ms["od"] / ms["lumtab"] >= 10),
        ("peak memory - raster (MiB)", peak_mib - raster_mib, "at most 16",
         peak_mib - raster_mib <= 16),
        ("64 MP / 16 MP", ms["lumtab"] / ms["medium"], "3.2 to 4.8",
         3.2 <= ms["lumtab"] / ms["medium"] <= 4.8),
        ("1 x 1 / true", ms["tiny"] / ms["true"], "at most 3", ms["tiny"] / ms["true"] <= 3),
        ("replace - new (ms)", ms["replace"] - ms["lumtab"], "(file system's cost)", True),
    ]
    for name, value, target, met in checks:
        verdict = ("met" if met else "MISSED") if judged else "(not judged here)"
        print("  %-34s %9.2f   target %-22s %s" % (name, value, target, verdict))
    return all(met for _, _, _, met in checks) or not judged


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--od-runs", type=int, default=3)
    parser.add_argument("--dirs", nargs="+",
                        default=["/dev/shm/lumtab-bench", os.path.join(ROOT, "build", "bench")])
    parser.add_argument("--lumtab", default=os.path.join(ROOT, "build", "lumtab"))
    parser.add_argument("--keep", action="store_true", help="keep the images for the next run")
    args = parser.parse_args()
    if not os.access(args.lumtab, os.X_OK):
        sys.exit("bench: %s not found; build it first with ./build.sh" % args.lumtab)

    print("lumtab %s; %s; %d cores" % (args.lumtab, os.uname().release, os.cpu_count()))
    ok = True
    # The targets hold for the first directory, a tmpfs by default, where the time
    # is the tool's own; the others are measured beside it.
    for i, directory in enumerate(args.dirs):
        ok = bench_directory(args.lumtab, directory, args.runs, args.od_runs, i == 0) and ok
        if not args.keep:
            for name in ("large.pgm", "medium.pgm", "tiny.pgm"):
                remove(os.path.join(directory, name))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
