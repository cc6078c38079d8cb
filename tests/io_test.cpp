#include "io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"

namespace {

mode_t mode_of(const std::string& path) {
    struct stat status;
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

// The file under the name stays as it was until the commit; without one, the new
// bytes go with the temporary file.
TEST(OutputFile, ReplacesTheFileOnlyWhenCommitted) {
    for (bool commit : {true, false}) {
        ScratchDir dir;
        write_file(dir / "table", "old");
        {
            OutputFile out;
            ASSERT_TRUE(out.open(dir / "table"));
            out.write(std::string_view("new"));
            EXPECT_EQ(read_file(dir / "table"), "old");
            EXPECT_EQ(dir.names().size(), 2u) << "the temporary file sits beside the table";
            if (commit) out.commit();
        }
        EXPECT_EQ(read_file(dir / "table"), commit ? "new" : "old");
        EXPECT_EQ(dir.names(), std::vector<std::string>{"table"});
    }
}

TEST(OutputFile, GivesThePermissionsOfAPlainOpen) {
    ScratchDir dir;
    mode_t old_umask = umask(027);
    {
        OutputFile out;
        ASSERT_TRUE(out.open(dir / "new"));
        out.commit();
    }
    umask(old_umask);
    EXPECT_EQ(mode_of(dir / "new"), 0640u);

    write_file(dir / "old", "old");
    chmod((dir / "old").c_str(), 0604);
    OutputFile out;
    ASSERT_TRUE(out.open(dir / "old"));
    out.commit();
    EXPECT_EQ(mode_of(dir / "old"), 0604u) << "a replaced file keeps its permissions";
}

}  // namespace
