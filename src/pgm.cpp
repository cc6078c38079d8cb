#include "pgm.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "error.h"
#include "input.h"
#include "numbers.h"
#include "output_file.h"
#include "text_run.h"

namespace {

using numbers::is_digit;
using numbers::is_space;

// Reads the header token by token, in the order the format lays it out.
class HeaderParser {
  public:
    explicit HeaderParser(Input& in) : in_(in) {}

    PgmHeader parse() {
        PgmHeader header;
        header.plain = read_magic_number();
        skip_separators();
        header.width = read_dimension("width");
        bool line_ended = skip_separators();
        header.height = read_dimension("height");
        line_ended = skip_separators() || line_ended;
        header.max_value = read_max_value();
        if (header.plain) {
            skip_separators_to_end();
        } else {
            skip_to_raster(header, line_ended);
        }
        return header;
    }

  private:
    [[noreturn]] void refuse(const std::string& problem) { throw Error(in_.name(), problem); }

    // The next byte of the header, which may neither end nor hold a NUL byte.
    int peek() {
        int c = in_.peek();
        if (c < 0) refuse("file ends inside the header");
        if (c == '\0') refuse("NUL byte in the header");
        return c;
    }

    int get() {
        int c = peek();
        in_.skip(1);
        return c;
    }

    // "P2" or "P5", then whitespace or a comment; returns whether the image is plain.
    bool read_magic_number() {
        int first = in_.get();
        if (first < 0) refuse("empty file");
        int second = first == 'P' ? in_.get() : -1;
        if (!is_digit(second)) refuse("not a PGM image: no magic number P2 or P5");
        if (second != '2' && second != '5')
            refuse(std::string("not a PGM image: magic number P") + char(second) +
                   ", not P2 or P5");
        int next = peek();
        if (!is_space(next) && next != '#') refuse("not a PGM image: no magic number P2 or P5");
        return second == '2';
    }

    // A comment runs from "#" to the end of its line, a line feed or a carriage return.
    void skip_comment() {
        for (int c = get(); c != '\n' && c != '\r';)
            c = get();
    }

    // Skips whitespace and comments; returns whether a line ended on the way.
    bool skip_separators() {
        bool line_ended = false;
        for (int c = peek();; c = peek()) {
            if (c == '#') {
                in_.skip(1);
                skip_comment();
                line_ended = true;
            } else if (is_space(c)) {
                in_.skip(1);
                line_ended = line_ended || c == '\n';
            } else {
                return line_ended;
            }
        }
    }

    // Skips whitespace and comments up to the first sample or the end of the file.
    void skip_separators_to_end() {
        for (int c = in_.peek(); c == '#' || is_space(c); c = in_.peek()) {
            in_.skip(1);
            if (c == '#') skip_comment();
        }
    }

    // Decimal digits alone, without sign, at most 2^31 - 1; the byte after them is
    // left unread.
    std::int32_t read_number(const std::string& what) {
        int c = peek();
        if (c == '-') refuse("negative " + what);
        if (!is_digit(c)) refuse(what + " is not a decimal number");
        std::int64_t value = 0;
        for (; is_digit(c); c = in_.peek()) {
            in_.skip(1);
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<std::int32_t>::max()) refuse(what + " is too large");
        }
        return static_cast<std::int32_t>(value);
    }

    // A width or height, which whitespace or a comment must follow.
    std::int32_t read_dimension(const std::string& what) {
        std::int32_t value = read_number(what);
        int next = peek();
        if (!is_space(next) && next != '#') refuse(what + " is not a decimal number");
        return value;
    }

    // The maximum value, which whitespace, a comment or the end of the file follows.
    std::int32_t read_max_value() {
        std::int32_t value = read_number("maximum value");
        int next = in_.peek();
        if (next >= 0 && !is_space(next) && next != '#')
            refuse("maximum value is not a decimal number");
        if (value < 1 || value > 65535)
            refuse("maximum value " + std::to_string(value) + " is out of range (1 to 65535)");
        return value;
    }

