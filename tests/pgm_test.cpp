#include "formats/netpbm_reader.h"

#include <lumtab/pgm.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include <lumtab/error.h>
#include "io/input.h"
#include "pgm_cases.h"
#include "test_util.h"

namespace {

using namespace lumtab;

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::uint16_t>;

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);

// A pipe that a thread fills with `bytes` and then closes. What is left unread is
// drained when the pipe goes, so that the thread always ends.
class Pipe {
  public:
    explicit Pipe(std::string bytes) {
        if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
        writer_ = std::thread([this, bytes = std::move(bytes)] {
            for (std::string_view rest = bytes; !rest.empty();) {
                ssize_t n = write(fds_[1], rest.data(), rest.size());
                if (n <= 0) break;
                rest.remove_prefix(n);
            }
            close(fds_[1]);
        });
    }
    ~Pipe() {
        char sink[4096];
        while (read(fds_[0], sink, sizeof sink) > 0) {
        }
        writer_.join();
        close(fds_[0]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // A descriptor of the read end, for an Input to own.
    int read_end() const { return fcntl(fds_[0], F_DUPFD_CLOEXEC, 0); }
    // A name that opens the read end.
    std::string path() const { return "/proc/self/fd/" + std::to_string(fds_[0]); }

  private:
    int fds_[2];
    std::thread writer_;
};

enum class Via { kFile, kPipe };

struct Decoded {
    ImageInfo header;
    Samples samples;
    std::string error;  // why the image was refused; empty if it was not
};

// Reads the image `bytes` from a file of known size or through a pipe, in reads of
// chunks[0], chunks[1], … `Sample`s in turn.
template <typename Sample = std::uint16_t>
Decoded decode(const std::string& bytes, Via via = Via::kFile,
               const std::vector<std::size_t>& chunks = {1, 7, 4099}) {
    Decoded result;
    std::optional<Pipe> pipe;
    int fd = via == Via::kFile ? memory_file(bytes) : pipe.emplace(bytes).read_end();
    try {
        Input in(fd, "image", true);
        NetpbmReader reader(in);
        result.header = reader.info();
        std::vector<Sample> block;
        for (std::size_t i = 0; reader.samples_read() < result.header.samples(); ++i) {
            block.resize(chunks[i % chunks.size()]);
            std::uint64_t left = result.header.samples() - reader.samples_read();
            std::size_t n = reader.read(std::span(block));
            EXPECT_EQ(n, std::min<std::uint64_t>(block.size(), left));
            result.samples.insert(result.samples.end(), block.begin(), block.begin() + n);
        }
        // Past the end a read gives nothing, into an empty span (null data) too.
        EXPECT_EQ(reader.read(std::span(block)), 0u);
    } catch (const Error& error) {
        result.error = error.problem();
    }
    return result;
}

auto fields(const ImageInfo& header) {
    return std::tuple(header.width, header.height, header.max_value, header.channels);
}

// Compares long sample lists without printing them whole.
testing::AssertionResult same_samples(const Samples& read, const Samples& expected) {
    if (read == expected) return testing::AssertionSuccess();
    auto [a, b] = std::mismatch(read.begin(), read.end(), expected.begin(), expected.end());
    auto at = a - read.begin();
    return testing::AssertionFailure()
           << "read " << read.size() << " samples, expected " << expected.size()
           << "; first difference at " << at << ": "
           << (a == read.end() ? "none" : std::to_string(*a)) << " instead of "
           << (b == expected.end() ? "none" : std::to_string(*b));
}

const char* via_name(Via via) {
    return via == Via::kFile ? "from a file" : "through a pipe";
}

TEST(NetpbmReader, ReadsEveryValidImage) {
    for (const ValidImage& image : valid_images()) {
        const std::string bytes = image.header + image.raster;
        SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 80)));
        for (Via via : {Via::kFile, Via::kPipe}) {
            SCOPED_TRACE(via_name(via));
            Decoded wide = decode(bytes, via);
            if (image.needs_size && via == Via::kPipe) {
                EXPECT_TRUE(wide.error.starts_with("truncated raster: ")) << wide.error;
                continue;
            }
            ASSERT_EQ(wide.error, "");
            EXPECT_EQ(fields(wide.header),
                      std::tuple(image.width, image.height, image.max_value, image.channels));
            EXPECT_EQ(wide.samples, image.samples);
            if (image.max_value <= 255) {
                Decoded narrow = decode<std::uint8_t>(bytes, via, {2, 4099});
                EXPECT_EQ(narrow.error, "");
                EXPECT_EQ(narrow.samples, image.samples);
            }
        }
    }
}

