// Reads arbitrary bytes as a table and checks the reader against a plain one that
// follows the grammar a byte at a time: both must accept the same rows, or both
// refuse. The first byte chooses the maximum value; the rest is the table, read
// from a file of known size. Any crash, hang or undefined behaviour is a finding.
#include <sys/mman.h>
#include <unistd.h>

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
    return c == ' ' || c == '\t' || c == '\r';
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
            if (c == ',') {
                if (after_comma || row.empty()) return std::nullopt;
                after_comma = true;
                continue;
            }
            if (c < '0' || c > '9') return std::nullopt;
            std::uint32_t value = 0;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
                value = std::min<std::uint32_t>(value * 10 + (text[i] - '0'), 65536);
            if (i < text.size() && !is_blank(text[i]) && text[i] != ',' && text[i] != '\n')
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
    Input in(memory_file(text), "table");
    TableReader reader(in, static_cast<std::int32_t>(max_value));
    Rows rows;
    bool refused = false;
    try {
        for (std::vector<std::uint16_t> row; reader.read_row(row);)
            rows.push_back(row);
    } catch (const Error&) {
        refused = true;
    }
    if (refused != !expected.has_value()) std::abort();
    if (!refused && rows != *expected) std::abort();
    return 0;
}
