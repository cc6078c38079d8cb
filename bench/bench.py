#!/usr/bin/env python3
"""Times lumtab beside the tools it is measured against.

    python3 bench/bench.py [--only NAME ...] [--runs N] [--cold-runs N] [--pause S]
                           [--startup-runs N] [--numpy-runs N] [--lumtab PATH]
                           [--baseline PATH] [--check]

Scenarios (all but od run by default):
  tmpfs    8192 x 8192 random 8-bit image on /dev/shm: lumtab writing a new table vs
           dd writing as many bytes into a new file. lumtab/dd at most 1.25; peak
           memory at most 16 MiB.
  ext4     the same image under build/: lumtab replacing its existing table vs the same
           safety by hand: dd writing a new file, then mv over the old table. At most
           1.25.
  startup  1 x 1 image: lumtab vs /bin/true. At most 1.3.
  many     1000 images of 64 x 64: one lumtab run over all of them vs
           xargs -0 -n 1 -P <cores> lumtab. xargs/lumtab at least 5.
  deep     8192 x 8192 16-bit image on tmpfs: lumtab vs dd. At most 1.3; peak 16 MiB.
  plain    8192 x 8192 plain (P2) image on tmpfs: lumtab vs dd. At most 2; peak 16 MiB.
  stdin    lumtab - <big.pgm >big.int on tmpfs: peak at most 16 MiB; dd beside it.
  colour   8192 x 8192 random 8-bit PPM (P6) on tmpfs to its luminance table vs dd: at
           most 1.4; with --channel=all, at most 1.3; peak at most 16 MiB.
  bitmap   8192 x 8192 random PBM (P4) on tmpfs vs dd: at most 1.3; peak 16 MiB.
  reverse  lumtab -r on the table of the tmpfs image vs lumtab making that table: at
           most 2; peak at most 16 MiB. Then numpy.loadtxt + Pillow (a child process
           of a python3 that has both) vs lumtab -r: at least 5.
  od       od -An -v -tu1 -w8192 over the raster vs lumtab, for information (slow).
  jobs     10,000 images of 64 x 64 in one run: lumtab -j 0 vs lumtab -j 1, at most
           0.6; vs xargs -0 -n 1 -P <cores> lumtab, at most 0.1; peak memory of -j 0
           at most <cores> x 16 MiB.
  list     100,000 names of 1 x 1 images through --files-from with -0 vs as many as
           fit on a command line, per file: at most 1.
  flat     1,000 images of 256 x 256 into one --flat --csv table vs dd writing as
           many bytes into a new file: at most 1.3; peak memory at most 32 MiB.
  png      8192 x 8192 8-bit grey PNG, a smooth picture with noise as a photograph
           compresses: lumtab vs pngtopnm | lumtab -o t.int -, at most 1; vs vips
           csvsave, at most 0.25; peak memory at most 16 MiB.
  tiff     the same picture as a 16-bit deflate TIFF: lumtab vs vips csvsave, at most
           0.25; peak 16 MiB.
  jpeg     the same picture as a JPEG (quality 90): lumtab vs vips csvsave, at most
           0.25; peak 16 MiB.
  topng    the 8-bit picture's table back into PNG: lumtab -r vs lumtab -r into PGM
           then pnmtopng, at most 0.7; vs vips copy of the table as CSV into PNG,
           at most 0.2 (numpy.loadtxt and Pillow, the other peer, take far longer);
           peak 16 MiB; the PNG at most 1.05 times pnmtopng's.
  totiff   the same into TIFF: lumtab -r vs lumtab -r into PGM then pnmtotiff -flate,
           at most 0.7; vs vips copy of the CSV into a deflate TIFF, at most 0.2;
           peak 16 MiB.
  float    4096 x 4096 32-bit floating-point TIFF (deflate), values over many decades
           (a normal deviate times 10 to a random power from -8 to 8): lumtab vs
           numpy.savetxt(fmt='%.9g'), at most 0.05; vs vips csvsave, at most 0.25;
           lumtab's table read back exactly, vips's not; lumtab's time a byte of table
           at most 3 times that of the 8-bit picture's table, made in the same run.
  floatback lumtab -r --float of that table (numpy's) into PFM vs numpy.loadtxt, at
           most 0.15; every float back exactly.

Each pair is timed side by side, the order swapped from one round to the next, in
two regimes: warm (runs back to back) and cold (every timed run after an idle pause,
since this virtual machine hands freed memory back to its host). Each run's time is
fork, exec and wait, the same for both sides. It prints medians, ratios of medians,
"met" or "MISSED", and the peak resident memory of lumtab (ru_maxrss from wait4, in
an untimed run started by a lean launcher, so that the figure is lumtab's own).

With --baseline PATH (another build of lumtab, the previous release say), every
lumtab run of a scenario is also timed side by side with the same run of that
build, warm and cold, and their ratio printed: this build's against the other's.

Exit status: 0 whatever the figures; 1 with --check if a target is missed; 2 if a
run of a tool failed (a scenario whose lumtab run fails says "lumtab failed: ..."
and the others go on). Inputs are made in scratch directories, one on /dev/shm and
one under build/, removed on exit. Needs Python 3 and a built lumtab (./build.sh);
installs nothing.
"""
import argparse
import dataclasses
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20
SIDE = 8192  # of the large images
FLOAT_SIDE = 4096  # of the floating-point one
# A smooth picture with noise, as a photograph compresses, written as argv[2]
# (png, tiff: 16 bits, deflate; jpeg) into argv[3]; argv[1] pixels a side.
PICTURE_CODE = """
import sys, numpy, PIL.Image
side, kind, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
noise = numpy.random.default_rng(8)
x = numpy.arange(side, dtype=numpy.float32) / side
bands = []
for top in range(0, side, 512):
    y = (numpy.arange(top, min(top + 512, side), dtype=numpy.float32) / side)[:, None]
    smooth = 0.5 + 0.3 * numpy.sin(6.3 * (3 * x + 2 * y)) + 0.15 * numpy.cos(31 * x * y)
    bands.append(smooth + noise.normal(0, 0.015, (len(y), side)).astype(numpy.float32))
picture = numpy.clip(numpy.concatenate(bands), 0, 1)
if kind == "tiff":
    pixels = PIL.Image.fromarray((picture * 65535 + 0.5).astype(numpy.uint16))
    pixels.save(out, "TIFF", compression="tiff_deflate")
else:
    pixels = PIL.Image.fromarray((picture * 255 + 0.5).astype(numpy.uint8))
    pixels.save(out, "PNG") if kind == "png" else pixels.save(out, "JPEG", quality=90)
"""
# The floating-point picture: a normal deviate times 10 to a random power from -8
# to 8 a sample, NaN and the infinities among them; written as a deflate TIFF
# (argv[2]) and with numpy.savetxt(fmt='%.9g') (argv[3]) and as .npy (argv[4]).
FLOAT_CODE = """
import sys, numpy, PIL.Image
side = int(sys.argv[1])
r = numpy.random.default_rng(3)
a = (r.standard_normal((side, side)) * 10.0 ** r.integers(-8, 9, (side, side))).astype(numpy.float32)
a[0, :3] = [numpy.nan, numpy.inf, -numpy.inf]
PIL.Image.fromarray(a, mode="F").save(sys.argv[2], compression="tiff_deflate")
numpy.savetxt(sys.argv[3], a, fmt="%.9g")
numpy.save(sys.argv[4], a)
"""
# Whether the table argv[1] holds exactly the floats of argv[2] (.npy): prints
# "exact" or how many differ.
FLOAT_CHECK_CODE = """
import sys, numpy
a = numpy.load(sys.argv[2])
b = numpy.loadtxt(sys.argv[1], dtype=numpy.float32, delimiter=None if len(sys.argv) < 4 else sys.argv[3])
same = (a == b) | (numpy.isnan(a) & numpy.isnan(b))
print("exact" if same.all() else "%d of %d differ" % ((~same).sum(), a.size))
"""
SAVETXT_CODE = """
import sys, numpy
numpy.savetxt(sys.argv[2], numpy.load(sys.argv[1]), fmt="%.9g")
"""
LOADTXT_CODE = """
import sys, numpy
numpy.loadtxt(sys.argv[1], dtype=numpy.float32)
"""
NUMPY_CODE = """
import sys, numpy, PIL.Image
pixels = numpy.loadtxt(sys.argv[1], dtype=numpy.uint8)
PIL.Image.fromarray(pixels).save(sys.argv[2])
"""


