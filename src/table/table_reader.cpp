#include "table/table_reader.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <type_traits>

#include <lumtab/error.h>
#include "io/error_text.h"
#include "io/input.h"
#include "text/decimal.h"
#include "text/numbers.h"
#include "threads/relay.h"

namespace lumtab {

namespace {

using numbers::is_digit;

bool is_blank(int c) {
    return c == ' ' || c == '\t';
}

// Where a stretch of the table may end without cutting a value or a CRLF.
bool is_break(int c) {
    return is_blank(c) || c == ',' || c == '\n';
}

// What may follow a value.
bool ends_value(int c) {
    return is_break(c) || c == '\r';
}

// A fraction where whole numbers are read.
constexpr const char* kNotWhole = "value is not a whole number (-r --float reads fractions)";

// Whitespace that separates nothing here: a form feed or a vertical tab.
bool is_other_space(int c) {
    return c == '\f' || c == '\v';
}

std::string not_a_separator(int c) {
    return printable(std::string(1, static_cast<char>(c))) +
           " is not a separator (blanks, commas and line ends are)";
}

// Why a token that no stretch could cut, too long to be a value, is not one.
std::string unbroken_fault(std::span<const std::uint8_t> token) {
    if (token[0] == '-') return "negative value";
    bool digits = std::all_of(token.begin(), token.end(), [](auto c) { return is_digit(c); });
    return digits ? "value is beyond 65535" : "value is not a decimal number";
}

// The bits of `mask` at and below bit `at`.
std::uint64_t through(std::uint64_t mask, unsigned at) {
    return at == 63 ? mask : mask & ((std::uint64_t(2) << at) - 1);
}

unsigned highest(std::uint64_t mask) {
    return 63 - static_cast<unsigned>(__builtin_clzll(mask));
}

// Parses a run's text. Within a chunk of 64 bytes that holds nothing but values,
// blanks, commas right after values and line ends, the values are taken at once
// from masks of the digits; everything else (blanks before commas, long numbers,
// faults) goes a byte at a time. Floating-point values (Value float) go a byte
// at a time, read by decimal::parse_quickly where it can, else by from_chars.
template <typename Value>
class RunParser {
  public:
    RunParser(TableRun& run, Value* values, std::uint32_t max_value = 65535)
        : run_(run), values_(values), max_value_(max_value) {}

    void parse() {
        const std::uint8_t* p = run_.text.data();
        const std::uint8_t* const end = p + run_.text.size();
        feeds_end_ = p;
        while (p < end) {
            if constexpr (std::is_same_v<Value, std::uint16_t>)
                if (std::size_t(end - p) >= simd::kChunk + simd::kReadsAfter && take_chunk(p))
                    continue;
            for (const std::uint8_t* stop = std::min(end, p + simd::kChunk); p < stop;)
                if (!take_byte(p, end)) return;
        }
        run_.ends_after_comma = after_comma_;
        run_.tail = feeds_end_ < end;
    }

  private:
    bool take_chunk(const std::uint8_t*& p);
    // Takes the value, separator or line end at `p`; false at a fault.
    bool take_byte(const std::uint8_t*& p, const std::uint8_t* end);
    // Takes the value at `p` into `value`; false at a fault.
    bool take_value(const std::uint8_t*& p, const std::uint8_t* end, Value& value);
    // Whether `c` may begin a value.
    static bool starts_value(int c) {
        if constexpr (std::is_floating_point_v<Value>)
            return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'i' || c == 'I' ||
                   c == 'n' || c == 'N';
        return is_digit(c);
    }
    bool fail(std::string problem) {
        run_.fault = std::move(problem);
        return false;
    }
    void end_lines(std::uint32_t count) {
        auto& ends = run_.line_ends;
        const auto values = static_cast<std::uint32_t>(run_.count);
        if (!ends.empty() && ends.back().values == values) {
            ends.back().count += count;
        } else {
            ends.push_back({values, count});
        }
        line_values_ = 0;
        first_line_ = false;
        after_comma_ = false;
    }

