// Images: every Netpbm format (PBM, PGM, PPM, binary and plain, PAM, and PFM's
// floating point), 8 and 16 bits, grey or colour, read whole or a block of rows at a time, and
// written all or nothing; their channels, and colour as luminance. Every function and class here is
// safe on several threads at once as long as each object is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "export.h"

namespace lumtab {

// The formats, by the file's first bytes. A binary raster holds one byte a sample up to a
// maximum value of 255, else two, most significant first; a plain one decimal text.
enum class Format {
    pgm_binary,  // P5
    pgm_plain,   // P2
    pbm_binary,  // P4: a bit a pixel, rows padded to a byte; 1 is black
    pbm_plain,   // P1: a digit 0 or 1 a pixel
    ppm_binary,  // P6: red, green and blue a pixel
    ppm_plain,   // P3
    pam,         // P7: DEPTH samples a pixel, of the TUPLTYPE its header names
    png,         // read through libpng: samples as stored, no gamma, no scaling
    tiff,        // through libtiff: the first image of the file
    jpeg,        // through libjpeg: 8 bits, grey or RGB
    pfm,         // Pf (grey) or PF (RGB): 32-bit floating point, rows from the bottom
};

// What a sample is. Netpbm, PNG and JPEG hold unsigned integers up to the maximum
// value (`uint`); a TIFF may hold the others, a PFM image 32-bit floating point.
enum class SampleType {
    uint,     // 0 to the maximum value, at most 65535
    uint32,   // 0 to 4294967295
    int8,     // -128 to 127
    int16,    // -32768 to 32767
    int32,    // -2147483648 to 2147483647
    float32,  // IEEE 754 single precision, NaN and infinities included
    float64,  // double precision
};

// What an image's header says. A PBM image is read as Netpbm reads it: maximum
// value 1, white 1 and black 0.
struct ImageInfo {
    Format format = Format::pgm_binary;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t max_value = 255;  // 1 to 65535
    int channels = 1;              // samples a pixel: 1 to 4
    // What the channels are: "GRAYSCALE", "BLACKANDWHITE", "RGB", each perhaps
    // with "_ALPHA"; a PAM image's TUPLTYPE, which may be anything, or nothing.
    std::string tuple_type = "GRAYSCALE";
    // For any type but uint, the maximum value is 65535 and means nothing.
    SampleType sample_type = SampleType::uint;

    std::uint64_t samples() const noexcept {
        return std::uint64_t(width) * std::uint64_t(height) * std::uint64_t(channels);
    }
    // Whether the samples are of another type than uint: held as doubles.
    bool real() const noexcept { return sample_type != SampleType::uint; }
    // Whether an unsigned sample takes two bytes: a maximum value above 255.
    bool wide() const noexcept { return !real() && max_value > 255; }
};

// The bits a sample of `type` takes: 8 or 16 for uint as `max_value` says, else
// the type's own.
LUMTAB_API int sample_bits(SampleType type, std::int32_t max_value = 65535);

// An image in memory: width × height pixels of `channels` samples each, row by row
// from the top, each row left to right, each pixel's samples in turn. An unsigned
// sample is held in one byte where the maximum value is at most 255, else in two;
// a sample of any other type as a double, which holds each exactly.
class LUMTAB_API Image {
  public:
    Image() = default;
    // An image of `width` × `height` pixels, every sample 0: grey for one channel,
    // grey and alpha for 2, RGB for 3, RGB and alpha for 4. Throws Error (naming
    // "image") for a negative width or height, a maximum value outside 1 to 65535
    // or channels outside 1 to 4, std::bad_alloc where it does not fit in memory.
    Image(std::int32_t width, std::int32_t height, std::int32_t max_value = 255, int channels = 1);
    // An image as `info` says (its format aside), holding `samples`. Throws Error as
    // above, and where there are not width × height × channels samples or one is
    // above the maximum value.
    Image(const ImageInfo& info, std::vector<std::uint8_t> samples);
    Image(const ImageInfo& info, std::vector<std::uint16_t> samples);
    // An image of samples of info.sample_type, any but uint, held as doubles.
    // Throws Error as above, and for a sample the type cannot hold: out of its
    // range, a fraction for an integer type, a double of more precision than a
    // float for float32.
    Image(const ImageInfo& info, std::vector<double> samples);

    const ImageInfo& info() const noexcept { return info_; }
    std::int32_t width() const noexcept { return info_.width; }
    std::int32_t height() const noexcept { return info_.height; }
    std::int32_t max_value() const noexcept { return info_.max_value; }
    int channels() const noexcept { return info_.channels; }
    // How many samples: width × height × channels.
    std::size_t size() const noexcept { return static_cast<std::size_t>(info_.samples()); }
    bool wide() const noexcept { return info_.wide(); }

