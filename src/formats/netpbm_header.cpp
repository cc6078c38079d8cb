// The header of every Netpbm image, PAM's keyword lines too, read token by token;
// and the binary rasters that follow it.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>

#include "formats/netpbm_reader.h"
#include "image/max_value.h"
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

// The bytes of a binary raster.
std::uint64_t raster_bytes(const ImageInfo& info) {
    return info.format == Format::pbm_binary ? bitmap_bytes(info)
                                             : info.samples() * sample_size(info);
}

// What each magic number's image is.
struct Kind {
    Format format;
    int channels;
    const char* tuple_type;
    bool bitmap;  // no maximum value: it is 1
};

Kind kind_of(int magic_digit) {
    switch (magic_digit) {
        case '1':
            return {Format::pbm_plain, 1, "BLACKANDWHITE", true};
        case '2':
            return {Format::pgm_plain, 1, "GRAYSCALE", false};
        case '3':
            return {Format::ppm_plain, 3, "RGB", false};
        case '4':
            return {Format::pbm_binary, 1, "BLACKANDWHITE", true};
        case '6':
            return {Format::ppm_binary, 3, "RGB", false};
        case '7':
            return {Format::pam, 0, "", false};
    }
    return {Format::pgm_binary, 1, "GRAYSCALE", false};
}

// How many channels a PAM tuple type has, or 0 for one lumtab does not know.
int channels_of(const std::string& tuple_type) {
    for (const char* grey : {"BLACKANDWHITE", "GRAYSCALE"}) {
        if (tuple_type == grey) return 1;
        if (tuple_type == std::string(grey) + "_ALPHA") return 2;
    }
    if (tuple_type == "RGB") return 3;
    if (tuple_type == "RGB_ALPHA") return 4;
    return 0;
}

// Reads the header token by token, in the order the format lays it out.
class HeaderParser {
  public:
    explicit HeaderParser(Input& in) : in_(in) {}

