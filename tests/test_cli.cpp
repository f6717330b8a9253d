// End-to-end tests of the pairmend program: they run the built binary on small job files and
// check its console lines, summary file and exit status.

#include "driver.hpp"
#include "run_mnn.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using pairmend_test::job_json;
using pairmend_test::read_text;
using pairmend_test::run_program;
using pairmend_test::split_lines;
using pairmend_test::TempDir;
using pairmend_test::two_batch_table;
using pairmend_test::write_text;

const std::string binary = PAIRMEND_BINARY;

class Cli : public ::testing::Test {
protected:
    // Writes a job of the given input, output and settings members, with the summary in `dir`.
    std::string write_job(const std::string& input, const std::string& output, const std::string& members) {
        write_text(job, job_json(input, output, summary, members));
        return job;
    }

    TempDir dir;
    std::string job = dir.file("job.json");
    std::string summary = dir.file("summary.txt");
};

} // namespace

TEST_F(Cli, WrongArgumentCountFailsWithoutSummary) {
    const std::string expected =
        "Error: The C++ program must be called with exactly one command-line argument\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        const auto result = run_program(binary, args, dir.path().string());
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.exit_status, 1);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(Cli, RelativeNamesResolveAgainstTheProgramFolder) {
    // A copy of the program in its own folder, started from another folder that holds a decoy
    // job file of the same name.
    TempDir program_dir;
    const std::filesystem::path program = program_dir.path() / "pairmend";
    std::filesystem::copy_file(binary, program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    write_text(program_dir.file("job.json"),
               job_json("missing.csv", "out.csv", "summary.txt", R"("run_ID": "R7", "num_neighbors": 30)"));
    write_text(dir.file("job.json"),
               job_json("decoy.csv", "decoy-out.csv", "decoy-summary.txt", R"("run_ID": "D")"));

    const auto result = run_program(program.string(), {"job.json"}, dir.path().string());
    const std::string input = program_dir.file("missing.csv");
    EXPECT_EQ(result.out,
              "Before loading setting\nAfter loading settings\nInput file is " + input +
                  "\nNumber of neighbors is 30\nBefore running MNN\nError: Couldn't open or read " + input +
                  "\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(program_dir.file("summary.txt")),
              "status = failure\ninformation = Couldn't open or read " + input + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("summary.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("decoy-summary.txt")));
}

TEST_F(Cli, UnreadableJobFilesFailWithoutSummary) {
    const std::string missing = dir.file("missing.json");
    auto result = run_program(binary, {missing});
    EXPECT_EQ(result.out, "Before loading setting\nError: Couldn't open " + missing + "\n");
    EXPECT_EQ(result.exit_status, 1);

    write_text(job, "{\"summary_file\": \"" + summary + "\",,}");
    result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: Couldn't parse JSON in " + job + "\n");
    EXPECT_EQ(result.exit_status, 1);

    // The input files are read before the summary-file name, so this failure has no summary either.
    write_text(job, "{\"input_files\": [{}], \"summary_file\": \"" + summary + "\"}");
    result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: Input file 1 has no name\n");
    EXPECT_EQ(result.exit_status, 1);

    write_job("in.csv", "out.csv", R"("run_ID": "R")");
    write_text(job, job_json("in.csv", "out.csv", "", R"("run_ID": "R")"));
    result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: No summary file\n");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_FALSE(std::filesystem::exists(summary));
}

TEST_F(Cli, SettingsFailuresAreRecordedInTheSummary) {
    write_job("in.csv", "out.csv", R"("num_neighbors": 30)");
    auto result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: No run ID specified\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(summary), "status = failure\ninformation = No run ID specified\n");

    write_job("in.csv", "out.csv", R"("run_ID": "R7", "reference_policy": "maxrss")");
    result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: maxrss is not a valid reference policy\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(summary), "status = failure\ninformation = maxrss is not a valid reference policy\n");
}

TEST_F(Cli, UnwritableSummaryEndsWithExitStatusOne) {
    write_text(job,
               job_json("in.csv", "out.csv", "/dev/full", R"("run_ID": "R", "reference_policy": "maxrss")"));
    auto result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: maxrss is not a valid reference policy\n"
                          "Error: Couldn't write summary file /dev/full\n");
    EXPECT_EQ(result.exit_status, 1);

    const std::string folder = dir.path().string();
    write_text(job, job_json("in.csv", "out.csv", folder, R"("run_ID": "R", "reference_policy": "maxrss")"));
    result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nError: maxrss is not a valid reference policy\n"
                          "Error: Couldn't open summary file " +
                              folder + "\n");
    EXPECT_EQ(result.exit_status, 1);
}

TEST_F(Cli, InputTableFailuresStopTheCorrectionStage) {
    const std::string input = dir.file("in.csv");
    write_text(input, "p1,p2,batch,event\n1,2,4,1\n3,4,4,2\n");
    write_job(input, dir.file("out.csv"), R"("run_ID": "R")");
    const auto result = run_program(binary, {job});
    EXPECT_EQ(result.out, "Before loading setting\nAfter loading settings\nInput file is " + input +
                              "\nNumber of neighbors is 15\nBefore running MNN\n"
                              "Error: There must be at least two batches\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(summary), "status = failure\ninformation = There must be at least two batches\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.csv")));
}

TEST_F(Cli, FailureInTheCorrectionStageEndsTheConsoleWithTheError) {
    // The output folder does not exist, so the job fails at the latest when the table is saved.
    const std::string input = dir.file("in.csv");
    write_text(input, two_batch_table);
    write_job(input, dir.file("missing-folder/out.csv"), R"("run_ID": "R", "num_neighbors": 2)");
    const auto result = run_program(binary, {job});

    const std::vector<std::string> lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 6u) << result.out;
    EXPECT_EQ(lines[0], "Before loading setting");
    EXPECT_EQ(lines[1], "After loading settings");
    EXPECT_EQ(lines[2], "Input file is " + input);
    EXPECT_EQ(lines[3], "Number of neighbors is 2");
    EXPECT_EQ(lines[4], "Before running MNN");
    ASSERT_EQ(lines[5].rfind("Error: ", 0), 0u) << lines[5];
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(summary), "status = failure\ninformation = " + lines[5].substr(7) + "\n");
}

TEST(Driver, EngineGetsHalfTheThreadsAndAtLeastOne) {
    EXPECT_EQ(pairmend::engine_thread_count(1), 1);
    EXPECT_EQ(pairmend::engine_thread_count(2), 1);
    EXPECT_EQ(pairmend::engine_thread_count(3), 1);
    EXPECT_EQ(pairmend::engine_thread_count(8), 4);
    EXPECT_EQ(pairmend::engine_thread_count(0), 1);
}

TEST(Driver, TimingLineUsesSixSignificantDigits) {
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    EXPECT_EQ(QN::timing_line(1000, milliseconds(1500)),
              "MNN batch correction on 1000 events took 1.5 seconds");
    EXPECT_EQ(QN::timing_line(7, nanoseconds(12345678901)),
              "MNN batch correction on 7 events took 12.3457 seconds");
    EXPECT_EQ(QN::timing_line(7, nanoseconds(42000)),
              "MNN batch correction on 7 events took 4.2e-05 seconds");
    EXPECT_EQ(QN::timing_line(7, std::chrono::seconds(2000000)),
              "MNN batch correction on 7 events took 2e+06 seconds");
}
