// Tests of the quality-control report's correction evidence: neighbourhood mixing, structure kept,
// displacements and the split-batch noise floor, the principal-component view and the JSON figures,
// each on constructed data with a known answer, plus the files written next to each other.

#include "internal/neighbourhood.hpp"
#include "internal/noise_floor.hpp"
#include "internal/principal_components.hpp"
#include "pairmend/report/condition_figures.hpp"
#include "pairmend/report/qc_json.hpp"
#include "pairmend/report/qc_report.hpp"
#include "pairmend/report/qc_summary.hpp"

#include "brute_force.hpp"
#include "shifted_batches.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numeric>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<std::size_t> all_events(std::size_t n) {
    std::vector<std::size_t> events(n);
    for (std::size_t i = 0; i < n; ++i) {
        events[i] = i;
    }
    return events;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Three populations in three parameters, well apart compared with their spread.
const std::vector<double> kCentres = {0, 0, 0, 6, 0, 2, 0, 6, -2};

/// A run of two batches, labels 4 (first reference) and 8, drawn from the same populations. Batch 8
/// is shifted by `shift` in every parameter before correction; `correct` says how its corrected
/// values are made: by the engine itself, or by handing back its unshifted values.
struct TwoBatchRun {
    enum class Correction { Engine, RemoveShift };

    std::vector<double> uncorrected;
    std::vector<double> corrected;
    std::vector<int> labels;
    pairmend::report::QcReportInput input;

    TwoBatchRun(std::size_t per_batch, double shift, Correction correct, std::uint64_t seed = 3) {
        const std::vector<double> first =
            pairmend_test::shifted_batch(3, per_batch, kCentres, {0, 0, 0}, 1.0, seed);
        const std::vector<double> second =
            pairmend_test::shifted_batch(3, per_batch, kCentres, {0, 0, 0}, 1.0, seed + 1);
        uncorrected = first;
        for (const double v : second) {
            uncorrected.push_back(v + shift);
        }
        labels.assign(per_batch, 4);
        labels.insert(labels.end(), per_batch, 8);

        mnncorrect::Options options;
        options.num_threads = 2;
        const mnncorrect::MnnCorrect<int, double> engine(options);
        input.ndim = 3;
        input.nobs = labels.size();
        input.run_id = "T";
        input.parameter_names = {"CD3", "CD4", "CD8"};
        input.uncorrected = uncorrected.data();
        input.batch_labels = labels.data();
        input.merge_order = {4, 8};
        input.engine = engine;
        if (correct == Correction::Engine) {
            corrected.resize(uncorrected.size());
            std::vector<int> dense(labels.size());
            std::transform(labels.begin(), labels.end(), dense.begin(), [](int l) { return l == 4 ? 0 : 1; });
            const int order[] = {0, 1};
            const auto details =
                engine.run(3, labels.size(), uncorrected.data(), dense.data(), corrected.data(), order);
            input.num_pairs = details.num_pairs;
        } else {
            corrected = first;
            corrected.insert(corrected.end(), second.begin(), second.end());
            input.num_pairs = {static_cast<int>(per_batch)};
        }
        input.corrected = corrected.data();
    }
};

const pairmend::report::BatchSummary& batch_of(const pairmend::report::QcSummary& summary, int label) {
    for (const pairmend::report::BatchSummary& batch : summary.batches) {
        if (batch.label == label) {
            return batch;
        }
    }
    throw std::runtime_error("no batch " + std::to_string(label));
}

// ---------------------------------------------------------------------------------------------
// Neighbourhood mixing and structure kept

TEST(NeighbourhoodMixing, HandCheckedAlternatingLabels) {
    // On a line, labels alternate: every event's nearest neighbour (either of two equally near ones)
    // carries the other label, while 2 of the 3 other events do: 1 / (2/3) = 1.5 for everyone.
    const std::vector<double> rows = {0, 1, 2, 3};
    const std::vector<int> batch = {0, 1, 0, 1};
    const pairmend::report::Mixing mixing =
        pairmend::report::neighbourhood_mixing(rows, 1, batch, 2, 1, 1, all_events(4));
    EXPECT_DOUBLE_EQ(mixing.per_batch[0], 1.5);
    EXPECT_DOUBLE_EQ(mixing.per_batch[1], 1.5);
    EXPECT_DOUBLE_EQ(mixing.overall, 1.5);

    // Batches far apart never meet.
    const pairmend::report::Mixing apart = pairmend::report::neighbourhood_mixing(
        {0, 0.1, 0.2, 50, 50.1}, 1, {0, 0, 0, 1, 1}, 2, 1, 1, all_events(5));
    EXPECT_DOUBLE_EQ(apart.overall, 0.0);
    // k beyond the event count is capped at all other events, whose shares are then exactly the expected
    // ones.
    const pairmend::report::Mixing capped =
        pairmend::report::neighbourhood_mixing({0, 1, 2}, 1, {0, 1, 0}, 2, 30, 1, all_events(3));
    EXPECT_DOUBLE_EQ(capped.per_batch[0], 1.0);
    EXPECT_DOUBLE_EQ(capped.per_batch[1], 1.0);
    EXPECT_TRUE(std::isnan(
        pairmend::report::neighbourhood_mixing({0, 1}, 1, {0, 0}, 1, 30, 1, all_events(2)).overall));
    EXPECT_THROW(pairmend::report::neighbourhood_mixing({0, 1}, 1, {0, 2}, 2, 1, 1, all_events(2)),
                 std::invalid_argument);
    EXPECT_THROW(pairmend::report::neighbourhood_mixing({0, 1}, 1, {0, 1}, 2, 1, 1, {2}),
                 std::invalid_argument);
}

