// TIFF images through libtiff, a row (or a row of tiles) at a time: grey of 1 to
// 16 bits, RGB of 8 and 16, palette, each perhaps with alpha; grey or RGB of
// 32-bit unsigned, 8- to 32-bit signed and 32- or 64-bit floating-point samples;
// strips or tiles, any compression libtiff reads; the first image of the file. A
// min-is-white image is read as min-is-black, white the maximum value, as
// tifftopnm reads it.
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "formats/decoder.h"
#include "formats/tiff_library.h"
#include "image/sample_type.h"
#include "io/input.h"
#include "io/temporary_file.h"

namespace lumtab {

namespace {

const TiffLibrary& library() {
    return tiff_library();
}

// The most libtiff may allocate at once: strips and tiles are far smaller, and a
// file that claims more is refused rather than believed.
constexpr tmsize_t kMostAllocation = 256 << 20;

// Where libtiff reads: a regular file from an offset on, or bytes in memory.
struct Source {
    int fd = -1;
    std::int64_t start = 0;
    std::span<const std::uint8_t> memory;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    std::string name;     // of the file, as messages name it
    std::string error;    // libtiff's first error
    bool pixels = false;  // past the header: a warning means data missing or wrong
};

tmsize_t on_read(thandle_t handle, void* out, tmsize_t size) {
    auto* source = static_cast<Source*>(handle);
    std::uint64_t left = source->size - std::min(source->size, source->position);
    auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(size), left));
    if (n == 0) return 0;
    if (source->fd < 0) {
        std::memcpy(out, source->memory.data() + source->position, n);
    } else {
        std::size_t done = 0;
        while (done < n) {
            ssize_t got = ::pread(source->fd, static_cast<char*>(out) + done, n - done,
                                  static_cast<off_t>(source->start + source->position + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return got < 0 ? -1 : static_cast<tmsize_t>(done);
            done += static_cast<std::size_t>(got);
        }
    }
    source->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t on_write(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t on_seek(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<Source*>(handle);
    std::uint64_t base = whence == SEEK_CUR   ? source->position
                         : whence == SEEK_END ? source->size
                                              : 0;
    source->position = base + offset;
    return source->position;
}

int on_close(thandle_t) {
    return 0;
}

toff_t on_size(thandle_t handle) {
    return static_cast<Source*>(handle)->size;
}

int on_map(thandle_t, void**, toff_t*) {
    return 0;  // never mapped: memory stays what a strip takes
}

void on_unmap(thandle_t, void*, toff_t) {}

int on_error(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    auto* source = static_cast<Source*>(user);
    if (!source->error.empty()) return 1;
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    // Some messages start with the file's name, which the line gives already.
    std::string_view text(message);
    if (text.starts_with(source->name) && text.substr(source->name.size()).starts_with(": "))
        text.remove_prefix(source->name.size() + 2);
    try {
        source->error = text;
    } catch (const std::bad_alloc&) {
        source->error.clear();  // then the caller's own words; nothing may leave libtiff
    }
    return 1;  // not to be printed
}

// Warnings about tags are of no concern; about the pixels, a refusal.
int on_warning(TIFF* tiff, void* user, const char* module, const char* format, va_list arguments) {
    if (static_cast<Source*>(user)->pixels) return on_error(tiff, user, module, format, arguments);
    return 1;
}

// A TIFF from a pipe is read from a copy in a file, since libtiff seeks. A classic
// TIFF addresses at most 4 GiB, and more is not kept for it.
ScratchFile spool_tiff(Input& in) {
    auto head = in.look_ahead(4);
    const bool classic = head.size() >= 4 && (head[2] == 42 || head[3] == 42);
    return spool(in, classic ? std::uint64_t(1) << 32 : ~std::uint64_t(0),
                 "TIFF: more than the 4 GiB a TIFF can address");
}

class TiffDecoder : public Decoder {
  public:
    explicit TiffDecoder(Input& in) : in_(in) {
        source_.name = in.name();
        open_source();
        const TiffLibrary& tiff = library();
        TIFFOpenOptions* options = tiff.options_alloc();
        if (options == nullptr) throw std::bad_alloc();
        tiff.set_max_single_alloc(options, kMostAllocation);
        tiff.set_error_handler(options, on_error, &source_);
        tiff.set_warning_handler(options, on_warning, &source_);
        tiff_ = tiff.client_open(in.name().c_str(), "rm", &source_, on_read, on_write, on_seek,
                                 on_close, on_size, on_map, on_unmap, options);
        tiff.options_free(options);
        if (tiff_ == nullptr) fail();
        read_header();
        source_.pixels = true;
    }

    const ImageInfo& info() const override { return info_; }
    std::size_t read(std::span<std::uint8_t> out) override {
        return read_samples(out, unsigned_samples());
    }
    std::size_t read(std::span<std::uint16_t> out) override {
        return read_samples(out, unsigned_samples());
    }
    std::size_t read(std::span<double> out) override {
        if (!info_.real()) return Decoder::read(out);
        return read_samples(out, values_);
    }

  private:
    [[noreturn]] void fail(const std::string& otherwise = "not a TIFF image lumtab can read") {
        throw Error(in_.name(), "TIFF: " + (source_.error.empty() ? otherwise : source_.error));
    }
    [[noreturn]] void refuse(const std::string& what) { throw Error(in_.name(), "TIFF: " + what); }

    std::vector<std::uint16_t>& unsigned_samples() {
        if (info_.real())
            throw Error(in_.name(),
                        sample_type_name(info_.sample_type) + " samples are read as doubles");
        return samples_;
    }

    // Where libtiff reads the file, which it takes as a whole: the input is left
    // at its end.
    void open_source() {
        if (auto memory = in_.memory_left(); !memory.empty()) {
            source_.memory = memory;
            source_.size = memory.size();
            in_.skip_rest();
            return;
        }
        source_.start = in_.file_offset();
        source_.fd = in_.descriptor();
        if (source_.start < 0) {
            spooled_.emplace(spool_tiff(in_));
            source_.fd = spooled_->descriptor();
            source_.start = 0;
        }
        struct stat status {};
        if (::fstat(source_.fd, &status) != 0) throw Error::from_errno(in_.name(), errno);
        source_.size =
            static_cast<std::uint64_t>(std::max<std::int64_t>(status.st_size - source_.start, 0));
        in_.skip_rest();
    }

    template <typename Value>
    Value field(ttag_t tag, bool defaulted = true) {
        Value value{};
        const TiffLibrary& tiff = library();
        if ((defaulted ? tiff.get_field_defaulted : tiff.get_field)(tiff_, tag, &value) != 1)
            return Value{};
        return value;
    }

    void read_header();
    void read_values_header(int colours);
    void read_layout();
    SampleType read_sample_type();
    int read_photometric();
    void read_tiles();
    void check_row_size();
    void read_colour_map();
    void next_row();
    void unpack(const std::uint8_t* row) {
        if (info_.real()) {
            unpack_values(row);
            if (mirrored_) mirror(values_);
        } else {
            unpack_row(row);
            if (mirrored_) mirror(samples_);
        }
    }
    void unpack_row(const std::uint8_t* row);
    void unpack_values(const std::uint8_t* row);

    template <typename Sample>
    void mirror(std::vector<Sample>& row) const {
        const auto channels = static_cast<std::ptrdiff_t>(info_.channels);
        for (auto left = row.begin(), right = row.end() - channels; left < right;
             left += channels, right -= channels)
            std::swap_ranges(left, left + channels, right);
    }

    // Copies the samples of the rows on into `out`, `row` holding the current one.
    template <typename Sample, typename Held>
    std::size_t read_samples(std::span<Sample> out, const std::vector<Held>& row) {
        std::size_t count = 0;
        while (count < out.size() && rows_ < info_.height) {
            if (column_ == 0) next_row();
            std::size_t n = std::min(out.size() - count, row.size() - column_);
            std::copy_n(row.begin() + static_cast<std::ptrdiff_t>(column_), n, out.begin() + count);
            count += n;
            column_ += n;
            if (column_ == row.size()) {
                column_ = 0;
                ++rows_;
            }
        }
        return count;
    }

    // Closes libtiff's handle, also where the constructor fails.
    struct Ending {
        TIFF*& tiff;
        ~Ending() {
            if (tiff != nullptr) library().close(tiff);
        }
    };

    Input& in_;
    Source source_;
    std::optional<ScratchFile> spooled_;  // a pipe's TIFF
    TIFF* tiff_ = nullptr;
    Ending ending_{tiff_};
    ImageInfo info_;
    std::uint16_t bits_ = 8;
    std::uint16_t samples_per_pixel_ = 1;
    bool min_is_white_ = false;
    bool mirrored_ = false;  // each row right to left
    bool palette_ = false;
    std::vector<std::uint16_t> colour_map_;  // red, green, blue of each index, 0 to 255
    bool tiled_ = false;
    std::uint32_t tile_width_ = 0, tile_height_ = 0;
    std::vector<std::uint8_t> raw_;  // a scanline, or a row of tiles
    std::vector<std::uint8_t> tile_;
    std::vector<std::uint16_t> samples_;  // the row being read, unsigned
    std::vector<double> values_;          // or of any other type
    std::int32_t rows_ = 0;
    std::size_t column_ = 0;
};

void TiffDecoder::read_header() {
    read_layout();
    const int colours = read_photometric();
    if (info_.real()) return read_values_header(colours);
    const bool grey_bits = colours == 1 && !palette_;
    const bool bits_read = bits_ == 8 || bits_ == 16 ||
                           ((grey_bits || palette_) && (bits_ == 1 || bits_ == 2 || bits_ == 4)) ||
                           (palette_ && bits_ == 8);
    if (!bits_read || (palette_ && bits_ == 16))
        refuse(std::to_string(bits_) + " bits a sample are not read");
    const int extra = samples_per_pixel_ - colours;
    if (extra < 0 || extra > 1 || (palette_ && extra != 0))
        refuse(std::to_string(samples_per_pixel_) + " samples a pixel are not read");
    info_.channels = (palette_ ? 3 : colours) + extra;
    info_.max_value = palette_ ? 255 : (1 << bits_) - 1;
    info_.tuple_type =
        std::string(info_.channels - extra == 3 ? "RGB" : "GRAYSCALE") + (extra ? "_ALPHA" : "");
    if (palette_) read_colour_map();
    read_tiles();
    check_row_size();
    samples_.resize(std::size_t(info_.width) * std::size_t(info_.channels));
}

// Samples of another type than uint: grey or RGB, perhaps with alpha, of the
// bits the type takes.
void TiffDecoder::read_values_header(int colours) {
    const std::string type = sample_type_name(info_.sample_type);
    if (palette_ || min_is_white_)
        refuse(std::string(palette_ ? "a palette" : "min-is-white") + " of " + type +
               " samples is not read");
    const int extra = samples_per_pixel_ - colours;
    if (extra < 0 || extra > 1)
        refuse(std::to_string(samples_per_pixel_) + " samples a pixel are not read");
    info_.channels = samples_per_pixel_;
    info_.max_value = 65535;
    info_.tuple_type = std::string(colours == 3 ? "RGB" : "GRAYSCALE") + (extra ? "_ALPHA" : "");
    read_tiles();
    check_row_size();
    values_.resize(std::size_t(info_.width) * std::size_t(info_.channels));
}

// The size, the samples' form and how rows are laid out.
void TiffDecoder::read_layout() {
    const auto width = field<std::uint32_t>(TIFFTAG_IMAGEWIDTH, false);
    const auto height = field<std::uint32_t>(TIFFTAG_IMAGELENGTH, false);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX)
        refuse("width or height missing or beyond 2147483647");
    info_.format = Format::tiff;
    info_.width = static_cast<std::int32_t>(width);
    info_.height = static_cast<std::int32_t>(height);
    bits_ = field<std::uint16_t>(TIFFTAG_BITSPERSAMPLE);
    samples_per_pixel_ = field<std::uint16_t>(TIFFTAG_SAMPLESPERPIXEL);
    info_.sample_type = read_sample_type();
    if (field<std::uint16_t>(TIFFTAG_PLANARCONFIG) == PLANARCONFIG_SEPARATE &&
        samples_per_pixel_ > 1)
        refuse("separate planes of samples are not read");
    // Rows from the top, perhaps mirrored: those read as stored, as tifftopnm reads them.
    const auto orientation = field<std::uint16_t>(TIFFTAG_ORIENTATION);
    if (orientation != ORIENTATION_TOPLEFT && orientation != ORIENTATION_TOPRIGHT)
        refuse("orientation " + std::to_string(orientation) +
               " is not read: lumtab reads rows stored from the top");
    mirrored_ = orientation == ORIENTATION_TOPRIGHT;
}

// The type of the samples, from their format and bits.
SampleType TiffDecoder::read_sample_type() {
    const auto format = field<std::uint16_t>(TIFFTAG_SAMPLEFORMAT);
    const std::string bits = std::to_string(bits_) + "-bit ";
    switch (format) {
        case SAMPLEFORMAT_IEEEFP:
            if (bits_ == 32) return SampleType::float32;
            if (bits_ == 64) return SampleType::float64;
            refuse(bits + "floating-point samples are not read");
        case SAMPLEFORMAT_INT:
            if (bits_ == 8) return SampleType::int8;
            if (bits_ == 16) return SampleType::int16;
            if (bits_ == 32) return SampleType::int32;
            refuse(bits + "signed samples are not read");
        case SAMPLEFORMAT_UINT:
        case SAMPLEFORMAT_VOID:  // no stated format: unsigned, as tifftopnm reads it
            return bits_ == 32 ? SampleType::uint32 : SampleType::uint;
        case SAMPLEFORMAT_COMPLEXINT:
        case SAMPLEFORMAT_COMPLEXIEEEFP:
            refuse("complex samples are not read");
    }
    refuse("samples of format " + std::to_string(format) + " are not read");
}

// What the samples stand for; returns how many of a pixel's are colour.
int TiffDecoder::read_photometric() {
    std::uint16_t photometric = 0;
    if (library().get_field(tiff_, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
        refuse("no photometric interpretation");
    if (photometric == PHOTOMETRIC_YCBCR &&
        field<std::uint16_t>(TIFFTAG_COMPRESSION) == COMPRESSION_JPEG) {
        // libtiff converts YCbCr in JPEG to RGB itself.
        library().set_field(tiff_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        photometric = PHOTOMETRIC_RGB;
    }
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
            min_is_white_ = true;
            return 1;
        case PHOTOMETRIC_MINISBLACK:
            return 1;
        case PHOTOMETRIC_RGB:
            return 3;
        case PHOTOMETRIC_PALETTE:
            palette_ = true;
            return 1;
    }
    refuse("photometric interpretation " + std::to_string(photometric) + " is not read");
}

void TiffDecoder::read_tiles() {
    tiled_ = library().is_tiled(tiff_) != 0;
    if (!tiled_) return;
    tile_width_ = field<std::uint32_t>(TIFFTAG_TILEWIDTH);
    tile_height_ = field<std::uint32_t>(TIFFTAG_TILELENGTH);
    if (tile_width_ == 0 || tile_height_ == 0) refuse("tiles without a size");
    // The rows of tiles side by side are rows of the image: whole bytes a tile.
    if (std::uint64_t(tile_width_) * samples_per_pixel_ * bits_ % 8 != 0)
        refuse("tiles of " + std::to_string(tile_width_) + " pixels, not whole bytes");
}

// A row, or a row of tiles, can only be so much larger than the file: deflate
// shrinks data at most about 1032 times. A claim beyond is refused before
// anything is allocated for it.
void TiffDecoder::check_row_size() {
    const std::uint64_t across =
        tiled_ ? (std::uint64_t(info_.width) + tile_width_ - 1) / tile_width_ * tile_width_
               : std::uint64_t(info_.width);
    const std::uint64_t sample_bytes = std::max(2, sample_bits(info_.sample_type) / 8);
    const std::uint64_t row_bytes =
        across * info_.channels * sample_bytes * (tiled_ ? std::uint64_t(tile_height_) : 1);
    const std::uint64_t tile_bytes =
        tiled_ ? static_cast<std::uint64_t>(library().tile_size(tiff_)) : 0;
    const std::uint64_t most = 1032 * source_.size + (1 << 20);
    if (row_bytes > most || tile_bytes > most)
        refuse("rows of " + std::to_string(std::max(row_bytes, tile_bytes)) +
               " bytes, more than the file can hold");
}

// The colour map's 16-bit entries, to 0 to 255: their high byte, as Pillow takes
// them (tifftopnm scales them instead, and may differ by one); but where every
// entry is below 256, the map was written with 8-bit values, and they are taken
// as they are, as libtiff's own RGBA reading (and so tifftopnm) takes them.
void TiffDecoder::read_colour_map() {
    std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (library().get_field(tiff_, TIFFTAG_COLORMAP, &red, &green, &blue) != 1)
        refuse("palette without colours");
    const std::size_t entries = std::size_t(1) << bits_;
    bool eight_bits = true;
    for (std::size_t i = 0; i < entries; ++i)
        eight_bits = eight_bits && red[i] < 256 && green[i] < 256 && blue[i] < 256;
    for (std::size_t i = 0; i < entries; ++i)
        for (const std::uint16_t* channel : {red, green, blue})
            colour_map_.push_back(
                static_cast<std::uint16_t>(eight_bits ? channel[i] : channel[i] >> 8));
}

void TiffDecoder::next_row() {
    const TiffLibrary& tiff = library();
    const auto row = static_cast<std::uint32_t>(rows_);
    if (!tiled_) {
        raw_.resize(static_cast<std::size_t>(tiff.scanline_size(tiff_)));
        if (tiff.read_scanline(tiff_, raw_.data(), row, 0) < 0 || !source_.error.empty())
            fail("cannot read row " + std::to_string(row + 1));
        return unpack(raw_.data());
    }
    // A row of tiles at a time, the rows of the image cut out of them.
    const std::size_t tile_row_bytes =
        (std::size_t(tile_width_) * samples_per_pixel_ * bits_ + 7) / 8;
    const std::uint32_t within = row % tile_height_;
    const std::uint32_t across =
        (static_cast<std::uint32_t>(info_.width) + tile_width_ - 1) / tile_width_;
    if (within == 0) {
        tile_.resize(static_cast<std::size_t>(tiff.tile_size(tiff_)));
        raw_.assign(std::size_t(across) * tile_row_bytes * tile_height_, 0);
        for (std::uint32_t t = 0; t < across; ++t) {
            if (tiff.read_tile(tiff_, tile_.data(), t * tile_width_, row, 0, 0) < 0 ||
                !source_.error.empty())
                fail("cannot read the tiles of row " + std::to_string(row + 1));
            for (std::uint32_t y = 0; y < tile_height_; ++y)
                std::memcpy(raw_.data() + (std::size_t(y) * across + t) * tile_row_bytes,
                            tile_.data() + std::size_t(y) * tile_row_bytes, tile_row_bytes);
        }
    }
    unpack(raw_.data() + std::size_t(within) * across * tile_row_bytes);
}

void TiffDecoder::unpack_row(const std::uint8_t* row) {
    const std::size_t values = std::size_t(info_.width) * samples_per_pixel_;
    std::size_t out = 0;
    for (std::size_t i = 0; i < values; ++i) {
        std::uint16_t value;
        if (bits_ == 16) {
            std::memcpy(&value, row + 2 * i, 2);  // libtiff gives them in this machine's order
        } else if (bits_ == 8) {
            value = row[i];
        } else {
            const std::size_t bit = i * bits_;
            value = static_cast<std::uint16_t>((row[bit / 8] >> (8 - bits_ - bit % 8)) &
                                               ((1u << bits_) - 1));
        }
        const bool alpha =
            samples_per_pixel_ > 1 && (i + 1) % samples_per_pixel_ == 0 && samples_per_pixel_ != 3;
        if (palette_) {
            const std::uint16_t* colour = &colour_map_[std::size_t(value) * 3];
            samples_[out++] = colour[0];
            samples_[out++] = colour[1];
            samples_[out++] = colour[2];
            continue;
        }
        if (min_is_white_ && !alpha) value = static_cast<std::uint16_t>(info_.max_value - value);
        samples_[out++] = value;
    }
}

// libtiff gives samples of 16 bits and more in this machine's byte order.
template <typename Sample>
void widen(const std::uint8_t* row, std::span<double> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        Sample value;
        std::memcpy(&value, row + i * sizeof value, sizeof value);
        out[i] = static_cast<double>(value);
    }
}

void TiffDecoder::unpack_values(const std::uint8_t* row) {
    switch (info_.sample_type) {
        case SampleType::uint32:
            return widen<std::uint32_t>(row, values_);
        case SampleType::int8:
            return widen<std::int8_t>(row, values_);
        case SampleType::int16:
            return widen<std::int16_t>(row, values_);
        case SampleType::int32:
            return widen<std::int32_t>(row, values_);
        case SampleType::float32:
            return widen<float>(row, values_);
        case SampleType::float64:
        case SampleType::uint:
            break;
    }
    widen<double>(row, values_);
}

}  // namespace

std::unique_ptr<Decoder> open_tiff(Input& in) {
    if (const std::string& error = library().library.error(); !error.empty())
        throw Error(in.name(), "TIFF: " + error);
    return std::make_unique<TiffDecoder>(in);
}

}  // namespace lumtab