    // One whitespace byte, or a comment, ends a binary header. But when the maximum
    // value shares its line with the width and height, blanks up to that line's
    // line feed belong to the header too (a CRLF line end must not shift the
    // raster), unless the file's size says the raster starts after the one byte.
    void skip_to_raster(const PgmHeader& header, bool max_value_on_own_line) {
        int c = in_.peek();
        if (c < 0) {
            // The header ends with a byte of whitespace; an image without samples
            // may do without it.
            if (header.samples() != 0) refuse("file ends inside the header");
            return;
        }
        in_.skip(1);
        if (c == '#') {
            skip_comment();
            return;
        }
        if (max_value_on_own_line || c == '\n') return;
        auto ahead = in_.look_ahead(4096);
        std::size_t blanks = 0;
        while (blanks < ahead.size() && ahead[blanks] != '\n' && is_space(ahead[blanks]))
            ++blanks;
        if (blanks == ahead.size() || ahead[blanks] != '\n') return;
        std::int64_t left = in_.bytes_left();
        if (left >= 0 && std::uint64_t(left) == header.samples() * header.sample_size()) return;
        in_.skip(blanks + 1);
    }

    Input& in_;
};

std::string truncated(std::uint64_t found, std::uint64_t needed, const char* unit) {
    return "truncated raster: found " + std::to_string(found) + " of " + std::to_string(needed) +
           " " + unit;
}

}  // namespace

PgmReader::PgmReader(Input& in) : in_(in), header_(HeaderParser(in).parse()) {
    if (header_.plain) return;
    // A claim beyond what a regular file holds is refused before anything is read.
    std::uint64_t needed = header_.samples() * header_.sample_size();
    if (std::int64_t left = in_.bytes_left(); left >= 0 && std::uint64_t(left) < needed)
        throw Error(in_.name(), truncated(std::uint64_t(left), needed, "bytes"));
}

std::size_t PgmReader::read(std::span<std::uint8_t> out) {
    if (header_.max_value > 255) std::abort();  // a caller's fault: samples do not fit
    out = out.first(std::min<std::uint64_t>(out.size(), header_.samples() - read_));
    return header_.plain ? read_plain(out) : read_binary(out, 1);
}

std::size_t PgmReader::read(std::span<std::uint16_t> out) {
    out = out.first(std::min<std::uint64_t>(out.size(), header_.samples() - read_));
    if (header_.plain) return read_plain(out);
    auto bytes = std::as_writable_bytes(out);
    auto* raw = reinterpret_cast<std::uint8_t*>(bytes.data());
    if (header_.sample_size() == 2) {
        read_binary({raw, bytes.size()}, 2);
        for (std::uint16_t& sample : out)
            sample = static_cast<std::uint16_t>(reinterpret_cast<std::uint8_t*>(&sample)[0] << 8 |
                                                reinterpret_cast<std::uint8_t*>(&sample)[1]);
    } else {
        // One byte a sample, read into the back half of `out` and widened from the
        // front: sample i is read (at byte n + i) before byte 2i + 1 is written.
        std::uint8_t* back = raw + out.size();
        read_binary({back, out.size()}, 1);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = back[i];
    }
    return out.size();
}

std::size_t PgmReader::read_binary(std::span<std::uint8_t> bytes, int sample_size) {
    std::size_t got = in_.read(bytes);
    if (got < bytes.size())
        throw Error(in_.name(),
                    truncated(read_ * sample_size + got, header_.samples() * sample_size, "bytes"));
    read_ += bytes.size() / sample_size;
    return bytes.size() / sample_size;
}

