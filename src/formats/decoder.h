// Any image lumtab reads, a block of samples at a time: Netpbm (PFM too) by
// readers of its own, PNG, TIFF and JPEG through the libraries made for them.
// The file's first bytes decide, never its name.
#pragma once

#include <lumtab/image.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace lumtab {

class Input;
class NetpbmReader;

class Decoder {
  public:
    virtual ~Decoder() = default;

    // What the image's header says. Its samples are width × height × channels,
    // row by row from the top, each row left to right, each pixel's in turn.
    virtual const ImageInfo& info() const = 0;

    // Reads the next samples into `out`, as many as fit before the image ends, and
    // returns how many. The 8-bit form needs a maximum value of at most 255.
    // Throws Error at a fault in them.
    virtual std::size_t read(std::span<std::uint8_t> out) = 0;
    virtual std::size_t read(std::span<std::uint16_t> out) = 0;
    // Any image's samples, as doubles: those of another type than uint, for which
    // the forms above are not; by default, unsigned samples read and widened.
    virtual std::size_t read(std::span<double> out);

    // The Netpbm reader, whose plain images may be parsed apart; or null.
    virtual NetpbmReader* netpbm() { return nullptr; }
};

// What an image that must be held whole (an interlaced PNG, a JPEG in several
// scans) may take: 64 times what is left of its file, and at least
// kLeastHeldWhole, which is all that an input of unknown size (a pipe) may have.
constexpr std::uint64_t kLeastHeldWhole = 256ull << 20;
std::uint64_t most_held_whole(const Input& in);

// Throws Error for an image held whole, `what` ("PNG: an interlaced image"), that
// would take `bytes`, more than `most`: saying how much it needs.
[[noreturn]] void refuse_held_whole(const Input& in, const std::string& what, std::uint64_t bytes,
                                    std::uint64_t most);

// The decoder of the image that `in` holds, its header read. Throws Error, naming
// the input: not an image lumtab reads, a malformed header, a library that cannot
// be loaded.
std::unique_ptr<Decoder> open_decoder(Input& in);

// PFM, Netpbm's floating-point images: "PF" or "Pf" and whitespace.
std::unique_ptr<Decoder> open_pfm(Input& in);

// PNG, TIFF and JPEG, where this build reads them.
std::unique_ptr<Decoder> open_png(Input& in);
std::unique_ptr<Decoder> open_tiff(Input& in);
std::unique_ptr<Decoder> open_jpeg(Input& in);

}  // namespace lumtab