TEST(NetpbmReader, RefusesMalformedImagesSayingWhy) {
    for (const MalformedImage& image : malformed_images()) {
        std::vector<std::string> forms = {image.bytes};
        // Plain, again with blanks after it: enough for the reader's 64-byte strides.
        if (image.bytes.starts_with("P2")) forms.push_back(image.bytes + std::string(100, ' '));
        for (const std::string& bytes : forms) {
            SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 80)));
            for (Via via : {Via::kFile, Via::kPipe}) {
                SCOPED_TRACE(via_name(via));
                Decoded wide;
                for (std::size_t chunk : {1, 3, 4099}) {
                    wide = decode(bytes, via, {chunk});
                    EXPECT_EQ(wide.error, image.why) << "in reads of " << chunk;
                }
                if (wide.header.max_value <= 255) {
                    EXPECT_EQ(decode<std::uint8_t>(bytes, via, {2}).error, image.why);
                }
            }
        }
    }
}

TEST(NetpbmReader, RefusesEveryProperPrefixOfAnImage) {
    const std::string images[] = {
        "P5\n# comment\n3 2\n255\n" + kRaster,
        "P5 2 1 65535\n\x12\x34\x56\x78",
        "P2\n# comment\n3 2 65535\n0 1 2\n3 4 5",
    };
    for (const std::string& image : images) {
        for (std::size_t length = 0; length < image.size(); ++length) {
            for (Via via : {Via::kFile, Via::kPipe})
                EXPECT_NE(decode(image.substr(0, length), via).error, "")
                    << testing::PrintToString(image.substr(0, length)) << " " << via_name(via);
        }
    }
}

// A width × height image of random samples: binary, or plain with every kind of
// whitespace between the numbers and leading zeros before many of them.
std::pair<std::string, Samples> random_image(bool plain, int width, int height, int max_value,
                                             unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes = std::string(plain ? "P2" : "P5") + "\n" + std::to_string(width) + " " +
                        std::to_string(height) + "\n" + std::to_string(max_value) + "\n";
    Samples samples(std::size_t(width) * height);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint16_t>(random() % (max_value + 1));
        if (!plain) {
            if (max_value > 255) bytes += static_cast<char>(samples[i] >> 8);
            bytes += static_cast<char>(samples[i]);
            continue;
        }
        for (std::size_t blanks = i == 0 ? 0 : 1 + random() % 3; blanks > 0; --blanks)
            bytes += " \t\n\r\v\f"[random() % 6];
        bytes += std::string(random() % 4, '0') + std::to_string(samples[i]);
    }
    return {bytes, samples};
}

// Images larger than the input's 128 KiB buffer, read in chunks of odd sizes, some
// larger than the buffer: 16-bit samples and decimal numbers that straddle the
// buffer's refills or the reader's windows into it must come whole.
TEST(NetpbmReader, ReadsLargeImagesInOddChunks) {
    const struct {
        bool plain;
        int width, height, max_value;
    } shapes[] = {
        {false, 1001, 137, 65535},
        {false, 1001, 277, 255},
        {true, 613, 101, 65535},
        {true, 700, 100, 255},
    };
    const std::size_t kBuffer = 128 * 1024;
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    for (const auto& shape : shapes) {
        SCOPED_TRACE((shape.plain ? "plain, maximum value " : "binary, maximum value ") +
                     std::to_string(shape.max_value));
        auto [bytes, samples] =
            random_image(shape.plain, shape.width, shape.height, shape.max_value, 1);
        // Plain, a number must straddle the first refill: take the first seed that gives one.
        for (unsigned seed = 2;
             shape.plain && !(is_digit(bytes[kBuffer - 1]) && is_digit(bytes[kBuffer])); ++seed)
            std::tie(bytes, samples) =
                random_image(shape.plain, shape.width, shape.height, shape.max_value, seed);
        ASSERT_GT(bytes.size(), 2 * kBuffer);
        // Without its last number (plain) or its last byte (binary).
        std::string cut, cut_why;
        if (shape.plain) {
            cut = bytes.substr(0, bytes.find_last_of(" \t\n\r\v\f") + 1);
            cut_why = std::to_string(samples.size() - 1) + " of " + std::to_string(samples.size()) +
                      " samples";
        } else {
            std::size_t raster = samples.size() * (shape.max_value > 255 ? 2 : 1);
            cut = bytes.substr(0, bytes.size() - 1);
            cut_why = std::to_string(raster - 1) + " of " + std::to_string(raster) + " bytes";
        }
        for (Via via : {Via::kFile, Via::kPipe}) {
            SCOPED_TRACE(via_name(via));
            Decoded wide = decode(bytes, via, {1, 7, 4099, 99991});
            EXPECT_EQ(wide.error, "");
            EXPECT_TRUE(same_samples(wide.samples, samples));
            if (shape.max_value <= 255) {
                Decoded narrow = decode<std::uint8_t>(bytes, via, {99991, 3, 4099});
                EXPECT_EQ(narrow.error, "");
                EXPECT_TRUE(same_samples(narrow.samples, samples));
            }
            EXPECT_EQ(decode(cut, via).error, "truncated raster: found " + cut_why);
        }
    }
}

