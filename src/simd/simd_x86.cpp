// The x86-64 kernels: SSE2, which every x86-64 processor has, 16 bytes at a time;
// and AVX2, 32 bytes at a time, for processors that have it (checked at run time).
#include "simd/simd.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>

#include <array>

namespace lumtab::simd {

namespace {

// ---------------------------------------------------------------- SSE2

__m128i equal_16(__m128i bytes, char c) {
    return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c));
}

__m128i digits_16(__m128i bytes) {
    // Bytes above 0x7f count as negative: never above '/'.
    return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)),
                         _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
}

std::uint64_t bits_16(__m128i mask, int at) {
    return std::uint64_t(unsigned(_mm_movemask_epi8(mask))) << at;
}

Masks plain_masks_sse2(const std::uint8_t* p) {
    Masks masks;
    for (int at = 0; at < 64; at += 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        // Tab, line feed, vertical tab, form feed and carriage return are 9 to 13.
        __m128i control = _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8(8)),
                                        _mm_cmplt_epi8(b, _mm_set1_epi8(14)));
        masks.digit |= bits_16(digits_16(b), at);
        masks.space |= bits_16(_mm_or_si128(control, equal_16(b, ' ')), at);
    }
    return masks;
}

Masks table_masks_sse2(const std::uint8_t* p) {
    Masks masks;
    for (int at = 0; at < 64; at += 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        masks.digit |= bits_16(digits_16(b), at);
        masks.blank |= bits_16(_mm_or_si128(equal_16(b, ' '), equal_16(b, '\t')), at);
        masks.comma |= bits_16(equal_16(b, ','), at);
        masks.line_feed |= bits_16(equal_16(b, '\n'), at);
        masks.carriage_return |= bits_16(equal_16(b, '\r'), at);
    }
    return masks;
}

// The values of the numbers of one to three digits that end at each of the 64
// bytes, computed eight at a time in 16-bit lanes: of[i] for the number whose
// last digit is byte i.
struct NumbersEndingAt {
    alignas(16) std::uint16_t of[64];
    std::uint64_t above = 0;  // bit i: of[i] is above the maximum given

    NumbersEndingAt(const std::uint8_t* chunk, std::uint32_t max) {
        // Three digits are at most 999; compared as signed 16-bit numbers.
        const __m128i maximum = _mm_set1_epi16(static_cast<short>(max < 999 ? max : 999));
        for (int at = 0; at < 64; at += 16) {
            __m128i over =
                _mm_packs_epi16(values_at(chunk, at, maximum), values_at(chunk, at + 8, maximum));
            above |= bits_16(over, at);
        }
    }

  private:
    static __m128i digits_at(const std::uint8_t* p) {
        __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        return _mm_sub_epi16(_mm_unpacklo_epi8(bytes, _mm_setzero_si128()), _mm_set1_epi16('0'));
    }

    // Stores the values ending at bytes `at` to `at` + 7; returns where they are
    // above `maximum`.
    __m128i values_at(const std::uint8_t* chunk, int at, __m128i maximum) {
        const __m128i minus_one = _mm_set1_epi16(-1);
        // Whitespace and the like are below '0': a digit is what is not negative here.
        __m128i ones = digits_at(chunk + at);
        __m128i tens = digits_at(chunk + at - 1);
        __m128i hundreds = digits_at(chunk + at - 2);
        __m128i has_tens = _mm_cmpgt_epi16(tens, minus_one);
        __m128i has_hundreds = _mm_and_si128(has_tens, _mm_cmpgt_epi16(hundreds, minus_one));
        __m128i value =
            _mm_add_epi16(ones, _mm_mullo_epi16(_mm_and_si128(tens, has_tens), _mm_set1_epi16(10)));
        value = _mm_add_epi16(
            value, _mm_mullo_epi16(_mm_and_si128(hundreds, has_hundreds), _mm_set1_epi16(100)));
        _mm_store_si128(reinterpret_cast<__m128i*>(&of[at]), value);
        return _mm_cmpgt_epi16(value, maximum);
    }
};

template <typename Sample>
bool short_numbers_sse2(const std::uint8_t* p, std::uint64_t last_digits, std::uint32_t max,
                        Sample* out) {
    const NumbersEndingAt numbers(p, max);
    if ((numbers.above & last_digits) != 0) return false;
    for (; last_digits != 0; last_digits &= last_digits - 1)
        *out++ = static_cast<Sample>(numbers.of[__builtin_ctzll(last_digits)]);
    return true;
}

const Kernel kSse2 = {"sse2",
                      plain_masks_sse2,
                      table_masks_sse2,
                      short_numbers_sse2<std::uint8_t>,
                      short_numbers_sse2<std::uint16_t>,
                      luma_8_scalar};

// ---------------------------------------------------------------- AVX2
// No lambdas below: they would not be compiled for AVX2.

#define LUMTAB_AVX2 __attribute__((target("avx2,popcnt")))

LUMTAB_AVX2 __m256i equal_32(__m256i bytes, char c) {
    return _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c));
}