TEST(NeighbourhoodMixing, SameDistributionIsNearOneAndAShiftIsNearZero) {
    const std::vector<double> first = pairmend_test::shifted_batch(3, 1500, kCentres, {0, 0, 0}, 1.0, 1);
    const std::vector<double> second = pairmend_test::shifted_batch(3, 500, kCentres, {0, 0, 0}, 1.0, 2);
    std::vector<double> mixed(first);
    mixed.insert(mixed.end(), second.begin(), second.end());
    std::vector<double> shifted(first);
    for (const double v : second) {
        shifted.push_back(v + 20.0);
    }
    std::vector<int> batch(1500, 0);
    batch.insert(batch.end(), 500, 1);

    // Unequal batch sizes: the expected share corrects for them, so both batches come out near 1.
    const pairmend::report::Mixing same =
        pairmend::report::neighbourhood_mixing(mixed, 3, batch, 2, 30, 2, all_events(2000));
    EXPECT_NEAR(same.per_batch[0], 1.0, 0.1);
    EXPECT_NEAR(same.per_batch[1], 1.0, 0.1);
    EXPECT_NEAR(same.overall, 1.0, 0.1);
    const pairmend::report::Mixing apart =
        pairmend::report::neighbourhood_mixing(shifted, 3, batch, 2, 30, 2, all_events(2000));
    EXPECT_LT(apart.overall, 0.01);

    // Measuring at a spread selection of events estimates the same figure; the thread count changes nothing.
    std::vector<std::size_t> some = pairmend::report::spread_selection(1500, 300);
    for (const std::size_t j : pairmend::report::spread_selection(500, 300)) {
        some.push_back(1500 + j);
    }
    const pairmend::report::Mixing sampled =
        pairmend::report::neighbourhood_mixing(mixed, 3, batch, 2, 30, 2, some);
    EXPECT_NEAR(sampled.overall, same.overall, 0.1);
    const pairmend::report::Mixing one_thread =
        pairmend::report::neighbourhood_mixing(mixed, 3, batch, 2, 30, 1, some);
    EXPECT_EQ(one_thread.overall, sampled.overall);
    EXPECT_EQ(one_thread.per_batch, sampled.per_batch);
    EXPECT_EQ(pairmend::report::spread_selection(10, 4), (std::vector<std::size_t>{0, 2, 5, 7}));
    EXPECT_EQ(pairmend::report::spread_selection(3, 4), (std::vector<std::size_t>{0, 1, 2}));
}

