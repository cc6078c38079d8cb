// The table's text: one line a row, the samples in decimal. In the default style
// every value is followed by a space ("%d "); CSV and TSV put a comma or a tab
// between the values of a row and nothing after the last.
#pragma once

#include <lumtab/table.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumtab {

// The most bytes a sample's text takes: five digits, a separator, and a line feed
// at the end of its row; for a sample of another type than uint, a double's
// shortest decimal of 24 characters ("-2.2250738585072014e-308") or an integer's
// of 11, then the same.
constexpr std::size_t kMostTextPerSample = 7;
constexpr std::size_t kMostTextPerRealSample = 26;
constexpr std::size_t kRealScratch = 32;

// Writes the shortest decimal that reads back as `value`, a sample of `type` (any
// but uint): for float32 a float's, for float64 a double's, for the integer types
// the integer; NaN as "nan", the infinities as "inf" and "-inf". Returns the end;
// writes at most 24 bytes of text, and over kRealScratch bytes on the way.
char* put_real(double value, SampleType type, char* out);

// Formats samples into table text, row after row.
class TableFormatter {
  public:
    // Formats rows of `width` values, from column `column` (0 for a row's start) on.
    TableFormatter(TableStyle style, std::int64_t width, std::int64_t column = 0);

    // The most text that `samples` samples can take, line feeds included: unsigned
    // ones, or `real` ones.
    static constexpr std::size_t max_text_size(std::size_t samples, bool real = false) {
        return (real ? kMostTextPerRealSample : kMostTextPerSample) * samples + 8 +
               (real ? kRealScratch : 0);
    }

    // Writes the text of the next `samples` to `out`, which holds at least
    // max_text_size(samples.size()) bytes, and returns the end of the text. Rows
    // of width 0 have no samples: their line feeds are the caller's to write.
    char* format(std::span<const std::uint8_t> samples, char* out);
    char* format(std::span<const std::uint16_t> samples, char* out);
    // The same for samples of `type`, any but uint, which `out` has room for as
    // max_text_size(samples.size(), true) says.
    char* format(std::span<const double> samples, SampleType type, char* out);

  private:
    template <typename Sample>
    char* format_samples(std::span<const Sample> samples, const std::uint64_t* entries, char* out);
    template <typename Put>
    char* format_each(std::size_t count, const Put& put, char* out);
    char separator() const;

    TableStyle style_;
    bool separator_ends_row_;  // "%d " keeps its space before the line feed
    std::int64_t width_;
    std::int64_t column_ = 0;
};

// Formats the values of pixels as coordinate tables hold them: a line a pixel,
// its column and row from 0 and then its values, joined by the style's separator,
// nothing after the last; pixels row by row from the top.
class CoordinateFormatter {
  public:
    // Pixels of `per_pixel` values in rows `width` pixels wide, from value `first`
    // of the image on (the first of a pixel).
    CoordinateFormatter(TableStyle style, std::int64_t width, int per_pixel, std::uint64_t first);

    // The most text that `values` values can take.
    static constexpr std::size_t max_text_size(std::size_t values, bool real) {
        // A column and a row of up to ten digits, two separators, before each; a
        // line feed after its last value.
        return (real ? kMostTextPerRealSample : kMostTextPerSample) * values + 23 * values + 8 +
               (real ? kRealScratch : 0);
    }

    char* format(std::span<const std::uint8_t> values, char* out);
    char* format(std::span<const std::uint16_t> values, char* out);
    char* format(std::span<const double> values, SampleType type, char* out);

  private:
    template <typename Put>
    char* format_each(std::size_t count, const Put& put, char* out);

    char separator_;
    std::uint64_t width_;
    int per_pixel_;
    std::uint64_t pixel_;  // the image's index of the pixel being written
    int value_ = 0;        // of the pixel's values, those written
};

// The header line of a coordinate table in `style`: "x", "y", then "value" for one
// value a pixel, else `names`, joined by the separator; a line feed last.
std::string coordinate_header(TableStyle style, const std::vector<std::string>& names);

}  // namespace lumtab
