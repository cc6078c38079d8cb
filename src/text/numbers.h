// Decimal numbers in text, as plain images and tables hold them: the byte at a
// time way, and eight digits at a time in a 64-bit word without a branch per
// digit, and all the numbers that end in a 64-byte chunk at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/simd.h"

namespace lumtab::numbers {

// Beyond any sample: what a number of more than five digits counts as.
constexpr std::uint32_t kBeyond = 65536;

constexpr bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

// Whitespace as the C locale has it: space, tab, LF, VT, FF, CR.
constexpr bool is_space(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// How many bits of `mask` are set, without a call to the runtime on machines
// that may lack the instruction (x86-64's baseline).
inline unsigned count_ones(std::uint64_t mask) {
#ifdef __POPCNT__
    return static_cast<unsigned>(__builtin_popcountll(mask));
#else
    mask -= (mask >> 1) & 0x5555555555555555;
    mask = (mask & 0x3333333333333333) + ((mask >> 2) & 0x3333333333333333);
    mask = (mask + (mask >> 4)) & 0x0f0f0f0f0f0f0f0f;
    return static_cast<unsigned>((mask * 0x0101010101010101) >> 56);
#endif
}

// The digits at `p`, up to `end`: their value, or kBeyond if it is more. Moves
// `p` past them.
inline std::uint32_t take_digits(const std::uint8_t*& p, const std::uint8_t* end) {
    std::uint32_t value = 0;
    for (; p < end && is_digit(*p); ++p)
        value = value * 10 + (*p - '0') < kBeyond ? value * 10 + (*p - '0') : kBeyond;
    return value;
}

// How many of the eight bytes in `word`, from its first, are decimal digits.
inline unsigned digits_at_start(std::uint64_t word) {
    // A byte b is a digit when t = b ^ '0' is below 10. Adding 0x76 to t's low seven
    // bits sets its top bit when t >= 10, without carrying into the next byte.
    std::uint64_t t = word ^ 0x3030303030303030;
    std::uint64_t not_digit =
        (((t & 0x7f7f7f7f7f7f7f7f) + 0x7676767676767676) | t) & 0x8080808080808080;
    return not_digit == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(not_digit)) / 8;
}

// The value of the first `count` bytes of `word`, 1 to 8 decimal digits.
inline std::uint32_t value_of(std::uint64_t word, unsigned count) {
    // Shifted to the top, the digits become the last of eight, after zeros; then
    // pairs, quadruples and the octet are combined by multiplication.
    std::uint64_t digits = (word ^ 0x3030303030303030) << (8 * (8 - count));
    digits = digits * 10 + (digits >> 8);
    digits = (((digits & 0x000000ff000000ff) * 0x000f424000000064) +
              (((digits >> 16) & 0x000000ff000000ff) * 0x0000271000000001)) >>
             32;
    return static_cast<std::uint32_t>(digits);
}

// The value of a number of `count` digits at the start of `word`, or kBeyond for
// more than five, which leading zeros or a value to refuse take.
inline std::uint32_t value_of_number(std::uint64_t word, unsigned count) {
    return count <= 5 ? value_of(word, count) : kBeyond;
}

// Whether `digits` (a chunk's mask of its digits) has a run of four or more: a
// number longer than the kernels' short ones.
inline bool has_long_run(std::uint64_t digits) {
    return (digits & digits >> 1 & digits >> 2 & digits >> 3) != 0;
}

// Takes the numbers that end in the chunk at `p`, whose digits `digit` marks,
// into `out`: all of them computed at once where they are short, as in 8-bit
// images. A number that runs to the chunk's last byte is left for the next chunk,
// which `next` says where starts (64 if none is left); the chunk must start at a
// number's first digit or after it. Returns how many were stored, writing up to
// simd::kWritesPast bytes beyond them, or -1 where the chunk must be taken a byte
// at a time: a value above `max`, a number of more than five digits (leading
// zeros or a value to refuse), or one that fills the chunk.
template <typename Sample>
inline int take_numbers(const simd::Kernel& kernel, const std::uint8_t* p, std::uint64_t digit,
                        std::uint32_t max, Sample* out, unsigned& next) {
    const std::uint64_t starts = digit & ~(digit << 1);
    const std::uint64_t ends = ~digit & (digit << 1);  // the byte after each number
    next = 64;
    if (digit >> 63) {
        next = 63 - static_cast<unsigned>(__builtin_clzll(starts));
        if (next == 0) return -1;
    }
    if (!has_long_run(digit)) {
        bool taken;
        if constexpr (sizeof(Sample) == 1) {
            taken = kernel.short_numbers_8(p, ends >> 1, max, out);
        } else {
            taken = kernel.short_numbers_16(p, ends >> 1, max, out);
        }
        return taken ? static_cast<int>(count_ones(ends)) : -1;
    }
    for (std::uint64_t left = ends; left != 0; left &= left - 1) {
        unsigned end = static_cast<unsigned>(__builtin_ctzll(left));
        unsigned start =
            63 - static_cast<unsigned>(__builtin_clzll(starts & ((std::uint64_t(1) << end) - 1)));
        std::uint32_t value = value_of_number(simd::load8(p + start), end - start);
        if (value > max) return -1;
        *out++ = static_cast<Sample>(value);
    }
    return static_cast<int>(count_ones(ends));
}

// How many zeros lead the number at the start of `bytes`, the last digit not counted:
// they may go, however many there are, without changing its value.
inline std::size_t leading_zeros(const std::uint8_t* bytes, std::size_t size) {
    std::size_t zeros = 0;
    while (zeros + 1 < size && bytes[zeros] == '0' && is_digit(bytes[zeros + 1]))
        ++zeros;
    return zeros;
}

}  // namespace lumtab::numbers
