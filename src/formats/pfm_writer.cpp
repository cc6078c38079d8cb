// PFM images: "Pf" (grey) or "PF" (RGB), the width and height, the scale -1.0
// (little endian), then 32-bit floats, rows from the bottom. The rows come from
// the top, so each block of them is written at its place from the end; where the
// destination cannot be written over (a pipe), the raster is put together in
// memory or a scratch file and written out, after the header, at the end. A PFM
// image holds no comment.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

#include "formats/encoder.h"
#include "io/temporary_file.h"

namespace lumtab {

namespace {

constexpr std::uint64_t kSampleBytes = 4;
// The most samples written at a time: a block of rows, or a piece of one row.
// Fuzzing builds make it small, so that small inputs meet its edges.
#ifdef LUMTAB_SMALL_BUFFERS
constexpr std::size_t kBlockSamples = 64;
#else
constexpr std::size_t kBlockSamples = 16384;
#endif
// The most bytes of raster held in memory for a destination that cannot be
// written over; a larger one is put together in a scratch file.
constexpr std::uint64_t kMostHeld = 4 << 20;

class PfmEncoder : public Encoder {
  public:
    PfmEncoder(const ImageInfo& info, Destination to) : Encoder(to.name, info), to_(std::move(to)) {
        if (info.sample_type != SampleType::float32 || (info.channels != 1 && info.channels != 3))
            throw Error(name_, "a PFM image holds 32-bit floating-point samples, grey or RGB");
        if (info.width < 0 || info.height < 0) throw Error(name_, "negative width or height");
        row_samples_ = std::uint64_t(info.width) * std::uint64_t(info.channels);
        header_ = std::string(info.channels == 3 ? "PF\n" : "Pf\n") + std::to_string(info.width) +
                  " " + std::to_string(info.height) + "\n-1.0\n";
        if (to_.write_at) {
            to_.write(header_);
            place_ = [this, base = header_.size()](std::uint64_t offset,
                                                   std::span<const char> bytes) {
                to_.write_at(base + offset, bytes);
            };
        } else if (info.samples() <= kMostHeld / kSampleBytes) {
            held_.resize(static_cast<std::size_t>(info.samples() * kSampleBytes));
            place_ = [this](std::uint64_t offset, std::span<const char> bytes) {
                std::copy(bytes.begin(), bytes.end(), held_.begin() + std::ptrdiff_t(offset));
            };
        } else {
            scratch_.emplace(name_);
            place_ = [this](std::uint64_t offset, std::span<const char> bytes) {
                scratch_->write_at(offset, bytes);
            };
        }
        start_block();
    }

  private:
    // Never called: Encoder::write takes the samples of a floating-point image as
    // doubles alone.
    void put(std::span<const std::uint8_t>) override { std::abort(); }
    void put(std::span<const std::uint16_t>) override { std::abort(); }
    void put(std::span<const double> samples) override;
    void end() override;

    // Where row `y`, counted from the top, starts in the raster.
    std::uint64_t row_offset(std::int32_t y) const {
        return std::uint64_t(info_.height - 1 - y) * row_samples_ * kSampleBytes;
    }

    void start_block();
    void encode(std::span<const double> samples, char* out) const;

    Destination to_;
    std::string header_;
    std::function<void(std::uint64_t, std::span<const char>)> place_;  // in the raster
    // Where the destination cannot be written over, the raster until its end: in
    // memory if small, else in a scratch file.
    std::vector<char> held_;
    std::optional<ScratchFile> scratch_;
    std::uint64_t row_samples_ = 0;
    // The block being filled: rows_ whole rows from row_ on, or a piece of row_
    // from column_ on where rows_ is 0; kept as the raster holds it.
    std::vector<char> block_;
    std::int32_t rows_ = 0;
    std::size_t filled_ = 0;  // samples of the block
    std::int32_t row_ = 0;
    std::uint64_t column_ = 0;
};

void PfmEncoder::start_block() {
    filled_ = 0;
    if (row_ == info_.height || row_samples_ == 0) return;
    std::uint64_t samples;
    if (row_samples_ >= kBlockSamples) {
        rows_ = 0;
        samples = std::min<std::uint64_t>(kBlockSamples, row_samples_ - column_);
    } else {
        rows_ = static_cast<std::int32_t>(std::min<std::uint64_t>(
            kBlockSamples / row_samples_, std::uint64_t(info_.height - row_)));
        samples = std::uint64_t(rows_) * row_samples_;
    }
    block_.resize(static_cast<std::size_t>(samples * kSampleBytes));
}

// Each sample's float, little endian.
void PfmEncoder::encode(std::span<const double> samples, char* out) const {
    for (double sample : samples) {
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(sample));
        for (int i = 0; i < 4; ++i)
            *out++ = static_cast<char>(bits >> (8 * i) & 0xff);
    }
}

void PfmEncoder::put(std::span<const double> samples) {
    while (!samples.empty()) {
        const std::size_t block_samples = block_.size() / kSampleBytes;
        // Within a block of whole rows, each row goes to its place from the block's end.
        std::size_t n = std::min(samples.size(), block_samples - filled_);
        std::size_t at = filled_;
        if (rows_ > 0) {
            const std::size_t row = filled_ / row_samples_, column = filled_ % row_samples_;
            n = std::min<std::size_t>(n, row_samples_ - column);
            at = (std::size_t(rows_) - 1 - row) * row_samples_ + column;
        }
        encode(samples.first(n), block_.data() + at * kSampleBytes);
        samples = samples.subspan(n);
        filled_ += n;
        if (filled_ < block_samples) continue;
        if (rows_ > 0) {
            place_(row_offset(row_ + rows_ - 1), block_);
            row_ += rows_;
        } else {
            place_(row_offset(row_) + column_ * kSampleBytes, block_);
            column_ += block_samples;
            if (column_ == row_samples_) {
                column_ = 0;
                ++row_;
            }
        }
        start_block();
    }
}

void PfmEncoder::end() {
    if (to_.write_at) return;
    to_.write(header_);
    if (!scratch_) return to_.write(held_);
    const std::uint64_t size = info_.samples() * kSampleBytes;
    std::vector<char> chunk(std::min<std::uint64_t>(size, 1 << 20));
    for (std::uint64_t at = 0; at < size; at += chunk.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
        scratch_->read_at(at, {chunk.data(), n});
        to_.write({chunk.data(), n});
    }
}

}  // namespace

std::unique_ptr<Encoder> open_pfm_encoder(const ImageInfo& info, Destination to) {
    return std::make_unique<PfmEncoder>(info, std::move(to));
}

}  // namespace lumtab
