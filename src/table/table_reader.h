// Reading a table back into an image's rows: one row a line; values separated by
// blanks (spaces, tabs) or by a comma with blanks around it, a separator after the
// last allowed; line ends LF or CRLF; the last line with or without its line feed.
// Every line must have as many values as the first, but empty lines at the end
// (which editors leave) are not rows. A fault is named by its line and column (the
// value's place in its row).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/text_run.h"

namespace lumtab {

class Input;

// A run of a table's text, taken in turn, and what parsing it on its own found:
// its values, where its lines end, and what is wrong after them, if anything.
struct TableRun {
    // A run of line feeds after the `values`-th value of the run.
    struct LineEnd {
        std::uint32_t values;
        std::uint32_t count;
    };

    TableRun();

    // Parses the text; values above `max_value` are faults. Safe on any thread.
    void parse(std::uint32_t max_value);
    // Parses the text as floating-point values, into `reals` (floats) or
    // `doubles`.
    void parse_floats();
    void parse_doubles();

    TextRun text;
    std::unique_ptr<std::uint16_t[]> values;
    std::unique_ptr<float[]> reals;
    std::unique_ptr<double[]> doubles;
    std::size_t count = 0;
    std::vector<LineEnd> line_ends;
    bool leading_comma = false;     // a comma before any value or line end
    bool ends_after_comma = false;  // the last value, line end or comma is a comma
    bool has_tokens = false;        // it holds a value, a comma or a line end
    bool tail = false;              // bytes follow its last line feed, or it has none
    void reset();

    // What is wrong right after the values and line ends found: nothing is read
    // past it.
    std::optional<std::string> fault;
};

// Reads the floating-point value at the start of `text` as tables hold it: a
// decimal with a sign, a point and an exponent as numpy and printf write them;
// "nan", "inf", "-inf"; no hexadecimal. Rounded to the nearest float; a magnitude
// below the smallest is zero, one beyond the largest refused. Returns how many
// characters it took, which a blank, a comma or a line end must follow, or 0
// with `problem` saying why there is no value.
std::size_t read_float(std::string_view text, float& value, std::string& problem);
// The same, rounded to the nearest double.
std::size_t read_float(std::string_view text, double& value, std::string& problem);

// What a table read whole tells of its image.
struct TableShape {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// Reads the table `in` (named in messages by its name), `channels` values a pixel,
// and gives `sink` the values of its rows as they come, in order, a run of them at
// a time; values above `max_value` are refused, and so is a first line whose
// values are not a multiple of `channels`. Reads a large table on two threads.
// Calls `progress` after each run. Throws Error, naming the table, at the first
// fault in it, and whatever `sink` throws. The shape's width is in pixels.
TableShape read_table(Input& in, std::uint32_t max_value,
                      const std::function<void(std::span<const std::uint16_t>)>& sink,
                      const std::function<void()>& progress = {}, int channels = 1,
                      std::uint64_t most_lines = INT32_MAX);
// The same for a table of floating-point values, rounded to the nearest 32-bit
// float each: decimals with a sign, a point and an exponent, nan, inf, -inf.
TableShape read_table(Input& in, const std::function<void(std::span<const float>)>& sink,
                      const std::function<void()>& progress = {}, int channels = 1,
                      std::uint64_t most_lines = INT32_MAX);
// The same rounded to the nearest double each.
TableShape read_table(Input& in, const std::function<void(std::span<const double>)>& sink,
                      const std::function<void()>& progress = {}, int channels = 1,
                      std::uint64_t most_lines = INT32_MAX);

}  // namespace lumtab