// Short samples, as 8-bit images have, are taken 32 or 64 bytes at a time: every
// value, and a fault anywhere among them, must come out as one at a time would.
TEST(NetpbmReader, ReadsShortPlainSamplesAndPlacesEachFault) {
    const struct {
        std::string text;  // put in place of a sample; M is the maximum value
        std::string why;   // what is then wrong, after "sample"
    } faults[] = {
        {"", ""},  // none
        {"M+1", " M+1 at row R, column C is above the maximum value M"},
        {"999", " 999 at row R, column C is above the maximum value M"},
        {"0M+56", " M+56 at row R, column C is above the maximum value M"},
        {"-1", " at row R, column C is not a decimal number"},
        {"1.", " at row R, column C is not a decimal number"},
        {"7a", " at row R, column C is not a decimal number"},
    };
    const int width = 317, height = 29;
    // 8-bit samples, read both ways, and 16-bit ones that are short all the same.
    for (int max_value : {200, 300}) {
        auto with_values = [&](std::string text, std::size_t at) {
            for (const char* name : {"M+56", "M+1", "M"}) {
                int value = max_value + (name[1] ? std::stoi(name + 2) : 0);
                for (std::size_t i; (i = text.find(name)) != std::string::npos;)
                    text.replace(i, std::strlen(name), std::to_string(value));
            }
            if (std::size_t i = text.find('R'); i != std::string::npos)
                text.replace(i, 1, std::to_string(at / width + 1));
            if (std::size_t i = text.find('C'); i != std::string::npos)
                text.replace(i, 1, std::to_string(at % width + 1));
            return text;
        };
        for (unsigned seed = 1; seed <= 8; ++seed) {
            std::mt19937 random(seed);
            Samples samples(width * height);
            std::vector<std::string> numbers;
            for (std::uint16_t& sample : samples) {
                sample = static_cast<std::uint16_t>(random() % (max_value + 1));
                // Up to three digits, leading zeros among them: "7", "07", "007".
                std::string number = std::to_string(sample);
                number.insert(0, random() % 4 == 0 ? 3 - number.size() : 0, '0');
                numbers.push_back(number);
            }
            for (const auto& fault : faults) {
                std::size_t at = random() % samples.size();
                std::string bytes = "P2 " + std::to_string(width) + " " + std::to_string(height) +
                                    " " + std::to_string(max_value) + "\n";
                for (std::size_t i = 0; i < numbers.size(); ++i)
                    bytes += (i == at && !fault.text.empty() ? with_values(fault.text, at)
                                                             : numbers[i]) +
                             std::string(1 + random() % 2, " \n\t\r"[random() % 4]);
                std::string why = fault.why.empty() ? "" : "sample" + with_values(fault.why, at);
                SCOPED_TRACE("seed " + std::to_string(seed) + ", " +
                             (why.empty() ? "no fault" : why));
                Decoded wide = decode(bytes, Via::kFile, {samples.size()});
                EXPECT_EQ(wide.error, why);
                if (why.empty()) {
                    EXPECT_TRUE(same_samples(wide.samples, samples));
                }
                if (max_value > 255) continue;
                Decoded narrow = decode<std::uint8_t>(bytes, Via::kFile, {99991});
                EXPECT_EQ(narrow.error, why);
                if (why.empty()) {
                    EXPECT_TRUE(same_samples(narrow.samples, samples));
                }
            }
        }
    }
}

TEST(NetpbmReader, ReadsNumbersWithAnyRunOfLeadingZeros) {
    for (std::size_t zeros : {8, 4096, 70000, 140000}) {
        const std::string image =
            "P2 2 1 65535\n" + std::string(zeros, '0') + "65535 " + std::string(zeros, '0') + "7";
        for (Via via : {Via::kFile, Via::kPipe}) {
            Decoded read = decode(image, via);
            EXPECT_EQ(read.error, "") << zeros << " zeros " << via_name(via);
            EXPECT_EQ(read.samples, (Samples{65535, 7})) << zeros << " zeros " << via_name(via);
        }
    }
}

