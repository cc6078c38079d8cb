// Reads arbitrary bytes as a PFM image from memory, from a file (a memfd) and through a pipe,
// and writes what it accepts back, to a destination that can be written over and to one that
// cannot. Any crash, hang, leak or undefined behaviour is a finding, and so is an image accepted
// with other than width × height × channels samples, readings that disagree in a bit, or a
// written image that reads back otherwise or differs between the two destinations.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "formats/decoder.h"
#include "formats/encoder.h"
#include "io/input.h"
#include "memory_file.h"

namespace {

using namespace lumtab;

// How many samples of an image are read: a claim of many rows from little data is
// read only so far, which is enough to meet its end, and keeps the runs quick.
constexpr std::uint64_t most_samples = 1 << 18;

struct Reading {
    bool accepted = false;
    ImageInfo info;
    std::vector<double> samples;
    std::string why;

    bool agrees(const Reading& other) const {
        if (accepted != other.accepted) return false;
        if (!accepted) return why == other.why;
        auto same_bits = [](double a, double b) {
            return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
        };
        return info.width == other.info.width && info.height == other.info.height &&
               info.channels == other.info.channels &&
               std::equal(samples.begin(), samples.end(), other.samples.begin(),
                          other.samples.end(), same_bits);
    }
};

// Reads the image in blocks of sizes that `chunk` gives in turn.
Reading read_all(Input& in, std::size_t chunk) {
    Reading reading;
    try {
        std::unique_ptr<Decoder> decoder = open_decoder(in);
        reading.info = decoder->info();
        const std::uint64_t total = std::min(reading.info.samples(), most_samples);
        std::vector<double> block(chunk);
        while (reading.samples.size() < total) {
            std::size_t n = decoder->read(std::span(block).first(
                std::min<std::size_t>(block.size(), total - reading.samples.size())));
            if (n == 0) std::abort();
            reading.samples.insert(reading.samples.end(), block.begin(), block.begin() + n);
        }
        reading.accepted = true;
    } catch (const Error& error) {
        reading.why = error.problem();
    }
    return reading;
}

bool sound(const Reading& reading) {
    if (!reading.accepted) return !reading.why.empty();
    const ImageInfo& info = reading.info;
    return info.format == Format::pfm && info.sample_type == SampleType::float32 &&
           info.width >= 0 && info.height >= 0 && (info.channels == 1 || info.channels == 3) &&
           reading.samples.size() == std::min(info.samples(), most_samples);
}

// The image written by the PFM encoder, written over in place or appended alone.
std::vector<char> written(const Reading& reading, bool in_place) {
    std::vector<char> bytes;
    Destination to{
        "written",
        [&](std::span<const char> data) { bytes.insert(bytes.end(), data.begin(), data.end()); },
        nullptr};
    if (in_place)
        to.write_at = [&](std::uint64_t offset, std::span<const char> data) {
            if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size());
            std::copy(data.begin(), data.end(), bytes.begin() + std::ptrdiff_t(offset));
        };
    std::unique_ptr<Encoder> encoder = open_encoder(reading.info, "", std::move(to));
    encoder->write(std::span<const double>(reading.samples));
    encoder->finish();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // PFM alone: the other formats are other targets'.
    if (size < 2 || data[0] != 'P' || (data[1] != 'F' && data[1] != 'f')) return 0;
    const std::size_t chunk = 1 + (size > 2 ? data[size - 1] * 37u : 0);
    std::span<const std::uint8_t> bytes(data, size);
    Input memory(bytes, "image");
    Reading from_memory = read_all(memory, chunk);
    if (!sound(from_memory)) std::abort();
    Input file(memory_file(bytes), "image", true);
    if (!read_all(file, 4099).agrees(from_memory)) std::abort();
    if (int fd = pipe_holding(bytes); fd >= 0) {
        Input piped(fd, "image", true);
        if (!read_all(piped, 1).agrees(from_memory)) std::abort();
    }
    if (!from_memory.accepted || from_memory.info.samples() > most_samples) return 0;
    const std::vector<char> image = written(from_memory, true);
    if (written(from_memory, false) != image) std::abort();
    Input again({reinterpret_cast<const std::uint8_t*>(image.data()), image.size()}, "written");
    if (!read_all(again, 4099).agrees(from_memory)) std::abort();
    return 0;
}
