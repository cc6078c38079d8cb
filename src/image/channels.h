// What a table shows of each pixel: its grey sample, one chosen channel, the
// luminance of its colour, or all its samples.
#pragma once

#include <lumtab/image.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lumtab {

// A choice made for one image.
struct Selection {
    enum class Kind {
        all,   // every sample of each pixel, in turn; so too an image of one channel
        one,   // the sample of `channel`
        luma,  // (299 R + 587 G + 114 B) / 1000, to the nearest, halves up (and see apply)
    };
    Kind kind = Kind::all;
    int channel = 0;
    int channels = 1;  // the image's

    // How many values a pixel gives.
    int values_per_pixel() const { return kind == Kind::all ? channels : 1; }
};

// Resolves `choice` for an image of `info` named `name`: "" for the default (the
// grey channel of a grey image, the luminance of a colour one), "all", a
// channel's name (gray, red, green, blue, alpha), "luma", or a channel's number
// from 0. Throws Error naming `name` where the image lacks it, saying what it has:
// "no red channel (channels: gray)".
Selection select_channels(const ImageInfo& info, std::string_view choice, const std::string& name);

// Whether `choice` is one select_channels may take of some image.
bool is_channel_choice(std::string_view choice);

// Stores at `out` what `selection` takes of the whole pixels in `samples`, and
// returns how many values. `out` may be `samples` itself.
std::size_t apply(const Selection& selection, std::span<const std::uint8_t> samples,
                  std::uint8_t* out);
std::size_t apply(const Selection& selection, std::span<const std::uint16_t> samples,
                  std::uint16_t* out);
// The same for samples of `type`, any but uint. The luminance of floating-point
// samples is 0.299 R + 0.587 G + 0.114 B in double, then rounded to the type's
// precision; of integers, as of unsigned samples, exactly, halves up.
std::size_t apply(const Selection& selection, std::span<const double> samples, double* out,
                  SampleType type);

// The luminance of one pixel of samples of `type`, as apply gives it.
double luma(double red, double green, double blue, SampleType type);

}  // namespace lumtab
