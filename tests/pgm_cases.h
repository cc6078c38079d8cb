// Images in every Netpbm form that the reader accepts, with the samples it must read from
// each, and malformed ones paired with the reason it gives for refusing each. The
// reader's tests check them; the fuzzers take them as their seed corpus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ValidImage {
    std::string header;
    std::string raster = std::string("\x00\x80\xff\x07\x08\x09", 6);  // what follows it
    std::vector<std::uint16_t> samples = {0, 128, 255, 7, 8, 9};
    int width = 3, height = 2, max_value = 255;
    // Read as shown only from a file whose size is known: through a pipe the header
    // takes the blanks up to a line feed after the maximum value.
    bool needs_size = false;
    int channels = 1;
};

struct MalformedImage {
    std::string bytes;
    std::string why;
};

const std::vector<ValidImage>& valid_images();
const std::vector<MalformedImage>& malformed_images();
