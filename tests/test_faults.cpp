// Fault injection and limits, end to end: whatever the file system does and however large the
// job's numbers are, pairmend either succeeds or reports one clear error on the console and in
// the summary. It never crashes, never reports a failure as success, and never leaves an
// incomplete output table behind: when a run fails, the output path holds no table this run
// began writing (a table that was already there is left alone if the run never started
// writing; devices such as /dev/full are never removed).

#include "mnncorrect/RobustAverage.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PAIRMEND_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PAIRMEND_TEST_ASAN 1
#endif
#endif

namespace {

using pairmend_test::job_json;
using pairmend_test::read_text;
using pairmend_test::ResourceLimit;
using pairmend_test::run_program;
using pairmend_test::RunResult;
using pairmend_test::split_lines;
using pairmend_test::TempDir;
using pairmend_test::two_batch_table;
using pairmend_test::write_text;

const std::string binary = PAIRMEND_BINARY;

// A table of `events` events of two parameters in two batches, the second a shifted copy of
// the first; deterministic, so that every run corrects the same data.
std::string shifted_table(int events) {
    std::ostringstream table;
    table << "p1,p2,batch,event\n";
    for (int i = 0; i < events; ++i) {
        const int batch = i % 2;
        table << (i % 37) * 0.25 + batch * 3.0 << ',' << (i % 23) * 0.5 + batch << ',' << batch + 1 << ','
              << i + 1 << '\n';
    }
    return table.str();
}

// `events` events of two parameters drawn from a normal distribution (seed 20261208), the
// second batch shifted; free of ties, so that neighbour searches do their usual amount of work.
std::string random_table(int events) {
    std::mt19937 generator(20261208);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::ostringstream table;
    table << "p1,p2,batch,event\n";
    for (int i = 0; i < events; ++i) {
        const int batch = i % 2;
        const double p1 = normal(generator) + batch;
        const double p2 = normal(generator);
        table << p1 << ',' << p2 << ',' << batch + 1 << ',' << i + 1 << '\n';
    }
    return table.str();
}

class Faults : public ::testing::Test {
protected:
    void write_job(const std::string& table, const std::string& output, const std::string& settings) {
        write_text(job, job_json(table, output, summary, settings));
    }

    // The console of a job that failed after the settings were loaded, and its summary.
    void expect_failed_run(const RunResult& result, const std::string& table, const std::string& message,
                           const std::string& neighbors = "15") const {
        EXPECT_EQ(result.out, "Before loading setting\nAfter loading settings\nInput file is " + table +
                                  "\nNumber of neighbors is " + neighbors +
                                  "\nBefore running MNN\nError: " + message + "\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(read_text(summary), "status = failure\ninformation = " + message + "\n");
    }

    TempDir dir;
    std::string job = dir.file("job.json");
    std::string summary = dir.file("summary.txt");
    std::string input = dir.file("in.csv");
};

} // namespace

// ---- output and summary that cannot be written ------------------------------------------

TEST_F(Faults, OutputThatCannotBeWrittenFailsTheJob) {
    write_text(input, two_batch_table);
    const std::string folder = dir.file("a-folder");
    std::filesystem::create_directory(folder);
    const std::string in_missing_folder = dir.file("missing-folder/out.csv");

    for (const std::string& output : {std::string("/dev/full"), in_missing_folder, folder}) {
        SCOPED_TRACE(output);
        write_job(input, output, R"("run_ID": "R", "num_neighbors": 2)");
        expect_failed_run(run_program(binary, {job}), input, "Unable to save output to " + output, "2");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing-folder")));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST_F(Faults, OutputCutShortByAFullDiskLeavesNoTableBehind) {
    // A file-size limit makes the disk "full" after 4 KiB; the table needs far more. The table is
    // written under a temporary name, so an older table at the same path stays as it was and
    // neither a truncated table nor a temporary file remains.
    write_text(input, shifted_table(2000));
    const std::string output = dir.file("out.csv");
    write_text(output, "an older table\n");
    write_job(input, output, R"("run_ID": "R")");
    const RunResult result = run_program(binary, {job}, "", {}, {ResourceLimit{RLIMIT_FSIZE, 4096}});
    expect_failed_run(result, input, "Unable to save output to " + output);
    EXPECT_EQ(read_text(output), "an older table\n");
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".pairmend-"), std::string::npos) << entry.path();
    }
}