LUMTAB_AVX2 std::uint64_t bits_32(__m256i mask, int at) {
    return std::uint64_t(unsigned(_mm256_movemask_epi8(mask))) << at;
}

LUMTAB_AVX2 __m256i digits_32(__m256i bytes) {
    return _mm256_and_si256(_mm256_cmpgt_epi8(bytes, _mm256_set1_epi8('0' - 1)),
                            _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), bytes));
}

LUMTAB_AVX2 Masks plain_masks_avx2(const std::uint8_t* p) {
    Masks masks;
    for (int at = 0; at < 64; at += 32) {
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
        __m256i control = _mm256_and_si256(_mm256_cmpgt_epi8(b, _mm256_set1_epi8(8)),
                                           _mm256_cmpgt_epi8(_mm256_set1_epi8(14), b));
        masks.digit |= bits_32(digits_32(b), at);
        masks.space |= bits_32(_mm256_or_si256(control, equal_32(b, ' ')), at);
    }
    return masks;
}

LUMTAB_AVX2 Masks table_masks_avx2(const std::uint8_t* p) {
    Masks masks;
    for (int at = 0; at < 64; at += 32) {
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
        masks.digit |= bits_32(digits_32(b), at);
        masks.blank |= bits_32(_mm256_or_si256(equal_32(b, ' '), equal_32(b, '\t')), at);
        masks.comma |= bits_32(equal_32(b, ','), at);
        masks.line_feed |= bits_32(equal_32(b, '\n'), at);
        masks.carriage_return |= bits_32(equal_32(b, '\r'), at);
    }
    return masks;
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

// One-byte values, 32 at a time in byte lanes: a value is at most 255, so the
// hundreds digit h adds 100 × h modulo 256, looked up in a table, and the value
// is checked against the maximum by its hundreds and its rest.
LUMTAB_AVX2 bool short_numbers_8_avx2(const std::uint8_t* p, std::uint64_t last_digits,
                                      std::uint32_t max, std::uint8_t* out) {
    const __m256i ascii_zero = _mm256_set1_epi8('0');
    const __m256i minus_one = _mm256_set1_epi8(-1);
    const __m256i hundreds_table =
        _mm256_setr_epi8(0, 100, -56, 44, -112, -12, 88, -68, 32, -124, 0, 0, 0, 0, 0, 0,  //
                         0, 100, -56, 44, -112, -12, 88, -68, 32, -124, 0, 0, 0, 0, 0, 0);
    const __m256i max_hundreds = _mm256_set1_epi8(static_cast<char>(max / 100));
    const __m256i max_rest = _mm256_set1_epi8(static_cast<char>(max % 100));
    alignas(32) std::uint8_t values[64];
    std::uint64_t above = 0;
    for (int at = 0; at < 64; at += 32) {
        // Separators are below '0': a digit is what is not negative here.
        const std::uint8_t* q = p + at;
        __m256i ones =
            _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), ascii_zero);
        __m256i tens = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 1)),
                                       ascii_zero);
        __m256i hundreds = _mm256_sub_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 2)), ascii_zero);
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
        above |= bits_32(over, at);
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

// For each mask of 8 two-byte lanes, the shuffle that gathers the lanes it marks
// at the front.
struct LaneShuffle {
    alignas(16) std::uint8_t bytes[16];
};
constexpr std::array<LaneShuffle, 256> kGatherLanes = [] {
    std::array<LaneShuffle, 256> shuffles{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned taken = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((mask >> lane & 1) == 0) continue;
            shuffles[mask].bytes[2 * taken] = static_cast<std::uint8_t>(2 * lane);
            shuffles[mask].bytes[2 * taken + 1] = static_cast<std::uint8_t>(2 * lane + 1);
            ++taken;
        }
    }
    return shuffles;
}();

// The values ending at the 16 bytes from `q`, in 16-bit lanes.
LUMTAB_AVX2 __m256i values_16_avx2(const std::uint8_t* q) {
    const __m256i ascii_zero = _mm256_set1_epi16('0');
    const __m256i minus_one = _mm256_set1_epi16(-1);
    __m256i ones = _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q))), ascii_zero);
    __m256i tens = _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q - 1))), ascii_zero);
    __m256i hundreds = _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q - 2))), ascii_zero);
    __m256i has_tens = _mm256_cmpgt_epi16(tens, minus_one);
    __m256i has_hundreds = _mm256_and_si256(has_tens, _mm256_cmpgt_epi16(hundreds, minus_one));
    __m256i value = _mm256_add_epi16(
        ones, _mm256_mullo_epi16(_mm256_and_si256(tens, has_tens), _mm256_set1_epi16(10)));
    return _mm256_add_epi16(value, _mm256_mullo_epi16(_mm256_and_si256(hundreds, has_hundreds),
                                                      _mm256_set1_epi16(100)));
}

