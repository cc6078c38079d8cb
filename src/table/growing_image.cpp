#include "table/growing_image.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/encoder.h"
#include "formats/netpbm_writer.h"
#include "io/output_file.h"

namespace lumtab {

namespace {

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
class GrowingRaster::Held {
  public:
    explicit Held(bool wide) : wide_(wide) {}

    std::uint64_t size() const { return size_; }

    // Raw bytes, as they are.
    void append_bytes(std::span<const char> bytes) {
        while (!bytes.empty()) {
            if (blocks_.empty() || blocks_.back().used == kBlockBytes)
                blocks_.push_back({std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes), 0});
            Block& block = blocks_.back();
            std::size_t n = std::min(bytes.size(), kBlockBytes - block.used);
            std::copy_n(bytes.begin(), n, block.bytes.get() + block.used);
            block.used += n;
            size_ += n;
            bytes = bytes.subspan(n);
        }
    }

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

    void read(const std::function<void(std::span<const char>)>& part) const {
        for (const Block& block : blocks_)
            part({reinterpret_cast<const char*>(block.bytes.get()), block.used});
    }

    void read_at(std::uint64_t offset, std::span<char> bytes) const {
        while (!bytes.empty()) {
            const Block& block = blocks_[static_cast<std::size_t>(offset / kBlockBytes)];
            const auto within = static_cast<std::size_t>(offset % kBlockBytes);
            const std::size_t n = std::min(bytes.size(), block.used - within);
            std::copy_n(block.bytes.get() + within, n, bytes.data());
            bytes = bytes.subspan(n);
            offset += n;
        }
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

GrowingRaster::GrowingRaster(std::int32_t max_value)
    : given_max_value_(max_value), wide_(max_value > 255), held_(std::make_unique<Held>(wide_)) {}

GrowingRaster::GrowingRaster(Floating)
    : given_max_value_(65535), wide_(false), held_(std::make_unique<Held>(false)) {}

void GrowingRaster::append(std::span<const float> samples) {
    const std::span<const char> bytes(reinterpret_cast<const char*>(samples.data()),
                                      samples.size() * sizeof(float));
    if (held_) {
        held_->append_bytes(bytes);
        size_ = held_->size();
    } else {
        write_bytes(bytes);
    }
}

void GrowingRaster::write_bytes(std::span<const char> bytes) {
    constexpr std::size_t kWaitingMost = 1 << 20;
    if (waiting_.size() + bytes.size() > kWaitingMost) flush();
    if (bytes.size() > kWaitingMost) {
        file_.write_at(file_.base + size_, bytes);
    } else {
        waiting_.insert(waiting_.end(), bytes.begin(), bytes.end());
    }
    size_ += bytes.size();
}

void GrowingRaster::flush() {
    if (waiting_.empty()) return;
    file_.write_at(file_.base + size_ - waiting_.size(), waiting_);
    waiting_.clear();
}

GrowingRaster::~GrowingRaster() = default;

std::int32_t GrowingRaster::max_value() const {
    return given_max_value_ != 0 ? given_max_value_ : wide_ ? 65535 : 255;
}

void GrowingRaster::append(std::span<const std::uint16_t> samples) {
    if (!wide_ && given_max_value_ == 0 && any_above_255(samples)) widen();
    if (held_) {
        held_->append(samples);
        size_ = held_->size();
    } else {
        write_to_file(samples);
    }
}

void GrowingRaster::move_to(File file) {
    file_ = std::move(file);
    std::uint64_t at = file_.base;
    held_->read([&](std::span<const char> part) {
        file_.write_at(at, part);
        at += part.size();
    });
    held_.reset();
}

void GrowingRaster::write_to_file(std::span<const std::uint16_t> samples) {
    std::uint8_t bytes[64 * 1024];
    const std::size_t sample_size = wide_ ? 2 : 1;
    while (!samples.empty()) {
        std::size_t n = std::min(samples.size(), sizeof bytes / sample_size);
        pack(samples.first(n), wide_, bytes);
        write_bytes({reinterpret_cast<const char*>(bytes), n * sample_size});
        samples = samples.subspan(n);
    }
}

void GrowingRaster::widen() {
    wide_ = true;
    if (held_) {
        held_->widen();
        size_ = held_->size();
        return;
    }
    flush();
    // In the file, from its end back, so that no sample is written over before it
    // is read: sample i moves from byte i to bytes 2i and 2i + 1.
    constexpr std::uint64_t kStep = 32 * 1024;
    std::vector<char> narrow(kStep);
    std::vector<std::uint16_t> samples(kStep);
    std::vector<std::uint8_t> wide(2 * kStep);
    for (std::uint64_t end = size_; end > 0;) {
        std::uint64_t start = end > kStep ? end - kStep : 0;
        std::size_t n = static_cast<std::size_t>(end - start);
        file_.read_at(file_.base + start, {narrow.data(), n});
        std::copy_n(reinterpret_cast<const std::uint8_t*>(narrow.data()), n, samples.begin());
        pack_big_endian(std::span(samples).first(n), wide.data());
        file_.write_at(file_.base + 2 * start, {reinterpret_cast<const char*>(wide.data()), 2 * n});
        end = start;
    }
    size_ *= 2;
}

void GrowingRaster::read(const std::function<void(std::span<const char>)>& part) {
    if (held_) return held_->read(part);
    flush();
    std::vector<char> block(1 << 20);
    for (std::uint64_t at = 0; at < size_; at += block.size()) {
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size_ - at));
        file_.read_at(file_.base + at, {block.data(), n});
        part({block.data(), n});
    }
}

void GrowingRaster::read_at(std::uint64_t offset, std::span<char> bytes) {
    if (held_) return held_->read_at(offset, bytes);
    flush();
    file_.read_at(file_.base + offset, bytes);
}

GrowingImage::GrowingImage(OutputFile& out, std::string comment, std::int32_t max_value,
                           const ImageInfo& kind)
    : out_(out), comment_(std::move(comment)), kind_(kind), raster_(max_value) {}

void GrowingImage::append(std::span<const std::uint16_t> samples) {
    raster_.append(samples);
    if (raster_.held() && raster_.size() > GrowingRaster::kHeldMost && out_.can_rewind()) {
        const std::uint64_t header = netpbm_header(out_.name(), kind_, comment_, true).size();
        raster_.move_to(
            {[this](std::uint64_t at, std::span<const char> bytes) { out_.write_at(at, bytes); },
             [this](std::uint64_t at, std::span<char> bytes) { out_.read_at(at, bytes); }, header});
    }
}

void GrowingImage::finish(std::int32_t width, std::int32_t height) {
    ImageInfo header = kind_;
    header.width = width;
    header.height = height;
    header.max_value = raster_.max_value();
    if (raster_.held()) {
        out_.write(netpbm_header(out_.name(), header, comment_));
        raster_.read([this](std::span<const char> part) { out_.write(part); });
        return;
    }
    raster_.flush();
    out_.write_at(0, netpbm_header(out_.name(), header, comment_, true));
}

SpooledImage::SpooledImage(OutputFile& out, std::string comment, std::int32_t max_value,
                           const ImageInfo& kind, std::string directory)
    : out_(out),
      comment_(std::move(comment)),
      kind_(kind),
      directory_(std::move(directory)),
      raster_(kind.sample_type == SampleType::float32 ? GrowingRaster(GrowingRaster::Floating{})
                                                      : GrowingRaster(max_value)) {
    check_encoder(kind, comment_, out.name());
}

void SpooledImage::append(std::span<const std::uint16_t> samples) {
    raster_.append(samples);
    spill_if_large();
}

void SpooledImage::append(std::span<const float> samples) {
    raster_.append(samples);
    spill_if_large();
}

void SpooledImage::spill_if_large() {
    if (raster_.held() && raster_.size() > GrowingRaster::kHeldMost) {
        ScratchFile& spool = spool_.emplace(out_.name(), directory_);
        raster_.move_to(
            {[&spool](std::uint64_t at, std::span<const char> bytes) { spool.write_at(at, bytes); },
             [&spool](std::uint64_t at, std::span<char> bytes) { spool.read_at(at, bytes); }, 0});
    }
}

// Bands of rows from all over a large image, for the encoder to choose its
// compression on: none for a small image, whose first rows are most of it.
std::vector<std::vector<std::uint16_t>> SpooledImage::sample_bands(const ImageInfo& info) {
    constexpr std::uint64_t kBands = 8;
    constexpr std::uint64_t kBandBytes = 128 * 1024;
    const std::uint64_t sample_size = raster_.wide() ? 2 : 1;
    const std::uint64_t row =
        std::uint64_t(info.width) * std::uint64_t(info.channels) * sample_size;
    std::vector<std::vector<std::uint16_t>> bands;
    if (row == 0 || raster_.size() <= 2 * kBands * kBandBytes) return bands;
    const std::uint64_t rows = std::max<std::uint64_t>(1, kBandBytes / row);
    std::vector<char> bytes;
    for (std::uint64_t band = 0; band < kBands; ++band) {
        const std::uint64_t first = (std::uint64_t(info.height) - rows) * band / (kBands - 1);
        bytes.resize(static_cast<std::size_t>(rows * row));
        raster_.read_at(first * row, bytes);
        std::vector<std::uint16_t>& samples = bands.emplace_back(bytes.size() / sample_size);
        const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data());
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::uint16_t>(
                sample_size == 2 ? at[2 * i] << 8 | at[2 * i + 1] : at[i]);
    }
    return bands;
}

