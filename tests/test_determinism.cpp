// Determinism, end to end: the same job gives byte-identical output tables and summaries on
// every run, whatever the number of OpenMP threads, for exact and approximate search. The data
// are full of ties (duplicate rows, values clipped to a maximum and rounded to one decimal),
// where an unstable sort or a thread-dependent merge would show first.

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using pairmend_test::job_json;
using pairmend_test::read_text;
using pairmend_test::run_program;
using pairmend_test::split_lines;
using pairmend_test::TempDir;
using pairmend_test::write_text;

const std::string binary = PAIRMEND_BINARY;

constexpr int events_per_batch = 300;
constexpr int num_batches = 3;

// Three batches of two shared populations in three parameters, each batch shifted, every value
// rounded to one decimal and clipped at 6.0 (a saturated detector), and every fourth event an
// exact copy of the one before it. Batches are interleaved row by row. Seed 20261208.
std::string tied_table() {
    std::mt19937 generator(20261208);
    std::normal_distribution<double> spread(0.0, 0.6);
    std::ostringstream table;
    table << "CD3,CD4,CD8,batch,event\n";
    std::vector<std::string> previous(num_batches);
    int event = 0;
    for (int i = 0; i < events_per_batch; ++i) {
        for (int b = 0; b < num_batches; ++b) {
            std::ostringstream row;
            if (i % 4 == 3) {
                row << previous[static_cast<std::size_t>(b)];
            } else {
                const double population = (i % 2 == 0) ? 1.0 : 4.0;
                for (int d = 0; d < 3; ++d) {
                    const double value = population + 0.7 * b + 0.3 * d + spread(generator);
                    row << std::min(6.0, std::round(value * 10.0) / 10.0) << ',';
                }
                previous[static_cast<std::size_t>(b)] = row.str();
            }
            table << row.str() << b + 1 << ',' << ++event << '\n';
        }
    }
    return table.str();
}

class Determinism : public ::testing::TestWithParam<bool> {};

} // namespace

TEST_P(Determinism, SameBytesForEveryRunAndThreadCount) {
    const bool approximate = GetParam();
    TempDir dir;
    const std::string input = dir.file("in.csv");
    write_text(input, tied_table());
    const std::string output = dir.file("out.csv");
    const std::string summary = dir.file("summary.txt");
    const std::string job = dir.file("job.json");
    write_text(job, job_json(input, output, summary,
                             std::string(R"("run_ID": "D", "num_neighbors": 10, "approximate": )") +
                                 (approximate ? "true" : "false")));

    // Thread counts 1 to 8 give the engine 1 to 4 threads; the first count runs twice.
    std::string first_output;
    std::string first_summary;
    for (const int threads : {1, 1, 2, 3, 4, 5, 6, 7, 8}) {
        SCOPED_TRACE("OMP_NUM_THREADS=" + std::to_string(threads));
        std::filesystem::remove(output);
        std::filesystem::remove(summary);
        const auto result = run_program(binary, {job}, "", {{"OMP_NUM_THREADS", std::to_string(threads)}});
        ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
        const std::string table = read_text(output);
        const std::string outcome = read_text(summary);
        if (first_output.empty()) {
            // A failed run would also repeat itself; the comparison means something only for a
            // complete correction.
            ASSERT_EQ(outcome, "status = success\n") << result.out;
            ASSERT_EQ(split_lines(table).size(),
                      static_cast<std::size_t>(events_per_batch * num_batches + 1));
            first_output = table;
            first_summary = outcome;
            continue;
        }
        EXPECT_TRUE(table == first_output) << "the output table differs from the first run's";
        EXPECT_EQ(outcome, first_summary);
    }
}

INSTANTIATE_TEST_SUITE_P(Search, Determinism, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& search) {
                             return std::string(search.param ? "Approximate" : "Exact");
                         });
