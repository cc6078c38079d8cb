#include "table/table_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <lumtab/error.h>
#include "io/input.h"
#include "io/output_file.h"
#include "table/convert.h"
#include "table/table_reader.h"
#include "test_util.h"

namespace {

using namespace lumtab;

using Rows = std::vector<std::vector<std::uint16_t>>;

std::string format(TableStyle style, std::int32_t width, const std::vector<std::uint16_t>& values) {
    std::string text(TableFormatter::max_text_size(values.size()), '\0');
    TableFormatter formatter(style, width);
    char* end = formatter.format(std::span<const std::uint16_t>(values), text.data());
    text.resize(static_cast<std::size_t>(end - text.data()));
    return text;
}

// The rows of `table`, or the reason it is refused.
Rows read_rows(const std::string& table, std::int32_t max_value = 65535,
               std::string* why = nullptr) {
    Input in(memory_file(table), "t", true);
    std::vector<std::uint16_t> values;
    Rows rows;
    try {
        TableShape shape = read_table(
            in, static_cast<std::uint32_t>(max_value), [&](std::span<const std::uint16_t> samples) {
                values.insert(values.end(), samples.begin(), samples.end());
            });
        for (std::int32_t y = 0; y < shape.height; ++y)
            rows.emplace_back(values.begin() + std::size_t(y) * shape.width,
                              values.begin() + std::size_t(y + 1) * shape.width);
    } catch (const Error& error) {
        if (why == nullptr) throw;
        *why = error.problem();
    }
    return rows;
}

TEST(TableFormatter, WritesEachStyle) {
    const std::vector<std::uint16_t> values = {0,   9,   10,   99,   100,   255,
                                               256, 999, 1000, 9999, 10000, 65535};
    EXPECT_EQ(format(TableStyle::spaces, 6, values),
              "0 9 10 99 100 255 \n256 999 1000 9999 10000 65535 \n");
    EXPECT_EQ(format(TableStyle::csv, 4, values),
              "0,9,10,99\n100,255,256,999\n1000,9999,10000,65535\n");
    EXPECT_EQ(format(TableStyle::tsv, 12, values),
              "0\t9\t10\t99\t100\t255\t256\t999\t1000\t9999\t10000\t65535\n");
    EXPECT_EQ(format(TableStyle::csv, 1, {7, 8}), "7\n8\n");
    EXPECT_EQ(table_suffix(TableStyle::spaces), "int");
    EXPECT_EQ(table_suffix(TableStyle::csv), "csv");
    EXPECT_EQ(table_suffix(TableStyle::tsv), "tsv");
}

// The shortest decimal that reads back as each sample, at the sample's precision.
TEST(TableFormatter, WritesEachTypeAsItsShortestDecimal) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        SampleType type;
        double value;
        std::string text;
    } cases[] = {
        {SampleType::float32, 0.1f, "0.1"},
        {SampleType::float32, 1.0f, "1"},
        {SampleType::float32, 1e-45f, "1e-45"},
        {SampleType::float32, -nan, "nan"},
        {SampleType::float32, inf, "inf"},
        {SampleType::float32, -inf, "-inf"},
        {SampleType::float32, -0.0f, "-0"},
        {SampleType::float32, 3.4028235e38f, "3.4028235e+38"},
        {SampleType::float64, 0.1, "0.1"},
        {SampleType::float64, 5e-324, "5e-324"},
        {SampleType::float64, 0.1f, "0.10000000149011612"},
        {SampleType::int32, -2147483648.0, "-2147483648"},
        {SampleType::uint32, 4294967295.0, "4294967295"},
        {SampleType::int8, -128, "-128"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char text[32];
        EXPECT_EQ(std::string(text, put_real(c.value, c.type, text)), c.text);
    }
    // In a table, as every style lays it out.
    const std::vector<double> values = {0.5, -1.25, 1e-45f, 2};
    std::string table(TableFormatter::max_text_size(values.size(), true), '\0');
    TableFormatter formatter(TableStyle::csv, 2);
    char* end =
        formatter.format(std::span<const double>(values), SampleType::float32, table.data());
    EXPECT_EQ(std::string(table.data(), end), "0.5,-1.25\n1e-45,2\n");
}

TEST(TableReader, ReadsTheSeparatorsAndLineEndsOfCommonWriters) {
    const Rows expected = {{1, 22, 333}, {4, 5, 65535}};
    const std::string tables[] = {
        "1 22 333 \n4 5 65535 \n",          // lumtab
        "1,22,333\n4,5,65535\n",            // lumtab --csv, numpy savetxt delimiter=","
        "1\t22\t333\n4\t5\t65535",          // TSV, no line feed at the end
        "1 22 333\r\n4 5 65535\r\n",        // by hand on Windows
        "  1   22  333\n4 5 65535",         // aligned by hand
        "1, 22 , 333,\n004,5,065535\n",     // blanks around commas, leading zeros
        "1.000000000000000000e+00 22 333",  // numpy's default format: refused below
    };
    for (std::size_t i = 0; i + 1 < std::size(tables); ++i)
        EXPECT_EQ(read_rows(tables[i]), expected) << tables[i];
    EXPECT_EQ(read_rows("1 " + std::string(70000, '0') + "7\n"), (Rows{{1, 7}}));
    EXPECT_EQ(read_rows("\n\n"), (Rows{{}, {}}));
}