// Where the header may end at the space after the maximum value or at the line feed
// after the blanks that follow it, only a known size can choose the first.
TEST(NetpbmReader, ReadsLikeAPipeWhatHasNoKnownSize) {
    const std::string image = "P5 2 1 9  \n";
    const std::string why = "truncated raster: found 0 of 2 bytes";
    EXPECT_EQ(decode(image).samples, (Samples{' ', '\n'}));
    EXPECT_EQ(decode(image, Via::kPipe).error, why);

    // A file that holds bytes though its size is 0, as in /proc: a thread's name.
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    ASSERT_EQ(pthread_setname_np(pthread_self(), image.substr(0, image.size() - 1).c_str()), 0);
    std::string error;
    try {
        Input in("/proc/thread-self/comm");
        NetpbmReader reader(in);
        Bytes raster(2);
        reader.read(raster);
    } catch (const Error& e) {
        error = e.problem();
    }
    pthread_setname_np(pthread_self(), name);
    EXPECT_EQ(error, why);
}

// Netpbm's images, binary and plain, against the numbers its pamtable reads in them.
TEST(NetpbmReader, ReadsWhatNetpbmWrites) {
    if (std::system("for tool in pgmramp pgmnoise pnmtopnm pamtable; do"
                    " command -v $tool || exit 1; done >/dev/null") != 0)
        GTEST_SKIP() << "netpbm is not installed";
    ScratchDir dir;
    const std::string image = dir / "image.pgm";
    const std::string makers[] = {
        "pgmramp -maxval 4095 -lr 300 7",
        "pgmnoise -maxval 65535 -randomseed 1 301 9",
        "pgmnoise -maxval 1000 -randomseed 2 3 100",
        "pgmnoise -maxval 255 -randomseed 3 1000 150",
    };
    for (const std::string& maker : makers) {
        for (const std::string filter : {"", " | pnmtopnm -plain"}) {
            SCOPED_TRACE(maker + filter);
            ASSERT_EQ(std::system((maker + filter + " >" + image).c_str()), 0);
            Samples expected;
            std::istringstream table(output_of("pamtable " + image));
            for (unsigned value; table >> value;)
                expected.push_back(static_cast<std::uint16_t>(value));
            Decoded read = decode(read_file(image));
            ASSERT_EQ(read.error, "");
            EXPECT_EQ(read.header.format == Format::pgm_plain, !filter.empty());
            EXPECT_TRUE(same_samples(read.samples, expected));
        }
    }
}

TEST(ReadPgm, ReadsRegularFilesAndPipes) {
    ScratchDir dir;
    const std::string images[] = {"P5\n3 2\n255\n" + kRaster, "P2 3 2 255\n0 128 255\n7 8 9"};
    for (const std::string& image : images) {
        write_file(dir / "face.pgm", image);
        Pipe pipe(image);
        for (const std::string& name : {dir / "face.pgm", pipe.path()}) {
            SCOPED_TRACE(image.substr(0, 2) + " " + name);
            Bytes pixels;
            std::int32_t width = 0, height = 0;
            EXPECT_EQ(read_pgm(name, pixels, width, height), 255);
            EXPECT_EQ(width, 3);
            EXPECT_EQ(height, 2);
            EXPECT_EQ(pixels, Bytes(kRaster.begin(), kRaster.end()));
        }
    }
    write_file(dir / "deep.pgm", "P5 3 2 256\n" + kRaster + kRaster);
    Bytes pixels;
    std::int32_t width, height;
    EXPECT_EXIT(read_pgm(dir / "deep.pgm", pixels, width, height), testing::ExitedWithCode(1),
                "^lumtab: " + dir / "deep.pgm" +
                    ": maximum value 256 means 16-bit samples, but read_pgm holds one byte a "
                    "sample\n$");
}

