// The library's images: whole in memory, read and written a block of rows at a time.
#include <lumtab/image.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>

#include "formats/decoder.h"
#include "formats/encoder.h"
#include "image/max_value.h"
#include "image/sample_type.h"
#include "io/input.h"
#include "io/output_file.h"

namespace lumtab {

namespace {

void check(const ImageInfo& info) {
    if (info.width < 0 || info.height < 0) throw Error("image", "negative width or height");
    if (!is_max_value(info.max_value)) throw Error("image", max_value_out_of_range(info.max_value));
    if (info.channels < 1 || info.channels > 4)
        throw Error("image", std::to_string(info.channels) + " channels: 1 to 4 are possible");
}

template <typename Sample>
void check_samples(const ImageInfo& info, const std::vector<Sample>& samples) {
    if (info.real())
        throw Error("image", sample_type_name(info.sample_type) + " samples are held as doubles");
    if (samples.size() != info.samples())
        throw Error("image", std::to_string(samples.size()) + " samples for an image of " +
                                 std::to_string(info.samples()));
    const auto max_value = static_cast<std::uint32_t>(info.max_value);
    if (std::any_of(samples.begin(), samples.end(),
                    [max_value](Sample s) { return std::uint32_t(s) > max_value; }))
        throw Error("image", "a sample is above the maximum value " + std::to_string(max_value));
}

// The image `reader` reads, its samples held as they come: a header's claim costs
// no memory beyond the bytes behind it.
Image read_whole(Input& in) {
    std::unique_ptr<Decoder> decoder = open_decoder(in);
    Decoder& reader = *decoder;
    ImageInfo info = reader.info();
    const std::uint64_t total = info.samples();
    std::uint64_t expected = total;
    if (std::int64_t left = in.bytes_left(); left >= 0)
        expected = std::min<std::uint64_t>(total, std::uint64_t(left));
    auto read_all = [&](auto& samples) {
        samples.reserve(static_cast<std::size_t>(expected));
        while (samples.size() < total) {
            std::size_t old = samples.size();
            samples.resize(old + std::min<std::uint64_t>(total - old, 1 << 20));
            reader.read(std::span(samples).subspan(old));
        }
    };
    Image image;
    if (info.real()) {
        std::vector<double> samples;
        read_all(samples);
        in.close();
        image = Image(info, std::move(samples));
    } else if (info.wide()) {
        std::vector<std::uint16_t> samples;
        read_all(samples);
        in.close();
        image = Image(info, std::move(samples));
    } else {
        std::vector<std::uint8_t> samples;
        read_all(samples);
        in.close();
        image = Image(info, std::move(samples));
    }
    image.set_format(info.format);
    return image;
}

}  // namespace

Image::Image(std::int32_t width, std::int32_t height, std::int32_t max_value, int channels)
    : info_{channels == 3   ? Format::ppm_binary
            : channels == 1 ? Format::pgm_binary
                            : Format::pam,
            width,
            height,
            max_value,
            channels,
            channels == 1   ? "GRAYSCALE"
            : channels == 2 ? "GRAYSCALE_ALPHA"
            : channels == 3 ? "RGB"
                            : "RGB_ALPHA"} {
    check(info_);
    if (wide()) {
        wide_.resize(size());
    } else {
        narrow_.resize(size());
    }
}

Image::Image(const ImageInfo& info, std::vector<std::uint8_t> samples) : info_(info) {
    check(info_);
    check_samples(info_, samples);
    if (wide()) {
        wide_.assign(samples.begin(), samples.end());
    } else {
        narrow_ = std::move(samples);
    }
}

Image::Image(const ImageInfo& info, std::vector<double> samples) : info_(info) {
    check(info_);
    if (!info_.real()) throw Error("image", "unsigned samples are held in one byte or two");
    if (samples.size() != info_.samples())
        throw Error("image", std::to_string(samples.size()) + " samples for an image of " +
                                 std::to_string(info_.samples()));
    const SampleType type = info_.sample_type;
    if (!std::all_of(samples.begin(), samples.end(), [type](double v) { return holds(type, v); }))
        throw Error("image", "a sample is not one of the " + sample_type_name(type) + " samples");
    real_ = std::move(samples);
}

bool operator==(const Image& a, const Image& b) noexcept {
    auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    // Only unsigned samples have a maximum value that means something.
    const bool same_max_value = a.info().real() || a.max_value() == b.max_value();
    return a.width() == b.width() && a.height() == b.height() && same_max_value &&
           a.channels() == b.channels() && a.info().sample_type == b.info().sample_type &&
           a.narrow_ == b.narrow_ && a.wide_ == b.wide_ &&
           std::equal(a.real_.begin(), a.real_.end(), b.real_.begin(), b.real_.end(), same);
}

Image::Image(const ImageInfo& info, std::vector<std::uint16_t> samples) : info_(info) {
    check(info_);
    check_samples(info_, samples);
    if (wide()) {
        wide_ = std::move(samples);
    } else {
        narrow_.assign(samples.begin(), samples.end());
    }
}

Image read_image(const std::string& path) {
    Input in(path);
    return read_whole(in);
}

Image read_image(int fd, const std::string& name) {
    Input in(fd, name, false);
    return read_whole(in);
}

Image read_image(std::span<const std::uint8_t> bytes, const std::string& name) {
    Input in(bytes, name);
    return read_whole(in);
}

namespace {

// Writes `image`'s samples through `encoder`.
void write_samples(Encoder& encoder, const Image& image) {
    if (image.info().real()) {
        encoder.write(image.values());
    } else if (image.wide()) {
        encoder.write(image.samples16());
    } else {
        encoder.write(image.samples8());
    }
    encoder.finish();
}

// Whether an image of `info` is written as PFM where it is written as Netpbm:
// 32-bit floating point, grey or RGB.
bool netpbm_as_pfm(const ImageInfo& info) {
    return info.sample_type == SampleType::float32 && (info.channels == 1 || info.channels == 3);
}

// PGM for an image of one channel, PPM for RGB, PAM for the others, PFM for 32-bit
// floating point; or PNG, TIFF.
ImageInfo info_to_write(const std::string& name, const Image& image, const WriteOptions& options) {
    ImageInfo info = image.info();
    if (options.plain && options.type != FileType::netpbm)
        throw Error(name, "only a Netpbm image has a plain form");
    if (options.type == FileType::png) {
        info.format = Format::png;
    } else if (options.type == FileType::tiff) {
        info.format = Format::tiff;
    } else if (netpbm_as_pfm(info)) {
        if (options.plain) throw Error(name, "a PFM image has no plain form");
        info.format = Format::pfm;
    } else if (info.channels == 1) {
        info.format = options.plain ? Format::pgm_plain : Format::pgm_binary;
    } else if (info.channels == 3 && info.tuple_type == "RGB") {
        info.format = options.plain ? Format::ppm_plain : Format::ppm_binary;
    } else if (options.plain) {
        throw Error(name, "a PAM image has no plain form");
    } else {
        info.format = Format::pam;
    }
    return info;
}

Destination to_memory(const std::string& name, std::vector<std::uint8_t>& bytes) {
    auto write_at = [&bytes](std::uint64_t offset, std::span<const char> data) {
        if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size());
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    };
    // Appended after what was appended, as to a file, whatever was written past it.
    auto appended = std::make_shared<std::uint64_t>(0);
    return {name,
            [write_at, appended](std::span<const char> data) {
                write_at(*appended, data);
                *appended += data.size();
            },
            write_at};
}

// The descriptor `fd` from where it stands; written over only where it is a regular
// file open other than to append (where pwrite would append too), from that place
// on, `furthest` then how far past it the bytes reach.
Destination to_descriptor(int fd, const std::string& name, std::uint64_t& furthest) {
    Destination to{name,
                   [fd, name](std::span<const char> data) {
                       while (!data.empty()) {
                           ssize_t n = ::write(fd, data.data(), data.size());
                           if (n < 0 && errno == EINTR) continue;
                           if (n < 0) throw Error::from_errno(name, errno);
                           data = data.subspan(static_cast<std::size_t>(n));
                       }
                   },
                   nullptr};
    struct stat status {};
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    const int flags = ::fcntl(fd, F_GETFL);
    if (start < 0 || flags < 0 || (flags & O_APPEND) != 0 || ::fstat(fd, &status) != 0 ||
        !S_ISREG(status.st_mode))
        return to;
    to.write_at = [fd, name, start, &furthest](std::uint64_t offset, std::span<const char> data) {
        furthest = std::max<std::uint64_t>(furthest, offset + data.size());
        while (!data.empty()) {
            ssize_t n = ::pwrite(fd, data.data(), data.size(), start + static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw Error::from_errno(name, errno);
            data = data.subspan(static_cast<std::size_t>(n));
            offset += static_cast<std::uint64_t>(n);
        }
    };
    return to;
}

}  // namespace

FileType file_type_of(std::string_view path) {
    auto ends_with = [&](std::string_view suffix) {
        return path.size() >= suffix.size() &&
               std::equal(
                   suffix.begin(), suffix.end(), path.end() - suffix.size(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(b)) == a; });
    };
    if (ends_with(".png")) return FileType::png;
    if (ends_with(".tif") || ends_with(".tiff")) return FileType::tiff;
    return FileType::netpbm;
}

