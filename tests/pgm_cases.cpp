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
        {"P5\n#made by x\r3 2\n255\n"},
        {"P5\n3 2\n255#c\n"},
        {"P5 3 2 255#c\r"},
        // The raster starts right after the one space: what follows is not blanks
        // up to a line feed.
        {"P5 3 2 255 "},
        {.header = "P5\n3 2\n65\n", .max_value = 65},
        {"P5\n3 2\n255\n", kRaster + "bytes after the image"},
        // Pixels that look like whitespace or a comment are pixels.
        {"P5\n3 2\n255\n", std::string("\n# \t\r\n", 6), {10, 35, 32, 9, 13, 10}},
        {"P5\n3 2 255\n", " \n\n#1 ", {32, 10, 10, 35, 49, 32}},
        // Blanks and a line feed after the maximum value: the header's when the
        // file's size leaves the raster after them, else the raster's.
        {"P5 4 1 255 ", " \nABCD", {65, 66, 67, 68}, 4, 1},
        {"P5 3 2 255 ", " \n\n#1 ", {32, 10, 10, 35, 49, 32}, 3, 2, 255, true},
        {"P5 1 1 4095 ", " \n", {0x200a}, 1, 1, 4095, true},
        {"P5\n0 3\n255\n", "", {}, 0, 3},
        {"P5\n4 0\n255\n", "", {}, 4, 0},
        {"P5\n0 0\n1", "", {}, 0, 0, 1},
        // Comments thousands of characters long.
        {"P5\n#" + std::string(5000, '#') + "\n3 2\n#" + std::string(9000, ' ') + "\n255\n"},

        // Two bytes a sample, most significant first, from a maximum value of 256:
        // raw values, not checked against it.
        {"P5\n3 2\n65535\n",
         std::string("\x00\x00\x01\x00\x00\x01\xff\xff\x12\x34\xfe\xdc", 12),
         {0, 256, 1, 65535, 0x1234, 0xfedc},
         3,
         2,
         65535},
        {"P5 3 2 256\n",
         std::string("\x01\x00\x01\x01\x00\xff\xff\xff\x00\x00\x80\x00", 12),
         {256, 257, 255, 65535, 0, 32768},
         3,
         2,
         256},
        {"P5\n3 1\n1023\n",
         std::string("\x00\x00\x03\xff\x0f\xa0\x01", 7),
         {0, 1023, 4000},
         3,
         1,
         1023},
        {"P5\n2 1\n4095\n", std::string("\x0f\xff\x08\x00", 4), {4095, 2048}, 2, 1, 4095},

        // Plain images: decimal numbers in any line layout.
        {"P2\n3 2\n255\n", "0 128 255\n7 8 9\n"},
        {"P2 3 2 255 ", "0 128 255 7 8 9"},
        {"P2\n# plain\n3 2\n255\n", "  0\t128\v255\f7\r\n8\r\r\n\n9 \n"},
        {"P2 3 2 255\n", "000 0128 00255\n07 0008 9\n"},
        {"P2\n#made by x\r3 2\n255\n", "0 128 255 7 8 9\n"},
        {"P2 3 2 255#c\n", "0 128 255 7 8 9\n"},
        {"P2 3 2 255\n# a comment before the samples\n", "0 128 255 7 8 9\n"},
        {"P2 3 2 255\n", "0 128 255 7 8 9 10 and then some"},
        {"P2 3 2 65535\n",
         "0 65535 1\n256 1023 4095\n",
         {0, 65535, 1, 256, 1023, 4095},
         3,
         2,
         65535},
        {"P2 3 1 1\n", "1 0 1\n", {1, 0, 1}, 3, 1, 1},
        {"P2 0 5 9\n", "", {}, 0, 5, 9},
    };
    return images;
}