    TableRun& run_;
    Value* values_;
    const std::uint32_t max_value_;
    std::size_t line_values_ = 0;  // values in this line so far, in this run
    bool first_line_ = true;       // the line the run began in, which may have values before
    bool after_comma_ = false;
    const std::uint8_t* feeds_end_ = nullptr;  // just past the last line feed
};

template <typename Value>
bool RunParser<Value>::take_chunk(const std::uint8_t*& p) {
    const simd::Kernel& kernel = simd::kernel();
    const simd::Masks m = kernel.table_masks(p);
    const std::uint64_t tokens = m.digit | m.comma | m.line_feed;
    if ((tokens | m.blank | m.carriage_return) != ~std::uint64_t(0) ||
        (m.comma & ~(m.digit << 1)) != 0 || (m.carriage_return & ~(m.line_feed >> 1)) != 0)
        return false;
    unsigned next;
    int taken = numbers::take_numbers(kernel, p, m.digit, max_value_, values_ + run_.count, next);
    if (taken < 0) return false;                           // a value to refuse, or leading zeros
    const std::uint64_t ends = ~m.digit & (m.digit << 1);  // the byte after each value
    const std::size_t before = run_.count;
    if (m.line_feed == 0) {
        line_values_ += static_cast<std::size_t>(taken);
    } else if (ends == 0) {
        end_lines(numbers::count_ones(m.line_feed));
    } else {
        // Each line feed after the values that end before it.
        for (std::uint64_t feeds = m.line_feed; feeds != 0; feeds &= feeds - 1) {
            run_.count = before + numbers::count_ones(through(ends, __builtin_ctzll(feeds)));
            end_lines(1);
        }
        line_values_ =
            numbers::count_ones(ends & ~through(~std::uint64_t(0), highest(m.line_feed)));
    }
    if (m.line_feed != 0) feeds_end_ = p + highest(m.line_feed) + 1;
    run_.count = before + static_cast<std::size_t>(taken);
    if (tokens != 0) {
        run_.has_tokens = true;
        // Commas here follow digits: no line feed or value comes between.
        after_comma_ = m.comma != 0 && highest(m.comma) > highest(m.digit | m.line_feed);
    }
    p += next;
    return true;
}

}  // namespace

// Whether `decimal`, which from_chars read whole, is below 1 in magnitude: the
// place of its first digit other than 0 (0 for the units, -1 for the tenths) and
// its exponent add up to less than 0. No wider type holds every such decimal.
bool below_one(std::string_view decimal) {
    const std::size_t e = decimal.find_first_of("eE");
    std::int64_t exponent = 0;
    if (e != decimal.npos) {
        std::string_view digits = decimal.substr(e + 1);
        const bool negative = digits[0] == '-';
        if (digits[0] == '-' || digits[0] == '+') digits.remove_prefix(1);
        for (char c : digits)
            exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), INT32_MAX);
        if (negative) exponent = -exponent;
    }
    const std::string_view mantissa = decimal.substr(0, e);
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == mantissa.npos) return true;
    const std::int64_t place =
        first < point ? std::int64_t(point - first) - 1 : -std::int64_t(first - point);
    return place + exponent < 0;
}

template <typename Real>
std::size_t read_real(std::string_view text, Real& value, std::string& problem) {
    const char* start = text.data();
    const char* stop = start + text.size();
    const char* from = start;
    if (*from == '+' && from + 1 < stop && from[1] != '-' && from[1] != '+') ++from;
    if constexpr (std::is_same_v<Real, float>) {
        const char* quick = decimal::parse_quickly(from, stop, value);
        if (quick != nullptr && (quick == stop || ends_value(*quick) || is_other_space(*quick)))
            return static_cast<std::size_t>(quick - start);
    }
    auto [next, error] = std::from_chars(from, stop, value, std::chars_format::general);
    if (error == std::errc::invalid_argument) {
        problem = "value is not a decimal number";
        return 0;
    }
    if (next < stop && !ends_value(*next) && !is_other_space(*next)) {
        const std::string_view before(from, static_cast<std::size_t>(next - from));
        problem = (before == "0" || before == "-0") && (*next == 'x' || *next == 'X')
                      ? "value is hexadecimal: lumtab reads decimals"
                      : "value is not a decimal number";
        return 0;
    }
    if (error == std::errc::result_out_of_range) {
        // Below the smallest is zero, as rounding has it; beyond the largest is
        // no such number at all.
        if (!below_one(std::string_view(from, static_cast<std::size_t>(next - from)))) {
            problem = printable(std::string_view(start, static_cast<std::size_t>(next - start))) +
                      (sizeof(Real) == 4 ? " is beyond the 32-bit floating-point range"
                                         : " is beyond the 64-bit floating-point range");
            return 0;
        }
        value = *from == '-' ? -Real(0) : Real(0);
    }
    return static_cast<std::size_t>(next - start);
}