namespace {

// The fault in the sample at `index`: "`what` at row R, column C `problem`".
Error sample_fault(const std::string& name, const PgmHeader& header, std::uint64_t index,
                   const std::string& what, const std::string& problem) {
    std::uint64_t row = index / header.width + 1;
    std::uint64_t column = index % header.width + 1;
    return Error(name, what + " at row " + std::to_string(row) + ", column " +
                           std::to_string(column) + " " + problem);
}

struct Counted {
    std::size_t bytes;
    std::size_t samples;
};

// Counts the samples in `size` bytes of text, each a run of bytes other than
// whitespace, the first byte starting one: the first `most` of them, and the bytes
// up to where the last of those ends.
Counted count_samples(const std::uint8_t* text, std::size_t size, std::size_t most) {
    const simd::Kernel& kernel = simd::kernel();
    std::size_t samples = 0;
    std::size_t at = 0;
    std::uint64_t space_before = 1;
    for (; at + simd::kChunk <= size; at += simd::kChunk) {
        std::uint64_t space = kernel.plain_masks(text + at).space;
        unsigned starts = numbers::count_ones(~space & (space << 1 | space_before));
        if (samples + starts >= most) break;  // the last one wanted is found below
        samples += starts;
        space_before = space >> 63;
    }
    bool inside = space_before == 0;
    for (; at < size; ++at) {
        bool space = is_space(text[at]);
        if (space && inside && samples == most) break;
        if (!space && !inside) {
            if (samples == most) break;
            ++samples;
        }
        inside = !space;
    }
    return {at, samples};
}

// Parses a run of a plain raster's text, counting the samples as it goes so that
// a fault can be placed by its row and column.
template <typename Sample>
class PlainParser {
  public:
    PlainParser(const std::string& name, const PgmHeader& header, std::uint64_t first)
        : name_(name), header_(header), index_(first) {}

    // Takes the samples of the text from `p` to `end` into `out`, until it is full.
    void parse(const std::uint8_t* p, const std::uint8_t* end, std::span<Sample> out) {
        std::size_t count = 0;
        while (count < out.size() && p < end) {
            if (std::size_t(end - p) >= simd::kChunk + simd::kReadsAfter &&
                take_chunk(p, out, count))
                continue;
            for (const std::uint8_t* stop = std::min(end, p + simd::kChunk);
                 count < out.size() && p < stop;) {
                if (is_space(*p)) {
                    ++p;
                    continue;
                }
                out[count++] = static_cast<Sample>(take_sample(p, end));
                ++index_;
            }
        }
    }

  private:
    // Takes into `out`, from `count` on, the samples that end in the 64 bytes at
    // `p`, if those bytes are digits and whitespace alone, and moves `p` to the first
    // sample not taken; false where a byte at a time must do. `p` is whitespace or
    // the start of a sample, so a sample is taken whole, in the chunk where it ends.
    bool take_chunk(const std::uint8_t*& p, std::span<Sample> out, std::size_t& count) {
        const simd::Kernel& kernel = simd::kernel();
        const simd::Masks masks = kernel.plain_masks(p);
        if ((masks.digit | masks.space) != ~std::uint64_t(0)) return false;
        // The end of `out`, where a chunk's samples may not all fit: byte by byte.
        const std::size_t room = out.size() - count;
        if (room < simd::kChunk / 2 + simd::kWritesPast &&
            numbers::count_ones(~masks.digit & masks.digit << 1) +
                    simd::kWritesPast / sizeof(Sample) >
                room)
            return false;
        unsigned next;
        int taken = numbers::take_numbers(kernel, p, masks.digit,
                                          static_cast<std::uint32_t>(header_.max_value),
                                          out.data() + count, next);
        if (taken < 0) return false;  // a sample to refuse, or leading zeros
        count += static_cast<std::size_t>(taken);
        index_ += static_cast<std::size_t>(taken);
        p += next;
        return true;
    }

    // Takes the sample at `p` and moves `p` past it.
    std::uint32_t take_sample(const std::uint8_t*& p, const std::uint8_t* end) const {
        const std::uint8_t* start = p;
        std::uint32_t value = numbers::take_digits(p, end);
        if (p == start || (p < end && !is_space(*p))) refuse("sample", "is not a decimal number");
        if (value > 65535) refuse("sample", "is beyond 65535");
        if (value > std::uint32_t(header_.max_value))
            refuse("sample " + std::to_string(value),
                   "is above the maximum value " + std::to_string(header_.max_value));
        return value;
    }

    [[noreturn]] void refuse(const std::string& what, const std::string& problem) const {
        throw sample_fault(name_, header_, index_, what, problem);
    }

    const std::string& name_;
    const PgmHeader& header_;
    std::uint64_t index_;
};

bool is_space_break(int c) {
    return is_space(c);
}

}  // namespace

