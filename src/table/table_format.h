// The table's text: one line a row, the samples in decimal. In the default style
// every value is followed by a space ("%d "); CSV and TSV put a comma or a tab
// between the values of a row and nothing after the last.
#pragma once

#include <lumtab/table.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumtab {

// The most bytes a sample's text takes: five digits, a separator, and a line feed
// at the end of its row.
constexpr std::size_t kMostTextPerSample = 7;

// Formats samples into table text, row after row.
class TableFormatter {
  public:
    // Formats rows of `width` values, from column `column` (0 for a row's start) on.
    TableFormatter(TableStyle style, std::int64_t width, std::int64_t column = 0);

    // The most text that `samples` samples can take, line feeds included.
    static constexpr std::size_t max_text_size(std::size_t samples) {
        return kMostTextPerSample * samples + 8;
    }

    // Writes the text of the next `samples` to `out`, which holds at least
    // max_text_size(samples.size()) bytes, and returns the end of the text. Rows
    // of width 0 have no samples: their line feeds are the caller's to write.
    char* format(std::span<const std::uint8_t> samples, char* out);
    char* format(std::span<const std::uint16_t> samples, char* out);

  private:
    template <typename Sample>
    char* format_samples(std::span<const Sample> samples, const std::uint64_t* entries, char* out);

    TableStyle style_;
    bool separator_ends_row_;  // "%d " keeps its space before the line feed
    std::int64_t width_;
    std::int64_t column_ = 0;
};

}  // namespace lumtab
