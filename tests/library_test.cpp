// The public API, as a program that includes <lumtab/lumtab.h> uses it.
#include <lumtab/lumtab.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

lumtab::Image random_image(std::int32_t width, std::int32_t height, std::int32_t max_value) {
    lumtab::Image image(width, height, max_value);
    std::mt19937 random(static_cast<unsigned>(width * 7 + max_value));
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x)
            image.set(x, y, static_cast<std::uint16_t>(random() % (max_value + 1)));
    return image;
}

std::string bytes_of(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Every way in reads what every way out wrote: files, descriptors, memory, and
// a block of rows at a time.
TEST(Library, ReadsWhatItWritesEveryWay) {
    const lumtab::Image images[] = {random_image(37, 23, 255), random_image(5, 300, 1023),
                                    random_image(300, 2, 65535), lumtab::Image(0, 3)};
    ScratchDir dir;
    for (const lumtab::Image& image : images) {
        for (bool plain : {false, true}) {
            SCOPED_TRACE(std::to_string(image.width()) + " x " + std::to_string(image.height()) +
                         (plain ? " plain" : " binary"));
            const lumtab::WriteOptions options{.plain = plain, .comment = "made\nby a test"};
            lumtab::write_image(dir / "image.pgm", image, options);
            std::vector<std::uint8_t> bytes = lumtab::write_image(image, options);
            EXPECT_EQ(read_file(dir / "image.pgm"), bytes_of(bytes));

            EXPECT_EQ(lumtab::read_image(dir / "image.pgm"), image);
            EXPECT_EQ(lumtab::read_image(bytes, "memory"), image);
            int fd = open((dir / "image.pgm").c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_EQ(lumtab::read_image(fd, "descriptor"), image);
            // Left just past the image: a plain one's last line feed follows it.
            EXPECT_EQ(lseek(fd, 0, SEEK_CUR), off_t(bytes.size() - (plain && image.size())));
            close(fd);

            lumtab::ImageReader reader(bytes, "rows");
            EXPECT_EQ(reader.info().format,
                      plain ? lumtab::Format::pgm_plain : lumtab::Format::pgm_binary);
            std::vector<std::uint16_t> rows(std::size_t(image.width()) * 7 + 3);
            lumtab::Image read(image.width(), image.height(), image.max_value());
            std::int32_t y = 0;
            for (std::int32_t n; (n = reader.read_rows(std::span(rows))) > 0; y += n)
                for (std::int32_t row = 0; row < n; ++row)
                    for (std::int32_t x = 0; x < image.width(); ++x)
                        read.set(x, y + row, rows[std::size_t(row) * image.width() + x]);
            EXPECT_EQ(y, image.height());
            EXPECT_EQ(read, image);
        }
    }
}

// A PNG, as every format, read whole and a row at a time, its first bytes deciding.
TEST(Library, ReadsPngThroughLibpng) {
    const std::string png(
        "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x02"
        "\x00\x00\x00\x02\x08\x02\x00\x00\x00\xfd\xd4\x9a\x73\x00\x00\x00\x16\x49\x44\x41"
        "\x54\x78\x9c\x63\x64\x64\x62\x66\x66\x66\x66\xf8\xf5\xfb\x0f\x43\xc3\x7f\x00\x11"
        "\x65\x04\x81\xca\xa1\x60\x8e\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
        79);
    const std::vector<std::uint8_t> bytes(png.begin(), png.end());
    const std::vector<std::uint8_t> rgb{1, 2, 3, 4, 5, 6, 250, 251, 252, 0, 128, 255};
    try {
        lumtab::Image image = lumtab::read_image(bytes, "rgb.pgm");
        EXPECT_EQ(image.info().format, lumtab::Format::png);
        EXPECT_EQ(image.channels(), 3);
        EXPECT_EQ(std::vector<std::uint8_t>(image.samples8().begin(), image.samples8().end()), rgb);
        lumtab::ImageReader reader(bytes, "rows");
        std::vector<std::uint8_t> row(6);
        EXPECT_EQ(reader.read_rows(std::span(row)), 1);
        EXPECT_EQ(row, std::vector<std::uint8_t>(rgb.begin(), rgb.begin() + 6));
    } catch (const lumtab::Error& error) {
        if (std::string(error.what()).find("not read by this build") == std::string::npos) throw;
        GTEST_SKIP() << "built without the image libraries";
    }
}

// Images one after another on a descriptor are read one at a time, each leaving
// it just past its end; a TIFF, whose parts may lie anywhere, takes the whole file.
TEST(Library, ReadsImagesOneAfterAnotherFromADescriptor) {
    ScratchDir dir;
    if (std::system(("cd " + dir.path() +
                     " && /usr/bin/python3 -c 'import io, PIL.Image as I; "
                     "a = I.new(\"L\", (5, 3), 7); b = I.new(\"L\", (2, 9), 9)\n"
                     "for f in (\"PNG\", \"JPEG\", \"TIFF\"):\n"
                     "  o = open(f, \"wb\"); a.save(o, f); b.save(o, f)' 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "needs Pillow";
    for (const char* format : {"PNG", "JPEG", "TIFF"}) {
        SCOPED_TRACE(format);
        int fd = open((dir / format).c_str(), O_RDONLY | O_CLOEXEC);
        try {
            EXPECT_EQ(lumtab::read_image(fd, "first").width(), 5);
            if (std::string(format) != "TIFF") {
                EXPECT_EQ(lumtab::read_image(fd, "second").width(), 2);
            }
        } catch (const lumtab::Error& error) {
            close(fd);
            if (std::string(error.what()).find("not read by this build") == std::string::npos)
                throw;
            GTEST_SKIP() << "built without the image libraries";
        }
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), lseek(fd, 0, SEEK_END));
        close(fd);
    }
}

// Every file type into memory and onto a descriptor twice, the second after the
// first: a TIFF's writer goes back over what it wrote, and must neither write past
// the memory nor leave the descriptor short of its end.
TEST(Library, WritesEveryTypeIntoMemoryAndOneAfterAnother) {
    ScratchDir dir;
    const lumtab::Image image = random_image(37, 23, 255);
    for (lumtab::FileType type :
         {lumtab::FileType::netpbm, lumtab::FileType::png, lumtab::FileType::tiff}) {
        SCOPED_TRACE(int(type));
        lumtab::WriteOptions options;
        options.type = type;
        std::vector<std::uint8_t> bytes;
        try {
            bytes = lumtab::write_image(image, options);
        } catch (const lumtab::Error& error) {
            if (std::string(error.what()).find("not written by this build") == std::string::npos)
                throw;
            continue;
        }
        EXPECT_EQ(lumtab::read_image(bytes, "memory"), image);
        // One after another on a descriptor, also one open to append, where pwrite
        // would append too.
        for (int append : {0, O_APPEND}) {
            int fd = open((dir / "twice").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | append,
                          0600);
            lumtab::write_image(fd, "twice", image, options);
            lumtab::write_image(fd, "twice", image, options);
            close(fd);
            EXPECT_EQ(read_file(dir / "twice"), bytes_of(bytes) + bytes_of(bytes)) << append;
        }
    }
}

// An image of every sample type but uint, of every channels, to TIFF and back:
// its bits and sample format, and libtiff's predictor for the type, kept exact.
TEST(Library, WritesTiffOfEverySampleTypeAndReadsItBack) {
    using lumtab::SampleType;
    const struct {
        SampleType type;
        double least, most;
    } types[] = {{SampleType::uint32, 0, 4294967295.0},
                 {SampleType::int8, -128, 127},
                 {SampleType::int16, -32768, 32767},
                 {SampleType::int32, -2147483648.0, 2147483647},
                 {SampleType::float32, -3.4028234663852886e38, 3.4028234663852886e38},
                 {SampleType::float64, -1e300, 1e300}};
    std::mt19937 random(25);
    for (const auto& t : types) {
        for (int channels = 1; channels <= 4; ++channels) {
            SCOPED_TRACE(std::to_string(int(t.type)) + " " + std::to_string(channels));
            const char* tuple_types[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
            lumtab::ImageInfo info{.width = 19,
                                   .height = 7,
                                   .channels = channels,
                                   .tuple_type = tuple_types[channels - 1],
                                   .sample_type = t.type};
            std::vector<double> values(info.samples());
            std::uniform_real_distribution<double> spread(t.least, t.most);
            for (double& value : values) {
                value = spread(random);
                value = t.type == SampleType::float32   ? double(float(value))
                        : t.type == SampleType::float64 ? value
                                                        : std::floor(value);
            }
            values[0] = t.least, values[1] = t.most;
            const lumtab::Image image(info, values);
            std::vector<std::uint8_t> bytes;
            try {
                bytes = lumtab::write_image(image, {.comment = "", .type = lumtab::FileType::tiff});
            } catch (const lumtab::Error& error) {
                if (std::string(error.what()).find("not written by this build") ==
                    std::string::npos)
                    throw;
                GTEST_SKIP() << error.what();
            }
            const lumtab::Image read = lumtab::read_image(bytes, "memory");
            EXPECT_EQ(read.info().sample_type, t.type);
            EXPECT_EQ(read, image);
        }
    }
}

TEST(Library, WritesAnImageARowAtATime) {
    ScratchDir dir;
    const lumtab::Image image = random_image(4, 3, 9);
    {
        lumtab::ImageWriter writer(dir / "rows.pgm", image.info(), "rows");
        for (std::int32_t y = 0; y < image.height(); ++y)
            writer.write_row(image.samples8().subspan(std::size_t(y) * 4, 4));
        writer.finish();
    }
    EXPECT_EQ(lumtab::read_image(dir / "rows.pgm"), image);
    {
        // Unfinished, or short of rows: nothing is left.
        lumtab::ImageWriter writer(dir / "short.pgm", image.info());
        writer.write_row(image.samples8().first(4));
        EXPECT_THROW(writer.finish(), lumtab::Error);
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"rows.pgm"});
}

TEST(Library, ReadsTablesBackAsTheCommandDoes) {
    const lumtab::Image image = random_image(9, 4, 700);
    for (lumtab::TableStyle style :
         {lumtab::TableStyle::spaces, lumtab::TableStyle::csv, lumtab::TableStyle::tsv}) {
        std::string text = lumtab::table_text(image, style);
        std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
        EXPECT_EQ(lumtab::read_table(bytes, "t", 700), image);
        EXPECT_EQ(lumtab::read_table(bytes, "t").max_value(), 65535);
    }
    EXPECT_EQ(lumtab::table_text(lumtab::Image(0, 2)), "\n\n");
}

// The one error type, naming the file and what is wrong with it.
TEST(Library, FailsWithItsErrorNamingTheFile) {
    ScratchDir dir;
    lumtab::Image high(2, 1, 1000);
    high.set(1, 0, 2000);
    auto text = [](const char* s) {
        return std::span(reinterpret_cast<const std::uint8_t*>(s), std::strlen(s));
    };
    const struct {
        std::function<void()> call;
        std::string what;
    } cases[] = {
        {[&] { lumtab::read_image(dir / "missing.pgm"); },
         "Unable to open file: " + dir / "missing.pgm"},
        {[&] { lumtab::read_image(text("P5 3 2 255\n\x01"), "short"); },
         "lumtab: short: truncated raster: found 1 of 6 bytes"},
        {[&] { lumtab::write_image(dir / "high.pgm", high); },
         "lumtab: " + dir / "high.pgm" +
             ": sample 2000 at row 1, column 2 is above the maximum value 1000"},
        {[&] { lumtab::read_table(text("1 2\n3\n"), "t"); },
         "lumtab: t: line 2 has 1 value, line 1 has 2"},
        {[&] { lumtab::Image(-1, 2); }, "lumtab: image: negative width or height"},
        {[&] {
             std::vector<std::uint16_t> rows(2);
             lumtab::ImageReader(text("P5 1 1 256\n\x01\x02"), "wide")
                 .read_rows(std::span<std::uint8_t>());
         },
         "lumtab: wide: maximum value 256 needs two bytes a sample"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no error: " << c.what;
        } catch (const lumtab::Error& error) {
            EXPECT_EQ(error.what(), c.what);
        }
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

// Reading and writing through the library leaves the process's signal handling
// as it found it.
TEST(Library, InstallsNoSignalHandler) {
    auto handlers = [] {
        std::vector<std::string> all;
        for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
            struct sigaction action {};
            sigaction(signal_number, nullptr, &action);
            all.push_back(std::to_string(reinterpret_cast<std::uintptr_t>(action.sa_handler)));
        }
        return all;
    };
    const std::vector<std::string> before = handlers();
    ScratchDir dir;
    const lumtab::Image image = random_image(1000, 1000, 255);
    lumtab::write_image(dir / "a.pgm", image);
    lumtab::convert_image_to_table(dir / "a.pgm", dir / "a.int");
    lumtab::convert_table_to_image(dir / "a.int", dir / "b.pgm");
    EXPECT_EQ(lumtab::read_image(dir / "b.pgm"), image);
    lumtab::write_table(dir / "c.csv", image, lumtab::TableStyle::csv);
    EXPECT_EQ(lumtab::read_table(dir / "c.csv"), image);
    EXPECT_EQ(handlers(), before);
}

}  // namespace
