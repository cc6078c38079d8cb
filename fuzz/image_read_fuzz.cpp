// Reads arbitrary bytes as an image of one format through its library (png_read_fuzz,
// tiff_read_fuzz, jpeg_read_fuzz: LUMTAB_FUZZ_png and the like say which), from memory and
// through a pipe, and from a file (a memfd). Any crash, hang, leak or undefined behaviour is a
// finding, and so is an image accepted with other than width × height × channels samples, a sample
// its type does not hold (an unsigned one above its maximum value), or readings that disagree. The
// samples are read as doubles, as every type can be.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "formats/decoder.h"
#include "image/sample_type.h"
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
};

Reading read_all(Input& in) {
    Reading reading;
    try {
        std::unique_ptr<Decoder> decoder = open_decoder(in);
        reading.info = decoder->info();
        const std::uint64_t total = std::min(reading.info.samples(), most_samples);
        std::vector<double> block(4099);
        while (reading.samples.size() < total) {
            std::size_t n = decoder->read(std::span(block).first(
                std::min<std::size_t>(block.size(), total - reading.samples.size())));
            if (n == 0) std::abort();
            reading.samples.insert(reading.samples.end(), block.begin(), block.begin() + n);
        }
        reading.accepted = true;
    } catch (const Error& error) {
        reading.why = error.problem();
    } catch (const std::bad_alloc&) {
        reading.why = "out of memory";
    }
    return reading;
}

bool sound(const Reading& reading) {
    if (!reading.accepted) return !reading.why.empty();
    const ImageInfo& info = reading.info;
    if (info.width < 1 || info.height < 1 || info.channels < 1 || info.channels > 4 ||
        reading.samples.size() != std::min(info.samples(), most_samples))
        return false;
    return std::all_of(reading.samples.begin(), reading.samples.end(), [&](double s) {
        return info.real() ? holds(info.sample_type, s)
                           : holds(SampleType::uint, s) && s <= info.max_value;
    });
}

// Whether both read the same samples, bit for bit (NaN's included).
bool same(const Reading& a, const Reading& b) {
    auto bits = [](double x, double y) {
        return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
    };
    return a.accepted == b.accepted &&
           std::equal(a.samples.begin(), a.samples.end(), b.samples.begin(), b.samples.end(), bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Inputs of the format alone: the others are another target's.
#if defined(LUMTAB_FUZZ_png)
    const bool ours = size >= 4 && std::memcmp(data, "\x89PNG", 4) == 0;
#elif defined(LUMTAB_FUZZ_tiff)
    const bool ours =
        size >= 2 && (std::memcmp(data, "II", 2) == 0 || std::memcmp(data, "MM", 2) == 0);
#else
    const bool ours = size >= 2 && std::memcmp(data, "\xff\xd8", 2) == 0;
#endif
    if (!ours) return 0;
    std::span<const std::uint8_t> bytes(data, size);
    Input memory(bytes, "image");
    Reading from_memory = read_all(memory);
    if (!sound(from_memory)) std::abort();
    Input file(memory_file(bytes), "image", true);
    Reading from_file = read_all(file);
    if (!same(from_file, from_memory)) std::abort();
    if (int fd = pipe_holding(bytes); fd >= 0) {
        Input piped(fd, "image", true);
        Reading from_pipe = read_all(piped);
        if (!sound(from_pipe) || !same(from_pipe, from_memory)) std::abort();
    }
    return 0;
}
