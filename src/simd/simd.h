// The processor-specific part of parsing decimal text, 64 bytes (a chunk) at a
// time: masks of a chunk's digits and separators, and the values of its short
// numbers. Every kernel gives the same results as the scalar one, which every
// processor runs; on x86-64 the fastest the processor has is chosen once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lumtab::simd {

// The eight bytes at `p` as a word, the first byte in its lowest bits.
inline std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

constexpr std::size_t kChunk = 64;
// The text around a chunk that parsing it may read: the bytes just before it
// (where a number that starts the chunk would have its tens and hundreds), and
// those past its end (a long number's eight-byte load).
constexpr std::size_t kReadsBefore = 2;
constexpr std::size_t kReadsAfter = 8;
// How far past the last value it stores short_numbers may write, in bytes.
constexpr std::size_t kWritesPast = 16;

// Masks of the 64 bytes of a chunk, bit i for byte i.
struct Masks {
    std::uint64_t digit = 0;            // 0 to 9
    std::uint64_t space = 0;            // whitespace: space, tab, LF, VT, FF, CR
    std::uint64_t blank = 0;            // space and tab
    std::uint64_t comma = 0;            // ,
    std::uint64_t line_feed = 0;        // LF
    std::uint64_t carriage_return = 0;  // CR
};

struct Kernel {
    const char* name;
    // The digits and whitespace of the chunk at `p`; the other masks stay 0.
    Masks (*plain_masks)(const std::uint8_t* p);
    // The digits, blanks, commas, line feeds and carriage returns of the chunk.
    Masks (*table_masks)(const std::uint8_t* p);
    // Stores in `out`, in order, the values of the numbers of one to three
    // digits whose last digits `last_digits` marks in the chunk at `p`: each
    // number runs back from its last digit to the first byte that is not a
    // digit, which lies at most kReadsBefore bytes before the chunk. May write
    // kWritesPast bytes beyond them. Returns false if a value is above `max`
    // (for one-byte samples, at most 255), having then stored nothing of use.
    bool (*short_numbers_8)(const std::uint8_t* p, std::uint64_t last_digits, std::uint32_t max,
                            std::uint8_t* out);
    bool (*short_numbers_16)(const std::uint8_t* p, std::uint64_t last_digits, std::uint32_t max,
                             std::uint16_t* out);
    // Stores at `out` the luminance of `pixels` pixels of one-byte samples at
    // `in`, red, green and blue first among `stride` (3 or 4) samples a pixel:
    // (299 R + 587 G + 114 B + 500) / 1000. `out` may be `in`.
    void (*luma_8)(const std::uint8_t* in, std::size_t pixels, unsigned stride, std::uint8_t* out);
};

// The luminance of one pixel: (299 R + 587 G + 114 B) / 1000, rounded to the
// nearest whole number, halves up.
constexpr std::uint32_t luma(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
    return (299 * red + 587 * green + 114 * blue + 500) / 1000;
}

// The scalar kernel's luminance, which the others use for what they do not take.
void luma_8_scalar(const std::uint8_t* in, std::size_t pixels, unsigned stride, std::uint8_t* out);

// The kernel this process uses: chosen on the first call, from the processor's
// features, and the same ever after. Safe on any thread.
const Kernel& kernel();

// Every kernel this processor can run, the scalar one first: for tests.
std::vector<const Kernel*> kernels();

// The scalar kernel, and on x86-64 the SSE2 and AVX2 ones (null where the
// processor lacks AVX2), for kernel() and kernels() to choose from.
const Kernel& scalar_kernel();
const Kernel* sse2_kernel();
const Kernel* avx2_kernel();

}  // namespace lumtab::simd
