#!/usr/bin/env python3
"""Writes the seeds of pfm_read_fuzz: small PFM files, grey and RGB, of either byte
order, long and short rows, special values among the samples; and broken ones (cut
short, a header's byte changed, a scale of 0, a claim beyond the file).

    /usr/bin/python3 fuzz/make_pfm_seeds.py    (needs numpy)

Writes its seeds into fuzz/corpus-pfm, the same files every time, beside the
inputs fuzzing once found at fault (found-*), which it leaves as they are.
"""
import os

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))


def pfm(magic, width, height, scale, samples, order):
    header = b"%s\n%d %d\n%s\n" % (magic, width, height, scale)
    return header + samples[::-1].astype(order + "f4").tobytes()


def seeds():
    r = numpy.random.default_rng(5)
    special = numpy.array([numpy.nan, numpy.inf, -numpy.inf, -0.0, 1e-45, 0.1, -2.5], "f4")
    grey = numpy.resize(special, (3, 4))
    rgb = r.standard_normal((2, 3, 3)).astype("f4")
    yield "grey", pfm(b"Pf", 4, 3, b"-1.0", grey, "<")
    yield "grey-big-endian", pfm(b"Pf", 4, 3, b"1", grey, ">")
    yield "rgb", pfm(b"PF", 3, 2, b"-0.5", rgb, "<")
    yield "rgb-big-endian", pfm(b"PF", 3, 2, b"+2e3", rgb, ">")
    yield "long-rows", pfm(b"Pf", 150, 2, b"-1", r.standard_normal((2, 150)), "<")
    yield "short-rows", pfm(b"PF", 1, 50, b"1", r.standard_normal((50, 1, 3)), ">")
    yield "empty", b"Pf\n0 7\n-1"
    yield "spaced", b"PF \t1\r\n1\n\n -1.0\n" + special[:3].astype("<f4").tobytes()
    yield "scale-0", pfm(b"Pf", 4, 3, b"0", grey, "<")
    yield "scale-word", pfm(b"Pf", 4, 3, b"one", grey, "<")
    yield "claim", b"PF\n100000 100000\n-1\n" + bytes(16)
    whole = pfm(b"PF", 3, 2, b"-1.0", rgb, "<")
    yield "cut", whole[: len(whole) - 5]
    yield "header-cut", whole[:9]
    changed = bytearray(whole)
    changed[4] = ord("x")
    yield "header-changed", bytes(changed)


def main():
    directory = os.path.join(HERE, "corpus-pfm")
    os.makedirs(directory, exist_ok=True)
    for name, content in seeds():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
