// End-to-end tests of batches: several conversions at once, lists of names, a
// target directory, resuming with -u, and flat tables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Names = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);
const std::string kImage = pgm_bytes(3, 2, kRaster);
const std::string kTable = "0 128 255 \n7 8 9 \n";

// Every file under `path`, with its bytes; directories end with "/".
Files files_in(const std::string& path, const std::string& prefix = "") {
    Files files;
    for (const std::string& name : names_in(path)) {
        struct stat status {};
        lstat((path + "/" + name).c_str(), &status);
        if (S_ISDIR(status.st_mode)) {
            files[prefix + name + "/"] = "";
            files.merge(files_in(path + "/" + name, prefix + name + "/"));
        } else {
            files[prefix + name] = read_file(path + "/" + name);
        }
    }
    return files;
}

void write_files(const ScratchDir& dir, const Files& files) {
    for (const auto& [name, bytes] : files) {
        if (name.ends_with("/")) {
            mkdir((dir / name).c_str(), 0777);
        } else {
            write_file(dir / name, bytes);
        }
    }
}

std::string joined(const Names& names, char end) {
    std::string text;
    for (const std::string& name : names)
        text += name + end;
    return text;
}

// Names that trip up scripts, converted every way a batch can name them.
TEST(Batch, ConvertsAwkwardNamesEveryWay) {
    const Names images = {"a b.pgm", "new\nline.pgm", "-dash.pgm",
                          "\u00fcn\u00efc\u00f6d\u00e9.pgm", "sub/ c.pgm"};
    auto table_of = [](const std::string& image, const std::string& directory) {
        std::string table = image.substr(0, image.size() - 3) + "int";
        return directory.empty() ? table : directory + table.substr(table.rfind('/') + 1);
    };
    const struct {
        std::string how;
        std::vector<std::string> args;
        std::string list;  // written to the file "list"
        std::string directory = "";
    } cases[] = {
        {"command line", {"-j", "3", "--"}, ""},
        {"-0 list", {"-0", "--files-from=list"}, joined(images, '\0')},
        {"-0 list on standard input, -j 0", {"-j0", "-0", "--files-from", "-"}, ""},
        {"-t", {"-j", "2", "-t", "out", "--"}, "", "out/"},
        {"-t and a list, -u",
         {"-u", "--target-directory=out/", "--null", "--files-from=list"},
         joined(images, '\0'),
         "out/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        ScratchDir dir;
        write_files(dir, {{"sub/", ""}, {"out/", ""}});
        for (const std::string& image : images)
            write_file(dir / image, kImage);
        std::vector<std::string> args = c.args;
        if (args.back() == "--") args.insert(args.end(), images.begin(), images.end());
        if (!c.list.empty()) write_file(dir / "list", c.list);
        RunResult result =
            run_lumtab(args, {.directory = dir.path(), .input = joined(images, '\0')});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        for (const std::string& image : images)
            EXPECT_EQ(read_file(dir / table_of(image, c.directory)), kTable) << image;
    }
}

// Messages, standard output and refusals come in the inputs' order, whatever the
// number of jobs: failures of every kind among many images, a collision within
// the run, and standard input converted in its turn.
TEST(Batch, ReportsAsIfOneAfterAnother) {
    Files before = {{"s1/", ""},
                    {"s2/", ""},
                    {"out/", ""},
                    {"short.pgm", pgm_bytes(3, 2, "\x01")},
                    {"s1/face.pgm", kImage},
                    {"s2/face.pgm", kImage}};
    Names args = {"-t", "out"};
    std::string err;
    for (int i = 0; i < 60; ++i) {
        std::string name = "image" + std::to_string(i) + ".pgm";
        before[name] = kImage;
        args.push_back(name);
        if (i == 10) args.push_back("missing.pgm");
        if (i == 20) args.push_back("-");
        if (i == 30) args.push_back("short.pgm");
        if (i == 40) args.insert(args.end(), {"s1/face.pgm", "s2/face.pgm"});
        if (i == 50) args.push_back("ab");
    }
    err =
        "Unable to open file: missing.pgm\n"
        "lumtab: short.pgm: truncated raster: found 1 of 6 bytes\n"
        "lumtab: s2/face.pgm: its table out/face.int would replace the table of s1/face.pgm\n"
        "lumtab: ab: file name too short to form the table's name (three characters at least)\n";
    for (const char* jobs : {"1", "2", "7", "0"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        ScratchDir dir;
        write_files(dir, before);
        Names with_jobs = args;
        with_jobs.insert(with_jobs.begin(), {"-j", jobs});
        RunResult result = run_lumtab(
            with_jobs,
            {.directory = dir.path(), .input = pgm_bytes(1, 1, "\x05"), .input_from_pipe = true});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.out, "5 \n");
        Files expected = before;
        for (int i = 0; i < 60; ++i)
            expected["out/image" + std::to_string(i) + ".int"] = kTable;
        expected["out/face.int"] = kTable;
        EXPECT_EQ(files_in(dir.path()), expected);
    }
}

// Lists: names a line or ended by NUL, with the command line's names first; an
// entry that is no name fails alone. A list that cannot be read, or a target
// directory that cannot be written, fails the run before any conversion.
TEST(Batch, ReadsListsAndRefusesWhatCannotBeRead) {
    const struct {
        std::vector<std::string> args;
        std::string list;
        int status;
        std::string err;
        Names written;
    } cases[] = {
        {{"--files-from=list", "c.pgm"},
         "a.pgm\n\nmissing.pgm\nb.pgm",
         1,
         "lumtab: list: line 2 is empty\nUnable to open file: missing.pgm\n",
         {"a.int", "b.int", "c.int"}},
        {{"-0", "--files-from=list"},
         std::string("a.pgm\0\0b.pgm\0", 13),
         1,
         "lumtab: list: name 2 is empty\n",
         {"a.int", "b.int"}},
        {{"--files-from=list"},
         std::string("a.pgm\0b.pgm\0\n", 13) + "c.pgm\n",
         1,
         "lumtab: list: line 1 holds a NUL byte (names ended by NUL need -0)\n",
         {"c.int"}},
        {{"--files-from=list"}, "", 0, "", {}},
        {{"--files-from=nolist", "a.pgm"},
         "",
         1,
         "lumtab: nolist: No such file or directory\n",
         {}},
        {{"--files-from=dir", "a.pgm"}, "", 1, "lumtab: dir: Is a directory\n", {}},
        {{"-t", "nodir", "a.pgm"}, "", 1, "lumtab: nodir: No such file or directory\n", {}},
        {{"-t", "a.pgm", "b.pgm"}, "", 1, "lumtab: a.pgm: Not a directory\n", {}},
        // Not writable, even by root: the system error as it comes.
        {{"-t", "/proc/self", "a.pgm"}, "", 1, "lumtab: /proc/self: ", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.list);
        ScratchDir dir;
        write_files(dir, {{"a.pgm", kImage},
                          {"b.pgm", kImage},
                          {"c.pgm", kImage},
                          {"dir/", ""},
                          {"list", c.list}});
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, c.status);
        if (c.err.ends_with(": ")) {
            EXPECT_TRUE(result.err.starts_with(c.err) &&
                        result.err.find('\n') + 1 == result.err.size())
                << result.err;
        } else {
            EXPECT_EQ(result.err, c.err);
        }
        Names tables;
        for (const std::string& name : dir.names())
            if (name.ends_with(".int")) tables.push_back(name);
        EXPECT_EQ(tables, c.written);
    }
}

