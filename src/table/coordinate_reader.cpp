#include "table/coordinate_reader.h"

#include <lumtab/error.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>

#include "io/error_text.h"
#include "io/input.h"
#include "text/numbers.h"

namespace lumtab {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The input's lines, one at a time, without their line ends.
class Lines {
  public:
    explicit Lines(Input& in) : in_(in) {}

    // The next line; false at the end.
    bool next(std::string& line) {
        line.clear();
        for (;;) {
            // What is buffered, read only once it is used up: a line at a time would
            // move the buffer and read again for every line.
            auto bytes = in_.look_ahead();
            if (bytes.empty()) return !line.empty() || (any_ && !ended_);
            any_ = true;
            const auto* feed =
                static_cast<const std::uint8_t*>(std::memchr(bytes.data(), '\n', bytes.size()));
            const std::size_t taken = feed ? std::size_t(feed - bytes.data()) : bytes.size();
            line.append(reinterpret_cast<const char*>(bytes.data()), taken);
            in_.skip(feed ? taken + 1 : taken);
            if (feed) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                ended_ = in_.look_ahead(1).empty();
                return true;
            }
            ended_ = true;  // the last line, without its line feed
        }
    }

  private:
    Input& in_;
    bool any_ = false;
    bool ended_ = false;  // the last line read was the input's last
};

// The fields of a line: separated by blanks, or by a comma with blanks around it;
// a separator after the last allowed. Empty where a comma has no field before it.
std::vector<std::string_view> fields_of(std::string_view line, bool& empty_field) {
    std::vector<std::string_view> fields;
    empty_field = false;
    std::size_t i = 0;
    bool after_comma = true;  // a comma here would follow no field
    while (i < line.size()) {
        if (is_blank(line[i])) {
            ++i;
        } else if (line[i] == ',') {
            if (after_comma) empty_field = true;
            after_comma = true;
            ++i;
        } else {
            std::size_t end = i;
            while (end < line.size() && !is_blank(line[end]) && line[end] != ',')
                ++end;
            fields.push_back(line.substr(i, end - i));
            after_comma = false;
            i = end;
        }
    }
    return fields;
}

// Whether `field` may start a header: it does not start as a number does (a
// digit, a sign or a point), so that a first pixel written wrongly is refused
// rather than passed over.
bool names_a_column(std::string_view field) {
    return field.empty() ||
           (!numbers::is_digit(field[0]) && field[0] != '+' && field[0] != '-' && field[0] != '.');
}

// A column or row: decimal digits alone.
bool read_place(std::string_view field, std::uint32_t& place) {
    if (field.empty() || !numbers::is_digit(field[0])) return false;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), place);
    return error == std::errc() && end == field.data() + field.size() && place < INT32_MAX;
}

template <typename Value>
class CoordinateReader {
  public:
    CoordinateReader(Input& in, int channels, std::uint32_t max_value)
        : in_(in), channels_(static_cast<std::size_t>(channels)), max_value_(max_value) {}

    CoordinateImage<Value> read() {
        Lines lines(in_);
        std::string line;
        std::uint64_t number = 0;
        std::uint64_t empty_since = 0;  // the first of the empty lines last read, or 0
        bool any_bytes = false;
        while (lines.next(line)) {
            any_bytes = true;
            ++number;
            bool empty_field = false;
            const std::vector<std::string_view> fields = fields_of(line, empty_field);
            if (fields.empty() && !empty_field) {
                if (empty_since == 0) empty_since = number;
                continue;
            }
            if (empty_since != 0) refuse(empty_since, "an empty line between pixels");
            if (number == 1 && !fields.empty() && names_a_column(fields[0])) {
                first_line_ = 2;  // a header naming the columns
                continue;
            }
            if (empty_field) refuse(number, "no field before a comma");
            take_pixel(number, fields);
        }
        if (!any_bytes) throw Error(in_.name(), "empty table");
        return image();
    }

  private:
    [[noreturn]] void refuse(std::uint64_t line, const std::string& problem) const {
        throw Error(in_.name(), "line " + std::to_string(line) + ": " + problem);
    }

