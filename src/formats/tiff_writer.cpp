// TIFF images through libtiff: one image in strips, deflate (Adobe), grey or RGB,
// each perhaps with alpha (unassociated), 8 bits a sample up to a maximum value of
// 255, else 16, the values as they are; or samples of any other type, of the bits
// and format it says. The predictor (horizontal, or floating point for floats) is
// used where it makes rows from all over the image (or its first rows) smaller. Strips are
// compressed on every core, each by libtiff on its own, and written in turn. libtiff writes its
// directory last and goes back for it: a destination that cannot be written over (a pipe) gets the
// file from a scratch copy at the end.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "formats/encoder.h"
#include "formats/tiff_library.h"
#include "image/sample_type.h"
#include "io/temporary_file.h"
#include "threads/ordered_pool.h"
#include "threads/start.h"

namespace lumtab {

namespace {

// The raw bytes a strip holds at most, and those of the first rows the predictor
// is tried on.
constexpr std::size_t kStripBytes = 256 * 1024;
constexpr std::size_t kTrialBytes = 1 << 20;
// The most raw bytes of strips in hand at once, waiting for or in compression.
constexpr std::size_t kInFlightBytes = 4 << 20;
// libdeflate's level 1: a TIFF a few per cent larger than at its default, 6, in
// four fifths of the time.
constexpr int kDeflateLevel = 1;

const TiffLibrary& library() {
    return tiff_library();
}

// Where libtiff writes, and what went wrong there or in libtiff.
struct Sink {
    std::function<void(std::uint64_t, std::span<const char>)> write_at;
    std::uint64_t position = 0;
    std::uint64_t size = 0;
    std::exception_ptr failure;  // what write_at threw
    std::string error;           // libtiff's first error
};

tmsize_t on_read(thandle_t, void*, tmsize_t) {
    return -1;  // never read back
}

tmsize_t on_write(thandle_t handle, void* data, tmsize_t size) {
    auto* sink = static_cast<Sink*>(handle);
    if (sink->failure) return -1;
    try {
        sink->write_at(sink->position, {static_cast<const char*>(data), std::size_t(size)});
    } catch (...) {
        sink->failure = std::current_exception();
        return -1;
    }
    sink->position += static_cast<std::uint64_t>(size);
    sink->size = std::max(sink->size, sink->position);
    return size;
}

toff_t on_seek(thandle_t handle, toff_t offset, int whence) {
    auto* sink = static_cast<Sink*>(handle);
    const std::uint64_t base = whence == SEEK_CUR   ? sink->position
                               : whence == SEEK_END ? sink->size
                                                    : 0;
    sink->position = base + offset;
    return sink->position;
}

int on_close(thandle_t) {
    return 0;
}

toff_t on_size(thandle_t handle) {
    return static_cast<Sink*>(handle)->size;
}

int on_map(thandle_t, void**, toff_t*) {
    return 0;
}

void on_unmap(thandle_t, void*, toff_t) {}

int on_error(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    auto* sink = static_cast<Sink*>(user);
    if (!sink->error.empty()) return 1;
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    try {
        sink->error = message;
    } catch (const std::bad_alloc&) {
        sink->error.clear();  // nothing may leave libtiff
    }
    return 1;  // not to be printed
}

int on_warning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;  // not to be printed
}

// How a TIFF states a sample's type.
std::uint16_t sample_format(SampleType type) {
    if (is_floating(type)) return SAMPLEFORMAT_IEEEFP;
    const bool is_signed =
        type == SampleType::int8 || type == SampleType::int16 || type == SampleType::int32;
    return is_signed ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT;
}

// The predictor for samples of `type`, where one is used.
std::uint16_t predictor_for(SampleType type) {
    return is_floating(type) ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL;
}

// What every strip of an image shares.
struct Layout {
    ImageInfo info;
    std::size_t row_bytes;
    std::uint32_t rows_per_strip;
    bool predictor;
};

// A TIFF being written: libtiff's handle, closed also where writing fails.
class Stream {
  public:
    Stream(const std::string& name, const Layout& layout, std::uint32_t height,
           const std::string& comment, Sink& sink)
        : name_(name), sink_(sink) {
        const TiffLibrary& tiff = library();
        TIFFOpenOptions* options = tiff.options_alloc();
        if (options == nullptr) throw std::bad_alloc();
        tiff.set_error_handler(options, on_error, &sink_);
        tiff.set_warning_handler(options, on_warning, &sink_);
        tiff_ = tiff.client_open(name.c_str(), "w", &sink_, on_read, on_write, on_seek, on_close,
                                 on_size, on_map, on_unmap, options);
        tiff.options_free(options);
        if (tiff_ == nullptr) fail("cannot start the file");
        set_fields(layout, height, comment);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Compresses and writes strip `index`; libtiff's predictor works in `raw`.
    void write_strip(std::uint32_t index, std::span<std::uint8_t> raw) {
        const auto bytes = static_cast<tmsize_t>(raw.size());
        if (library().write_encoded_strip(tiff_, index, raw.data(), bytes) != bytes)
            fail_strip(index);
    }
    // Writes strip `index` compressed already.
    void write_raw_strip(std::uint32_t index, std::span<const char> compressed) {
        const auto bytes = static_cast<tmsize_t>(compressed.size());
        if (library().write_raw_strip(tiff_, index, const_cast<char*>(compressed.data()), bytes) !=
            bytes)
            fail_strip(index);
    }
    // The compressed bytes of the first strip, written into `file`.
    std::vector<char> first_strip(const std::vector<char>& file) {
        std::uint64_t* offsets = nullptr;
        std::uint64_t* counts = nullptr;
        if (library().get_field(tiff_, TIFFTAG_STRIPOFFSETS, &offsets) != 1 ||
            library().get_field(tiff_, TIFFTAG_STRIPBYTECOUNTS, &counts) != 1 ||
            offsets[0] + counts[0] > file.size())
            fail("cannot find a strip it wrote");
        return {file.begin() + std::ptrdiff_t(offsets[0]),
                file.begin() + std::ptrdiff_t(offsets[0] + counts[0])};
    }

    void finish() {
        if (library().flush(tiff_) != 1 || !sink_.error.empty() || sink_.failure)
            fail("cannot write the directory");
    }

  private:
    void set_fields(const Layout& layout, std::uint32_t height, const std::string& comment) {
        const TiffLibrary& tiff = library();
        const ImageInfo& info = layout.info;
        bool set =
            tiff.set_field(tiff_, TIFFTAG_IMAGEWIDTH, std::uint32_t(info.width)) &&
            tiff.set_field(tiff_, TIFFTAG_IMAGELENGTH, height) &&
            tiff.set_field(tiff_, TIFFTAG_BITSPERSAMPLE,
                           sample_bits(info.sample_type, info.max_value)) &&
            tiff.set_field(tiff_, TIFFTAG_SAMPLESPERPIXEL, info.channels) &&
            tiff.set_field(tiff_, TIFFTAG_SAMPLEFORMAT, sample_format(info.sample_type)) &&
            tiff.set_field(tiff_, TIFFTAG_PHOTOMETRIC,
                           info.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) &&
            tiff.set_field(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            tiff.set_field(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
            tiff.set_field(tiff_, TIFFTAG_ZIPQUALITY, kDeflateLevel) &&
            tiff.set_field(tiff_, TIFFTAG_PREDICTOR,
                           layout.predictor ? predictor_for(info.sample_type) : PREDICTOR_NONE) &&
            tiff.set_field(tiff_, TIFFTAG_ROWSPERSTRIP, layout.rows_per_strip);
        if (set && (info.channels == 2 || info.channels == 4)) {
            const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
            set = tiff.set_field(tiff_, TIFFTAG_EXTRASAMPLES, 1, &alpha);
        }
        if (set && !comment.empty())
            set = tiff.set_field(tiff_, TIFFTAG_IMAGEDESCRIPTION, comment.c_str());
        if (!set) fail("cannot describe the image");
    }

    [[noreturn]] void fail_strip(std::uint32_t index) {
        fail("cannot write strip " + std::to_string(index + 1));
    }

    [[noreturn]] void fail(const std::string& otherwise) {
        if (sink_.failure) std::rethrow_exception(sink_.failure);
        throw Error(name_, "TIFF: " + (sink_.error.empty() ? otherwise : sink_.error));
    }

    // Closes libtiff's handle, also where the constructor fails.
    struct Closing {
        TIFF*& tiff;
        ~Closing() {
            if (tiff != nullptr) library().close(tiff);
        }
    };

    const std::string& name_;
    Sink& sink_;
    TIFF* tiff_ = nullptr;
    Closing closing_{tiff_};
};

// Strip `index` of rows `raw`, compressed as the layout says, by a TIFF of its own
// in memory. `raw` is worked in.
std::vector<char> compressed_strip(const std::string& name, const Layout& layout,
                                   std::span<std::uint8_t> raw) {
    std::vector<char> file;
    Sink memory;
    memory.write_at = [&file](std::uint64_t offset, std::span<const char> bytes) {
        if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size());
        std::copy(bytes.begin(), bytes.end(), file.begin() + std::ptrdiff_t(offset));
    };
    const auto rows = static_cast<std::uint32_t>(raw.size() / layout.row_bytes);
    Layout one = layout;
    one.rows_per_strip = rows;
    Stream stream(name, one, rows, "", memory);
    stream.write_strip(0, raw);
    return stream.first_strip(file);
}

// A strip on its way: its raw rows, then their compressed bytes.
struct Strip {
    std::uint32_t index = 0;
    std::vector<std::uint8_t> raw;
    std::vector<char> compressed;
};

class TiffEncoder : public Encoder {
  public:
    TiffEncoder(const ImageInfo& info, const std::string& comment, Destination to)
        : Encoder(to.name, info), to_(std::move(to)), comment_(comment) {
        if (info.channels < 1 || info.channels > 4)
            throw Error(name_, std::to_string(info.channels) +
                                   " channels: lumtab writes TIFF images of 1 to 4");
        if (comment_.find('\0') != std::string::npos) throw Error(name_, "NUL byte in the comment");
        if (info.width == 0 || info.height == 0)
            throw Error(name_, "a TIFF image is at least 1 pixel wide and high, not " +
                                   std::to_string(info.width) + " x " +
                                   std::to_string(info.height));
        sample_bytes_ = static_cast<std::size_t>(sample_bits(info.sample_type, info.max_value) / 8);
        layout_.info = info;
        layout_.row_bytes = std::size_t(info.width) * std::size_t(info.channels) * sample_bytes_;
        layout_.rows_per_strip = static_cast<std::uint32_t>(
            std::clamp<std::size_t>(kStripBytes / layout_.row_bytes, 1, std::size_t(info.height)));
        row_.resize(layout_.row_bytes);
        trial_rows_ =
            std::clamp<std::size_t>(kTrialBytes / layout_.row_bytes, 1, std::size_t(info.height));
        if (to_.write_at) {
            sink_.write_at = to_.write_at;
        } else {
            scratch_.emplace(name_);
            sink_.write_at = [this](std::uint64_t offset, std::span<const char> bytes) {
                scratch_->write_at(offset, bytes);
            };
        }
    }

  private:
    void put(std::span<const std::uint8_t> samples) override { put_samples(samples); }
    void put(std::span<const std::uint16_t> samples) override { put_samples(samples); }
    void put(std::span<const double> samples) override {
        switch (info_.sample_type) {
            case SampleType::uint32:
                return store<std::uint32_t>(samples);
            case SampleType::int8:
                return store<std::int8_t>(samples);
            case SampleType::int16:
                return store<std::int16_t>(samples);
            case SampleType::int32:
                return store<std::int32_t>(samples);
            case SampleType::float32:
                return store<float>(samples);
            case SampleType::float64:
                return store<double>(samples);
            case SampleType::uint:
                break;
        }
    }

    // Each sample as a `Stored` (what the image's samples take: 8 or 16 bits for
    // unsigned ones) into the rows. libtiff takes samples in this machine's order.
    template <typename Sample>
    void put_samples(std::span<const Sample> samples) {
        if (sample_bytes_ == 2) return store<std::uint16_t>(samples);
        store<std::uint8_t>(samples);
    }
    template <typename Stored, typename Sample>
    void store(std::span<const Sample> samples) {
        while (!samples.empty()) {
            const std::size_t n =
                std::min(samples.size(), (row_.size() - filled_) / sizeof(Stored));
            std::uint8_t* at = row_.data() + filled_;
            for (Sample sample : samples.first(n)) {
                const auto stored = static_cast<Stored>(sample);
                std::memcpy(at, &stored, sizeof stored);
                at += sizeof stored;
            }
            filled_ += n * sizeof(Stored);
            samples = samples.subspan(n);
            if (filled_ == row_.size()) take_row();
        }
    }

    void take_row() {
        filled_ = 0;
        if (!stream_) {
            held_.insert(held_.end(), row_.begin(), row_.end());
            if (held_.size() == trial_rows_ * row_.size()) start_stream();
            return;
        }
        strip_.raw.insert(strip_.raw.end(), row_.begin(), row_.end());
        if (strip_.raw.size() == layout_.rows_per_strip * layout_.row_bytes) hand_over();
    }

    // The size of the rows held, compressed with the predictor or without.
  public:
    void sample(const std::vector<std::vector<std::uint16_t>>& bands) override {
        bands_.clear();
        for (const std::vector<std::uint16_t>& band : bands) {
            std::vector<std::uint8_t>& bytes = bands_.emplace_back(band.size() * sample_bytes_);
            for (std::size_t i = 0; i < band.size(); ++i) {
                if (sample_bytes_ == 2) {
                    std::memcpy(bytes.data() + 2 * i, &band[i], 2);  // this machine's order
                } else {
                    bytes[i] = static_cast<std::uint8_t>(band[i]);
                }
            }
        }
    }

  private:
    // The size of the rows the choice is made on, compressed with the predictor or
    // without: the bands given, or the rows held.
    std::uint64_t held_size(bool predictor) const {
        Layout trial = layout_;
        trial.predictor = predictor;
        std::uint64_t size = 0;
        for (const std::vector<std::uint8_t>& band : bands_) {
            std::vector<std::uint8_t> rows = band;
            size += compressed_strip(name_, trial, rows).size();
        }
        if (!bands_.empty()) return size;
        std::vector<std::uint8_t> rows = held_;
        return compressed_strip(name_, trial, rows).size();
    }

    void start_stream() {
        layout_.predictor = held_size(true) <= held_size(false);
        stream_.emplace(name_, layout_, static_cast<std::uint32_t>(info_.height), comment_, sink_);
        // Two strips a processor in hand, but not more bytes than a few MiB
        // where rows are long.
        const unsigned threads = processors();
        const std::size_t strip_bytes = std::size_t(layout_.rows_per_strip) * layout_.row_bytes;
        const std::size_t in_flight =
            std::clamp<std::size_t>(kInFlightBytes / strip_bytes, 1, 2 * std::size_t(threads));
        pool_.emplace(
            threads,
            [this](Strip& strip) {
                strip.compressed = compressed_strip(name_, layout_, strip.raw);
                strip.raw = {};
            },
            [this](Strip& strip) { stream_->write_raw_strip(strip.index, strip.compressed); },
            in_flight);
        std::vector<std::uint8_t> held = std::move(held_);
        for (std::size_t at = 0; at < held.size(); at += row_.size()) {
            std::copy_n(held.begin() + std::ptrdiff_t(at), row_.size(), row_.begin());
            take_row();
        }
    }

    void hand_over() {
        Strip next{strip_.index + 1, {}, {}};
        next.raw.reserve(layout_.rows_per_strip * layout_.row_bytes);
        pool_->submit(std::exchange(strip_, std::move(next)));
    }

    void end() override {
        if (!strip_.raw.empty()) hand_over();
        pool_->finish();
        stream_->finish();
        stream_.reset();
        if (!scratch_) return;
        std::vector<char> block(1 << 20);
        for (std::uint64_t at = 0; at < sink_.size; at += block.size()) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), sink_.size - at));
            scratch_->read_at(at, {block.data(), n});
            to_.write({block.data(), n});
        }
    }

    Destination to_;
    std::string comment_;
    std::optional<ScratchFile> scratch_;  // where the destination cannot be written over
    Sink sink_;
    Layout layout_{};
    std::size_t sample_bytes_ = 1;
    std::vector<std::uint8_t> row_;
    std::size_t filled_ = 0;
    std::size_t trial_rows_ = 0;
    std::vector<std::uint8_t> held_;                // the first rows, until the predictor is chosen
    std::vector<std::vector<std::uint8_t>> bands_;  // rows from all over, as given
    std::optional<Stream> stream_;
    Strip strip_;                             // the rows of the next strip
    std::optional<OrderedPool<Strip>> pool_;  // last: its threads end first
};

}  // namespace

std::unique_ptr<Encoder> open_tiff_encoder(const ImageInfo& info, const std::string& comment,
                                           Destination to) {
    if (const std::string& error = library().library.error(); !error.empty())
        throw Error(to.name, "TIFF: " + error);
    return std::make_unique<TiffEncoder>(info, comment, std::move(to));
}

}  // namespace lumtab