TEST(NeighbourhoodFigures, MatchAnExhaustiveSearch) {
    // Continuous values: the tree does not promise which of several events tied at the k-th distance it
    // keeps.
    std::mt19937_64 rng(31);
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::size_t n = 400;
    std::vector<double> before(2 * n);
    std::vector<double> after(2 * n);
    std::vector<int> batch(n);
    for (std::size_t i = 0; i < n; ++i) {
        batch[i] = static_cast<int>(rng() % 3);
        for (std::size_t d = 0; d < 2; ++d) {
            before[2 * i + d] = noise(rng) + batch[i];
            after[2 * i + d] = before[2 * i + d] - batch[i] + 0.5 * noise(rng);
        }
    }
    const int k = 7;
    std::vector<std::size_t> queries;
    for (std::size_t i = 0; i < n; i += 3) {
        queries.push_back(i);
    }

    const pairmend_test::BruteForce oracle(2, static_cast<int>(n), after.data());
    std::vector<double> sizes(3, 0.0);
    for (const int b : batch) {
        sizes[static_cast<std::size_t>(b)] += 1;
    }
    std::vector<double> sums(3, 0.0);
    std::vector<double> counts(3, 0.0);
    for (const std::size_t i : queries) {
        double other = 0;
        for (const auto& neighbour : oracle.find_nearest_neighbors(static_cast<int>(i), k)) {
            other += batch[static_cast<std::size_t>(neighbour.first)] != batch[i] ? 1 : 0;
        }
        const auto b = static_cast<std::size_t>(batch[i]);
        sums[b] += (other / k) / ((static_cast<double>(n) - sizes[b]) / static_cast<double>(n - 1));
        counts[b] += 1;
    }
    const pairmend::report::Mixing mixing =
        pairmend::report::neighbourhood_mixing(after, 2, batch, 3, k, 2, queries);
    double weighted = 0;
    for (std::size_t b = 0; b < 3; ++b) {
        EXPECT_NEAR(mixing.per_batch[b], sums[b] / counts[b], 1e-12) << b;
        weighted += sums[b] / counts[b] * sizes[b];
    }
    EXPECT_NEAR(mixing.overall, weighted / static_cast<double>(n), 1e-12);

    const auto sorted_neighbours = [k](const std::vector<double>& rows, std::size_t i) {
        const pairmend_test::BruteForce index(2, static_cast<int>(rows.size() / 2), rows.data());
        std::vector<int> ids;
        for (const auto& neighbour : index.find_nearest_neighbors(static_cast<int>(i), k)) {
            ids.push_back(neighbour.first);
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    double jaccard = 0;
    for (const std::size_t i : queries) {
        const std::vector<int> a = sorted_neighbours(before, i);
        const std::vector<int> b = sorted_neighbours(after, i);
        std::vector<int> common;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
        jaccard += static_cast<double>(common.size()) / static_cast<double>(2 * k - common.size());
    }
    EXPECT_NEAR(pairmend::report::structure_kept(before, after, 2, k, 2, queries),
                jaccard / static_cast<double>(queries.size()), 1e-12);
}

TEST(StructureKept, OneForShiftsAndScalingLowForAScrambledBatch) {
    const std::vector<double> before = pairmend_test::shifted_batch(3, 1200, kCentres, {0, 0, 0}, 1.0, 5);
    std::vector<double> shifted(before);
    std::vector<double> scaled(before);
    for (std::size_t v = 0; v < before.size(); ++v) {
        shifted[v] += v % 3 == 0 ? 4.0 : -1.5;
        scaled[v] *= 3.0;
    }
    EXPECT_DOUBLE_EQ(pairmend::report::structure_kept(before, shifted, 3, 15, 2, all_events(1200)), 1.0);
    EXPECT_DOUBLE_EQ(pairmend::report::structure_kept(before, scaled, 3, 15, 2,
                                                      pairmend::report::spread_selection(1200, 100)),
                     1.0);

    // A correction that hands every event another event's values keeps no neighbourhood.
    std::vector<std::size_t> order = all_events(1200);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(8));
    std::vector<double> scrambled(before.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        std::copy_n(before.begin() + static_cast<std::ptrdiff_t>(3 * order[i]), 3,
                    scrambled.begin() + static_cast<std::ptrdiff_t>(3 * i));
    }
    EXPECT_LT(pairmend::report::structure_kept(before, scrambled, 3, 15, 2, all_events(1200)), 0.05);

    // Two events are each other's only neighbour; one event has none.
    EXPECT_DOUBLE_EQ(pairmend::report::structure_kept({0, 1}, {5, 3}, 1, 15, 1, all_events(2)), 1.0);
    EXPECT_TRUE(std::isnan(pairmend::report::structure_kept({0}, {1}, 1, 15, 1, all_events(1))));
    EXPECT_THROW(pairmend::report::structure_kept({0, 1}, {0}, 1, 15, 1, all_events(1)),
                 std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// Displacements and the noise floor

TEST(NoiseFloor, DisplacementAndDeviationByHand) {
    EXPECT_DOUBLE_EQ(pairmend::report::rms_displacement({0, 0}, {3, 4}), std::sqrt(12.5));
    EXPECT_DOUBLE_EQ(pairmend::report::rms_displacement({}, {}), 0.0);
    EXPECT_THROW(pairmend::report::rms_displacement({0}, {}), std::invalid_argument);
    const std::vector<double> sd = pairmend::report::parameter_deviations({1, 10, 3, 10}, 2);
    EXPECT_DOUBLE_EQ(sd[0], std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(sd[1], 0.0);
}

TEST(NoiseFloor, TooSmallABatchIsExplainedNotCorrected) {
    mnncorrect::Options options;
    options.num_neighbors = 15;
    const mnncorrect::MnnCorrect<int, double> engine(options);
    const std::vector<double> rows = pairmend_test::shifted_batch(2, 31, {0, 0}, {0, 0}, 1.0, 4);
    const pairmend::report::SplitBatchFloor floor =
        pairmend::report::split_batch_floor(rows, 2, 1.0, engine, 1);
    EXPECT_FALSE(floor.computed);
    EXPECT_EQ(floor.reason,
              "The noise floor was not measured: the first reference batch has 31 events in the "
              "report's sample, and splitting it into two halves that can be corrected with 15 "
              "neighbours needs at least 32.");
    const std::vector<double> enough = pairmend_test::shifted_batch(2, 32, {0, 0}, {0, 0}, 1.0, 4);
    const pairmend::report::SplitBatchFloor measured =
        pairmend::report::split_batch_floor(enough, 2, 1.0, engine, 1);
    EXPECT_TRUE(measured.computed) << measured.reason;
    EXPECT_EQ(measured.reference + measured.moved, 32U);
    EXPECT_GT(measured.displacement, 0.0);
    // The same seed gives the same split and floor.
    EXPECT_EQ(pairmend::report::split_batch_floor(enough, 2, 1.0, engine, 1).displacement,
              measured.displacement);
}

TEST(NoiseFloor, ALargeShiftIsFarAboveTheFloorAndNoBatchEffectIsWarnedAbout) {
    const TwoBatchRun shifted(1500, 6.0, TwoBatchRun::Correction::Engine);
    const pairmend::report::QcSummary summary = pairmend::report::summarize_run(shifted.input);
    ASSERT_TRUE(summary.noise_floor.computed) << summary.noise_floor.reason;
    EXPECT_EQ(summary.noise_floor.label, 4);
    EXPECT_EQ(summary.noise_floor.reference + summary.noise_floor.moved, 1500U);
    const pairmend::report::BatchSummary& moved = batch_of(summary, 8);
    const pairmend::report::BatchSummary& reference = batch_of(summary, 4);
    // A shift of 6 in every parameter, in units of the reference's mean standard deviation.
    const double unit = summary.displacement_unit;
    EXPECT_GT(unit, 1.0);
    // The engine removes most of the shift (here about 5 of 6 per parameter).
    EXPECT_NEAR(moved.displacement, 6.0 / unit, 0.2 * 6.0 / unit);
    EXPECT_GT(moved.displacement_to_floor, 10.0);
    EXPECT_FALSE(moved.near_floor);
    EXPECT_EQ(reference.displacement, 0.0);
    EXPECT_TRUE(std::isnan(reference.displacement_to_floor));
    EXPECT_TRUE(std::isnan(reference.structure_kept));
    EXPECT_LT(moved.mixing_before, 0.05);
    EXPECT_GT(moved.mixing_after, 0.5);
    // Local averaging of the correction vectors changes some neighbourhoods inside the populations.
    EXPECT_GT(moved.structure_kept, 0.3);
    const std::string html = pairmend::report::render_qc_report(shifted.input, summary);
    EXPECT_EQ(html.find("near-floor-warning"), std::string::npos);
    EXPECT_NE(html.find("<strong class=\"floor\">"), std::string::npos);

    // Without a batch effect the correction only moves events about as far as the floor.
    const TwoBatchRun same(1500, 0.0, TwoBatchRun::Correction::Engine);
    const pairmend::report::QcSummary calm = pairmend::report::summarize_run(same.input);
    ASSERT_TRUE(calm.noise_floor.computed);
    EXPECT_TRUE(batch_of(calm, 8).near_floor) << batch_of(calm, 8).displacement_to_floor;
    const std::string warned = pairmend::report::render_qc_report(same.input, calm);
    EXPECT_NE(warned.find("near-floor-warning\" data-batch=\"8\""), std::string::npos);
    EXPECT_NE(warned.find("Most of its movement is what the method does to a batch with no batch effect"),
              std::string::npos);
    EXPECT_NE(warned.find("A larger number of neighbours lowers this floor"), std::string::npos);
}

TEST(NoiseFloor, LeftOutWithASentenceWithoutSettingsOrMergeOrder) {
    TwoBatchRun run(200, 3.0, TwoBatchRun::Correction::RemoveShift);
    run.input.engine.reset();
    const pairmend::report::QcSummary summary = pairmend::report::summarize_run(run.input);
    EXPECT_FALSE(summary.noise_floor.computed);
    EXPECT_NE(
        pairmend::report::render_qc_report(run.input, summary).find("this run applied a model learnt before"),
        std::string::npos);
    EXPECT_TRUE(std::isnan(batch_of(summary, 8).displacement_to_floor));

    // A run corrected another way repeats its own correction on the halves instead of the engine's.
    std::size_t split_events = 0;
    run.input.split_correction = pairmend::report::SplitCorrection{
        5, 1,
        [&](int ndim, const std::vector<double>& first, const std::vector<double>& second,
            std::vector<double>& output) {
            split_events = (first.size() + second.size()) / static_cast<std::size_t>(ndim);
            std::copy(first.begin(), first.end(), output.begin());
            std::transform(second.begin(), second.end(),
                           output.begin() + static_cast<std::ptrdiff_t>(first.size()),
                           [](double value) { return value + 1; });
            return true;
        }};
    const pairmend::report::QcSummary repeated = pairmend::report::summarize_run(run.input);
    ASSERT_TRUE(repeated.noise_floor.computed);
    EXPECT_EQ(split_events, repeated.noise_floor.reference + repeated.noise_floor.moved);
    EXPECT_GT(repeated.noise_floor.displacement, 0);
    run.input.split_correction->correct = [](int, const std::vector<double>&, const std::vector<double>&,
                                             std::vector<double>&) { return false; };
    const pairmend::report::QcSummary unpaired = pairmend::report::summarize_run(run.input);
    EXPECT_FALSE(unpaired.noise_floor.computed);
    EXPECT_NE(unpaired.noise_floor.reason.find("share no mutual nearest neighbours"), std::string::npos);
    run.input.split_correction.reset();

    // With the merge order unknown there is no first reference: every batch gets its structure kept.
    run.input.merge_order.clear();
    run.input.num_pairs.clear();
    const pairmend::report::QcSummary unknown = pairmend::report::summarize_run(run.input);
    EXPECT_DOUBLE_EQ(batch_of(unknown, 4).structure_kept, 1.0);
    EXPECT_NE(unknown.noise_floor.reason.find("merge order of this run"), std::string::npos);
}

TEST(CorrectionEvidence, IdenticalBatchesAndAPureShiftKeepStructureAndMixAfterwards) {
    const TwoBatchRun run(1000, 8.0, TwoBatchRun::Correction::RemoveShift);
    const pairmend::report::QcSummary summary = pairmend::report::summarize_run(run.input);
    const pairmend::report::BatchSummary& moved = batch_of(summary, 8);
    EXPECT_DOUBLE_EQ(moved.structure_kept, 1.0);
    EXPECT_LT(moved.mixing_before, 0.01);
    EXPECT_NEAR(moved.mixing_after, 1.0, 0.1);
    EXPECT_NEAR(summary.mixing_after, 1.0, 0.1);
    EXPECT_EQ(summary.neighbour_events, 2000U);
    EXPECT_EQ(summary.neighbourhood_queries, 2000U);
}

// ---------------------------------------------------------------------------------------------
// Principal components

TEST(PrincipalComponents, EigenDecompositionIsExactAndSignsAreFixed) {
    const pairmend::report::SymmetricEigen two = pairmend::report::symmetric_eigen({2, 1, 1, 2}, 2);
    EXPECT_NEAR(two.values[0], 3.0, 1e-12);
    EXPECT_NEAR(two.values[1], 1.0, 1e-12);
    EXPECT_NEAR(two.vectors[0], std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(two.vectors[1], std::sqrt(0.5), 1e-12);
    // Equal magnitudes: the first entry is made positive.
    EXPECT_NEAR(two.vectors[2], std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(two.vectors[3], -std::sqrt(0.5), 1e-12);

    // A random symmetric 12 x 12 matrix: A v = lambda v, orthonormal vectors, decreasing values.
    const std::size_t n = 12;
    std::mt19937_64 rng(17);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> a(n * n);
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = p; q < n; ++q) {
            a[p * n + q] = a[q * n + p] = noise(rng);
        }
    }
    const pairmend::report::SymmetricEigen eigen = pairmend::report::symmetric_eigen(a, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            EXPECT_LE(eigen.values[i], eigen.values[i - 1]);
        }
        for (std::size_t p = 0; p < n; ++p) {
            double av = 0;
            for (std::size_t q = 0; q < n; ++q) {
                av += a[p * n + q] * eigen.vectors[i * n + q];
            }
            EXPECT_NEAR(av, eigen.values[i] * eigen.vectors[i * n + p], 1e-10);
        }
        for (std::size_t j = 0; j < n; ++j) {
            double dot = 0;
            for (std::size_t p = 0; p < n; ++p) {
                dot += eigen.vectors[i * n + p] * eigen.vectors[j * n + p];
            }
            EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-10);
        }
    }
    EXPECT_THROW(pairmend::report::symmetric_eigen({1, 2, 3}, 2), std::invalid_argument);
}

TEST(PrincipalComponents, AxesFollowTheSpreadAndProjectionsAreCentred) {
    // Events spread along (0.6, 0.8, 0) with a little noise in the third parameter.
    std::mt19937_64 rng(2);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> rows;
    for (int i = 0; i < 500; ++i) {
        const double t = 10.0 * noise(rng);
        rows.insert(rows.end(), {5 + 0.6 * t, -1 + 0.8 * t, 0.1 * noise(rng)});
    }
    const pairmend::report::PrincipalAxes axes = pairmend::report::principal_axes(rows, 3, 500, 2);
    ASSERT_EQ(axes.axes.size(), 6U);
    EXPECT_NEAR(axes.axes[0], 0.6, 1e-6);
    EXPECT_NEAR(axes.axes[1], 0.8, 1e-6);
    EXPECT_GT(axes.variance_share[0], 0.999);
    EXPECT_NEAR(std::abs(axes.axes[5]), 1.0, 1e-6);
    const std::vector<double> coordinates = pairmend::report::project_onto_axes(rows, axes);
    double sum = 0;
    for (std::size_t i = 0; i < 500; ++i) {
        sum += coordinates[2 * i];
    }
    EXPECT_NEAR(sum / 500, 0.0, 1e-9);
}

// ---------------------------------------------------------------------------------------------
// JSON figures and files

TEST(QcJson, NumbersAndTextsAreValidJsonAndRoundTrip) {
    EXPECT_EQ(pairmend::report::json_number(0.1), "0.1");
    EXPECT_EQ(pairmend::report::json_number(3), "3");
    EXPECT_EQ(pairmend::report::json_number(-0.0), "0");
    EXPECT_EQ(pairmend::report::json_number(std::nan("")), "null");
    EXPECT_EQ(pairmend::report::json_number(std::numeric_limits<double>::infinity()), "null");
    std::mt19937_64 rng(1);
    for (int i = 0; i < 1000; ++i) {
        const double value =
            std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 150);
        const std::string text = pairmend::report::json_number(i % 2 == 0 ? value : -value);
        rapidjson::Document parsed;
        parsed.Parse(text.c_str());
        ASSERT_FALSE(parsed.HasParseError()) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), i % 2 == 0 ? value : -value) << text;
    }
    EXPECT_EQ(pairmend::report::json_string("a\"b\\c\n\x01\xC3\xA9"),
              "\"a\\\"b\\\\c\\u000a\\u0001\xC3\xA9\"");
    EXPECT_EQ(pairmend::report::qc_json_path("/run/report.html"), "/run/report.json");
    EXPECT_EQ(pairmend::report::qc_json_path("report"), "report.json");
    EXPECT_EQ(pairmend::report::qc_json_path("out.v2/report.htm"), "out.v2/report.json");
    EXPECT_EQ(pairmend::report::qc_json_path("figures.json"), "figures.json.json");
}