    // The samples of an image whose maximum value is at most 255; empty otherwise.
    std::span<std::uint8_t> samples8() noexcept { return narrow_; }
    std::span<const std::uint8_t> samples8() const noexcept { return narrow_; }
    // The samples of an image whose maximum value is above 255; empty otherwise.
    std::span<std::uint16_t> samples16() noexcept { return wide_; }
    std::span<const std::uint16_t> samples16() const noexcept { return wide_; }
    // The samples of an image of another type than uint; empty otherwise. What is
    // stored in them must be what the type holds.
    std::span<double> values() noexcept { return real_; }
    std::span<const double> values() const noexcept { return real_; }

    // Sample `channel` of the pixel in column `x` and row `y` of an image of any
    // type. Unchecked, like operator[].
    double value(std::int32_t x, std::int32_t y, int channel = 0) const noexcept {
        std::size_t i = index(x, y, channel);
        return info_.real() ? real_[i] : wide() ? wide_[i] : narrow_[i];
    }

    // Sample `channel` of the pixel in column `x` and row `y`, counted from 0, of
    // an image of unsigned samples. Unchecked, like operator[].
    std::uint16_t at(std::int32_t x, std::int32_t y, int channel = 0) const noexcept {
        std::size_t i = index(x, y, channel);
        return wide() ? wide_[i] : narrow_[i];
    }
    void set(std::int32_t x, std::int32_t y, std::uint16_t value, int channel = 0) noexcept {
        std::size_t i = index(x, y, channel);
        if (wide()) {
            wide_[i] = value;
        } else {
            narrow_[i] = static_cast<std::uint8_t>(value);
        }
    }

    // What an image read was, or is to be written as.
    void set_format(Format format) noexcept { info_.format = format; }

    // Whether both have the same size, maximum value (for unsigned samples),
    // channels, sample type and samples, whatever their formats; two NaNs count as
    // the same.
    friend LUMTAB_API bool operator==(const Image& a, const Image& b) noexcept;

  private:
    std::size_t index(std::int32_t x, std::int32_t y, int channel) const noexcept {
        return (std::size_t(y) * std::size_t(info_.width) + std::size_t(x)) *
                   std::size_t(info_.channels) +
               std::size_t(channel);
    }

