#!/usr/bin/env python3
"""Prints decimal_table.h: the powers of ten that shortest() in decimal.cpp
multiplies by, each 10^-k for k from -45 to 31 (all that 32-bit floats need) as
g = floor(10^-k * 2^(62 - r)) + 1, r = floor(log2(10^-k)): a 63-bit integer just
above the power's significand, as Giulietti's Schubfach takes it.

    python3 src/text/make_decimal_table.py > src/text/decimal_table.h
"""
from fractions import Fraction

K_MIN, K_MAX = -45, 31


def floor_log2(x):
    r = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** (r + 1) <= x:
        r += 1
    while Fraction(2) ** r > x:
        r -= 1
    return r


def main():
    print("// Made by make_decimal_table.py: do not edit.")
    print("#pragma once\n\n#include <cstdint>\n\nnamespace lumtab::decimal {\n")
    print("constexpr int kTableLeast = %d;  // the k of the first entry" % K_MIN)
    print("constexpr std::uint64_t kPowersOfTen[] = {")
    for k in range(K_MIN, K_MAX + 1):
        power = Fraction(10) ** -k
        g = int(power * Fraction(2) ** (62 - floor_log2(power))) + 1
        assert 2**62 < g < 2**63
        print("    0x%016x,  // 10^%d" % (g, -k))
    print("};\n\n}  // namespace lumtab::decimal")


if __name__ == "__main__":
    main()
