#include "table/table_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "text/decimal.h"

namespace lumtab {

static_assert(kRealScratch >= decimal::kFloatScratch);

namespace {

// A value's decimal digits and then `separator` in the low bytes of a word, the
// first digit lowest, and how many bytes that is in the top byte: one load and one
// store put a value.
constexpr std::uint64_t entry_for(unsigned value, char separator) {
    std::uint64_t digits = 0;
    int count = 0;
    for (unsigned rest = value;; rest /= 10) {
        digits = digits << 8 | ('0' + rest % 10);
        ++count;
        if (rest < 10) break;
    }
    digits |= std::uint64_t(static_cast<unsigned char>(separator)) << (8 * count);
    return digits | std::uint64_t(count + 1) << 56;
}

struct ByteEntries {
    std::array<std::uint64_t, 256> entry{};
    constexpr explicit ByteEntries(char separator) {
        for (unsigned value = 0; value < 256; ++value)
            entry[value] = entry_for(value, separator);
    }
};

// For spaces, commas and tabs.
constexpr ByteEntries kByteEntries[] = {ByteEntries(' '), ByteEntries(','), ByteEntries('\t')};

// The entries of all 16-bit values, 512 KiB: made when a 16-bit image first needs them.
template <char Separator>
const std::uint64_t* wide_entries() {
    static const std::unique_ptr<std::uint64_t[]> entries = [] {
        auto table = std::make_unique<std::uint64_t[]>(65536);
        for (unsigned value = 0; value < 65536; ++value)
            table[value] = entry_for(value, Separator);
        return table;
    }();
    return entries.get();
}

// Writes the entry's digits and separator; writes 8 bytes, whatever it keeps.
char* put(std::uint64_t entry, char* out) {
    std::memcpy(out, &entry, 8);
    return out + (entry >> 56);
}

// The entries for `style`: of the 8-bit values, or of all 16-bit ones.
const std::uint64_t* entries_for(TableStyle style, bool wide) {
    switch (style) {
        case TableStyle::csv:
            return wide ? wide_entries<','>() : kByteEntries[1].entry.data();
        case TableStyle::tsv:
            return wide ? wide_entries<'\t'>() : kByteEntries[2].entry.data();
        case TableStyle::spaces:
            break;
    }
    return wide ? wide_entries<' '>() : kByteEntries[0].entry.data();
}

}  // namespace

TableFormatter::TableFormatter(TableStyle style, std::int64_t width, std::int64_t column)
    : style_(style),
      separator_ends_row_(style == TableStyle::spaces),
      width_(width),
      column_(column) {}

template <typename Sample>
char* TableFormatter::format_samples(std::span<const Sample> samples, const std::uint64_t* entries,
                                     char* out) {
    while (!samples.empty()) {
        std::size_t n = std::min<std::uint64_t>(samples.size(), width_ - column_);
        for (Sample value : samples.first(n))
            out = put(entries[value], out);
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

char* put_real(double value, SampleType type, char* out) {
    if (std::isnan(value)) return std::copy_n("nan", 3, out);
    switch (type) {
        case SampleType::float32:
            return decimal::shortest(static_cast<float>(value), out);
        case SampleType::float64:
            return std::to_chars(out, out + 24, value).ptr;
        default:
            break;
    }
    return std::to_chars(out, out + 24, static_cast<std::int64_t>(value)).ptr;
}

char TableFormatter::separator() const {
    return style_ == TableStyle::csv ? ',' : style_ == TableStyle::tsv ? '\t' : ' ';
}

// Writes `count` values, each by `put` and then the separator, ending each row as
// format_samples does.
template <typename Put>
char* TableFormatter::format_each(std::size_t count, const Put& put, char* out) {
    const char separator = this->separator();
    for (std::size_t i = 0; i < count; ++i) {
        out = put(i, out);
        *out++ = separator;
        if (++column_ == width_) {
            if (separator_ends_row_) ++out;
            out[-1] = '\n';
            column_ = 0;
        }
    }
    return out;
}

char* TableFormatter::format(std::span<const double> samples, SampleType type, char* out) {
    return format_each(
        samples.size(), [&](std::size_t i, char* at) { return put_real(samples[i], type, at); },
        out);
}

char* TableFormatter::format(std::span<const std::uint8_t> samples, char* out) {
    return format_samples(samples, entries_for(style_, false), out);
}

char* TableFormatter::format(std::span<const std::uint16_t> samples, char* out) {
    return format_samples(samples, entries_for(style_, true), out);
}

CoordinateFormatter::CoordinateFormatter(TableStyle style, std::int64_t width, int per_pixel,
                                         std::uint64_t first)
    : separator_(style == TableStyle::csv   ? ','
                 : style == TableStyle::tsv ? '\t'
                                            : ' '),
      width_(static_cast<std::uint64_t>(width)),
      per_pixel_(per_pixel),
      pixel_(first / static_cast<std::uint64_t>(per_pixel)) {}

template <typename Put>
char* CoordinateFormatter::format_each(std::size_t count, const Put& put, char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        if (value_ == 0) {
            out = std::to_chars(out, out + 10, pixel_ % width_).ptr;
            *out++ = separator_;
            out = std::to_chars(out, out + 10, pixel_ / width_).ptr;
            *out++ = separator_;
        }
        out = put(i, out);
        if (++value_ == per_pixel_) {
            *out++ = '\n';
            value_ = 0;
            ++pixel_;
        } else {
            *out++ = separator_;
        }
    }
    return out;
}

char* CoordinateFormatter::format(std::span<const std::uint8_t> values, char* out) {
    return format_each(
        values.size(),
        [&](std::size_t i, char* at) { return std::to_chars(at, at + 5, values[i]).ptr; }, out);
}

char* CoordinateFormatter::format(std::span<const std::uint16_t> values, char* out) {
    return format_each(
        values.size(),
        [&](std::size_t i, char* at) { return std::to_chars(at, at + 5, values[i]).ptr; }, out);
}

char* CoordinateFormatter::format(std::span<const double> values, SampleType type, char* out) {
    return format_each(
        values.size(), [&](std::size_t i, char* at) { return put_real(values[i], type, at); }, out);
}

std::string coordinate_header(TableStyle style, const std::vector<std::string>& names) {
    const char separator = style == TableStyle::csv ? ',' : style == TableStyle::tsv ? '\t' : ' ';
    std::string line = std::string("x") + separator + "y";
    if (names.size() == 1) return line + separator + "value\n";
    for (const std::string& name : names)
        line += separator + name;
    return line + "\n";
}

}  // namespace lumtab
