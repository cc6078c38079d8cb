// Tables: an image's samples as text, one line a row, every value in decimal; and
// such text read back into an image. Safe on several threads at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "export.h"
#include "image.h"

namespace lumtab {

enum class TableStyle {
    spaces,  // every value followed by a space: "0 128 255 \n"
    csv,     // commas between the values of a row: "0,128,255\n"
    tsv,     // tabs between them
};

// What a table's name ends with: "int", "csv" or "tsv".
LUMTAB_API std::string_view table_suffix(TableStyle style);

// The table of `image`: one line a row, each pixel's samples in turn.
LUMTAB_API std::string table_text(const Image& image, TableStyle style = TableStyle::spaces);

// Writes the table of `image` to the file `path`, all or nothing as write_image
// writes. Throws Error naming `path`.
LUMTAB_API void write_table(const std::string& path, const Image& image,
                            TableStyle style = TableStyle::spaces);

// Reads the table in the file `path` into an image of one channel, as lumtab -r
// reads it: a row a line, values separated by blanks or by commas, every line as
// many values as the first. With `max_value` 0, the image's maximum value is 255
// where every value fits, else 65535; a value above a `max_value` given is
// refused. Throws Error naming `path` and, for a fault, its line and column.
LUMTAB_API Image read_table(const std::string& path, std::int32_t max_value = 0);
// The same from text in memory, named `name` in messages.
LUMTAB_API Image read_table(std::span<const std::uint8_t> text, const std::string& name,
                            std::int32_t max_value = 0);
// The same for a table of `channels` interleaved values a pixel (1 to 4), as
// lumtab -r --channels reads it: the image of grey, grey and alpha, RGB, or RGB
// and alpha, a line's values divided by `channels` its width. A first line whose
// count of values is no multiple of `channels` is refused.
LUMTAB_API Image read_table(const std::string& path, std::int32_t max_value, int channels);
LUMTAB_API Image read_table(std::span<const std::uint8_t> text, const std::string& name,
                            std::int32_t max_value, int channels);
// The same for a table of the samples of an image like `like`: of its channels
// and sample type. Unsigned samples are read as above, their maximum value chosen
// by the values; floating-point ones as decimals rounded to the type's precision
// (nan, inf and -inf among them); integers of the other types with their signs.
// Throws Error for a value the type cannot hold. A table that write_table wrote
// reads back as the image it was written from, whatever its type.
LUMTAB_API Image read_table(const std::string& path, const ImageInfo& like);
LUMTAB_API Image read_table(std::span<const std::uint8_t> text, const std::string& name,
                            const ImageInfo& like);

// Converts the image in the file `image_path` into its table in the file
// `table_path`, and back, in constant memory whatever their size, on two threads
// for large files; each output appears only once complete. Throw Error.
LUMTAB_API void convert_image_to_table(const std::string& image_path, const std::string& table_path,
                                       TableStyle style = TableStyle::spaces);
LUMTAB_API void convert_table_to_image(const std::string& table_path, const std::string& image_path,
                                       std::int32_t max_value = 0);
// The same for a table of `channels` interleaved values a pixel (1 to 4), into an
// image of `type`, as lumtab -r --channels --format writes it.
LUMTAB_API void convert_table_to_image(const std::string& table_path, const std::string& image_path,
                                       std::int32_t max_value, int channels, FileType type);

}  // namespace lumtab
