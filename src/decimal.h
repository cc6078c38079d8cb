// Reading decimal numbers eight bytes at a time, without a branch per digit: the
// plain image's samples and a table's values are parsed this way.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace decimal {

inline std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;  // the first byte in the lowest bits: x86 and other little-endian machines
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

// The length of the number that starts at bit `start` of a chunk, given the mask of
// the bytes that end a number there: from the mask while the number ends inside the
// chunk, else counted in `word`, the eight bytes at its start.
inline unsigned number_length(unsigned start, std::uint64_t ends, std::uint64_t word) {
    std::uint64_t after = ends & (~std::uint64_t(0) << start);
    return after != 0 ? static_cast<unsigned>(__builtin_ctzll(after)) - start
                      : digits_at_start(word);
}

// The value of the first `count` bytes of `word`, 1 to 4 decimal digits: as
// value_of, with one multiplication fewer, for the short numbers of 8-bit images.
inline std::uint32_t value_of_short(std::uint64_t word, unsigned count) {
    std::uint32_t digits = (static_cast<std::uint32_t>(word) ^ 0x30303030u) << (8 * (4 - count));
    digits = digits * 10 + (digits >> 8);  // the first pair in byte 0, the second in byte 2
    return (digits & 0xff) * 100 + ((digits >> 16) & 0xff);
}

// The value of a number of `count` digits at the start of `word`, or 65536 (beyond
// any sample) for more than five, which leading zeros or a value to refuse take.
inline std::uint32_t value_of_number(std::uint64_t word, unsigned count) {
    if (count <= 4) return value_of_short(word, count);
    return count == 5 ? value_of(word, 5) : 65536;
}

// The values of the numbers of one to three digits that could start at each of
// 64 bytes, computed for all the bytes at once, eight at a time: a number that
// starts in a chunk is then one load away, however long it is. Reads up to 66
// bytes from the chunk's start.
struct ShortValues {
    alignas(16) std::uint16_t of[3][64];  // of[length - 1][start]

    explicit ShortValues(const std::uint8_t* chunk) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i ascii_zero = _mm_set1_epi16('0');
        const __m128i ten = _mm_set1_epi16(10);
        for (int at = 0; at < 64; at += 8) {
            auto digits_at = [&](int offset) {
                __m128i bytes =
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(chunk + at + offset));
                return _mm_sub_epi16(_mm_unpacklo_epi8(bytes, zero), ascii_zero);
            };
            __m128i one = digits_at(0);
            __m128i two = _mm_add_epi16(_mm_mullo_epi16(one, ten), digits_at(1));
            __m128i three = _mm_add_epi16(_mm_mullo_epi16(two, ten), digits_at(2));
            _mm_store_si128(reinterpret_cast<__m128i*>(&of[0][at]), one);
            _mm_store_si128(reinterpret_cast<__m128i*>(&of[1][at]), two);
            _mm_store_si128(reinterpret_cast<__m128i*>(&of[2][at]), three);
        }
    }
};

// The values of the numbers of one to three digits that end at each of 64 bytes of
// digits and whitespace alone, computed for all the bytes at once: of[i] for the
// number whose last digit is byte i. Reads the two bytes before the chunk, which
// must not be digits where a number starts the chunk.
struct NumbersEndingAt {
    alignas(16) std::uint16_t of[64];
    std::uint64_t above = 0;  // bit i: of[i] is above the `max` given

    NumbersEndingAt(const std::uint8_t* chunk, std::uint32_t max) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i ascii_zero = _mm_set1_epi16('0');
        const __m128i minus_one = _mm_set1_epi16(-1);
        const __m128i ten = _mm_set1_epi16(10);
        const __m128i hundred = _mm_set1_epi16(100);
        // Three digits are at most 999; compared as signed 16-bit numbers.
        const __m128i maximum = _mm_set1_epi16(static_cast<short>(max < 999 ? max : 999));
        auto digits_at = [&](int at) {
            __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(chunk + at));
            return _mm_sub_epi16(_mm_unpacklo_epi8(bytes, zero), ascii_zero);
        };
        auto values_at = [&](int at) {
            // Whitespace is below '0': a digit is what is not negative here.
            __m128i ones = digits_at(at);
            __m128i tens = digits_at(at - 1);
            __m128i hundreds = digits_at(at - 2);
            __m128i has_tens = _mm_cmpgt_epi16(tens, minus_one);
            __m128i has_hundreds = _mm_and_si128(has_tens, _mm_cmpgt_epi16(hundreds, minus_one));
            __m128i value =
                _mm_add_epi16(ones, _mm_mullo_epi16(_mm_and_si128(tens, has_tens), ten));
            value = _mm_add_epi16(value,
                                  _mm_mullo_epi16(_mm_and_si128(hundreds, has_hundreds), hundred));
            _mm_store_si128(reinterpret_cast<__m128i*>(&of[at]), value);
            return _mm_cmpgt_epi16(value, maximum);
        };
        for (int at = 0; at < 64; at += 16) {
            __m128i over = _mm_packs_epi16(values_at(at), values_at(at + 8));
            above |= std::uint64_t(unsigned(_mm_movemask_epi8(over))) << at;
        }
    }
};

// Whether this machine has AVX2, which byte_samples_avx2 needs. Builds defining
// LUMTAB_SSE2_ONLY never use it, so that the other path is tested too.
inline bool has_avx2() {
#ifdef LUMTAB_SSE2_ONLY
    return false;
#else
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return has;
#endif
}

