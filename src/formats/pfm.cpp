// PFM images, Netpbm's floating-point format: "PF" (RGB) or "Pf" (grey), the
// width, the height and a scale whose sign gives the byte order (negative little
// endian), then 32-bit IEEE floats, rows from the bottom. The rows are given from
// the top, so the raster is read by offset, a block of rows from the end back: in
// place from a regular file or memory, from a scratch copy of a pipe.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "formats/decoder.h"
#include "formats/netpbm_reader.h"
#include "image/sample_type.h"
#include "io/error_text.h"
#include "io/input.h"
#include "io/temporary_file.h"
#include "text/numbers.h"

namespace lumtab {

namespace {

using numbers::is_digit;
using numbers::is_space;

constexpr std::uint64_t kSampleBytes = 4;
// The most samples read at a time: a block of rows, or a piece of one row.
// Fuzzing builds make it small, so that small inputs meet its edges.
#ifdef LUMTAB_SMALL_BUFFERS
constexpr std::size_t kBlockSamples = 64;
#else
constexpr std::size_t kBlockSamples = 16384;
#endif

struct Header {
    ImageInfo info;
    bool little_endian = false;
};

// Reads the header token by token: whitespace of any length between them, and
// exactly one byte of it before the raster.
class HeaderParser {
  public:
    explicit HeaderParser(Input& in) : in_(in) {}

    Header parse() {
        in_.skip(1);
        Header header;
        ImageInfo& info = header.info;
        const bool rgb = in_.get() == 'F';
        info.format = Format::pfm;
        info.channels = rgb ? 3 : 1;
        info.tuple_type = rgb ? "RGB" : "GRAYSCALE";
        info.max_value = 65535;
        info.sample_type = SampleType::float32;
        skip_whitespace();
        info.width = read_dimension("width");
        skip_whitespace();
        info.height = read_dimension("height");
        skip_whitespace();
        header.little_endian = read_scale_sign() < 0;
        // The byte that ends the header; an image without samples may do without it.
        if (in_.get() < 0 && info.samples() != 0) refuse("file ends inside the header");
        return header;
    }

  private:
    [[noreturn]] void refuse(const std::string& problem) { throw Error(in_.name(), problem); }

    int peek() {
        int c = in_.peek();
        if (c < 0) refuse("file ends inside the header");
        return c;
    }

    void skip_whitespace() {
        while (is_space(peek()))
            in_.skip(1);
    }

    // Decimal digits alone, at most 2^31 - 1, which whitespace must follow.
    std::int32_t read_dimension(const std::string& what) {
        int c = peek();
        if (c == '-') refuse("negative " + what);
        if (!is_digit(c)) refuse(what + " is not a decimal number");
        std::int64_t value = 0;
        for (; is_digit(c); c = peek()) {
            in_.skip(1);
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<std::int32_t>::max()) refuse(what + " is too large");
        }
        if (!is_space(c)) refuse(what + " is not a decimal number");
        return static_cast<std::int32_t>(value);
    }

    // The scale, up to the whitespace or the end that follows it: -1 or 1 by its
    // sign. Its magnitude means nothing to the samples, and a magnitude beyond a
    // double's range still has a sign.
    int read_scale_sign() {
        std::string text;
        for (int c = peek(); c >= 0 && !is_space(c); c = in_.peek()) {
            if (text.size() == kLongestScale) refuse("PFM scale is not a decimal number");
            text += static_cast<char>(c);
            in_.skip(1);
        }
        const bool plus = text.size() > 1 && text[0] == '+' && text[1] != '-';
        const char* first = text.data() + (plus ? 1 : 0);
        const char* last = text.data() + text.size();
        double value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (end != last || (error != std::errc() && error != std::errc::result_out_of_range) ||
            (error == std::errc() && !std::isfinite(value)))
            refuse("PFM scale " + printable(text) + " is not a decimal number");
        if (error == std::errc() && value == 0)
            refuse("PFM scale " + printable(text) + ": its sign must give the byte order");
        return text[0] == '-' ? -1 : 1;
    }

    static constexpr std::size_t kLongestScale = 64;

    Input& in_;
};

// A pipe's raster, copied into a scratch file as far as it goes: what came of it.
ScratchFile spool_raster(Input& in, std::uint64_t bytes, std::uint64_t& found) {
    ScratchFile file(in.name());
    found = 0;
    while (found < bytes) {
        auto ahead = in.look_ahead(Input::kBufferSize);
        if (ahead.empty()) break;
        ahead = ahead.first(
            static_cast<std::size_t>(std::min<std::uint64_t>(ahead.size(), bytes - found)));
        file.write(ahead);
        in.skip(ahead.size());
        found += ahead.size();
    }
    return file;
}

class PfmDecoder : public Decoder {
  public:
    explicit PfmDecoder(Input& in) : in_(in) {
        Header header = HeaderParser(in).parse();
        info_ = header.info;
        little_endian_ = header.little_endian;
        row_samples_ = std::uint64_t(info_.width) * std::uint64_t(info_.channels);
        if (info_.samples() > std::numeric_limits<std::uint64_t>::max() / kSampleBytes)
            throw Error(in_.name(), std::to_string(info_.width) + " x " +
                                        std::to_string(info_.height) +
                                        " pixels: more than a file can hold");
        locate_raster(info_.samples() * kSampleBytes);
    }

    const ImageInfo& info() const override { return info_; }
    std::size_t read(std::span<std::uint8_t>) override { refuse_unsigned(); }
    std::size_t read(std::span<std::uint16_t>) override { refuse_unsigned(); }
    std::size_t read(std::span<double> out) override;

