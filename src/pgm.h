// PGM images: binary (magic number P5) with one byte a sample when the maximum
// value is at most 255 and two bytes, most significant first, above it; and plain
// (P2), the samples as decimal text. The samples of an image are width × height,
// row by row from the top, each row left to right.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "text_run.h"

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

// The text of a run of a plain image's samples. Parsing it is where plain images
// spend their time, so the text is taken from the input in turn and each run is
// then parsed on its own, on any thread.
struct PlainText {
    TextRun run;
    std::uint64_t first = 0;     // the image's index of its first sample
    std::size_t count = 0;       // its samples
    std::optional<Error> fault;  // what ended the text early: reported after its samples
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

    // A plain image only: takes the text of the next samples, at most `most`, into
    // `text`, and returns how many; 0 at the end of the image, unless text.fault says
    // why the text ended. The samples count as read.
    std::size_t take_text(PlainText& text, std::size_t most);
    // Parses the samples of `text` into `out`, text.count of them. Throws Error at
    // a fault in them, then at text.fault. Safe on any thread.
    void parse_text(const PlainText& text, std::span<std::uint8_t> out) const;
    void parse_text(const PlainText& text, std::span<std::uint16_t> out) const;

    // How many samples have been read.
    std::uint64_t samples_read() const { return read_; }

  private:
    std::size_t read_binary(std::span<std::uint8_t> bytes, int sample_size);
    template <typename Sample>
    std::size_t read_plain(std::span<Sample> out);

    Input& in_;
    PgmHeader header_;
    std::uint64_t read_ = 0;
    std::unique_ptr<PlainText> text_;  // for read_plain
};

// The header of a binary image as written: magic number, `comment` on "#" lines
// (every line feed or carriage return in it starts a new one), width and height,
// maximum value. With `room_for_any_size`, the values are padded with spaces so
// that the header is as long whatever they are: a header to write over the first
// once they are known. Throws Error, naming `file_name`, for a negative size, a
// maximum value outside 1 to 65535 or a comment that holds a NUL byte.
std::string pgm_header(const std::string& file_name, const PgmHeader& header,
                       const std::string& comment, bool room_for_any_size = false);

// Stores `samples` at `out` as a binary raster holds them: two bytes each, most
// significant first.
void pack_big_endian(std::span<const std::uint16_t> samples, std::uint8_t* out);

// Writes 16-bit `samples` to `out` as a binary raster does.
void write_samples_16(OutputFile& out, std::span<const std::uint16_t> samples);

// Writes `samples` as the binary image `file_name` with one or two bytes a sample,
// as its maximum value (1 to 65535) asks. Like write_pgm, prints one line and ends
// the process with status 1 on failure.
void write_pgm_16(const std::string& file_name, std::span<const std::uint16_t> samples,
                  std::int32_t width, std::int32_t height, std::int32_t max_value,
                  const std::string& comment);
