// End-to-end tests of coordinate tables: a line a pixel, written with --xyz and
// read back with -r --xyz, and what pandas makes of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

// A 2 x 2 RGB image whose samples are 1 to 12.
const std::string kColour = "P3 2 2 255\n1 2 3 4 5 6 7 8 9 10 11 12\n";

TEST(Coordinates, WritesALineAPixel) {
    const struct {
        std::vector<std::string> options;
        std::string table;
    } cases[] = {
        {{"--xyz"}, "0 0 2\n1 0 5\n0 1 8\n1 1 11\n"},
        {{"--xyz", "--header", "--csv", "--channel=all"},
         "x,y,red,green,blue\n0,0,1,2,3\n1,0,4,5,6\n0,1,7,8,9\n1,1,10,11,12\n"},
        {{"--xyz", "--header", "--tsv", "--channel=blue"},
         "x\ty\tvalue\n0\t0\t3\n1\t0\t6\n0\t1\t9\n1\t1\t12\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<std::string> args = c.options;
        args.push_back("-");
        RunResult result = run_lumtab(args, {.input = kColour});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.table);
    }
    // An image of nameless channels is headed by their numbers.
    RunResult pam = run_lumtab(
        {"--xyz", "--header", "--channel=all", "-"},
        {.input = std::string("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 9\nTUPLTYPE FOO\nENDHDR\n") +
                  "\x03\x04"});
    EXPECT_EQ(pam.out, "x y 0 1\n0 0 3 4\n");
}

TEST(Coordinates, LoadInPandasWithTheirHeader) {
    if (std::system("/usr/bin/python3 -c 'import pandas' 2>/dev/null") != 0)
        GTEST_SKIP() << "pandas is not installed (Debian package python3-pandas)";
    ScratchDir dir;
    write_file(dir / "c.ppm", kColour);
    ASSERT_EQ(run_lumtab({"--xyz", "--header", "--csv", "--channel=all", "c.ppm"},
                         {.directory = dir.path()})
                  .status,
              0);
    EXPECT_EQ(
        output_of("cd " + dir.path() +
                  " && /usr/bin/python3 -c 'import pandas; f = pandas.read_csv(\"c.csv\"); "
                  "print(list(f.columns), f.loc[(f.x == 1) & (f.y == 1), \"green\"].item())'"),
        "['x', 'y', 'red', 'green', 'blue'] 11\n");
}

// Back: pixels in any order, a header or none; each pixel exactly once.
TEST(Coordinates, ReadsPixelsInAnyOrderEachOnce) {
    const struct {
        std::vector<std::string> options;
        std::string table;
        int status;
        std::string out_or_err;
    } cases[] = {
        {{}, "x y value\n1 0 5\n0 0 4\n1 1 7\n0 1 6\n", 0, "4 5 \n6 7 \n"},
        {{"--channels=3"}, "1,0, 4,5,6\n0,0,1,2,3\n\n", 0, "1 2 3 4 5 6 \n"},
        {{"--maxval=9"}, "0 0 9\n", 0, "9 \n"},
        {{},
         "1 0 5\n0 0 4\n1 1 7\n1 0 6\n",
         1,
         "lumtab: standard input: line 4: pixel at column 1, row 0 again, first on line 1\n"},
        {{},
         "1 0 5\n0 0 4\n1 1 7\n",
         1,
         "lumtab: standard input: no pixel at column 0, row 1 (the image is 2 x 2)\n"},
        {{},
         "0 0 4\n-1 0 5\n",
         1,
         "lumtab: standard input: line 2: the column is not a whole number from 0: -1\n"},
        // A first line that starts as a number does is a pixel, not a header.
        {{},
         "+0 0 5\n",
         1,
         "lumtab: standard input: line 1: the column is not a whole number from 0: +0\n"},
        {{},
         "0 0 4 5\n",
         1,
         "lumtab: standard input: line 1: 4 fields, not 3: a column, a row and 1 value\n"},
        {{},
         "0 0 1.5\n",
         1,
         "lumtab: standard input: line 1, column 3: value is not a whole number (-r --float "
         "reads fractions)\n"},
        {{},
         "0 0 4\n\n1 0 5\n",
         1,
         "lumtab: standard input: line 2: an empty line between pixels\n"},
        {{}, "", 1, "lumtab: standard input: empty table\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<std::string> args = {"-r", "--xyz"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("-");
        RunResult result = run_lumtab(args, {.input = c.table});
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.status != 0) {
            EXPECT_EQ(result.err, c.out_or_err);
            EXPECT_EQ(result.out, "");
            continue;
        }
        RunResult table = run_lumtab({"--channel=all", "-"}, {.input = result.out});
        EXPECT_EQ(table.out, c.out_or_err);
    }
}

}  // namespace