/// The number in the first table cell of class `css` in the row of batch `label` of the evidence table.
double shown(const std::string& html, int label, const std::string& css) {
    const std::size_t table = html.find("<table id=\"evidence-table\">");
    const std::string rows = html.substr(table, html.find("</table>", table) - table);
    const std::regex cell("<tr data-batch=\"" + std::to_string(label) + "\".*?<td class=\"num " + css +
                          "\"[^>]*>([^<]+)</td>");
    std::smatch match;
    if (!std::regex_search(rows, match, cell)) {
        ADD_FAILURE() << "no " << css << " for batch " << label;
        return std::nan("");
    }
    return match[1] == "&ndash;" ? std::nan("") : std::stod(match[1]);
}

void expect_shown(double html_value, const rapidjson::Value& json_value) {
    if (json_value.IsNull()) {
        EXPECT_TRUE(std::isnan(html_value));
        return;
    }
    ASSERT_TRUE(json_value.IsNumber());
    // The report shows three significant digits.
    EXPECT_NEAR(html_value, json_value.GetDouble(), 5e-3 * std::abs(json_value.GetDouble()) + 1e-12);
}

TEST(QcJson, HoldsTheNumbersTheReportShowsAndIsTheSameForTheSameRun) {
    const TwoBatchRun run(800, 5.0, TwoBatchRun::Correction::Engine);
    const fs::path dir = fs::temp_directory_path() / "pairmend_test_report_json";
    fs::remove_all(dir);
    fs::create_directories(dir);
    pairmend::report::write_qc_report((dir / "report.html").string(), run.input);
    const std::string html = read_file(dir / "report.html");
    const std::string json = read_file(dir / "report.json");

    rapidjson::Document doc;
    doc.Parse(json.c_str());
    ASSERT_FALSE(doc.HasParseError()) << json;
    ASSERT_TRUE(doc.IsObject());
    const auto& parameters = doc["parameters"];
    ASSERT_EQ(parameters.Size(), 3U);
    EXPECT_STREQ(parameters[1].GetString(), "CD4");
    ASSERT_EQ(doc["merge_order"].Size(), 2U);
    EXPECT_EQ(doc["merge_order"][0]["label"].GetInt(), 4);
    EXPECT_TRUE(doc["merge_order"][0]["pairs"].IsNull());
    EXPECT_EQ(doc["merge_order"][1]["pairs"].GetInt(), run.input.num_pairs[0]);
    EXPECT_EQ(doc["noise_floor"]["label"].GetInt(), 4);
    std::smatch floor;
    ASSERT_TRUE(std::regex_search(html, floor, std::regex("<strong class=\"floor\">([^<]+)</strong>")));
    expect_shown(std::stod(floor[1]), doc["noise_floor"]["displacement"]);

    const auto& batches = doc["batches"];
    ASSERT_EQ(batches.Size(), 2U);
    for (const auto& batch : batches.GetArray()) {
        const int label = batch["label"].GetInt();
        EXPECT_EQ(batch["events"].GetUint(), 800U);
        expect_shown(shown(html, label, "mixing-before"), batch["mixing_before"]);
        expect_shown(shown(html, label, "mixing-after"), batch["mixing_after"]);
        expect_shown(shown(html, label, "structure-kept"), batch["structure_kept"]);
        expect_shown(shown(html, label, "displacement"), batch["displacement"]);
        expect_shown(shown(html, label, "to-floor"), batch["displacement_to_floor"]);
        ASSERT_EQ(batch["emd_before"].Size(), 3U);
        ASSERT_EQ(batch["emd_after"].Size(), 3U);
        // The per-parameter distance tables show four significant digits.
        for (rapidjson::SizeType p = 0; p < 3; ++p) {
            const std::size_t section = html.find("data-parameter=\"" + std::to_string(p + 1) + "\"");
            const std::string part = html.substr(section, html.find("</section>", section) - section);
            std::smatch row;
            ASSERT_TRUE(std::regex_search(part, row,
                                          std::regex("<tr data-batch=\"" + std::to_string(label) +
                                                     "\">.*?class=\"num before\">([^<]+)</td><td class=\"num "
                                                     "after\">([^<]+)</td>")));
            EXPECT_NEAR(std::stod(row[1]), batch["emd_before"][p].GetDouble(),
                        1e-3 * batch["emd_before"][p].GetDouble());
            EXPECT_NEAR(std::stod(row[2]), batch["emd_after"][p].GetDouble(),
                        1e-3 * batch["emd_after"][p].GetDouble() + 1e-9);
        }
    }
    EXPECT_TRUE(batches[0]["structure_kept"].IsNull());
    EXPECT_TRUE(batches[0]["displacement_to_floor"].IsNull());
    EXPECT_EQ(batches[0]["displacement"].GetDouble(), 0.0);
    const std::string all_row = html.substr(html.find("<tr><th>All batches</th>"), 200);
    std::smatch overall;
    ASSERT_TRUE(std::regex_search(all_row, overall, std::regex("class=\"num mixing-before\">([^<]+)</td>")));
    expect_shown(std::stod(overall[1]), doc["mixing"]["before"]);

    // The same run again: the same JSON bytes, and the same report apart from the measured times.
    pairmend::report::write_qc_report((dir / "again.html").string(), run.input);
    EXPECT_TRUE(read_file(dir / "again.json") == json);
    const auto without_times = [](const std::string& text) {
        const std::size_t start = text.find("<table id=\"phases\">");
        return text.substr(0, start) + text.substr(text.find("</table>", start));
    };
    EXPECT_TRUE(without_times(read_file(dir / "again.html")) == without_times(html));
    fs::remove_all(dir);
}

