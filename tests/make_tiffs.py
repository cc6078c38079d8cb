"""TIFF images of every sample type lumtab reads beyond 8 and 16 bits unsigned,
and the readings they must give.

make_tiffs.py DIR writes into DIR, for each type and channels, NAME.npy (the
samples) and NAME.tif (uncompressed, one strip), and with tiffcp NAME-lzw.tif
(LZW and the predictor for the type), NAME-tiles.tif (deflate in 16 x 16 tiles)
and NAME-big.tif (big-endian); and half.tif, complex.tif and white.tif, which
lumtab refuses.

make_tiffs.py --check DIR compares each NAME*.csv in DIR, a table of all channels,
with NAME.npy bit for bit, and each NAME*.tif Pillow reads with it too. It prints
what differs and fails if anything does.
"""
import glob
import os
import struct
import subprocess
import sys

import numpy

TYPES = ["u4", "i1", "i2", "i4", "f4", "f8"]
CHANNELS = [1, 2, 3]
WIDTH, HEIGHT = 37, 41  # tiles of 16 left over on both sides


def tiff(out, a, bits=None, sample_format=None, photometric=None):
    """Writes array a (height, width[, channels]) as a little-endian TIFF of one
    uncompressed strip to `out`, a file's name or a binary stream; bits,
    sample_format and photometric say otherwise."""
    a = numpy.ascontiguousarray(a)
    h, w = a.shape[:2]
    c = a.shape[2] if a.ndim == 3 else 1
    data = a.astype(a.dtype.newbyteorder("<")).tobytes()
    bits = bits or a.dtype.itemsize * 8
    sample_format = sample_format or {"u": 1, "i": 2, "f": 3}[a.dtype.kind]
    if photometric is None:
        photometric = 2 if c >= 3 else 1
    tags = {256: [w], 257: [h], 258: [bits] * c, 259: [1], 262: [photometric], 273: [0],
            277: [c], 278: [h], 279: [len(data)], 339: [sample_format] * c}
    if c in (2, 4):
        tags[338] = [2]  # unassociated alpha
    start = 8 + 2 + 12 * len(tags) + 4
    entries, extra = b"", b""
    for tag in sorted(tags):
        values = tags[tag]
        kind, code = (4, "I") if tag in (256, 257, 273, 278, 279) else (3, "H")
        packed = struct.pack("<%d%s" % (len(values), code), *values)
        if len(packed) <= 4:
            entries += struct.pack("<HHI", tag, kind, len(values)) + packed.ljust(4, b"\0")
        else:
            entries += struct.pack("<HHII", tag, kind, len(values), start + len(extra))
            extra += packed
    raster = start + len(extra)
    entries = entries.replace(struct.pack("<HHII", 273, 4, 1, 0),
                              struct.pack("<HHII", 273, 4, 1, raster))
    image = b"II*\0" + struct.pack("<IH", 8, len(tags)) + entries + b"\0\0\0\0" + extra + data
    if isinstance(out, str):
        with open(out, "wb") as f:
            f.write(image)
    else:
        out.write(image)


def samples(type, channels, rng):
    """Values of `type` over all its range: for floats, over many decades, with
    NaN, the infinities, -0 and the smallest subnormal among them."""
    shape = (HEIGHT, WIDTH, channels)
    t = numpy.dtype(type)
    if t.kind == "f":
        decades = 38 if t.itemsize == 4 else 300
        a = (rng.standard_normal(shape) * 10.0 ** rng.integers(-decades, decades, shape)).astype(t)
        a.flat[:6] = [numpy.nan, numpy.inf, -numpy.inf, -0.0, numpy.finfo(t).smallest_subnormal, 0.1]
    else:
        info = numpy.iinfo(t)
        a = rng.integers(info.min, info.max, shape, dtype=t, endpoint=True)
        a.flat[:2] = [info.min, info.max]
    return a.squeeze(axis=2) if channels == 1 else a


def make(directory):
    rng = numpy.random.default_rng(25)
    for type in TYPES:
        for channels in CHANNELS:
            name = os.path.join(directory, "%s-%d" % (type, channels))
            a = samples(type, channels, rng)
            numpy.save(name + ".npy", a)
            tiff(name + ".tif", a)
            predictor = 3 if type.startswith("f") else 2
            for suffix, options in [("lzw", ["-c", "lzw:%d" % predictor]),
                                    ("tiles", ["-c", "zip", "-t", "-w", "16", "-l", "16"]),
                                    ("big", ["-B"])]:
                subprocess.run(["tiffcp"] + options + [name + ".tif", "%s-%s.tif" % (name, suffix)],
                               check=True)
    grey = numpy.zeros((2, 3), numpy.float32)
    tiff(os.path.join(directory, "half.tif"), numpy.zeros((2, 3), numpy.float16))
    tiff(os.path.join(directory, "complex.tif"), grey.astype(numpy.complex64), sample_format=6)
    tiff(os.path.join(directory, "white.tif"), grey, photometric=0)


def same(a, b):
    if a.shape != b.shape:
        return False
    if a.dtype.kind != "f":
        return bool((a == b).all())
    bits = "u%d" % a.dtype.itemsize
    return bool(((a.view(bits) == b.view(bits)) | (numpy.isnan(a) & numpy.isnan(b))).all())


def check(directory):
    wrong = []
    for npy in sorted(glob.glob(os.path.join(directory, "*.npy"))):
        name = npy[:-4]
        a = numpy.load(npy)
        flat = a.reshape(a.shape[0], -1)
        for table in sorted(glob.glob(name + "*.csv")):
            if not same(flat, numpy.loadtxt(table, dtype=a.dtype, delimiter=",", ndmin=2)):
                wrong.append(os.path.basename(table))
        for image in sorted(glob.glob(name + "*.tif")):
            try:
                import PIL.Image
                pillow = numpy.asarray(PIL.Image.open(image))
            except Exception:
                continue  # not a type Pillow reads
            if not same(a.view(pillow.dtype) if a.dtype.itemsize == pillow.dtype.itemsize else a,
                        pillow):
                wrong.append(os.path.basename(image) + " as Pillow reads it")
    for w in wrong:
        print(w, "differs")
    return 1 if wrong else 0


if __name__ == "__main__":
    if sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    make(sys.argv[1])
