#include "pgm.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "io.h"

namespace {

// Why an image is refused. Thrown by the steps of decoding and caught where decoding
// starts, so that each step reads as the part of the format it parses.
struct Refusal {
    std::string why;
};

[[noreturn]] void refuse(std::string why) {
    throw Refusal{std::move(why)};
}

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

// The next byte of the input, or EOF at its end.
int next_byte(std::FILE* in) {
    int c = std::getc(in);
    if (c == EOF && std::ferror(in)) refuse(std::strerror(errno));
    return c;
}

// The next byte of the header, which may neither end nor hold a NUL byte.
int header_byte(std::FILE* in) {
    int c = next_byte(in);
    if (c == EOF) refuse("file ends inside the header");
    if (c == '\0') refuse("NUL byte in the header");
    return c;
}

void put_back(int c, std::FILE* in) {
    if (c != EOF) std::ungetc(c, in);
}

// "P5", then whitespace or a comment.
void read_magic_number(std::FILE* in) {
    int first = next_byte(in);
    if (first == EOF) refuse("empty file");
    int second = first == 'P' ? header_byte(in) : EOF;
    if (!is_digit(second)) refuse("not a PGM image: no P5 magic number");
    if (second != '5')
        refuse(std::string("not a binary PGM image: magic number P") + char(second) + ", not P5");
    int next = header_byte(in);
    if (!is_space(next) && next != '#') refuse("not a PGM image: no P5 magic number");
    put_back(next, in);
}

// Skips whitespace and "#" comments, each of which runs to the end of its line
// however long that is. Returns whether a line ended on the way.
bool skip_whitespace_and_comments(std::FILE* in) {
    bool line_ended = false;
    for (;;) {
        int c = header_byte(in);
        if (c == '#') {
            while (header_byte(in) != '\n') {
            }
            c = '\n';
        }
        if (!is_space(c)) {
            put_back(c, in);
            return line_ended;
        }
        line_ended = line_ended || c == '\n';
    }
}

// A header number: decimal digits only, without sign, at most 2^31 - 1. The byte
// after it is left unread.
std::int32_t read_number(std::FILE* in, const std::string& what) {
    int c = header_byte(in);
    if (c == '-') refuse("negative " + what);
    if (!is_digit(c)) refuse(what + " is not a decimal number");
    std::int64_t value = 0;
    for (; is_digit(c); c = next_byte(in)) {
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<std::int32_t>::max()) refuse(what + " is too large");
    }
    put_back(c, in);
    return static_cast<std::int32_t>(value);
}

// A width or height, which whitespace or a comment must follow.
std::int32_t read_dimension(std::FILE* in, const std::string& what) {
    std::int32_t value = read_number(in, what);
    int next = header_byte(in);
    if (!is_space(next) && next != '#') refuse(what + " is not a decimal number");
    put_back(next, in);
    return value;
}

std::int32_t read_max_value(std::FILE* in) {
    std::int32_t value = read_number(in, "maximum value");
    if (value > 255 && value <= 65535)
        refuse("maximum value " + std::to_string(value) +
               " means 16-bit samples, which are not supported");
    if (value < 1 || value > 255)
        refuse("maximum value " + std::to_string(value) + " is out of range (1 to 255)");
    return value;
}

// After a maximum value on a line of its own (or after comments) exactly one
// whitespace byte comes before the raster. When the maximum value ends the line that
// holds the width and the height, the raster starts after that line.
void skip_to_raster(std::FILE* in, bool max_value_on_own_line) {
    int c = next_byte(in);
    if (c == EOF) return;  // no raster at all: reading it will say so
    if (!is_space(c)) refuse("maximum value is not a decimal number");
    if (max_value_on_own_line) return;
    for (; c != '\n' && c != EOF; c = next_byte(in)) {
        if (!is_space(c)) refuse("unexpected text after the maximum value");
    }
}

void read_header(std::FILE* in, std::int32_t& width, std::int32_t& height,
                 std::int32_t& max_value) {
    read_magic_number(in);
    skip_whitespace_and_comments(in);
    width = read_dimension(in, "width");
    bool line_ended = skip_whitespace_and_comments(in);
    height = read_dimension(in, "height");
    line_ended = skip_whitespace_and_comments(in) || line_ended;
    max_value = read_max_value(in);
    skip_to_raster(in, line_ended);
}

std::string truncated(std::uint64_t found, std::uint64_t needed) {
    return "truncated raster: found " + std::to_string(found) + " of " + std::to_string(needed) +
           " bytes";
}

// The bytes that follow the current position, or -1 if the input is not a regular
// file and so cannot tell in advance.
std::int64_t bytes_left(std::FILE* in) {
    struct stat status;
    int fd = fileno(in);
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    off_t position = ftello(in);
    return position < 0 ? -1 : std::max<std::int64_t>(status.st_size - position, 0);
}