std::string_view image_suffix(const ImageInfo& info, FileType type) {
    if (type == FileType::png) return "png";
    if (type == FileType::tiff) return "tif";
    if (info.sample_type == SampleType::float32) return "pfm";
    if (info.channels == 1) return "pgm";
    return info.channels == 3 && info.tuple_type == "RGB" ? "ppm" : "pam";
}

void write_image(const std::string& path, const Image& image, const WriteOptions& options) {
    ImageInfo info = info_to_write(path, image, options);
    OutputFile out(path);
    write_samples(*open_encoder(info, options.comment, destination(out)), image);
    out.commit();
}

void write_image(int fd, const std::string& name, const Image& image, const WriteOptions& options) {
    ImageInfo info = info_to_write(name, image, options);
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    std::uint64_t furthest = 0;
    write_samples(*open_encoder(info, options.comment, to_descriptor(fd, name, furthest)), image);
    // Left past the image also where its last bytes were written over the file
    // (a TIFF's directory, a PFM's rows from the bottom), not appended.
    if (start >= 0 && ::lseek(fd, 0, SEEK_CUR) < start + static_cast<off_t>(furthest) &&
        ::lseek(fd, start + static_cast<off_t>(furthest), SEEK_SET) < 0)
        throw Error::from_errno(name, errno);
}

