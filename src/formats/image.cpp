// The library's images: whole in memory, read and written a block of rows at a time.
#include <lumtab/image.h>

#include <algorithm>
#include <optional>

#include "formats/decoder.h"
#include "formats/netpbm_writer.h"
#include "image/max_value.h"
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
    if (info.wide()) {
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

// Writes `image`'s samples through `writer`.
void write_samples(NetpbmWriter& writer, const Image& image) {
    if (image.wide()) {
        writer.write(image.samples16());
    } else {
        writer.write(image.samples8());
    }
    writer.finish();
}

// PGM for an image of one channel, PPM for RGB, PAM for the others.
ImageInfo info_to_write(const std::string& name, const Image& image, const WriteOptions& options) {
    ImageInfo info = image.info();
    if (info.channels == 1) {
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

}  // namespace

std::string_view netpbm_suffix(const ImageInfo& info) {
    if (info.channels == 1) return "pgm";
    return info.channels == 3 && info.tuple_type == "RGB" ? "ppm" : "pam";
}

void write_image(const std::string& path, const Image& image, const WriteOptions& options) {
    ImageInfo info = info_to_write(path, image, options);
    OutputFile out(path);
    NetpbmWriter writer(path, info, options.comment,
                        [&](std::span<const char> bytes) { out.write(bytes); });
    write_samples(writer, image);
    out.commit();
}

std::vector<std::uint8_t> write_image(const Image& image, const WriteOptions& options) {
    const std::string name = "image";
    ImageInfo info = info_to_write(name, image, options);
    std::vector<std::uint8_t> bytes;
    NetpbmWriter writer(name, info, options.comment, [&](std::span<const char> text) {
        bytes.insert(bytes.end(), text.begin(), text.end());
    });
    write_samples(writer, image);
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

struct ImageWriter::State {
    std::string name;
    OutputFile out;
    NetpbmWriter writer;
    std::uint64_t row;

    State(const std::string& path, const ImageInfo& info, const std::string& comment)
        : name(path),
          out(path),
          writer(name, info, comment, [this](std::span<const char> bytes) { out.write(bytes); }),
          row(std::uint64_t(info.width) * std::uint64_t(info.channels)) {}

    template <typename Sample>
    void write_row(std::span<const Sample> samples) {
        if (samples.size() != row)
            throw Error(name, "a row of " + std::to_string(samples.size()) + " samples, not " +
                                  std::to_string(row));
        writer.write(samples);
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

void ImageWriter::finish() {
    state_->writer.finish();
    state_->out.commit();
}

}  // namespace lumtab
