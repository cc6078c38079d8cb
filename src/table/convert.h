// The conversions both ways, in constant memory: an image into its table, and a
// table back into an image.
#pragma once

#include <lumtab/table.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace lumtab {

class Input;

// Told how far a conversion has come: `done` of `total` (samples of an image, or
// bytes of a table); a total of 0 where it cannot be known. Called in turn.
using ProgressReport = std::function<void(std::uint64_t done, std::uint64_t total)>;

// How a table lays out an image: a line a row, or with `coordinates` a line a
// pixel, its column and row first; with `header`, after a line naming its columns.
struct TableLayout {
    bool coordinates = false;
    bool header = false;
};

// Writes the image read from `in` as a table in `style` to the file `out`, or to
// standard output for "-": of each pixel, what `channel` says (see
// select_channels: "" for its grey sample or its colour's luminance). The output
// is opened once the image's header has been read, and a file appears only when
// complete. Throws Error.
void image_to_table(Input& in, const std::string& out, TableStyle style,
                    const TableLayout& layout = {}, std::string_view channel = "",
                    const ProgressReport& progress = {});

// Writes the table read from `in`, `channels` interleaved values a pixel, as an
// image of `type` to the file `out` (or "-"): for Netpbm, a binary PGM for 1
// channel, PPM for 3, PAM for 2 (GRAYSCALE_ALPHA) and 4 (RGB_ALPHA). The maximum
// value is `max_value`, or if it is 0, 255 when every value fits in 8 bits and
// 65535 otherwise; a PNG or TIFF holds 8 or 16 bits a sample as it says. The
// output is opened first; a file appears only when complete. Throws Error.
void table_to_image(Input& in, const std::string& out, std::int32_t max_value, int channels = 1,
                    FileType type = FileType::netpbm, const ProgressReport& progress = {});

// What table_to_image is asked to write.
struct ImageRequest {
    std::int32_t max_value = 0;  // 0: chosen by the values
    int channels = 1;
    FileType type = FileType::netpbm;
    // The values are decimals read into 32-bit floating-point samples (the
    // maximum value aside), written as PFM (Netpbm's) or TIFF.
    bool floating = false;
    // The table is one of coordinates, as read_coordinates reads it.
    bool coordinates = false;
};
void table_to_image(Input& in, const std::string& out, const ImageRequest& request,
                    const ProgressReport& progress = {});

// The image table_to_image writes for `channels` as `type`: its format and tuple type.
ImageInfo image_kind(int channels, FileType type = FileType::netpbm);

}  // namespace lumtab
