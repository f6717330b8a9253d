#include "plugin_framework/csv.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using pairmend_test::read_text;
using pairmend_test::TempDir;
using pairmend_test::write_text;
using Table = std::vector<std::vector<std::string>>;

// Reads `text` as a table file.
Table read_table(const TempDir& dir, const std::string& text, bool skipFirstLine) {
    const std::string path = dir.file("table.csv");
    write_text(path, text);
    Table rows{{"stale"}};
    EXPECT_TRUE(QN::read_csv(path, rows, skipFirstLine));
    return rows;
}

} // namespace

TEST(ReadCsv, UnopenablePathLeavesRowsUntouched) {
    TempDir dir;
    Table rows{{"kept"}};
    EXPECT_FALSE(QN::read_csv(dir.file("missing.csv"), rows, true));
    EXPECT_FALSE(QN::read_csv(dir.path().string(), rows, true));
    EXPECT_EQ(rows, (Table{{"kept"}}));
}

TEST(ReadCsv, HeaderOnlyAndEmptyFilesGiveNoRows) {
    TempDir dir;
    EXPECT_EQ(read_table(dir, "a,b,batch,event\n", true), Table{});
    EXPECT_EQ(read_table(dir, "", true), Table{});
    EXPECT_EQ(read_table(dir, "", false), Table{});
    EXPECT_EQ(read_table(dir, "h\n1,2\n", false), (Table{{"h"}, {"1", "2"}}));
}

TEST(ReadCsv, CellsAreTrimmedAndEmptyCellsDropped) {
    TempDir dir;
    EXPECT_EQ(read_table(dir, "h\n 1 ,\t2\t, x y \n", true), (Table{{"1", "2", "x y"}}));
    EXPECT_EQ(read_table(dir, "h\n1,,2\n,3,\n", true), (Table{{"1", "2"}, {"3"}}));
    EXPECT_EQ(read_table(dir, "h\n1,  ,2\n", true), (Table{{"1", "", "2"}}));
    // No quoting: quotes are ordinary characters and every comma separates.
    EXPECT_EQ(read_table(dir, "h\n\"a,b\",c\n", true), (Table{{"\"a", "b\"", "c"}}));
}

TEST(ReadCsv, LineEnds) {
    TempDir dir;
    const Table lf = read_table(dir, "h\n1,2\n\n3,4", true);
    EXPECT_EQ(lf, (Table{{"1", "2"}, {}, {"3", "4"}}));
    // CR LF gives the same cells, except that an empty line becomes one empty cell.
    const Table crlf = read_table(dir, "h\r\n1,2\r\n\r\n3,4\r\n", true);
    EXPECT_EQ(crlf, (Table{{"1", "2"}, {""}, {"3", "4"}}));
    EXPECT_EQ(read_table(dir, "h\n1,2\n", true), (Table{{"1", "2"}}));
}

TEST(WriteCsv, NumbersUseSixSignificantDigits) {
    TempDir dir;
    const std::string path = dir.file("out.csv");
    const std::vector<std::vector<double>> rows{{1234567.0, 0.5, -2.0}, {0.1, 100.0, 0.0000123}, {1.0 / 3.0}};
    ASSERT_TRUE(QN::write_csv(path, rows, {"A", "B", "C"}, ','));
    EXPECT_EQ(read_text(path), "A,B,C\n1.23457e+06,0.5,-2\n0.1,100,1.23e-05\n0.333333\n");
}

TEST(WriteCsv, EmptyHeaderAndOtherDelimiter) {
    TempDir dir;
    const std::string path = dir.file("out.csv");
    write_text(path, "old contents that are longer than the new ones\n");
    ASSERT_TRUE(QN::write_csv(path, std::vector<std::vector<double>>{{1.0, 2.0}}, {}, ';'));
    EXPECT_EQ(read_text(path), "1;2\n");
    ASSERT_TRUE(QN::write_csv(path, std::vector<std::vector<int>>{{7}}, {"x y", "\"q\""}, ','));
    EXPECT_EQ(read_text(path), "x y,\"q\"\n7\n");
}

TEST(WriteCsv, FailuresAreReportedByTheResult) {
    TempDir dir;
    const std::string in_missing_folder = dir.file("missing/out.csv");
    EXPECT_FALSE(QN::write_csv(in_missing_folder, std::vector<std::vector<double>>{{1.0}}, {"A"}, ','));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    EXPECT_FALSE(QN::write_csv(dir.path().string(), std::vector<std::vector<double>>{{1.0}}, {"A"}, ','));
    EXPECT_FALSE(QN::write_csv("/dev/full", std::vector<std::vector<double>>{{1.0}}, {"A"}, ','));
    EXPECT_FALSE(QN::write_csv("/dev/full", std::vector<std::vector<double>>{{1.0}}, {}, ','));
}
