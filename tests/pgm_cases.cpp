#include "pgm_cases.h"

namespace {

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);

}  // namespace

const std::vector<ValidImage>& valid_images() {
    static const std::vector<ValidImage> images = {
        {"P5\n# one\n# two\n3 2\n255\n"},
        {"P5\n3 2 255\n"},
        {"P5\n3 2\n\n  255\n"},
        {"P5 3 2 255\n"},
        {"P5\r\n3 2 255\r\n"},
        {"P5\n3 2 255 \t\n"},
        {"P5\n3 2\n# between the dimensions and the maximum value\n255\n"},
        {"P5\n3 # inside the dimension line\n2\n255\n"},
        {"P5\n#" + std::string(300, 'x') + "\n3 2\n255\n"},
        {"P5\n#" + std::string(78, 'x') + "\n#\n3 2\n255\n"},
        {"P5\n0003 02\n255\n"},
        {"P5\n3 2\n65\n", kRaster, 3, 2, 65},
        // Pixels that look like whitespace or a comment are pixels.
        {"P5\n3 2\n255\n", std::string("\n# \t\r\n", 6)},
        {"P5\n3 2 255\n", std::string(" \n\n#1 ", 6)},
        {"P5\n0 3\n255\n", "", 0, 3},
        {"P5\n4 0\n255\n", "", 4, 0},
        {"P5\n0 0\n1", "", 0, 0, 1},
        // Comments thousands of characters long.
        {"P5\n#" + std::string(5000, '#') + "\n3 2\n#" + std::string(9000, ' ') + "\n255\n"},
    };
    return images;
}

const std::vector<MalformedImage>& malformed_images() {
    static const std::vector<MalformedImage> images = {
        {"", "empty file"},
        {"P2\n3 2\n255\n0 1 2 3 4 5\n", "not a binary PGM image: magic number P2, not P5"},
        {"P6\n3 2\n255\n" + kRaster, "not a binary PGM image: magic number P6, not P5"},
        {"\x89PNG\r\n\x1a\n", "not a PGM image: no P5 magic number"},
        {"P53 2 255\n" + kRaster, "not a PGM image: no P5 magic number"},
        {"P5", "file ends inside the header"},
        {"P5\n# a comment and nothing after it\n", "file ends inside the header"},
        {"P5\n# a comment without its line feed", "file ends inside the header"},
        {"P5\n3 2\n", "file ends inside the header"},
        {std::string("P5\n#\0\n3 2\n255\n", 13) + kRaster, "NUL byte in the header"},
        {std::string("P5\n3 2\0\n255\n", 12) + kRaster, "NUL byte in the header"},
        {"P5\n-3 2\n255\n" + kRaster, "negative width"},
        {"P5\n3 -2\n255\n" + kRaster, "negative height"},
        {"P5\n+3 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n3.0 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n0x3 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n3 2\n2e2\n" + kRaster, "maximum value is not a decimal number"},
        {"P5\n3 2\nmax\n" + kRaster, "maximum value is not a decimal number"},
        {"P5\n2147483648 1\n255\n", "width is too large"},
        {"P5\n1 99999999999999999999999\n255\n", "height is too large"},
        {"P5\n3 2\n4294967551\n", "maximum value is too large"},
        {"P5\n3 2\n0\n" + kRaster, "maximum value 0 is out of range (1 to 255)"},
        {"P5\n3 2\n256\n" + kRaster,
         "maximum value 256 means 16-bit samples, which are not supported"},
        {"P5\n3 2\n65535\n" + kRaster + kRaster,
         "maximum value 65535 means 16-bit samples, which are not supported"},
        {"P5\n3 2\n65536\n" + kRaster, "maximum value 65536 is out of range (1 to 255)"},
        {"P5\n3 2 255 x\n" + kRaster, "unexpected text after the maximum value"},
        {"P5\n3 2\n255\n" + kRaster.substr(0, 4), "truncated raster: found 4 of 6 bytes"},
        {"P5\n3 2\n255", "truncated raster: found 0 of 6 bytes"},
        // Claims far beyond the bytes behind them, and products beyond 32 bits.
        {"P5\n100000 100000\n255\n", "truncated raster: found 0 of 10000000000 bytes"},
        {"P5\n65536 65536\n255\n" + kRaster, "truncated raster: found 6 of 4294967296 bytes"},
        {"P5\n2147483647 2147483647\n255\n",
         "truncated raster: found 0 of 4611686014132420609 bytes"},
        {"P5\n3\x01 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n3 \x7f"
         "2\n255\n" +
             kRaster,
         "height is not a decimal number"},
        {"P5\n#" + std::string(20000, 'x'), "file ends inside the header"},
    };
    return images;
}