TEST_F(Faults, OutputCutShortWithoutAnOlderTableLeavesNothing) {
    write_text(input, shifted_table(2000));
    const std::string output = dir.file("new.csv");
    write_job(input, output, R"("run_ID": "R")");
    const RunResult result = run_program(binary, {job}, "", {}, {ResourceLimit{RLIMIT_FSIZE, 4096}});
    expect_failed_run(result, input, "Unable to save output to " + output);
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(Faults, SummaryThatCannotBeWrittenEndsWithExitStatusOne) {
    // The job itself succeeds and its table is complete, but the host cannot learn that from
    // the summary, so the exit status must say it.
    write_text(input, two_batch_table);
    const std::string output = dir.file("out.csv");
    write_text(job, job_json(input, output, "/dev/full", R"("run_ID": "R", "num_neighbors": 2)"));
    const RunResult result = run_program(binary, {job});

    const std::vector<std::string> lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 8u) << result.out;
    EXPECT_EQ(lines[5], "After running MNN");
    EXPECT_EQ(lines[6].rfind("MNN batch correction on 6 events took ", 0), 0u) << lines[6];
    EXPECT_EQ(lines[7], "Error: Couldn't write summary file /dev/full");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(split_lines(read_text(output)).size(), 7u);
}

// ---- input that cannot be read ----------------------------------------------------------

TEST_F(Faults, InputThatIsAFolderCannotBeRead) {
    const std::string folder = dir.file("a-folder");
    std::filesystem::create_directory(folder);
    const std::string output = dir.file("out.csv");
    write_job(folder, output, R"("run_ID": "R")");
    expect_failed_run(run_program(binary, {job}), folder, "Couldn't open or read " + folder);
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(Faults, InputWithoutReadPermissionCannotBeRead) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "Running as root, where file permissions do not stop reading.";
    }
    write_text(input, two_batch_table);
    std::filesystem::permissions(input, std::filesystem::perms::none);
    const std::string output = dir.file("out.csv");
    write_job(input, output, R"("run_ID": "R")");
    expect_failed_run(run_program(binary, {job}), input, "Couldn't open or read " + input);
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(Faults, InputTruncatedMidLineNamesTheShortRow) {
    const std::string output = dir.file("out.csv");
    write_job(input, output, R"("run_ID": "R")");

    // Cut inside the last line's second value: that row has two cells instead of four.
    write_text(input, two_batch_table.substr(0, two_batch_table.size() - 6));
    expect_failed_run(run_program(binary, {job}), input,
                      "Data row 6 (line 7 of the file) of the input table has 2 cells, but data row 1 has 4. "
                      "Every event needs the same columns; check that row for missing or empty cells.");
    EXPECT_FALSE(std::filesystem::exists(output));

    // Cut inside the header line: nothing but a part of the header is left.
    write_text(input, two_batch_table.substr(0, 8));
    expect_failed_run(
        run_program(binary, {job}), input,
        "The input table has no data rows: it must hold a header line and at least one line per event.");
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(Faults, BadCellNearTheEndOfAMillionEventsIsNamed) {
    // The table fails while it is prepared, before the engine starts: the message names the
    // cell, and no output table appears.
    constexpr int events = 1000000;
    constexpr int bad_row = events - 10;
    {
        std::ofstream table(input, std::ios::binary);
        table << "p1,p2,batch,event\n";
        for (int row = 1; row <= events; ++row) {
            table << (row % 1000) * 0.01 << ',';
            if (row == bad_row) {
                table << "abc";
            } else {
                table << (row % 7) * 0.5;
            }
            table << ',' << row % 3 << ',' << row << '\n';
        }
    }
    const std::string output = dir.file("out.csv");
    write_job(input, output, R"("run_ID": "R")");
    expect_failed_run(run_program(binary, {job}), input, "stod");
    EXPECT_FALSE(std::filesystem::exists(output));
}

// ---- limits -----------------------------------------------------------------------------

TEST_F(Faults, LargestSettingsEndNormally) {
    // Any whole number is a valid neighbor or iteration count in the job file; the largest
    // must neither exhaust memory nor run for hours.
    write_text(input, two_batch_table);
    const std::string output = dir.file("out.csv");
    write_job(
        input, output,
        R"("run_ID": "R", "num_neighbors": 2147483647, "robust_iterations": 2147483647, "robust_trim": 0.5)");
    const RunResult result = run_program(binary, {job});
    EXPECT_EQ(split_lines(result.out).size(), 7u) << result.out;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(summary), "status = success\n");
    EXPECT_EQ(split_lines(read_text(output)).size(), 7u);
}

