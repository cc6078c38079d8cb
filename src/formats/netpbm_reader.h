// Reading Netpbm images, all of them: PBM (P1, P4), PGM (P2, P5), PPM (P3, P6) and
// PAM (P7). A binary raster holds one byte a sample when the maximum value is at
// most 255 and two bytes, most significant first, above it; a plain one holds the
// samples as decimal text; a bitmap a bit (P4) or a digit (P1) a pixel. The
// samples of an image are width × height × channels, row by row from the top,
// each row left to right, each pixel's channels in turn.
#pragma once

#include <lumtab/error.h>
#include <lumtab/image.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "formats/decoder.h"
#include "text/text_run.h"

namespace lumtab {

class Input;

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
class NetpbmReader : public Decoder {
  public:
    // Reads the header, up to the first byte of the raster.
    explicit NetpbmReader(Input& in);

    const ImageInfo& info() const override { return info_; }
    NetpbmReader* netpbm() override { return this; }
    // Whether the samples are decimal text (P2, P3): take_text and parse_text then
    // read them apart, so that they may be parsed on another thread.
    bool decimal_text() const {
        return info_.format == Format::pgm_plain || info_.format == Format::ppm_plain;
    }

    // Reads the next samples into `out`, as many as fit before the image ends, and
    // returns how many. The 8-bit form needs a maximum value of at most 255 (a
    // caller's fault, which aborts).
    std::size_t read(std::span<std::uint8_t> out) override;
    std::size_t read(std::span<std::uint16_t> out) override;

    // Decimal text only: takes the text of the next samples, at most `most`, into
    // `text`, and returns how many: whole pixels, unless the image ends first; 0 at
    // the end of the image, unless text.fault says why the text ended. The samples
    // count as read.
    std::size_t take_text(PlainText& text, std::size_t most);
    // Parses the samples of `text` into `out`, text.count of them, writing up to
    // simd::kWritesPast bytes past them. Throws Error at a fault in them, then at
    // text.fault. Safe on any thread.
    void parse_text(const PlainText& text, std::span<std::uint8_t> out) const;
    void parse_text(const PlainText& text, std::span<std::uint16_t> out) const;

    // How many samples have been read.
    std::uint64_t samples_read() const { return read_; }

  private:
    std::size_t read_binary(std::span<std::uint8_t> bytes, int sample_size);
    template <typename Sample>
    std::size_t read_plain(std::span<Sample> out);
    template <typename Sample>
    std::size_t read_bits(std::span<Sample> out);
    template <typename Sample>
    std::size_t read_digits(std::span<Sample> out);
    template <typename Sample>
    std::size_t read_samples(std::span<Sample> out);

    Input& in_;
    ImageInfo info_;
    std::uint64_t read_ = 0;
    std::unique_ptr<PlainText> text_;  // for read_plain
    std::uint64_t bitmap_bytes_ = 0;   // of a P4 raster, read so far
};

// The bytes of a P4 raster: a bit a pixel, each row padded to a byte.
std::uint64_t bitmap_bytes(const ImageInfo& info);

// The fault in sample `index` of an image, by its pixel's row and column:
// "`what` at row R, column C `problem`".
Error sample_fault(const std::string& name, const ImageInfo& info, std::uint64_t index,
                   const std::string& what, const std::string& problem);

// "truncated raster: found `found` of `needed` `unit`".
std::string truncated_raster(std::uint64_t found, std::uint64_t needed, const char* unit);

}  // namespace lumtab
