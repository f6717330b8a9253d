#include "plugin_framework/Settings.hpp"
#include "plugin_framework/utilities.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <variant>

namespace {

using pairmend_test::TempDir;
using pairmend_test::write_text;

class JobFile : public ::testing::Test {
protected:
    // Writes `json` as the job file and loads it into `settings`.
    void load(const std::string& json) {
        write_text(path, json);
        settings.loadJSONSetup(path);
    }

    // The message of the runtime error that loading `json` raises.
    std::string load_error(const std::string& json) {
        try {
            load(json);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        ADD_FAILURE() << "loading did not fail: " << json;
        return "";
    }

    TempDir dir;
    std::string path = dir.file("job.json");
    QN::Settings settings;
};

} // namespace

TEST_F(JobFile, MinimalJobHoldsOnlyTheSummaryName) {
    load(R"({"summary_file": "summary.txt"})");
    EXPECT_EQ(settings.numInputFiles(), 0);
    EXPECT_EQ(settings.numOutputFiles(), 0);
    EXPECT_TRUE(settings.settings().empty());
    EXPECT_EQ(settings.summaryFile(false), "summary.txt");
    EXPECT_EQ(settings.summaryFile(true), QN::GetExecutablePath() + "/summary.txt");

    load(R"({"summary_file": ""})");
    EXPECT_EQ(settings.summaryFile(false), "");
}

TEST_F(JobFile, SummaryNameMustBePresentAndText) {
    EXPECT_EQ(load_error(R"({"input_files": []})"), "The summary-file name is missing");
    EXPECT_EQ(load_error(R"({"summary_file": null})"), "The summary-file name is missing");
    EXPECT_EQ(load_error(R"({"summary_file": 7})"), "The job file's \"summary_file\" must be a JSON string");
}

TEST_F(JobFile, InputFilesKeepOrderNamesAndNormalisedFlag) {
    load(R"({"input_files": [{"name": "data.csv"}, {"name": "/abs/b.csv", "is_normalized": false}],
             "summary_file": "s"})");
    ASSERT_EQ(settings.numInputFiles(), 2);
    EXPECT_EQ(settings.inputFile(0, false).name, "data.csv");
    EXPECT_TRUE(settings.inputFile(0, false).isNormalized);
    EXPECT_EQ(settings.inputFile(0, true).name, QN::GetExecutablePath() + "/data.csv");
    EXPECT_EQ(settings.inputFile(1, false).name, "/abs/b.csv");
    EXPECT_EQ(settings.inputFile(1, true).name, "/abs/b.csv");
    EXPECT_FALSE(settings.inputFile(1, true).isNormalized);
    EXPECT_THROW(settings.inputFile(2, false), std::out_of_range);
    EXPECT_THROW(settings.outputFile(0, false), std::out_of_range);
}

TEST_F(JobFile, SettingsValuesTakeTheTypeOfTheirJsonValue) {
    load(R"({"summary_file": "s", "settings": {"i": 15, "d": 15.0, "e": 1.5e1, "s": "15", "b": true,
             "neg": -2147483648, "huge": 18446744073709551616}})");
    const auto value = [&](const std::string& name) { return settings.setting(name).value; };
    EXPECT_EQ(std::get<int>(value("i")), 15);
    EXPECT_EQ(std::get<double>(value("d")), 15.0);
    EXPECT_EQ(std::get<double>(value("e")), 15.0);
    EXPECT_EQ(std::get<std::string>(value("s")), "15");
    EXPECT_EQ(std::get<bool>(value("b")), true);
    EXPECT_EQ(std::get<int>(value("neg")), -2147483648);
    EXPECT_EQ(std::get<double>(value("huge")), 18446744073709551616.0);
    EXPECT_THROW(std::get<double>(value("i")), std::bad_variant_access);
}

