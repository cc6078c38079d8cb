// The header of a PGM image, read token by token, and its binary raster.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "formats/pgm_reader.h"
#include "io/error_text.h"
#include "io/input.h"
#include "text/numbers.h"

namespace lumtab {

namespace {

using numbers::is_digit;
using numbers::is_space;

// Bytes a sample in a binary raster.
std::uint64_t sample_size(const ImageInfo& info) {
    return info.wide() ? 2 : 1;
}

// Reads the header token by token, in the order the format lays it out.
class HeaderParser {
  public:
    explicit HeaderParser(Input& in) : in_(in) {}

    ImageInfo parse() {
        ImageInfo header;
        header.format = read_magic_number() ? Format::pgm_plain : Format::pgm_binary;
        skip_separators();
        header.width = read_dimension("width");
        bool line_ended = skip_separators();
        header.height = read_dimension("height");
        line_ended = skip_separators() || line_ended;
        header.max_value = read_max_value();
        if (header.format == Format::pgm_plain) {
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
        if (!is_max_value(value)) refuse(max_value_out_of_range(value));
        return value;
    }

    // One whitespace byte, or a comment, ends a binary header. But when the maximum
    // value shares its line with the width and height, blanks up to that line's
    // line feed belong to the header too (a CRLF line end must not shift the
    // raster), unless the file's size says the raster starts after the one byte.
    void skip_to_raster(const ImageInfo& header, bool max_value_on_own_line) {
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
        if (left >= 0 && std::uint64_t(left) == header.samples() * sample_size(header)) return;
        in_.skip(blanks + 1);
    }

    Input& in_;
};

}  // namespace

std::string truncated_raster(std::uint64_t found, std::uint64_t needed, const char* unit) {
    return "truncated raster: found " + std::to_string(found) + " of " + std::to_string(needed) +
           " " + unit;
}

PgmReader::PgmReader(Input& in) : in_(in), info_(HeaderParser(in).parse()) {
    if (plain()) return;
    // A claim beyond what a regular file holds is refused before anything is read.
    std::uint64_t needed = info_.samples() * sample_size(info_);
    if (std::int64_t left = in_.bytes_left(); left >= 0 && std::uint64_t(left) < needed)
        throw Error(in_.name(), truncated_raster(std::uint64_t(left), needed, "bytes"));
}

std::size_t PgmReader::read(std::span<std::uint8_t> out) {
    if (info_.max_value > 255) std::abort();  // a caller's fault: samples do not fit
    out = out.first(std::min<std::uint64_t>(out.size(), info_.samples() - read_));
    return plain() ? read_plain(out) : read_binary(out, 1);
}

std::size_t PgmReader::read(std::span<std::uint16_t> out) {
    out = out.first(std::min<std::uint64_t>(out.size(), info_.samples() - read_));
    if (plain()) return read_plain(out);
    auto bytes = std::as_writable_bytes(out);
    auto* raw = reinterpret_cast<std::uint8_t*>(bytes.data());
    if (info_.wide()) {
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
        throw Error(in_.name(), truncated_raster(read_ * sample_size + got,
                                                 info_.samples() * sample_size, "bytes"));
    read_ += bytes.size() / sample_size;
    return bytes.size() / sample_size;
}

}  // namespace lumtab
