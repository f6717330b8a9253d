// Tests of the example-data generator (the built program and its model) and of the evaluation of a
// correction against the ground truth.

#include "evaluation.hpp"
#include "random.hpp"
#include "simulation.hpp"
#include "table_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pairmend::tools::SimulationOptions;

// A scratch folder per test, removed afterwards.
class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("pairmend_test_tools_" + std::string(info->name()) + "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs the built generator; returns its exit status.
    int simulate(const std::string& arguments) const {
        const std::string command = std::string("\"") + PAIRMEND_SIMULATE + "\" " + arguments + " 2>" +
                                    path("stderr.txt") + " >" + path("stdout.txt");
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream stream(line);
    for (std::string cell; std::getline(stream, cell, ',');) {
        cells.push_back(cell);
    }
    return cells;
}

void write_lines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path);
    for (const auto& line : lines) {
        out << line << '\n';
    }
}

// The input rows without their batch and event columns, under a corrected-table header: a
// "correction" that changed nothing.
std::vector<std::string> values_only(const std::vector<std::string>& input_lines) {
    std::vector<std::string> lines;
    for (const auto& line : input_lines) {
        auto cells = split(line);
        cells.resize(cells.size() - 2);
        std::string joined;
        for (const auto& cell : cells) {
            joined += (joined.empty() ? "" : ",") + cell;
        }
        lines.push_back(joined);
    }
    return lines;
}

std::string expect_runtime_error(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "no std::runtime_error was thrown";
    return "";
}

TEST_F(ToolsTest, GeneratorIsDeterministicForASeedAndDiffersBetweenSeeds) {
    const std::string size = "--events 300 --dims 4 --batches 3 --populations 3";
    ASSERT_EQ(simulate(size + " --seed 11 --out " + path("a.csv") + " --truth " + path("a_truth.csv")), 0);
    ASSERT_EQ(simulate(size + " --seed 11 --out " + path("b.csv") + " --truth " + path("b_truth.csv")), 0);
    ASSERT_EQ(simulate(size + " --seed 12 --out " + path("c.csv") + " --truth " + path("c_truth.csv")), 0);
    const std::string first = read_file(path("a.csv"));
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, read_file(path("b.csv")));
    EXPECT_EQ(read_file(path("a_truth.csv")), read_file(path("b_truth.csv")));
    EXPECT_NE(first, read_file(path("c.csv")));
    EXPECT_NE(read_file(path("a_truth.csv")), read_file(path("c_truth.csv")));

    // The program writes exactly what the library streams.
    SimulationOptions options;
    options.events_per_batch = 300;
    options.dims = 4;
    options.batches = 3;
    options.populations = 3;
    options.seed = 11;
    std::ostringstream input;
    std::ostringstream truth;
    pairmend::tools::write_simulation(options, input, &truth);
    EXPECT_EQ(input.str(), first);
    EXPECT_EQ(truth.str(), read_file(path("a_truth.csv")));
}

TEST_F(ToolsTest, GeneratorWritesTheInputLayoutAndMatchingTruthRows) {
    ASSERT_EQ(simulate("--events 250 --dims 3 --batches 3 --populations 4 --seed 5 --out " + path("in.csv") +
                       " --truth " + path("truth.csv")),
              0);
    const auto input = read_lines(path("in.csv"));
    const auto truth = read_lines(path("truth.csv"));
    ASSERT_EQ(input.size(), 1u + 750u);
    ASSERT_EQ(truth.size(), input.size());
    EXPECT_EQ(input[0], "P1,P2,P3,batch,event");
    EXPECT_EQ(truth[0], "P1,P2,P3");

    std::vector<int> events_per_label(4, 0);
    int changed_rows = 0;
    for (size_t row = 1; row < input.size(); ++row) {
        const auto cells = split(input[row]);
        const auto true_cells = split(truth[row]);
        ASSERT_EQ(cells.size(), 5u) << "row " << row;
        ASSERT_EQ(true_cells.size(), 3u) << "row " << row;
        EXPECT_EQ(cells[4], std::to_string(row));
        const int label = std::stoi(cells[3]);
        ASSERT_GE(label, 1);
        ASSERT_LE(label, 3);
        // Batches are written one after another.
        EXPECT_EQ(label, static_cast<int>((row - 1) / 250) + 1) << "row " << row;
        ++events_per_label[static_cast<size_t>(label)];
        bool same = true;
        for (size_t j = 0; j < 3; ++j) {
            EXPECT_TRUE(std::isfinite(std::stod(cells[j])));
            same = same && cells[j] == true_cells[j];
        }
        if (label == 1) {
            EXPECT_TRUE(same) << "batch 1 must equal the ground truth, row " << row;
        } else if (!same) {
            ++changed_rows;
        }
    }
    EXPECT_EQ(events_per_label[1], 250);
    EXPECT_EQ(events_per_label[2], 250);
    EXPECT_EQ(events_per_label[3], 250);
    EXPECT_EQ(changed_rows, 500);
}

