// Binary greyscale PGM images (magic number P5, one byte a pixel). The pixels of an
// image are width × height bytes, row by row from the top, each row left to right.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Reads the image `file_name` into `pixels`, `width` and `height` and returns its
// maximum grey value. Prints one line and ends the process with status 1 if the file
// cannot be opened or is not a binary PGM image with all of its pixels.
int read_pgm(const std::string& file_name, std::vector<std::uint8_t>& pixels, std::int32_t& width,
             std::int32_t& height);

// Writes `pixels` as the image `file_name`, with `comment` on lines of its own after
// the magic number. The file appears whole or not at all: on failure, including
// pixels fewer than width × height or a maximum value outside 1 to 255, prints one
// line and ends the process with status 1.
void write_pgm(const std::string& file_name, std::span<const std::uint8_t> pixels,
               std::int32_t width, std::int32_t height, std::int32_t max_value,
               const std::string& comment);

// Decodes the image held in `bytes` as read_pgm does, but never ends the process:
// returns "" on success, otherwise what is wrong with the image.
std::string decode_pgm(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& pixels,
                       std::int32_t& width, std::int32_t& height, std::int32_t& max_value);