TEST(QcJson, AFileThatCannotBeWrittenLeavesNeitherFileBehind) {
    const TwoBatchRun run(100, 2.0, TwoBatchRun::Correction::RemoveShift);
    const fs::path dir = fs::temp_directory_path() / "pairmend_test_report_files";
    fs::remove_all(dir);
    fs::create_directories(dir / "report.json"); // a folder where the JSON file should go
    const std::string path = (dir / "report.html").string();
    try {
        pairmend::report::write_qc_report(path, run.input);
        FAIL() << "the JSON file was written over a folder";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Unable to write the quality-control report to " + (dir / "report.json").string());
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, (std::vector<std::string>{"report.json"}));

    // An existing report is replaced only together with its JSON.
    fs::remove_all(dir / "report.json");
    std::ofstream(path) << "old report";
    pairmend::report::write_qc_report(path, run.input);
    EXPECT_NE(read_file(path).find("</html>"), std::string::npos);
    EXPECT_NE(read_file(dir / "report.json").find("\"batches\""), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}

TEST(QcReport, StaysUnderTwoMegabytesAtEightBatches) {
    // 8 batches and 64 parameters: the curve and point budgets bound the size, whatever the number of
    // events beyond the points shown.
    const int ndim = 64;
    const std::size_t nobs = 8 * 2500;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> values(nobs * ndim);
    for (double& v : values) {
        v = noise(rng);
    }
    std::vector<int> labels(nobs);
    for (std::size_t i = 0; i < nobs; ++i) {
        labels[i] = static_cast<int>(i % 8);
    }
    pairmend::report::QcReportInput input;
    input.ndim = ndim;
    input.nobs = nobs;
    input.uncorrected = values.data();
    input.corrected = values.data();
    input.batch_labels = labels.data();
    pairmend::report::QcReportOptions options;
    options.max_queries_per_batch = 50; // the size does not depend on it; it keeps the test quick
    options.num_threads = 2;
    const std::string html = pairmend::report::render_qc_report(input, options);
    EXPECT_LT(html.size(), 2U * 1024U * 1024U);
    // Every batch appears in both panels of the 2-D view.
    const std::size_t view = html.find("<section id=\"view\">");
    ASSERT_NE(view, std::string::npos);
    const std::string section = html.substr(view, html.find("</section>", view) - view);
    for (int label = 0; label < 8; ++label) {
        const std::string title = "<title>batch " + std::to_string(label) + "</title></path>";
        std::size_t count = 0;
        for (std::size_t at = section.find(title); at != std::string::npos;
             at = section.find(title, at + 1)) {
            ++count;
        }
        EXPECT_GE(count, 2U) << label;
    }
}

} // namespace