TEST_F(ToolsTest, GeneratorRejectsBadOptionsWithAMessage) {
    EXPECT_EQ(simulate("--events 0 --out " + path("x.csv")), 2);
    EXPECT_NE(read_file(path("stderr.txt")).find("Error: The value \"0\" of --events must be a whole number"),
              std::string::npos);
    EXPECT_EQ(simulate("--events 10"), 2);
    EXPECT_NE(read_file(path("stderr.txt")).find("--out"), std::string::npos);
    EXPECT_EQ(simulate("--dims 3 --colour red --out " + path("x.csv")), 2);
    EXPECT_EQ(read_file(path("stderr.txt")).rfind("Error: Unknown option \"--colour\".\n\nUsage: ", 0), 0u);
    EXPECT_EQ(simulate("--out " + path("x.csv") + " --seed"), 2);
    EXPECT_NE(read_file(path("stderr.txt")).find("The option --seed needs a value."), std::string::npos);
    EXPECT_EQ(simulate("--seed 3 --help"), 0);
    EXPECT_EQ(read_file(path("stdout.txt")).rfind("Usage: pairmend-simulate", 0), 0u);
    EXPECT_EQ(simulate("--out " + path("no_such_folder/x.csv")), 1);
    EXPECT_NE(read_file(path("stderr.txt")).find("Could not create the file"), std::string::npos);

    SimulationOptions too_many;
    too_many.events_per_batch = 1'100'000'000;
    too_many.batches = 2;
    EXPECT_THROW(pairmend::tools::validate(too_many), std::invalid_argument);
    too_many.batches = 1;
    EXPECT_NO_THROW(pairmend::tools::validate(too_many));
}

TEST(SimulationModel, PopulationsAreSeparatedAndSharedInTheSameProportions) {
    for (const int dims : {1, 2, 10}) {
        SimulationOptions options;
        options.dims = dims;
        options.populations = 12;
        options.events_per_batch = 1001;
        options.seed = 3;
        const auto model = pairmend::tools::make_model(options);
        ASSERT_EQ(model.populations.size(), 12u);
        std::int64_t total = 0;
        for (size_t p = 0; p < model.populations.size(); ++p) {
            total += model.populations[p].events_per_batch;
            EXPECT_GT(model.populations[p].events_per_batch, 0);
            for (size_t q = 0; q < p; ++q) {
                double squared = 0.0;
                for (size_t j = 0; j < static_cast<size_t>(dims); ++j) {
                    const double diff = model.populations[p].centre[j] - model.populations[q].centre[j];
                    squared += diff * diff;
                }
                EXPECT_GE(std::sqrt(squared), model.min_separation) << "dims " << dims;
            }
        }
        EXPECT_EQ(total, 1001) << "dims " << dims;
    }
}