// Reserves room for `count` pixels, asking for huge pages where the system offers
// them on request: a 64 MiB raster then costs 32 page faults instead of 16384. The
// request is only advice, so its failure does no harm.
void reserve_pixels(std::vector<std::uint8_t>& pixels, std::size_t count) {
    pixels.reserve(count);
    constexpr std::uintptr_t kHugePage = 2 << 20;
    if (count < 2 * kHugePage) return;
    auto begin = reinterpret_cast<std::uintptr_t>(pixels.data());
    std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    std::uintptr_t last = (begin + count) & ~(kHugePage - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Reads `count` raster bytes. A regular file tells its size, so a header that claims
// more than the file holds is refused before anything is allocated; elsewhere the
// pixels grow as bytes arrive, so a claim costs no more memory than the bytes behind
// it. The bytes pass through a small chunk that stays in the cache, which spares
// the pixels a pass of zeroes before they are filled.
void read_raster(std::FILE* in, std::uint64_t count, std::vector<std::uint8_t>& pixels) {
    if (count > pixels.max_size()) refuse("image is too large");
    pixels.clear();
    if (std::int64_t left = bytes_left(in); left >= 0) {
        if (static_cast<std::uint64_t>(left) < count) refuse(truncated(left, count));
        reserve_pixels(pixels, count);
    }
    const std::size_t chunk_size = std::min<std::uint64_t>(count, 256 * 1024);
    auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(chunk_size);
    while (pixels.size() < count) {
        std::size_t want = std::min<std::uint64_t>(chunk_size, count - pixels.size());
        std::size_t got = std::fread(chunk.get(), 1, want, in);
        pixels.insert(pixels.end(), chunk.get(), chunk.get() + got);
        if (got < want) break;
    }
    if (std::ferror(in)) refuse(std::strerror(errno));
    if (pixels.size() < count) refuse(truncated(pixels.size(), count));
}

std::string decode_stream(std::FILE* in, std::vector<std::uint8_t>& pixels, std::int32_t& width,
                          std::int32_t& height, std::int32_t& max_value) {
    try {
        read_header(in, width, height, max_value);
        read_raster(in, static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height),
                    pixels);
        return "";
    } catch (const Refusal& refusal) {
        return refusal.why;
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

// The comment as header lines: every line break starts a new "#" line.
std::string comment_lines(const std::string& comment) {
    std::string lines = "#";
    for (char c : comment) {
        lines += c;
        if (c == '\n') lines += '#';
    }
    return lines + '\n';
}

}  // namespace

int read_pgm(const std::string& file_name, std::vector<std::uint8_t>& pixels, std::int32_t& width,
             std::int32_t& height) {
    std::FILE* in = std::fopen(file_name.c_str(), "rb");
    if (in == nullptr) fail_with("Unable to open file: " + file_name + "\n");
    std::int32_t max_value = 0;
    std::string why = decode_stream(in, pixels, width, height, max_value);
    if (std::fclose(in) != 0 && why.empty()) why = std::strerror(errno);
    if (!why.empty()) fail(file_name, why);
    return max_value;
}

std::string decode_pgm(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& pixels,
                       std::int32_t& width, std::int32_t& height, std::int32_t& max_value) {
    if (bytes.empty()) return "empty file";
    // A stream opened for reading never writes to its buffer.
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), "rb");
    if (in == nullptr) return std::strerror(errno);
    std::string why = decode_stream(in, pixels, width, height, max_value);
    std::fclose(in);
    return why;
}

void write_pgm(const std::string& file_name, std::span<const std::uint8_t> pixels,
               std::int32_t width, std::int32_t height, std::int32_t max_value,
               const std::string& comment) {
    if (width < 0 || height < 0) fail(file_name, "negative width or height");
    if (max_value < 1 || max_value > 255)
        fail(file_name,
             "maximum value " + std::to_string(max_value) + " is out of range (1 to 255)");
    if (comment.find('\0') != std::string::npos) fail(file_name, "NUL byte in the comment");
    std::uint64_t count = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixels.size() < count)
        fail(file_name, "the image needs " + std::to_string(count) + " pixels but only " +
                            std::to_string(pixels.size()) + " were given");

    std::string header = "P5\n" + comment_lines(comment) + std::to_string(width) + " " +
                         std::to_string(height) + "\n" + std::to_string(max_value) + "\n";
    OutputFile out;
    if (!out.open(file_name)) fail_with("Unable to open file: " + file_name);
    out.write(header);
    auto raster = pixels.first(count);
    out.write({reinterpret_cast<const char*>(raster.data()), raster.size()});
    out.commit();
}
