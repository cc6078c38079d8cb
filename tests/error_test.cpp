#include <lumtab/error.h>

#include "io/error_text.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace lumtab;

TEST(Error, SaysWhatIsWrongInOneLine) {
    EXPECT_STREQ(Error("face.pgm", "empty file").what(), "lumtab: face.pgm: empty file");
    EXPECT_STREQ(Error::from_errno("t.int", ENOSPC).what(),
                 "lumtab: t.int: No space left on device");
    EXPECT_EQ(Error::from_errno("t.int", ENOSPC).error_number(), ENOSPC);
    EXPECT_STREQ(Error::unable_to_open("a\nb", ENOENT).what(), "Unable to open file: a\\nb");
}

TEST(Printable, EscapesWhatWouldBreakALineOrRepaintATerminal) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"plain name.pgm", "plain name.pgm"},
        {"na\u00efve \u00e9t\u00e9", "na\u00efve \u00e9t\u00e9"},
        {"line\nfeed", "line\\nfeed"},
        {"cr\rtab\t", "cr\\rtab\\t"},
        {"ff\fvt\v", "ff\\fvt\\v"},
        {"\033[2Jclear", "\\033[2Jclear"},
        {"del\x7f", "del\\177"},
        {"c1 \u009b", "c1 \\302\\233"},
        {std::string("nul\0", 4), "nul\\000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(printable(c.text), c.shown);
}

}  // namespace