// Every written row must be the documented batch effect applied to its truth row, for the
// population whose centre is nearest (the populations are well separated).
TEST(SimulationModel, WrittenRowsFollowTheModelsBatchEffect) {
    SimulationOptions options;
    options.events_per_batch = 400;
    options.dims = 5;
    options.batches = 3;
    options.populations = 3;
    options.seed = 21;
    const auto model = pairmend::tools::make_model(options);
    std::ostringstream input_text;
    std::ostringstream truth_text;
    pairmend::tools::write_simulation(options, input_text, &truth_text);

    std::istringstream input(input_text.str());
    std::istringstream truth(truth_text.str());
    std::string input_line;
    std::string truth_line;
    std::getline(input, input_line);
    std::getline(truth, truth_line);
    std::vector<double> true_values(5);
    std::vector<double> expected(5);
    double largest_shift = 0.0;
    while (std::getline(input, input_line) && std::getline(truth, truth_line)) {
        const auto cells = split(input_line);
        const auto true_cells = split(truth_line);
        for (size_t j = 0; j < 5; ++j) {
            true_values[j] = std::stod(true_cells[j]);
        }
        int nearest = 0;
        double best = INFINITY;
        for (size_t p = 0; p < model.populations.size(); ++p) {
            double squared = 0.0;
            for (size_t j = 0; j < 5; ++j) {
                squared += std::pow(true_values[j] - model.populations[p].centre[j], 2);
            }
            if (squared < best) {
                best = squared;
                nearest = static_cast<int>(p);
            }
        }
        const int batch = std::stoi(cells[5]) - 1;
        pairmend::tools::distort(model, batch, nearest, true_values.data(), expected.data());
        for (size_t j = 0; j < 5; ++j) {
            // Both tables carry 7 significant digits.
            EXPECT_NEAR(std::stod(cells[j]), expected[j], 1e-5 * (1.0 + std::fabs(expected[j])));
            largest_shift = std::max(largest_shift, std::fabs(expected[j] - true_values[j]));
        }
    }
    EXPECT_TRUE(input.eof() || !std::getline(input, input_line));
    // The batch effect is real but smaller than the gaps between populations.
    EXPECT_GT(largest_shift, 0.5);
    EXPECT_LT(largest_shift, model.min_separation / 2);
}

// The index of the population whose centre is nearest to `values` (populations are well separated).
int nearest_population(const pairmend::tools::SimulationModel& model, const std::vector<double>& values) {
    int nearest = 0;
    double best = INFINITY;
    for (size_t p = 0; p < model.populations.size(); ++p) {
        double squared = 0.0;
        for (size_t j = 0; j < values.size(); ++j) {
            squared += std::pow(values[j] - model.populations[p].centre[j], 2);
        }
        if (squared < best) {
            best = squared;
            nearest = static_cast<int>(p);
        }
    }
    return nearest;
}

// Per-batch shares, an absent population and gain curves: the written rows hold exactly the
// model's counts per batch and population and follow its batch effect; the gain curves change
// only the observed values, each parameter by a strictly increasing curve.
TEST(SimulationModel, BatchSharesAbsentPopulationsAndGainCurvesShapeTheWrittenRows) {
    SimulationOptions options;
    options.events_per_batch = 600;
    options.dims = 4;
    options.batches = 3;
    options.populations = 3;
    options.seed = 5;
    options.batch_weights[2] = {1.0, 0.0, 3.0};
    options.absent[3] = {2};
    options.gain = 2.0;
    const auto model = pairmend::tools::make_model(options);
    ASSERT_EQ(model.batch_counts.size(), 3u);
    for (size_t p = 0; p < 3; ++p) {
        EXPECT_EQ(model.batch_counts[0][p], model.populations[p].events_per_batch);
    }
    EXPECT_EQ(model.batch_counts[1], (std::vector<std::int64_t>{150, 0, 450}));
    EXPECT_EQ(model.batch_counts[2][1], 0);
    EXPECT_EQ(model.batch_counts[2][0] + model.batch_counts[2][2], 600);
    // The other populations keep their shared ratio (to the rounding).
    EXPECT_NEAR(static_cast<double>(model.batch_counts[2][0]) / static_cast<double>(model.batch_counts[2][2]),
                model.populations[0].weight / model.populations[2].weight, 0.01);

    std::ostringstream input_text;
    std::ostringstream truth_text;
    pairmend::tools::write_simulation(options, input_text, &truth_text);
    std::istringstream input(input_text.str());
    std::istringstream truth(truth_text.str());
    std::string input_line;
    std::string truth_line;
    std::getline(input, input_line);
    std::getline(truth, truth_line);
    std::vector<std::vector<std::int64_t>> counts(3, std::vector<std::int64_t>(3, 0));
    std::vector<double> true_values(4);
    std::vector<double> expected(4);
    while (std::getline(input, input_line) && std::getline(truth, truth_line)) {
        const auto cells = split(input_line);
        const auto true_cells = split(truth_line);
        for (size_t j = 0; j < 4; ++j) {
            true_values[j] = std::stod(true_cells[j]);
        }
        const int population = nearest_population(model, true_values);
        const int batch = std::stoi(cells[4]) - 1;
        ++counts[static_cast<size_t>(batch)][static_cast<size_t>(population)];
        pairmend::tools::distort(model, batch, population, true_values.data(), expected.data());
        for (size_t j = 0; j < 4; ++j) {
            EXPECT_NEAR(std::stod(cells[j]), expected[j], 1e-5 * (1.0 + std::fabs(expected[j])));
        }
    }
    EXPECT_EQ(counts, model.batch_counts);

    // The gain curves draw from a stream of their own: without them the populations, the truth
    // and batch 1 are the same, and the other batches differ.
    SimulationOptions plain = options;
    plain.gain = 0.0;
    std::ostringstream plain_input;
    std::ostringstream plain_truth;
    pairmend::tools::write_simulation(plain, plain_input, &plain_truth);
    EXPECT_EQ(plain_truth.str(), truth_text.str());
    // Batch 1 ends with its 600th event.
    const auto batch_one = [](const std::string& text) { return text.substr(0, text.find(",1,600\n")); };
    EXPECT_EQ(batch_one(plain_input.str()).size(), batch_one(input_text.str()).size());
    EXPECT_TRUE(batch_one(plain_input.str()) == batch_one(input_text.str()));
    EXPECT_NE(plain_input.str(), input_text.str());

    // Along each parameter, with the others fixed, the observed value rises strictly, and the
    // curve bends it by more than a population's spread somewhere.
    const auto plain_model = pairmend::tools::make_model(plain);
    std::vector<double> point = model.populations[0].centre;
    std::vector<double> bent(4);
    std::vector<double> unbent(4);
    for (size_t j = 0; j < 4; ++j) {
        double previous = -INFINITY;
        double largest_bend = 0.0;
        const double start = point[j];
        for (double value = start - 15.0; value <= start + 15.0; value += 0.01) {
            point[j] = value;
            pairmend::tools::distort(model, 1, 0, point.data(), bent.data());
            pairmend::tools::distort(plain_model, 1, 0, point.data(), unbent.data());
            ASSERT_GT(bent[j], previous) << "parameter " << j << " at " << value;
            previous = bent[j];
            largest_bend = std::max(largest_bend, std::fabs(bent[j] - unbent[j]));
        }
        point[j] = start;
        EXPECT_GT(largest_bend, 1.0) << "parameter " << j;
        EXPECT_LE(largest_bend, options.gain) << "parameter " << j;
    }
}