const std::vector<MalformedImage>& malformed_images() {
    static const std::vector<MalformedImage> images = {
        {"", "empty file"},
        {"P6\n3 2\n255\n" + kRaster, "not a PGM image: magic number P6, not P2 or P5"},
        {"P9\n3 2\n255\n" + kRaster, "not a PGM image: magic number P9, not P2 or P5"},
        {"P0\n3 2\n255\n" + kRaster, "not a PGM image: magic number P0, not P2 or P5"},
        {"\x89PNG\r\n\x1a\n", "not a PGM image: no magic number P2 or P5"},
        {"P53 2 255\n" + kRaster, "not a PGM image: no magic number P2 or P5"},
        {"P5", "file ends inside the header"},
        {"P5\n# a comment and nothing after it\n", "file ends inside the header"},
        {"P5\n# a comment without its line feed", "file ends inside the header"},
        {"P5\n3 2\n", "file ends inside the header"},
        {"P2 3 2 255#", "file ends inside the header"},
        {std::string("P5\n#\0\n3 2\n255\n", 13) + kRaster, "NUL byte in the header"},
        {std::string("P5\n3 2\0\n255\n", 12) + kRaster, "NUL byte in the header"},
        {"P5\n-3 2\n255\n" + kRaster, "negative width"},
        {"P5\n3 -2\n255\n" + kRaster, "negative height"},
        {"P5\n+3 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n3.0 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n0x3 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n3 2\n2e2\n" + kRaster, "maximum value is not a decimal number"},
        {"P5\n3 2\nmax\n" + kRaster, "maximum value is not a decimal number"},
        {"P5 3 2 0xff\n" + kRaster, "maximum value is not a decimal number"},
        {"P2 3 2 0xff\n0 1 2 3 4 5\n", "maximum value is not a decimal number"},
        {"P5\n2147483648 1\n255\n", "width is too large"},
        {"P5\n1 99999999999999999999999\n255\n", "height is too large"},
        {"P5\n3 2\n4294967551\n", "maximum value is too large"},
        {"P5\n3 2\n0\n" + kRaster, "maximum value 0 is out of range (1 to 65535)"},
        {"P5\n3 2\n65536\n" + kRaster, "maximum value 65536 is out of range (1 to 65535)"},
        {"P2\n3 2\n0\n0 0 0 0 0 0\n", "maximum value 0 is out of range (1 to 65535)"},
        {"P5\n3\x01 2\n255\n" + kRaster, "width is not a decimal number"},
        {"P5\n3 \x7f"
         "2\n255\n" +
             kRaster,
         "height is not a decimal number"},
        {"P5\n#" + std::string(20000, 'x'), "file ends inside the header"},

        {"P5\n3 2\n255\n" + kRaster.substr(0, 4), "truncated raster: found 4 of 6 bytes"},
        {"P5\n3 2\n255", "file ends inside the header"},
        {"P5 3 2 65535", "file ends inside the header"},
        {"P5\n3 2\n65535\n" + std::string(11, '\xff'), "truncated raster: found 11 of 12 bytes"},
        {"P5\n3 2\n256\n" + kRaster, "truncated raster: found 6 of 12 bytes"},
        // Claims far beyond the bytes behind them, and products beyond 32 bits.
        {"P5\n100000 100000\n255\n", "truncated raster: found 0 of 10000000000 bytes"},
        {"P5\n65536 65536\n255\n" + kRaster, "truncated raster: found 6 of 4294967296 bytes"},
        {"P5\n2147483647 2147483647\n65535\n",
         "truncated raster: found 0 of 9223372028264841218 bytes"},

        // Plain samples: numbers up to the maximum value, whitespace between them.
        {"P2 3 2 255\n0 1 2 3 4\n", "truncated raster: found 5 of 6 samples"},
        {"P2 3 2 255\n0 1 2\n3 4 \n\t ", "truncated raster: found 5 of 6 samples"},
        {"P2 3 2 255", "truncated raster: found 0 of 6 samples"},
        {"P2 100000 100000 1\n1 0 1\n", "truncated raster: found 3 of 10000000000 samples"},
        {"P2\n3 2\n255\n0 128 255\n7 300 9\n",
         "sample 300 at row 2, column 2 is above the maximum value 255"},
        {"P2 3 1 1\n1 0 2", "sample 2 at row 1, column 3 is above the maximum value 1"},
        {"P2 2 1 65535\n1 65536\n", "sample at row 1, column 2 is beyond 65535"},
        {"P2 2 1 9\n99999999999999999999999 1\n", "sample at row 1, column 1 is beyond 65535"},
        {"P2 3 2 255\n-1 2 3 4 5 6\n", "sample at row 1, column 1 is not a decimal number"},
        {"P2 3 2 255\n1 +2 3 4 5 6\n", "sample at row 1, column 2 is not a decimal number"},
        {"P2 3 2 255\n1 2 3.0 4 5 6\n", "sample at row 1, column 3 is not a decimal number"},
        {"P2 3 2 255\n1 2 3\n0x4 5 6\n", "sample at row 2, column 1 is not a decimal number"},
        {"P2 3 2 255\n1 2 3\n4 # five\n5 6\n", "sample at row 2, column 2 is not a decimal number"},
        {"P2 3 2 255\n1 2 3\n4 5 6e0\n", "sample at row 2, column 3 is not a decimal number"},
        {std::string("P2 3 2 255\n1 2 3\n\0 4 5 6\n", 24),
         "sample at row 2, column 1 is not a decimal number"},
        // Text right after a number that ends a 64-byte stretch of numbers and blanks.
        {"P2 3 1 255\n0 1" + std::string(59, ' ') + "7x" + std::string(14, ' ') + "\n",
         "sample at row 1, column 3 is not a decimal number"},
        {"P2 3 2 255\n0 1" + std::string(59, ' ') + "7x 4 5 6" + std::string(7, ' ') + "\n",
         "sample at row 1, column 3 is not a decimal number"},
    };
    return images;
}
