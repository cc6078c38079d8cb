// Writing Netpbm images, PGM, PPM and PAM: the header, and the raster binary or
// plain, to any sink of bytes.
#pragma once

#include <lumtab/image.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace lumtab {

// The header of an image as written: magic number by its format (P5, P2, P6, P3
// or P7), `comment` on "#" lines (every line feed or carriage return in it starts
// a new one), then width, height and maximum value (and for PAM, the depth and
// tuple type). With `room_for_any_size`, the values are padded with spaces so that
// the header is as long whatever they are: a header to write over the first once
// they are known. Throws Error, naming `file_name`, for a negative size, a maximum
// value outside 1 to 65535, channels the format does not hold, or a comment that
// holds a NUL byte.
std::string netpbm_header(const std::string& file_name, const ImageInfo& info,
                          const std::string& comment, bool room_for_any_size = false);

// Stores `samples` at `out` as a binary raster holds them: two bytes each, most
// significant first.
void pack_big_endian(std::span<const std::uint16_t> samples, std::uint8_t* out);

// Writes an image's raster to `sink` as its format says, a run of samples at a
// time: checked against the maximum value and the image's size, so that a file
// written is one that every reader reads.
class NetpbmWriter {
  public:
    using Sink = std::function<void(std::span<const char>)>;

    // Writes the header at once. Throws what netpbm_header throws.
    NetpbmWriter(const std::string& file_name, const ImageInfo& info, const std::string& comment,
                 Sink sink);

    // Writes the next samples. Throws Error, naming the file, for a sample above
    // the maximum value (by its row and column) or more samples than the image has.
    void write(std::span<const std::uint8_t> samples);
    void write(std::span<const std::uint16_t> samples);
    // Throws Error if samples are missing.
    void finish() const;

  private:
    template <typename Sample>
    void write_samples(std::span<const Sample> samples);
    std::uint64_t channels() const { return static_cast<std::uint64_t>(info_.channels); }

    const std::string& file_name_;
    ImageInfo info_;
    Sink sink_;
    std::uint64_t written_ = 0;
};

}  // namespace lumtab