    ImageInfo info_{Format::pgm_binary, 0, 0, 255, 1};
    std::vector<std::uint8_t> narrow_;
    std::vector<std::uint16_t> wide_;
    std::vector<double> real_;
};

// The names of the channels of images of `info`, in order: "gray"; "gray",
// "alpha"; "red", "green", "blue"; "red", "green", "blue", "alpha". Empty for a PAM
// image of several channels whose tuple type is none of those.
LUMTAB_API std::vector<std::string> channel_names(const ImageInfo& info);

// The luminance of a colour image: (299 R + 587 G + 114 B) / 1000 of its samples,
// rounded to the nearest whole number (halves up), computed exactly in integers;
// an image of one channel with the same maximum value. A grey image gives its
// grey channel, alpha aside. Throws Error for channels without names.
LUMTAB_API Image luminance(const Image& image);
// Channel `index`, counted from 0, of `image`, as an image of one channel. Throws
// Error where there is no such channel.
LUMTAB_API Image channel(const Image& image, int index);

// Reads the whole image in the file `path`. Throws Error naming `path`: it
// cannot be opened ("Unable to open file: PATH"), is not an image lumtab reads,
// or is malformed (the problem names a sample's row and column where it can);
// std::bad_alloc where the image does not fit in memory, though a header's claim
// alone never makes it allocate more than the file holds.
LUMTAB_API Image read_image(const std::string& path);
// The same from the open descriptor `fd` (a file, pipe or socket), named `name` in
// messages. The descriptor stays open; where it is a regular file, its offset is
// left just past the image, so that images that follow one another can be read
// (a TIFF, whose parts may lie anywhere, takes all that is left).
LUMTAB_API Image read_image(int fd, const std::string& name);
// The same from bytes in memory.
LUMTAB_API Image read_image(std::span<const std::uint8_t> bytes, const std::string& name);

// The kinds of file write_image and ImageWriter write.
enum class FileType {
    netpbm,  // PGM for one channel, PPM for RGB, PAM for the others; PFM for 32-bit
             // floating point, grey or RGB
    png,     // through libpng: grey, grey and alpha, RGB, RGBA
    tiff,    // through libtiff: one image in strips, deflate (Adobe), as PNG's channels;
             // samples of every type
};

// How an image is written. PNG and TIFF hold an unsigned sample in 8 bits where
// the maximum value is at most 255, else in 16, the values as they are; TIFF
// holds the other types in their own bits and sample format.
struct WriteOptions {
    bool plain = false;   // Netpbm only: the samples in decimal (P2, P3); else binary
    std::string comment;  // on "#" lines of its own after the magic number; a PNG's
                          // Comment text, a TIFF's ImageDescription
    FileType type = FileType::netpbm;
};

// The file type that the name `path` asks for by its ending, case aside: ".png"
// PNG; ".tif", ".tiff" TIFF; anything else Netpbm.
LUMTAB_API FileType file_type_of(std::string_view path);

// What the name of the file that write_image writes of an image of `info` as
// `type` ends with: "pgm" for one channel, "ppm" for RGB, "pam" for the others,
// "pfm" for 32-bit floating point; "png"; "tif".
LUMTAB_API std::string_view image_suffix(const ImageInfo& info, FileType type = FileType::netpbm);

// Writes `image` as a file named `path`, of the type options.type says (Netpbm
// unless it says otherwise, whatever the name). The file appears only once
// complete, replacing any file of that name with its permissions; until then, and
// if this fails, a file of that name stays as it was. Throws Error naming `path`:
// a sample above the maximum value (named by its row and column), a comment with
// a NUL byte, a plain PAM, PFM, PNG or TIFF image, an image 0 pixels wide or high
// as PNG or TIFF, samples of a type the file type does not hold, a build without
// the image libraries, a system error.
LUMTAB_API void write_image(const std::string& path, const Image& image,
                            const WriteOptions& options = {});
// The same to the open descriptor `fd` (a file, pipe or socket), named `name` in
// messages, from where it stands; written as the bytes come, so that nothing can
// be withdrawn. A TIFF, whose directory comes last, is held in a scratch file
// first where the descriptor is no regular file. The descriptor stays open.
LUMTAB_API void write_image(int fd, const std::string& name, const Image& image,
                            const WriteOptions& options = {});
// The bytes of that file, in memory.
LUMTAB_API std::vector<std::uint8_t> write_image(const Image& image,
                                                 const WriteOptions& options = {});

// Reads an image a block of rows at a time, in constant memory whatever its size:
// from a file, a descriptor or bytes in memory, as read_image does, and throwing
// what it throws.
class LUMTAB_API ImageReader {
  public:
    // Opens the input and reads the header.
    explicit ImageReader(const std::string& path);
    ImageReader(int fd, const std::string& name);
    ImageReader(std::span<const std::uint8_t> bytes, const std::string& name);
    ~ImageReader();
    ImageReader(ImageReader&&) noexcept;
    ImageReader& operator=(ImageReader&&) noexcept;

    const ImageInfo& info() const noexcept;

    // Reads as many whole rows as fit in `out` (width × channels samples a row)
    // and returns how many, 0 once the image is read. The 8-bit form needs a
    // maximum value of at most 255, the 8- and 16-bit forms unsigned samples; the
    // double form takes every type. Throws Error at a fault in those rows.
    std::int32_t read_rows(std::span<std::uint8_t> out);
    std::int32_t read_rows(std::span<std::uint16_t> out);
    std::int32_t read_rows(std::span<double> out);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Writes a PGM, PPM, PAM, PFM, PNG or TIFF image a row at a time, in constant memory,
// to a file that appears only once finish() has written it whole; without
// finish(), nothing is left.
class LUMTAB_API ImageWriter {
  public:
    // Opens the file and writes the header of an image as `info` says: its format
    // (P5, P2, P6, P3, P7, png, tiff or pfm: a binary Netpbm one for an image of
    // 32-bit floating point, grey or RGB, is pfm), size, maximum value, channels,
    // tuple type and sample type. Throws Error naming `path`.
    ImageWriter(const std::string& path, const ImageInfo& info, const std::string& comment = "");
    ~ImageWriter();
    ImageWriter(ImageWriter&&) noexcept;
    ImageWriter& operator=(ImageWriter&&) noexcept;

    // Writes the next row: width × channels samples. Throws Error for a row of
    // another size,
    // a row past the last, or a sample above the maximum value.
    void write_row(std::span<const std::uint8_t> row);
    void write_row(std::span<const std::uint16_t> row);
    // The row of an image of another sample type than uint, each sample one the
    // type holds.
    void write_row(std::span<const double> row);
    // Puts the file in place once every row is written; throws Error otherwise.
    void finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lumtab
