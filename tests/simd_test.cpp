// Every kernel this processor runs against the scalar one, which every processor
// runs, and the chunk step built on them against a plain reading of the text.
#include "simd/simd.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "text/numbers.h"

namespace {

using namespace lumtab;

// A chunk with the bytes the kernels may read around it.
struct Chunk {
    std::array<std::uint8_t, simd::kReadsBefore + simd::kChunk + simd::kReadsAfter> bytes;

    explicit Chunk(std::uint8_t fill) { bytes.fill(fill); }
    std::uint8_t* data() { return bytes.data() + simd::kReadsBefore; }
};

std::string masks_of(const simd::Masks& m) {
    char text[128];
    std::snprintf(text, sizeof text, "%016llx %016llx %016llx %016llx %016llx %016llx",
                  (unsigned long long)m.digit, (unsigned long long)m.space,
                  (unsigned long long)m.blank, (unsigned long long)m.comma,
                  (unsigned long long)m.line_feed, (unsigned long long)m.carriage_return);
    return text;
}

TEST(Kernels, ClassifyEveryByteAtEveryPlaceAsTheScalarOne) {
    const simd::Kernel& scalar = simd::scalar_kernel();
    for (const simd::Kernel* kernel : simd::kernels()) {
        SCOPED_TRACE(kernel->name);
        for (unsigned byte = 0; byte < 256; ++byte) {
            for (unsigned at = 0; at < simd::kChunk; ++at) {
                // The byte among digits and every separator, at each place.
                Chunk chunk('0');
                for (unsigned i = 0; i < simd::kChunk; ++i)
                    chunk.data()[i] = "7 ,\t\n\r\v\f9x"[(i + byte) % 10];
                chunk.data()[at] = static_cast<std::uint8_t>(byte);
                ASSERT_EQ(masks_of(kernel->plain_masks(chunk.data())),
                          masks_of(scalar.plain_masks(chunk.data())))
                    << byte << " at " << at;
                ASSERT_EQ(masks_of(kernel->table_masks(chunk.data())),
                          masks_of(scalar.table_masks(chunk.data())))
                    << byte << " at " << at;
            }
        }
    }
    // And what the scalar kernel says is right.
    Chunk chunk(' ');
    std::memcpy(chunk.data(), "09/:, \t\n\r\v\fx", 13);
    simd::Masks table = scalar.table_masks(chunk.data());
    EXPECT_EQ(table.digit, 0b11u);
    EXPECT_EQ(table.comma, 0b10000u);
    EXPECT_EQ(table.blank & 0x1fff, 0b1100000u);
    EXPECT_EQ(table.line_feed, 0b10000000u);
    EXPECT_EQ(table.carriage_return, 0b100000000u);
    EXPECT_EQ(scalar.plain_masks(chunk.data()).space & 0x1fff, 0b11111100000u);
}

// The chunk step as a reading a byte at a time has it: the number of `digits`
// characters starting at `start`, alone among separators.
struct Expected {
    int taken;
    std::uint32_t value;
    unsigned next;
};

Expected expected(const std::string& digits, unsigned start, std::uint32_t max) {
    if (start + digits.size() >= simd::kChunk) return {0, 0, start};  // the next chunk's
    std::uint32_t value = std::stoul(digits);
    if (digits.size() > 5 || value > max) return {-1, 0, 0};
    return {1, value, 64};
}

template <typename Sample>
void check_every_number(const simd::Kernel& kernel, std::uint32_t most) {
    const char separators[] = " \t\n\r\v\f,";
    const std::uint32_t maxes[] = {0, 1, 9, 99, 254, 255, 999, 1000, 65534, 65535};
    for (std::uint32_t value = 0; value <= most; ++value) {
        // Leading zeros now and then, up to six digits and more.
        std::string digits = std::to_string(value);
        digits.insert(0, value % 3 == 1 ? 1 : value % 7 == 2 ? 6 - digits.size() % 6 : 0, '0');
        const std::uint32_t max = maxes[value % std::size(maxes)];
        if (sizeof(Sample) == 1 && max > 255) continue;
        for (unsigned start = 0; start < simd::kChunk; ++start) {
            Chunk chunk(static_cast<std::uint8_t>(separators[(value + start) % 7]));
            std::memcpy(
                chunk.data() + start, digits.data(),
                std::min<std::size_t>(digits.size(), simd::kChunk + simd::kReadsAfter - start));
            const simd::Masks masks = kernel.table_masks(chunk.data());
            Sample out[simd::kChunk + simd::kWritesPast] = {};
            unsigned next = 0;
            int taken = numbers::take_numbers(kernel, chunk.data(), masks.digit, max, out, next);
            Expected want = expected(digits, start, max);
            ASSERT_EQ(taken, want.taken) << digits << " at " << start << ", max " << max;
            if (taken == 1) {
                ASSERT_EQ(out[0], want.value) << digits << " at " << start;
            }
            if (taken >= 0) {
                ASSERT_EQ(next, want.next) << digits << " at " << start;
            }
        }
    }
}

TEST(Kernels, TakeEveryNumberAtEveryPlaceAsAPlainReadingDoes) {
    for (const simd::Kernel* kernel : simd::kernels()) {
        SCOPED_TRACE(kernel->name);
        check_every_number<std::uint16_t>(*kernel, 65535);
        check_every_number<std::uint8_t>(*kernel, 999);
    }
}

// Chunks full of numbers, as tables and plain images are: each kernel stores the
// same values as the scalar one, or refuses the same chunks.
TEST(Kernels, TakeChunksFullOfNumbersAsTheScalarOne) {
    const simd::Kernel& scalar = simd::scalar_kernel();
    std::mt19937 random(3);
    for (const simd::Kernel* kernel : simd::kernels()) {
        SCOPED_TRACE(kernel->name);
        for (int round = 0; round < 20000; ++round) {
            std::string text;
            while (text.size() < simd::kChunk + simd::kReadsAfter) {
                for (unsigned k = 1 + random() % (round % 4 == 0 ? 5 : 3); k > 0; --k)
                    text += static_cast<char>('0' + random() % 10);
                for (unsigned k = 1 + random() % 2; k > 0; --k)
                    text += " \t\n,"[random() % 4];
            }
            Chunk chunk(' ');
            std::memcpy(chunk.data(), text.data(), simd::kChunk + simd::kReadsAfter);
            const std::uint32_t max = round % 2 ? 255 : 1 + random() % 999;
            const std::uint64_t digit = scalar.plain_masks(chunk.data()).digit;
            std::uint8_t narrow[2][simd::kChunk + simd::kWritesPast] = {};
            std::uint16_t wide[2][simd::kChunk + simd::kWritesPast] = {};
            unsigned next[4];
            int taken[4] = {
                numbers::take_numbers(scalar, chunk.data(), digit, max, narrow[0], next[0]),
                numbers::take_numbers(*kernel, chunk.data(), digit, max, narrow[1], next[1]),
                numbers::take_numbers(scalar, chunk.data(), digit, max, wide[0], next[2]),
                numbers::take_numbers(*kernel, chunk.data(), digit, max, wide[1], next[3]),
            };
            ASSERT_EQ(taken[0], taken[1]);
            ASSERT_EQ(taken[2], taken[3]);
            if (max <= 255) {
                ASSERT_EQ(taken[0], taken[2]);
            }
            for (int i = 0; i < std::max(taken[0], 0); ++i)
                ASSERT_EQ(narrow[0][i], narrow[1][i]) << "value " << i;
            for (int i = 0; i < std::max(taken[2], 0); ++i)
                ASSERT_EQ(wide[0][i], wide[1][i]) << "value " << i;
        }
    }
}

// Every colour of one byte a channel, three and four bytes a pixel, at every
// place of a run of pixels, against the formula.
TEST(Kernels, TakeTheLuminanceOfEveryColourAsTheFormula) {
    const std::size_t kRun = 37;  // pixels: several of the kernels' steps and a tail
    for (const simd::Kernel* kernel : simd::kernels()) {
        SCOPED_TRACE(kernel->name);
        for (unsigned stride : {3u, 4u}) {
            std::vector<std::uint8_t> pixels(kRun * stride);
            std::vector<std::uint8_t> out(kRun);
            for (std::uint32_t colour = 0; colour < (1u << 24); colour += kRun) {
                for (std::size_t i = 0; i < kRun; ++i) {
                    std::uint32_t c = (colour + std::uint32_t(i)) & 0xffffff;
                    for (unsigned k = 0; k < stride; ++k)
                        pixels[i * stride + k] = static_cast<std::uint8_t>(c >> (8 * (k % 3)));
                }
                kernel->luma_8(pixels.data(), kRun, stride, out.data());
                for (std::size_t i = 0; i < kRun; ++i) {
                    const std::uint8_t* p = &pixels[i * stride];
                    ASSERT_EQ(out[i], simd::luma(p[0], p[1], p[2]))
                        << int(p[0]) << " " << int(p[1]) << " " << int(p[2]);
                }
            }
        }
    }
    EXPECT_EQ(simd::luma(255, 0, 0), 76u);  // netpbm's ppmtopgm gives 77
    EXPECT_EQ(simd::luma(0, 255, 0), 150u);
    EXPECT_EQ(simd::luma(0, 0, 255), 29u);
    EXPECT_EQ(simd::luma(255, 255, 255), 255u);
}

}  // namespace
