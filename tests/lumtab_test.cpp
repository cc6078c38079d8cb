// End-to-end tests: run the built lumtab and look at its status, its messages and
// the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Names = std::vector<std::string>;

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);
const std::string kTable = "0 128 255 \n7 8 9 \n";

TEST(Lumtab, ConvertsEveryImageAndReportsEachFailure) {
    ScratchDir dir;
    write_file(dir / "a.pgm", "P5\n# made by hand\n3 2\n255\n" + kRaster);
    write_file(dir / "short.pgm", pgm_bytes(3, 2, "\x01\x02"));
    write_file(dir / "b.pgm", "P2 3 2 255\n0 128 255\n7 8 9");
    RunResult result =
        run_lumtab({"a.pgm", "missing.pgm", "short.pgm", "b.pgm"}, {.directory = dir.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Unable to open file: missing.pgm\n"
              "lumtab: short.pgm: truncated raster: found 2 of 6 bytes\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file(dir / "a.int"), kTable);
    EXPECT_EQ(read_file(dir / "b.int"), kTable);
    EXPECT_EQ(dir.names(), (Names{"a.int", "a.pgm", "b.int", "b.pgm", "short.pgm"}));
}

TEST(Lumtab, NamesTheTableByReplacingTheLastThreeCharacters) {
    const struct {
        std::vector<std::string> options;
        std::string image, table;
        std::string locale = "C.UTF-8";
    } cases[] = {
        {{}, "scans/face.pgm", "scans/face.int"},
        {{}, "face.PGM", "face.int"},
        {{}, "photo", "phint"},
        {{}, "abc", "int"},
        {{}, "./-dash.pgm", "./-dash.int"},
        {{"--", "-dash.pgm"}, "-dash.pgm", "-dash.int"},
        {{"--csv"}, "face.pgm", "face.csv"},
        {{"--tsv"}, "face.pgm", "face.tsv"},
        {{}, "na\u00efve", "naint"},
        {{}, "na\u00efve", "naint", "C"},
        {{}, "\u00e9t\u00e9", "int"},
        {{}, "latin\xe9t\xe9", "latinint"},  // not UTF-8: bytes
        {{"-o", "out.txt"}, "face.pgm", "out.txt"},
        {{"--output=out.txt"}, "face.pgm", "out.txt"},
        {{"--output", "out.txt"}, "face.pgm", "out.txt"},
        // Options after the files, as GNU tools take them.
        {{"face.pgm", "-o", "out.txt"}, "face.pgm", "out.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image + " " + c.locale);
        ScratchDir dir;
        mkdir((dir / "scans").c_str(), 0777);
        write_file(dir / c.image, pgm_bytes(3, 2, kRaster));
        std::vector<std::string> args = c.options;
        if (std::find(args.begin(), args.end(), c.image) == args.end()) args.push_back(c.image);
        RunResult result =
            run_lumtab(args, {.directory = dir.path(), .environment = {"LC_ALL=" + c.locale}});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(exists(dir / c.table));
    }
}

// The table's bytes in each style, from images of every kind.
TEST(Lumtab, WritesEachStyleOfTable) {
    const std::string deep = std::string("P5 3 2 1023\n") +
                             std::string("\x00\x00\x00\x80\x03\xff", 6) +
                             std::string("\x00\x07\x01\x00\x00\x09", 6);
    const struct {
        std::string option, image, table;
    } cases[] = {
        {"", pgm_bytes(3, 2, kRaster), kTable},
        {"--csv", pgm_bytes(3, 2, kRaster), "0,128,255\n7,8,9\n"},
        {"--tsv", pgm_bytes(3, 2, kRaster), "0\t128\t255\n7\t8\t9\n"},
        {"", deep, "0 128 1023 \n7 256 9 \n"},
        {"--csv", "P2 3 2 65535 00 65535 1\n2\t3\r\n4", "0,65535,1\n2,3,4\n"},
        {"", "P5\n0 3\n255\n", "\n\n\n"},
        {"--csv", "P5\n0 2\n255\n", "\n\n"},
        {"", "P5\n4 0\n255\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option + " " + c.image.substr(0, 12));
        std::vector<std::string> args{"-"};
        if (!c.option.empty()) args.insert(args.begin(), c.option);
        RunResult result = run_lumtab(args, {.input = c.image});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.table);
    }
}

TEST(Lumtab, ReadsStandardInputFromAFileOrAPipe) {
    for (bool pipe : {false, true}) {
        ScratchDir dir;
        RunOptions options{
            .directory = dir.path(), .input = "P5 3 2 255\n" + kRaster, .input_from_pipe = pipe};
        RunResult result = run_lumtab({"-"}, options);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, kTable);
        result = run_lumtab({"-o", "t.int", "-"}, options);
        EXPECT_EQ(result.status + result.out.size(), 0u);
        EXPECT_EQ(read_file(dir / "t.int"), kTable);
        EXPECT_EQ(dir.names(), Names{"t.int"});

        // Each image takes its own bytes, where standard input can be wound back.
        options.input = "P5 3 2 255\n" + kRaster + "P2 1 1 9 4\n";
        result = run_lumtab({"-", "-"}, options);
        if (!pipe) {
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.out, kTable + "4 \n");
        }

        options.input = "P5 3 2 255\n\x01\x02";
        result = run_lumtab({"-"}, options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "lumtab: standard input: truncated raster: found 2 of 6 bytes\n");
    }
}

TEST(Lumtab, AnswersUsageHelpAndVersion) {
    // Without files, the synopsis --help begins with: its lines up to the text.
    const std::string help = run_lumtab({"--help"}).out;
    const std::string usage = help.substr(0, help.find("\nWrites") + 1);
    ASSERT_TRUE(usage.starts_with("usage: lumtab ")) << help;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{}, 2, usage},
        {{"--"}, 2, usage},
        {{"-x"}, 2, "lumtab: unknown option -x; see lumtab --help\n"},
        {{"--nope"}, 2, "lumtab: unknown option --nope; see lumtab --help\n"},
        {{"-o"}, 2, "lumtab: option -o needs an argument; see lumtab --help\n"},
        {{"a.pgm", "-o"}, 2, "lumtab: option -o needs an argument; see lumtab --help\n"},
        {{"--maxval"}, 2, "lumtab: option --maxval needs an argument; see lumtab --help\n"},
        {{"--output"}, 2, "lumtab: option --output needs an argument; see lumtab --help\n"},
        {{"--quiet=1", "t"}, 2, "lumtab: option --quiet takes no argument; see lumtab --help\n"},
        {{"-r", "--maxval=70000", "t"},
         2,
         "lumtab: --maxval takes a number from 1 to 65535, not 70000; see lumtab --help\n"},
        {{"--maxval=7", "t"}, 2, "lumtab: --maxval goes with -r; see lumtab --help\n"},
        {{"-r", "--csv", "t"},
         2,
         "lumtab: --csv and --tsv go with images, not with -r; see lumtab --help\n"},
        {{"-o", "t", "a.pgm", "b.pgm"}, 2, "lumtab: -o takes one file, not 2; see lumtab --help\n"},
        {{"--csv", "--tsv", "a.pgm"},
         2,
         "lumtab: --csv and --tsv exclude each other; see lumtab --help\n"},
        {{"--csv", "--csv", "a.pgm"}, 1, "Unable to open file: a.pgm\n"},
        {{"--channel=purple", "a.pgm"},
         2,
         "lumtab: --channel takes gray, red, green, blue, alpha, luma, all or a channel's number, "
         "not purple; see lumtab --help\n"},
        {{"-r", "--channel=red", "t"},
         2,
         "lumtab: --channel goes with images, not with -r; see lumtab --help\n"},
        {{"--channels=3", "a.pgm"}, 2, "lumtab: --channels goes with -r; see lumtab --help\n"},
        {{"-r", "--channels=5", "t"},
         2,
         "lumtab: --channels takes a number from 1 to 4, not 5; see lumtab --help\n"},
        {{"--version"}, 0, ""},
        {{"-h"}, 0, ""},
        {{"--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        RunResult result = run_lumtab(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        if (c.status == 0) {
            EXPECT_NE(result.out, "");
        }
    }
    EXPECT_EQ(run_lumtab({"--version"}).out, "lumtab " LUMTAB_VERSION "\n");
}