TEST(Batch, RefusesWrongCombinations) {
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{"-j", "x", "a"}, "-j takes a number from 0 to 1024, not x"},
        {{"--jobs=1025", "a"}, "-j takes a number from 0 to 1024, not 1025"},
        {{"-j"}, "option -j needs an argument"},
        {{"--label=dir", "a"}, "--label goes with --flat"},
        {{"--flat", "--label=path", "a"}, "--label takes dir or name, not path"},
        {{"--flat", "--label=name", "-"}, "--label takes its labels from names, and - has none"},
        {{"--flat", "-r", "a"}, "--flat goes with images, not with -r"},
        {{"--flat", "-t", "d", "a"}, "--flat and -t exclude each other"},
        {{"--flat", "-u", "a"}, "--flat and -u exclude each other"},
        {{"-t", "d", "-o", "x", "a"}, "-t and -o exclude each other"},
        {{"-t", "", "a"}, "-t takes a directory, not an empty name"},
        {{"-0", "a"}, "-0 goes with --files-from"},
        {{"--files-from=-", "-"}, "--files-from=- and the file - both read standard input"},
        {{"-o", "x", "--files-from=l"}, "-o and --files-from go together only with --flat"},
    };
    for (const auto& c : cases) {
        RunResult result = run_lumtab(c.args);
        EXPECT_EQ(result.status, 2) << c.problem;
        EXPECT_EQ(result.err, "lumtab: " + c.problem + "; see lumtab --help\n");
    }
}

