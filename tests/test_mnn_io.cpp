#include "mnn_io.hpp"

#include "plugin_framework/utilities.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairmend_test::read_text;
using pairmend_test::TempDir;
using Table = std::vector<std::vector<std::string>>;

struct Prepared {
    std::vector<double> data;
    std::vector<int> events;
    std::vector<int> batches;
};

Prepared prepare(const Table& rows) {
    Prepared result;
    prepare_mnn_input(rows, result.data, result.events, result.batches);
    return result;
}

// The message of the runtime error that preparing `rows` raises.
std::string prepare_error(const Table& rows) {
    try {
        prepare(rows);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "preparing did not fail";
    return "";
}

// Settings for one job whose output goes to `output` (resolved against the program folder).
QN::MnnSettings job_settings(const std::string& output, const std::string& runId) {
    QN::MnnSettings settings;
    settings.store({QN::NameValue(QN::MnnSettings::run_ID_Att, runId)},
                   {QN::Settings::InputFile{"in.csv", true}}, {QN::Settings::OutputFile{output, {}}}, {},
                   "summary.txt");
    settings.processLoadedJSON();
    return settings;
}

} // namespace

TEST(PrepareInput, ValuesEventsAndBatchesInRowOrder) {
    const Prepared p = prepare({{"1.5", "-2", "7", "11"},
                                {"3", "4e1", "7", "12"},
                                {"5", "6", "2", "13"},
                                {" 0x10", "12abc", "9", "14"}});
    EXPECT_EQ(p.data, (std::vector<double>{1.5, -2, 3, 40, 5, 6, 16, 12}));
    EXPECT_EQ(p.events, (std::vector<int>{11, 12, 13, 14}));
    // Labels 2, 7, 9 in ascending order become 0, 1, 2.
    EXPECT_EQ(p.batches, (std::vector<int>{1, 1, 0, 2}));
}

TEST(PrepareInput, LabelsAreNumberedByIntegerValue) {
    EXPECT_EQ(prepare({{"0", "10", "1"}, {"0", "2", "2"}, {"0", "1", "3"}, {"0", "2.9", "4"}}).batches,
              (std::vector<int>{2, 1, 0, 1}));
    EXPECT_EQ(prepare({{"0", "-5", "1"}, {"0", "+3", "2"}}).batches, (std::vector<int>{0, 1}));
}

TEST(PrepareInput, SingleBatchIsReportedBeforeValuesAndEventNumbers) {
    EXPECT_EQ(prepare_error({{"1", "4", "1"}, {"2", "4", "2"}, {"3", "4", "3"}}),
              "There must be at least two batches");
    EXPECT_EQ(prepare_error({{"x", "4", "y"}, {"z", "4.0", "w"}}), "There must be at least two batches");
}

TEST(PrepareInput, ConversionErrorsPassThrough) {
    EXPECT_THROW(prepare({{"1", "a", "1"}, {"2", "2", "2"}}), std::invalid_argument);
    EXPECT_THROW(prepare({{"1", "1", "1"}, {"2", "3000000000", "2"}}), std::out_of_range);
    EXPECT_THROW(prepare({{"1", "1", "1"}, {"2", "2", "2.5x"}, {"3", "2", "e"}}), std::invalid_argument);
    EXPECT_THROW(prepare({{"1", "1", "1"}, {"", "2", "2"}}), std::invalid_argument);
    EXPECT_THROW(prepare({{"1", "1", "1"}, {"1e999", "2", "2"}}), std::out_of_range);
}

TEST(PrepareInput, NonFiniteValuesNameTheirRowAndColumn) {
    EXPECT_EQ(
        prepare_error({{"1", "2", "1", "1"}, {"3", "nan", "2", "2"}}),
        "The value \"nan\" in data row 2 (line 3 of the file), column 2 of the input table is not a finite "
        "number. Remove or replace that event.");
    EXPECT_EQ(prepare_error({{"-inf", "2", "1", "1"}, {"3", "4", "2", "2"}}),
              "The value \"-inf\" in data row 1 (line 2 of the file), column 1 of the input table is not a "
              "finite number. Remove or replace that event.");
}

