#include "formats/pgm_writer.h"
#include "io/error_text.h"

#include <algorithm>
#include <charconv>

namespace lumtab {

std::string pgm_header(const std::string& file_name, const ImageInfo& info,
                       const std::string& comment, bool room_for_any_size) {
    if (info.width < 0 || info.height < 0) throw Error(file_name, "negative width or height");
    if (!is_max_value(info.max_value))
        throw Error(file_name, max_value_out_of_range(info.max_value));
    if (info.channels != 1)
        throw Error(file_name, std::to_string(info.channels) + " channels: a PGM image has one");
    if (comment.find('\0') != std::string::npos) throw Error(file_name, "NUL byte in the comment");
    std::string text = info.format == Format::pgm_plain ? "P2\n#" : "P5\n#";
    for (char c : comment) {
        text += c;
        if (c == '\n' || c == '\r') text += '#';
    }
    std::string size = std::to_string(info.width) + " " + std::to_string(info.height);
    std::string max_value = std::to_string(info.max_value);
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

PgmWriter::PgmWriter(const std::string& file_name, const ImageInfo& info,
                     const std::string& comment, Sink sink)
    : file_name_(file_name), info_(info), sink_(std::move(sink)) {
    sink_(pgm_header(file_name_, info_, comment));
}

template <typename Sample>
void PgmWriter::write_samples(std::span<const Sample> samples) {
    if (samples.size() > info_.samples() - written_)
        throw Error(file_name_, "more samples than the image's " + std::to_string(info_.samples()));
    const auto max_value = static_cast<std::uint32_t>(info_.max_value);
    auto is_above = [max_value](Sample s) { return std::uint32_t(s) > max_value; };
    if (std::any_of(samples.begin(), samples.end(), is_above)) {
        auto above = std::find_if(samples.begin(), samples.end(), is_above);
        std::uint64_t index = written_ + static_cast<std::uint64_t>(above - samples.begin());
        throw Error(file_name_, "sample " + std::to_string(*above) + " at row " +
                                    std::to_string(index / info_.width + 1) + ", column " +
                                    std::to_string(index % info_.width + 1) +
                                    " is above the maximum value " +
                                    std::to_string(info_.max_value));
    }
    char block[64 * 1024];
    const bool plain = info_.format == Format::pgm_plain;
    while (!samples.empty()) {
        std::size_t n = std::min<std::size_t>(samples.size(), plain ? sizeof block / 7 : 32 * 1024);
        std::size_t length = 0;
        if (plain) {
            // A line a row, the values separated by spaces.
            for (std::size_t i = 0; i < n; ++i) {
                length = static_cast<std::size_t>(
                    std::to_chars(block + length, block + sizeof block, samples[i]).ptr - block);
                bool row_ends = (written_ + i + 1) % static_cast<std::uint64_t>(info_.width) == 0;
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
        sink_({block, length});
        written_ += n;
        samples = samples.subspan(n);
    }
}

void PgmWriter::write(std::span<const std::uint8_t> samples) {
    write_samples(samples);
}

void PgmWriter::write(std::span<const std::uint16_t> samples) {
    write_samples(samples);
}

void PgmWriter::finish() const {
    if (written_ != info_.samples())
        throw Error(file_name_, "the image needs " + std::to_string(info_.samples()) +
                                    " samples but only " + std::to_string(written_) +
                                    " were written");
}

}  // namespace lumtab
