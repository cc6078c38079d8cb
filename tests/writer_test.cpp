// End-to-end tests of tables read back into PNG and TIFF images: what other
// programs read of them, how they are named and chosen, and what is refused.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Names = std::vector<std::string>;

// A table of `width` × `height` pixels of `channels` random values up to `most`.
std::string random_table(int width, int height, int channels, unsigned most, unsigned seed) {
    std::mt19937 random(seed);
    std::string table;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width * channels; ++x)
            table += std::to_string(random() % (most + 1)) + " ";
        table += "\n";
    }
    return table;
}

// The samples of the image `path` as netpbm reads them: its colour or grey
// channels, then its alpha, each pixel's in turn.
std::vector<unsigned> netpbm_reading(const std::string& path, bool png, int channels) {
    const std::string colour = png ? "pngtopnm " : "tifftopnm -byrow ";
    const std::string alpha = png ? "pngtopnm -alpha " : "tifftopnm -byrow -alphaout=- ";
    std::vector<unsigned> values = numbers_in(output_of(colour + path + " 2>/dev/null | pamtable"));
    if (channels % 2 == 1) return values;
    const std::vector<unsigned> alphas =
        numbers_in(output_of(alpha + path + " 2>/dev/null | pamtable"));
    const int colours = channels - 1;
    std::vector<unsigned> all;
    for (std::size_t pixel = 0; pixel < alphas.size(); ++pixel) {
        for (int c = 0; c < colours && pixel * colours + c < values.size(); ++c)
            all.push_back(values[pixel * colours + c]);
        all.push_back(alphas[pixel]);
    }
    return all;
}

// The samples of the image `path` of `depth` bits as ImageMagick reads them: from
// its text form, a line a pixel, which gives grey as red, green and blue.
std::vector<unsigned> imagemagick_reading(const std::string& path, int depth, int channels) {
    const std::string text =
        output_of("/usr/bin/convert " + path + " -depth " + std::to_string(depth) + " txt:-");
    const std::vector<std::vector<std::size_t>> taken = {{0}, {0, 3}, {0, 1, 2}, {0, 1, 2, 3}};
    std::vector<unsigned> samples;
    for (std::size_t at = 0; (at = text.find(": (", at)) != std::string::npos;) {
        const std::size_t end = text.find(')', at);
        const std::vector<unsigned> pixel = numbers_in(text.substr(at + 3, end - at - 3));
        for (std::size_t i : taken[std::size_t(channels - 1)])
            samples.push_back(i < pixel.size() ? pixel[i] : ~0u);
        at = end;
    }
    return samples;
}

// Every kind lumtab writes, read back number for number by netpbm (but a TIFF of
// grey and alpha, which tifftopnm does not read), ImageMagick, Pillow (where its
// modes hold the values: 8 bits, or 16-bit grey) and lumtab.
TEST(Writer, WritesPngAndTiffThatOthersReadBack) {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    for (int channels = 1; channels <= 4; ++channels) {
        for (unsigned most : {255u, 65535u}) {
            for (const std::string type : {"png", "tif"}) {
                SCOPED_TRACE(type + " of " + std::to_string(channels) + " channels up to " +
                             std::to_string(most));
                const std::string table = random_table(7, 5, channels, most, channels * most);
                write_file(dir / "t.int", table);
                RunResult result = run_lumtab(
                    {"-r", "--channels=" + std::to_string(channels), "-o", "out." + type, "t.int"},
                    {.directory = dir.path()});
                ASSERT_EQ(result.status, 0) << result.err;
                EXPECT_EQ(result.err, "");
                const std::vector<unsigned> expected = numbers_in(table);
                const std::string image = dir / ("out." + type);
                if (type == "png" || channels != 2) {
                    EXPECT_EQ(netpbm_reading(image, type == "png", channels), expected);
                }
                EXPECT_EQ(imagemagick_reading(image, most > 255 ? 16 : 8, channels), expected);
                if (most == 255 || channels == 1) {
                    EXPECT_EQ(numbers_in(output_of(
                                  "/usr/bin/python3 -c 'import sys, numpy, PIL.Image as I; "
                                  "print(numpy.asarray(I.open(sys.argv[1])).ravel().tolist())' " +
                                  image)),
                              expected);
                }
                // And back into the same table.
                RunResult back = run_lumtab({"--channel=all", "-o", "-", "out." + type},
                                            {.directory = dir.path()});
                EXPECT_EQ(back.out, table);
            }
        }
    }
}

