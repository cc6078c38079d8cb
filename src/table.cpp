#include "table.h"

#include <array>
#include <cstring>
#include <memory>

namespace {

// A value's decimal digits in the low bytes of a word, the first digit lowest,
// and their count in the top byte: one load gives both.
constexpr std::uint64_t entry_for(unsigned value) {
    std::uint64_t digits = 0;
    int count = 0;
    for (unsigned rest = value;; rest /= 10) {
        digits = digits << 8 | ('0' + rest % 10);
        ++count;
        if (rest < 10) break;
    }
    return digits | std::uint64_t(count) << 56;
}

struct ByteEntries {
    std::array<std::uint64_t, 256> entry{};
    constexpr ByteEntries() {
        for (unsigned value = 0; value < 256; ++value)
            entry[value] = entry_for(value);
    }
};

constexpr ByteEntries kByteEntries;

// The entries of all 16-bit values, 512 KiB: made when a 16-bit image first needs them.
const std::uint64_t* wide_entries() {
    static const std::unique_ptr<std::uint64_t[]> entries = [] {
        auto table = std::make_unique<std::uint64_t[]>(65536);
        for (unsigned value = 0; value < 65536; ++value)
            table[value] = entry_for(value);
        return table;
    }();
    return entries.get();
}

// Writes the entry's digits and `separator`; writes 8 bytes, whatever it keeps.
char* put(std::uint64_t entry, char separator, char* out) {
    unsigned count = static_cast<unsigned>(entry >> 56);
    std::uint64_t text = (entry & 0x00ffffffffffffff) |
                         std::uint64_t(static_cast<unsigned char>(separator)) << (8 * count);
    std::memcpy(out, &text, 8);
    return out + count + 1;
}

}  // namespace

std::string_view table_suffix(TableStyle style) {
    switch (style) {
        case TableStyle::csv:
            return "csv";
        case TableStyle::tsv:
            return "tsv";
        case TableStyle::spaces:
            break;
    }
    return "int";
}

TableFormatter::TableFormatter(TableStyle style, std::int32_t width)
    : separator_(style == TableStyle::csv   ? ','
                 : style == TableStyle::tsv ? '\t'
                                            : ' '),
      separator_ends_row_(style == TableStyle::spaces),
      width_(width) {}

template <typename Sample>
char* TableFormatter::format_samples(std::span<const Sample> samples, const std::uint64_t* entries,
                                     char* out) {
    while (!samples.empty()) {
        std::size_t n = std::min<std::uint64_t>(samples.size(), width_ - column_);
        // A local copy: a store through `out` might change a member, as far as the
        // compiler knows, and would have it loaded again for every value.
        const char separator = separator_;
        for (Sample value : samples.first(n))
            out = put(entries[value], separator, out);
        samples = samples.subspan(n);
        column_ += n;
        if (column_ == width_) {
            // The row's last separator becomes its line feed, or goes before it.
            if (separator_ends_row_) ++out;
            out[-1] = '\n';
            column_ = 0;
        }
    }
    return out;
}

char* TableFormatter::format(std::span<const std::uint8_t> samples, char* out) {
    return format_samples(samples, kByteEntries.entry.data(), out);
}

char* TableFormatter::format(std::span<const std::uint16_t> samples, char* out) {
    return format_samples(samples, wide_entries(), out);
}
