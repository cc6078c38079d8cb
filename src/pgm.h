// PGM images: binary (magic number P5) with one byte a sample when the maximum
// value is at most 255 and two bytes, most significant first, above it; and plain
// (P2), the samples as decimal text. The samples of an image are width × height,
// row by row from the top, each row left to right.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class Input;
class OutputFile;

// Reads the 8-bit image `file_name` into `pixels`, `width` and `height` and returns its
// maximum grey value. Prints one line and ends the process with status 1 if the file
// cannot be opened or is not a PGM image with all of its pixels in one byte each.
int read_pgm(const std::string& file_name, std::vector<std::uint8_t>& pixels, std::int32_t& width,
             std::int32_t& height);

// Writes `pixels` as the image `file_name`, with `comment` on lines of its own after
// the magic number. The file appears whole or not at all. If it cannot be created,
// prints "Unable to open file: NAME" without a line feed and ends the process with
// status 1; on any other failure, including pixels fewer than width × height or a
// maximum value outside 1 to 255, prints one line and ends the process with status 1.
void write_pgm(const std::string& file_name, std::span<const std::uint8_t> pixels,
               std::int32_t width, std::int32_t height, std::int32_t max_value,
               const std::string& comment);

// What an image's header says.
struct PgmHeader {
    bool plain = false;  // P2
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t max_value = 0;

    std::uint64_t samples() const { return std::uint64_t(width) * std::uint64_t(height); }
    // Bytes a sample in a binary raster.
    int sample_size() const { return max_value > 255 ? 2 : 1; }
};

// Reads an image from `in` a block of samples at a time, in constant memory. Throws
// Error, naming the input, at anything wrong with it.
class PgmReader {
  public:
    // Reads the header, up to the first byte of the raster.
    explicit PgmReader(Input& in);

    const PgmHeader& header() const { return header_; }

    // Reads the next samples into `out`, as many as fit before the image ends, and
    // returns how many. The 8-bit form needs a maximum value of at most 255.
    std::size_t read(std::span<std::uint8_t> out);
    std::size_t read(std::span<std::uint16_t> out);

    // How many samples have been read.
    std::uint64_t samples_read() const { return read_; }

  private:
    std::size_t read_binary(std::span<std::uint8_t> bytes, int sample_size);
    template <typename Sample>
    std::size_t read_plain(std::span<Sample> out);
    // Takes the samples in the 64 bytes at `p` into `out` from `count` on, if those
    // bytes are digits and whitespace alone; false where a byte at a time must do.
    template <typename Sample>
    bool take_chunk(const std::uint8_t*& p, bool& inside_sample, std::span<Sample> out,
                    std::size_t& count);
    // Takes the sample at `p` and moves `p` past it.
    std::uint32_t take_sample(const std::uint8_t*& p, const std::uint8_t* end) const;
    // Refuses the sample being read: "`what` at row R, column C `problem`".
    [[noreturn]] void refuse_sample(const std::string& what, const std::string& problem) const;

    Input& in_;
    PgmHeader header_;
    std::uint64_t read_ = 0;
};

// The header of a binary image as written: magic number, `comment` on "#" lines
// (every line feed or carriage return in it starts a new one), width and height,
// maximum value. Throws Error, naming `file_name`, for a negative size, a maximum
// value outside 1 to 65535 or a comment that holds a NUL byte.
std::string pgm_header(const std::string& file_name, const PgmHeader& header,
                       const std::string& comment);

// Writes 16-bit `samples` to `out` as a binary raster does: most significant byte first.
void write_samples_16(OutputFile& out, std::span<const std::uint16_t> samples);

// Writes `samples` as the binary image `file_name` with one or two bytes a sample,
// as its maximum value (1 to 65535) asks. Like write_pgm, prints one line and ends
// the process with status 1 on failure.
void write_pgm_16(const std::string& file_name, std::span<const std::uint16_t> samples,
                  std::int32_t width, std::int32_t height, std::int32_t max_value,
                  const std::string& comment);
