#!/usr/bin/python3
"""Writes small images whose headers claim far more than their files hold, into
the directory given (needs numpy and Pillow):

  tile.tif         a 16 x 16 TIFF in one tile claimed 2^24 pixels wide
  interlaced.png   a 16000 x 16000 interlaced RGB PNG of a few bytes of data
  passes.png       a 10^6 x 10^6 interlaced RGBA 16-bit PNG of 200 rows of its
                   first pass, all zero: 194 KB, which a row made as each pass
                   reaches it would turn into 1.6 GB
  progressive.jpg  a progressive JPEG whose frame claims 30000 x 30000 pixels
  white.jpg        a white 8000 x 6000 progressive JPEG: a valid one that is
                   held whole (145 MB) from a file of 282 KB
"""
import io
import os
import struct
import sys
import zlib

import numpy
import PIL.Image


def tiff_one_tile(width, height, tile_width, tile_height):
    tags = {256: width, 257: height, 258: 8, 259: 1, 262: 1, 277: 1,
            322: tile_width, 323: tile_height, 324: 8, 325: 16}
    entries = b"".join(struct.pack("<HHII", tag, 4, 1, value) for tag, value in sorted(tags.items()))
    ifd = 8 + 16
    return (b"II*\0" + struct.pack("<I", ifd) + bytes(16) + struct.pack("<H", len(tags))
            + entries + bytes(4))


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_claim(side, depth=8, colour=2, data=zlib.compress(bytes(64))):
    header = struct.pack(">IIBBBBB", side, side, depth, colour, 0, 0, 1)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", data) + png_chunk(b"IEND", b""))


def zero_rows_of_first_pass(side, rows):
    """The deflated rows of an RGBA 16-bit image's first Adam7 pass, all zero."""
    row = bytes(1 + (side + 7) // 8 * 8)
    compressor = zlib.compressobj(9)
    return b"".join(compressor.compress(row) for _ in range(rows)) + compressor.flush()


def jpeg(image, **options):
    out = io.BytesIO()
    image.save(out, "JPEG", **options)
    return out.getvalue()


def jpeg_claim(side):
    data = bytearray(jpeg(PIL.Image.fromarray(numpy.zeros((16, 16), numpy.uint8)),
                          progressive=True))
    frame = data.index(b"\xff\xc2")  # SOF2: length, precision, height, width
    struct.pack_into(">HH", data, frame + 5, side, side)
    return bytes(data)


def main(directory):
    files = {
        "tile.tif": tiff_one_tile(16, 16, 1 << 24, 64),
        "interlaced.png": png_claim(16000),
        "passes.png": png_claim(10**6, 16, 6, zero_rows_of_first_pass(10**6, 200)),
        "progressive.jpg": jpeg_claim(30000),
        "white.jpg": jpeg(PIL.Image.new("L", (8000, 6000), 255), progressive=True),
    }
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
