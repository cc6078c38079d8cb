// Bitmaps: PBM's rasters, a bit a pixel (P4) or a digit a pixel (P1). Read as
// Netpbm reads them, maximum value 1: a 1 in the file is black, which is 0.
#include <algorithm>
#include <array>
#include <cstring>

#include "formats/netpbm_reader.h"
#include "io/input.h"
#include "text/numbers.h"

namespace lumtab {

namespace {

// The samples of the eight pixels of each byte, the first pixel (the most
// significant bit) in the lowest byte of the word.
constexpr std::array<std::uint64_t, 256> kPixels = [] {
    std::array<std::uint64_t, 256> pixels{};
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned bit = 0; bit < 8; ++bit)
            if ((byte >> (7 - bit) & 1) == 0) pixels[byte] |= std::uint64_t(1) << (8 * bit);
    return pixels;
}();

template <typename Sample>
void put_eight(std::uint8_t byte, Sample* out) {
    const std::uint64_t pixels = kPixels[byte];
    if constexpr (sizeof(Sample) == 1) {
        std::memcpy(out, &pixels, 8);
    } else {
        for (int i = 0; i < 8; ++i)
            out[i] = static_cast<Sample>(pixels >> (8 * i) & 1);
    }
}

}  // namespace

template <typename Sample>
std::size_t NetpbmReader::read_bits(std::span<Sample> out) {
    const auto width = static_cast<std::uint64_t>(info_.width);
    std::size_t count = 0;
    while (count < out.size()) {
        std::span<const std::uint8_t> bytes = in_.look_ahead(1);
        if (bytes.empty())
            throw Error(in_.name(), truncated_raster(bitmap_bytes_, bitmap_bytes(info_), "bytes"));
        std::size_t used = 0;
        while (used < bytes.size() && count < out.size()) {
            const std::uint64_t column = (read_ + count) % width;
            const std::uint64_t left_in_row = width - column;
            // Whole bytes of pixels at once where the row and `out` have room for
            // them; a row's last byte may hold padding, which is not a pixel.
            if (column % 8 == 0) {
                std::size_t whole = static_cast<std::size_t>(std::min<std::uint64_t>(
                    {left_in_row / 8, bytes.size() - used, (out.size() - count) / 8}));
                Sample* to = out.data() + count;
                for (std::size_t i = 0; i < whole; ++i)
                    put_eight(bytes[used + i], to + 8 * i);
                used += whole;
                count += 8 * whole;
                if (whole > 0) continue;
            }
            const unsigned bit = static_cast<unsigned>(column % 8);
            out[count++] = static_cast<Sample>((bytes[used] >> (7 - bit) & 1) ^ 1);
            if (bit == 7 || left_in_row == 1) ++used;
        }
        in_.skip(used);
        bitmap_bytes_ += used;
    }
    read_ += count;
    return count;
}

template <typename Sample>
std::size_t NetpbmReader::read_digits(std::span<Sample> out) {
    std::size_t count = 0;
    while (count < out.size()) {
        std::span<const std::uint8_t> text = in_.look_ahead(1);
        if (text.empty())
            throw Error(in_.name(), truncated_raster(read_ + count, info_.samples(), "samples"));
        std::size_t used = 0;
        for (; used < text.size() && count < out.size(); ++used) {
            const std::uint8_t c = text[used];
            if (c == '0' || c == '1') {
                out[count++] = static_cast<Sample>(c == '0');
            } else if (!numbers::is_space(c)) {
                in_.skip(used);
                throw sample_fault(in_.name(), info_, read_ + count, "sample", "is not 0 or 1");
            }
        }
        in_.skip(used);
    }
    read_ += count;
    return count;
}

template std::size_t NetpbmReader::read_bits(std::span<std::uint8_t> out);
template std::size_t NetpbmReader::read_bits(std::span<std::uint16_t> out);
template std::size_t NetpbmReader::read_digits(std::span<std::uint8_t> out);
template std::size_t NetpbmReader::read_digits(std::span<std::uint16_t> out);

}  // namespace lumtab
