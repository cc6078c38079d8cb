#include "table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "decimal.h"
#include "error.h"
#include "input.h"

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

TableFormatter::TableFormatter(TableStyle style, std::int32_t width, std::int64_t column)
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

char* TableFormatter::format(std::span<const std::uint8_t> samples, char* out) {
    return format_samples(samples, entries_for(style_, false), out);
}

char* TableFormatter::format(std::span<const std::uint16_t> samples, char* out) {
    return format_samples(samples, entries_for(style_, true), out);
}

namespace {

bool is_blank(int c) {
    return c == ' ' || c == '\t';
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

// Where a window of the table may end without cutting a value or a CRLF.
bool is_boundary(int c) {
    return is_blank(c) || c == ',' || c == '\n';
}

// What may follow a value.
bool ends_value(int c) {
    return is_boundary(c) || c == '\r';
}

}  // namespace

TableReader::TableReader(Input& in, std::int32_t max_value, std::uint64_t lines_before)
    : in_(in), max_value_(static_cast<std::uint32_t>(max_value)), lines_(lines_before) {}

void TableReader::refuse(std::size_t column, const std::string& problem) const {
    throw Error(in_.name(), "line " + std::to_string(lines_ + 1) + ", column " +
                                std::to_string(taken_ + column) + ": " + problem);
}

void TableReader::refuse_token(std::span<const std::uint8_t> token, std::size_t column) const {
    if (token[0] == '-') refuse(column, "negative value");
    bool digits = std::all_of(token.begin(), token.end(), [](auto c) { return is_digit(c); });
    refuse(column, digits ? "value is beyond 65535" : "value is not a decimal number");
}

// The line is parsed a window of the input at a time, each window ending where a
// value cannot be cut, or at the end of the input. Within a window, 64 bytes that
// hold nothing but values and separators are taken at once: where the values
// start comes from a mask of the digits, so that finding the next value never
// waits for the last one's digits to be counted. Everything else (line ends,
// blanks around commas, long numbers, errors) goes a byte at a time.
bool TableReader::read_row(std::vector<std::uint16_t>& row, std::size_t most) {
    constexpr std::size_t kWindow = Input::kBufferSize / 2;
    row.clear();
    for (bool started = taken_ != 0;; started = true) {
        auto window = in_.look_ahead(kWindow);
        if (window.empty()) {
            if (!started) return false;
            ++lines_;
            taken_ = 0;
            after_comma_ = false;
            return true;  // the last line, without its line feed
        }
        std::size_t limit = window.size();
        if (window.size() >= kWindow) {
            limit = decimal::through_last_break(window.data(), window.size(), is_boundary);
            if (limit == 0) {
                // A window without a break is one value: its leading zeros go first.
                if (std::size_t zeros = decimal::leading_zeros(window.data(), window.size())) {
                    in_.skip(zeros);
                    continue;
                }
                refuse_token(window, row.size() + 1);
            }
        }
        const std::uint8_t* p = window.data();
        const std::uint8_t* end = p + limit;
        bool inside_value = false;  // p follows digits of a value already taken
        while (p < end) {
            if (row.size() >= most && !inside_value) {
                // Enough for now: the rest of the line in the next call.
                in_.skip(static_cast<std::size_t>(p - window.data()));
                taken_ += row.size();
                return true;
            }
            if (end - p >= 64 + 8 && take_chunk(p, inside_value, row)) continue;
            if (inside_value) {
                while (p < end && is_digit(*p))
                    ++p;
                if (p < end && !ends_value(*p)) refuse(row.size(), "value is not a decimal number");
                inside_value = false;
            }
            for (const std::uint8_t* stop = std::min(end, p + 64); p < stop;) {
                int c = *p;
                if (is_digit(c)) {
                    row.push_back(take_value(p, end, row.size() + 1));
                    after_comma_ = false;
                } else if (is_blank(c)) {
                    ++p;
                } else if (c == ',') {
                    if (after_comma_ || taken_ + row.size() == 0)
                        refuse(row.size() + 1, "no value before the comma");
                    after_comma_ = true;
                    ++p;
                } else if (c == '\n' || (c == '\r' && p + 1 < end && p[1] == '\n')) {
                    in_.skip(static_cast<std::size_t>(p + (c == '\n' ? 1 : 2) - window.data()));
                    ++lines_;
                    taken_ = 0;
                    after_comma_ = false;
                    return true;
                } else {
                    refuse(row.size() + 1, c == '-'    ? "negative value"
                                           : c == '\r' ? "carriage return without a line feed"
                                                       : "value is not a decimal number");
                }
            }
        }
        in_.skip(limit);
    }
}

bool TableReader::take_chunk(const std::uint8_t*& p, bool& inside_value,
                             std::vector<std::uint16_t>& row) {
    using namespace decimal;
    std::uint64_t digit = mask64(p, digits);
    std::uint64_t comma = mask64(p, [](__m128i b) { return equal(b, ','); });
    std::uint64_t blank =
        mask64(p, [](__m128i b) { return _mm_or_si128(equal(b, ' '), equal(b, '\t')); });
    std::uint64_t digit_before = digit << 1 | std::uint64_t(inside_value);
    // Only values, blanks and commas right after a value.
    if ((digit | blank | comma) != ~std::uint64_t(0) || (comma & ~digit_before) != 0) return false;
    std::uint64_t starts = digit & ~digit_before;
    // Room for the values first, kept ahead of the row's end so that the row's
    // size changes once a chunk: pushed back one by one, each value would wait for
    // the last to store the row's new size.
    std::size_t taken = row.size();
    if (row.capacity() < taken + 64) row.reserve(std::max<std::size_t>(2 * row.capacity(), 1024));
    row.resize(taken + count_ones(starts));
    std::uint16_t* out = row.data() + taken;
    // Locals, not the reference and the member, so that they stay in registers.
    const std::uint8_t* const chunk = p;
    const std::uint32_t max_value = max_value_;
    const std::uint64_t ends = ~digit & digit_before;
    auto take = [&](unsigned start, std::uint32_t value) {
        if (value > max_value) {
            // Leading zeros, or a value to refuse: byte by byte from this value on.
            row.resize(static_cast<std::size_t>(out - row.data()));
            p = chunk + start;
            inside_value = false;
            return false;
        }
        *out++ = static_cast<std::uint16_t>(value);
        return true;
    };
    if (!has_long_run(digit)) {
        // Short numbers, as in the tables of 8-bit images: their values computed
        // for the whole chunk at once, each then one load away.
        const ShortValues shorts(chunk);
        for (; starts != 0; starts &= starts - 1) {
            unsigned start = static_cast<unsigned>(__builtin_ctzll(starts));
            std::uint64_t after = ends & (~std::uint64_t(0) << start);
            std::uint32_t value;
            if (after != 0) {
                value = shorts.of[__builtin_ctzll(after) - start - 1][start];
            } else {  // it goes on into the next chunk
                std::uint64_t word = load8(chunk + start);
                value = value_of_number(word, digits_at_start(word));
            }
            if (!take(start, value)) return false;
        }
    } else {
        for (; starts != 0; starts &= starts - 1) {
            unsigned start = static_cast<unsigned>(__builtin_ctzll(starts));
            std::uint64_t word = load8(chunk + start);
            if (!take(start, value_of_number(word, number_length(start, ends, word)))) return false;
        }
    }
    if ((comma | digit) != 0)
        after_comma_ =
            comma != 0 && (digit == 0 || __builtin_clzll(comma) < __builtin_clzll(digit));
    inside_value = digit >> 63;
    p = chunk + 64;
    return true;
}

std::uint16_t TableReader::take_value(const std::uint8_t*& p, const std::uint8_t* end,
                                      std::size_t column) const {
    std::uint32_t value = 0;
    for (; p < end && is_digit(*p); ++p)
        value = std::min<std::uint32_t>(value * 10 + (*p - '0'), 65536);
    if (p < end && !ends_value(*p)) refuse(column, "value is not a decimal number");
    if (value > 65535) refuse(column, "value is beyond 65535");
    if (value > max_value_)
        refuse(column,
               std::to_string(value) + " is above the maximum value " + std::to_string(max_value_));
    return static_cast<std::uint16_t>(value);
}
