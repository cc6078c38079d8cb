#include "formats/netpbm_writer.h"
#include "image/max_value.h"
#include "image/sample_type.h"
#include "io/error_text.h"

#include <algorithm>
#include <charconv>

namespace lumtab {

namespace {

// The channels each format holds, and its magic number.
struct Layout {
    const char* magic;
    int least_channels, most_channels;
};

Layout layout_of(const std::string& file_name, Format format) {
    switch (format) {
        case Format::pgm_binary:
            return {"P5", 1, 1};
        case Format::pgm_plain:
            return {"P2", 1, 1};
        case Format::ppm_binary:
            return {"P6", 3, 3};
        case Format::ppm_plain:
            return {"P3", 3, 3};
        case Format::pam:
            return {"P7", 1, 4};
        default:
            break;
    }
    throw Error(file_name, "lumtab writes PGM, PPM and PAM images, not PBM");
}

// `text` on "#" lines of their own: every line feed or carriage return in it
// starts a new one.
std::string comment_lines(const std::string& text) {
    std::string lines = "#";
    for (char c : text) {
        lines += c;
        if (c == '\n' || c == '\r') lines += '#';
    }
    return lines + "\n";
}

}  // namespace

std::string netpbm_header(const std::string& file_name, const ImageInfo& info,
                          const std::string& comment, bool room_for_any_size) {
    const Layout layout = layout_of(file_name, info.format);
    if (info.width < 0 || info.height < 0) throw Error(file_name, "negative width or height");
    if (!is_max_value(info.max_value))
        throw Error(file_name, max_value_out_of_range(info.max_value));
    if (info.channels < layout.least_channels || info.channels > layout.most_channels)
        throw Error(file_name, std::to_string(info.channels) + " channels: a " +
                                   (layout.magic[1] == '7'   ? std::string("PAM image has 1 to 4")
                                    : layout.magic[1] == '6' ? std::string("PPM image has 3")
                                    : layout.magic[1] == '3' ? std::string("PPM image has 3")
                                                             : std::string("PGM image has 1")));
    if (comment.find('\0') != std::string::npos) throw Error(file_name, "NUL byte in the comment");
    if (info.format == Format::pam && info.tuple_type.find_first_of("\n\r") != std::string::npos)
        throw Error(file_name, "line break in the tuple type");
    // Whitespace between the values may be any amount: with room for any size,
    // each is padded to its most digits, "2147483647" and "65535".
    auto value = [&](std::int64_t number, std::size_t digits, bool before) {
        std::string text = std::to_string(number);
        if (room_for_any_size) text.insert(before ? 0 : text.size(), digits - text.size(), ' ');
        return text;
    };
    std::string text = std::string(layout.magic) + "\n" + comment_lines(comment);
    if (info.format == Format::pam) {
        text += "WIDTH " + value(info.width, 10, false) + "\nHEIGHT " +
                value(info.height, 10, false) + "\nDEPTH " + std::to_string(info.channels) +
                "\nMAXVAL " + value(info.max_value, 5, false) + "\n";
        if (!info.tuple_type.empty()) text += "TUPLTYPE " + info.tuple_type + "\n";
        return text + "ENDHDR\n";
    }
    std::string size = std::to_string(info.width) + " " + std::to_string(info.height);
    if (room_for_any_size) size.resize(21, ' ');
    return text + size + "\n" + value(info.max_value, 5, true) + "\n";
}

void pack_big_endian(std::span<const std::uint16_t> samples, std::uint8_t* out) {
    for (std::uint16_t sample : samples) {
        *out++ = static_cast<std::uint8_t>(sample >> 8);
        *out++ = static_cast<std::uint8_t>(sample);
    }
}

NetpbmWriter::NetpbmWriter(const ImageInfo& info, const std::string& comment, Destination to)
    : Encoder(to.name, info), to_(std::move(to)) {
    if (info.real())
        throw Error(name_, "PGM, PPM and PAM hold unsigned samples, not " +
                               sample_type_name(info.sample_type) +
                               " ones: PFM holds 32-bit floating point, grey or RGB; TIFF all");
    to_.write(netpbm_header(name_, info_, comment));
}

template <typename Sample>
void NetpbmWriter::put_samples(std::span<const Sample> samples) {
    char block[64 * 1024];
    const bool plain = info_.format == Format::pgm_plain || info_.format == Format::ppm_plain;
    const std::uint64_t row = std::uint64_t(info_.width) * std::uint64_t(info_.channels);
    while (!samples.empty()) {
        std::size_t n = std::min<std::size_t>(samples.size(), plain ? sizeof block / 7 : 32 * 1024);
        std::size_t length = 0;
        if (plain) {
            // A line a row, the values separated by spaces.
            for (std::size_t i = 0; i < n; ++i) {
                length = static_cast<std::size_t>(
                    std::to_chars(block + length, block + sizeof block, samples[i]).ptr - block);
                bool row_ends = (written_ + i + 1) % row == 0;
                block[length++] = row_ends ? '\n' : ' ';
            }
        } else if (info_.wide()) {
            std::uint16_t wide[32 * 1024];
            std::copy_n(samples.begin(), n, wide);
            pack_big_endian({wide, n}, reinterpret_cast<std::uint8_t*>(block));
            length = 2 * n;
        } else {
            std::copy_n(samples.begin(), n, block);
            length = n;
        }
        to_.write({block, length});
        written_ += n;
        samples = samples.subspan(n);
    }
}

}  // namespace lumtab
