// Reads arbitrary bytes as a table and checks the reader against a plain one that
// follows the grammar a byte at a time: both must accept the same rows, or both
// refuse. The first byte chooses the maximum value; the rest is the table, read
// from a file of known size. Fuzzing builds take text in small runs, parsed on two
// threads, so that values, commas and line ends meet the runs' edges. Any crash,
// hang or undefined behaviour is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include <lumtab/error.h>
#include "io/input.h"
#include "memory_file.h"
#include "table/table_reader.h"

namespace {

using namespace lumtab;

using Rows = std::vector<std::vector<std::uint16_t>>;

bool is_blank(std::uint8_t c) {
    return c == ' ' || c == '\t';
}

// The table's lines as the grammar has them, or nothing where it refuses them.
std::optional<Rows> plain_lines(std::span<const std::uint8_t> text, std::uint32_t max_value) {
    Rows rows;
    std::size_t i = 0;
    while (i < text.size()) {
        std::vector<std::uint16_t> row;
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
            if (c < '0' || c > '9') return std::nullopt;
            std::uint32_t value = 0;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
                value = std::min<std::uint32_t>(value * 10 + (text[i] - '0'), 65536);
            if (i < text.size() && !is_blank(text[i]) && text[i] != ',' && text[i] != '\n' &&
                text[i] != '\r')
                return std::nullopt;
            if (value > max_value) return std::nullopt;
            row.push_back(static_cast<std::uint16_t>(value));
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
std::optional<Rows> plain_read(std::span<const std::uint8_t> text, std::uint32_t max_value) {
    std::optional<Rows> rows = plain_lines(text, max_value);
    if (!rows || text.empty()) return std::nullopt;
    std::size_t width = rows->front().size();
    if (width != 0)
        while (rows->back().empty())
            rows->pop_back();
    for (const auto& row : *rows)
        if (row.size() != width) return std::nullopt;
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t max_value = data[0] < 128 ? 65535 : 1u + data[0] * 257u % 65535u;
    std::span<const std::uint8_t> text(data + 1, size - 1);

    std::optional<Rows> expected = plain_read(text, max_value);
    Input in(memory_file(text), "table", true);
    std::vector<std::uint16_t> values;
    std::optional<TableShape> shape;
    try {
        shape = read_table(in, max_value, [&](std::span<const std::uint16_t> samples) {
            values.insert(values.end(), samples.begin(), samples.end());
        });
    } catch (const Error&) {
    }
    if (shape.has_value() != expected.has_value()) std::abort();
    if (!shape) return 0;
    if (std::size_t(shape->height) != expected->size()) std::abort();
    if (shape->height > 0 && std::size_t(shape->width) != expected->front().size()) std::abort();
    std::size_t at = 0;
    for (const auto& row : *expected)
        for (std::uint16_t value : row)
            if (at >= values.size() || values[at++] != value) std::abort();
    if (at != values.size()) std::abort();
    return 0;
}
