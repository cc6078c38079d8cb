// The image a table is read back into: written as its samples come, row after row,
// though its height and (unless given) its maximum value are known only at its end.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <lumtab/image.h>

namespace lumtab {

class OutputFile;

// A binary image whose raster grows a run of samples at a time. A small raster is
// held and written after its header at the end. So is any raster where the output
// cannot be written over (standard output, a device, a FIFO), which then takes the
// raster's size in memory. Otherwise, once the raster outgrows what is held, it is
// written as it comes after a header with room for any size, which is written over
// at the end: memory stays a few MiB whatever the size.
class GrowingImage {
  public:
    // Samples above `max_value` are the caller's to refuse; with `max_value` 0, the
    // image's maximum value is 255 if every sample fits in one byte, else 65535.
    // `kind` gives the format (binary PGM, PPM or PAM), channels and tuple type.
    GrowingImage(OutputFile& out, std::string comment, std::int32_t max_value,
                 const ImageInfo& kind);
    ~GrowingImage();

    // Adds the next samples; throws Error if they cannot be written.
    void append(std::span<const std::uint16_t> samples);

    // Writes what is left, the header last; the samples appended must be width ×
    // height × channels. Throws Error. The output is the caller's to commit.
    void finish(std::int32_t width, std::int32_t height);

  private:
    class HeldRaster;

    void start_writing();
    void write_raster(std::span<const std::uint16_t> samples);
    void widen();
    std::int32_t max_value() const;

    OutputFile& out_;
    std::string comment_;
    ImageInfo kind_;
    std::int32_t given_max_value_;
    bool wide_;
    std::unique_ptr<HeldRaster> held_;  // until written
    std::uint64_t header_size_ = 0;     // once written: the room for the header
    std::uint64_t written_ = 0;         // bytes of raster written
};

}  // namespace lumtab