std::vector<std::uint8_t> write_image(const Image& image, const WriteOptions& options) {
    const std::string name = "image";
    ImageInfo info = info_to_write(name, image, options);
    std::vector<std::uint8_t> bytes;
    write_samples(*open_encoder(info, options.comment, to_memory(name, bytes)), image);
    return bytes;
}

struct ImageReader::State {
    Input in;
    std::unique_ptr<Decoder> decoder;
    Decoder& reader;
    std::int32_t rows = 0;  // read so far

    template <typename... Source>
    explicit State(Source&&... source)
        : in(std::forward<Source>(source)...), decoder(open_decoder(in)), reader(*decoder) {}

    template <typename Sample>
    std::int32_t read_rows(std::span<Sample> out) {
        const ImageInfo& info = reader.info();
        if (sizeof(Sample) == 1 && info.wide())
            throw Error(in.name(), "maximum value " + std::to_string(info.max_value) +
                                       " needs two bytes a sample");
        if (sizeof(Sample) < sizeof(double) && info.real())
            throw Error(in.name(),
                        sample_type_name(info.sample_type) + " samples are read as doubles");
        const std::uint64_t row = std::uint64_t(info.width) * std::uint64_t(info.channels);
        std::uint64_t left = std::uint64_t(info.height - rows);
        std::uint64_t count = row == 0 ? left : std::min<std::uint64_t>(left, out.size() / row);
        if (row != 0) reader.read(out.first(static_cast<std::size_t>(count * row)));
        rows += static_cast<std::int32_t>(count);
        if (rows == info.height && count != 0) in.close();
        return static_cast<std::int32_t>(count);
    }
};

ImageReader::ImageReader(const std::string& path) : state_(std::make_unique<State>(path)) {}

ImageReader::ImageReader(int fd, const std::string& name)
    : state_(std::make_unique<State>(fd, name, false)) {}

ImageReader::ImageReader(std::span<const std::uint8_t> bytes, const std::string& name)
    : state_(std::make_unique<State>(bytes, name)) {}

ImageReader::~ImageReader() = default;
ImageReader::ImageReader(ImageReader&&) noexcept = default;
ImageReader& ImageReader::operator=(ImageReader&&) noexcept = default;

const ImageInfo& ImageReader::info() const noexcept {
    return state_->decoder->info();
}

std::int32_t ImageReader::read_rows(std::span<std::uint8_t> out) {
    return state_->read_rows(out);
}

std::int32_t ImageReader::read_rows(std::span<std::uint16_t> out) {
    return state_->read_rows(out);
}

std::int32_t ImageReader::read_rows(std::span<double> out) {
    return state_->read_rows(out);
}

// A binary Netpbm format asked of an image written as PFM is PFM.
ImageInfo format_to_write(ImageInfo info) {
    const bool binary = info.format == Format::pgm_binary || info.format == Format::ppm_binary ||
                        info.format == Format::pam;
    if (binary && netpbm_as_pfm(info)) info.format = Format::pfm;
    return info;
}

struct ImageWriter::State {
    std::string name;
    OutputFile out;
    std::unique_ptr<Encoder> encoder;
    std::uint64_t row;

    State(const std::string& path, const ImageInfo& info, const std::string& comment)
        : name(path),
          out(path),
          encoder(open_encoder(format_to_write(info), comment, destination(out))),
          row(std::uint64_t(info.width) * std::uint64_t(info.channels)) {}

    template <typename Sample>
    void write_row(std::span<const Sample> samples) {
        if (samples.size() != row)
            throw Error(name, "a row of " + std::to_string(samples.size()) + " samples, not " +
                                  std::to_string(row));
        encoder->write(samples);
    }
};

ImageWriter::ImageWriter(const std::string& path, const ImageInfo& info, const std::string& comment)
    : state_(std::make_unique<State>(path, info, comment)) {}

ImageWriter::~ImageWriter() = default;
ImageWriter::ImageWriter(ImageWriter&&) noexcept = default;
ImageWriter& ImageWriter::operator=(ImageWriter&&) noexcept = default;

void ImageWriter::write_row(std::span<const std::uint8_t> row) {
    state_->write_row(row);
}

void ImageWriter::write_row(std::span<const std::uint16_t> row) {
    state_->write_row(row);
}

void ImageWriter::write_row(std::span<const double> row) {
    state_->write_row(row);
}

void ImageWriter::finish() {
    state_->encoder->finish();
    state_->out.commit();
}

}  // namespace lumtab
