#include "plugin_framework/utilities.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using QN::tokenize;
using QN::trim;
using Tokens = std::vector<std::string>;

TEST(Tokenize, DropsEmptyTokensAndKeepsWhiteSpace) {
    EXPECT_EQ(tokenize("a,,b", ",", false), (Tokens{"a", "b"}));
    EXPECT_EQ(tokenize(",a,", ",", false), (Tokens{"a"}));
    EXPECT_EQ(tokenize(",", ",", false), Tokens{});
    EXPECT_EQ(tokenize("", ",", false), Tokens{});
    EXPECT_EQ(tokenize(" x , y ", ",", false), (Tokens{" x ", " y "}));
    EXPECT_EQ(tokenize("a;b,c", ",;", false), (Tokens{"a", "b", "c"}));
}

TEST(Tokenize, EmptyDelimiterSetReturnsTheTextWhole) {
    EXPECT_EQ(tokenize("a,b", "", false), (Tokens{"a,b"}));
    EXPECT_EQ(tokenize("   ", "", false), (Tokens{"   "}));
}

TEST(Tokenize, DoubledDelimiterStandsForOneLiteralDelimiter) {
    EXPECT_EQ(tokenize("a,,b", ",", true), (Tokens{"a,b"}));
    EXPECT_EQ(tokenize("a,,,b", ",", true), (Tokens{"a,", "b"}));
    EXPECT_EQ(tokenize("a,b,", ",", true), (Tokens{"a", "b"}));
    // Two different delimiters next to each other are not an escape.
    EXPECT_EQ(tokenize("a,;b", ",;", true), (Tokens{"a", "b"}));
}

TEST(Trim, RemovesOuterCLocaleWhiteSpaceOnly) {
    EXPECT_EQ(trim("\r"), "");
    EXPECT_EQ(trim("  a b\t"), "a b");
    EXPECT_EQ(trim("abc"), "abc");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim(" \t\n\v\f\r"), "");
    EXPECT_EQ(trim("\v x\fy \f"), "x\fy");
}

TEST(ExecutablePath, IsTheFolderHoldingThisTestProgram) {
    const std::filesystem::path folder = QN::GetExecutablePath();
    EXPECT_TRUE(folder.is_absolute());
    EXPECT_NE(folder.string().back(), '/');
    EXPECT_TRUE(std::filesystem::is_regular_file(folder / "test_utilities"));
}

TEST(AddFilePath, ResolvesAgainstTheProgramFolderNotTheWorkingFolder) {
    const std::string folder = QN::GetExecutablePath();
    const std::filesystem::path before = std::filesystem::current_path();
    pairmend_test::TempDir elsewhere;
    std::filesystem::current_path(elsewhere.path());

    EXPECT_EQ(QN::add_file_path("job.json"), folder + "/job.json");
    EXPECT_EQ(QN::add_file_path("sub/job.json"), folder + "/sub/job.json");
    EXPECT_EQ(QN::add_file_path("/abs/job.json"), "/abs/job.json");
    EXPECT_EQ(QN::add_file_path(""), folder + "/");

    std::filesystem::current_path(before);
}