class RunFailed(Exception):
    """A tool exited other than 0: an error, not a figure."""

    def __init__(self, tool, message):
        super().__init__("%s failed: %s" % (tool, message))


# ---------------------------------------------------------------- running tools

def run(argv, stdin=None, stdout=None, cwd=None, tool=None, report_fd=None):
    """Runs argv to its end; returns its seconds: fork, exec and wait, the same for
    every tool. stdin and stdout are file names (None: /dev/null). Raises RunFailed
    with the start of the tool's standard error if it exits other than 0."""
    pass_fds = [report_fd] if report_fd is not None else []
    with open(stdin or os.devnull, "rb") as fin, open(stdout or os.devnull, "wb") as fout, \
            tempfile.TemporaryFile(dir="/dev/shm") as errors:
        start = time.perf_counter()
        # In a session of its own, so that one killpg stops the run and its children.
        process = subprocess.Popen(argv, stdin=fin, stdout=fout, stderr=errors, cwd=cwd,
                                   pass_fds=pass_fds, start_new_session=True)
        try:
            process.wait()
        except BaseException:  # Ctrl-C: leave no writer behind the clean-up
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
            raise
        seconds = time.perf_counter() - start
        if process.returncode != 0:
            errors.seek(0)
            message = errors.read(4096).decode(errors="replace").strip()
            raise RunFailed(tool or os.path.basename(argv[0]),
                            message or "exit status %d" % process.returncode)
    return seconds


# A child starts as a copy of the process that forks it, and ru_maxrss keeps that
# copy's size across the exec: about 16 MiB for this script, which would hide
# lumtab's own figure. So the peak is taken in a run of its own, untimed, started by
# this lean launcher (python3 -S -I, a few MiB), which writes the child's ru_maxrss
# from wait4 to the file descriptor it is given and exits with the child's status.
LAUNCHER = """
import os, sys
report, argv = int(sys.argv[1]), sys.argv[2:]
pid = os.fork()
if pid == 0:
    os.close(report)
    try:
        os.execvp(argv[0], argv)
    except OSError as error:
        print("%s: %s" % (argv[0], error), file=sys.stderr)
    os._exit(127)
_, status, usage = os.wait4(pid, 0)
os.write(report, b"%d" % usage.ru_maxrss)
sys.exit(min(abs(os.waitstatus_to_exitcode(status)), 127))
"""