TEST(WritePgm, WritesTheExactBytes) {
    const struct {
        bool wide;  // written by write_pgm_16, else by write_pgm
        Samples samples;
        int width, height, max_value;
        std::string comment, file;
    } cases[] = {
        {false, {10, 200}, 2, 1, 255, "x", "P5\n#x\n2 1\n255\n\x0a\xc8"},
        {false, {}, 0, 3, 255, "", "P5\n#\n0 3\n255\n"},
        {false, {1, 2, 3}, 1, 2, 7, " two\nlines", "P5\n# two\n#lines\n1 2\n7\n\x01\x02"},
        {false, {}, 0, 0, 1, "\n", "P5\n#\n#\n0 0\n1\n"},
        {false, {5}, 1, 1, 255, "a\rb", "P5\n#a\r#b\n1 1\n255\n\x05"},
        {true, {7, 255}, 2, 1, 255, "", "P5\n#\n2 1\n255\n\x07\xff"},
        {true,
         {0x0102, 0xfffe, 7},
         3,
         1,
         65535,
         "",
         std::string("P5\n#\n3 1\n65535\n") + std::string("\x01\x02\xff\xfe\x00\x07", 6)},
        {true, {7, 256}, 2, 1, 256, "", std::string("P5\n#\n2 1\n256\n\x00\x07\x01\x00", 17)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.file));
        ScratchDir dir;
        if (c.wide) {
            write_pgm_16(dir / "out.pgm", c.samples, c.width, c.height, c.max_value, c.comment);
        } else {
            Bytes pixels(c.samples.begin(), c.samples.end());
            write_pgm(dir / "out.pgm", pixels, c.width, c.height, c.max_value, c.comment);
        }
        EXPECT_EQ(read_file(dir / "out.pgm"), c.file);
        EXPECT_EQ(dir.names(), std::vector<std::string>{"out.pgm"});
    }
}

// Rounds in threes: write_pgm, write_pgm_16 with one byte a sample, with two.
TEST(WritePgm, WritesWhatTheReaderReadsBack) {
    std::mt19937 random(7);
    const std::size_t comment_lengths[] = {0, 1, 77, 78, 79, 80, 500, 5000};
    ScratchDir dir;
    const std::string name = dir / "image.pgm";
    for (int round = 0; round < 96; ++round) {
        int width = static_cast<int>(random() % 300);
        int height = static_cast<int>(random() % 40);
        if (round % 8 < 4) (round % 2 == 0 ? width : height) = round % 8 / 2;  // 0 or 1
        const int kind = round % 3;
        int max_value = static_cast<int>(kind == 2 ? 256 + random() % 65280 : 1 + random() % 255);
        Samples samples(std::size_t(width) * height);
        for (std::uint16_t& sample : samples)
            sample = static_cast<std::uint16_t>(random() % (max_value + 1));
        std::string comment = random_bytes(comment_lengths[round % 8], round + 1000);
        std::replace(comment.begin(), comment.end(), '\0', '\n');
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + " up to " +
                     std::to_string(max_value) + ", comment of " + std::to_string(comment.size()));

        if (kind == 0) {
            Bytes pixels(samples.begin(), samples.end());
            write_pgm(name, pixels, width, height, max_value, comment);
            Bytes read;
            std::int32_t read_width = -1, read_height = -1;
            EXPECT_EQ(read_pgm(name, read, read_width, read_height), max_value);
            EXPECT_EQ(read_width, width);
            EXPECT_EQ(read_height, height);
            EXPECT_EQ(read, pixels);
        } else {
            write_pgm_16(name, samples, width, height, max_value, comment);
            Decoded read = decode(read_file(name));
            ASSERT_EQ(read.error, "");
            EXPECT_EQ(fields(read.header), std::tuple(width, height, max_value, 1));
            EXPECT_TRUE(same_samples(read.samples, samples));
        }
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
    // A sample above the maximum value makes a file other readers refuse.
    const Bytes high = {1, 2, 3, 200, 5, 6};
    EXPECT_EXIT(
        write_pgm(name, high, 3, 2, 100, ""), testing::ExitedWithCode(1),
        "^lumtab: " + name + ": sample 200 at row 2, column 1 is above the maximum value 100\n$");
    const Samples wide = {1, 2, 300, 4, 5, 6};
    EXPECT_EXIT(
        write_pgm_16(name, wide, 3, 2, 255, ""), testing::ExitedWithCode(1),
        "^lumtab: " + name + ": sample 300 at row 1, column 3 is above the maximum value 255\n$");
    EXPECT_EXIT(write_pgm_16(name, wide, 3, 2, 65536, ""), testing::ExitedWithCode(1),
                "^lumtab: " + name + ": maximum value 65536 is out of range \\(1 to 65535\\)\n$");
    EXPECT_EXIT(write_pgm(dir / "missing/out.pgm", six, 3, 2, 255, ""), testing::ExitedWithCode(1),
                "^Unable to open file: " + dir / "missing/out.pgm" + "$");
    EXPECT_TRUE(dir.names().empty());
}

TEST(WritePgm, ReportsAWriteErrorAndKeepsTheOldFile) {
    ScratchDir dir;
    write_file(dir / "out.pgm", "old");
    const Bytes pixels(1 << 20, 7);
    auto write_past_the_size_limit = [&] {
        // The program's policy, as lumtab's: a write past the limit fails instead
        // of killing the process.
        signal(SIGXFSZ, SIG_IGN);
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
