// The table's text: one line a row, the samples in decimal. In the default style
// every value is followed by a space ("%d "); CSV and TSV put a comma or a tab
// between the values of a row and nothing after the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Input;

enum class TableStyle { spaces, csv, tsv };

// The last three characters of a table's name: "int", "csv" or "tsv".
std::string_view table_suffix(TableStyle style);

// Formats samples into table text, row after row.
class TableFormatter {
  public:
    // Formats rows of `width` values, from column `column` (0 for a row's start) on.
    TableFormatter(TableStyle style, std::int32_t width, std::int64_t column = 0);

    // The most text that `samples` samples can take, line feeds included.
    static constexpr std::size_t max_text_size(std::size_t samples) { return 7 * samples + 8; }

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

// Reads a table back a row at a time: one image row a line; values separated by
// blanks (spaces, tabs) or by a comma with blanks around it, a separator after
// the last allowed; line ends LF or CRLF; the last line with or without its line
// feed. Throws Error, naming the line and column (the value's place in its row),
// at anything else.
class TableReader {
  public:
    // Values above `max_value` (at most 65535) are refused. `in` begins at line
    // `lines_before` + 1 of the table, for messages.
    TableReader(Input& in, std::int32_t max_value, std::uint64_t lines_before = 0);

    // Reads the next line's values into `row`, or with `most` given, the next of
    // them up to about that many, so that a long line need not be held whole;
    // row_goes_on() then says whether more of the line follows. Returns false at
    // the end of the table.
    bool read_row(std::vector<std::uint16_t>& row, std::size_t most = SIZE_MAX);
    bool row_goes_on() const { return taken_ != 0; }

    // The lines read so far.
    std::uint64_t lines() const { return lines_; }

  private:
    // Refuses the value in column `column` of the values read into `row`.
    [[noreturn]] void refuse(std::size_t column, const std::string& problem) const;
    // Refuses a window of the input without a place to cut it: one long token.
    [[noreturn]] void refuse_token(std::span<const std::uint8_t> token, std::size_t column) const;
    // Takes the values in the 64 bytes at `p` if they hold values, blanks and
    // commas alone, and moves `p` past them; false where a byte at a time must do.
    bool take_chunk(const std::uint8_t*& p, bool& inside_value, std::vector<std::uint16_t>& row);
    // Takes the value at `p`, in column `column`, and moves `p` past it.
    std::uint16_t take_value(const std::uint8_t*& p, const std::uint8_t* end,
                             std::size_t column) const;

    Input& in_;
    std::uint32_t max_value_;
    std::uint64_t lines_ = 0;
    std::size_t taken_ = 0;     // values of this line already returned
    bool after_comma_ = false;  // a comma came after the last value
};
