// Reads arbitrary bytes as a table and checks the reader against a plain one that
// follows the grammar a byte at a time: both must accept the same rows, or both
// refuse, whether the reader gives whole lines or pieces of them. The first byte chooses the
// maximum value; the rest is the table, read from a file of known size. Any crash, hang or
// undefined behaviour is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "input.h"
#include "table.h"

namespace {

using Rows = std::vector<std::vector<std::uint16_t>>;

bool is_blank(std::uint8_t c) {
    return c == ' ' || c == '\t';
}

// The table's rows as the grammar has them, or nothing where it refuses them.
std::optional<Rows> plain_read(std::span<const std::uint8_t> text, std::uint32_t max_value) {
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

int memory_file(std::span<const std::uint8_t> bytes) {
    int fd = memfd_create("table", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t max_value = data[0] < 128 ? 65535 : 1u + data[0] * 257u % 65535u;
    std::span<const std::uint8_t> text(data + 1, size - 1);

    std::optional<Rows> expected = plain_read(text, max_value);
    // Whole lines, and again in pieces of a few values that are put back together.
    for (std::size_t most : {SIZE_MAX, std::size_t(1) + data[0] % 7}) {
        Input in(memory_file(text), "table");
        TableReader reader(in, static_cast<std::int32_t>(max_value));
        Rows rows;
        bool refused = false;
        try {
            bool goes_on = false;
            for (std::vector<std::uint16_t> piece; reader.read_row(piece, most);) {
                if (!goes_on) rows.emplace_back();
                rows.back().insert(rows.back().end(), piece.begin(), piece.end());
                goes_on = reader.row_goes_on();
            }
        } catch (const Error&) {
            refused = true;
        }
        if (refused != !expected.has_value()) std::abort();
        if (!refused && rows != *expected) std::abort();
    }
    return 0;
}
