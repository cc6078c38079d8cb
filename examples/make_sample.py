#!/usr/bin/env python3
"""Draws examples/sample.pgm: a lit sphere on a chequered floor under an evening sky.

The picture is computed, not photographed, so it can be made again anywhere:
    python3 examples/make_sample.py examples/sample.pgm
"""
import math
import sys

WIDTH, HEIGHT = 320, 240
HORIZON = 150
SPHERE_X, SPHERE_Y, SPHERE_R = 170, 112, 70
LIGHT = (-0.5, -0.6, 0.62)


def sky(y):
    return 70 + 150 * y / HORIZON


def floor(x, y):
    depth = (y - HORIZON + 1) / (HEIGHT - HORIZON)
    u = (x - WIDTH / 2) / (depth * 40 + 1e-9)
    v = 1 / (depth + 0.05)
    light = 0.45 + 0.55 * depth
    tile = 200 if (math.floor(u) + math.floor(v * 3)) % 2 == 0 else 90
    shadow = math.hypot((x - SPHERE_X - 30) / 95, (y - 205) / 16)
    return tile * light * (0.45 if shadow < 1 else 1)


def sphere(x, y):
    dx, dy = (x - SPHERE_X) / SPHERE_R, (y - SPHERE_Y) / SPHERE_R
    dz = math.sqrt(max(0.0, 1 - dx * dx - dy * dy))
    norm = math.sqrt(sum(c * c for c in LIGHT))
    diffuse = max(0.0, (dx * LIGHT[0] + dy * LIGHT[1] + dz * LIGHT[2]) / norm)
    highlight = diffuse ** 40
    return 25 + 190 * diffuse + 40 * highlight


def pixel(x, y):
    if math.hypot(x - SPHERE_X, y - SPHERE_Y) <= SPHERE_R:
        value = sphere(x, y)
    elif y < HORIZON:
        value = sky(y)
    else:
        value = floor(x, y)
    return max(0, min(255, round(value)))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "sample.pgm"
    raster = bytes(pixel(x, y) for y in range(HEIGHT) for x in range(WIDTH))
    with open(out, "wb") as f:
        f.write(b"P5\n# lumtab sample: a lit sphere on a chequered floor\n")
        f.write(b"%d %d\n255\n" % (WIDTH, HEIGHT))
        f.write(raster)


if __name__ == "__main__":
    main()