// libpng refuses by default a PNG wider or higher than 1,000,000 pixels; lumtab
// reads back what it writes.
TEST(Writer, ReadsBackPngsBeyondAMillionPixels) {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    std::string wide, high;
    for (int i = 0; i < 1'000'001; ++i) {
        wide += std::to_string(i % 10) + " ";
        high += std::to_string(i % 10) + " \n";
    }
    for (const std::string& table : {wide + "\n", high}) {
        write_file(dir / "t.int", table);
        RunResult written = run_lumtab({"-r", "-o", "t.png", "t.int"}, {.directory = dir.path()});
        ASSERT_EQ(written.status, 0) << written.err;
        RunResult back = run_lumtab({"-o", "-", "t.png"}, {.directory = dir.path()});
        EXPECT_EQ(back.err, "");
        EXPECT_TRUE(back.out == table);
    }
}

// A PNG no larger than 1.05 times what pnmtopng makes of the same image, whatever
// its first rows (here the mixed image's first 1.2 MB are noise, and patterns
// come after): the compression is chosen on rows from all over it.
TEST(Writer, WritesPngsAsSmallAsPnmtopngDoes) {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_EQ(std::system(("cd " + dir.path() +
                           " && /usr/bin/python3 -c 'import numpy, PIL.Image\n"
                           "r = numpy.random.default_rng(1)\n"
                           "noise = r.integers(0, 256, (1536, 2048)).astype(numpy.uint8)\n"
                           "pattern = numpy.tile(r.integers(0, 256, 64).astype(numpy.uint8), 32)\n"
                           "mixed = noise.copy()\n"
                           "for y in range(600, 1536): mixed[y] = numpy.roll(pattern, y)\n"
                           "x = numpy.arange(1024) / 1024\n"
                           "smooth = (127 + 100 * numpy.sin(20 * x[:, None] * x) + "
                           "r.normal(0, 3, (1024, 1024))).clip(0, 255).astype(numpy.uint8)\n"
                           "for name, a in ((\"mixed\", mixed), (\"smooth\", smooth)):\n"
                           "    PIL.Image.fromarray(a).save(name + \".pgm\")\n"
                           "    numpy.savetxt(name + \".int\", a, fmt=\"%d\")'")
                              .c_str()),
              0);
    for (const std::string name : {"mixed", "smooth"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(
            run_lumtab({"-r", "--format=png", name + ".int"}, {.directory = dir.path()}).status, 0);
        ASSERT_EQ(
            std::system(("pnmtopng " + dir / name + ".pgm >" + dir / name + ".netpbm.png").c_str()),
            0);
        const double ours = static_cast<double>(read_file(dir / (name + ".png")).size());
        const double theirs = static_cast<double>(read_file(dir / (name + ".netpbm.png")).size());
        EXPECT_LE(ours, 1.05 * theirs);
    }
}

// The format by --format, else by the name -o gives, else Netpbm; the default name
// by the format.
TEST(Writer, ChoosesTheFormatByOptionOrName) {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    const std::string png = "\x89PNG", tiff = "II*";
    const struct {
        std::vector<std::string> args;
        std::string output, magic;
    } cases[] = {
        {{"-r", "t.int"}, "t.pgm", "P5"},
        {{"-r", "--format=png", "t.int"}, "t.png", png},
        {{"-r", "--format", "tiff", "t.int"}, "t.tif", tiff},
        {{"-r", "--format=pnm", "--channels=3", "c.int"}, "c.ppm", "P6"},
        {{"-r", "--format=png", "--channels=4", "c.int"}, "c.png", png},
        {{"-r", "-o", "x.PNG", "t.int"}, "x.PNG", png},
        {{"-r", "-o", "x.tiff", "t.int"}, "x.tiff", tiff},
        {{"-r", "-o", "x.Tif", "t.int"}, "x.Tif", tiff},
        {{"-r", "-o", "x.dat", "t.int"}, "x.dat", "P5"},
        {{"-r", "--format=pnm", "-o", "x.png", "t.int"}, "x.png", "P5"},
        {{"-r", "--format=png", "-o", "x.tif", "t.int"}, "x.tif", png},
        {{"-r", "--format=tiff", "-t", "out", "t.int"}, "out/t.tif", tiff},
        {{"t.int", "-r", "-j", "2", "--format=png", "u.int"}, "u.png", png},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        ScratchDir dir;
        mkdir((dir / "out").c_str(), 0777);
        write_file(dir / "t.int", "1 2 3\n4 5 6\n");
        write_file(dir / "u.int", "1 2 3\n4 5 6\n");
        write_file(dir / "c.int", "1 2 3 4 5 6 7 8 9 10 11 12\n");
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(read_file(dir / c.output).starts_with(c.magic));
    }
    // To standard output, and kept with -u where it is up to date.
    ScratchDir dir;
    write_file(dir / "t.int", "1 2 3\n4 5 6\n");
    RunResult piped = run_lumtab({"-r", "--format=tiff", "-"}, {.input = "1 2 3\n4 5 6\n"});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.out.starts_with(tiff));
    ASSERT_EQ(run_lumtab({"-r", "--format=png", "t.int"}, {.directory = dir.path()}).status, 0);
    write_file(dir / "t.png", "kept");
    EXPECT_EQ(run_lumtab({"-u", "-r", "--format=png", "t.int"}, {.directory = dir.path()}).status,
              0);
    EXPECT_EQ(read_file(dir / "t.png"), "kept");
}