std::size_t read_float(std::string_view text, float& value, std::string& problem) {
    return read_real(text, value, problem);
}

std::size_t read_float(std::string_view text, double& value, std::string& problem) {
    return read_real(text, value, problem);
}

namespace {

template <>
bool RunParser<std::uint16_t>::take_value(const std::uint8_t*& p, const std::uint8_t* end,
                                          std::uint16_t& value) {
    const std::uint32_t number = numbers::take_digits(p, end);
    if (p < end && (*p == '.' || *p == 'e' || *p == 'E')) return fail(kNotWhole);
    if (p < end && !ends_value(*p) && !is_other_space(*p))
        return fail("value is not a decimal number");
    if (number > 65535) return fail("value is beyond 65535");
    if (number > max_value_)
        return fail(std::to_string(number) + " is above the maximum value " +
                    std::to_string(max_value_));
    value = static_cast<std::uint16_t>(number);
    return true;
}

template <typename Value>
bool RunParser<Value>::take_value(const std::uint8_t*& p, const std::uint8_t* end, Value& value) {
    std::string problem;
    const std::size_t taken = read_float(
        {reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p)}, value, problem);
    if (taken == 0) return fail(std::move(problem));
    p += taken;
    return true;
}

template <typename Value>
bool RunParser<Value>::take_byte(const std::uint8_t*& p, const std::uint8_t* end) {
    const int c = *p;
    if (is_blank(c)) {
        ++p;
        return true;
    }
    run_.has_tokens = true;
    if (starts_value(c) && (std::is_floating_point_v<Value> || c != '-')) {
        Value value{};
        if (!take_value(p, end, value)) return false;
        // Before a fault that follows the value, the value counts: the fault is
        // placed at the column after it.
        const bool space_follows = p < end && is_other_space(*p);
        values_[run_.count++] = value;
        ++line_values_;
        after_comma_ = false;
        if (space_follows) return fail(not_a_separator(*p));
    } else if (c == ',') {
        if (first_line_ && line_values_ == 0 && !after_comma_) {
            run_.leading_comma = true;  // whether a value came before: for the run before
        } else if (after_comma_ || line_values_ == 0) {
            return fail("no value before the comma");
        }
        after_comma_ = true;
        ++p;
    } else if (c == '\n' || (c == '\r' && p + 1 < end && p[1] == '\n')) {
        p += c == '\n' ? 1 : 2;
        end_lines(1);
        feeds_end_ = p;
    } else {
        return fail(c == '-'            ? "negative value"
                    : c == '\r'         ? "carriage return without a line feed"
                    : is_other_space(c) ? not_a_separator(c)
                    : c == '.'          ? kNotWhole
                                        : "value is not a decimal number");
    }
    return true;
}

}  // namespace

TableRun::TableRun() = default;

void TableRun::reset() {
    count = 0;
    line_ends.clear();
    leading_comma = ends_after_comma = has_tokens = tail = false;
}

void TableRun::parse(std::uint32_t max_value) {
    reset();
    // Room past the values for the parser's wide stores; made when first needed.
    if (!values)
        values = std::make_unique_for_overwrite<std::uint16_t[]>(TextRun::kCapacity / 2 +
                                                                 simd::kChunk + simd::kWritesPast);
    std::optional<std::string> unbroken = std::move(fault);
    fault.reset();
    RunParser<std::uint16_t>(*this, values.get(), max_value).parse();
    if (!fault) fault = std::move(unbroken);
}

void TableRun::parse_doubles() {
    reset();
    if (!doubles) doubles = std::make_unique_for_overwrite<double[]>(TextRun::kCapacity / 2 + 1);
    std::optional<std::string> unbroken = std::move(fault);
    fault.reset();
    RunParser<double>(*this, doubles.get()).parse();
    if (!fault) fault = std::move(unbroken);
}