TEST_F(ToolsTest, GeneratorRejectsBadSharesAbsencesAndGainsWithAMessage) {
    const std::string out = " --populations 3 --batches 2 --out " + path("x.csv");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--proportions 2:1,2", "gives batch 2 2 weights, but there are 3 populations"},
        {"--proportions 3:1,1,1", "names batch 3, but the batches are numbered 1 to 2"},
        {"--proportions 2:1,-1,1", "takes weights of at least 0"},
        {"--proportions 2:0,0,0", "at least one weight must be above 0"},
        {"--proportions 2:1,x,1", "expects a number, not \"x\""},
        {"--proportions 2=1,1,1", "expects a batch, a colon and weights"},
        {"--proportions 2:1,1,1 --proportions 2:1,1,1", "gives batch 2 twice"},
        {"--absent 2:4", "names population 4, but the populations are numbered 1 to 3"},
        {"--absent 2:1 --absent 2:2 --absent 2:3", "leaves batch 2 without any population"},
        {"--proportions 2:1,0,0 --absent 2:1", "leaves batch 2 without any population"},
        {"--gain 11", "must lie between 0 and 10"},
        {"--gain -1", "must lie between 0 and 10"},
        {"--gain nan", "must lie between 0 and 10"},
    };
    for (const auto& [options, message] : cases) {
        EXPECT_EQ(simulate(options + out), 2) << options;
        EXPECT_NE(read_file(path("stderr.txt")).find(message), std::string::npos)
            << options << ": " << read_file(path("stderr.txt"));
        EXPECT_FALSE(fs::exists(path("x.csv"))) << options;
    }
    EXPECT_EQ(simulate("--gain 1 --fcs " + path("study")), 2);
    EXPECT_NE(read_file(path("stderr.txt")).find("--gain belongs to a table (--out)"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("study")));
}

TEST(SimulationRandom, SequenceIsFixedBySeedAndNormalsHaveUnitSpread) {
    pairmend::tools::Random first(99);
    pairmend::tools::Random second(99);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(first.normal(), second.normal());
        const auto draw = first.below(7);
        ASSERT_EQ(draw, second.below(7));
        ASSERT_LT(draw, 7u);
    }
    pairmend::tools::Random rng(2024);
    constexpr int count = 200000;
    double sum = 0.0;
    double squares = 0.0;
    for (int i = 0; i < count; ++i) {
        const double value = rng.normal();
        sum += value;
        squares += value * value;
    }
    const double mean = sum / count;
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(squares / count - mean * mean, 1.0, 0.02);
}