// What PNG and TIFF cannot hold, a format lumtab does not write, a disk that fills
// up: one line, nothing written, the old image kept. A build without the image
// libraries refuses every PNG and TIFF, saying so.
TEST(Writer, RefusesWhatItCannotWriteAndKeepsTheOldImage) {
    const bool built_without =
        run_lumtab({"-r", "--format=png", "-o", "/dev/null", "-"}, {.input = "1\n"})
            .err.find("not written by this build") != std::string::npos;
    const struct {
        std::vector<std::string> args;
        std::string table;
        int status;
        std::string err;
        std::string format;  // what the case writes, where a build may lack it
    } cases[] = {
        {{"-r", "--format=jpeg", "t.int"},
         "1 2\n",
         2,
         "lumtab: --format takes pnm, png or tiff, not jpeg; see lumtab --help\n",
         ""},
        {{"--format=png", "t.int"},
         "1 2\n",
         2,
         "lumtab: --format goes with -r; see lumtab --help\n",
         ""},
        {{"-r", "-o", "t.png", "t.int"},
         "\n\n\n",
         1,
         "lumtab: t.png: a PNG image is at least 1 pixel wide and high, not 0 x 3\n",
         "PNG"},
        {{"-r", "-o", "t.png", "t.int"},
         "1 65536\n",
         1,
         "lumtab: t.int: line 1, column 2: value is beyond 65535\n",
         "PNG"},
        {{"-r", "--format=tiff", "-o", "t.png", "t.int"},
         "1 2 3\n4\n",
         1,
         "lumtab: t.int: line 2 has 1 value, line 1 has 3\n",
         "TIFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        ScratchDir dir;
        write_file(dir / "t.int", c.table);
        write_file(dir / "t.png", "old");
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, c.status);
        if (built_without && !c.format.empty())
            EXPECT_EQ(result.err, "lumtab: t.png: " + c.format +
                                      " images are not written by this build of lumtab\n");
        else
            EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(read_file(dir / "t.png"), "old");
        EXPECT_EQ(dir.names(), (Names{"t.int", "t.png"}));
    }
}

TEST(Writer, ReportsAFullDiskAndKeepsTheOldImage) {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    const std::string disk = dir / "disk";
    mkdir(disk.c_str(), 0777);
    if (mount("lumtab-test", disk.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs takes root: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    // Random samples, which compress to no less than their 1.5 MB, on a disk of 1 MB.
    write_file(dir / "big.int", random_table(1000, 500, 3, 255, 7));
    for (const std::string name : {"big.png", "big.tif"}) {
        SCOPED_TRACE(name);
        write_file(disk + "/" + name, "old");
        RunResult result = run_lumtab({"-r", "--channels=3", "-o", disk + "/" + name, "big.int"},
                                      {.directory = dir.path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "lumtab: " + disk + "/" + name + ": No space left on device\n");
        EXPECT_TRUE(read_file(disk + "/" + name) == "old");
    }
    EXPECT_EQ(names_in(disk), (Names{"big.png", "big.tif"}));
}

}  // namespace