TEST_F(JobFile, SettingsValuesOfOtherKindsAreRejected) {
    const std::string other = "Value must be a boolean, integer, floating-point or string";
    EXPECT_EQ(load_error(R"({"summary_file": "s", "settings": {"n": 3000000000}})"), other);
    EXPECT_EQ(load_error(R"({"summary_file": "s", "settings": {"n": -3000000000}})"), other);
    EXPECT_EQ(load_error(R"({"summary_file": "s", "settings": {"n": [1]}})"), other);
    EXPECT_EQ(load_error(R"({"summary_file": "s", "settings": {"n": {}}})"), other);
    EXPECT_EQ(load_error(R"({"summary_file": "s", "settings": {"a": 1, "b": null}})"),
              "Value 2 is missing or empty");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "settings": [1]})"),
              "The job file's \"settings\" must be a JSON object of named values");
}

TEST_F(JobFile, DuplicateSettingsAreKeptAndTheFirstCounts) {
    load(R"({"summary_file": "s", "settings": {"k": 1, "k": 2}})");
    EXPECT_EQ(settings.settings().size(), 2u);
    EXPECT_EQ(std::get<int>(settings.setting("k").value), 1);
    EXPECT_TRUE(settings.has_setting("k"));
    EXPECT_FALSE(settings.has_setting("K"));
    try {
        settings.setting("missing");
        ADD_FAILURE() << "no error for a missing setting";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "There is no setting whose name is \"missing\"");
    }
}

TEST_F(JobFile, OutputFilesKeepTheirOwnColumnLabels) {
    load(R"({"summary_file": "s", "output_files": [{"name": "a.csv", "column_labels": ["X", "Y"]},
             {"name": "b.csv", "column_labels": ["Z"]}, {"name": "c.csv", "column_labels": []}]})");
    ASSERT_EQ(settings.numOutputFiles(), 3);
    EXPECT_EQ(settings.outputFile(0, false).columnLabels, (std::vector<std::string>{"X", "Y"}));
    EXPECT_EQ(settings.outputFile(1, false).columnLabels, (std::vector<std::string>{"Z"}));
    EXPECT_TRUE(settings.outputFile(2, false).columnLabels.empty());
    EXPECT_EQ(settings.outputFile(1, true).name, QN::GetExecutablePath() + "/b.csv");
}

TEST_F(JobFile, FileEntryProblemsNameTheEntry) {
    EXPECT_EQ(load_error(R"({"summary_file": "s", "output_files": [{"name": "a"}, {}]})"),
              "Output file 2 has no name");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "output_files": [{"name": "a", "column_labels": "X"}]})"),
              "Output file 1 column labels must be in a JSON array");
    EXPECT_EQ(
        load_error(R"({"summary_file": "s", "output_files": [{"name": "a", "column_labels": ["X", 1]}]})"),
        "Output file 1 has a column label that is not text");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "input_files": [{"name": "a"}, 3]})"),
              "Input file 2 must be a JSON object");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "output_files": [null]})"),
              "Output file 1 must be a JSON object");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "input_files": [{"name": 5}]})"),
              "The \"name\" of input file 1 must be a JSON string");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "output_files": [{"name": ["a"]}]})"),
              "The \"name\" of output file 1 must be a JSON string");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "input_files": [{"name": "a", "is_normalized": "yes"}]})"),
              "The \"is_normalized\" of input file 1 must be true or false");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "input_files": null})"),
              "The job file's \"input_files\" must be a JSON array of file entries");
    EXPECT_EQ(load_error(R"({"summary_file": "s", "output_files": {"name": "a"}})"),
              "The job file's \"output_files\" must be a JSON array of file entries");
}

TEST_F(JobFile, KeysAreCheckedInFixedOrder) {
    // Input files come before the summary name, whatever their place in the text.
    EXPECT_EQ(load_error(R"({"output_files": [{}], "input_files": [{"nom": "a"}]})"),
              "Input file 1 has no name");
    EXPECT_EQ(load_error(R"({"output_files": [{}], "settings": {"x": null}})"),
              "Value 1 is missing or empty");
    EXPECT_EQ(load_error(R"({"output_files": [{}]})"), "The summary-file name is missing");
}