// Output that cannot be delivered is a failure, said in one line.
TEST(Lumtab, ReportsAFullStandardOutput) {
    for (const char* option : {"--help", "--version", "-"}) {
        SCOPED_TRACE(option);
        ScratchDir dir;
        std::string command =
            lumtab_command() + " " + option + " >/dev/full 2>" + dir / "err" + " <" + dir / "in";
        write_file(dir / "in", pgm_bytes(3, 2, kRaster));
        int status = std::system(command.c_str());
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(read_file(dir / "err"), "lumtab: standard output: No space left on device\n");
    }
}

// Every failure: status 1, one line naming the file, the image and any previous
// table untouched, and no temporary file left behind.
TEST(Lumtab, FailsCleanly) {
    const struct {
        std::string image;
        std::string bytes;  // the image's content; no image if empty
        std::string table;  // a previous table; none if empty
        std::string message;
        std::string directory = "";  // a directory made first
    } cases[] = {
        {"missing.pgm", "", "missing.int", "Unable to open file: missing.pgm\n"},
        {"short.pgm", pgm_bytes(3, 2, "\x01\x02"), "short.int",
         "lumtab: short.pgm: truncated raster: found 2 of 6 bytes\n"},
        {"plain.pgm", "P2\n3 2\n255\n0 1 2 3 -4 5\n", "plain.int",
         "lumtab: plain.pgm: sample at row 2, column 2 is not a decimal number\n"},
        {"other.pgm", "P9\n3 2\n255\n" + kRaster, "other.int",
         "lumtab: other.pgm: not a Netpbm image: magic number P9\n"},
        {"notes.txt", "a text\n", "notes.int",
         "lumtab: notes.txt: not an image lumtab reads (Netpbm, PNG, TIFF or JPEG)\n"},
        {"ab", pgm_bytes(3, 2, kRaster), "",
         "lumtab: ab: file name too short to form the table's name (three characters at least)\n"},
        {"data.int", pgm_bytes(3, 2, kRaster), "",
         "lumtab: data.int: its table data.int would replace the image itself\n"},
        {"photos.pgm", "", "", "lumtab: photos.pgm: Is a directory\n", "photos.pgm"},
        {"face.pgm", pgm_bytes(3, 2, kRaster), "", "lumtab: face.int: Is a directory\n",
         "face.int"},
        {"line\nfeed\033[2J.pgm", "", "", "Unable to open file: line\\nfeed\\033[2J.pgm\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        ScratchDir dir;
        if (!c.directory.empty()) mkdir((dir / c.directory).c_str(), 0777);
        if (!c.bytes.empty()) write_file(dir / c.image, c.bytes);
        if (!c.table.empty()) write_file(dir / c.table, "old");
        Names before = dir.names();

        RunResult result = run_lumtab({c.image}, {.directory = dir.path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(dir.names(), before);
        if (!c.bytes.empty()) {
            EXPECT_EQ(read_file(dir / c.image), c.bytes);
        }
        if (!c.table.empty()) {
            EXPECT_EQ(read_file(dir / c.table), "old");
        }
    }
}

// No output of a run replaces another output of the run or one of its inputs: the
// later conversion is refused by name, and the others go on.
TEST(Lumtab, RefusesOutputsThatCollideWithinARun) {
    using Files = std::map<std::string, std::string>;
    const std::string image = pgm_bytes(3, 2, kRaster);
    const std::string other = pgm_bytes(1, 1, "\x05");
    const struct {
        std::vector<std::string> args;
        Files before;
        std::string err;
        Files written;
    } cases[] = {
        {{"a.pgm", "a.PGM"},
         {{"a.pgm", image}, {"a.PGM", other}},
         "lumtab: a.PGM: its table a.int would replace the table of a.pgm\n",
         {{"a.int", kTable}}},
        {{"abxyz", "abint", "b.pgm"},
         {{"abxyz", other}, {"abint", image}, {"b.pgm", image}},
         "lumtab: abxyz: its table abint would replace abint, an input of this run\n"
         "lumtab: abint: its table abint would replace the image itself\n",
         {{"b.int", kTable}}},
        {{"-r", "t.int", "t.INT"},
         {{"t.int", "1 2\n"}, {"t.INT", "3 4\n"}},
         "lumtab: t.INT: its image t.pgm would replace the image of t.int\n",
         {{"t.pgm", "P5\n# from t.int\n2 1\n255\n\x01\x02"}}},
        {{"-r", "t.int", "t.pgm"},
         {{"t.int", "1 2\n"}, {"t.pgm", "3 4\n"}},
         "lumtab: t.int: its image t.pgm would replace t.pgm, an input of this run\n"
         "lumtab: t.pgm: its image t.pgm would replace the table itself\n",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        ScratchDir dir;
        for (const auto& [name, bytes] : c.before)
            write_file(dir / name, bytes);
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        Files expected = c.before;
        expected.insert(c.written.begin(), c.written.end());
        Files found;
        for (const std::string& name : dir.names())
            found[name] = read_file(dir / name);
        EXPECT_EQ(found, expected);
    }
}

// A table that cannot be created is reported as the system error it is. Root may
// write anywhere, so root runs it as nobody.
TEST(Lumtab, ReportsATableInADirectoryItMayNotWrite) {
    ScratchDir dir;
    write_file(dir / "face.pgm", pgm_bytes(3, 2, kRaster));
    write_file(dir / "face.int", "old");
    chmod((dir / "face.pgm").c_str(), 0644);
    chmod(dir.path().c_str(), 0555);
    RunResult result =
        run_lumtab({"face.pgm"}, {.directory = dir.path(), .as_nobody = geteuid() == 0});
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumtab: face.int: Permission denied\n");
}

TEST(Lumtab, NeverReplacesTheImageThroughALink) {
    ScratchDir dir;
    const std::string image = pgm_bytes(3, 2, kRaster);
    write_file(dir / "face.pgm", image);
    ASSERT_EQ(symlink("face.pgm", (dir / "face.int").c_str()), 0);
    RunResult result = run_lumtab({"face.pgm"}, {.directory = dir.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumtab: face.pgm: its table face.int would replace the image itself\n");

    unlink((dir / "face.int").c_str());
    ASSERT_EQ(link((dir / "face.pgm").c_str(), (dir / "face.int").c_str()), 0);
    result = run_lumtab({"face.pgm"}, {.directory = dir.path()});
    EXPECT_EQ(result.status, 1);
    result = run_lumtab({"-o", "face.pgm", "face.pgm"}, {.directory = dir.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "face.pgm"), image);
}

// Written into, never replaced: as root, renaming over /dev/null would replace it.
TEST(Lumtab, WritesIntoADevice) {
    ScratchDir dir;
    write_file(dir / "face.pgm", pgm_bytes(3, 2, kRaster));
    RunResult result = run_lumtab({"-o", "/dev/null", "face.pgm"}, {.directory = dir.path()});
    EXPECT_EQ(result.status, 0) << result.err;
    struct stat status {};
    ASSERT_EQ(stat("/dev/null", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

// A name for one of lumtab's own descriptors is written through it, as standard
// output is: at its offset, appending if it appends, and never replaced.
TEST(Lumtab, WritesThroughANameOfStandardOutput) {
    const struct {
        std::string command, file, content;
    } cases[] = {
        {"echo header >log.txt && LUMTAB >>log.txt", "log.txt", "header\n" + kTable},
        {"{ echo header && LUMTAB && echo footer; } >report.txt", "report.txt",
         "header\n" + kTable + "footer\n"},
        // The descriptor's file deleted: its link reads "…/gone.txt (deleted)".
        {"exec 3>gone.txt 4<gone.txt && rm gone.txt && LUMTAB >&3 && cat <&4 >seen.txt", "seen.txt",
         kTable},
    };
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.command);
            ScratchDir dir;
            write_file(dir / "face.pgm", pgm_bytes(3, 2, kRaster));
            std::string command = c.command;
            command.replace(command.find("LUMTAB"), 6,
                            lumtab_command() + " -o " + name + " face.pgm");
            int status = std::system(("cd " + dir.path() + " && " + command).c_str());
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_EQ(read_file(dir / c.file), c.content);
            EXPECT_EQ(dir.names(), (Names{"face.pgm", c.file}));
        }
    }
}

// A raster found short after most of the table is written: a file keeps its old
// table, standard output keeps what went out and the status says it failed.
TEST(Lumtab, ReportsARasterFoundShortMidway) {
    const int width = 4096, height = 1024;
    std::string image = pgm_bytes(width, height, random_bytes(width * height - 10, 5));
    for (bool to_file : {true, false}) {
        ScratchDir dir;
        write_file(dir / "t.int", "old");
        std::vector<std::string> args{"-"};
        if (to_file) args = {"-o", "t.int", "-"};
        RunResult result =
            run_lumtab(args, {.directory = dir.path(), .input = image, .input_from_pipe = true});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err,
                  "lumtab: standard input: truncated raster: found 4194294 of 4194304 bytes\n");
        EXPECT_EQ(read_file(dir / "t.int"), "old");
        EXPECT_EQ(dir.names(), Names{"t.int"});
        if (!to_file) {
            EXPECT_GT(result.out.size(), 1000000u);
        }
    }
}

TEST(Lumtab, ReportsAWriteErrorPastTheFileSizeLimit) {
    ScratchDir dir;
    write_file(dir / "big.pgm", pgm_bytes(1000, 1000, random_bytes(1000 * 1000, 1)));
    write_file(dir / "big.int", "old");
    RunResult result =
        run_lumtab({"big.pgm"}, {.directory = dir.path(), .file_size_limit = 1 << 20});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumtab: big.int: File too large\n");
    EXPECT_EQ(read_file(dir / "big.int"), "old");
    EXPECT_EQ(dir.names(), (Names{"big.int", "big.pgm"}));
}

// A file system that fills up while the table is written: a small tmpfs mounted
// for the test, which takes root.
TEST(Lumtab, ReportsAFullDisk) {
    ScratchDir dir;
    const std::string disk = dir / "disk";
    mkdir(disk.c_str(), 0777);
    if (mount("lumtab-test", disk.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs takes root: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};

    write_file(disk + "/big.pgm", pgm_bytes(1000, 1000, random_bytes(1000 * 1000, 2)));
    write_file(disk + "/big.int", "old");
    for (bool without_tmpfile : {false, true}) {
        // An emulator cannot set the filter that takes O_TMPFILE away.
        if (without_tmpfile && kEmulated) continue;
        RunResult result =
            run_lumtab({"big.pgm"}, {.directory = disk, .without_tmpfile = without_tmpfile});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "lumtab: big.int: No space left on device\n");
        EXPECT_EQ(read_file(disk + "/big.int"), "old");
        EXPECT_EQ(names_in(disk), (Names{"big.int", "big.pgm"}));
    }
}

// Whenever a signal ends lumtab, it leaves the old table and nothing else; or, if it
// finished first, the new table and nothing else. With an unnamed temporary file
// not even SIGKILL leaves anything behind; with the named fallback, every fatal
// signal that can be caught removes it, also the moment it is created.
TEST(Lumtab, LeavesNothingWhenKilled) {
    const std::vector<int> kSignals = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,  SIGALRM, SIGUSR1,
                                       SIGUSR2, SIGPIPE, SIGXCPU, SIGRTMIN, SIGKILL};
    ScratchDir images;
    const std::string raster = random_bytes(2048 * 2048, 3);
    write_file(images / "big.pgm", pgm_bytes(2048, 2048, raster));
    const std::string table = reference_table(raster, 2048, 2048);
    for (bool without_tmpfile : {false, true}) {
        // An emulator cannot set the filter that takes O_TMPFILE away.
        if (without_tmpfile && kEmulated) continue;
        for (int signal_number : kSignals) {
            // SIGKILL cannot be caught: the named fallback cannot clean up after it,
            // nor can the instant between naming a replacement and renaming it.
            bool replacing = signal_number != SIGKILL;
            if (without_tmpfile && !replacing) continue;
            for (int delay_us : {0, 300, 2000, 8000}) {
                SCOPED_TRACE(std::string(strsignal(signal_number)) + " after " +
                             std::to_string(delay_us) + " us" +
                             (without_tmpfile ? ", named temporary file" : ""));
                ScratchDir dir;
                ASSERT_EQ(link((images / "big.pgm").c_str(), (dir / "big.pgm").c_str()), 0);
                if (replacing) write_file(dir / "big.int", "old");
                auto kill_soon = [&](pid_t pid) {
                    usleep(delay_us);
                    kill(pid, signal_number);
                };
                RunResult result = run_lumtab(
                    {"big.pgm"}, {.directory = dir.path(), .without_tmpfile = without_tmpfile},
                    kill_soon);
                Names names = dir.names();
                if (result.status != 0) {
                    EXPECT_EQ(result.status, 128 + signal_number) << result.err;
                }
                // The signal may come after the new table is in place, but before
                // the process ends: old or new, never partial.
                if (names == Names{"big.pgm"} && !replacing) continue;
                EXPECT_EQ(names, (Names{"big.int", "big.pgm"}));
                std::string left = read_file(dir / "big.int");
                EXPECT_TRUE(left == table || (replacing && left == "old"))
                    << left.size() << " bytes left, " << table.size() << " in the table";
            }
        }
    }
}

// Nothing that appears in the directory while a private table is replaced is ever
// more open than the table: watched with inotify as another user would.
TEST(Lumtab, NeverExposesAPrivateTable) {
    ScratchDir images;
    write_file(images / "big.pgm", pgm_bytes(2048, 2048, random_bytes(2048 * 2048, 4)));
    for (bool without_tmpfile : {false, true}) {
        // An emulator cannot set the filter that takes O_TMPFILE away.
        if (without_tmpfile && kEmulated) continue;
        SCOPED_TRACE(without_tmpfile ? "named temporary file" : "unnamed temporary file");
        ScratchDir dir;
        ASSERT_EQ(link((images / "big.pgm").c_str(), (dir / "big.pgm").c_str()), 0);
        write_file(dir / "big.int", "old");
        chmod((dir / "big.int").c_str(), 0600);
        int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
        std::atomic<bool> done{false};
        std::vector<std::string> exposed;
        int seen = 0;
        std::thread watcher([&] {
            alignas(inotify_event) char buffer[4096];
            // Until lumtab has ended and every event it caused has been read.
            for (bool ended = false; !ended;) {
                ended = done;
                ssize_t n = read(watch, buffer, sizeof buffer);
                for (char* p = buffer; n > 0 && p < buffer + n;) {
                    auto* event = reinterpret_cast<inotify_event*>(p);
                    struct stat status {};
                    std::string name = event->len ? event->name : "";
                    if (stat((dir / name).c_str(), &status) == 0) {
                        ++seen;
                        if ((status.st_mode & 0077) != 0) exposed.push_back(name);
                    }
                    p += sizeof(inotify_event) + event->len;
                }
            }
        });
        RunResult result = run_lumtab(
            {"big.pgm"}, {.directory = dir.path(), .umask = 0, .without_tmpfile = without_tmpfile});
        done = true;
        watcher.join();
        close(watch);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_GT(seen, 0) << "the watch saw nothing appear";
        EXPECT_EQ(exposed, Names{});
        struct stat status {};
        stat((dir / "big.int").c_str(), &status);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
    }
}

// A header's claim costs no memory: under an address-space limit of 256 MiB, a pipe
// that claims 4 GiB of raster and ends is refused for what it holds.
TEST(Lumtab, StreamsAClaimFarBeyondMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit an address-space limit";
#endif
    RunResult result = run_lumtab({"-"}, {.memory_limit = 256 << 20,
                                          .input = "P5\n65536 65536\n255\n" + kRaster,
                                          .input_from_pipe = true});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "lumtab: standard input: truncated raster: found 6 of 4294967296 bytes\n");
}

// Short of memory, a conversion fails with one line and the next is tried: never
// an abort, whatever the limit, on one thread or two.
TEST(Lumtab, ReportsOutOfMemoryAndGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit an address-space limit";
#endif
    ScratchDir dir;
    const std::string raster = random_bytes(1024 * 1024, 8);
    std::string plain = "P2 1024 1024 255\n";
    for (char sample : raster)
        plain += std::to_string(static_cast<unsigned char>(sample)) + " ";
    write_file(dir / "binary.pgm", pgm_bytes(1024, 1024, raster));
    write_file(dir / "plain.pgm", plain);
    const std::string table = reference_table(raster, 1024, 1024);
    for (std::uint64_t kib = 4000; kib <= 20000; kib += 1000) {
        SCOPED_TRACE(std::to_string(kib) + " KiB");
        for (const char* name : {"binary.int", "plain.int"})
            unlink((dir / name).c_str());
        RunResult result = run_lumtab({"binary.pgm", "plain.pgm"},
                                      {.directory = dir.path(), .memory_limit = kib << 10});
        // Too little for the program and the C library to be loaded at all.
        if (result.status == 127 &&
            result.err.find("while loading shared libraries") != std::string::npos)
            continue;
        ASSERT_LE(result.status, 1) << result.err;
        std::string expected_err;
        for (const char* image : {"binary", "plain"}) {
            std::string table_name = dir / (std::string(image) + ".int");
            if (exists(table_name)) {
                EXPECT_TRUE(read_file(table_name) == table) << image;
            } else {
                expected_err += "lumtab: " + std::string(image) + ".pgm: out of memory\n";
            }
        }
        EXPECT_EQ(result.err, expected_err);
    }
}

// On a terminal, a conversion that takes more than a second shows how far it has
// come on one line cut to the terminal's width, and clears it at the end; -q, no
// terminal, or the table itself going to the same terminal, shows nothing.
TEST(Lumtab, ShowsProgressOnATerminal) {
    const std::string image = pgm_bytes(512, 512, random_bytes(512 * 512, 6));
    const std::string long_name = std::string(60, 'x') + "\u00e9" + std::string(60, 'y') + ".pgm";
    ScratchDir dir;
    // A name that reads the pipe the test feeds.
    ASSERT_EQ(symlink("/dev/stdin", (dir / long_name).c_str()), 0);
    const struct {
        std::vector<std::string> args;
        bool output_to_terminal;
        bool shown;
    } cases[] = {
        {{"-o", "/dev/null", long_name}, false, true},
        // The table to a file: the terminal standard output is on stays clear.
        {{"-o", "t.int", long_name}, true, true},
        {{"-q", "-o", "/dev/null", long_name}, false, false},
        // The table to the terminal itself: no progress over it; to a pipe, shown.
        {{"-"}, true, false},
        {{"-"}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.output_to_terminal ? ", output to the terminal" : ""));
        RunResult result = run_lumtab(c.args, {.directory = dir.path(),
                                               .input = image,
                                               .input_from_pipe = true,
                                               .feed_milliseconds = 1600,
                                               .error_to_terminal = true,
                                               .output_to_terminal = c.output_to_terminal,
                                               .terminal_columns = 40});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err.find("lumtab:") != std::string::npos, c.shown) << result.err;
        if (!c.shown) continue;
        EXPECT_TRUE(result.err.ends_with("%\r\033[K")) << result.err;
        // Every line drawn fits in 39 columns: é is one column in two bytes.
        std::size_t line_start = 0;
        for (std::size_t i = 0; i <= result.err.size(); ++i) {
            if (i < result.err.size() && result.err[i] != '\r') continue;
            std::string line = result.err.substr(line_start, i - line_start);
            std::size_t columns =
                std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xc0) != 0x80; });
            EXPECT_LE(columns, 39u) << line;
            const char* start = c.args.back() == "-" ? "lumtab: standard input: " : "lumtab: ...";
            EXPECT_TRUE(line.empty() || line.starts_with(start) || line == "\033[K") << line;
            line_start = i + 1;
        }
    }
}

