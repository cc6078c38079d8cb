// End-to-end tests of floating-point images and tables: the shortest decimals
// written, read back into every bit, numpy's tables read exactly, and what is
// refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Names = std::vector<std::string>;

// Python that defines pfm(name, array), a PFM writer of a few lines (rows from
// the bottom, little-endian), and floats(n), random floats over many decades with
// NaN, the infinities, -0, the smallest subnormal and 0.1 among them.
const std::string kPython =
    "/usr/bin/python3 -c 'import sys, numpy\n"
    "def pfm(name, a):\n"
    "    with open(name, \"wb\") as f:\n"
    "        f.write(b\"PF\\n\" if a.ndim == 3 else b\"Pf\\n\")\n"
    "        f.write(b\"%d %d\\n-1.0\\n\" % (a.shape[1], a.shape[0]))\n"
    "        f.write(a[::-1].astype(\"<f4\").tobytes())\n"
    "def unpfm(name):\n"
    "    data = open(name, \"rb\").read().split(b\"\\n\", 3)\n"
    "    w, h = map(int, data[1].split()); c = 3 if data[0] == b\"PF\" else 1\n"
    "    order = \"<f4\" if float(data[2]) < 0 else \">f4\"\n"
    "    return numpy.frombuffer(data[3], order).reshape(h, w, c)[::-1].squeeze()\n"
    "def floats(*shape):\n"
    "    r = numpy.random.default_rng(11)\n"
    "    a = (r.standard_normal(shape) * 10.0 ** r.integers(-40, 39, "
    "shape)).astype(numpy.float32)\n"
    "    a.flat[:7] = [numpy.nan, numpy.inf, -numpy.inf, -0.0, 1e-45, 0.1, 3.4028235e38]\n"
    "    return a\n"
    "def same(a, b):\n"
    "    a, b = numpy.asarray(a, numpy.float32), numpy.asarray(b, numpy.float32)\n"
    "    print(a.shape == b.shape and bool(((a.view(\"u4\") == b.view(\"u4\")) | (numpy.isnan(a) & "
    "numpy.isnan(b))).all()))\n";

// Runs `code` after kPython in `dir`; its output.
std::string python(const ScratchDir& dir, const std::string& code) {
    return output_of("cd " + dir.path() + " && " + kPython + code + "'");
}

// Floating-point images to their tables and back keep every bit, NaN aside,
// in every style; numpy reads the tables as the same floats.
TEST(Floats, ComeBackFromTheirTablesBitForBit) {
    if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0)
        GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy)";
    ScratchDir dir;
    python(dir, "pfm(\"grey.pfm\", floats(37, 53)); pfm(\"colour.pfm\", floats(9, 11, 3))");
    const struct {
        std::string image, option;
        int channels;
    } cases[] = {{"grey.pfm", "", 1}, {"grey.pfm", "--csv", 1}, {"colour.pfm", "--tsv", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image + " " + c.option);
        std::vector<std::string> args = {"--channel=all", "-o", "t.txt", c.image};
        if (!c.option.empty()) args.insert(args.begin(), c.option);
        ASSERT_EQ(run_lumtab(args, {.directory = dir.path()}).status, 0);
        const std::string delimiter = c.option == "--csv" ? "\",\"" : "None";
        EXPECT_EQ(python(dir, "a = unpfm(\"" + c.image +
                                  "\"); same(a.reshape(a.shape[0], -1), numpy.loadtxt(\"t.txt\", "
                                  "dtype=numpy.float32, delimiter=" +
                                  delimiter + ", ndmin=2))"),
                  "True\n");
        RunResult back = run_lumtab({"-r", "--float", "--channels=" + std::to_string(c.channels),
                                     "-o", "back.pfm", "t.txt"},
                                    {.directory = dir.path()});
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(python(dir, "same(unpfm(\"" + c.image + "\"), unpfm(\"back.pfm\"))"), "True\n");
    }
}