TEST_F(JobFile, UnreadableOrMalformedFilesLeaveThePreviousJob) {
    load(R"({"summary_file": "kept", "settings": {"a": 1}})");

    const std::string missing = dir.file("missing.json");
    try {
        settings.loadJSONSetup(missing);
        ADD_FAILURE() << "no error for a missing job file";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Couldn't open " + missing);
    }
    EXPECT_EQ(load_error("{\"summary_file\": \"s\",}"), "Couldn't parse JSON in " + path);
    EXPECT_EQ(load_error("// comment\n{\"summary_file\": \"s\"}"), "Couldn't parse JSON in " + path);
    EXPECT_EQ(load_error("{\"summary_file\": \"s\"} {}"), "Couldn't parse JSON in " + path);
    // A NUL byte does not end the text early.
    EXPECT_EQ(load_error(R"({"summary_file": "s"})" + std::string(1, '\0') + "garbage"),
              "Couldn't parse JSON in " + path);
    EXPECT_EQ(load_error("[{\"summary_file\": \"s\"}]"),
              "The job file " + path + " must hold one JSON object");
    try {
        settings.loadJSONSetup(dir.path().string());
        ADD_FAILURE() << "no error for a folder as job file";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Couldn't open " + dir.path().string());
    }

    EXPECT_EQ(settings.summaryFile(false), "kept");
    EXPECT_TRUE(settings.has_setting("a"));
}

TEST_F(JobFile, LineFeedsVanishBeforeParsing) {
    load("{\"summary_file\": \"sum\nmary\",\r\n \"settings\": {\"n\": 12\n34}}\r\n");
    EXPECT_EQ(settings.summaryFile(false), "summary");
    EXPECT_EQ(std::get<int>(settings.setting("n").value), 1234);
    // A carriage return inside a string is a control character, which strict JSON refuses.
    EXPECT_EQ(load_error("{\"summary_file\": \"a\rb\"}"), "Couldn't parse JSON in " + path);
}

TEST_F(JobFile, StoreAndClearKeepTheProgramFolder) {
    settings.store({QN::NameValue("x", 1)}, {QN::Settings::InputFile{"in.csv", false}},
                   {QN::Settings::OutputFile{"out.csv", {"A"}}}, {"calc"}, "sum.txt");
    EXPECT_EQ(settings.calculationNames(), std::vector<std::string>{"calc"});
    EXPECT_EQ(settings.outputFile(0, true).name, QN::GetExecutablePath() + "/out.csv");
    EXPECT_FALSE(settings.inputFile(0, false).isNormalized);

    settings.clear();
    EXPECT_EQ(settings.numInputFiles(), 0);
    EXPECT_EQ(settings.numOutputFiles(), 0);
    EXPECT_TRUE(settings.calculationNames().empty());
    EXPECT_EQ(settings.summaryFile(false), "");
    EXPECT_EQ(settings.addPath("x"), QN::GetExecutablePath() + "/x");
    EXPECT_EQ(settings.executablePath(), QN::GetExecutablePath());
}

TEST(NameValue, StringConstructorsAndNullText) {
    const char* nothing = nullptr;
    EXPECT_EQ(std::get<std::string>(QN::NameValue("a", nothing).value), "");
    EXPECT_EQ(std::get<std::string>(QN::NameValue("a", "text").value), "text");
    EXPECT_EQ(std::get<std::string>(QN::NameValue("a", std::string("s")).value), "s");
    EXPECT_EQ(QN::NameValue("a", true).value.index(), 0u);
    EXPECT_EQ(QN::NameValue("a", 1.5).value.index(), 1u);
    EXPECT_EQ(QN::NameValue("a", 7).value.index(), 2u);
}