void SpooledImage::finish(std::int32_t width, std::int32_t height,
                          const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    ImageInfo info = kind_;
    info.width = width;
    info.height = height;
    info.max_value = raster_.max_value();
    std::unique_ptr<Encoder> encoder = open_encoder(info, comment_, destination(out_));
    if (!info.real()) encoder->sample(sample_bands(info));
    std::vector<std::uint16_t> samples;
    std::vector<double> reals;
    std::uint64_t encoded = 0;
    raster_.read([&](std::span<const char> part) {
        encoded += part.size();
        if (progress) progress(encoded, raster_.size());
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(part.data());
        if (info.real()) {
            reals.resize(part.size() / sizeof(float));
            for (std::size_t i = 0; i < reals.size(); ++i) {
                float value;
                std::memcpy(&value, part.data() + i * sizeof(float), sizeof value);
                reals[i] = value;
            }
            encoder->write(std::span<const double>(reals));
        } else if (raster_.wide()) {
            samples.resize(part.size() / 2);
            for (std::size_t i = 0; i < samples.size(); ++i)
                samples[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
            encoder->write(std::span<const std::uint16_t>(samples));
        } else {
            encoder->write(std::span<const std::uint8_t>(bytes, part.size()));
        }
    });
    encoder->finish();
}

}  // namespace lumtab