class EvaluationTest : public ToolsTest {
protected:
    void SetUp() override {
        ToolsTest::SetUp();
        SimulationOptions options;
        options.events_per_batch = 600;
        options.dims = 3;
        options.batches = 3;
        options.populations = 3;
        options.seed = 8;
        std::ofstream input(path("in.csv"));
        std::ofstream truth(path("truth.csv"));
        pairmend::tools::write_simulation(options, input, &truth);
    }
};

TEST_F(EvaluationTest, PerfectCorrectionHasNoErrorAndNoCorrectionKeepsTheDistortion) {
    // A perfect correction: the truth values under the corrected table's header.
    auto perfect = read_lines(path("truth.csv"));
    perfect[0] = "MNN_1_T,MNN_2_T,MNN_3_T";
    write_lines(path("perfect.csv"), perfect);
    const auto scores =
        pairmend::tools::evaluate_correction(path("in.csv"), path("perfect.csv"), path("truth.csv"));
    ASSERT_EQ(scores.batches.size(), 3u);
    EXPECT_EQ(scores.dims, 3);
    for (const auto& batch : scores.batches) {
        EXPECT_EQ(batch.events, 600);
        EXPECT_EQ(batch.rms_after, 0.0);
        EXPECT_EQ(batch.distance_after, batch.distance_truth);
    }
    EXPECT_EQ(scores.batches[0].label, 1);
    EXPECT_EQ(scores.batches[0].rms_before, 0.0);
    EXPECT_EQ(scores.batches[0].distance_before, 0.0);
    for (size_t b = 1; b < 3; ++b) {
        EXPECT_GT(scores.batches[b].rms_before, 0.5);
        EXPECT_GT(scores.batches[b].distance_before, 5 * scores.batches[b].distance_truth);
    }

    // An output that changed nothing scores exactly as the input.
    write_lines(path("unchanged.csv"), values_only(read_lines(path("in.csv"))));
    const auto unchanged =
        pairmend::tools::evaluate_correction(path("in.csv"), path("unchanged.csv"), path("truth.csv"));
    for (const auto& batch : unchanged.batches) {
        EXPECT_EQ(batch.rms_after, batch.rms_before);
        EXPECT_EQ(batch.distance_after, batch.distance_before);
    }

    std::ostringstream printed;
    pairmend::tools::print_evaluation(printed, scores);
    EXPECT_NE(printed.str().find("reference batch 1"), std::string::npos);
    const std::string text = printed.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6 + 1 + 3);
}

TEST_F(EvaluationTest, MismatchedTablesAreReportedClearly) {
    const auto truth = read_lines(path("truth.csv"));
    const auto evaluate = [this](const std::string& corrected) {
        return expect_runtime_error([&] {
            pairmend::tools::evaluate_correction(path("in.csv"), path(corrected), path("truth.csv"));
        });
    };

    auto shorter = truth;
    shorter.pop_back();
    write_lines(path("short.csv"), shorter);
    EXPECT_EQ(evaluate("short.csv"), "The corrected table " + path("short.csv") +
                                         " ends after 1799 data rows, but the input table " + path("in.csv") +
                                         " has more: every input row needs exactly one row in each table.");

    auto longer = truth;
    longer.push_back(truth.back());
    write_lines(path("long.csv"), longer);
    EXPECT_NE(evaluate("long.csv").find("The input table " + path("in.csv") + " ends after 1800 data rows"),
              std::string::npos);

    auto wide = truth;
    wide[0] += ",P4";
    write_lines(path("wide.csv"), wide);
    EXPECT_NE(evaluate("wide.csv").find("names 4 columns, but the input table"), std::string::npos);

    auto ragged = truth;
    ragged[7] += ",1";
    write_lines(path("ragged.csv"), ragged);
    EXPECT_NE(
        evaluate("ragged.csv")
            .find("Row 7 of the corrected table " + path("ragged.csv") + " has 4 cells, but 3 are expected"),
        std::string::npos);

    auto bad_number = truth;
    bad_number[4] = "1.5,nan,2";
    write_lines(path("nan.csv"), bad_number);
    EXPECT_EQ(evaluate("nan.csv"), "Row 4, column 2 of the corrected table " + path("nan.csv") +
                                       " holds \"nan\", which is not a finite number.");

    EXPECT_NE(evaluate("missing.csv").find("Could not open the corrected table"), std::string::npos);

    write_lines(path("copy.csv"), truth);
    const std::string no_reference = expect_runtime_error([&] {
        pairmend::tools::evaluate_correction(path("in.csv"), path("copy.csv"), path("truth.csv"), 9);
    });
    EXPECT_NE(no_reference.find("carries the reference batch label 9"), std::string::npos);
}

