#include "table/growing_image.h"

#include <algorithm>
#include <vector>

#include "formats/netpbm_writer.h"
#include "io/output_file.h"

namespace lumtab {

namespace {

// What a raster may hold in memory before, where it can, it is written as it comes.
constexpr std::size_t kHeldMost = 4 << 20;

bool any_above_255(std::span<const std::uint16_t> samples) {
    // All of them or'd together, which the compiler does a vector at a time.
    std::uint16_t any = 0;
    for (std::uint16_t sample : samples)
        any |= sample;
    return any > 255;
}

// Stores `samples` at `out` as the raster holds them, one byte each or two.
void pack(std::span<const std::uint16_t> samples, bool wide, std::uint8_t* out) {
    if (wide) return pack_big_endian(samples, out);
    std::copy(samples.begin(), samples.end(), out);
}

}  // namespace

// Samples held in blocks of 1 MiB, one byte a sample or two, as the raster holds them.
class GrowingImage::HeldRaster {
  public:
    explicit HeldRaster(bool wide) : wide_(wide) {}

    std::uint64_t size() const { return size_; }

    void append(std::span<const std::uint16_t> samples) {
        const std::size_t sample_size = wide_ ? 2 : 1;
        while (!samples.empty()) {
            if (blocks_.empty() || blocks_.back().used == kBlockBytes)
                blocks_.push_back({std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes), 0});
            Block& block = blocks_.back();
            std::size_t n = std::min(samples.size(), (kBlockBytes - block.used) / sample_size);
            pack(samples.first(n), wide_, block.bytes.get() + block.used);
            block.used += n * sample_size;
            size_ += n * sample_size;
            samples = samples.subspan(n);
        }
    }

    // From one byte a sample to two, a block at a time, so that the narrow and the
    // wide copies are never held whole at once.
    void widen() {
        std::vector<Block> narrow;
        narrow.swap(blocks_);
        wide_ = true;
        size_ = 0;
        std::vector<std::uint16_t> samples;
        for (Block& block : narrow) {
            samples.assign(block.bytes.get(), block.bytes.get() + block.used);
            block.bytes.reset();
            append(samples);
        }
    }

    void write_to(OutputFile& out, std::uint64_t offset) const {
        for (const Block& block : blocks_) {
            out.write_at(offset, {reinterpret_cast<const char*>(block.bytes.get()), block.used});
            offset += block.used;
        }
    }

    void write_to(OutputFile& out) const {
        for (const Block& block : blocks_)
            out.write({reinterpret_cast<const char*>(block.bytes.get()), block.used});
    }

  private:
    static constexpr std::size_t kBlockBytes = 1 << 20;

    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t used;
    };

    bool wide_;
    std::vector<Block> blocks_;
    std::uint64_t size_ = 0;
};

GrowingImage::GrowingImage(OutputFile& out, std::string comment, std::int32_t max_value,
                           const ImageInfo& kind)
    : out_(out),
      comment_(std::move(comment)),
      kind_(kind),
      given_max_value_(max_value),
      wide_(max_value > 255),
      held_(std::make_unique<HeldRaster>(wide_)) {}

GrowingImage::~GrowingImage() = default;

std::int32_t GrowingImage::max_value() const {
    return given_max_value_ != 0 ? given_max_value_ : wide_ ? 65535 : 255;
}

void GrowingImage::append(std::span<const std::uint16_t> samples) {
    if (!wide_ && given_max_value_ == 0 && any_above_255(samples)) widen();
    if (!held_) return write_raster(samples);
    held_->append(samples);
    if (held_->size() > kHeldMost && out_.can_rewind()) start_writing();
}

void GrowingImage::start_writing() {
    header_size_ = netpbm_header(out_.name(), kind_, comment_, true).size();
    held_->write_to(out_, header_size_);
    written_ = held_->size();
    held_.reset();
}

void GrowingImage::write_raster(std::span<const std::uint16_t> samples) {
    std::uint8_t bytes[64 * 1024];
    const std::size_t sample_size = wide_ ? 2 : 1;
    while (!samples.empty()) {
        std::size_t n = std::min(samples.size(), sizeof bytes / sample_size);
        pack(samples.first(n), wide_, bytes);
        out_.write_at(header_size_ + written_,
                      {reinterpret_cast<const char*>(bytes), n * sample_size});
        written_ += n * sample_size;
        samples = samples.subspan(n);
    }
}

void GrowingImage::widen() {
    wide_ = true;
    if (held_) return held_->widen();
    // In the file, from its end back, so that no sample is written over before it
    // is read: sample i moves from byte i to bytes 2i and 2i + 1.
    constexpr std::uint64_t kStep = 32 * 1024;
    std::vector<char> narrow(kStep);
    std::vector<std::uint16_t> samples(kStep);
    std::vector<std::uint8_t> wide(2 * kStep);
    for (std::uint64_t end = written_; end > 0;) {
        std::uint64_t start = end > kStep ? end - kStep : 0;
        std::size_t n = static_cast<std::size_t>(end - start);
        out_.read_at(header_size_ + start, {narrow.data(), n});
        std::copy_n(reinterpret_cast<const std::uint8_t*>(narrow.data()), n, samples.begin());
        pack_big_endian(std::span(samples).first(n), wide.data());
        out_.write_at(header_size_ + 2 * start,
                      {reinterpret_cast<const char*>(wide.data()), 2 * n});
        end = start;
    }
    written_ *= 2;
}

void GrowingImage::finish(std::int32_t width, std::int32_t height) {
    ImageInfo header = kind_;
    header.width = width;
    header.height = height;
    header.max_value = max_value();
    if (held_) {
        out_.write(netpbm_header(out_.name(), header, comment_));
        held_->write_to(out_);
        return;
    }
    std::string text = netpbm_header(out_.name(), header, comment_, true);
    out_.write_at(0, text);
}

}  // namespace lumtab
