// PFM images through the library: what numpy writes is read bit for bit, what
// lumtab writes reads back, every way in and out, and broken files are refused in
// one line.
#include <lumtab/lumtab.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Bits = std::vector<std::uint32_t>;

// Every NaN alike: their payloads need not survive.
std::uint32_t bits_of(float value) {
    return std::isnan(value) ? 0x7fc00000 : std::bit_cast<std::uint32_t>(value);
}

Bits bits_of(std::span<const double> samples) {
    Bits bits;
    for (double sample : samples)
        bits.push_back(bits_of(static_cast<float>(sample)));
    return bits;
}

// Little-endian floats, as this machine holds them.
Bits bits_of(const std::string& floats) {
    std::vector<double> values;
    for (std::size_t at = 0; at + 4 <= floats.size(); at += 4) {
        float value;
        std::memcpy(&value, floats.data() + at, 4);
        values.push_back(value);
    }
    return bits_of(values);
}

std::span<const std::uint8_t> span_of(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// The image in `bytes` read from a file, from memory and from a pipe, which must
// agree; or the problems the reading met, which must agree too.
std::vector<lumtab::Image> read_every_way(const ScratchDir& dir, const std::string& bytes,
                                          std::string& problem) {
    write_file(dir / "in.pfm", bytes);
    std::vector<lumtab::Image> images;
    std::vector<std::string> problems;
    auto read = [&](auto reading) {
        try {
            images.push_back(reading());
        } catch (const lumtab::Error& error) {
            problems.push_back(error.problem());
        }
    };
    read([&] { return lumtab::read_image(dir / "in.pfm"); });
    read([&] { return lumtab::read_image(span_of(bytes), "memory"); });
    if (int fd = pipe_holding(span_of(bytes)); fd >= 0) {
        read([&] { return lumtab::read_image(fd, "pipe"); });
        close(fd);
    }
    EXPECT_TRUE(images.empty() || problems.empty()) << (problems.empty() ? "" : problems[0]);
    problem = problems.empty() ? "" : problems[0];
    for (const std::string& other : problems)
        EXPECT_EQ(other, problem);
    return images;
}

lumtab::Image float_image(std::int32_t width, std::int32_t height, int channels,
                          const std::vector<float>& pattern) {
    lumtab::ImageInfo info{lumtab::Format::pfm,
                           width,
                           height,
                           65535,
                           channels,
                           channels == 3 ? "RGB" : "GRAYSCALE",
                           lumtab::SampleType::float32};
    std::vector<double> samples(info.samples());
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = pattern[(i * 7 + i / 5) % pattern.size()];
    return lumtab::Image(info, samples);
}

const std::vector<float> kSpecial = {NAN,  INFINITY, -INFINITY, -0.0f, 1e-45f,
                                     0.1f, 3.4e38f,  -1.5f,     0.0f,  12345.678f};

// Grey and RGB, either byte order, headers spaced every way, rows short and long
// enough to be read in blocks and in pieces, no samples at all: numpy's bits, read
// from the top, one file after another from the same descriptor.
TEST(Pfm, ReadsWhatNumpyWroteBitForBit) {
    ScratchDir dir;
    write_file(dir / "make.py", R"(import numpy as np
special = np.array([np.nan, np.inf, -np.inf, -0.0, 1e-45, 0.1, 3.4e38, -1.5], np.float32)
r = np.random.default_rng(3)
def pfm(name, header, order, rows):
    open(name + '.pfm', 'wb').write(header + rows[::-1].astype(order + 'f4').tobytes())
    rows.astype('<f4').tofile(name + '.bits')
pfm('grey', b'Pf\n3 2\n-1.0\n', '<', np.resize(special, (2, 3)))
pfm('rgb', b'PF\t2\r\n4   +1e10\n', '>', np.resize(special[::-1], (4, 2, 3)))
pfm('wide', b'Pf\n20000 2\n-3.5e-3\n', '<', r.standard_normal((2, 20000)).astype('f4'))
pfm('tall', b'PF\n1 9000\n1e999\n', '>', r.standard_normal((9000, 1, 3)).astype('f4'))
pfm('empty', b'Pf\n0 3\n-1', '<', np.zeros((3, 0), 'f4'))
)");
    if (std::system(("cd " + dir.path() + " && /usr/bin/python3 make.py").c_str()) != 0)
        GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy)";
    struct Case {
        const char* name;
        int channels;
        std::int32_t width, height;
    };
    const Case cases[] = {{"grey", 1, 3, 2},
                          {"rgb", 3, 2, 4},
                          {"wide", 1, 20000, 2},
                          {"tall", 3, 1, 9000},
                          {"empty", 1, 0, 3}};
    std::string all;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = read_file(dir / (std::string(c.name) + ".pfm"));
        all += bytes;
        std::string problem;
        for (const lumtab::Image& image : read_every_way(dir, bytes, problem)) {
            EXPECT_EQ(image.info().format, lumtab::Format::pfm);
            EXPECT_EQ(image.info().sample_type, lumtab::SampleType::float32);
            EXPECT_EQ(image.info().tuple_type, c.channels == 3 ? "RGB" : "GRAYSCALE");
            EXPECT_EQ(image.channels(), c.channels);
            EXPECT_EQ(image.width(), c.width);
            EXPECT_EQ(image.height(), c.height);
            EXPECT_EQ(bits_of(image.values()),
                      bits_of(read_file(dir / (std::string(c.name) + ".bits"))));
        }
    }
    write_file(dir / "all", all);
    int fd = open((dir / "all").c_str(), O_RDONLY | O_CLOEXEC);
    for (const Case& c : cases)
        EXPECT_EQ(lumtab::read_image(fd, "all").width(), c.width);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), off_t(all.size()));
    close(fd);
}