TEST(QcReportGuards, MarkersMovedApartAreFlaggedAndTheLargestEffectIsShownInTwoDimensions) {
    // A "correction" that adds the batch effect instead of removing it makes every marker worse.
    TwoBatchRun run(400, 3.0, TwoBatchRun::Correction::RemoveShift);
    std::swap(run.input.uncorrected, run.input.corrected);
    const pairmend::report::QcSummary worse = pairmend::report::summarize_run(run.input);
    for (const pairmend::report::ParameterSummary& parameter : worse.parameters) {
        EXPECT_TRUE(parameter.further_apart) << parameter.name;
    }
    const std::string html = pairmend::report::render_qc_report(run.input, worse);
    EXPECT_NE(html.find("in the parameters CD3, CD4 and CD8 the batches end further apart"),
              std::string::npos);
    rapidjson::Document json;
    json.Parse(pairmend::report::render_qc_json(run.input, worse).c_str());
    ASSERT_FALSE(json.HasParseError());
    EXPECT_TRUE(json["distance_overview"][0]["further_apart"].GetBool());

    // The pair is the two parameters furthest apart before; each batch's shares sum to one.
    const pairmend::report::MarkerPairSummary& pair = worse.marker_pair;
    ASSERT_TRUE(pair.shown);
    EXPECT_NE(pair.first, pair.second);
    for (std::size_t b = 0; b < 2; ++b) {
        EXPECT_NEAR(std::accumulate(pair.before[b].begin(), pair.before[b].end(), 0.0), 1.0, 1e-12);
        EXPECT_NEAR(std::accumulate(pair.after[b].begin(), pair.after[b].end(), 0.0), 1.0, 1e-12);
    }
    EXPECT_EQ(json["marker_pair"]["batches"].Size(), 2u);
    EXPECT_NE(html.find("<section id=\"marker-pair\">"), std::string::npos);

    // The real correction brings them closer: no flag.
    std::swap(run.input.uncorrected, run.input.corrected);
    const pairmend::report::QcSummary better = pairmend::report::summarize_run(run.input);
    EXPECT_EQ(pairmend::report::render_qc_report(run.input, better).find("further-apart-warning"),
              std::string::npos);
}