void TableRun::parse_floats() {
    reset();
    if (!reals) reals = std::make_unique_for_overwrite<float[]>(TextRun::kCapacity / 2 + 1);
    std::optional<std::string> unbroken = std::move(fault);
    fault.reset();
    RunParser<float>(*this, reals.get()).parse();
    if (!fault) fault = std::move(unbroken);
}

namespace {

// Checks the runs of a table against the lines before them, in turn, and gives
// the values of its rows to the sink.
class ShapeChecker {
  public:
    ShapeChecker(const std::string& name, int channels, std::uint64_t most_lines)
        : name_(name), channels_(static_cast<std::uint64_t>(channels)), most_lines_(most_lines) {}

    // Takes a run parsed, its values at `values`.
    template <typename Value>
    void take(const TableRun& run, const Value* values,
              const std::function<void(std::span<const Value>)>& sink);
    TableShape finish();

  private:
    template <typename Value>
    void add_values(std::span<const Value> values,
                    const std::function<void(std::span<const Value>)>& sink);
    // Ends the current line, and `empty` empty lines after it.
    void end_lines(std::uint64_t empty);
    [[noreturn]] void refuse(const std::string& problem) const {
        throw Error(name_, "line " + std::to_string(line_) + ", column " +
                               std::to_string(line_values_ + 1) + ": " + problem);
    }
    [[noreturn]] void refuse_row(std::uint64_t line, std::uint64_t count) const {
        throw Error(name_, "line " + std::to_string(line) + " has " + std::to_string(count) +
                               (count == 1 ? " value" : " values") + ", line 1 has " +
                               std::to_string(*width_));
    }
    void add_rows(std::uint64_t rows) {
        height_ += rows;
        if (height_ > most_lines_) throw Error(name_, "more lines than an image may be high");
    }

    const std::string& name_;
    const std::uint64_t channels_;
    const std::uint64_t most_lines_;
    std::uint64_t line_ = 1;         // the line being read
    std::uint64_t line_values_ = 0;  // its values so far
    bool after_comma_ = false;
    bool tail_ = false;  // bytes after the last line feed
    bool any_bytes_ = false;
    std::optional<std::uint64_t> width_;
    std::uint64_t height_ = 0;
    std::uint64_t empty_lines_ = 0;  // at the end so far
};

template <typename Value>
void ShapeChecker::take(const TableRun& run, const Value* values,
                        const std::function<void(std::span<const Value>)>& sink) {
    any_bytes_ = any_bytes_ || run.text.size() > 0 || run.fault;
    if (run.leading_comma && (after_comma_ || line_values_ == 0))
        refuse("no value before the comma");
    std::size_t at = 0;
    for (const TableRun::LineEnd& end : run.line_ends) {
        add_values(std::span<const Value>(values + at, end.values - at), sink);
        at = end.values;
        end_lines(end.count - 1);
    }
    add_values(std::span<const Value>(values + at, run.count - at), sink);
    if (run.fault) refuse(*run.fault);
    if (run.has_tokens) after_comma_ = run.ends_after_comma;
    tail_ = run.tail || (tail_ && run.line_ends.empty());
}

template <typename Value>
void ShapeChecker::add_values(std::span<const Value> values,
                              const std::function<void(std::span<const Value>)>& sink) {
    if (values.empty()) return;
    // Rows after empty lines: refused at the first value.
    if (line_values_ == 0 && empty_lines_ != 0) refuse_row(line_ - empty_lines_, 0);
    if (line_values_ + values.size() > std::uint64_t(INT32_MAX))
        throw Error(name_,
                    "line " + std::to_string(line_) + " has more values than an image may be wide");
    // A line wider than the first is read to its end, to say how wide, but not kept.
    std::size_t keep = values.size();
    if (width_) keep = std::min<std::uint64_t>(keep, *width_ - std::min(*width_, line_values_));
    if (keep > 0) sink(values.first(keep));
    line_values_ += values.size();
}

void ShapeChecker::end_lines(std::uint64_t empty) {
    if (!width_) {
        width_ = line_values_;
        if (line_values_ % channels_ != 0)
            throw Error(name_, "line " + std::to_string(line_) + " has " +
                                   std::to_string(line_values_) +
                                   (line_values_ == 1 ? " value" : " values") +
                                   ", not a multiple of " + std::to_string(channels_));
    }
    if (line_values_ == 0 && *width_ != 0) {
        // Empty lines after the last row are what an editor leaves, not rows.
        empty_lines_ += 1 + empty;
    } else {
        if (line_values_ != *width_ || empty_lines_ != 0)
            refuse_row(line_ - empty_lines_, line_values_);
        add_rows(1);
        // Empty lines are rows of an image 0 pixels wide, else perhaps the end.
        if (*width_ == 0) {
            add_rows(empty);
        } else {
            empty_lines_ += empty;
        }
    }
    line_ += 1 + empty;
    line_values_ = 0;
    after_comma_ = false;
}

TableShape ShapeChecker::finish() {
    if (!any_bytes_) throw Error(name_, "empty table");
    if (tail_) end_lines(0);
    return {static_cast<std::int32_t>(width_.value_or(0) / channels_),
            static_cast<std::int32_t>(height_)};
}

// Takes a table's text from `in` a run at a time.
class RunTaker {
  public:
    explicit RunTaker(Input& in) : in_(in) {}

