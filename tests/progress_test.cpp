#include "command/progress.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

using namespace lumtab;

TEST(Progress, FitsANameToTheColumnsLeft) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    const struct {
        std::string name;
        std::size_t columns;
        std::string fitted;
    } cases[] = {
        {"face.pgm", 8, "face.pgm"},
        {"scans/face.pgm", 8, "...e.pgm"},
        {"na\u00efve.pgm", 8, "...e.pgm"},
        {"\u540d\u524d\u540d\u524d.pgm", 9, "...\u524d.pgm"},  // two columns each
        {"\u540d\u524d\u540d\u524d.pgm", 10, "...\u524d.pgm"},
        {"face.pgm", 2, ""},
        {"latin\xe9.pgm", 8, "...\xe9.pgm"},  // not UTF-8: a column a byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(fit_to_columns(c.name, c.columns), c.fitted) << c.name << " in " << c.columns;
    std::setlocale(LC_CTYPE, "C");
}

}  // namespace
