// Reads arbitrary bytes as a table and checks the reader against a plain one that
// follows the grammar a byte at a time: both must accept the same rows, or both
// refuse. The first byte chooses the maximum value; the rest is the table, read
// from a file of known size. Fuzzing builds take text in small runs, parsed on two
// threads, so that values, commas and line ends meet the runs' edges. Any crash,
// hang or undefined behaviour is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <lumtab/error.h>
#include "io/input.h"
#include "memory_file.h"
#include "table/table_reader.h"

namespace {

using namespace lumtab;

template <typename Value>
using Rows = std::vector<std::vector<Value>>;

bool is_blank(std::uint8_t c) {
    return c == ' ' || c == '\t';
}

bool ends_token(std::uint8_t c) {
    return is_blank(c) || c == ',' || c == '\n' || c == '\r';
}

// The floating-point value of the token at text[i], as from_chars reads it, a
// '+' allowed before; beyond a float's range refused, below it zero. Moves i to
// the token's end.
std::optional<float> plain_float(std::span<const std::uint8_t> text, std::size_t& i) {
    std::size_t end = i;
    while (end < text.size() && !ends_token(text[end]))
        ++end;
    const char* first = reinterpret_cast<const char*>(text.data()) + i;
    const char* last = reinterpret_cast<const char*>(text.data()) + end;
    i = end;
    if (*first == '+' && last - first > 1 && first[1] != '+' && first[1] != '-') ++first;
    float value = 0;
    auto [ptr, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (ptr != last || error == std::errc::invalid_argument) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        // strtold gives a magnitude at most the smallest for what is too small, the
        // largest for what is too large.
        const std::string token(first, last);
        if (!(std::abs(std::strtold(token.c_str(), nullptr)) < 1)) return std::nullopt;
        value = *first == '-' ? -0.0f : 0.0f;
    }
    return value;
}

// The table's lines as the grammar has them, or nothing where it refuses them.
template <typename Value>
std::optional<Rows<Value>> plain_lines(std::span<const std::uint8_t> text,
                                       std::uint32_t max_value) {
    Rows<Value> rows;
    std::size_t i = 0;
    while (i < text.size()) {
        std::vector<Value> row;
        bool after_comma = false;
        for (; i < text.size() && text[i] != '\n'; ++i) {
            std::uint8_t c = text[i];
            if (is_blank(c)) continue;
            if (c == '\r') {
                if (i + 1 == text.size() || text[i + 1] != '\n') return std::nullopt;
                continue;
            }
            if (c == ',') {
                if (after_comma || row.empty()) return std::nullopt;
                after_comma = true;
                continue;
            }
            if constexpr (std::is_same_v<Value, float>) {
                std::optional<float> value = plain_float(text, i);
                if (!value) return std::nullopt;
                row.push_back(*value);
            } else {
                if (c < '0' || c > '9') return std::nullopt;
                std::uint32_t value = 0;
                for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
                    value = std::min<std::uint32_t>(value * 10 + (text[i] - '0'), 65536);
                if (i < text.size() && !is_blank(text[i]) && text[i] != ',' && text[i] != '\n' &&
                    text[i] != '\r')
                    return std::nullopt;
                if (value > max_value) return std::nullopt;
                row.push_back(static_cast<std::uint16_t>(value));
            }
            after_comma = false;
            --i;
        }
        ++i;  // the line feed, if any
        rows.push_back(row);
    }
    return rows;
}

// The image's rows as the lines make them: as many values in each as in the
// first, empty lines at the end dropped; nothing for a table refused.
template <typename Value>
std::optional<Rows<Value>> plain_read(std::span<const std::uint8_t> text, std::uint32_t max_value) {
    std::optional<Rows<Value>> rows = plain_lines<Value>(text, max_value);
    if (!rows || text.empty()) return std::nullopt;
    std::size_t width = rows->front().size();
    if (width != 0)
        while (rows->back().empty())
            rows->pop_back();
    for (const auto& row : *rows)
        if (row.size() != width) return std::nullopt;
    return rows;
}

// Reads `text` both ways and aborts where they differ: values compared bit for bit.
template <typename Value>
void compare(std::span<const std::uint8_t> text, std::uint32_t max_value) {
    std::optional<Rows<Value>> expected = plain_read<Value>(text, max_value);
    Input in(memory_file(text), "table", true);
    std::vector<Value> values;
    std::optional<TableShape> shape;
    auto sink = [&](std::span<const Value> samples) {
        values.insert(values.end(), samples.begin(), samples.end());
    };
    try {
        if constexpr (std::is_same_v<Value, float>) {
            shape = read_table(in, std::function<void(std::span<const float>)>(sink));
        } else {
            shape = read_table(in, max_value, sink);
        }
    } catch (const Error&) {
    }
    if (shape.has_value() != expected.has_value()) std::abort();
    if (!shape) return;
    if (std::size_t(shape->height) != expected->size()) std::abort();
    if (shape->height > 0 && std::size_t(shape->width) != expected->front().size()) std::abort();
    std::size_t at = 0;
    for (const auto& row : *expected)
        for (Value value : row)
            if (at >= values.size() || std::memcmp(&values[at++], &value, sizeof value) != 0)
                std::abort();
    if (at != values.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::span<const std::uint8_t> text(data + 1, size - 1);
    // The first byte chooses: a floating-point table, or the maximum value of one
    // of unsigned values.
    if (data[0] % 4 == 3) {
        compare<float>(text, 0);
    } else {
        compare<std::uint16_t>(text, data[0] < 128 ? 65535 : 1u + data[0] * 257u % 65535u);
    }
    return 0;
}