    bool take(TableRun& run) {
        run.text.clear();
        run.fault.reset();
        while (run.text.has_room()) {
            bool unbroken;
            auto stretch = next_stretch(in_, is_break_byte, unbroken);
            if (stretch.empty()) break;
            if (unbroken) {
                run.fault = unbroken_fault(stretch);
                in_.skip(stretch.size());
                break;
            }
            run.text.append(stretch);
            in_.skip(stretch.size());
        }
        return run.text.size() > 0 || run.fault;
    }

  private:
    static bool is_break_byte(int c) { return is_break(c); }

    Input& in_;
};

}  // namespace

TableShape read_table(Input& in, std::uint32_t max_value,
                      const std::function<void(std::span<const std::uint16_t>)>& sink,
                      const std::function<void()>& progress, int channels,
                      std::uint64_t most_lines) {
    ShapeChecker checker(in.name(), channels, most_lines);
    RunTaker taker(in);
    Relay<TableRun> relay([&](TableRun& run) { return taker.take(run); },
                          [&](TableRun& run) { run.parse(max_value); },
                          [&](TableRun& run) {
                              checker.take(run, run.values.get(), sink);
                              if (progress) progress();
                          });
    // A table that fits in one run is not worth a thread.
    std::int64_t left = in.bytes_left();
    relay.run(left < 0 || left > std::int64_t(TextRun::kCapacity));
    return checker.finish();
}

namespace {

template <typename Real>
TableShape read_real_table(Input& in, const std::function<void(std::span<const Real>)>& sink,
                           const std::function<void()>& progress, int channels,
                           std::uint64_t most_lines) {
    ShapeChecker checker(in.name(), channels, most_lines);
    RunTaker taker(in);
    Relay<TableRun> relay([&](TableRun& run) { return taker.take(run); },
                          [&](TableRun& run) {
                              if constexpr (sizeof(Real) == 4) {
                                  run.parse_floats();
                              } else {
                                  run.parse_doubles();
                              }
                          },
                          [&](TableRun& run) {
                              if constexpr (sizeof(Real) == 4) {
                                  checker.take(run, run.reals.get(), sink);
                              } else {
                                  checker.take(run, run.doubles.get(), sink);
                              }
                              if (progress) progress();
                          });
    std::int64_t left = in.bytes_left();
    relay.run(left < 0 || left > std::int64_t(TextRun::kCapacity));
    return checker.finish();
}

}  // namespace

TableShape read_table(Input& in, const std::function<void(std::span<const float>)>& sink,
                      const std::function<void()>& progress, int channels,
                      std::uint64_t most_lines) {
    return read_real_table(in, sink, progress, channels, most_lines);
}

TableShape read_table(Input& in, const std::function<void(std::span<const double>)>& sink,
                      const std::function<void()>& progress, int channels,
                      std::uint64_t most_lines) {
    return read_real_table(in, sink, progress, channels, most_lines);
}

}  // namespace lumtab
