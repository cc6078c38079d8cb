#include "pgm.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);

TEST(DecodePgm, ReadsEveryHeaderForm) {
    struct Case {
        std::string header;
        std::string raster = kRaster;
        int width = 3, height = 2, max_value = 255;
    };
    const Case cases[] = {
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        Bytes pixels;
        std::int32_t width = -1, height = -1, max_value = -1;
        ASSERT_EQ(decode_pgm(bytes_of(c.header + c.raster), pixels, width, height, max_value), "");
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(max_value, c.max_value);
        EXPECT_EQ(pixels, bytes_of(c.raster));
    }
}

TEST(DecodePgm, RefusesMalformedImagesSayingWhy) {
    const struct {
        std::string bytes;
        std::string why;
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Bytes pixels;
        std::int32_t width, height, max_value;
        EXPECT_EQ(decode_pgm(bytes_of(c.bytes), pixels, width, height, max_value), c.why);
    }
}

TEST(DecodePgm, RefusesEveryPrefixOfAnImage) {
    const std::string image = "P5\n# comment\n3 2\n255\n" + kRaster;
    for (std::size_t length = 0; length < image.size(); ++length) {
        Bytes pixels;
        std::int32_t width, height, max_value;
        EXPECT_NE(decode_pgm(bytes_of(image.substr(0, length)), pixels, width, height, max_value),
                  "")
            << "prefix of " << length << " bytes";
    }
}

TEST(ReadPgm, ReadsRegularFilesAndPipes) {
    ScratchDir dir;
    const std::string image = "P5\n3 2\n255\n" + kRaster;
    write_file(dir / "face.pgm", image);
    ASSERT_EQ(mkfifo((dir / "pipe.pgm").c_str(), 0600), 0);
    std::thread feeder([&] { write_file(dir / "pipe.pgm", image); });

    for (const char* name : {"face.pgm", "pipe.pgm"}) {
        Bytes pixels;
        std::int32_t width = 0, height = 0;
        EXPECT_EQ(read_pgm(dir / name, pixels, width, height), 255);
        EXPECT_EQ(width, 3);
        EXPECT_EQ(height, 2);
        EXPECT_EQ(pixels, bytes_of(kRaster));
    }
    feeder.join();
}

TEST(ReadPgm, ReportsFailuresWithTheFileName) {
    ScratchDir dir;
    write_file(dir / "short.pgm", "P5\n3 2\n255\n\x01");
    Bytes pixels;
    std::int32_t width, height;
    EXPECT_EXIT(read_pgm(dir / "missing.pgm", pixels, width, height), testing::ExitedWithCode(1),
                "^Unable to open file: " + dir / "missing.pgm" + "\n$");
    EXPECT_EXIT(read_pgm(dir / "short.pgm", pixels, width, height), testing::ExitedWithCode(1),
                "^lumtab: " + dir / "short.pgm" + ": truncated raster: found 1 of 6 bytes\n$");
    EXPECT_EXIT(read_pgm(dir.path(), pixels, width, height), testing::ExitedWithCode(1),
                "^lumtab: " + dir.path() + ": Is a directory\n$");
}

TEST(WritePgm, WritesTheExactBytes) {
    const struct {
        std::string pixels;
        int width, height, max_value;
        std::string comment, file;
    } cases[] = {
        {"\x0a\xc8", 2, 1, 255, "x", "P5\n#x\n2 1\n255\n\x0a\xc8"},
        {"", 0, 3, 255, "", "P5\n#\n0 3\n255\n"},
        {"\x01\x02\x03", 1, 2, 7, " two\nlines", "P5\n# two\n#lines\n1 2\n7\n\x01\x02"},
        {"", 0, 0, 1, "\n", "P5\n#\n#\n0 0\n1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.comment);
        ScratchDir dir;
        write_pgm(dir / "out.pgm", bytes_of(c.pixels), c.width, c.height, c.max_value, c.comment);
        EXPECT_EQ(read_file(dir / "out.pgm"), c.file);
        EXPECT_EQ(dir.names(), std::vector<std::string>{"out.pgm"});
    }
}

TEST(WritePgm, WritesWhatTheReaderReadsBack) {
    std::mt19937 random(7);
    const std::size_t comment_lengths[] = {0, 1, 77, 78, 79, 80, 500, 5000};
    ScratchDir dir;
    for (int round = 0; round < 64; ++round) {
        int width = round % 8 == 0 ? 0 : static_cast<int>(random() % 300);
        int height = round % 8 == 1 ? 0 : static_cast<int>(random() % 40);
        int max_value = 1 + static_cast<int>(random() % 255);
        Bytes pixels = bytes_of(random_bytes(std::size_t(width) * height, round));
        std::string comment = random_bytes(comment_lengths[round % 8], round + 1000);
        for (char& c : comment)
            c = c == '\0' ? '\n' : c;
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", comment of " +
                     std::to_string(comment.size()));

        write_pgm(dir / "image.pgm", pixels, width, height, max_value, comment);
        Bytes read;
        std::int32_t read_width = -1, read_height = -1;
        EXPECT_EQ(read_pgm(dir / "image.pgm", read, read_width, read_height), max_value);
        EXPECT_EQ(read_width, width);
        EXPECT_EQ(read_height, height);
        EXPECT_EQ(read, pixels);
    }
}

TEST(WritePgm, RefusesWhatItCannotWriteAndLeavesNoFile) {
    ScratchDir dir;
    const std::string name = dir / "out.pgm";
    const Bytes six(6, 1);
    const struct {
        int width, height, max_value;
        std::string comment, message;
    } cases[] = {
        {-1, 2, 255, "", "negative width or height"},
        {3, -2, 255, "", "negative width or height"},
        {3, 2, 0, "", "maximum value 0 is out of range \\(1 to 255\\)"},
        {3, 2, 256, "", "maximum value 256 is out of range \\(1 to 255\\)"},
        {4, 2, 255, "", "the image needs 8 pixels but only 6 were given"},
        {65536, 65536, 255, "", "the image needs 4294967296 pixels but only 6 were given"},
        {3, 2, 255, std::string("a\0b", 3), "NUL byte in the comment"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(write_pgm(name, six, c.width, c.height, c.max_value, c.comment),
                    testing::ExitedWithCode(1), "^lumtab: " + name + ": " + c.message + "\n$");
    }
    EXPECT_EXIT(write_pgm(dir / "missing/out.pgm", six, 3, 2, 255, ""), testing::ExitedWithCode(1),
                "^Unable to open file: " + dir / "missing/out.pgm" + "$");
    EXPECT_TRUE(dir.names().empty());
}

TEST(WritePgm, ReportsAWriteErrorAndKeepsTheOldFile) {
    ScratchDir dir;
    write_file(dir / "out.pgm", "old");
    const Bytes pixels(1 << 20, 7);
    auto write_past_the_size_limit = [&] {
        rlimit limit{1 << 16, 1 << 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        write_pgm(dir / "out.pgm", pixels, 1024, 1024, 255, "big");
    };
    EXPECT_EXIT(write_past_the_size_limit(), testing::ExitedWithCode(1),
                "^lumtab: " + dir / "out.pgm" + ": File too large\n$");
    EXPECT_EQ(read_file(dir / "out.pgm"), "old");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.pgm"});
}

}  // namespace