// Two-byte values, 16 at a time in 16-bit lanes, gathered eight at a time with a
// shuffle.
LUMTAB_AVX2 bool short_numbers_16_avx2(const std::uint8_t* p, std::uint64_t last_digits,
                                       std::uint32_t max, std::uint16_t* out) {
    // Three digits are at most 999; compared as signed 16-bit numbers.
    const __m256i maximum = _mm256_set1_epi16(static_cast<short>(max < 999 ? max : 999));
    alignas(32) std::uint16_t values[64];
    std::uint64_t above = 0;
    for (int at = 0; at < 64; at += 32) {
        __m256i low = values_16_avx2(p + at);
        __m256i high = values_16_avx2(p + at + 16);
        _mm256_store_si256(reinterpret_cast<__m256i*>(values + at), low);
        _mm256_store_si256(reinterpret_cast<__m256i*>(values + at + 16), high);
        // Packing works within each 128-bit half: the permutation puts the four
        // quarters back in order.
        __m256i over =
            _mm256_packs_epi16(_mm256_cmpgt_epi16(low, maximum), _mm256_cmpgt_epi16(high, maximum));
        above |= bits_32(_mm256_permute4x64_epi64(over, 0xd8), at);
    }
    if ((above & last_digits) != 0) return false;
    for (int at = 0; at < 64; at += 8) {
        unsigned marked = static_cast<unsigned>(last_digits >> at) & 0xff;
        __m128i eight = _mm_load_si128(reinterpret_cast<const __m128i*>(values + at));
        __m128i gathered = _mm_shuffle_epi8(
            eight, _mm_load_si128(reinterpret_cast<const __m128i*>(kGatherLanes[marked].bytes)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), gathered);
        out += __builtin_popcount(marked);
    }
    return true;
}

// The luminance of the eight pixels whose red, green and blue are the low three
// bytes of each 32-bit lane, plus 500, in 32-bit lanes: 299 R + 114 B from the
// 16-bit halves R and B, 587 G from G.
LUMTAB_AVX2 __m256i weighted_sum(__m256i pixels) {
    const __m256i low_bytes = _mm256_set1_epi32(0x00ff00ff);
    __m256i red_blue = _mm256_and_si256(pixels, low_bytes);
    __m256i green = _mm256_and_si256(_mm256_srli_epi32(pixels, 8), low_bytes);
    __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(red_blue, _mm256_set1_epi32(114 << 16 | 299)),
                                   _mm256_madd_epi16(green, _mm256_set1_epi32(587)));
    return _mm256_add_epi32(sum, _mm256_set1_epi32(500));
}

// The eight pixels of three bytes each at `in`, one a 32-bit lane (its top byte
// 0). Reads four bytes past them.
LUMTAB_AVX2 __m256i eight_of_three(const std::uint8_t* in) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    __m128i low = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), spread);
    __m128i high =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), spread);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Sixteen pixels at a time. (sum + 500) / 1000 is ((sum + 500) / 8) / 125, and
// the first fits 16 bits: y / 125 is then (y × 33555) >> 22, exact for every y
// below 59074, as the test of every colour checks.
LUMTAB_AVX2 void luma_8_avx2(const std::uint8_t* in, std::size_t pixels, unsigned stride,
                             std::uint8_t* out) {
    std::size_t i = 0;
    // Three bytes a pixel read four past the sixteenth pixel: two pixels to spare.
    for (; i + (stride == 3 ? 18 : 16) <= pixels; i += 16) {
        const std::uint8_t* p = in + i * stride;
        __m256i first, second;
        if (stride == 3) {
            first = eight_of_three(p);
            second = eight_of_three(p + 24);
        } else {
            first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        }
        __m256i eighths = _mm256_packus_epi32(_mm256_srli_epi32(weighted_sum(first), 3),
                                              _mm256_srli_epi32(weighted_sum(second), 3));
        // Packing works within each 128-bit half: the permutation restores the order.
        eighths = _mm256_permute4x64_epi64(eighths, 0xd8);
        __m256i value =
            _mm256_srli_epi16(_mm256_mulhi_epu16(eighths, _mm256_set1_epi16(-31981)), 6);
        __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(value, value), 0xd8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(bytes));
    }
    luma_8_scalar(in + i * stride, pixels - i, stride, out + i);
}

const Kernel kAvx2 = {
    "avx2",     plain_masks_avx2, table_masks_avx2, short_numbers_8_avx2, short_numbers_16_avx2,
    luma_8_avx2};

// Whether the processor has AVX2 and POPCNT and the system saves the AVX registers
// (XCR0 bits 1 and 2), the checks of Intel's Software Developer's Manual, volume 1,
// 14.3. Asked here, once, rather than through __builtin_cpu_supports, whose
// initialisation asks the processor much more at every start of the program: slow
// in a virtual machine, where each question traps to the host.
bool has_avx2() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    constexpr unsigned kNeeded = bit_POPCNT | bit_OSXSAVE | bit_AVX;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & kNeeded) != kNeeded) return false;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if ((xcr0 & 6) != 6) return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0;
}

}  // namespace

const Kernel* sse2_kernel() {
    return &kSse2;
}

const Kernel* avx2_kernel() {
    static const bool has = has_avx2();
    return has ? &kAvx2 : nullptr;
}

}  // namespace lumtab::simd

#endif