def peak_kib(argv, stdin=None, stdout=None, cwd=None):
    """Runs argv once through the launcher; returns its peak resident KiB."""
    with tempfile.TemporaryFile(dir="/dev/shm") as report:
        launcher = [sys.executable, "-S", "-I", "-c", LAUNCHER, str(report.fileno())]
        run(launcher + argv, stdin, stdout, cwd, tool=os.path.basename(argv[0]),
            report_fd=report.fileno())
        report.seek(0)
        return int(report.read())


def floor_kib():
    """The peak that any child of the launcher reports at least."""
    return peak_kib(["/bin/true"])


def remove(*paths):
    for path in paths:
        if os.path.exists(path):
            os.unlink(path)


# ---------------------------------------------------------------- inputs

def write_random_image(path, width, height, maxval, seed, magic=b"P5", channels=1):
    """A binary (P5, or P6) image of random samples, one or two bytes each, written
    a row at a time so that this process stays small."""
    generator = random.Random(seed)
    row_bytes = width * channels * (1 if maxval < 256 else 2)
    with open(path, "wb") as f:
        f.write(b"%s\n%d %d\n%d\n" % (magic, width, height, maxval))
        for _ in range(height):
            f.write(generator.randbytes(row_bytes))


def write_plain_image(path, side, seed):
    """A plain (P2) image of random 8-bit samples, one line of "%d " per row."""
    generator = random.Random(seed)
    decimal = [b"%d " % value for value in range(256)]
    with open(path, "wb") as f:
        f.write(b"P2\n%d %d\n255\n" % (side, side))
        for _ in range(side):
            f.write(b"".join([decimal[value] for value in generator.randbytes(side)]) + b"\n")


class Scratch:
    """The scratch directories, made when first needed and removed by close()."""

    def __init__(self):
        self.dirs = {}
        self.big_image = None

    def dir(self, where, name):
        """A new directory `name` in the tmpfs ("tmpfs") or disk ("disk") scratch."""
        if where not in self.dirs:
            parent = "/dev/shm" if where == "tmpfs" else os.path.join(ROOT, "build")
            os.makedirs(parent, exist_ok=True)
            prefix = "lumtab-bench-" if where == "tmpfs" else "bench-scratch-"
            self.dirs[where] = tempfile.mkdtemp(prefix=prefix, dir=parent)
        path = os.path.join(self.dirs[where], name)
        os.makedirs(path)
        return path

    def big(self):
        """The 8192 x 8192 random 8-bit image on tmpfs, made once per run."""
        if self.big_image is None:
            path = os.path.join(self.dir("tmpfs", "inputs"), "big.pgm")
            write_random_image(path, SIDE, SIDE, 255, seed=1)
            self.big_image = path
        return self.big_image

    def drop(self, path):
        shutil.rmtree(path, ignore_errors=True)

    def close(self):
        for path in self.dirs.values():
            shutil.rmtree(path, ignore_errors=True)


def filesystem(path):
    """The type of the file system that holds path, from /proc/self/mounts."""
    best, kind = "", "?"
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            mount_point, fs_type = line.split()[1:3]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best):
                best, kind = mount_point, fs_type
    return kind


# ---------------------------------------------------------------- pairs

@dataclasses.dataclass
class Side:
    label: str
    argv: list
    prepare: Optional[Callable[[], None]] = None  # untimed, before each run
    stdin: Optional[str] = None
    stdout: Optional[str] = None
    cwd: Optional[str] = None
    is_lumtab: bool = False  # its peak memory is reported
    peak_limit_mib: Optional[float] = None


def timed(side, pause):
    if side.prepare:
        side.prepare()
    if pause:
        time.sleep(pause)
    return run(side.argv, side.stdin, side.stdout, side.cwd)


def side_peak_kib(side):
    if side.prepare:
        side.prepare()
    return peak_kib(side.argv, side.stdin, side.stdout, side.cwd)


def measure(first, second, rounds, pause):
    """Runs the pair `rounds` times, swapping which goes first from one round to the
    next; returns the seconds of each side's runs."""
    samples = ([], [])
    for round_ in range(rounds):
        order = (0, 1) if round_ % 2 == 0 else (1, 0)
        for i in order:
            samples[i].append(timed((first, second)[i], pause))
    return samples


def ms(seconds):
    return "%.3f ms" % (seconds * 1000) if seconds < 0.01 else "%.1f ms" % (seconds * 1000)


