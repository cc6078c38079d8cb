// Images in every header form that the reader accepts, and malformed ones paired with
// the reason it gives for refusing each. The reader's tests check them; the fuzzers
// take them as their seed corpus.
#pragma once

#include <string>
#include <vector>

struct ValidImage {
    std::string header;
    std::string raster = std::string("\x00\x80\xff\x07\x08\x09", 6);
    int width = 3, height = 2, max_value = 255;
};

struct MalformedImage {
    std::string bytes;
    std::string why;
};

const std::vector<ValidImage>& valid_images();
const std::vector<MalformedImage>& malformed_images();