// -u skips an input whose output is not older, to the nanosecond; converts one
// whose output is older or missing; and a directory in the output's place fails.
TEST(Batch, UpdatesOnlyWhatIsOutOfDate) {
    const struct {
        std::string name;
        long table_minus_image_ns;  // the table's mtime less the image's
        std::string left;           // what the table holds after the run
    } cases[] = {
        {"newer", 1, "old"}, {"same", 0, "old"}, {"older", -1, kTable}, {"missing", 0, kTable}};
    ScratchDir dir;
    Names args = {"-u", "-j", "2"};
    for (const auto& c : cases) {
        write_file(dir / (c.name + ".pgm"), kImage);
        args.push_back(c.name + ".pgm");
        if (c.name == "missing") continue;
        write_file(dir / (c.name + ".int"), "old");
        timespec image[2] = {{0, UTIME_OMIT}, {1700000000, 500000000}};
        timespec table[2] = {{0, UTIME_OMIT}, {1700000000, 500000000 + c.table_minus_image_ns}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / (c.name + ".pgm")).c_str(), image, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / (c.name + ".int")).c_str(), table, 0), 0);
    }
    write_file(dir / "dir.pgm", kImage);
    mkdir((dir / "dir.int").c_str(), 0777);
    args.push_back("dir.pgm");
    RunResult result = run_lumtab(args, {.directory = dir.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumtab: dir.int: Is a directory\n");
    for (const auto& c : cases)
        EXPECT_EQ(read_file(dir / (c.name + ".int")), c.left) << c.name;
}

// A batch killed halfway leaves whole tables only; run again with -u, it converts
// what is missing and leaves the tables already there as they are.
TEST(Batch, ResumesAKilledBatch) {
    const int count = 400;
    const std::string raster = random_bytes(256 * 256, 11);
    const std::string table = reference_table(raster, 256, 256);
    ScratchDir dir;
    Names args = {"-j", "2"};
    for (int i = 0; i < count; ++i) {
        std::string name = "image" + std::to_string(i) + ".pgm";
        write_file(dir / name, pgm_bytes(256, 256, raster));
        args.push_back(name);
    }
    auto tables = [&] {
        std::map<std::string, ino_t> found;
        for (const std::string& name : dir.names()) {
            struct stat status {};
            if (name.ends_with(".int") && stat((dir / name).c_str(), &status) == 0)
                found[name] = status.st_ino;
        }
        return found;
    };
    auto kill_halfway = [&](pid_t pid) {
        while (tables().size() < count / 3)
            usleep(1000);
        kill(pid, SIGKILL);
    };
    RunResult first = run_lumtab(args, {.directory = dir.path()}, kill_halfway);
    EXPECT_EQ(first.status, 128 + SIGKILL);
    std::map<std::string, ino_t> kept = tables();
    ASSERT_LT(kept.size(), std::size_t(count));
    EXPECT_EQ(dir.names().size(), count + kept.size());  // nothing else left behind

    args.insert(args.begin(), "-u");
    RunResult second = run_lumtab(args, {.directory = dir.path()});
    EXPECT_EQ(second.status, 0) << second.err;
    std::map<std::string, ino_t> after = tables();
    EXPECT_EQ(after.size(), std::size_t(count));
    for (const auto& [name, inode] : kept)
        EXPECT_EQ(after[name], inode) << name << " was converted again";
    for (const auto& [name, inode] : after)
        EXPECT_TRUE(read_file(dir / name) == table) << name;
}

// A flat table: a line per image in every style, labels, images refused by name
// while the others go on, and a table file that appears only with a line in it.
TEST(Batch, WritesFlatTables) {
    const Files images = {{"s1/1.pgm", pgm_bytes(2, 1, "\x01\x02")},
                          {"s1/2.pgm", "P2 2 1 65535 300 4"},
                          {"s 2/3.pgm", pgm_bytes(2, 1, "\x05\x06")},
                          {"big.pgm", pgm_bytes(1, 3, "\x07\x08\x09")},
                          {"bad.pgm", pgm_bytes(2, 1, "\x01")},
                          {"q,\"x/4.pgm", pgm_bytes(2, 1, "\x0a\x0b")},
                          {"c.ppm", std::string("P6 2 1 255\n\x01\x02\x03\x04\x05\x06", 17)}};
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err, file = "";
    } cases[] = {
        {{"--flat", "s1/1.pgm", "s1/2.pgm", "big.pgm", "bad.pgm", "s 2/3.pgm"},
         1,
         "1 2 \n300 4 \n5 6 \n",
         "lumtab: big.pgm: 1 x 3 pixels, not 2 x 1 pixels as s1/1.pgm\n"
         "lumtab: bad.pgm: truncated raster: found 1 of 2 bytes\n"},
        {{"--flat", "--csv", "--label=dir", "-o", "t.csv", "bad.pgm", "s1/1.pgm", "s 2/3.pgm",
          "q,\"x/4.pgm", "s1/2.pgm"},
         1,
         "",
         "lumtab: bad.pgm: truncated raster: found 1 of 2 bytes\n",
         "s1,1,2\ns 2,5,6\n\"q,\"\"x\",10,11\ns1,300,4\n"},
        {{"--flat", "--tsv", "--label=name", "-o", "t.tsv", "s1/2.pgm", "s 2/3.pgm"},
         0,
         "",
         "",
         "2\t300\t4\n3\t5\t6\n"},
        {{"--flat", "--label=dir", "s1/1.pgm", "s 2/3.pgm"},
         1,
         "s1 1 2 \n",
         "lumtab: s 2/3.pgm: label \"s 2\" holds a blank or line break; --csv quotes it\n"},
        {{"--flat", "-o", "t.int", "bad.pgm", "missing.pgm"},
         1,
         "",
         "lumtab: bad.pgm: truncated raster: found 1 of 2 bytes\n"
         "Unable to open file: missing.pgm\n",
         "old"},
        {{"--flat", "--channel=green", "c.ppm", "s1/1.pgm", "c.ppm"},
         1,
         "2 5 \n2 5 \n",
         "lumtab: s1/1.pgm: no green channel (channels: gray)\n"},
        {{"--flat", "-o", "s1/1.pgm", "s1/2.pgm", "s1/1.pgm"},
         1,
         "",
         "lumtab: s1/1.pgm: the table would replace s1/1.pgm, an input of this run\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        ScratchDir dir;
        write_files(dir, {{"s1/", ""}, {"s 2/", ""}, {"q,\"x/", ""}});
        write_files(dir, images);
        write_file(dir / "t.int", "old");
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, c.out);
        if (!c.file.empty()) {
            EXPECT_EQ(read_file(dir / (c.file == "old" ? "t.int" : c.args[4])), c.file);
        }
        EXPECT_EQ(read_file(dir / "s1/1.pgm"), images.at("s1/1.pgm"));
    }
}

