// Writing images a run of samples at a time, once their size is known: Netpbm
// (PFM too) by lumtab's own writers, PNG and TIFF through libpng and libtiff.
#pragma once

#include <lumtab/image.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace lumtab {

// Where an encoder's bytes go.
struct Destination {
    std::string name;                                  // the file's, for messages
    std::function<void(std::span<const char>)> write;  // appends
    // Writes at an offset: over bytes written before, or past them (what lies
    // between is zeros until written), never moving where `write` appends; null
    // where the destination cannot be written over (a pipe).
    std::function<void(std::uint64_t offset, std::span<const char>)> write_at;
};

class OutputFile;

// An output file as a destination: written over where it can be.
Destination destination(OutputFile& out);

class Encoder {
  public:
    virtual ~Encoder() = default;

    // Writes the next samples: width × channels a row, rows from the top, each
    // pixel's samples in turn. Throws Error, naming the file, for a sample above
    // the maximum value (by its row and column), more samples than the image has,
    // or a failure to write.
    void write(std::span<const std::uint8_t> samples);
    void write(std::span<const std::uint16_t> samples);
    // The samples of an image of another type than uint, each one the type holds.
    void write(std::span<const double> samples);
    // Ends the image; throws Error if samples are missing.
    void finish();

    // Bands of rows from all over the image, each band whole rows of samples,
    // given before the first sample: an encoder that chooses how to compress on
    // the image's first rows chooses on these instead. Unsigned samples only.
    virtual void sample(const std::vector<std::vector<std::uint16_t>>& bands) { (void)bands; }

  protected:
    Encoder(std::string name, const ImageInfo& info) : name_(std::move(name)), info_(info) {}

    // The samples, checked and counted.
    virtual void put(std::span<const std::uint8_t> samples) = 0;
    virtual void put(std::span<const std::uint16_t> samples) = 0;
    // By default, a refusal: the formats that hold no other type refuse the image
    // when they are opened.
    virtual void put(std::span<const double> samples);
    virtual void end() = 0;

    const std::string name_;
    const ImageInfo info_;

  private:
    template <typename Sample>
    void check(std::span<const Sample> samples);
    // Throws Error naming sample `index` of the image by its row and column.
    [[noreturn]] void refuse_sample(std::uint64_t index, const std::string& value,
                                    const std::string& problem) const;

    std::uint64_t written_ = 0;
};

// The encoder of an image as `info` says, its format among them: binary or plain
// PGM, PPM or PAM, PNG or TIFF (8 or 16 bits a sample by the maximum value, the
// values as they are), PFM. Throws Error naming the destination: what the format cannot
// hold, a library that cannot be loaded, a build without it.
std::unique_ptr<Encoder> open_encoder(const ImageInfo& info, const std::string& comment,
                                      Destination to);

// PFM, of 32-bit floating-point samples, grey or RGB; it holds no comment.
std::unique_ptr<Encoder> open_pfm_encoder(const ImageInfo& info, Destination to);

// Throws what open_encoder would throw for an image of `kind`'s format, channels
// and samples, whatever its size, naming `name`: so that what cannot be written
// is refused before anything is read for it.
void check_encoder(const ImageInfo& kind, const std::string& comment, const std::string& name);

// PNG and TIFF, where this build writes them.
std::unique_ptr<Encoder> open_png_encoder(const ImageInfo& info, const std::string& comment,
                                          Destination to);
std::unique_ptr<Encoder> open_tiff_encoder(const ImageInfo& info, const std::string& comment,
                                           Destination to);

}  // namespace lumtab
