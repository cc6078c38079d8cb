#include "pgm.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pgm_cases.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);

TEST(DecodePgm, ReadsEveryHeaderForm) {
    for (const ValidImage& image : valid_images()) {
        SCOPED_TRACE(image.header.substr(0, 80));
        Bytes pixels;
        std::int32_t width = -1, height = -1, max_value = -1;
        ASSERT_EQ(
            decode_pgm(bytes_of(image.header + image.raster), pixels, width, height, max_value),
            "");
        EXPECT_EQ(width, image.width);
        EXPECT_EQ(height, image.height);
        EXPECT_EQ(max_value, image.max_value);
        EXPECT_EQ(pixels, bytes_of(image.raster));
    }
}

TEST(DecodePgm, RefusesMalformedImagesSayingWhy) {
    for (const MalformedImage& image : malformed_images()) {
        SCOPED_TRACE(image.bytes.substr(0, 80));
        Bytes pixels;
        std::int32_t width, height, max_value;
        EXPECT_EQ(decode_pgm(bytes_of(image.bytes), pixels, width, height, max_value), image.why);
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
