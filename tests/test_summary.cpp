#include "plugin_framework/Summary.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using pairmend_test::read_text;
using pairmend_test::TempDir;

// The message of the runtime error that saving `summary` to `path` raises.
std::string save_error(const QN::Summary& summary, const std::string& path) {
    try {
        summary.saveAsINI(path);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "saving did not fail: " << path;
    return "";
}

} // namespace

TEST(Summary, DefaultIsAFailureWithoutEventsOrTexts) {
    const QN::Summary summary;
    EXPECT_FALSE(summary.is_success());
    EXPECT_EQ(summary.numEvents(), 0);
    EXPECT_FALSE(summary.has_information());
    EXPECT_FALSE(summary.has_calculations());
}

TEST(Summary, FileHoldsTheStatusAndOnlyNonEmptyInformation) {
    TempDir dir;
    const std::string path = dir.file("summary.txt");

    QN::Summary summary(true, 1000, {}, "");
    summary.saveAsINI(path);
    EXPECT_EQ(read_text(path), "status = success\n");

    summary.is_success(false);
    summary.information("There must be at least two batches");
    summary.saveAsINI(path);
    EXPECT_EQ(read_text(path), "status = failure\ninformation = There must be at least two batches\n");

    // The information line does not depend on the flag, and texts are written as they are.
    summary.is_success(true);
    summary.information("two\nlines");
    summary.saveAsINI(path);
    EXPECT_EQ(read_text(path), "status = success\ninformation = two\nlines\n");
}

TEST(Summary, CalculationsStayInMemory) {
    TempDir dir;
    const std::string path = dir.file("summary.txt");
    QN::Summary summary(true, 3, {QN::NameValue("a", 1)}, "");
    summary.add_calculation(QN::NameValue("b", 2.0));
    summary.add_calculations({QN::NameValue("c", true), QN::NameValue("d", "x")});
    EXPECT_TRUE(summary.has_calculations());
    summary.saveAsINI(path);
    EXPECT_EQ(read_text(path), "status = success\n");
    EXPECT_EQ(summary.numEvents(), 3);

    summary.clear_calculations();
    EXPECT_FALSE(summary.has_calculations());
}

TEST(Summary, ExistingFileIsReplaced) {
    TempDir dir;
    const std::string path = dir.file("summary.txt");
    pairmend_test::write_text(path,
                              "status = failure\ninformation = an older and much longer run's message\n");
    QN::Summary(true, 0, {}, "").saveAsINI(path);
    EXPECT_EQ(read_text(path), "status = success\n");
}

TEST(Summary, UnwritablePathsAreReported) {
    TempDir dir;
    const QN::Summary summary(false, 0, {}, "message");
    EXPECT_EQ(save_error(summary, dir.path().string()), "Couldn't open summary file " + dir.path().string());
    const std::string missing_folder = dir.file("missing/summary.txt");
    EXPECT_EQ(save_error(summary, missing_folder), "Couldn't open summary file " + missing_folder);
    EXPECT_EQ(save_error(summary, "/dev/full"), "Couldn't write summary file /dev/full");
}
