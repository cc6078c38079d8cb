#include "io/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <lumtab/error.h>
#include "test_util.h"

namespace {

using namespace lumtab;

using Names = std::vector<std::string>;

struct stat status_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

mode_t mode_of(const std::string& path) {
    return status_of(path).st_mode & 07777;
}

// The file under the name stays as it was until the commit; without one, the new
// bytes go with the temporary file, which nobody could see.
TEST(OutputFile, ReplacesTheFileOnlyWhenCommitted) {
    for (bool commit : {true, false}) {
        ScratchDir dir;
        write_file(dir / "table", "old");
        {
            OutputFile out(dir / "table");
            out.write(std::string_view("new"));
            EXPECT_EQ(read_file(dir / "table"), "old");
            if (commit) out.commit();
        }
        EXPECT_EQ(read_file(dir / "table"), commit ? "new" : "old");
        EXPECT_EQ(dir.names(), Names{"table"});
    }
}

TEST(OutputFile, GivesThePermissionsOfAPlainOpen) {
    ScratchDir dir;
    mode_t old_umask = umask(027);
    OutputFile(dir / "new").commit();
    umask(old_umask);
    EXPECT_EQ(mode_of(dir / "new"), 0640u);

    for (mode_t mode : {0604u, 0600u, 0666u, 0400u}) {
        write_file(dir / "old", "old");
        chmod((dir / "old").c_str(), mode);
        OutputFile(dir / "old").commit();
        EXPECT_EQ(mode_of(dir / "old"), mode) << "a replaced file keeps its permissions";
        unlink((dir / "old").c_str());
    }
}

// Root may give the file back to its owner and group, as a plain open keeps them.
TEST(OutputFile, KeepsTheOwnerAndGroupOfAReplacedFile) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a file away takes root";
    ScratchDir dir;
    write_file(dir / "table", "old");
    ASSERT_EQ(chown((dir / "table").c_str(), 4321, 8765), 0);
    ASSERT_EQ(chmod((dir / "table").c_str(), 0660), 0);
    OutputFile out(dir / "table");
    out.write(std::string_view("new"));
    out.commit();
    struct stat status = status_of(dir / "table");
    EXPECT_EQ(status.st_uid, 4321u);
    EXPECT_EQ(status.st_gid, 8765u);
    EXPECT_EQ(status.st_mode & 07777, 0660u);
    EXPECT_EQ(read_file(dir / "table"), "new");
}

// A symbolic link is written through, as a plain open would: its target gets the
// new bytes, all at once, and the link stays a link.
TEST(OutputFile, WritesTheTargetOfASymbolicLink) {
    ScratchDir dir;
    mkdir((dir / "real").c_str(), 0777);
    write_file(dir / "real/table", "old");
    ASSERT_EQ(symlink("real/table", (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("real/new", (dir / "dangling").c_str()), 0);
    for (const char* name : {"link", "dangling"}) {
        OutputFile out(dir / name);
        out.write(std::string_view("new"));
        out.commit();
        EXPECT_TRUE(S_ISLNK(status_of(dir / name).st_mode)) << name;
    }
    EXPECT_EQ(read_file(dir / "real/table"), "new");
    EXPECT_EQ(read_file(dir / "real/new"), "new");
    EXPECT_EQ(names_in(dir / "real"), (Names{"new", "table"}));
}

// As fs.protected_symlinks has it: a link that another user planted in a sticky
// directory open to all, like /tmp, does not lead root to its target, whatever
// that is.
TEST(OutputFile, RefusesALinkPlantedInASharedDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "planting a link as another user takes root";
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    write_file(dir / "victim", "precious");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // A reader, so that opening the FIFO to write would not wait.
    int fifo = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    for (const std::string& target :
         {dir / "victim", dir / "missing", dir / "fifo", std::string("/dev/null")}) {
        SCOPED_TRACE(target);
        unlink((dir / "table").c_str());
        ASSERT_EQ(symlink(target.c_str(), (dir / "table").c_str()), 0);
        ASSERT_EQ(lchown((dir / "table").c_str(), 4321, 4321), 0);
        try {
            OutputFile out(dir / "table");
            out.write(std::string_view("planted"));
            out.commit();
            ADD_FAILURE() << "the planted link was followed";
        } catch (const Error& error) {
            EXPECT_EQ(error.error_number(), EACCES);
        }
    }
    char byte;
    EXPECT_LE(read(fifo, &byte, 1), 0) << "the FIFO was written into";
    close(fifo);
    EXPECT_EQ(read_file(dir / "victim"), "precious");
    EXPECT_FALSE(exists(dir / "missing"));
}

// A FIFO (like a device) is written into, never replaced by a regular file.
TEST(OutputFile, WritesIntoWhatIsNotARegularFile) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = read_file(dir / "fifo"); });
    {
        OutputFile out(dir / "fifo");
        out.write(std::string_view("through"));
        out.commit();
    }
    reader.join();
    EXPECT_EQ(received, "through");
    EXPECT_TRUE(S_ISFIFO(status_of(dir / "fifo").st_mode));
}

TEST(OutputFile, RefusesWhatAPlainOpenWouldRefuse) {
    ScratchDir dir;
    mkdir((dir / "directory").c_str(), 0777);
    const struct {
        std::string name, problem;
    } cases[] = {
        {dir / "directory", "Is a directory"},
        {dir / "missing/table", "No such file or directory"},
    };
    for (const auto& c : cases) {
        try {
            OutputFile out(c.name);
            ADD_FAILURE() << c.name << " was opened";
        } catch (const Error& error) {
            EXPECT_EQ(error.what(), "lumtab: " + c.name + ": " + c.problem);
        }
    }
}

}  // namespace