namespace {

// One parameter: batch 1 holds mock (0..3) and virus (10..13), batch 2 mock only, shifted by 5;
// the correction moves batch 2 by `move`.
pairmend::report::ConditionFigures figures_of_conditions(double move) {
    const std::vector<double> before{0, 1, 2, 3, 10, 11, 12, 13, 5, 6, 7, 8};
    const std::vector<int> labels{1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2};
    const std::vector<int> conditions{0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0};
    std::vector<double> after = before;
    for (std::size_t i = 8; i < after.size(); ++i) {
        after[i] += move;
    }
    pairmend::report::QcReportInput input;
    input.ndim = 1;
    input.nobs = before.size();
    input.uncorrected = before.data();
    input.corrected = after.data();
    input.batch_labels = labels.data();
    input.condition_names = {"mock", "virus"};
    input.conditions = conditions.data();
    return pairmend::report::condition_figures(input);
}

} // namespace

TEST(ConditionFigures, DesignDistancesPerConditionAndBiologyKeptWithTheirFlag) {
    const pairmend::report::ConditionFigures corrected = figures_of_conditions(-5);
    EXPECT_EQ(corrected.batches, (std::vector<int>{1, 2}));
    EXPECT_EQ(corrected.events, (std::vector<std::vector<std::size_t>>{{4, 4}, {4, 0}}));
    ASSERT_EQ(corrected.shared.size(), 1u); // the virus is held by batch 1 only
    EXPECT_EQ(corrected.shared[0].name, "mock");
    EXPECT_EQ(corrected.shared[0].batches, (std::vector<int>{1, 2}));
    EXPECT_DOUBLE_EQ(corrected.shared[0].emd_before, 5.0);
    EXPECT_DOUBLE_EQ(corrected.shared[0].emd_after, 0.0);
    EXPECT_FALSE(corrected.shared[0].moved_apart);
    ASSERT_EQ(corrected.biology.size(), 1u);
    EXPECT_EQ(corrected.biology[0].batch, 1);
    EXPECT_DOUBLE_EQ(corrected.biology[0].kept, 1.0);

    const pairmend::report::ConditionFigures apart = figures_of_conditions(1);
    EXPECT_DOUBLE_EQ(apart.shared[0].emd_after, 6.0);
    EXPECT_TRUE(apart.shared[0].moved_apart);
}
