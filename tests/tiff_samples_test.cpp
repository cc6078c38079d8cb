// End-to-end tests of TIFF images of 32-bit unsigned, signed and floating-point
// samples: read as numpy holds them, written back bit for bit, and what is not
// read refused. The images come from tests/make_tiffs.py.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

const std::string kMakeTiffs = "/usr/bin/python3 " LUMTAB_SOURCE_DIR "/tests/make_tiffs.py ";

// Why these tests cannot run here, or "": they need tiffcp as well.
std::string why_not() {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) return why;
    if (std::system("command -v tiffcp >/dev/null") != 0)
        return "needs tiffcp (Debian package libtiff-tools)";
    return "";
}

// Every type and channels, in strips and tiles, compressed with the predictor for
// the type, in either byte order: the table of all channels is numpy's array bit
// for bit, and Pillow, where it reads the file, reads the same. A floating-point
// table comes back as a TIFF of the same floats.
TEST(TiffSamples, ReadAsNumpyHoldsThemAndFloatsComeBack) {
    if (std::string why = why_not(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_EQ(std::system((kMakeTiffs + dir.path()).c_str()), 0);
    for (const std::string& name : dir.names()) {
        if (!name.ends_with(".tif") || name.find('-') == std::string::npos)
            continue;  // one of those refused
        SCOPED_TRACE(name);
        const std::string table = name.substr(0, name.size() - 4) + ".csv";
        RunResult result =
            run_lumtab({"--csv", "--channel=all", "-o", table, name}, {.directory = dir.path()});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
    }
    for (const std::string image : {"f4-1", "f4-3"}) {
        const std::string channels = image.substr(3);
        RunResult back = run_lumtab(
            {"-r", "--float", "--channels=" + channels, "-o", image + "-back.tif", image + ".csv"},
            {.directory = dir.path()});
        ASSERT_EQ(back.status, 0) << back.err;
        RunResult table =
            run_lumtab({"--csv", "--channel=all", image + "-back.tif"}, {.directory = dir.path()});
        ASSERT_EQ(table.status, 0) << table.err;
    }
    EXPECT_EQ(output_of(kMakeTiffs + "--check " + dir.path()), "");
    EXPECT_TRUE(exists(dir / "f4-3-back.csv"));
}

TEST(TiffSamples, RefusesTypesItDoesNotReadSayingSo) {
    if (std::string why = why_not(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_EQ(std::system((kMakeTiffs + dir.path()).c_str()), 0);
    const struct {
        std::string image, problem;
    } cases[] = {
        {"half.tif", "16-bit floating-point samples are not read"},
        {"complex.tif", "complex samples are not read"},
        {"white.tif", "min-is-white of 32-bit floating-point samples is not read"},
    };
    for (const auto& c : cases) {
        RunResult result = run_lumtab({"-o", "t.int", c.image}, {.directory = dir.path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "lumtab: " + c.image + ": TIFF: " + c.problem + "\n");
        EXPECT_FALSE(exists(dir / "t.int"));
    }
}

}  // namespace