    void take_pixel(std::uint64_t line, const std::vector<std::string_view>& fields) {
        if (fields.size() != 2 + channels_)
            refuse(line, std::to_string(fields.size()) +
                             (fields.size() == 1 ? " field" : " fields") + ", not " +
                             std::to_string(2 + channels_) + ": a column, a row and " +
                             std::to_string(channels_) + (channels_ == 1 ? " value" : " values"));
        std::uint32_t x, y;
        if (!read_place(fields[0], x)) refuse(line, not_a_place("column", fields[0]));
        if (!read_place(fields[1], y)) refuse(line, not_a_place("row", fields[1]));
        if (xs_.size() >= std::uint64_t(INT32_MAX))
            throw Error(in_.name(), "more pixels than an image may have");
        xs_.push_back(x);
        ys_.push_back(y);
        width_ = std::max<std::uint64_t>(width_, std::uint64_t(x) + 1);
        height_ = std::max<std::uint64_t>(height_, std::uint64_t(y) + 1);
        for (std::size_t c = 0; c < channels_; ++c)
            values_.push_back(value(line, 3 + c, fields[2 + c]));
    }

    static std::string not_a_place(const char* what, std::string_view text) {
        std::string problem = std::string("the ") + what + " is not a whole number from 0: ";
        return problem.append(printable(text));
    }

    Value value(std::uint64_t line, std::size_t column, std::string_view text) const {
        const std::string place =
            "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
        if constexpr (std::is_same_v<Value, float>) {
            float value = 0;
            std::string problem;
            if (read_float(text, value, problem) != text.size())
                throw Error(in_.name(),
                            place + (problem.empty() ? "value is not a decimal number" : problem));
            return value;
        } else {
            std::uint32_t number = 0;
            auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
            if (text.empty() || !numbers::is_digit(text[0]) || end != text.data() + text.size()) {
                const bool fraction = text.find_first_of(".eE") != std::string_view::npos;
                throw Error(in_.name(),
                            place + (text[0] == '-' ? "negative value"
                                     : fraction     ? "value is not a whole number (-r --float "
                                                      "reads fractions)"
                                                    : "value is not a decimal number"));
            }
            if (error != std::errc() || number > 65535)
                throw Error(in_.name(), place + "value is beyond 65535");
            if (number > max_value_)
                throw Error(in_.name(), place + std::to_string(number) +
                                            " is above the maximum value " +
                                            std::to_string(max_value_));
            return static_cast<Value>(number);
        }
    }

    // The pixels in order, each once: sorted by row and column, a line's order kept
    // among equals, so that a pixel given again is found on its later line.
    CoordinateImage<Value> image() const {
        const std::uint64_t width = width_, height = height_;
        std::vector<std::uint32_t> order(xs_.size());
        std::iota(order.begin(), order.end(), 0);
        auto key = [&](std::uint32_t i) { return std::uint64_t(ys_[i]) * width + xs_[i]; };
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
        CoordinateImage<Value> image;
        image.shape = {static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
        image.samples.reserve(order.size() * channels_);
        std::uint64_t expected = 0;
        for (std::size_t k = 0; k < order.size(); ++k) {
            const std::uint64_t at = key(order[k]);
            if (at < expected) {
                refuse(first_line_ + order[k], "pixel " + place(at) + " again, first on line " +
                                                   std::to_string(first_line_ + order[k - 1]));
            }
            if (at > expected) missing(expected);
            const auto* values = values_.data() + std::size_t(order[k]) * channels_;
            image.samples.insert(image.samples.end(), values, values + channels_);
            ++expected;
        }
        if (expected < width * height) missing(expected);
        return image;
    }

    std::string place(std::uint64_t at) const {
        return "at column " + std::to_string(at % width_) + ", row " + std::to_string(at / width_);
    }

    [[noreturn]] void missing(std::uint64_t at) const {
        throw Error(in_.name(), "no pixel " + place(at) + " (the image is " +
                                    std::to_string(width_) + " x " + std::to_string(height_) + ")");
    }

    Input& in_;
    const std::size_t channels_;
    const std::uint32_t max_value_;
    std::uint64_t first_line_ = 1;  // the line of the first pixel
    std::vector<std::uint32_t> xs_, ys_;
    std::vector<Value> values_;
    std::uint64_t width_ = 0, height_ = 0;
};

}  // namespace

CoordinateImage<std::uint16_t> read_coordinates(Input& in, int channels, std::uint32_t max_value) {
    return CoordinateReader<std::uint16_t>(in, channels, max_value).read();
}

CoordinateImage<float> read_float_coordinates(Input& in, int channels) {
    return CoordinateReader<float>(in, channels, 0).read();
}

}  // namespace lumtab