// What numpy.savetxt writes, in its default format and in '%.9g', comes back as
// the floats it wrote; the default name ends in pfm.
TEST(Floats, ReadNumpyTablesExactly) {
    if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0)
        GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy)";
    ScratchDir dir;
    python(dir,
           "a = floats(29, 31); numpy.save(\"a.npy\", a); numpy.savetxt(\"g.txt\", a, "
           "fmt=\"%.9g\"); numpy.savetxt(\"e.txt\", a, delimiter=\",\")");
    for (const std::string table : {"g.txt", "e.txt"}) {
        SCOPED_TRACE(table);
        RunResult result = run_lumtab({"-r", "--float", table}, {.directory = dir.path()});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(
            python(dir, "same(numpy.load(\"a.npy\"), unpfm(\"" + table.substr(0, 2) + "pfm\"))"),
            "True\n");
    }
}

// A colour image's luminance is 0.299 R + 0.587 G + 0.114 B in double, rounded
// to a float.
TEST(Floats, TakeTheLuminanceOfColourInDouble) {
    if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0)
        GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy)";
    ScratchDir dir;
    python(dir, "a = numpy.abs(floats(5, 7, 3)); a.flat[:7] = 1; pfm(\"c.pfm\", a)");
    ASSERT_EQ(run_lumtab({"c.pfm"}, {.directory = dir.path()}).status, 0);
    EXPECT_EQ(python(dir,
                     "a = unpfm(\"c.pfm\").astype(float); same((0.299 * a[..., 0] + 0.587 * "
                     "a[..., 1] + 0.114 * a[..., 2]).astype(numpy.float32), "
                     "numpy.loadtxt(\"c.int\", dtype=numpy.float32))"),
              "True\n");
}

TEST(Floats, RefuseWhatIsNoFloat) {
    const struct {
        std::vector<std::string> args;
        std::string table;
        int status;
        std::string err;
    } cases[] = {
        {{"-r", "--float", "--format=png", "t.txt"},
         "1\n",
         2,
         "lumtab: --float writes PFM or TIFF images: a PNG image holds no floating point; see "
         "lumtab --help\n"},
        {{"-r", "--float", "-o", "t.png", "t.txt"},
         "1\n",
         2,
         "lumtab: --float writes PFM or TIFF images: a PNG image holds no floating point; see "
         "lumtab --help\n"},
        {{"-r", "--float", "--maxval=9", "t.txt"},
         "1\n",
         2,
         "lumtab: --maxval and --float exclude each other; see lumtab --help\n"},
        {{"--float", "t.txt"}, "1\n", 2, "lumtab: --float goes with -r; see lumtab --help\n"},
        {{"-r", "--float", "t.txt"},
         "1 1e50\n",
         1,
         "lumtab: t.txt: line 1, column 2: 1e50 is beyond the 32-bit floating-point range\n"},
        {{"-r", "--float", "t.txt"},
         "-0x1p3\n",
         1,
         "lumtab: t.txt: line 1, column 1: value is hexadecimal: lumtab reads decimals\n"},
        {{"-r", "--float", "t.txt"},
         "1 2\n3 one\n",
         1,
         "lumtab: t.txt: line 2, column 2: value is not a decimal number\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        ScratchDir dir;
        write_file(dir / "t.txt", c.table);
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(dir.names(), (Names{"t.txt"}));
    }
    // Below the smallest float is zero; a sign before any value. A small PFM to a
    // pipe is put together in memory, with no scratch file.
    RunResult small = run_lumtab(
        {"-r", "--float", "-o", "-", "-"},
        {.input = "1e-60 +2 -0 2e-9999999999999999999 0." + std::string(5000, '0') + "1e+4900\n",
         .environment = {"TMPDIR=/nonexistent"}});
    ASSERT_EQ(small.status, 0) << small.err;
    EXPECT_EQ(run_lumtab({"-o", "-", "-"}, {.input = small.out}).out, "0 2 -0 0 0 \n");
}

}  // namespace