    ImageInfo parse() {
        const Kind kind = kind_of(read_magic_number());
        ImageInfo header;
        header.format = kind.format;
        if (kind.format == Format::pam) return parse_pam(header);
        header.channels = kind.channels;
        header.tuple_type = kind.tuple_type;
        skip_separators();
        header.width = read_dimension("width");
        bool line_ended = skip_separators();
        if (kind.bitmap) {
            header.height = read_last_number("height");
            header.max_value = 1;
        } else {
            header.height = read_dimension("height");
            line_ended = skip_separators() || line_ended;
            header.max_value = read_max_value();
        }
        if (header.format == Format::pgm_binary || header.format == Format::ppm_binary ||
            header.format == Format::pbm_binary) {
            skip_to_raster(header, line_ended);
        } else {
            skip_separators_to_end();
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

    // "P1" to "P7", then whitespace or a comment; returns its digit.
    int read_magic_number() {
        int first = in_.get();
        if (first < 0) refuse("empty file");
        int second = first == 'P' ? in_.get() : -1;
        if (!is_digit(second)) refuse("not an image lumtab reads (Netpbm, PNG, TIFF or JPEG)");
        if (second < '1' || second > '7')
            refuse(std::string("not a Netpbm image: magic number P") + char(second));
        int next = peek();
        if (!is_space(next) && (next != '#' || second == '7'))
            refuse("not an image lumtab reads (Netpbm, PNG, TIFF or JPEG)");
        return second;
    }

    // A PAM header: lines of a keyword and its value, comments, and ENDHDR.
    ImageInfo parse_pam(ImageInfo header) {
        std::optional<std::int32_t> width, height, depth, max_value;
        bool has_tuple_type = false;
        header.tuple_type.clear();
        for (;;) {
            skip_blank_lines();
            std::string keyword = read_word();
            if (keyword == "ENDHDR") break;
            if (keyword == "TUPLTYPE") {
                // Netpbm joins the values of several TUPLTYPE lines with a space.
                std::string value = read_line_value();
                header.tuple_type += (has_tuple_type ? " " : "") + value;
                has_tuple_type = true;
                continue;
            }
            std::optional<std::int32_t>* field = keyword == "WIDTH"    ? &width
                                                 : keyword == "HEIGHT" ? &height
                                                 : keyword == "DEPTH"  ? &depth
                                                 : keyword == "MAXVAL" ? &max_value
                                                                       : nullptr;
            if (field == nullptr)
                refuse("unknown line " + printable(keyword) + " in the PAM header");
            if (field->has_value()) refuse(keyword + " twice in the PAM header");
            skip_blanks();
            *field = read_number(keyword);
            skip_blanks();
            if (int c = peek(); c != '\n' && c != '\r')
                refuse(keyword + " is not a decimal number");
        }
        skip_line_end();
        for (const auto& [value, keyword] : {std::pair{&width, "WIDTH"},
                                             {&height, "HEIGHT"},
                                             {&depth, "DEPTH"},
                                             {&max_value, "MAXVAL"}})
            if (!value->has_value()) refuse(std::string("no ") + keyword + " in the PAM header");
        header.width = *width;
        header.height = *height;
        header.max_value = *max_value;
        header.channels = *depth;
        if (!is_max_value(header.max_value)) refuse(max_value_out_of_range(header.max_value));
        if (header.channels < 1 || header.channels > 4)
            refuse("depth " + std::to_string(header.channels) + ": lumtab reads 1 to 4 channels");
        int expected = channels_of(header.tuple_type);
        if (expected != 0 && expected != header.channels)
            refuse("depth " + std::to_string(header.channels) + " does not match the tuple type " +
                   printable(header.tuple_type));
        return header;
    }

    // Whitespace, empty lines and comment lines before a PAM header line.
    void skip_blank_lines() {
        for (int c = peek(); c == '#' || is_space(c); c = peek()) {
            in_.skip(1);
            if (c == '#') skip_comment();
        }
    }

    void skip_blanks() {
        for (int c = peek(); c == ' ' || c == '\t'; c = peek())
            in_.skip(1);
    }

    // The end of a line: a line feed, or a carriage return and a line feed.
    void skip_line_end() {
        skip_blanks();
        if (peek() == '\r') in_.skip(1);
        if (get() != '\n') refuse("ENDHDR is not alone on its line in the PAM header");
    }

    // A PAM header's keyword: the letters up to the first blank or line end.
    std::string read_word() {
        std::string word;
        for (int c = peek(); !is_space(c); c = peek()) {
            if (word.size() == kLongestLine) refuse("PAM header line too long");
            word += static_cast<char>(get());
        }
        return word;
    }

    // The rest of a PAM header line, blanks around it left out.
    std::string read_line_value() {
        skip_blanks();
        std::string value;
        for (int c = peek(); c != '\n' && c != '\r'; c = peek()) {
            if (value.size() == kLongestLine) refuse("PAM header line too long");
            value += static_cast<char>(get());
        }
        while (!value.empty() && is_space(value.back()))
            value.pop_back();
        return value;
    }

    static constexpr std::size_t kLongestLine = 4096;

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

    // The last number of a header, which whitespace, a comment or the end of the
    // file follows.
    std::int32_t read_last_number(const std::string& what) {
        std::int32_t value = read_number(what);
        int next = in_.peek();
        if (next >= 0 && !is_space(next) && next != '#') refuse(what + " is not a decimal number");
        return value;
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
        std::int32_t value = read_last_number("maximum value");
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
        if (left >= 0 && std::uint64_t(left) == raster_bytes(header)) return;
        in_.skip(blanks + 1);
    }

    Input& in_;
};

}  // namespace

std::string truncated_raster(std::uint64_t found, std::uint64_t needed, const char* unit) {
    return "truncated raster: found " + std::to_string(found) + " of " + std::to_string(needed) +
           " " + unit;
}

std::uint64_t bitmap_bytes(const ImageInfo& info) {
    return (std::uint64_t(info.width) + 7) / 8 * std::uint64_t(info.height);
}

NetpbmReader::NetpbmReader(Input& in) : in_(in), info_(HeaderParser(in).parse()) {
    if (decimal_text() || info_.format == Format::pbm_plain) return;
    // A claim beyond what a regular file holds is refused before anything is read.
    std::uint64_t needed = raster_bytes(info_);
    if (std::int64_t left = in_.bytes_left(); left >= 0 && std::uint64_t(left) < needed)
        throw Error(in_.name(), truncated_raster(std::uint64_t(left), needed, "bytes"));
}

template <typename Sample>
std::size_t NetpbmReader::read_samples(std::span<Sample> out) {
    out = out.first(std::min<std::uint64_t>(out.size(), info_.samples() - read_));
    switch (info_.format) {
        case Format::pgm_plain:
        case Format::ppm_plain:
            return read_plain(out);
        case Format::pbm_binary:
            return read_bits(out);
        case Format::pbm_plain:
            return read_digits(out);
        default:
            break;
    }
    if constexpr (sizeof(Sample) == 1) {
        return read_binary(out, 1);
    } else {
        auto* raw = reinterpret_cast<std::uint8_t*>(out.data());
        if (info_.wide()) {
            read_binary({raw, 2 * out.size()}, 2);
            for (std::uint16_t& sample : out)
                sample =
                    static_cast<std::uint16_t>(reinterpret_cast<std::uint8_t*>(&sample)[0] << 8 |
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
}

std::size_t NetpbmReader::read(std::span<std::uint8_t> out) {
    if (info_.max_value > 255) std::abort();  // a caller's fault: samples do not fit
    return read_samples(out);
}

std::size_t NetpbmReader::read(std::span<std::uint16_t> out) {
    return read_samples(out);
}

std::size_t NetpbmReader::read_binary(std::span<std::uint8_t> bytes, int sample_size) {
    std::size_t got = in_.read(bytes);
    if (got < bytes.size())
        throw Error(in_.name(), truncated_raster(read_ * sample_size + got,
                                                 info_.samples() * sample_size, "bytes"));
    read_ += bytes.size() / sample_size;
    return bytes.size() / sample_size;
}

}  // namespace lumtab