// Decimal numbers separated by whitespace, in any line layout; the last one may end
// the file. The text is taken a stretch of the input at a time, each ending in
// whitespace so that no number is cut, or at the end of the file; its samples are
// only counted here, and parsed later.
std::size_t PgmReader::take_text(PlainText& text, std::size_t most) {
    most = std::min<std::uint64_t>(most, header_.samples() - read_);
    text.run.clear();
    text.first = read_;
    text.count = 0;
    text.fault.reset();
    while (text.count < most && text.run.has_room()) {
        bool unbroken;
        auto stretch = next_stretch(in_, is_space_break, unbroken);
        if (stretch.empty()) {
            text.fault =
                Error(in_.name(), truncated(read_ + text.count, header_.samples(), "samples"));
            break;
        }
        if (unbroken) {
            bool digits = std::all_of(stretch.begin(), stretch.end(), is_digit);
            text.fault = sample_fault(in_.name(), header_, read_ + text.count, "sample",
                                      digits ? "is beyond 65535" : "is not a decimal number");
            break;
        }
        Counted counted = count_samples(stretch.data(), stretch.size(), most - text.count);
        if (counted.samples > 0) text.run.append(stretch.first(counted.bytes));
        text.count += counted.samples;
        in_.skip(counted.bytes);
    }
    read_ += text.count;
    return text.count;
}

void PgmReader::parse_text(const PlainText& text, std::span<std::uint8_t> out) const {
    if (header_.max_value > 255) std::abort();  // a caller's fault: samples do not fit
    PlainParser<std::uint8_t>(in_.name(), header_, text.first)
        .parse(text.run.data(), text.run.data() + text.run.size(), out.first(text.count));
    if (text.fault) throw *text.fault;
}

void PgmReader::parse_text(const PlainText& text, std::span<std::uint16_t> out) const {
    PlainParser<std::uint16_t>(in_.name(), header_, text.first)
        .parse(text.run.data(), text.run.data() + text.run.size(), out.first(text.count));
    if (text.fault) throw *text.fault;
}

template <typename Sample>
std::size_t PgmReader::read_plain(std::span<Sample> out) {
    if (!text_) text_ = std::make_unique<PlainText>();
    std::size_t count = 0;
    while (count < out.size()) {
        std::size_t taken = take_text(*text_, out.size() - count);
        parse_text(*text_, out.subspan(count));
        count += taken;
    }
    return count;
}

std::string pgm_header(const std::string& file_name, const PgmHeader& header,
                       const std::string& comment, bool room_for_any_size) {
    if (header.width < 0 || header.height < 0) throw Error(file_name, "negative width or height");
    if (header.max_value < 1 || header.max_value > 65535)
        throw Error(file_name, "maximum value " + std::to_string(header.max_value) +
                                   " is out of range (1 to 65535)");
    if (comment.find('\0') != std::string::npos) throw Error(file_name, "NUL byte in the comment");
    std::string text = "P5\n#";
    for (char c : comment) {
        text += c;
        if (c == '\n' || c == '\r') text += '#';
    }
    std::string size = std::to_string(header.width) + " " + std::to_string(header.height);
    std::string max_value = std::to_string(header.max_value);
    if (room_for_any_size) {
        // Whitespace between the values may be any amount: room for the most digits
        // of each, "2147483647 2147483647" and "65535".
        size.resize(21, ' ');
        max_value.insert(0, 5 - max_value.size(), ' ');
    }
    return text + "\n" + size + "\n" + max_value + "\n";
}

void pack_big_endian(std::span<const std::uint16_t> samples, std::uint8_t* out) {
    for (std::uint16_t sample : samples) {
        *out++ = static_cast<std::uint8_t>(sample >> 8);
        *out++ = static_cast<std::uint8_t>(sample);
    }
}

void write_samples_16(OutputFile& out, std::span<const std::uint16_t> samples) {
    std::uint8_t block[64 * 1024];
    while (!samples.empty()) {
        std::size_t n = std::min(samples.size(), sizeof block / 2);
        pack_big_endian(samples.first(n), block);
        out.write({reinterpret_cast<const char*>(block), 2 * n});
        samples = samples.subspan(n);
    }
}