  private:
    [[noreturn]] void refuse_unsigned() const {
        throw Error(in_.name(),
                    sample_type_name(info_.sample_type) + " samples are read as doubles");
    }

    void locate_raster(std::uint64_t bytes);
    std::span<const std::uint8_t> raster(std::uint64_t offset, std::size_t count);
    bool next_block();
    void decode(std::span<const std::uint8_t> bytes, double* out) const;

    // Where row `y`, counted from the top, starts in the raster.
    std::uint64_t row_offset(std::int32_t y) const {
        return std::uint64_t(info_.height - 1 - y) * row_samples_ * kSampleBytes;
    }

    Input& in_;
    ImageInfo info_;
    bool little_endian_ = false;
    std::uint64_t row_samples_ = 0;
    // The raster: in memory, or at `start_` in the file `fd_`, perhaps a pipe's copy.
    std::span<const std::uint8_t> memory_;
    int fd_ = -1;
    std::int64_t start_ = 0;
    std::optional<ScratchFile> spooled_;
    std::vector<std::uint8_t> raw_;  // the bytes of a block read from a file
    std::vector<double> block_;      // its samples, rows from the top
    std::size_t given_ = 0;          // of block_
    std::int32_t row_ = 0;           // the next row to read, from the top
    std::uint64_t column_ = 0;       // and its next sample
};

// A claim beyond the bytes there are is refused before anything is read. The
// input is left past the raster.
void PfmDecoder::locate_raster(std::uint64_t bytes) {
    if (bytes == 0) return;
    std::uint64_t found = 0;
    if (in_.descriptor() < 0) {
        memory_ = in_.memory_left();
        found = memory_.size();
    } else if (std::int64_t left = in_.bytes_left(); left >= 0 && in_.file_offset() >= 0) {
        fd_ = in_.descriptor();
        start_ = in_.file_offset();
        found = std::uint64_t(left);
    } else {
        spooled_.emplace(spool_raster(in_, bytes, found));
        fd_ = spooled_->descriptor();
    }
    if (found < bytes) throw Error(in_.name(), truncated_raster(found, bytes, "bytes"));
    memory_ = memory_.first(std::min<std::uint64_t>(memory_.size(), bytes));
    if (!spooled_) in_.skip_over(bytes);
}

// `count` bytes of the raster from `offset`: in place in memory, else read.
std::span<const std::uint8_t> PfmDecoder::raster(std::uint64_t offset, std::size_t count) {
    if (fd_ < 0) return memory_.subspan(static_cast<std::size_t>(offset), count);
    raw_.resize(count);
    for (std::size_t done = 0; done < count;) {
        const ssize_t n = ::pread(fd_, raw_.data() + done, count - done,
                                  static_cast<off_t>(std::uint64_t(start_) + offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Error::from_errno(in_.name(), errno);
        // The file was cut short since its size was taken.
        if (n == 0)
            throw Error(in_.name(),
                        truncated_raster(offset + done, info_.samples() * kSampleBytes, "bytes"));
        done += static_cast<std::size_t>(n);
    }
    return raw_;
}

void PfmDecoder::decode(std::span<const std::uint8_t> bytes, double* out) const {
    for (std::size_t i = 0; i < bytes.size(); i += kSampleBytes) {
        const std::uint8_t* b = bytes.data() + i;
        const std::uint32_t bits = little_endian_
                                       ? std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                             std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24
                                       : std::uint32_t(b[3]) | std::uint32_t(b[2]) << 8 |
                                             std::uint32_t(b[1]) << 16 | std::uint32_t(b[0]) << 24;
        *out++ = static_cast<double>(std::bit_cast<float>(bits));
    }
}

// Reads the next block into block_: rows that fit in it together, each taken from
// its place in the raster, or the next piece of a row too long for it. Returns false
// at the end of the image.
bool PfmDecoder::next_block() {
    if (row_ == info_.height || row_samples_ == 0) return false;
    if (row_samples_ >= kBlockSamples) {
        const auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>(kBlockSamples, row_samples_ - column_));
        block_.resize(count);
        decode(raster(row_offset(row_) + column_ * kSampleBytes, count * kSampleBytes),
               block_.data());
        column_ += count;
        if (column_ == row_samples_) {
            column_ = 0;
            ++row_;
        }
    } else {
        // Rows row_ to row_ + rows - 1 lie together in the raster, the last of them first.
        const auto rows = static_cast<std::int32_t>(std::min<std::uint64_t>(
            kBlockSamples / row_samples_, std::uint64_t(info_.height - row_)));
        const auto row_bytes = static_cast<std::size_t>(row_samples_ * kSampleBytes);
        const std::span<const std::uint8_t> bytes =
            raster(row_offset(row_ + rows - 1), std::size_t(rows) * row_bytes);
        block_.resize(std::size_t(rows) * row_samples_);
        for (std::int32_t r = 0; r < rows; ++r)
            decode(bytes.subspan(std::size_t(rows - 1 - r) * row_bytes, row_bytes),
                   block_.data() + std::size_t(r) * row_samples_);
        row_ += rows;
    }
    given_ = 0;
    return true;
}

std::size_t PfmDecoder::read(std::span<double> out) {
    std::size_t count = 0;
    while (count < out.size() && (given_ < block_.size() || next_block())) {
        const std::size_t n = std::min(out.size() - count, block_.size() - given_);
        std::copy_n(block_.begin() + std::ptrdiff_t(given_), n,
                    out.begin() + std::ptrdiff_t(count));
        given_ += n;
        count += n;
    }
    return count;
}

}  // namespace

std::unique_ptr<Decoder> open_pfm(Input& in) {
    return std::make_unique<PfmDecoder>(in);
}

}  // namespace lumtab