TEST(PrepareInput, TablesOutsideTheDataModelAreRejectedFirst) {
    EXPECT_EQ(
        prepare_error({}),
        "The input table has no data rows: it must hold a header line and at least one line per event.");
    EXPECT_EQ(
        prepare_error({{"1", "2"}, {"x", "y"}}),
        "Data row 1 of the input table has 2 cells, but at least three are needed: one or more measured "
        "values, then the batch label, then the event number.");
    EXPECT_EQ(prepare_error({{"1", "1", "1"}, {"2", "2", "2"}, {"2", "2"}}),
              "Data row 3 (line 4 of the file) of the input table has 2 cells, but data row 1 has 3. Every "
              "event needs the same columns; check that row for missing or empty cells.");
    EXPECT_EQ(prepare_error({{"1", "1", "1"}, {}}),
              "Data row 2 (line 3 of the file) of the input table has 0 cells, but data row 1 has 3. Every "
              "event needs the same columns; check that row for missing or empty cells.");
    // Shape problems come before the single-batch check.
    EXPECT_NE(prepare_error({{"1", "1", "1"}, {"2", "1", "2", "9"}}).find("Data row 2"), std::string::npos);
}

TEST(PrepareInput, CountsBeyondThirtyTwoBitsAreRejected) {
    EXPECT_NO_THROW(pairmend::check_table_size(2147483647u, 1));
    EXPECT_NO_THROW(pairmend::check_table_size(1073741823u, 2));
    EXPECT_THROW(pairmend::check_table_size(2147483648u, 1), std::runtime_error);
    EXPECT_THROW(pairmend::check_table_size(1073741824u, 2), std::runtime_error);
    try {
        pairmend::check_table_size(100000000u, 30);
        ADD_FAILURE() << "no error for 3,000,000,000 values";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "The input table has 100000000 events of 30 parameters, more values than the "
                     "2147483647 pairmend can process. Use fewer events or parameters per job.");
    }
}

TEST(SaveOutput, HeaderAndOneLinePerEventInInputOrder) {
    TempDir dir;
    const std::string output = dir.file("out.csv");
    std::vector<double> corrected{1.0, 2.5, -3.0, 1234567.0, 0.0, 1e-7};
    save_mnn_output(job_settings(output, "R7"), corrected, 3, 2);
    EXPECT_EQ(read_text(output), "MNN_1_R7,MNN_2_R7\n1,2.5\n-3,1.23457e+06\n0,1e-07\n");

    save_mnn_output(job_settings(output, ""), corrected, 2, 3);
    EXPECT_EQ(read_text(output), "MNN_1_,MNN_2_,MNN_3_\n1,2.5,-3\n1.23457e+06,0,1e-07\n");
    EXPECT_EQ(pairmend::mnn_output_header("NO_RUN_ID", 3),
              (std::vector<std::string>{"MNN_1_NO_RUN_ID", "MNN_2_NO_RUN_ID", "MNN_3_NO_RUN_ID"}));
}

TEST(SaveOutput, UnwritablePathNamesTheResolvedPath) {
    std::vector<double> corrected{1.0, 2.0};
    const std::string relative = "pairmend-no-such-folder/out.csv";
    try {
        save_mnn_output(job_settings(relative, "R"), corrected, 1, 2);
        ADD_FAILURE() << "no error for an unwritable output";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Unable to save output to " + QN::GetExecutablePath() + "/" + relative);
    }
    try {
        save_mnn_output(job_settings("/dev/full", "R"), corrected, 1, 2);
        ADD_FAILURE() << "no error for a full disk";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Unable to save output to /dev/full");
    }
}
