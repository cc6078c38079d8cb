// End-to-end tests: run the built lumtab and look at its status, its messages and
// the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Names = std::vector<std::string>;

const std::string kRaster("\x00\x80\xff\x07\x08\x09", 6);
const std::string kTable = "0 128 255 \n7 8 9 \n";

TEST(Lumtab, WritesTheTableBesideTheImage) {
    ScratchDir dir;
    write_file(dir / "face.pgm", "P5\n# made by hand\n3 2\n255\n" + kRaster);
    RunResult result = run_lumtab({dir / "face.pgm", "ignored", "arguments"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(read_file(dir / "face.int"), kTable);
    EXPECT_EQ(dir.names(), (Names{"face.int", "face.pgm"}));
}

TEST(Lumtab, NamesTheTableByReplacingTheLastThreeCharacters) {
    const struct {
        std::string image, table;
    } cases[] = {
        {"scans/face.pgm", "scans/face.int"},
        {"face.PGM", "face.int"},
        {"photo", "phint"},
        {"abc", "int"},
        {"./-dash.pgm", "./-dash.int"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        mkdir((dir / "scans").c_str(), 0777);
        write_file(dir / c.image, pgm_bytes(3, 2, kRaster));
        RunResult result = run_lumtab({c.image}, {.directory = dir.path()});
        EXPECT_EQ(result.status, 0) << c.image << ": " << result.err;
        EXPECT_EQ(read_file(dir / c.table), kTable) << c.image;
    }
    ScratchDir dir;
    write_file(dir / "-dash.pgm", pgm_bytes(3, 2, kRaster));
    EXPECT_EQ(run_lumtab({"--", "-dash.pgm"}, {.directory = dir.path()}).status, 0);
    EXPECT_EQ(read_file(dir / "-dash.int"), kTable);
}

TEST(Lumtab, WritesOneLineFeedPerRowOfAnEmptyImage) {
    ScratchDir dir;
    write_file(dir / "empty.pgm", "P5\n0 3\n255\n");
    EXPECT_EQ(run_lumtab({dir / "empty.pgm"}).status, 0);
    EXPECT_EQ(read_file(dir / "empty.int"), "\n\n\n");
}

TEST(Lumtab, AnswersUsageHelpAndVersion) {
    RunResult none = run_lumtab({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "usage: lumtab image.pgm\n");

    RunResult unknown = run_lumtab({"-x"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "lumtab: unknown option -x\nusage: lumtab image.pgm\n");

    RunResult version = run_lumtab({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "lumtab " LUMTAB_VERSION "\n");

    RunResult dash = run_lumtab({"--"});
    EXPECT_EQ(dash.status, 2);

    for (const char* option : {"-h", "--help"}) {
        RunResult help = run_lumtab({option});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: lumtab image.pgm\n", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
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
        {"plain.pgm", "P2\n3 2\n255\n0 1 2 3 4 5\n", "plain.int",
         "lumtab: plain.pgm: not a binary PGM image: magic number P2, not P5\n"},
        {"deep.pgm", "P5\n3 2\n65535\n" + kRaster + kRaster, "deep.int",
         "lumtab: deep.pgm: maximum value 65535 means 16-bit samples, which are not supported\n"},
        {"ab", pgm_bytes(3, 2, kRaster), "",
         "lumtab: ab: file name too short to form the table's name (three characters at least)\n"},
        {"data.int", pgm_bytes(3, 2, kRaster), "",
         "lumtab: data.int: its table data.int would replace the image itself\n"},
        {"photos.pgm", "", "", "lumtab: photos.pgm: Is a directory\n", "photos.pgm"},
        {"face.pgm", pgm_bytes(3, 2, kRaster), "", "Unable to open file: face.int\n", "face.int"},
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
    EXPECT_EQ(read_file(dir / "face.pgm"), image);
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
    RunResult result = run_lumtab({"big.pgm"}, {.directory = disk});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumtab: big.int: No space left on device\n");
    EXPECT_EQ(read_file(disk + "/big.int"), "old");
    EXPECT_EQ(names_in(disk), (Names{"big.int", "big.pgm"}));
}

// Interrupted while it writes the table, lumtab removes its temporary file.
TEST(Lumtab, LeavesNothingWhenTerminated) {
    ScratchDir dir;
    write_file(dir / "big.pgm", pgm_bytes(8192, 4096, random_bytes(8192 * 4096, 3)));
    write_file(dir / "big.int", "old");
    auto terminate_once_writing = [&](pid_t pid) {
        auto writing = [&] {
            for (const auto& name : dir.names())
                if (name.ends_with(".tmp")) return true;
            return false;
        };
        auto running = [pid] {
            siginfo_t info{};
            return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
        };
        while (!writing() && running())
            usleep(100);
        EXPECT_TRUE(writing()) << "lumtab ended before it wrote";
        kill(pid, SIGTERM);
    };
    RunResult result = run_lumtab({"big.pgm"}, {.directory = dir.path()}, terminate_once_writing);
    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_EQ(read_file(dir / "big.int"), "old");
    EXPECT_EQ(dir.names(), (Names{"big.int", "big.pgm"}));
}

TEST(Lumtab, ReadsFromAPipeWithoutAllocatingForItsClaim) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.pgm").c_str(), 0600), 0);
    std::thread feeder([&] { write_file(dir / "pipe.pgm", "P5\n65536 65536\n255\n" + kRaster); });
    RunResult result = run_lumtab({"pipe.pgm"}, {.directory = dir.path()});
    feeder.join();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumtab: pipe.pgm: truncated raster: found 6 of 4294967296 bytes\n");
    EXPECT_FALSE(exists(dir / "pipe.int"));
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