class Bench:
    def __init__(self, args):
        self.args = args
        self.lumtab = os.path.abspath(args.lumtab)
        self.scratch = Scratch()
        self.missed = []
        self.judged = 0

    def verdict(self, what, value, at_most=None, at_least=None):
        """ "met" or "MISSED" for value against its bound, counted for the summary."""
        met = value <= at_most if at_most is not None else value >= at_least
        self.judged += 1
        if not met:
            self.missed.append(what)
        bound = "at most %g" % at_most if at_most is not None else "at least %g" % at_least
        return "target %s: %s" % (bound, "met" if met else "MISSED")

    def compare(self, scenario, first, second, at_most=None, at_least=None, rounds=None,
                per=None):
        """Times first against second, warm and cold, and prints medians, the ratio
        first/second (judged if a bound is given) and the peaks of lumtab sides.
        With per=(n, m), each side's median is divided by its count of files first."""
        peaks = {}
        for side in (first, second):  # untimed runs, which also fill the page cache
            if side.is_lumtab:
                peaks[side.label] = side_peak_kib(side)
            else:
                timed(side, 0)
        regimes = [("warm", rounds or self.args.runs, 0),
                   ("cold", self.args.cold_runs, self.args.pause)]
        for regime, count, pause in regimes:
            if count <= 0:
                continue
            a, b = measure(first, second, count, pause)
            ratio = statistics.median(a) / statistics.median(b)
            if per:
                ratio *= per[1] / per[0]
            line = "  %s, %d rounds: %s %s, %s %s; %s/%s %.2f%s" % (
                regime, count, first.label, ms(statistics.median(a)), second.label,
                ms(statistics.median(b)), first.label, second.label, ratio,
                " a file" if per else "")
            if at_most is not None or at_least is not None:
                what = "%s %s/%s (%s)" % (scenario, first.label, second.label, regime)
                line += ", " + self.verdict(what, ratio, at_most, at_least)
            print(line, flush=True)
        for side in (first, second):
            if side.is_lumtab:
                self.report_peak(scenario, side, peaks[side.label])
        if self.args.baseline:
            for side in (first, second):
                if side.is_lumtab:
                    self.against_baseline(side, rounds, regimes)

    def against_baseline(self, side, rounds, regimes):
        """Times side against the same run of the baseline build."""
        baseline = dataclasses.replace(side, label="baseline", is_lumtab=False,
                                       argv=[os.path.abspath(self.args.baseline)] + side.argv[1:])
        for regime, count, pause in regimes:
            if count <= 0:
                continue
            try:
                a, b = measure(side, baseline, count, pause)
            except RunFailed as error:  # a format or option newer than the baseline
                print("  the baseline cannot run this: %s" % error, flush=True)
                return
            print("  %s, against the baseline: %s %s, baseline %s; %.2f" % (
                regime, side.label, ms(statistics.median(a)), ms(statistics.median(b)),
                statistics.median(a) / statistics.median(b)), flush=True)

    def report_peak(self, scenario, side, kib):
        floor = floor_kib()
        figure = "%.1f MiB" % (kib / 1024)
        if kib <= floor:
            figure = "at most " + figure + " (the floor)"
        line = "  peak memory, %s: %s" % (side.label, figure)
        if side.peak_limit_mib is not None:
            if floor > side.peak_limit_mib * 1024:
                line += ", not judged: the floor is above %g MiB" % side.peak_limit_mib
            else:
                what = "%s peak of %s" % (scenario, side.label)
                line += ", " + self.verdict(what, kib / 1024, at_most=side.peak_limit_mib)
        print(line, flush=True)

    # ------------------------------------------------------------ helpers

    def lumtab_side(self, label, image, options=(), **side):
        """lumtab making the table beside image, removed first (a new table)."""
        table = image[:-3] + "int"
        return Side(label, [self.lumtab] + list(options) + [image],
                    prepare=lambda: remove(table), is_lumtab=True, **side)

    def dd_side(self, path, size, prepare=None):
        argv = ["dd", "if=/dev/zero", "of=" + path, "bs=1M", "count=%d" % size,
                "iflag=count_bytes", "status=none"]
        return Side("dd", argv, prepare=prepare or (lambda: remove(path)))

    def table_bytes(self, image, options=()):
        """Makes image's table once (untimed) and returns its size."""
        run([self.lumtab] + list(options) + [image])
        return os.path.getsize(image[:-3] + "int")

    def against_dd(self, scenario, image, at_most, peak_limit_mib=16, options=()):
        size = self.table_bytes(image, options)
        print("  %s: table %.1f MiB" % (" ".join(options) or "table", size / MIB))
        dd_out = os.path.join(os.path.dirname(image), "dd.out")
        self.compare(scenario, self.lumtab_side("lumtab", image, options,
                                                peak_limit_mib=peak_limit_mib),
                     self.dd_side(dd_out, size), at_most=at_most)

    # ------------------------------------------------------------ scenarios

    def tmpfs(self, work):
        """8192 x 8192 8-bit image on tmpfs: lumtab (new table) vs dd (new file)"""
        image = os.path.join(work, "big.pgm")
        os.link(self.scratch.big(), image)
        self.against_dd("tmpfs", image, at_most=1.25)

    def ext4(self, _):
        """the same image on the disk: lumtab replacing its table vs dd to a new file, then mv"""
        work = self.scratch.dir("disk", "ext4")
        print("  in %s (%s); the disk is synced before each run" % (work, filesystem(work)))
        image = os.path.join(work, "big.pgm")
        shutil.copyfile(self.scratch.big(), image)
        size = self.table_bytes(image)  # the table that every run replaces
        print("  table: %.1f MiB" % (size / MIB))
        lumtab = Side("lumtab", [self.lumtab, image], prepare=os.sync, is_lumtab=True)
        # All or nothing by hand: a new file, then renamed over the old table.
        table, new = image[:-3] + "int", os.path.join(work, "new.int")
        script = "dd if=/dev/zero of=%s bs=1M count=%d iflag=count_bytes status=none && mv %s %s" % (
            new, size, new, table)
        by_hand = Side("dd+mv", ["/bin/sh", "-c", script], prepare=os.sync)
        try:
            self.compare("ext4", lumtab, by_hand, at_most=1.25)
        finally:
            self.scratch.drop(work)

    def startup(self, work):
        """1 x 1 image: lumtab vs /bin/true"""
        image = os.path.join(work, "tiny.pgm")
        write_random_image(image, 1, 1, 255, seed=3)
        self.compare("startup", self.lumtab_side("lumtab", image), Side("true", ["/bin/true"]),
                     at_most=1.3, rounds=self.args.startup_runs)

    def many(self, work):
        """1000 images of 64 x 64: one lumtab run vs xargs -n 1 -P <cores> lumtab"""
        names = ["image%04d.pgm" % i for i in range(1000)]
        for i, name in enumerate(names):
            write_random_image(os.path.join(work, name), 64, 64, 255, seed=100 + i)
        tables, list_file = self.tables_and_list(work, names)
        cores = len(os.sched_getaffinity(0))
        print("  xargs runs %d at a time" % cores)
        xargs = Side("xargs", ["xargs", "-0", "-n", "1", "-P", str(cores), self.lumtab],
                     prepare=lambda: remove(*tables), stdin=list_file, cwd=work)
        lumtab = Side("lumtab", [self.lumtab] + names, prepare=lambda: remove(*tables),
                      cwd=work, is_lumtab=True)
        self.compare("many", xargs, lumtab, at_least=5)

    def deep(self, work):
        """8192 x 8192 16-bit image (maxval 65535) on tmpfs: lumtab vs dd"""
        image = os.path.join(work, "deep.pgm")
        write_random_image(image, SIDE, SIDE, 65535, seed=4)
        self.against_dd("deep", image, at_most=1.3)

    def plain(self, work):
        """8192 x 8192 plain (P2) 8-bit image on tmpfs: lumtab vs dd"""
        image = os.path.join(work, "plain.pgm")
        write_plain_image(image, SIDE, seed=5)
        print("  image: %.1f MiB of text" % (os.path.getsize(image) / MIB))
        self.against_dd("plain", image, at_most=2)

    def stdin(self, work):
        """lumtab - <big.pgm >big.int on tmpfs, dd beside it for information"""
        table = os.path.join(work, "big.int")
        lumtab = Side("lumtab", [self.lumtab, "-"], prepare=lambda: remove(table),
                      stdin=self.scratch.big(), stdout=table, is_lumtab=True,
                      peak_limit_mib=16)
        run(lumtab.argv, lumtab.stdin, lumtab.stdout)
        size = os.path.getsize(table)
        self.compare("stdin", lumtab, self.dd_side(os.path.join(work, "dd.out"), size))

    def colour(self, work):
        """8192 x 8192 8-bit PPM on tmpfs: its luminance, and all its channels, vs dd"""
        image = os.path.join(work, "colour.ppm")
        write_random_image(image, SIDE, SIDE, 255, seed=6, magic=b"P6", channels=3)
        self.against_dd("colour", image, at_most=1.4)
        self.against_dd("colour --channel=all", image, at_most=1.3, options=["--channel=all"])

    def bitmap(self, work):
        """8192 x 8192 PBM (P4) on tmpfs vs dd"""
        image = os.path.join(work, "bitmap.pbm")
        generator = random.Random(7)
        with open(image, "wb") as f:
            f.write(b"P4\n%d %d\n" % (SIDE, SIDE))
            for _ in range(SIDE):
                f.write(generator.randbytes(SIDE // 8))
        self.against_dd("bitmap", image, at_most=1.3)

    def reverse(self, work):
        """lumtab -r on the table of the tmpfs image vs lumtab making it; then numpy"""
        forward, back = os.path.join(work, "forward"), os.path.join(work, "back")
        os.mkdir(forward)
        os.mkdir(back)
        image = os.path.join(forward, "big.pgm")
        os.link(self.scratch.big(), image)
        table = os.path.join(back, "big.int")
        run([self.lumtab, image])
        os.rename(image[:-3] + "int", table)
        print("  table: %.1f MiB" % (os.path.getsize(table) / MIB))
        remade = os.path.join(back, "big.pgm")
        reverse = Side("lumtab -r", [self.lumtab, "-r", table], prepare=lambda: remove(remade),
                       is_lumtab=True, peak_limit_mib=16)
        self.compare("reverse", reverse, self.lumtab_side("forward", image), at_most=2)

        python = python_with_numpy()
        if python is None:
            print("  numpy/Pillow not installed: skipped")
            return
        out = os.path.join(work, "numpy.pgm")
        numpy = Side("numpy", [python, "-c", NUMPY_CODE, table, out],
                     prepare=lambda: remove(out))
        print("  numpy.loadtxt + Pillow, run by %s:" % python)
        # Its peak was judged above; here it is only timed.
        self.compare("reverse", numpy, dataclasses.replace(reverse, is_lumtab=False),
                     at_least=5, rounds=self.args.numpy_runs)

    def od(self, work):
        """od -An -v -tu1 -w8192 over the raster vs lumtab, for information"""
        image = os.path.join(work, "big.pgm")
        os.link(self.scratch.big(), image)
        skip = os.path.getsize(image) - SIDE * SIDE
        out = os.path.join(work, "od.out")
        od = Side("od", ["od", "-An", "-v", "-tu1", "-w%d" % SIDE, "-j%d" % skip, image],
                  prepare=lambda: remove(out), stdout=out)
        self.compare("od", od, self.lumtab_side("lumtab", image))


    # ------------------------------------------------------------ batches

    def images(self, work, count, side, prefix="image"):
        """count random 8-bit images of side x side in work; returns their names."""
        names = ["%s%06d.pgm" % (prefix, i) for i in range(count)]
        generator = random.Random(count + side)
        header = b"P5\n%d %d\n255\n" % (side, side)
        for name in names:
            with open(os.path.join(work, name), "wb") as f:
                f.write(header + generator.randbytes(side * side))
        return names

    def tables_and_list(self, work, names):
        """The tables that names in work give, and a file listing the names, each
        ended by a NUL byte."""
        list_file = os.path.join(work, "names")
        with open(list_file, "wb") as f:
            f.write(b"".join(name.encode() + b"\0" for name in names))
        return [os.path.join(work, name[:-3] + "int") for name in names], list_file

    def jobs(self, work):
        """10,000 images of 64 x 64: lumtab -j 0 vs -j 1, and vs xargs -n 1 -P <cores>"""
        names = self.images(work, 10000, 64)
        tables, list_file = self.tables_and_list(work, names)
        cores = len(os.sched_getaffinity(0))
        print("  %d cores" % cores)
        clear = lambda: remove(*tables)
        every = Side("-j 0", [self.lumtab, "-j", "0"] + names, prepare=clear, cwd=work,
                     is_lumtab=True, peak_limit_mib=16 * cores)
        one = Side("-j 1", [self.lumtab, "-j", "1"] + names, prepare=clear, cwd=work,
                   is_lumtab=True, peak_limit_mib=16)
        self.compare("jobs", every, one, at_most=0.6)
        xargs = Side("xargs", ["xargs", "-0", "-n", "1", "-P", str(cores), self.lumtab],
                     prepare=clear, stdin=list_file, cwd=work)
        self.compare("jobs", dataclasses.replace(every, is_lumtab=False), xargs, at_most=0.1,
                     rounds=3)

    def list(self, work):
        """100,000 names through --files-from -0 vs as many as fit on a command line"""
        names = self.images(work, 100000, 1, prefix="i")
        tables, list_file = self.tables_and_list(work, names)
        # The room for arguments: ARG_MAX less the environment, and a margin.
        room = os.sysconf("SC_ARG_MAX") - sum(len(k) + len(v) + 10 for k, v in os.environ.items())
        fit = min(len(names), (room - 4096) // (len(names[0]) + 1 + 8))
        print("  %d names on the command line, %d in the list" % (fit, len(names)))
        clear = lambda: remove(*tables)
        listed = Side("list", [self.lumtab, "-0", "--files-from", list_file], prepare=clear,
                      cwd=work, is_lumtab=True)
        command_line = Side("command line", [self.lumtab] + names[:fit], prepare=clear,
                            cwd=work, is_lumtab=True)
        self.compare("list", listed, command_line, at_most=1, per=(len(names), fit))

    def flat(self, work):
        """1,000 images of 256 x 256 into one --flat --csv table vs dd"""
        names = self.images(work, 1000, 256)
        table = os.path.join(work, "all.csv")
        argv = [self.lumtab, "--flat", "--csv", "-o", table] + names
        run(argv, cwd=work)
        size = os.path.getsize(table)
        print("  table: %.1f MiB" % (size / MIB))
        lumtab = Side("lumtab", argv, prepare=lambda: remove(table), cwd=work, is_lumtab=True,
                      peak_limit_mib=32)
        self.compare("flat", lumtab, self.dd_side(os.path.join(work, "dd.out"), size),
                     at_most=1.3)

    # ------------------------------------------------------------ image libraries

    def picture(self, work, kind):
        """The picture as a `kind` file in work, or None (said why) where numpy and
        Pillow are missing."""
        python = python_with_numpy()
        if python is None:
            print("  numpy/Pillow not installed: skipped")
            return None
        image = os.path.join(work, "picture." + kind)
        run([python, "-c", PICTURE_CODE, str(SIDE), kind, image], tool="python3")
        print("  %s: %.1f MiB" % (os.path.basename(image), os.path.getsize(image) / MIB))
        return image

    def against_vips(self, scenario, lumtab, image):
        if shutil.which("vips") is None:
            print("  vips not installed (Debian package libvips-tools): skipped")
            return
        csv = os.path.join(os.path.dirname(image), "vips.csv")
        vips = Side("vips", ["vips", "csvsave", image, csv], prepare=lambda: remove(csv))
        self.compare(scenario, lumtab, vips, at_most=0.25, rounds=3)

    def png(self, work):
        """8192 x 8192 8-bit grey PNG: lumtab vs pngtopnm | lumtab, and vs vips csvsave"""
        image = self.picture(work, "png")
        if image is None:
            return
        lumtab = self.lumtab_side("lumtab", image, peak_limit_mib=16)
        if shutil.which("pngtopnm") is None:
            print("  pngtopnm not installed (Debian package netpbm): skipped")
        else:
            table = os.path.join(work, "t.int")
            piped = Side("pngtopnm | lumtab",
                         ["sh", "-c", 'pngtopnm "$1" | "$2" -o "$3" -', "sh", image, self.lumtab,
                          table], prepare=lambda: remove(table))
            self.compare("png", lumtab, piped, at_most=1)
        self.against_vips("png", lumtab, image)

    def tiff(self, work):
        """the picture as a 16-bit deflate TIFF: lumtab vs vips csvsave"""
        image = self.picture(work, "tiff")
        if image is not None:
            self.against_vips("tiff", self.lumtab_side("lumtab", image, peak_limit_mib=16), image)

    def table_back(self, scenario, work, kind, peer):
        """The 8-bit picture's table back into `kind` (png, tif): lumtab -r against
        lumtab -r into PGM then netpbm's `peer`, and against vips copy of the CSV."""
        image = self.picture(work, "png")
        if image is None:
            return None
        table, csv = os.path.join(work, "t.int"), os.path.join(work, "t.csv")
        run([self.lumtab, "-o", table, image])
        run([self.lumtab, "--csv", "-o", csv, image])
        print("  table: %.1f MiB" % (os.path.getsize(table) / MIB))
        out = os.path.join(work, "out." + kind)
        lumtab = Side("lumtab -r", [self.lumtab, "-r", "-o", out, table],
                      prepare=lambda: remove(out), is_lumtab=True, peak_limit_mib=16)
        netpbm_out, pgm = os.path.join(work, "netpbm." + kind), os.path.join(work, "x.pgm")
        if shutil.which(peer.split()[0]) is None:
            print("  %s not installed (Debian package netpbm): skipped" % peer)
        else:
            script = '"$1" -r -o "$2" "$3" && %s "$2" > "$4"' % peer
            by_netpbm = Side("lumtab -r && " + peer.split()[0],
                             ["sh", "-c", script, "sh", self.lumtab, pgm, table, netpbm_out],
                             prepare=lambda: remove(pgm, netpbm_out))
            self.compare(scenario, lumtab, by_netpbm, at_most=0.7, rounds=3)
        if shutil.which("vips") is None:
            print("  vips not installed (Debian package libvips-tools): skipped")
        else:
            target = out + ("[compression=deflate]" if kind == "tif" else "")
            vips = Side("vips", ["vips", "copy", csv, target], prepare=lambda: remove(out))
            self.compare(scenario, lumtab, vips, at_most=0.2, rounds=3)
        return out, netpbm_out

    def topng(self, work):
        """the 8-bit picture's table into PNG: vs lumtab -r && pnmtopng, and vs vips"""
        made = self.table_back("topng", work, "png", "pnmtopng")
        if made is None:
            return
        ours, theirs = made
        run(["sh", "-c", '"$1" -r -o "$2" "$3"', "sh", self.lumtab, ours, os.path.join(work, "t.int")])
        if os.path.exists(theirs):
            ratio = os.path.getsize(ours) / os.path.getsize(theirs)
            print("  size: %.1f MiB, pnmtopng's %.1f MiB; %.3f, %s" % (
                os.path.getsize(ours) / MIB, os.path.getsize(theirs) / MIB, ratio,
                self.verdict("topng size", ratio, at_most=1.05)), flush=True)

    def totiff(self, work):
        """the 8-bit picture's table into TIFF: vs lumtab -r && pnmtotiff -flate, and vs vips"""
        self.table_back("totiff", work, "tif", "pnmtotiff -flate")

    def float_picture(self, work):
        """The floating-point picture as a TIFF, its numpy table and .npy, or None."""
        python = python_with_numpy()
        if python is None:
            print("  numpy/Pillow not installed: skipped")
            return None
        paths = [os.path.join(work, name) for name in ("float.tif", "numpy.txt", "float.npy")]
        run([python, "-c", FLOAT_CODE, str(FLOAT_SIDE)] + paths, tool="python3")
        print("  %s: %.1f MiB; numpy's table %.1f MiB" % (
            os.path.basename(paths[0]), os.path.getsize(paths[0]) / MIB,
            os.path.getsize(paths[1]) / MIB))
        return python, paths

    def float(self, work):
        """4096 x 4096 floating-point TIFF: lumtab vs numpy.savetxt and vips csvsave"""
        made = self.float_picture(work)
        if made is None:
            return
        python, (image, _, npy) = made
        table = image[:-3] + "int"
        lumtab = self.lumtab_side("lumtab", image, peak_limit_mib=32)
        run(lumtab.argv)
        size = os.path.getsize(table)
        check = subprocess.run([python, "-c", FLOAT_CHECK_CODE, table, npy], capture_output=True,
                               text=True).stdout.strip()
        print("  table: %.1f MiB, read back by numpy: %s" % (size / MIB, check), flush=True)
        out = os.path.join(work, "savetxt.txt")
        numpy = Side("numpy.savetxt", [python, "-c", SAVETXT_CODE, npy, out],
                     prepare=lambda: remove(out))
        self.compare("float", lumtab, numpy, at_most=0.05, rounds=3)
        if shutil.which("vips") is not None:
            csv = os.path.join(work, "vips.csv")
            vips = Side("vips", ["vips", "csvsave", image, csv], prepare=lambda: remove(csv))
            self.compare("float", lumtab, vips, at_most=0.25, rounds=3)
            check = subprocess.run([python, "-c", FLOAT_CHECK_CODE, csv, npy, "\t"],
                                   capture_output=True, text=True).stdout.strip()
            print("  vips's table read back by numpy: %s" % (check or "unreadable"), flush=True)
        # A byte of this table against a byte of the 8-bit picture's, in turns.
        picture = self.picture(work, "png")
        if picture is None:
            return
        eight = picture[:-3] + "int"
        run([self.lumtab, picture])
        eight_size = os.path.getsize(eight)
        a, b = measure(lumtab, self.lumtab_side("8-bit", picture), self.args.runs, 0)
        ratio = (statistics.median(a) / size) / (statistics.median(b) / eight_size)
        print("  a byte of table: %s over %.1f MiB against %s over %.1f MiB: %.2f, %s" % (
            ms(statistics.median(a)), size / MIB, ms(statistics.median(b)), eight_size / MIB,
            ratio, self.verdict("float per byte", ratio, at_most=3)), flush=True)

    def floatback(self, work):
        """numpy's table of the floating-point picture: lumtab -r --float vs numpy.loadtxt"""
        made = self.float_picture(work)
        if made is None:
            return
        python, (_, table, npy) = made
        out = os.path.join(work, "back.pfm")
        back = Side("lumtab -r --float", [self.lumtab, "-r", "--float", "-o", out, table],
                    prepare=lambda: remove(out), is_lumtab=True, peak_limit_mib=32)
        run(back.argv)
        again = os.path.join(work, "again.int")
        run([self.lumtab, "-o", again, out])
        check = subprocess.run([python, "-c", FLOAT_CHECK_CODE, again, npy], capture_output=True,
                               text=True).stdout.strip()
        print("  read back, its table read by numpy: %s" % check, flush=True)
        numpy = Side("numpy.loadtxt", [python, "-c", LOADTXT_CODE, table])
        self.compare("floatback", back, numpy, at_most=0.15, rounds=3)

    def jpeg(self, work):
        """the picture as a JPEG: lumtab vs vips csvsave"""
        image = self.picture(work, "jpeg")
        if image is not None:
            self.against_vips("jpeg", self.lumtab_side("lumtab", image, peak_limit_mib=16), image)


SCENARIOS = ["tmpfs", "ext4", "startup", "many", "deep", "plain", "stdin", "colour", "bitmap",
             "reverse", "od", "jobs", "list", "flat", "png", "tiff", "jpeg", "topng", "totiff",
             "float", "floatback"]
DEFAULT = [name for name in SCENARIOS if name != "od"]


def python_with_numpy():
    """This python3 or /usr/bin/python3, whichever imports numpy and PIL; else None."""
    for python in (sys.executable, "/usr/bin/python3"):
        check = subprocess.run([python, "-c", "import numpy, PIL.Image"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if check.returncode == 0:
            return python
    return None


def describe_machine(lumtab):
    cores = len(os.sched_getaffinity(0))
    print("machine: Linux %s, %d cores" % (os.uname().release, cores))
    try:
        version = subprocess.run([lumtab, "--version"], capture_output=True, text=True)
        print("lumtab: %s, %s" % (lumtab, (version.stdout or version.stderr).strip()))
    except OSError as error:
        print("lumtab: %s, --version: %s" % (lumtab, error))
    print("peak memory floor: %.1f MiB (a child inherits the size of the process that "
          "starts it; a peak at the floor means at most that)" % (floor_kib() / 1024),
          flush=True)


def parse_args():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="scenarios: %s (od only when named)" % " ".join(SCENARIOS))
    parser.add_argument("--only", nargs="+", choices=SCENARIOS, metavar="NAME",
                        help="run only these scenarios")
    parser.add_argument("--runs", type=int, default=5, help="warm rounds per pair (5)")
    parser.add_argument("--cold-runs", type=int, default=3, help="cold rounds per pair (3)")
    parser.add_argument("--pause", type=float, default=5, help="idle seconds before a cold run (5)")
    parser.add_argument("--startup-runs", type=int, default=300,
                        help="warm rounds of the startup pair (300)")
    parser.add_argument("--numpy-runs", type=int, default=3,
                        help="warm rounds of numpy vs lumtab -r (3)")
    parser.add_argument("--lumtab", default=os.path.join(ROOT, "build", "lumtab"))
    parser.add_argument("--baseline", metavar="PATH",
                        help="another lumtab build to time each lumtab run against")
    parser.add_argument("--check", action="store_true", help="exit 1 if a target is missed")
    return parser.parse_args()


def main():
    args = parse_args()
    if not os.access(args.lumtab, os.X_OK):
        print("bench: %s not found; build it first with ./build.sh" % args.lumtab,
              file=sys.stderr)
        sys.exit(2)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # so that clean-up runs
    started = time.monotonic()
    bench = Bench(args)
    failures = 0
    try:
        describe_machine(bench.lumtab)
        for name in args.only or DEFAULT:
            method = getattr(bench, name)
            print("\n%s: %s" % (name, method.__doc__), flush=True)
            work = bench.scratch.dir("tmpfs", name)
            try:
                method(work)
            except RunFailed as error:
                failures += 1
                print("  %s" % error, flush=True)
            finally:
                bench.scratch.drop(work)
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        sys.exit(130)
    finally:
        bench.scratch.close()

    print("\n%d of %d targets met" % (bench.judged - len(bench.missed), bench.judged))
    for what in bench.missed:
        print("  MISSED: %s" % what)
    if failures:
        print("%d scenario(s) could not run: a tool failed" % failures)
    print("took %.0f s" % (time.monotonic() - started))
    if failures:
        sys.exit(2)
    sys.exit(1 if args.check and bench.missed else 0)


if __name__ == "__main__":
    main()