// For each mask of 8 bytes, the shuffle that gathers the bytes it marks at the front.
constexpr std::array<std::uint64_t, 256> kGatherShuffles = [] {
    std::array<std::uint64_t, 256> shuffles{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned taken = 0;
        for (unsigned byte = 0; byte < 8; ++byte)
            if (mask >> byte & 1) shuffles[mask] |= std::uint64_t(byte) << (8 * taken++);
    }
    return shuffles;
}();

// As NumbersEndingAt, for samples of one byte, 32 bytes at a time: stores in `out`
// the values of the numbers whose last digit `last_digits` marks (bit i for byte i),
// in order, and writes up to 8 bytes past them. Returns false, having stored
// nothing of use, if one is above `max_value`.
__attribute__((target("avx2,popcnt"))) inline bool byte_samples_avx2(const std::uint8_t* chunk,
                                                                     std::uint64_t last_digits,
                                                                     unsigned max_value,
                                                                     std::uint8_t* out) {
    const __m256i ascii_zero = _mm256_set1_epi8('0');
    const __m256i minus_one = _mm256_set1_epi8(-1);
    // 100 × h modulo 256, for the hundreds digit h: a sample is one byte.
    const __m256i hundreds_table =
        _mm256_setr_epi8(0, 100, -56, 44, -112, -12, 88, -68, 32, -124, 0, 0, 0, 0, 0, 0,  //
                         0, 100, -56, 44, -112, -12, 88, -68, 32, -124, 0, 0, 0, 0, 0, 0);
    const __m256i max_hundreds = _mm256_set1_epi8(static_cast<char>(max_value / 100));
    const __m256i max_rest = _mm256_set1_epi8(static_cast<char>(max_value % 100));
    alignas(32) std::uint8_t values[64];
    std::uint64_t above = 0;
    for (int at = 0; at < 64; at += 32) {
        // Whitespace is below '0': a digit is what is not negative here. (No lambda
        // for the loads: it would not be compiled for AVX2.)
        const auto* at_chunk = chunk + at;
        __m256i ones = _mm256_sub_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at_chunk)), ascii_zero);
        __m256i tens = _mm256_sub_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at_chunk - 1)), ascii_zero);
        __m256i hundreds = _mm256_sub_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at_chunk - 2)), ascii_zero);
        __m256i has_tens = _mm256_cmpgt_epi8(tens, minus_one);
        tens = _mm256_and_si256(tens, has_tens);
        hundreds = _mm256_and_si256(
            hundreds, _mm256_and_si256(has_tens, _mm256_cmpgt_epi8(hundreds, minus_one)));
        __m256i twice_tens = _mm256_add_epi8(tens, tens);
        __m256i eight_tens = _mm256_add_epi8(twice_tens, twice_tens);
        eight_tens = _mm256_add_epi8(eight_tens, eight_tens);
        __m256i rest = _mm256_add_epi8(ones, _mm256_add_epi8(twice_tens, eight_tens));  // 0 to 99
        __m256i value = _mm256_add_epi8(rest, _mm256_shuffle_epi8(hundreds_table, hundreds));
        _mm256_store_si256(reinterpret_cast<__m256i*>(values + at), value);
        __m256i over = _mm256_or_si256(_mm256_cmpgt_epi8(hundreds, max_hundreds),
                                       _mm256_and_si256(_mm256_cmpeq_epi8(hundreds, max_hundreds),
                                                        _mm256_cmpgt_epi8(rest, max_rest)));
        above |= std::uint64_t(unsigned(_mm256_movemask_epi8(over))) << at;
    }
    if ((above & last_digits) != 0) return false;
    for (int at = 0; at < 64; at += 8) {
        unsigned marked = static_cast<unsigned>(last_digits >> at) & 0xff;
        __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(values + at));
        __m128i gathered = _mm_shuffle_epi8(
            eight, _mm_cvtsi64_si128(static_cast<long long>(kGatherShuffles[marked])));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), gathered);
        out += __builtin_popcount(marked);
    }
    return true;
}

// Whether `digits` (a chunk's mask of its digits) has a run of four or more: the
// chunk holds a number longer than the short ones computed all at once above.
inline bool has_long_run(std::uint64_t digits) {
    return (digits & digits >> 1 & digits >> 2 & digits >> 3) != 0;
}

// How many bytes of a window of `size` bytes run up to and including its last
// byte for which `is_break` holds: where the window can end without cutting a
// number. 0 if there is no such byte.
template <typename IsBreak>
inline std::size_t through_last_break(const std::uint8_t* window, std::size_t size,
                                      IsBreak is_break) {
    while (size > 0 && !is_break(window[size - 1]))
        --size;
    return size;
}

// How many zeros lead the number at the start of `bytes`, the last digit not counted:
// they may go, however many there are, without changing its value.
inline std::size_t leading_zeros(const std::uint8_t* bytes, std::size_t size) {
    std::size_t zeros = 0;
    while (zeros + 1 < size && bytes[zeros] == '0' && bytes[zeros + 1] >= '0' &&
           bytes[zeros + 1] <= '9')
        ++zeros;
    return zeros;
}

// A mask of the 64 bytes at `p`, bit i for byte i: the bytes for which `match`,
// given sixteen bytes at a time, sets all bits.
template <typename Match>
inline std::uint64_t mask64(const std::uint8_t* p, Match match) {
    std::uint64_t mask = 0;
    for (int part = 0; part < 4; ++part) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
        mask |= std::uint64_t(unsigned(_mm_movemask_epi8(match(bytes)))) << (16 * part);
    }
    return mask;
}

inline __m128i digits(__m128i bytes) {
    // Bytes above 0x7f count as negative: never above '/'.
    return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)),
                         _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
}

inline __m128i equal(__m128i bytes, char c) {
    return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c));
}

}  // namespace decimal
