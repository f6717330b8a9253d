// Golden outputs: fixed inputs whose exact output bytes were recorded from the first working
// version of the program. Any change to what is computed, to the order of events or to the
// number formatting shows up here; speed-ups must leave these bytes untouched.
//
// The input interleaves three batches of a simulated table (seed 7) and repeats every 50th
// row, so the unsorted-input path and tied distances are both exercised.

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using pairmend_test::job_json;
using pairmend_test::json_quote;
using pairmend_test::read_text;
using pairmend_test::run_program;
using pairmend_test::TempDir;
using pairmend_test::write_text;

const std::string golden_folder = std::string(PAIRMEND_TEST_DATA) + "/golden/";

struct GoldenCase {
    const char* name;     // expected output file, in the golden folder
    const char* settings; // members of the job's "settings" object
};

class GoldenOutput : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenOutput, OutputBytesAreUnchanged) {
    const GoldenCase& golden = GetParam();
    const TempDir dir;
    const std::string output = dir.file("out.csv");
    const std::string summary = dir.file("summary.txt");
    write_text(dir.file("job.json"), job_json(golden_folder + "input.csv", output, summary, golden.settings));

    for (const char* threads : {"2", "4"}) {
        const auto result =
            run_program(PAIRMEND_BINARY, {dir.file("job.json")}, "", {{"OMP_NUM_THREADS", threads}});
        ASSERT_EQ(result.exit_status, 0) << result.out;
        ASSERT_EQ(read_text(summary), "status = success\n") << result.out;
        EXPECT_TRUE(read_text(output) == read_text(golden_folder + golden.name))
            << "output differs from " << golden.name << " with OMP_NUM_THREADS=" << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, GoldenOutput,
    ::testing::Values(GoldenCase{"exact_automatic.csv", "\"run_ID\": \"G1\""},
                      GoldenCase{"approximate_automatic.csv", "\"run_ID\": \"G2\", \"approximate\": true"},
                      GoldenCase{"exact_input_order.csv",
                                 "\"run_ID\": \"G3\", \"automatic_order\": false, \"num_neighbors\": 10, "
                                 "\"robust_trim\": 0.1, \"num_mads\": 2.5"}),
    [](const ::testing::TestParamInfo<GoldenCase>& param_info) {
        std::string name = param_info.param.name;
        return name.substr(0, name.find('.'));
    });

} // namespace
