// PNG images through libpng: grey, grey and alpha, RGB and RGBA, 8 bits a sample
// up to a maximum value of 255, else 16, the values as they are. The compression
// is chosen on the image's first rows. As other writers have it: every filter
// tried on each row, and zlib's default strategy. Where it does about as well on
// them, as on photographs, whose noise leaves little for longer matches to find:
// zlib's run-length strategy, and the sub, up and average filters only (libpng
// weighs Paeth's slowly); in a third of the time.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "formats/encoder.h"
#include "formats/png_library.h"
#include "image/sample_type.h"

namespace lumtab {

namespace {

// zlib's strategies and level, as png_set_compression_strategy and
// png_set_compression_level take them (zlib.h).
constexpr int kZlibFiltered = 1;
constexpr int kZlibRle = 3;
constexpr int kZlibDefaultLevel = 6;
// The first rows the compression is chosen on, and how much larger the faster one
// may make them and still be chosen.
constexpr std::size_t kSampleBytes = 1 << 20;
constexpr double kRleAllowance = 1.02;
// The filters tried on each row for it.
constexpr int kRleFilters = PNG_FILTER_SUB | PNG_FILTER_UP | PNG_FILTER_AVG;
// The most compressed bytes an IDAT chunk holds: few large writes.
constexpr std::size_t kChunkBytes = 256 * 1024;

const PngLibrary& library() {
    return png_library();
}

// What libpng calls back into, and where it jumps when it fails. Plain data, and
// the functions that set the jump hold no C++ object: a jump skips no destructor.
struct Session {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const Destination* to = nullptr;  // null: bytes are only counted
    std::uint64_t bytes = 0;
    std::exception_ptr failure;  // what the destination threw
    std::jmp_buf jump;
    char message[256] = "";
};

[[noreturn]] void fail(Session* session, const char* message) {
    std::snprintf(session->message, sizeof session->message, "%s", message);
    std::longjmp(session->jump, 1);
}

void on_error(png_structp png, png_const_charp message) {
    fail(static_cast<Session*>(library().get_error_ptr(png)), message);
}

// A warning while writing means libpng changed what it was asked to write.
void on_warning(png_structp png, png_const_charp message) {
    on_error(png, message);
}

void on_write(png_structp png, png_bytep data, size_t length) {
    auto* session = static_cast<Session*>(library().get_io_ptr(png));
    session->bytes += length;
    if (session->to == nullptr) return;
    bool thrown = false;
    try {
        session->to->write({reinterpret_cast<const char*>(data), length});
    } catch (...) {
        session->failure = std::current_exception();
        thrown = true;
    }
    if (thrown) fail(session, "");
}

void on_flush(png_structp) {}

struct Header {
    png_uint_32 width, height;
    int bit_depth, color_type;
    int level, strategy;
    const char* comment;  // or null
};

bool start(Session* session, const Header* header) {
    if (setjmp(session->jump) != 0) return false;
    const PngLibrary& png = library();
    session->png = png.create_write_struct(PNG_LIBPNG_VER_STRING, session, on_error, on_warning);
    if (session->png == nullptr) fail(session, "out of memory");
    session->info = png.create_info_struct(session->png);
    if (session->info == nullptr) fail(session, "out of memory");
    png.set_write_fn(session->png, session, on_write, on_flush);
    // As wide and high as the format allows; libpng's own limit is a million.
    png.set_user_limits(session->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png.set_IHDR(session->png, session->info, header->width, header->height, header->bit_depth,
                 header->color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png.set_compression_level(session->png, header->level);
    png.set_compression_strategy(session->png, header->strategy);
    png.set_compression_buffer_size(session->png, kChunkBytes);
    if (header->strategy == kZlibRle) png.set_filter(session->png, 0, kRleFilters);
    png_text text{};
    if (header->comment != nullptr) {
        text.compression = PNG_TEXT_COMPRESSION_NONE;
        text.key = const_cast<char*>("Comment");
        text.text = const_cast<char*>(header->comment);
        png.set_text(session->png, session->info, &text, 1);
    }
    png.write_info(session->png, session->info);
    return true;
}

bool write_row(Session* session, const std::uint8_t* row) {
    if (setjmp(session->jump) != 0) return false;
    library().write_row(session->png, row);
    return true;
}

bool finish(Session* session) {
    if (setjmp(session->jump) != 0) return false;
    library().write_end(session->png, session->info);
    return true;
}

// A PNG stream: libpng's work, ended also where it fails.
class Stream {
  public:
    Stream(const std::string& name, const Header& header, const Destination* to) : name_(name) {
        session_.to = to;
        if (!start(&session_, &header)) fail();
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void write_row(const std::uint8_t* row) {
        if (!lumtab::write_row(&session_, row)) fail();
    }
    void finish() {
        if (!lumtab::finish(&session_)) fail();
    }
    // The bytes written so far.
    std::uint64_t bytes() const { return session_.bytes; }

  private:
    [[noreturn]] void fail() {
        if (session_.failure) std::rethrow_exception(session_.failure);
        throw Error(name_, std::string("PNG: ") + session_.message);
    }

    // Ends libpng's work, also where the constructor fails.
    struct Ending {
        Session& session;
        ~Ending() { library().destroy_write_struct(&session.png, &session.info); }
    };

    const std::string& name_;
    Session session_;
    Ending ending_{session_};
};

class PngEncoder : public Encoder {
  public:
    PngEncoder(const ImageInfo& info, const std::string& comment, Destination to)
        : Encoder(to.name, info), to_(std::move(to)), comment_(comment) {
        if (info.channels < 1 || info.channels > 4)
            throw Error(name_, std::to_string(info.channels) + " channels: a PNG image has 1 to 4");
        if (info.real())
            throw Error(name_, "a PNG image holds unsigned samples of 8 or 16 bits, not " +
                                   sample_type_name(info.sample_type) + " ones");
        if (comment_.find('\0') != std::string::npos) throw Error(name_, "NUL byte in the comment");
        if (info.width == 0 || info.height == 0)
            throw Error(name_, "a PNG image is at least 1 pixel wide and high, not " +
                                   std::to_string(info.width) + " x " +
                                   std::to_string(info.height));
        sample_bytes_ = info.wide() ? 2 : 1;
        row_.resize(std::size_t(info.width) * std::size_t(info.channels) * sample_bytes_);
        // The rows the compression is chosen on are held until it is.
        sample_rows_ = std::max<std::size_t>(1, kSampleBytes / row_.size());
        sample_rows_ = std::min<std::size_t>(sample_rows_, std::size_t(info.height));
    }

  private:
    void put(std::span<const std::uint8_t> samples) override { put_samples(samples); }
    void put(std::span<const std::uint16_t> samples) override { put_samples(samples); }

    template <typename Sample>
    void put_samples(std::span<const Sample> samples) {
        while (!samples.empty()) {
            const std::size_t n = std::min(samples.size(), (row_.size() - filled_) / sample_bytes_);
            std::uint8_t* at = row_.data() + filled_;
            if (sample_bytes_ == 2) {
                // Most significant byte first.
                for (std::size_t i = 0; i < n; ++i) {
                    at[2 * i] = static_cast<std::uint8_t>(samples[i] >> 8);
                    at[2 * i + 1] = static_cast<std::uint8_t>(samples[i]);
                }
            } else {
                std::copy_n(samples.begin(), n, at);
            }
            filled_ += n * sample_bytes_;
            samples = samples.subspan(n);
            if (filled_ == row_.size()) take_row();
        }
    }

    void take_row() {
        filled_ = 0;
        if (stream_) return stream_->write_row(row_.data());
        held_.insert(held_.end(), row_.begin(), row_.end());
        if (held_.size() == sample_rows_ * row_.size()) start_stream();
    }

    void end() override { stream_->finish(); }

    Header header(int strategy, std::uint32_t height) const {
        const bool alpha = info_.channels == 2 || info_.channels == 4;
        const int colour = info_.channels >= 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
        return {static_cast<png_uint_32>(info_.width),
                height,
                info_.wide() ? 16 : 8,
                colour | (alpha ? PNG_COLOR_MASK_ALPHA : 0),
                strategy == kZlibRle ? 1 : kZlibDefaultLevel,
                strategy,
                comment_.empty() ? nullptr : comment_.c_str()};
    }

  public:
    void sample(const std::vector<std::vector<std::uint16_t>>& bands) override {
        bands_.clear();
        for (const std::vector<std::uint16_t>& band : bands) {
            std::vector<std::uint8_t>& bytes = bands_.emplace_back(band.size() * sample_bytes_);
            for (std::size_t i = 0; i < band.size(); ++i) {
                if (sample_bytes_ == 2) {
                    bytes[2 * i] = static_cast<std::uint8_t>(band[i] >> 8);
                    bytes[2 * i + 1] = static_cast<std::uint8_t>(band[i]);
                } else {
                    bytes[i] = static_cast<std::uint8_t>(band[i]);
                }
            }
        }
    }

  private:
    // The size of `rows`, compressed with `strategy` as an image of their own.
    std::uint64_t trial_size(const std::vector<std::uint8_t>& rows, int strategy) const {
        Stream trial(name_, header(strategy, static_cast<std::uint32_t>(rows.size() / row_.size())),
                     nullptr);
        for (std::size_t at = 0; at < rows.size(); at += row_.size())
            trial.write_row(rows.data() + at);
        trial.finish();
        return trial.bytes();
    }

    // The size of the rows the choice is made on: the bands given, or those held.
    std::uint64_t sample_size(int strategy) const {
        if (bands_.empty()) return trial_size(held_, strategy);
        std::uint64_t size = 0;
        for (const std::vector<std::uint8_t>& band : bands_)
            size += trial_size(band, strategy);
        return size;
    }

    void start_stream() {
        // A small image takes little time either way: zlib's default, as other
        // writers have it.
        int strategy = kZlibFiltered;
        std::size_t sampled = held_.size();
        if (!bands_.empty()) {
            sampled = 0;
            for (const std::vector<std::uint8_t>& band : bands_)
                sampled += band.size();
        }
        if (sampled >= kSampleBytes / 4) {
            const auto rle = static_cast<double>(sample_size(kZlibRle));
            if (rle <= kRleAllowance * static_cast<double>(sample_size(kZlibFiltered)))
                strategy = kZlibRle;
        }
        bands_ = {};
        stream_.emplace(name_, header(strategy, static_cast<std::uint32_t>(info_.height)), &to_);
        for (std::size_t at = 0; at < held_.size(); at += row_.size())
            stream_->write_row(held_.data() + at);
        held_ = {};
    }

    Destination to_;
    std::string comment_;
    std::size_t sample_bytes_ = 1;
    std::vector<std::uint8_t> row_;
    std::size_t filled_ = 0;  // bytes of the row so far
    std::size_t sample_rows_ = 0;
    std::vector<std::uint8_t> held_;                // the first rows, until the stream starts
    std::vector<std::vector<std::uint8_t>> bands_;  // rows from all over, as given
    std::optional<Stream> stream_;
};

}  // namespace

std::unique_ptr<Encoder> open_png_encoder(const ImageInfo& info, const std::string& comment,
                                          Destination to) {
    if (const std::string& error = library().library.error(); !error.empty())
        throw Error(to.name, "PNG: " + error);
    return std::make_unique<PngEncoder>(info, comment, std::move(to));
}

}  // namespace lumtab