// image -> table -> image gives back the image's size and samples, for every kind
// of image and every style of table; with --maxval, its maximum value too.
TEST(Lumtab, ReadsTablesBackIntoTheSameImages) {
    const struct {
        int width, height, max_value;
        bool plain;
    } shapes[] = {{1, 1, 255, false},    {1, 700, 255, false},  {700, 1, 65535, false},
                  {37, 23, 1023, false}, {300, 200, 255, true}, {64, 64, 4095, true}};
    ScratchDir dir;
    for (const auto& shape : shapes) {
        std::mt19937 random(shape.width * 31 + shape.height);
        std::vector<int> samples(std::size_t(shape.width) * shape.height);
        for (int& sample : samples)
            sample = static_cast<int>(random() % (shape.max_value + 1));
        std::string header = (shape.plain ? "P2 " : "P5 ") + std::to_string(shape.width) + " " +
                             std::to_string(shape.height) + " " + std::to_string(shape.max_value) +
                             "\n";
        std::string raster;
        for (int sample : samples) {
            if (shape.plain) {
                raster += std::to_string(sample) + "\n";
            } else if (shape.max_value > 255) {
                raster += {static_cast<char>(sample >> 8), static_cast<char>(sample)};
            } else {
                raster += static_cast<char>(sample);
            }
        }
        write_file(dir / "image.pgm", header + raster);
        RunResult expected = run_lumtab({"-o", "-", "image.pgm"}, {.directory = dir.path()});
        for (const char* style : {"--csv", "--tsv", "-q"}) {
            SCOPED_TRACE(std::to_string(shape.width) + " x " + std::to_string(shape.height) + " " +
                         style);
            ASSERT_EQ(
                run_lumtab({style, "-o", "t.txt", "image.pgm"}, {.directory = dir.path()}).status,
                0);
            std::string max_value = "--maxval=" + std::to_string(shape.max_value);
            RunResult back =
                run_lumtab({"-r", max_value, "-o", "back.pgm", "t.txt"}, {.directory = dir.path()});
            ASSERT_EQ(back.status, 0) << back.err;
            std::string image = read_file(dir / "back.pgm");
            EXPECT_TRUE(image.starts_with("P5\n# from t.txt\n" + std::to_string(shape.width) + " " +
                                          std::to_string(shape.height) + "\n" +
                                          std::to_string(shape.max_value) + "\n"))
                << image.substr(0, 40);
            EXPECT_TRUE(run_lumtab({"-o", "-", "back.pgm"}, {.directory = dir.path()}).out ==
                        expected.out);
        }
    }
}