// An address-space limit cannot work under AddressSanitizer, which reserves terabytes up front.
#if defined(PAIRMEND_TEST_ASAN)
constexpr bool address_space_limits_work = false;
#else
constexpr bool address_space_limits_work = true;
#endif

// Address space in MiB and 8 MiB thread stacks. 256 MiB are enough to load a job, start a few
// threads, read a table of 8,000 events and correct it with a few neighbors.
std::vector<ResourceLimit> memory_limit(rlim_t mebibytes) {
    return {{RLIMIT_AS, mebibytes << 20}, {RLIMIT_STACK, rlim_t(8) << 20}};
}

TEST_F(Faults, MemoryRunningOutInTheEngineIsReported) {
    if (!address_space_limits_work) {
        GTEST_SKIP() << "Address-space limits do not work under AddressSanitizer.";
    }
    write_text(input, random_table(8000));
    const std::string output = dir.file("out.csv");
    const std::vector<std::pair<std::string, std::string>> four_threads{{"OMP_NUM_THREADS", "4"}};

    // Within the limit a normal job finishes...
    write_job(input, output, R"("run_ID": "R", "num_neighbors": 5)");
    RunResult result = run_program(binary, {job}, "", four_threads, memory_limit(256));
    ASSERT_EQ(read_text(summary), "status = success\n") << result.out << result.err;
    std::filesystem::remove(output);

    // ... but 10,000 neighbors (all 4,000 of a batch) for every event need half a gigabyte.
    write_job(input, output, R"("run_ID": "R", "num_neighbors": 10000)");
    result = run_program(binary, {job}, "", four_threads, memory_limit(256));
    expect_failed_run(result, input, "std::bad_alloc", "10000");
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(Faults, RunEndedByTheSystemLeavesNoStaleSuccessSummary) {
    if (!address_space_limits_work) {
        GTEST_SKIP() << "Address-space limits do not work under AddressSanitizer.";
    }
    // 64 OpenMP threads give the engine 32, whose stacks alone need more than the 128 MiB
    // allowed: the OpenMP runtime gives up and ends the program. The summary of an earlier
    // successful run must not survive that: there is no summary at all.
    write_text(input, two_batch_table);
    const std::string output = dir.file("out.csv");
    write_job(input, output, R"("run_ID": "R", "num_neighbors": 2)");
    write_text(summary, "status = success\n");
    const RunResult result = run_program(binary, {job}, "", {{"OMP_NUM_THREADS", "64"}}, memory_limit(128));
    EXPECT_NE(result.exit_status, 0) << result.out;
    EXPECT_FALSE(std::filesystem::exists(summary));
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST(RobustAverageLimits, HugeIterationCountsGiveWhatTheIterationsConvergeTo) {
    using Average = mnncorrect::RobustAverage<int, double>;
    Average::Scratch scratch;

    // Rows 0, 0, 0, 0, 10: the mean 2 keeps the four zeros, and 0 stays the average from then on.
    const std::vector<double> outlier{0, 0, 0, 0, 10};
    double out = -1;
    Average(INT_MAX, 0.25).run(1, outlier.size(), outlier.data(), &out, scratch);
    EXPECT_EQ(out, 0.0);

    // Six 2-D rows whose average alternates between their mean and (4, 2) for ever: an odd
    // number of iterations ends on (4, 2), an even number on the mean.
    const std::vector<double> alternating{7, 6, 2, 1, 8, 5, 2, 1, 5, 0, 1, 6};
    std::vector<double> mean(2);
    Average(0, 0.25).run(2, size_t(6), alternating.data(), mean.data(), scratch);
    std::vector<double> three(2);
    Average(3, 0.25).run(2, size_t(6), alternating.data(), three.data(), scratch);
    EXPECT_EQ(three, (std::vector<double>{4, 2}));
    std::vector<double> odd(2);
    Average(INT_MAX, 0.25).run(2, size_t(6), alternating.data(), odd.data(), scratch);
    EXPECT_EQ(odd, three);
    std::vector<double> even(2);
    Average(INT_MAX - 1, 0.25).run(2, size_t(6), alternating.data(), even.data(), scratch);
    EXPECT_EQ(even, mean);
}
