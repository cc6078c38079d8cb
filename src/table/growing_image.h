// The image a table is read back into: its samples come row after row, though its
// height and (unless given) its maximum value are known only at its end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <lumtab/image.h>

#include "io/temporary_file.h"

namespace lumtab {

class OutputFile;

// The bytes of a binary Netpbm raster as its samples come: one byte a sample while
// every one fits (unless a maximum value above 255 is given), else two, most
// significant first. Held in memory up to a few MiB; once moved to a file, written
// there as it comes, and widened there where it must be.
class GrowingRaster {
  public:
    // Where a raster goes once it outgrows memory: a file to write at and read back
    // from, from `base` on.
    struct File {
        std::function<void(std::uint64_t, std::span<const char>)> write_at;
        std::function<void(std::uint64_t, std::span<char>)> read_at;
        std::uint64_t base = 0;
    };

    // What a raster may hold in memory before, where it can, it goes to a file.
    static constexpr std::size_t kHeldMost = 4 << 20;

    // With `max_value` 0, the maximum value is 255 while every sample fits in a
    // byte, else 65535.
    explicit GrowingRaster(std::int32_t max_value);
    // A raster of 32-bit floating-point samples, four bytes each in this
    // machine's order.
    struct Floating {};
    explicit GrowingRaster(Floating);
    ~GrowingRaster();

    void append(std::span<const std::uint16_t> samples);
    void append(std::span<const float> samples);
    std::int32_t max_value() const;
    bool wide() const { return wide_; }
    // The raster's bytes so far, and whether they are still held in memory.
    std::uint64_t size() const { return size_; }
    bool held() const { return held_ != nullptr; }

    // Writes what is held into `file` and whatever comes after there, a MiB at a
    // time; flush() writes what is waiting.
    void move_to(File file);
    void flush();
    // Gives the raster's bytes in order, a part at a time, each part whole samples.
    void read(const std::function<void(std::span<const char>)>& part);
    // Reads `bytes.size()` of its bytes from `offset`, which it has.
    void read_at(std::uint64_t offset, std::span<char> bytes);

  private:
    class Held;

    void write_to_file(std::span<const std::uint16_t> samples);
    void write_bytes(std::span<const char> bytes);
    void widen();

    const std::int32_t given_max_value_;
    bool wide_;
    std::unique_ptr<Held> held_;  // until moved to a file
    File file_;
    std::uint64_t size_ = 0;     // bytes of raster, those waiting included
    std::vector<char> waiting_;  // bytes not yet written to the file
};

// A binary PGM, PPM or PAM image (as `kind` says) written into `out` as its samples
// come. A small raster is held and written after its header at the end; so is any
// raster where the output cannot be written over (standard output, a device, a
// FIFO), which then takes the raster's size in memory. Otherwise, once the raster
// outgrows what is held, it is written as it comes after a header with room for
// any size, which is written over at the end: memory stays a few MiB.
class GrowingImage {
  public:
    // Samples above `max_value` are the caller's to refuse; with `max_value` 0, the
    // image's maximum value is 255 if every sample fits in one byte, else 65535.
    GrowingImage(OutputFile& out, std::string comment, std::int32_t max_value,
                 const ImageInfo& kind);

    // Adds the next samples; throws Error if they cannot be written.
    void append(std::span<const std::uint16_t> samples);

    // Writes what is left, the header last; the samples appended must be width ×
    // height × channels. Throws Error. The output is the caller's to commit.
    void finish(std::int32_t width, std::int32_t height);

  private:
    OutputFile& out_;
    std::string comment_;
    ImageInfo kind_;
    GrowingRaster raster_;
};

// A PNG, TIFF or PFM image (as `kind` says) written into `out` once its last
// sample has come: its samples are held until then, in memory up to a few MiB,
// beyond in an unnamed scratch file in `directory` (the scratch directory, as a
// rule), so that memory stays a few MiB whatever the size.
class SpooledImage {
  public:
    // With `kind` of float32 samples, the samples appended are floats, and
    // `max_value` means nothing.
    SpooledImage(OutputFile& out, std::string comment, std::int32_t max_value,
                 const ImageInfo& kind, std::string directory);

    void append(std::span<const std::uint16_t> samples);
    void append(std::span<const float> samples);
    // Encodes the image, telling `progress` how many bytes of the raster of how
    // many are encoded as it goes; throws Error. The output is the caller's to commit.
    void finish(std::int32_t width, std::int32_t height,
                const std::function<void(std::uint64_t, std::uint64_t)>& progress = {});

  private:
    OutputFile& out_;
    std::string comment_;
    ImageInfo kind_;
    std::string directory_;
    GrowingRaster raster_;
    std::optional<ScratchFile> spool_;

    void spill_if_large();
    std::vector<std::vector<std::uint16_t>> sample_bands(const ImageInfo& info);
};

}  // namespace lumtab
