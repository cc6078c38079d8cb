// Reads arbitrary bytes as a PGM image three ways: from a file of known size with the
// 16-bit read, in chunks of sizes that the input's last bytes choose, and with the
// 8-bit one where the maximum value allows it; and through a pipe, a sample a read.
// Any crash, hang, leak or undefined behaviour is a finding, and so is an accepted
// image whose samples are not width × height, a plain sample above the maximum
// value, or readings that disagree: the two from the file must give the same samples
// or the same reason, and what the pipe accepts the file must read alike. A plain
// image has no header that a known size could read differently, so its pipe reading
// must match the file's in everything. Every Netpbm format is read: the seeds hold
// each.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include <lumtab/error.h>
#include "formats/netpbm_reader.h"
#include "io/input.h"
#include "memory_file.h"

namespace {

using namespace lumtab;

struct Reading {
    bool accepted = false;
    ImageInfo header;
    std::vector<std::uint16_t> samples;
    std::string why;

    bool same_image(const Reading& other) const {
        return header.format == other.header.format && header.width == other.header.width &&
               header.height == other.header.height && header.max_value == other.header.max_value &&
               header.channels == other.header.channels &&
               header.tuple_type == other.header.tuple_type && samples == other.samples;
    }
    // Both accepted alike, or both refused for the same reason.
    bool agrees(const Reading& other) const {
        return accepted ? other.accepted && same_image(other) : why == other.why;
    }
};

// Reads the image in `fd` whole, `Sample`s at a time in reads of chunks[0],
// chunks[1], … samples in turn.
template <typename Sample>
Reading read_image(int fd, std::span<const std::size_t> chunks) {
    Reading reading;
    try {
        Input in(fd, "image", true);
        NetpbmReader reader(in);
        reading.header = reader.info();
        const std::uint64_t samples = reading.header.samples();
        if (sizeof(Sample) == 1 && reading.header.max_value > 255) return reading;
        // Never empty: an empty vector's null data is a case for the unit tests.
        std::vector<Sample> block(1);
        for (std::size_t i = 0; reader.samples_read() < samples; ++i) {
            block.resize(chunks[i % chunks.size()]);
            std::uint64_t left = samples - reader.samples_read();
            std::size_t n = reader.read(std::span(block));
            if (n != std::min<std::uint64_t>(block.size(), left)) std::abort();
            reading.samples.insert(reading.samples.end(), block.begin(), block.begin() + n);
        }
        if (reader.read(std::span(block)) != 0) std::abort();
        reading.accepted = true;
    } catch (const Error& error) {
        reading.why = error.problem();
    }
    return reading;
}

// Whether a format's samples are checked against the maximum value as they are
// read: the text and bitmap ones; a binary raster's are taken as they are.
bool checked(Format format) {
    return format == Format::pgm_plain || format == Format::ppm_plain ||
           format == Format::pbm_plain || format == Format::pbm_binary;
}

// Whether a format's header ends where the first sample starts, whatever the
// input's size: a pipe must then read it exactly as the file.
bool is_text(Format format) {
    return format == Format::pgm_plain || format == Format::ppm_plain ||
           format == Format::pbm_plain;
}

bool sound(const Reading& reading) {
    const ImageInfo& header = reading.header;
    if (!reading.accepted) return !reading.why.empty();
    if (header.width < 0 || header.height < 0 || header.max_value < 1 || header.max_value > 65535 ||
        header.channels < 1 || header.channels > 4 || reading.samples.size() != header.samples())
        return false;
    std::uint16_t top = checked(header.format)   ? header.max_value
                        : header.max_value > 255 ? 65535
                                                 : 255;
    return std::all_of(reading.samples.begin(), reading.samples.end(),
                       [top](std::uint16_t sample) { return sample <= top; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    auto byte_from_end = [&](std::size_t i) { return i < size ? data[size - 1 - i] : 0; };
    const std::size_t small[] = {1 + byte_from_end(0) % 7u, 1 + byte_from_end(1) * 17u};
    const std::size_t large[] = {4099, 1 + byte_from_end(2) % 3u};
    const std::size_t one[] = {1};

    Reading wide = read_image<std::uint16_t>(memory_file(bytes), small);
    if (!sound(wide)) std::abort();
    if (wide.header.max_value <= 255) {
        Reading narrow = read_image<std::uint8_t>(memory_file(bytes), large);
        if (!sound(narrow) || !narrow.agrees(wide)) std::abort();
    }
    if (int fd = pipe_holding(bytes); fd >= 0) {
        Reading piped = read_image<std::uint16_t>(fd, one);
        if (!sound(piped)) std::abort();
        if (piped.accepted && !piped.agrees(wide)) std::abort();
        if (is_text(wide.header.format) && !piped.agrees(wide)) std::abort();
    }
    return 0;
}