// Into a file, memory, a pipe and a row at a time, the same bytes; read back, the
// same bits, -0 and the smallest subnormal among them.
TEST(Pfm, WritesWhatItReadsBack) {
    ScratchDir dir;
    const lumtab::Image images[] = {float_image(3, 2, 1, kSpecial),
                                    float_image(20000, 2, 3, kSpecial),
                                    float_image(1, 9000, 1, kSpecial), float_image(0, 4, 3, {})};
    for (const lumtab::Image& image : images) {
        SCOPED_TRACE(std::to_string(image.width()) + " x " + std::to_string(image.height()));
        const std::vector<std::uint8_t> bytes = lumtab::write_image(image);
        const std::string file(bytes.begin(), bytes.end());
        EXPECT_EQ(file.substr(0, file.find("-1.0\n") + 5),
                  std::string(image.channels() == 3 ? "PF\n" : "Pf\n") +
                      std::to_string(image.width()) + " " + std::to_string(image.height()) +
                      "\n-1.0\n");
        EXPECT_EQ(bits_of(lumtab::read_image(bytes, "memory").values()), bits_of(image.values()));

        lumtab::write_image(dir / "image.pfm", image);
        EXPECT_EQ(read_file(dir / "image.pfm"), file);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::thread writer([&] {
            lumtab::write_image(ends[1], "pipe", image);
            close(ends[1]);
        });
        std::string piped;
        char chunk[65536];
        for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;)
            piped.append(chunk, std::size_t(n));
        writer.join();
        close(ends[0]);
        EXPECT_EQ(piped, file);

        lumtab::ImageInfo info = image.info();
        info.format = lumtab::Format::pgm_binary;
        lumtab::ImageWriter rows(dir / "rows.pfm", info);
        const std::size_t row = std::size_t(image.width()) * std::size_t(image.channels());
        for (std::int32_t y = 0; y < image.height(); ++y)
            rows.write_row(image.values().subspan(std::size_t(y) * row, row));
        rows.finish();
        EXPECT_EQ(read_file(dir / "rows.pfm"), file);
    }
    EXPECT_EQ(lumtab::image_suffix(images[0].info()), "pfm");
    lumtab::WriteOptions plain;
    plain.plain = true;
    EXPECT_THROW(lumtab::write_image(images[0], plain), lumtab::Error);
}

TEST(Pfm, RefusesBrokenFilesInOneLine) {
    ScratchDir dir;
    const std::string sample(4, '\0');
    const struct {
        std::string bytes;
        const char* problem;
    } cases[] = {
        {"Pf\n1 1\n0\n" + sample, "PFM scale 0: its sign must give the byte order"},
        {"Pf\n1 1\n-0.0\n" + sample, "PFM scale -0.0: its sign must give the byte order"},
        {"Pf\n1 1\n1.0x\n" + sample, "PFM scale 1.0x is not a decimal number"},
        {"Pf\n1 1\nnan\n" + sample, "PFM scale nan is not a decimal number"},
        {"Pf\n-1 1\n-1\n", "negative width"},
        {"Pf\n1 1x\n-1\n", "height is not a decimal number"},
        {"Pf\n1 2147483648\n-1\n", "height is too large"},
        {"Pf\n2 2", "file ends inside the header"},
        {"Pf\n2 2\n-1", "file ends inside the header"},
        {"Pf\n2 2\n-1\n" + std::string(15, '\0'), "truncated raster: found 15 of 16 bytes"},
        {"PF\n100000 100000\n1\n" + sample, "truncated raster: found 4 of 120000000000 bytes"},
        {"PF\n2147483647 2147483647\n1\n",
         "2147483647 x 2147483647 pixels: more than a file can hold"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::string problem;
        EXPECT_TRUE(read_every_way(dir, c.bytes, problem).empty());
        EXPECT_EQ(problem, c.problem);
    }
}

}  // namespace