namespace {

// Runs `body`; a failure is reported on standard error and ends the process with
// status 1, as read_pgm and write_pgm promise.
template <typename Body>
auto exit_on_failure(const std::string& file_name, Body body) {
    try {
        return body();
    } catch (const Error& error) {
        report(error);
    } catch (const std::bad_alloc&) {
        report(Error(file_name, "out of memory"));
    }
    std::exit(1);
}

// The checks write_pgm and write_pgm_16 share; throws Error.
PgmHeader checked_header(const std::string& file_name, std::size_t given, std::int32_t width,
                         std::int32_t height, std::int32_t max_value) {
    PgmHeader header{false, width, height, max_value};
    if (width >= 0 && height >= 0 && given < header.samples())
        throw Error(file_name, "the image needs " + std::to_string(header.samples()) +
                                   " pixels but only " + std::to_string(given) + " were given");
    return header;
}

// Writes the image `file_name`: the header for `header` and `comment`, then what
// `write_raster` writes. Throws Error, except that a file that cannot be created
// gets the message callers may match, without a line feed, and ends the process.
template <typename WriteRaster>
void write_image(const std::string& file_name, const PgmHeader& header, const std::string& comment,
                 WriteRaster write_raster) {
    std::string text = pgm_header(file_name, header, comment);
    std::optional<OutputFile> out;
    try {
        out.emplace(file_name);
    } catch (const Error&) {
        std::string message = "Unable to open file: " + printable(file_name);
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::exit(1);
    }
    out->write(text);
    write_raster(*out);
    out->commit();
}

}  // namespace

int read_pgm(const std::string& file_name, std::vector<std::uint8_t>& pixels, std::int32_t& width,
             std::int32_t& height) {
    return exit_on_failure(file_name, [&] {
        Input in(file_name);
        PgmReader reader(in);
        const PgmHeader& header = reader.header();
        if (header.max_value > 255)
            throw Error(file_name,
                        "maximum value " + std::to_string(header.max_value) +
                            " means 16-bit samples, but read_pgm holds one byte a sample");
        // The pixels grow as they arrive: a claim costs no more memory than the
        // bytes behind it.
        pixels.clear();
        if (std::int64_t left = in.bytes_left(); left >= 0)
            pixels.reserve(std::min<std::uint64_t>(header.samples(), std::uint64_t(left)));
        while (reader.samples_read() < header.samples()) {
            std::size_t old = pixels.size();
            pixels.resize(old + std::min<std::uint64_t>(header.samples() - old, 1 << 20));
            reader.read(std::span(pixels).subspan(old));
        }
        in.close();
        width = header.width;
        height = header.height;
        return header.max_value;
    });
}

void write_pgm(const std::string& file_name, std::span<const std::uint8_t> pixels,
               std::int32_t width, std::int32_t height, std::int32_t max_value,
               const std::string& comment) {
    exit_on_failure(file_name, [&] {
        if (max_value < 1 || max_value > 255)
            throw Error(file_name, "maximum value " + std::to_string(max_value) +
                                       " is out of range (1 to 255)");
        PgmHeader header = checked_header(file_name, pixels.size(), width, height, max_value);
        write_image(file_name, header, comment, [&](OutputFile& out) {
            auto raster = pixels.first(header.samples());
            out.write({reinterpret_cast<const char*>(raster.data()), raster.size()});
        });
    });
}

void write_pgm_16(const std::string& file_name, std::span<const std::uint16_t> samples,
                  std::int32_t width, std::int32_t height, std::int32_t max_value,
                  const std::string& comment) {
    exit_on_failure(file_name, [&] {
        PgmHeader header = checked_header(file_name, samples.size(), width, height, max_value);
        write_image(file_name, header, comment, [&](OutputFile& out) {
            auto raster = samples.first(header.samples());
            if (header.sample_size() == 2) {
                write_samples_16(out, raster);
                return;
            }
            std::vector<char> bytes(raster.size());
            for (std::size_t i = 0; i < raster.size(); ++i) {
                if (raster[i] > 255)
                    throw Error(file_name, "sample " + std::to_string(raster[i]) +
                                               " does not fit in one byte (maximum value " +
                                               std::to_string(max_value) + ")");
                bytes[i] = static_cast<char>(raster[i]);
            }
            out.write(bytes);
        });
    });
}
