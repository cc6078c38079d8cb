// A table back into an image, read in runs of text parsed on two threads.
#include <algorithm>
#include <optional>

#include "io/input.h"
#include "io/output_file.h"
#include "io/temporary_file.h"
#include "table/convert.h"
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

}  // namespace

void table_to_image(Input& in, const std::string& out_name, std::int32_t max_value, int channels,
                    FileType type, const ProgressReport& progress) {
    std::optional<OutputFile> out;
    open_output(out, out_name);
    const ImageInfo kind = image_kind(channels, type);
    if (type == FileType::netpbm) {
        GrowingImage image(*out, " from " + in.name(), max_value, kind);
        read_into(image, in, max_value, channels, progress);
    } else {
        SpooledImage image(*out, "from " + in.name(), max_value, kind, spool_directory(out_name));
        read_into(image, in, max_value, channels, progress);
    }
    out->commit();
}

}  // namespace lumtab
