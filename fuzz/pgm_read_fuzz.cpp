// Decodes arbitrary bytes as a PGM image. Any crash, hang, leak or undefined
// behaviour is a finding, and so is an accepted image whose pixels do not match
// its size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pgm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> pixels;
    std::int32_t width = 0, height = 0, max_value = 0;
    std::string why = decode_pgm({data, size}, pixels, width, height, max_value);
    if (why.empty()) {
        bool sound = width >= 0 && height >= 0 && max_value >= 1 && max_value <= 255 &&
                     pixels.size() == std::uint64_t(width) * std::uint64_t(height);
        if (!sound) std::abort();
    }
    return 0;
}
