// Writing Netpbm images, PGM, PPM and PAM: the header, and the raster binary or
// plain, to any sink of bytes.
#pragma once

#include <lumtab/image.h>

#include "formats/encoder.h"

#include <cstdint>
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

// Writes an image's raster as its format says, a run of samples at a time, after
// the header it writes at once.
class NetpbmWriter : public Encoder {
  public:
    // Throws what netpbm_header throws.
    NetpbmWriter(const ImageInfo& info, const std::string& comment, Destination to);

  private:
    void put(std::span<const std::uint8_t> samples) override { put_samples(samples); }
    void put(std::span<const std::uint16_t> samples) override { put_samples(samples); }
    void end() override {}
    template <typename Sample>
    void put_samples(std::span<const Sample> samples);

    Destination to_;
    std::uint64_t written_ = 0;
};

}  // namespace lumtab
