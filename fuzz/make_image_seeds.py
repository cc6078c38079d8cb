#!/usr/bin/env python3
"""Writes the seeds of the image libraries' fuzz targets: small PNG, TIFF and JPEG
files of every kind lumtab reads, and broken ones (cut short, a byte changed).

    /usr/bin/python3 fuzz/make_image_seeds.py    (needs numpy and Pillow)

Writes its seeds into fuzz/corpus-png, fuzz/corpus-tiff and fuzz/corpus-jpeg, the
same files every time, beside the inputs fuzzing once found at fault (found-*),
which it leaves as they are.
"""
import io
import os
import sys

import numpy
import PIL.Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import make_tiffs  # noqa: E402  (TIFFs of the types Pillow does not write)


def images():
    r = numpy.random.default_rng(11)
    u8 = lambda *shape: r.integers(0, 256, shape, numpy.uint8)
    yield "grey", PIL.Image.fromarray(u8(5, 7))
    yield "bits", PIL.Image.fromarray(u8(5, 7) > 99)
    yield "grey16", PIL.Image.fromarray(r.integers(0, 65536, (5, 7)).astype(numpy.uint16))
    yield "grey-alpha", PIL.Image.fromarray(u8(5, 7, 2), "LA")
    yield "rgb", PIL.Image.fromarray(u8(5, 7, 3))
    yield "rgba", PIL.Image.fromarray(u8(5, 7, 4))
    yield "palette", PIL.Image.fromarray(u8(5, 7, 3)).convert("P")


def tiffs_of_other_types():
    """TIFFs of signed, 32-bit unsigned and floating-point samples: compressed by
    Pillow where it writes the type, else uncompressed."""
    r = numpy.random.default_rng(12)
    grey = r.standard_normal((5, 7)) * 1000
    for compression in ("raw", "tiff_deflate", "tiff_lzw"):
        yield "float-" + compression, encoded(PIL.Image.fromarray(grey.astype(numpy.float32), "F"),
                                              "TIFF", compression=compression)
        yield "int32-" + compression, encoded(PIL.Image.fromarray(grey.astype(numpy.int32), "I"),
                                              "TIFF", compression=compression)
    for type in ("u4", "i1", "i2", "f8"):
        for channels in (1, 3):
            out = io.BytesIO()
            a = grey.astype(type) if channels == 1 else numpy.dstack([grey] * 3).astype(type)
            make_tiffs.tiff(out, a)
            yield "%s-%d" % (type, channels), out.getvalue()


def encoded(image, format, **options):
    out = io.BytesIO()
    image.save(out, format, **options)
    return out.getvalue()


def seeds():
    for name, image in images():
        yield "png", name, encoded(image, "PNG")
        if name == "rgb":
            yield "png", "interlaced", encoded(image, "PNG", optimize=False, interlace=1)
        for compression in ("raw", "tiff_deflate", "tiff_lzw"):
            if image.mode == "LA":
                continue
            yield "tiff", name + "-" + compression, encoded(image, "TIFF", compression=compression)
        if image.mode in ("L", "RGB"):
            yield "jpeg", name, encoded(image, "JPEG", quality=80)
            yield "jpeg", name + "-progressive", encoded(image, "JPEG", progressive=True)
    for name, data in tiffs_of_other_types():
        yield "tiff", name, data


def main():
    for format in ("png", "tiff", "jpeg"):
        os.makedirs(os.path.join(HERE, "corpus-" + format), exist_ok=True)
    for format, name, data in seeds():
        directory = os.path.join(HERE, "corpus-" + format)
        broken = bytearray(data)
        broken[len(broken) // 2] ^= 0x55
        for suffix, content in (("", data), ("-cut", data[: len(data) * 2 // 3]),
                                ("-changed", bytes(broken))):
            with open(os.path.join(directory, name + suffix), "wb") as f:
                f.write(content)


if __name__ == "__main__":
    main()