TEST(Lumtab, ChoosesTheMaximumValueOfAReadTable) {
    const struct {
        std::string table, image;
    } cases[] = {
        {"0 1\n255 7\n",
         "P5\n# from standard input\n2 2\n255\n" + std::string("\x00\x01\xff\x07", 4)},
        {"0 1\n256 7\n",
         "P5\n# from standard input\n2 2\n65535\n" + std::string("\0\0\0\x01\x01\0\0\x07", 8)},
        {"\n\n", "P5\n# from standard input\n0 2\n255\n"},
    };
    for (const auto& c : cases) {
        RunResult result = run_lumtab({"-r", "-"}, {.input = c.table});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.image);
    }
}

// A table that is refused leaves the old image as it was, and nothing else.
TEST(Lumtab, RefusesABadTableAndKeepsTheOldImage) {
    const struct {
        std::vector<std::string> args;
        std::string table, message;
    } cases[] = {
        {{"-r", "t.int"}, "1 2 3\n4 5\n", "lumtab: t.int: line 2 has 2 values, line 1 has 3\n"},
        {{"-r", "t.int"}, "1 2\n3 -4\n", "lumtab: t.int: line 2, column 2: negative value\n"},
        {{"-r", "--maxval=9", "t.int"},
         "1 2\n3 10\n",
         "lumtab: t.int: line 2, column 2: 10 is above the maximum value 9\n"},
        {{"-r", "t.pgm"},
         "1 2\n",
         "lumtab: t.pgm: its image t.pgm would replace the table itself\n"},
        // What a failed script leaves: the picture must survive it.
        {{"-r", "t.int"}, "", "lumtab: t.int: empty table\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        ScratchDir dir;
        write_file(dir / c.args.back(), c.table);
        write_file(dir / "t.pgm", "old");
        if (c.args.back() == "t.pgm") write_file(dir / "t.pgm", c.table);
        Names before = dir.names();
        RunResult result = run_lumtab(c.args, {.directory = dir.path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(dir.names(), before);
        EXPECT_EQ(read_file(dir / "t.pgm"), c.args.back() == "t.pgm" ? c.table : "old");
    }
}

// A table large enough to be read in two halves at once names the line at fault as
// one read from the start would, wherever the fault lies.
TEST(Lumtab, NamesTheLineAtFaultInALargeTable) {
    const int width = 1000, height = 4000;  // about 14 MiB of text
    std::vector<std::string> lines;
    std::string random = random_bytes(std::size_t(width) * height, 9);
    for (int y = 0; y < height; ++y)
        lines.push_back(reference_table(random.substr(std::size_t(y) * width, width), width, 1));
    auto table_with = [&](int line, const std::string& text) {
        std::string table;
        for (int y = 0; y < height; ++y)
            table += y + 1 == line ? text : lines[y];
        return table;
    };
    const struct {
        int line;
        std::string text, message;
    } cases[] = {
        {3500, "1 2\n", "line 3500 has 2 values, line 1 has 1000"},
        {3700, "1 -2\n", "line 3700, column 2: negative value"},
        {2001, "\n", "line 2001 has 0 values, line 1 has 1000"},
        {10, "x\n", "line 10, column 1: value is not a decimal number"},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        write_file(dir / "t.int", table_with(c.line, c.text));
        RunResult result = run_lumtab({"-r", "t.int"}, {.directory = dir.path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "lumtab: t.int: " + c.message + "\n");
    }
    write_file(dir / "t.int", table_with(0, ""));
    ASSERT_EQ(run_lumtab({"-r", "t.int"}, {.directory = dir.path()}).status, 0);
    EXPECT_TRUE(read_file(dir / "t.pgm").ends_with(random));
}

// Plain colour text as sparse as a reader's windows: a run of text that fills up
// mid-pixel still has room for the windows that end the pixel.
TEST(Lumtab, ReadsSparsePlainColourText) {
    ScratchDir dir;
    std::string text = "P3\n60 1\n255\n";
    for (int sample = 0; sample < 60 * 3; ++sample)
        text += "1" + std::string(90000, ' ');
    write_file(dir / "sparse.ppm", text);
    RunResult result =
        run_lumtab({"--channel=all", "-o", "-", "sparse.ppm"}, {.directory = dir.path()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(numbers_in(result.out), std::vector<unsigned>(60 * 3, 1));
}

// A plain image is parsed in blocks on two threads at once: the fault reported is
// the first in the image, wherever the faults lie, and bytes after it are ignored.
TEST(Lumtab, NamesTheFirstFaultInALargePlainImage) {
    const int side = 1024;  // four blocks of samples
    const std::string raster = random_bytes(side * side, 5);
    auto image = [&](std::size_t samples, std::set<std::size_t> faults, std::string after) {
        std::string text = "P2 1024 1024 255\n";
        for (std::size_t i = 0; i < samples; ++i) {
            text +=
                faults.contains(i) ? "-7" : std::to_string(static_cast<unsigned char>(raster[i]));
            text += i % 17 == 16 ? '\n' : ' ';
        }
        return text + after;
    };
    auto at = [&](std::size_t i) {
        return "sample at row " + std::to_string(i / side + 1) + ", column " +
               std::to_string(i % side + 1) + " is not a decimal number";
    };
    const std::size_t all = side * side;
    // One fault deep into the first block (of at most 256 Ki samples), then faults
    // close to the start of every block after it, which are found first.
    std::set<std::size_t> late_and_early = {200000};
    for (std::size_t i = 262144; i < all; i += 500)
        late_and_early.insert(i);
    const struct {
        std::string image, message;
    } cases[] = {
        {image(all, {900000}, ""), at(900000)},
        {image(all, {300000, 900000}, ""), at(300000)},
        {image(all, late_and_early, ""), at(200000)},
        {image(all, {900000, 1000000}, ""), at(900000)},
        {image(1000000, {100}, ""), at(100)},
        {image(1000000, {}, ""), "truncated raster: found 1000000 of 1048576 samples"},
        {image(all, {}, "-1 x\n"), ""},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        write_file(dir / "p.pgm", c.image);
        RunResult result = run_lumtab({"p.pgm"}, {.directory = dir.path()});
        if (c.message.empty()) {
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_TRUE(read_file(dir / "p.int") == reference_table(raster, side, side));
            continue;
        }
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "lumtab: p.pgm: " + c.message + "\n");
        EXPECT_EQ(dir.names(), Names{"p.pgm"});
    }
}

// Images of every Netpbm format, 8 and 16 bits, grey and colour, as netpbm,
// ImageMagick and Pillow write them: every channel as pamtable reads it, a colour
// image's luminance by the integer formula, and the tables back into images that
// give the same tables, byte for byte.
TEST(Lumtab, ReadsEveryNetpbmFormatAsNetpbmDoes) {
    if (std::system("for tool in pamtable pamstack ppmpat pgmramp /usr/bin/convert; do"
                    " command -v $tool || exit 1; done >/dev/null && "
                    "/usr/bin/python3 -c 'import numpy, PIL' 2>/dev/null") != 0)
        GTEST_SKIP() << "needs netpbm, ImageMagick, numpy and Pillow";
    const std::string pillow =
        "/usr/bin/python3 -c 'import numpy, PIL.Image; r = numpy.random.default_rng(7); "
        "PIL.Image.fromarray(";
    const char* makers[] = {
        "pbmmake -gray 13 7",
        "pbmmake -gray 13 7 | pnmtopnm -plain",
        "pgmramp -lr 17 5 | pamdepth 1000",
        "ppmpat -gingham2 19 9",
        "ppmpat -gingham3 19 9 | pamcut 2 3 10 4 | pnmtopnm -plain",
        "ppmpat -gingham2 19 9 | pamdepth 65535 | pamtopam",
        "ppmpat -gingham2 9 5 >c.ppm && pgmramp -lr 9 5 >a.pgm && "
        "pamstack -tupletype RGB_ALPHA c.ppm a.pgm 2>/dev/null",
        "/usr/bin/convert -size 11x6 gradient:red-blue ppm:-",
        "/usr/bin/convert -size 11x6 gradient: -depth 16 pgm:-",
        "/usr/bin/convert -size 7x5 gradient:red-blue -alpha on pam:-",
        "/usr/bin/convert -size 7x5 gradient: pbm:-",
    };
    std::vector<std::string> commands(std::begin(makers), std::end(makers));
    for (const char* array :
         {"r.integers(0, 256, (23, 31, 3), numpy.uint8)).save(\"image\", \"PPM\")'",
          "r.integers(0, 2, (5, 9), numpy.uint8).astype(bool)).save(\"image\", \"PPM\")'",
          "r.integers(0, 65536, (6, 7), numpy.int32)).save(\"image\", \"PPM\")'"})
        commands.push_back(pillow + array);
    ScratchDir dir;
    for (const std::string& maker : commands) {
        SCOPED_TRACE(maker);
        std::string command = "cd " + dir.path() + " && " + maker;
        if (maker.find(".save(") == std::string::npos) command += " >image";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string pamtable = output_of("pamtable " + dir / "image");
        const std::vector<unsigned> expected = numbers_in(pamtable);
        // pamtable puts a bar between the pixels of an image of several channels.
        const std::size_t bar = pamtable.find('|');
        const std::size_t channels =
            bar == std::string::npos ? 1 : numbers_in(pamtable.substr(0, bar)).size();

        RunResult all =
            run_lumtab({"--channel=all", "-o", "-", "image"}, {.directory = dir.path()});
        ASSERT_EQ(all.status, 0) << all.err;
        EXPECT_EQ(numbers_in(all.out), expected);

        std::vector<unsigned> shown;
        for (std::size_t i = 0; i + channels <= expected.size(); i += channels)
            shown.push_back(channels < 3 ? expected[i]
                                         : (299 * expected[i] + 587 * expected[i + 1] +
                                            114 * expected[i + 2] + 500) /
                                               1000);
        EXPECT_EQ(numbers_in(run_lumtab({"-o", "-", "image"}, {.directory = dir.path()}).out),
                  shown);

        write_file(dir / "all.int", all.out);
        std::string channels_option = "--channels=" + std::to_string(channels);
        ASSERT_EQ(
            run_lumtab({"-r", channels_option, "-o", "back", "all.int"}, {.directory = dir.path()})
                .status,
            0);
        EXPECT_TRUE(
            run_lumtab({"--channel=all", "-o", "-", "back"}, {.directory = dir.path()}).out ==
            all.out);
    }
}

// What --channel takes of each pixel, and a channel the image lacks refused,
// naming what it has.
TEST(Lumtab, TakesTheChannelAskedForOrSaysWhatThereIs) {
    const std::string pam_header = "P7\nWIDTH 2\nHEIGHT 1\nMAXVAL 255\n";
    const std::string rgba = pam_header + "DEPTH 4\nTUPLTYPE RGB_ALPHA\nENDHDR\n" +
                             std::string("\x01\x02\x03\x04\xff\x00\x00\x09", 8);
    const std::string other = pam_header + "DEPTH 2\nTUPLTYPE DEPTHMAP\nENDHDR\nabcd";
    const std::string grey_alpha = pam_header + "DEPTH 2\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" +
                                   std::string("\x07\x08\x05\x06", 4);
    const struct {
        std::string image, channel, table, message;
    } cases[] = {
        {rgba, "", "2 76 \n", ""},  // luminance, alpha aside
        {rgba, "alpha", "4 9 \n", ""},
        {rgba, "2", "3 0 \n", ""},
        {rgba, "all", "1 2 3 4 255 0 0 9 \n", ""},
        {grey_alpha, "", "7 5 \n", ""},
        {grey_alpha, "luma", "7 5 \n", ""},
        {other, "1", "98 100 \n", ""},
        {pgm_bytes(3, 2, kRaster), "red", "", "no red channel (channels: gray)"},
        {rgba, "gray", "", "no gray channel (channels: red, green, blue, alpha)"},
        {rgba, "4", "", "no channel 4 (channels: red, green, blue, alpha)"},
        {other, "luma", "", "no luma channel (channels: 0 to 1)"},
        {other, "", "",
         "no default channel of tuple type \"DEPTHMAP\": name one (channels: 0 to 1)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channel + ": " + c.message);
        ScratchDir dir;
        write_file(dir / "image", c.image);
        std::vector<std::string> args{"image"};
        if (!c.channel.empty()) args.insert(args.begin(), "--channel=" + c.channel);
        RunResult result = run_lumtab(args, {.directory = dir.path()});
        EXPECT_EQ(result.status, c.message.empty() ? 0 : 1);
        EXPECT_EQ(result.err, c.message.empty() ? "" : "lumtab: image: " + c.message + "\n");
        EXPECT_EQ(exists(dir / "imint"), c.message.empty());
        if (c.message.empty()) {
            EXPECT_EQ(read_file(dir / "imint"), c.table);
        }
    }
}

// Why the tests of PNG, TIFF and JPEG cannot run here, or "" where they can: they
// make their files with numpy and Pillow, and a build may lack the image libraries.
// PNG, TIFF and JPEG as Pillow, ImageMagick and netpbm write them, whatever the
// file is called: their colour channels as netpbm's converters read them, then
// pamtable, and their alpha as pngtopnm -alpha and tifftopnm -alphaout read it.
TEST(Lumtab, ReadsPngTiffAndJpegAsNetpbmDoes) {
    if (std::system("for tool in pngtopnm tifftopnm jpegtopnm pnmtotiff /usr/bin/convert; do"
                    " command -v $tool || exit 1; done >/dev/null") != 0)
        GTEST_SKIP() << "needs netpbm and ImageMagick";
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    const std::string pillow =
        "/usr/bin/python3 -c 'import numpy, PIL.Image as I; r = numpy.random.default_rng(5); "
        "u8 = lambda *s: r.integers(0, 256, s, numpy.uint8); ";
    const struct {
        std::string maker, oracle;
    } cases[] = {
        {pillow + "I.fromarray(u8(7, 11)).save(\"image\", \"PNG\")'", "pngtopnm"},
        {pillow + "I.fromarray(u8(7, 11) > 99).save(\"image\", \"PNG\")'", "pngtopnm"},
        {pillow + "I.fromarray(r.integers(0, 65536, (7, 11)).astype(numpy.uint16)).save(\"image\", "
                  "\"PNG\")'",
         "pngtopnm"},
        {pillow + "I.fromarray(u8(7, 11, 2), \"LA\").save(\"image\", \"PNG\")'", "pngtopnm"},
        {pillow + "I.fromarray(u8(7, 11, 4)).save(\"image\", \"PNG\")'", "pngtopnm"},
        {pillow + "I.fromarray(u8(7, 11, 3)).convert(\"P\").save(\"image\", \"PNG\")'", "pngtopnm"},
        {pillow + "I.fromarray(u8(7, 11, 3)).convert(\"P\").save(\"image\", \"PNG\", "
                  "transparency=bytes(range(0, 256, 3)))'",
         "pngtopnm"},
        {"pbmmake -gray 13 5 | pnmtopng -interlace >image", "pngtopnm"},
        {"pgmramp -lr 13 5 | pamdepth 3 | pnmtopng >image", "pngtopnm"},
        {"ppmpat -gingham2 13 5 | pnmtopng -interlace >image", "pngtopnm"},
        {pillow + "I.fromarray(u8(7, 11)).save(\"image\", \"TIFF\", compression=\"tiff_deflate\")'",
         "tifftopnm -byrow"},
        {pillow + "I.fromarray(u8(7, 11, 4)).save(\"image\", \"TIFF\", compression=\"tiff_lzw\")'",
         "tifftopnm -byrow"},
        {pillow + "I.fromarray(r.integers(0, 65536, (7, 11)).astype(numpy.uint16)).save(\"image\", "
                  "\"TIFF\")'",
         "tifftopnm -byrow"},
        {pillow + "I.fromarray(u8(7, 11, 3)).convert(\"P\").save(\"image\", \"TIFF\")'",
         "tifftopnm"},
        {"pbmmake -gray 13 5 | pnmtotiff -miniswhite >image", "tifftopnm -byrow"},
        {"pgmramp -lr 13 5 | pnmtotiff -miniswhite >image", "tifftopnm -byrow"},
        {"pgmramp -lr 13 5 | /usr/bin/convert - -depth 4 tiff:image", "tifftopnm -byrow"},
        {"ppmpat -gingham2 13 5 | pamtotiff -indexbits=1,2,4 >image 2>/dev/null", "tifftopnm"},
        {"pbmmake -gray 40 30 | /usr/bin/convert - -define tiff:tile-geometry=16x16 -compress "
         "group4 tiff:image",
         "tifftopnm"},
        {pillow + "I.fromarray(u8(7, 11, 3)).save(\"image\", \"TIFF\", tiffinfo={274: 2})'",
         "tifftopnm"},
        {"ppmpat -gingham2 40 30 | /usr/bin/convert - -depth 16 -define tiff:tile-geometry=16x16 "
         "-compress zip tiff:image",
         "tifftopnm"},
        {"ppmpat -gingham2 13 5 | /usr/bin/convert - -compress jpeg tiff:image",
         "tifftopnm -byrow"},
        {pillow + "I.fromarray(u8(9, 13, 3)).save(\"image\", \"JPEG\", quality=90)'", "jpegtopnm"},
        {pillow + "I.fromarray(u8(9, 13)).save(\"image\", \"JPEG\", progressive=True)'",
         "jpegtopnm"},
        {"ppmpat -gingham2 13 5 | pnmtojpeg >image", "jpegtopnm"},
        // A JFIF revision libjpeg warns of, which the pixels do not depend on;
        // jpegtopnm refuses it, and is given the file as revision 1.01.
        {pillow + "import io; b = io.BytesIO(); I.fromarray(u8(9, 13)).save(b, \"JPEG\"); "
                  "d = bytearray(b.getvalue()); d[11:13] = bytes([2, 1]); "
                  "open(\"image\", \"wb\").write(d)'",
         "sh -c '{ head -c 11 \"$0\"; printf \"\\1\\1\"; tail -c +14 \"$0\"; } | jpegtopnm'"},
        // Larger than a reading buffer: lent to the libraries in parts.
        {pillow + "I.fromarray(u8(400, 600, 3)).save(\"image\", \"PNG\")'", "pngtopnm"},
        {pillow + "I.fromarray(u8(400, 600, 3)).save(\"image\", \"JPEG\", quality=95)'",
         "jpegtopnm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maker);
        ASSERT_EQ(std::system(("cd " + dir.path() + " && " + c.maker).c_str()), 0);
        const std::string pnm = dir / "image.pnm";
        ASSERT_EQ(
            std::system((c.oracle + " " + dir / "image" + " >" + pnm + " 2>/dev/null").c_str()), 0);
        const std::vector<unsigned> colour = numbers_in(output_of("pamtable " + pnm));
        const std::size_t depth = read_file(pnm).starts_with("P6") ? 3 : 1;
        // Under another format's name: its bytes decide.
        const std::string misnamed = c.oracle.starts_with("png") ? "image.jpg" : "image.png";
        write_file(dir / misnamed, read_file(dir / "image"));
        RunResult all =
            run_lumtab({"--channel=all", "-o", "-", misnamed}, {.directory = dir.path()});
        ASSERT_EQ(all.status, 0) << all.err;
        std::vector<unsigned> values = numbers_in(all.out);
        const std::size_t channels = values.size() / (colour.size() / depth);
        std::vector<unsigned> shown, alpha;
        for (std::size_t i = 0; i < values.size(); ++i)
            (i % channels < depth ? shown : alpha).push_back(values[i]);
        EXPECT_EQ(shown, colour);
        if (!alpha.empty()) {
            std::string oracle =
                c.oracle.starts_with("png") ? "pngtopnm -alpha " : "tifftopnm -byrow -alphaout=- ";
            EXPECT_EQ(alpha,
                      numbers_in(output_of(oracle + dir / "image" + " 2>/dev/null | pamtable")));
        }
    }
}

// A small file that claims a huge image is refused for what it holds, or read, the
// same from a file and from a pipe, under an address-space limit: what is held
// whole (an interlaced PNG, a progressive JPEG) follows what the file holds.
TEST(Lumtab, ReadsOrRefusesClaimsAlikeWithinMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit an address-space limit";
#endif
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_EQ(
        std::system(
            ("/usr/bin/python3 " LUMTAB_SOURCE_DIR "/tests/make_claims.py " + dir.path()).c_str()),
        0);
    const struct {
        std::string name;
        int status;
    } cases[] = {{"tile.tif", 1},
                 {"interlaced.png", 1},
                 {"passes.png", 1},
                 {"progressive.jpg", 1},
                 {"white.jpg", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult from_file = run_lumtab({"-o", "/dev/null", c.name},
                                         {.directory = dir.path(), .memory_limit = 300 << 20});
        RunResult from_pipe = run_lumtab(
            {"-o", "/dev/null", "-"},
            {.memory_limit = 300 << 20, .input = read_file(dir / c.name), .input_from_pipe = true});
        EXPECT_EQ(from_file.status, c.status);
        EXPECT_EQ(from_pipe.status, c.status);
        // The same words after the name, or none.
        auto problem = [](const std::string& err, const std::string& name) {
            const std::string prefix = "lumtab: " + name + ": ";
            return err.starts_with(prefix) ? err.substr(prefix.size()) : err;
        };
        EXPECT_EQ(problem(from_file.err, c.name), problem(from_pipe.err, "standard input"));
        EXPECT_EQ(from_file.err.find("out of memory"), std::string::npos) << from_file.err;
        EXPECT_EQ(std::count(from_file.err.begin(), from_file.err.end(), '\n'), c.status);
    }
}

// A library's complaint about the file, in one line of lumtab's; nothing left.
TEST(Lumtab, RefusesBrokenPngTiffAndJpegInOneLine) {
    if (std::string why = why_image_tests_cannot_run(); !why.empty()) GTEST_SKIP() << why;
    ScratchDir dir;
    ASSERT_EQ(std::system(("cd " + dir.path() +
                           " && /usr/bin/python3 -c 'import numpy, PIL.Image as I; "
                           "a = numpy.random.default_rng(1).integers(0, 256, (300, 400, 3), "
                           "numpy.uint8); I.fromarray(a).save(\"a.png\"); I.fromarray(a).save("
                           "\"a.jpg\"); I.fromarray(a).save(\"a.tif\"); "
                           "I.fromarray(a[..., 0].astype(numpy.float32)).save(\"f.tif\")'")
                              .c_str()),
              0);
    auto cut = [&](const std::string& name, double part) {
        std::string bytes = read_file(dir / name);
        return bytes.substr(0, static_cast<std::size_t>(bytes.size() * part));
    };
    std::string crc = read_file(dir / "a.png");
    crc[30] = static_cast<char>(crc[30] ^ 1);  // a byte of the header chunk's CRC
    const struct {
        std::string bytes, problem;
    } cases[] = {
        {cut("a.png", 0.6), "PNG: file ends inside the image"},
        {crc, "PNG: IHDR: CRC error"},
        {cut("a.jpg", 0.6), "JPEG: file ends inside the image"},
        {cut("a.tif", 0.6), "TIFF: Read error at scanline 174; got 7144 bytes, expected 7200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        for (bool pipe : {false, true}) {
            write_file(dir / "broken", c.bytes);
            std::vector<std::string> args{"-o", "t.int", pipe ? "-" : "broken"};
            RunResult result = run_lumtab(
                args,
                {.directory = dir.path(), .input = pipe ? c.bytes : "", .input_from_pipe = pipe});
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, "lumtab: " + std::string(pipe ? "standard input" : "broken") +
                                      ": " + c.problem + "\n");
            EXPECT_FALSE(exists(dir / "t.int"));
        }
    }
}

// Tables written by numpy, the tool users edit them with, in both of its usual forms.
TEST(Lumtab, ReadsTablesWrittenByNumpy) {
    if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0)
        GTEST_SKIP() << "numpy is not installed (Debian package python3-numpy)";
    ScratchDir dir;
    write_file(dir / "face.pgm", pgm_bytes(3, 2, kRaster));
    ASSERT_EQ(run_lumtab({"face.pgm"}, {.directory = dir.path()}).status, 0);
    std::string script =
        "cd " + dir.path() +
        " && /usr/bin/python3 -c 'import numpy; a = numpy.loadtxt(\"face.int\", "
        "dtype=numpy.uint8, ndmin=2); numpy.savetxt(\"spaces.int\", a, fmt=\"%d\"); "
        "numpy.savetxt(\"commas.csv\", a, fmt=\"%d\", delimiter=\",\")'";
    ASSERT_EQ(std::system(script.c_str()), 0);
    for (const char* table : {"spaces.int", "commas.csv"}) {
        RunResult result = run_lumtab({"-r", "-o", "-", table}, {.directory = dir.path()});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(result.out.ends_with("3 2\n255\n" + kRaster)) << table;
    }
}

// The fast formatter against the plain one, on shapes that meet its edges: empty
// rows, one column, rows longer than a block and tables of many blocks.
TEST(Lumtab, WritesWhatAPlainFormatterWrites) {
    const struct {
        int width, height;
    } shapes[] = {{0, 0},   {0, 5},   {5, 0},       {1, 1},      {2, 3},      {3, 2},     {7, 13},
                  {16, 16}, {256, 1}, {1000, 1000}, {4099, 517}, {1, 300000}, {300001, 3}};
    ScratchDir dir;
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.width) + " x " + std::to_string(shape.height));
        std::string raster = random_bytes(std::size_t(shape.width) * shape.height, shape.width);
        if (shape.width * shape.height == 256) {
            for (int value = 0; value < 256; ++value)
                raster[value] = static_cast<char>(value);
        }
        write_file(dir / "image.pgm", pgm_bytes(shape.width, shape.height, raster));
        RunResult result = run_lumtab({dir / "image.pgm"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(read_file(dir / "image.int") ==
                    reference_table(raster, shape.width, shape.height));
    }
}

}  // namespace
