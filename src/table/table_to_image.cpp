// A table back into an image, read in runs of text parsed on two threads.
#include <algorithm>
#include <optional>

#include "io/input.h"
#include "io/output_file.h"
#include "io/temporary_file.h"
#include "table/convert.h"
#include "table/coordinate_reader.h"
#include "table/growing_image.h"
#include "table/table_reader.h"

namespace lumtab {

ImageInfo image_kind(int channels, FileType type) {
    ImageInfo kind;
    kind.channels = channels;
    switch (channels) {
        case 1:
            kind.format = Format::pgm_binary;
            break;
        case 3:
            kind.format = Format::ppm_binary;
            kind.tuple_type = "RGB";
            break;
        default:
            kind.format = Format::pam;
            kind.tuple_type = channels == 2 ? "GRAYSCALE_ALPHA" : "RGB_ALPHA";
    }
    if (type == FileType::png) kind.format = Format::png;
    if (type == FileType::tiff) kind.format = Format::tiff;
    return kind;
}

namespace {

template <typename GrowingOrSpooled>
void read_into(GrowingOrSpooled& image, Input& in, std::int32_t max_value, int channels,
               const ProgressReport& progress) {
    const std::uint64_t start = in.offset();
    const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(in.bytes_left(), 0));
    TableShape shape = read_table(
        in, max_value != 0 ? static_cast<std::uint32_t>(max_value) : 65535,
        [&](std::span<const std::uint16_t> samples) { image.append(samples); },
        [&] {
            if (progress) progress(in.offset() - start, total);
        },
        channels);
    in.close();
    image.finish(shape.width, shape.height);
}

// Where the samples of a PNG or TIFF are held until the image is written: beside
// the output, on the file system that is to hold it.
std::string spool_directory(const std::string& out_name) {
    if (out_name == "-") return scratch_directory();
    std::size_t slash = out_name.rfind('/');
    return slash == std::string::npos ? "" : out_name.substr(0, slash + 1);
}

// The floating-point table read from `in` into `image`.
void read_floats_into(SpooledImage& image, Input& in, int channels,
                      const ProgressReport& progress) {
    const std::uint64_t start = in.offset();
    const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(in.bytes_left(), 0));
    TableShape shape = read_table(
        in, [&](std::span<const float> samples) { image.append(samples); },
        [&] {
            if (progress) progress(in.offset() - start, total);
        },
        channels);
    in.close();
    image.finish(shape.width, shape.height);
}

// An image read from a coordinate table into `image`: held whole, as its pixels
// may come in any order.
template <typename GrowingOrSpooled, typename Coordinates>
void place(GrowingOrSpooled& image, Input& in, const Coordinates& read) {
    in.close();
    image.append(std::span(read.samples));
    image.finish(read.shape.width, read.shape.height);
}

}  // namespace

void table_to_image(Input& in, const std::string& out_name, std::int32_t max_value, int channels,
                    FileType type, const ProgressReport& progress) {
    table_to_image(in, out_name, {max_value, channels, type, false, false}, progress);
}

void table_to_image(Input& in, const std::string& out_name, const ImageRequest& request,
                    const ProgressReport& progress) {
    std::optional<OutputFile> out;
    open_output(out, out_name);
    const std::int32_t max_value = request.max_value;
    const int channels = request.channels;
    ImageInfo kind = image_kind(channels, request.type);
    const std::string comment = "from " + in.name();
    if (request.floating) {
        if (request.type == FileType::png)
            throw Error(out->name(), "a PNG image holds no floating-point samples");
        kind.sample_type = SampleType::float32;
        if (request.type == FileType::netpbm) kind.format = Format::pfm;
        SpooledImage image(*out, comment, 0, kind, spool_directory(out_name));
        if (request.coordinates) {
            place(image, in, read_float_coordinates(in, channels));
        } else {
            read_floats_into(image, in, channels, progress);
        }
    } else if (request.coordinates) {
        const auto most = static_cast<std::uint32_t>(max_value != 0 ? max_value : 65535);
        if (request.type == FileType::netpbm) {
            GrowingImage image(*out, " " + comment, max_value, kind);
            place(image, in, read_coordinates(in, channels, most));
        } else {
            SpooledImage image(*out, comment, max_value, kind, spool_directory(out_name));
            place(image, in, read_coordinates(in, channels, most));
        }
    } else if (request.type == FileType::netpbm) {
        GrowingImage image(*out, " from " + in.name(), max_value, kind);
        read_into(image, in, max_value, channels, progress);
    } else {
        SpooledImage image(*out, "from " + in.name(), max_value, kind, spool_directory(out_name));
        read_into(image, in, max_value, channels, progress);
    }
    out->commit();
}

}  // namespace lumtab
