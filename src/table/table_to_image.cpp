// A table back into an image, read in runs of text parsed on two threads.
#include <algorithm>
#include <functional>
#include <optional>
#include <type_traits>

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

// The table read from `in` into `image`, the values of Value (std::uint16_t up to
// `max_value`, or float). An image encoded at its end counts reading the table as
// the first half of its progress, encoding as the second.
template <typename Value, typename GrowingOrSpooled>
void read_into(GrowingOrSpooled& image, Input& in, std::uint32_t max_value, int channels,
               const ProgressReport& progress) {
    constexpr bool encodes_at_end = std::is_same_v<GrowingOrSpooled, SpooledImage>;
    const std::uint64_t start = in.offset();
    const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(in.bytes_left(), 0));
    const std::function<void(std::span<const Value>)> sink = [&](std::span<const Value> samples) {
        image.append(samples);
    };
    auto read = [&] {
        if (progress) progress((in.offset() - start) / (encodes_at_end ? 2 : 1), total);
    };
    TableShape shape;
    if constexpr (std::is_same_v<Value, float>) {
        shape = read_table(in, sink, read, channels);
    } else {
        shape = read_table(in, max_value, sink, read, channels);
    }
    in.close();
    if constexpr (encodes_at_end) {
        image.finish(shape.width, shape.height, [&](std::uint64_t done, std::uint64_t whole) {
            if (progress && whole != 0) progress(total / 2 + total / 2 * done / whole, total);
        });
    } else {
        image.finish(shape.width, shape.height);
    }
}

// The largest value a table may hold: `max_value`, or with 0 any unsigned one.
std::uint32_t most_value(std::int32_t max_value) {
    return max_value != 0 ? static_cast<std::uint32_t>(max_value) : 65535;
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
        SpooledImage image(*out, comment, 0, kind, scratch_directory());
        if (request.coordinates) {
            place(image, in, read_float_coordinates(in, channels));
        } else {
            read_into<float>(image, in, 0, channels, progress);
        }
    } else if (request.coordinates) {
        if (request.type == FileType::netpbm) {
            GrowingImage image(*out, " " + comment, max_value, kind);
            place(image, in, read_coordinates(in, channels, most_value(max_value)));
        } else {
            SpooledImage image(*out, comment, max_value, kind, scratch_directory());
            place(image, in, read_coordinates(in, channels, most_value(max_value)));
        }
    } else if (request.type == FileType::netpbm) {
        GrowingImage image(*out, " " + comment, max_value, kind);
        read_into<std::uint16_t>(image, in, most_value(max_value), channels, progress);
    } else {
        SpooledImage image(*out, comment, max_value, kind, scratch_directory());
        read_into<std::uint16_t>(image, in, most_value(max_value), channels, progress);
    }
    out->commit();
}

}  // namespace lumtab
