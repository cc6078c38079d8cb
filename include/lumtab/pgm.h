// The PGM module's first functions, kept for the programs written against them.
// Unlike the rest of the library, they report a failure themselves: one line on
// standard error, then the end of the process with status 1.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "export.h"

// Reads the 8-bit image `file_name` into `pixels`, `width` and `height` and returns its
// maximum grey value. Prints one line and ends the process with status 1 if the file
// cannot be opened or is not a PGM image with all of its pixels in one byte each.
LUMTAB_API int read_pgm(const std::string& file_name, std::vector<std::uint8_t>& pixels,
                        std::int32_t& width, std::int32_t& height);

// Writes `pixels` as the image `file_name`, with `comment` on lines of its own after
// the magic number. The file appears whole or not at all. If it cannot be created,
// prints "Unable to open file: NAME" without a line feed and ends the process with
// status 1; on any other failure, including pixels fewer than width × height, a
// maximum value outside 1 to 255 or a pixel above it, prints one line and ends the
// process with status 1.
LUMTAB_API void write_pgm(const std::string& file_name, std::span<const std::uint8_t> pixels,
                          std::int32_t width, std::int32_t height, std::int32_t max_value,
                          const std::string& comment);

// Writes `samples` as the binary image `file_name` with one or two bytes a sample,
// as its maximum value (1 to 65535) asks. Like write_pgm, prints one line and ends
// the process with status 1 on failure, a sample above the maximum value included.
LUMTAB_API void write_pgm_16(const std::string& file_name, std::span<const std::uint16_t> samples,
                             std::int32_t width, std::int32_t height, std::int32_t max_value,
                             const std::string& comment);
