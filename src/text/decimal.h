// 32-bit floating-point numbers to and from decimal text, quickly: the same text
// and values as std::to_chars and std::from_chars, which take several times as
// long for a float.
#pragma once

namespace lumtab::decimal {

// The most bytes of text shortest() writes ("-1.2345678e-38"), and the most it
// writes over on the way, from where it starts.
constexpr int kMostFloatChars = 15;
constexpr int kFloatScratch = 32;

// Writes `value` at `out` as std::to_chars(out, end, value) writes it: the
// shortest decimal that reads back as the same float, the nearest to it among
// those, in fixed or scientific notation, whichever is shorter (fixed where they
// tie); "inf", "-inf", "nan" or "-nan" for what is no number. Returns the end;
// writes over kFloatScratch bytes from `out`.
char* shortest(float value, char* out) noexcept;

// Reads the decimal at `first`, up to `last`, as std::from_chars(first, last,
// value) reads it, where that is quick: a sign, digits with a point among them,
// an exponent, of up to 19 significant digits and a value within float's normal
// range. Returns the end of what it read; null where it read nothing, leaving
// the reading to std::from_chars, which reads the rest and rejects what is no
// number.
const char* parse_quickly(const char* first, const char* last, float& value) noexcept;

}  // namespace lumtab::decimal