TEST(EvaluationTableReader, SplitKeepsEmptyCellsAndTrims) {
    std::vector<std::string_view> cells;
    pairmend::tools::split_cells(" 1.5 ,,2\r", cells);
    ASSERT_EQ(cells.size(), 3u);
    EXPECT_EQ(cells[0], "1.5");
    EXPECT_EQ(cells[1], "");
    EXPECT_EQ(cells[2], "2");
    pairmend::tools::split_cells(" \r", cells);
    EXPECT_TRUE(cells.empty());
}

} // namespace

TEST(SimulationModel, ConditionsFollowTheDesignAndMoveTheirPopulationBeforeTheBatchEffect) {
    SimulationOptions options;
    options.events_per_batch = 600;
    options.dims = 4;
    options.batches = 3;
    options.populations = 3;
    options.seed = 5;
    options.conditions = 3;
    options.design[3] = {1, 3};
    const auto model = pairmend::tools::make_model(options);
    const auto conditions = pairmend::tools::make_conditions(options, model);
    EXPECT_EQ(conditions.held, (std::vector<std::vector<int>>{{0, 1, 2}, {0, 1, 2}, {0, 2}}));
    EXPECT_EQ(conditions.conditions[0].moved_population, -1);
    EXPECT_EQ(conditions.conditions[2].moved_population, 1);

    std::ostringstream input_text;
    std::ostringstream truth_text;
    pairmend::tools::write_simulation(options, input_text, &truth_text);
    std::istringstream input(input_text.str());
    std::istringstream truth(truth_text.str());
    std::string input_line;
    std::string truth_line;
    std::getline(input, input_line);
    std::getline(truth, truth_line);
    EXPECT_EQ(input_line, "P1,P2,P3,P4,batch,event");
    EXPECT_EQ(truth_line, "P1,P2,P3,P4,condition");
    std::vector<std::vector<int>> per_batch(3, std::vector<int>(3, 0));
    std::vector<double> true_values(4);
    std::vector<double> expected(4);
    while (std::getline(input, input_line) && std::getline(truth, truth_line)) {
        const auto cells = split(input_line);
        const auto true_cells = split(truth_line);
        const int batch = std::stoi(cells[4]) - 1;
        const int condition = std::stoi(true_cells[4]) - 1;
        ++per_batch[static_cast<size_t>(batch)][static_cast<size_t>(condition)];
        // The batch effect acts about the population's centre as the condition moved it.
        const auto& moved = conditions.conditions[static_cast<size_t>(condition)];
        std::vector<double> centre(4);
        for (size_t j = 0; j < 4; ++j) {
            true_values[j] = std::stod(true_cells[j]);
        }
        // The nearest of the condition's centres: the populations', the moved one where it moved.
        double best = std::numeric_limits<double>::infinity();
        for (int p = 0; p < 3; ++p) {
            std::vector<double> candidate = model.populations[static_cast<size_t>(p)].centre;
            double distance = 0;
            for (size_t j = 0; j < 4; ++j) {
                candidate[j] += moved.moved_population == p ? moved.shift[j] : 0.0;
                distance += (true_values[j] - candidate[j]) * (true_values[j] - candidate[j]);
            }
            if (distance < best) {
                best = distance;
                centre = candidate;
            }
        }
        pairmend::tools::distort_about(model, batch, centre, true_values.data(), expected.data());
        for (size_t j = 0; j < 4; ++j) {
            EXPECT_NEAR(std::stod(cells[j]), expected[j], 1e-5 * (1.0 + std::fabs(expected[j])));
        }
    }
    // Every batch's events are split evenly between the conditions it holds.
    EXPECT_EQ(per_batch, (std::vector<std::vector<int>>{{200, 200, 200}, {200, 200, 200}, {300, 0, 300}}));
}