TEST(TableReader, RefusesWhatIsNotATableSayingWhere) {
    const struct {
        std::string table;
        std::int32_t max_value;
        std::string why;
    } cases[] = {
        {"1 2\n3 -4\n", 65535, "line 2, column 2: negative value"},
        {"1 +2\n", 65535, "line 1, column 2: value is not a decimal number"},
        {"1 2.5\n", 65535,
         "line 1, column 2: value is not a whole number (-r --float reads fractions)"},
        {"1.000000000000000000e+00 2\n", 65535,
         "line 1, column 1: value is not a whole number (-r --float reads fractions)"},
        {"1 2x\n", 65535, "line 1, column 2: value is not a decimal number"},
        {"1 0x2\n", 65535, "line 1, column 2: value is not a decimal number"},
        {"1 65536\n", 65535, "line 1, column 2: value is beyond 65535"},
        {"1 99999999999999999999\n", 65535, "line 1, column 2: value is beyond 65535"},
        {"1 256\n", 255, "line 1, column 2: 256 is above the maximum value 255"},
        {"1,,2\n", 65535, "line 1, column 2: no value before the comma"},
        {",1\n", 65535, "line 1, column 1: no value before the comma"},
        {"1 2\r3 4\n", 65535, "line 1, column 3: carriage return without a line feed"},
        {"1 -" + std::string(200000, '5') + "\n", 65535, "line 1, column 2: negative value"},
        {"1 2" + std::string(200000, 'x') + "\n", 65535,
         "line 1, column 2: value is not a decimal number"},
        {"1\n2\n3 4;\n", 65535, "line 3, column 2: value is not a decimal number"},
        // Whitespace that separates nothing, placed before the value it precedes.
        {"1\f2\n", 65535,
         "line 1, column 2: \\f is not a separator (blanks, commas and line ends are)"},
        {"7 8\n\v9 1\n", 65535,
         "line 2, column 1: \\v is not a separator (blanks, commas and line ends are)"},
        {"", 65535, "empty table"},
    };
    for (const auto& c : cases) {
        std::string why;
        read_rows(c.table, c.max_value, &why);
        EXPECT_EQ(why, c.why) << c.table;
    }
}

// Tables written by the formatter read back as they were, in every style, with
// values and rows that straddle the reader's 64-byte chunks and its windows.
TEST(TableReader, ReadsBackWhatTheFormatterWrites) {
    std::mt19937 random(11);
    const struct {
        std::int32_t width, height;
        unsigned bits;
    } shapes[] = {{1, 2000, 8}, {7, 300, 16}, {333, 300, 8}, {8192, 9, 16}, {70000, 3, 8}};
    for (const auto& shape : shapes) {
        std::vector<std::uint16_t> values(std::size_t(shape.width) * shape.height);
        for (auto& value : values)
            value = static_cast<std::uint16_t>(random() >> (32 - shape.bits));
        for (TableStyle style : {TableStyle::spaces, TableStyle::csv, TableStyle::tsv}) {
            SCOPED_TRACE(std::to_string(shape.width) + " x " + std::to_string(shape.height) +
                         " as " + std::string(table_suffix(style)));
            Rows rows = read_rows(format(style, shape.width, values));
            ASSERT_EQ(rows.size(), std::size_t(shape.height));
            for (std::size_t y = 0; y < rows.size(); ++y)
                ASSERT_TRUE(std::equal(rows[y].begin(), rows[y].end(),
                                       values.begin() + y * shape.width,
                                       values.begin() + (y + 1) * shape.width))
                    << "row " << y;
        }
    }
}

// However its lines come (one run or many, empty lines in bulk), a table higher
// than an image may be is refused, naming the table: here with a lower limit.
TEST(TableReader, RefusesMoreLinesThanAnImageMayBeHigh) {
    for (const std::string& table :
         {std::string(5, '\n'), std::string("1\n2\n3\n4\n5\n"), std::string(3 << 20, '\n')}) {
        Input in(memory_file(table), "nl.int", true);
        try {
            read_table(
                in, 65535, [](std::span<const std::uint16_t>) {}, {}, 1, 4);
            ADD_FAILURE() << "accepted " << table.size() << " bytes";
        } catch (const Error& error) {
            EXPECT_STREQ(error.what(), "lumtab: nl.int: more lines than an image may be high");
        }
    }
}

// Reading a table back, progress counts the whole table, read on two threads,
// and never goes back.
TEST(TableReader, ReportsProgressOverTheWholeTable) {
    const std::string table = reference_table(random_bytes(1024 * 2048, 10), 1024, 2048);
    ScratchDir dir;
    write_file(dir / "t.int", table);
    Input in(dir / "t.int");
    std::vector<std::uint64_t> done;
    table_to_image(in, dir / "t.pgm", 0, 1, FileType::netpbm,
                   [&](std::uint64_t part, std::uint64_t total) {
                       EXPECT_EQ(total, table.size());
                       done.push_back(part);
                   });
    ASSERT_GT(done.size(), 3u);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), table.size());
}

}  // namespace
