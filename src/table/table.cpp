// The library's tables: an image's text, and text read back into an image.
#include <lumtab/table.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>
#include <type_traits>

#include "image/max_value.h"
#include "image/sample_type.h"
#include "io/input.h"
#include "io/output_file.h"
#include "table/convert.h"
#include "table/table_format.h"
#include "table/table_reader.h"

namespace lumtab {

std::string_view table_suffix(TableStyle style) {
    switch (style) {
        case TableStyle::csv:
            return "csv";
        case TableStyle::tsv:
            return "tsv";
        case TableStyle::spaces:
            break;
    }
    return "int";
}

namespace {

// Gives the table of `image` to `sink` a block of text at a time.
template <typename Sink>
void format_table(const Image& image, TableStyle style, Sink sink) {
    const std::int64_t row = std::int64_t(image.width()) * image.channels();
    if (row == 0) {
        sink(std::string(static_cast<std::size_t>(image.height()), '\n'));
        return;
    }
    constexpr std::size_t kBlock = 64 * 1024;
    std::string text(TableFormatter::max_text_size(kBlock, image.info().real()), '\0');
    TableFormatter formatter(style, row);
    auto format = [&](auto samples) {
        for (std::size_t at = 0; at < samples.size(); at += kBlock) {
            auto block = samples.subspan(at, std::min(kBlock, samples.size() - at));
            char* end;
            if constexpr (std::is_same_v<typename decltype(block)::element_type, const double>) {
                end = formatter.format(block, image.info().sample_type, text.data());
            } else {
                end = formatter.format(block, text.data());
            }
            sink(std::string_view(text.data(), static_cast<std::size_t>(end - text.data())));
        }
    };
    if (image.info().real()) {
        format(image.values());
    } else if (image.wide()) {
        format(image.samples16());
    } else {
        format(image.samples8());
    }
}

Image image_of(Input& in, std::int32_t max_value, int channels) {
    if (max_value != 0 && !is_max_value(max_value))
        throw Error(in.name(), max_value_out_of_range(max_value));
    if (channels < 1 || channels > 4)
        throw Error(in.name(), std::to_string(channels) + " channels: 1 to 4 are possible");
    std::vector<std::uint16_t> values;
    TableShape shape = read_table(
        in, max_value != 0 ? static_cast<std::uint32_t>(max_value) : 65535,
        [&](std::span<const std::uint16_t> samples) {
            values.insert(values.end(), samples.begin(), samples.end());
        },
        {}, channels);
    if (max_value == 0)
        max_value =
            std::any_of(values.begin(), values.end(), [](auto v) { return v > 255; }) ? 65535 : 255;
    ImageInfo info = image_kind(channels);
    info.width = shape.width;
    info.height = shape.height;
    info.max_value = max_value;
    return Image(info, std::move(values));
}

// The table in `in` as an image of `like`'s sample type (any but uint) and
// channels: each value one the type holds.
Image real_image_of(Input& in, const ImageInfo& like) {
    std::vector<double> values;
    const SampleType type = like.sample_type;
    auto take = [&](auto samples) {
        for (auto sample : samples) {
            if (!holds(type, sample)) {
                char text[32];
                const char* end = std::to_chars(text, text + sizeof text, sample).ptr;
                throw Error(in.name(), "value " + std::string(text, std::size_t(end - text)) +
                                           " is not one of the " + sample_type_name(type) +
                                           " samples");
            }
            values.push_back(sample);
        }
    };
    TableShape shape;
    if (type == SampleType::float32) {
        shape =
            read_table(in, std::function<void(std::span<const float>)>(take), {}, like.channels);
    } else {
        shape =
            read_table(in, std::function<void(std::span<const double>)>(take), {}, like.channels);
    }
    ImageInfo info = image_kind(like.channels);
    info.width = shape.width;
    info.height = shape.height;
    info.max_value = 65535;
    info.sample_type = type;
    return Image(info, std::move(values));
}

Image image_like(Input& in, const ImageInfo& like) {
    if (like.channels < 1 || like.channels > 4)
        throw Error(in.name(), std::to_string(like.channels) + " channels: 1 to 4 are possible");
    return like.real() ? real_image_of(in, like) : image_of(in, like.max_value, like.channels);
}

}  // namespace

std::string table_text(const Image& image, TableStyle style) {
    std::string table;
    format_table(image, style, [&](std::string_view text) { table += text; });
    return table;
}

void write_table(const std::string& path, const Image& image, TableStyle style) {
    OutputFile out(path);
    format_table(image, style, [&](std::string_view text) { out.write(text); });
    out.commit();
}

Image read_table(const std::string& path, std::int32_t max_value) {
    return read_table(path, max_value, 1);
}

Image read_table(const std::string& path, std::int32_t max_value, int channels) {
    Input in(path);
    Image image = image_of(in, max_value, channels);
    in.close();
    return image;
}

Image read_table(std::span<const std::uint8_t> text, const std::string& name,
                 std::int32_t max_value) {
    return read_table(text, name, max_value, 1);
}

Image read_table(const std::string& path, const ImageInfo& like) {
    Input in(path);
    Image image = image_like(in, like);
    in.close();
    return image;
}

Image read_table(std::span<const std::uint8_t> text, const std::string& name,
                 const ImageInfo& like) {
    Input in(text, name);
    return image_like(in, like);
}

Image read_table(std::span<const std::uint8_t> text, const std::string& name,
                 std::int32_t max_value, int channels) {
    Input in(text, name);
    return image_of(in, max_value, channels);
}

void convert_image_to_table(const std::string& image_path, const std::string& table_path,
                            TableStyle style) {
    Input in(image_path);
    image_to_table(in, table_path, style);
}

void convert_table_to_image(const std::string& table_path, const std::string& image_path,
                            std::int32_t max_value) {
    Input in(table_path);
    table_to_image(in, image_path, max_value);
}

void convert_table_to_image(const std::string& table_path, const std::string& image_path,
                            std::int32_t max_value, int channels, FileType type) {
    if (channels < 1 || channels > 4)
        throw Error(table_path, std::to_string(channels) + " channels: 1 to 4 are possible");
    Input in(table_path);
    table_to_image(in, image_path, max_value, channels, type);
}

}  // namespace lumtab