// The MNIST layout loads in numpy as it is: a label column and the samples.
TEST(Batch, WritesFlatCsvThatNumpyLoads) {
    if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0)
        GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy)";
    ScratchDir dir;
    Names args = {"--flat", "--csv", "--label=dir", "-o", "train.csv"};
    for (int digit = 0; digit < 3; ++digit) {
        mkdir((dir / std::to_string(digit)).c_str(), 0777);
        std::string image = std::to_string(digit) + "/x.pgm";
        write_file(dir / image, pgm_bytes(28, 28, random_bytes(28 * 28, digit)));
        args.push_back(image);
    }
    ASSERT_EQ(run_lumtab(args, {.directory = dir.path()}).status, 0);
    std::string script = "cd " + dir.path() +
                         " && /usr/bin/python3 -c 'import numpy; a = numpy.loadtxt(\"train.csv\", "
                         "delimiter=\",\", dtype=int); assert a.shape == (3, 785), a.shape; "
                         "assert list(a[:, 0]) == [0, 1, 2]'";
    EXPECT_EQ(std::system(script.c_str()), 0);
}

// On a terminal of its own, a batch shows how many files of how many are done; a
// pipe that feeds the first input slowly makes the batch last over a second.
TEST(Batch, ShowsProgressOfABatch) {
    ScratchDir dir;
    ASSERT_EQ(symlink("/dev/stdin", (dir / "slow.pgm").c_str()), 0);
    write_file(dir / "b.pgm", kImage);
    RunResult result = run_lumtab({"-t", ".", "slow.pgm", "b.pgm"},
                                  {.directory = dir.path(),
                                   .input = pgm_bytes(512, 512, random_bytes(512 * 512, 6)),
                                   .input_from_pipe = true,
                                   .feed_milliseconds = 1600,
                                   .error_to_terminal = true,
                                   .output_to_terminal = true,
                                   .terminal_columns = 30});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("\rlumtab: 0 of 2 files, 0%\033[K"), std::string::npos) << result.err;
    EXPECT_TRUE(result.err.ends_with("\r\033[K")) << result.err;
}

}  // namespace
