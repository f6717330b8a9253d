// Tests of the merge-order drivers (automatic and custom order), the restoration of input
// order and the batch variance used by the reference policies. The drivers run on the
// exhaustive index, so that every pair count can be checked against an exhaustive oracle.

#include "brute_force.hpp"
#include "point_sets.hpp"
#include "shifted_batches.hpp"

#include "mnncorrect/AutomaticOrder.hpp"
#include "mnncorrect/CustomOrder.hpp"
#include "mnncorrect/IndexBuilder.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "mnncorrect/compute_total_variance.hpp"
#include "mnncorrect/restore_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Builder = mnncorrect::IndexBuilder<int, double>;
using Automatic = mnncorrect::AutomaticOrder<int, double, Builder>;
using Custom = mnncorrect::CustomOrder<int, double, Builder>;

constexpr int kNdim = 3;
constexpr int kNeighbors = 5;
constexpr double kNumMads = 3;
constexpr int kRobustIterations = 2;
constexpr double kRobustTrim = 0.25;
constexpr size_t kNoCap = static_cast<size_t>(-1);

/// Three well-separated populations in three dimensions.
const std::vector<double> kCentres{0, 0, 0, 20, 0, 0, 0, 20, 0};

/// Batches of the given sizes, each the same populations moved by its own shift (seeded by position).
struct Batches {
    std::vector<size_t> sizes;
    std::vector<std::vector<double>> values;

    Batches(const std::vector<size_t>& batch_sizes, const std::vector<std::vector<double>>& shifts,
            std::uint64_t seed)
        : sizes(batch_sizes) {
        for (size_t b = 0; b < sizes.size(); ++b) {
            values.push_back(
                pairmend_test::shifted_batch(kNdim, sizes[b], kCentres, shifts[b], 1.0, seed + b));
        }
    }

    std::vector<const double*> pointers() const {
        std::vector<const double*> out;
        for (const auto& v : values) {
            out.push_back(v.data());
        }
        return out;
    }

    size_t total() const { return std::accumulate(sizes.begin(), sizes.end(), size_t{0}); }
};

const std::vector<std::vector<double>> kShifts{{0, 0, 0}, {3, 1, 0}, {-2, 2, 1}, {1, -3, 2}, {2, 2, -2}};

/// Rows [first, first + n) of an output buffer equal the given batch input bit for bit.
void expect_rows_equal(const std::vector<double>& output, size_t first, const std::vector<double>& input) {
    const size_t offset = first * kNdim;
    ASSERT_LE(offset + input.size(), output.size());
    for (size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(output[offset + i], input[i]) << "value " << i;
    }
}

// --- Restoring input order ---------------------------------------------------------------

/// Merge-ordered rows built by hand: row values (i, -i) for input event i.
std::vector<double> merged_rows(const std::vector<int>& merge_order, const std::vector<int>& batch) {
    std::vector<double> rows;
    for (const int b : merge_order) {
        for (size_t i = 0; i < batch.size(); ++i) {
            if (batch[i] == b) {
                rows.push_back(static_cast<double>(i));
                rows.push_back(-static_cast<double>(i));
            }
        }
    }
    return rows;
}

std::vector<size_t> count_sizes(const std::vector<int>& batch, size_t nbatches) {
    std::vector<size_t> sizes(nbatches);
    for (const int b : batch) {
        ++sizes[static_cast<size_t>(b)];
    }
    return sizes;
}

TEST(RestoreOrder, ReorderFollowsEveryCycleOfAPermutation) {
    std::mt19937_64 rng(20240611);
    for (const size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{9}, size_t{64}}) {
        std::vector<size_t> positions(n);
        std::iota(positions.begin(), positions.end(), size_t{0});
        std::shuffle(positions.begin(), positions.end(), rng);

        std::vector<double> data(2 * n);
        std::iota(data.begin(), data.end(), 0.0);
        std::vector<double> expected(2 * n);
        for (size_t i = 0; i < n; ++i) {
            expected[2 * i] = data[2 * positions[i]];
            expected[2 * i + 1] = data[2 * positions[i] + 1];
        }
        mnncorrect::restore::reorder(2, n, positions, data.data());
        EXPECT_EQ(data, expected) << "n = " << n;
    }

    // With no values per row only the flags are walked.
    const std::vector<size_t> swap{1, 0};
    mnncorrect::restore::reorder(0, 2, swap, static_cast<double*>(nullptr));
}

TEST(RestoreOrder, BatchIdFormPutsEveryEventBackInItsInputRow) {
    struct Case {
        std::vector<int> batch;
        std::vector<int> merge_order;
    };
    const std::vector<Case> cases{
        {{0, 0, 1, 1}, {0, 1}},                   // sorted
        {{0, 0, 1, 1}, {1, 0}},                   // sorted, merged the other way round
        {{1, 1, 1, 0, 0}, {0, 1}},                // grouped but descending
        {{0, 1, 0, 1, 2, 0, 2}, {2, 0, 1}},       // interleaved
        {{2, 2, 0, 1, 0, 2, 1, 1, 0}, {1, 2, 0}}, // interleaved, three batches
        {{0, 2, 0, 2}, {1, 2, 0}},                // batch 1 has no events
    };
    for (const auto& c : cases) {
        const auto sizes = count_sizes(c.batch, c.merge_order.size());
        std::vector<double> rows = merged_rows(c.merge_order, c.batch);
        mnncorrect::restore_order(2, c.merge_order, sizes, c.batch.data(), rows.data());
        for (size_t i = 0; i < c.batch.size(); ++i) {
            EXPECT_EQ(rows[2 * i], static_cast<double>(i));
            EXPECT_EQ(rows[2 * i + 1], -static_cast<double>(i));
        }
    }
}

TEST(RestoreOrder, GroupedFormWritesBatchesInIdOrder) {
    const std::vector<int> batch{0, 0, 0, 1, 2, 2};
    for (const std::vector<int>& merge_order :
         {std::vector<int>{0, 1, 2}, std::vector<int>{2, 0, 1}, std::vector<int>{1, 2, 0}}) {
        std::vector<double> rows = merged_rows(merge_order, batch);
        mnncorrect::restore_order(2, merge_order, count_sizes(batch, 3), rows.data());
        for (size_t i = 0; i < batch.size(); ++i) {
            EXPECT_EQ(rows[2 * i], static_cast<double>(i));
        }
    }
}

// --- Total variance ----------------------------------------------------------------------

TEST(ComputeTotalVariance, MatchesATwoPassComputationFarFromTheOrigin) {
    const int ndim = 4;
    const size_t n = 500;
    std::vector<double> data = pairmend_test::uniform_points(ndim, static_cast<int>(n), 77);
    for (auto& x : data) {
        x = x * 3 + 1e4; // a large offset that would ruin a naive sum of squares
    }

    double rss = 0;
    for (int d = 0; d < ndim; ++d) {
        double mean = 0;
        for (size_t i = 0; i < n; ++i) {
            mean += data[i * ndim + static_cast<size_t>(d)];
        }
        mean /= static_cast<double>(n);
        for (size_t i = 0; i < n; ++i) {
            const double delta = data[i * ndim + static_cast<size_t>(d)] - mean;
            rss += delta * delta;
        }
    }

    EXPECT_NEAR(mnncorrect::compute_total_variance(ndim, n, data.data(), true), rss, rss * 1e-9);
    EXPECT_NEAR(mnncorrect::compute_total_variance(ndim, n, data.data(), false), rss / (n - 1), rss * 1e-9);

    // One event: no spread around its own mean, and no sample variance.
    EXPECT_EQ(mnncorrect::compute_total_variance(ndim, 1, data.data(), true), 0.0);
    EXPECT_TRUE(std::isnan(mnncorrect::compute_total_variance(ndim, 1, data.data(), false)));

    const std::vector<size_t> sizes{n, 1};
    const std::vector<const double*> pointers{data.data(), data.data()};
    const auto per_batch = mnncorrect::compute_total_variance(ndim, sizes, pointers, true);
    ASSERT_EQ(per_batch.size(), 2u);
    EXPECT_NEAR(per_batch[0], rss, rss * 1e-9);
    EXPECT_EQ(per_batch[1], 0.0);
}

// --- Reference policies --------------------------------------------------------------------

size_t first_batch(const Batches& batches, mnncorrect::ReferencePolicy policy) {
    std::vector<double> output(batches.total() * kNdim);
    const Automatic driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                           pairmend_test::build_brute_force, kNeighbors, policy, kNoCap, 1);
    return static_cast<size_t>(driver.merge_order().at(0));
}

TEST(ReferencePolicy, InputAndMaxSizePickTheirBatch) {
    const Batches batches({5, 9, 9}, kShifts, 11);
    EXPECT_EQ(first_batch(batches, mnncorrect::Input), 0u);
    EXPECT_EQ(first_batch(batches, mnncorrect::MaxSize), 1u); // tie between 1 and 2 goes to 1
    EXPECT_EQ(first_batch(batches, static_cast<mnncorrect::ReferencePolicy>(7)), 0u);
}

TEST(ReferencePolicy, VarianceFavoursASmallSpreadBatchAndRssALargeOne) {
    // Batch 0: four events at (+-10, +-10, 0): total variance 2 * 400 / 3, RSS 800.
    // Batch 1: 1000 events at (+-1, +-1, 0): total variance about 2, RSS 2000.
    Batches batches({4, 1000}, {{0, 0, 0}, {0, 0, 0}}, 5);
    for (size_t i = 0; i < 4; ++i) {
        batches.values[0][i * kNdim] = (i % 2 == 0) ? 10 : -10;
        batches.values[0][i * kNdim + 1] = (i / 2 == 0) ? 10 : -10;
        batches.values[0][i * kNdim + 2] = 0;
    }
    for (size_t i = 0; i < 1000; ++i) {
        batches.values[1][i * kNdim] = (i % 2 == 0) ? 1 : -1;
        batches.values[1][i * kNdim + 1] = ((i / 2) % 2 == 0) ? 1 : -1;
        batches.values[1][i * kNdim + 2] = 0;
    }
    EXPECT_EQ(first_batch(batches, mnncorrect::MaxVariance), 0u);
    EXPECT_EQ(first_batch(batches, mnncorrect::MaxRSS), 1u);
}

// --- Merge steps against the exhaustive oracle ---------------------------------------------

TEST(AutomaticOrder, EveryStepMergesTheBatchWithTheMostPairs) {
    const Batches batches({60, 90, 45, 75, 30}, kShifts, 101);
    std::vector<double> output(batches.total() * kNdim);
    Automatic driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                     pairmend_test::build_brute_force, kNeighbors, mnncorrect::Input, kNoCap, 2);
    driver.run(kNumMads, kRobustIterations, kRobustTrim);

    const auto& order = driver.merge_order();
    const auto& pairs = driver.num_pairs();
    ASSERT_EQ(order.size(), 5u);
    ASSERT_EQ(pairs.size(), 4u);
    ASSERT_EQ(order[0], 0);
    expect_rows_equal(output, 0, batches.values[0]);

    // Rows already written are final, so the reference of every step can be read back.
    std::vector<int> waiting{1, 2, 3, 4};
    size_t reference_rows = batches.sizes[0];
    for (size_t step = 1; step < order.size(); ++step) {
        int expected = -1;
        size_t most = 0;
        for (const int w : waiting) {
            const size_t count = pairmend_test::count_mutual_pairs(
                kNdim, reference_rows, output.data(), batches.sizes[static_cast<size_t>(w)],
                batches.values[static_cast<size_t>(w)].data(), kNeighbors);
            if (expected < 0 || count > most) {
                expected = w;
                most = count;
            }
        }
        EXPECT_EQ(order[step], expected) << "step " << step;
        EXPECT_EQ(static_cast<size_t>(pairs[step - 1]), most) << "step " << step;
        waiting.erase(std::find(waiting.begin(), waiting.end(), order[step]));
        reference_rows += batches.sizes[static_cast<size_t>(order[step])];
    }
}

TEST(AutomaticOrder, EqualPairCountsMergeTheLowestIdWhateverTheThreadCount) {
    // Batches 1 to 4 are identical, so they tie at every step.
    Batches batches({50, 40, 40, 40, 40}, {kShifts[0], kShifts[1], kShifts[1], kShifts[1], kShifts[1]}, 3);
    for (size_t b = 2; b < 5; ++b) {
        batches.values[b] = batches.values[1];
    }
    for (const int threads : {1, 2, 3, 8}) {
        std::vector<double> output(batches.total() * kNdim);
        Automatic driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                         pairmend_test::build_brute_force, kNeighbors, mnncorrect::Input, kNoCap, threads);
        driver.run(kNumMads, kRobustIterations, kRobustTrim);
        EXPECT_EQ(driver.merge_order(), (std::vector<int>{0, 1, 2, 3, 4})) << threads << " threads";
    }
}

TEST(CustomOrder, FusedNeighboursGiveThePairsOfTheWholeReference) {
    const Batches batches({60, 90, 45, 75}, kShifts, 202);
    const std::vector<int> order{2, 0, 3, 1};
    std::vector<double> output(batches.total() * kNdim);
    Custom driver(kNdim, batches.sizes, batches.pointers(), output.data(), pairmend_test::build_brute_force,
                  kNeighbors, order, kNoCap, 3);
    driver.run(kNumMads, kRobustIterations, kRobustTrim);

    EXPECT_EQ(driver.merge_order(), order);
    ASSERT_EQ(driver.num_pairs().size(), 3u);
    expect_rows_equal(output, 0, batches.values[2]);

    size_t reference_rows = batches.sizes[2];
    for (size_t step = 1; step < order.size(); ++step) {
        const size_t target = static_cast<size_t>(order[step]);
        const size_t expected =
            pairmend_test::count_mutual_pairs(kNdim, reference_rows, output.data(), batches.sizes[target],
                                              batches.values[target].data(), kNeighbors);
        EXPECT_GT(expected, 0u);
        EXPECT_EQ(static_cast<size_t>(driver.num_pairs()[step - 1]), expected) << "step " << step;
        reference_rows += batches.sizes[target];
    }
}

TEST(CustomOrder, ReversedOrderCopiesTheSecondBatchFirst) {
    const Batches batches({40, 50}, kShifts, 9);
    std::vector<double> output(batches.total() * kNdim);
    Custom driver(kNdim, batches.sizes, batches.pointers(), output.data(), pairmend_test::build_brute_force,
                  kNeighbors, std::vector<int>{1, 0}, kNoCap, 1);
    driver.run(kNumMads, kRobustIterations, kRobustTrim);
    EXPECT_EQ(driver.merge_order(), (std::vector<int>{1, 0}));
    ASSERT_EQ(driver.num_pairs().size(), 1u);
    EXPECT_EQ(static_cast<size_t>(driver.num_pairs()[0]),
              pairmend_test::count_mutual_pairs(kNdim, 50, batches.values[1].data(), 40,
                                                batches.values[0].data(), kNeighbors));
    expect_rows_equal(output, 0, batches.values[1]);
}

TEST(MergeOrderDrivers, ResultsDoNotDependOnTheThreadCount) {
    const Batches batches({70, 30, 55, 45, 60}, kShifts, 303);
    std::vector<double> automatic_reference;
    std::vector<double> custom_reference;
    std::vector<int> automatic_order;
    for (const int threads : {1, 2, 3, 8}) {
        std::vector<double> automatic_output(batches.total() * kNdim);
        Automatic automatic(kNdim, batches.sizes, batches.pointers(), automatic_output.data(),
                            pairmend_test::build_brute_force, kNeighbors, mnncorrect::MaxRSS, kNoCap,
                            threads);
        automatic.run(kNumMads, kRobustIterations, kRobustTrim);

        std::vector<double> custom_output(batches.total() * kNdim);
        Custom custom(kNdim, batches.sizes, batches.pointers(), custom_output.data(),
                      pairmend_test::build_brute_force, kNeighbors, std::vector<int>{3, 1, 4, 0, 2}, kNoCap,
                      threads);
        custom.run(kNumMads, kRobustIterations, kRobustTrim);

        if (threads == 1) {
            automatic_reference = automatic_output;
            custom_reference = custom_output;
            automatic_order = automatic.merge_order();
        } else {
            EXPECT_EQ(automatic_output, automatic_reference) << threads << " threads";
            EXPECT_EQ(custom_output, custom_reference) << threads << " threads";
            EXPECT_EQ(automatic.merge_order(), automatic_order) << threads << " threads";
        }
    }
}

// --- Degenerate batch sets ------------------------------------------------------------------

TEST(MergeOrderDrivers, OneBatchOrNoneNeedsNoMerge) {
    const Batches one({25}, kShifts, 4);
    std::vector<double> output(one.total() * kNdim);
    Automatic automatic(kNdim, one.sizes, one.pointers(), output.data(), pairmend_test::build_brute_force,
                        kNeighbors, mnncorrect::MaxRSS, kNoCap, 2);
    automatic.run(kNumMads, kRobustIterations, kRobustTrim);
    EXPECT_EQ(automatic.merge_order(), std::vector<int>{0});
    EXPECT_TRUE(automatic.num_pairs().empty());
    EXPECT_EQ(output, one.values[0]);

    std::fill(output.begin(), output.end(), 0.0);
    Custom custom(kNdim, one.sizes, one.pointers(), output.data(), pairmend_test::build_brute_force,
                  kNeighbors, std::vector<int>{0}, kNoCap, 2);
    custom.run(kNumMads, kRobustIterations, kRobustTrim);
    EXPECT_EQ(custom.merge_order(), std::vector<int>{0});
    EXPECT_TRUE(custom.num_pairs().empty());
    EXPECT_EQ(output, one.values[0]);

    Automatic no_automatic(kNdim, {}, {}, nullptr, pairmend_test::build_brute_force, kNeighbors,
                           mnncorrect::MaxRSS, kNoCap, 2);
    no_automatic.run(kNumMads, kRobustIterations, kRobustTrim);
    EXPECT_TRUE(no_automatic.merge_order().empty());
    EXPECT_TRUE(no_automatic.num_pairs().empty());
    Custom no_custom(kNdim, {}, {}, nullptr, pairmend_test::build_brute_force, kNeighbors, std::vector<int>{},
                     kNoCap, 2);
    no_custom.run(kNumMads, kRobustIterations, kRobustTrim);
    EXPECT_TRUE(no_custom.merge_order().empty());
}

TEST(MergeOrderDrivers, BatchesWithoutEventsJoinWithNoPairsAndNoRows) {
    const Batches batches({40, 0, 50}, kShifts, 6);
    const size_t pairs_02 = pairmend_test::count_mutual_pairs(kNdim, 40, batches.values[0].data(), 50,
                                                              batches.values[2].data(), kNeighbors);
    {
        std::vector<double> output(batches.total() * kNdim);
        Automatic driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                         pairmend_test::build_brute_force, kNeighbors, mnncorrect::Input, kNoCap, 2);
        driver.run(kNumMads, kRobustIterations, kRobustTrim);
        EXPECT_EQ(driver.merge_order(), (std::vector<int>{0, 2, 1}));
        EXPECT_EQ(driver.num_pairs(), (std::vector<int>{static_cast<int>(pairs_02), 0}));
        expect_rows_equal(output, 0, batches.values[0]);
    }
    {
        std::vector<double> output(batches.total() * kNdim);
        Custom driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                      pairmend_test::build_brute_force, kNeighbors, std::vector<int>{0, 1, 2}, kNoCap, 2);
        driver.run(kNumMads, kRobustIterations, kRobustTrim);
        EXPECT_EQ(driver.num_pairs(), (std::vector<int>{0, static_cast<int>(pairs_02)}));
        expect_rows_equal(output, 0, batches.values[0]);
    }
}

TEST(MergeOrderDrivers, AnEmptyFirstBatchLeavesTheNextBatchAsTheReference) {
    const Batches batches({0, 40, 50}, kShifts, 8);
    const size_t pairs_12 = pairmend_test::count_mutual_pairs(kNdim, 40, batches.values[1].data(), 50,
                                                              batches.values[2].data(), kNeighbors);
    {
        std::vector<double> output(batches.total() * kNdim);
        Automatic driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                         pairmend_test::build_brute_force, kNeighbors, mnncorrect::Input, kNoCap, 2);
        driver.run(kNumMads, kRobustIterations, kRobustTrim);
        EXPECT_EQ(driver.merge_order(), (std::vector<int>{0, 1, 2}));
        EXPECT_EQ(driver.num_pairs(), (std::vector<int>{0, static_cast<int>(pairs_12)}));
        expect_rows_equal(output, 0, batches.values[1]);
    }
    {
        std::vector<double> output(batches.total() * kNdim);
        Custom driver(kNdim, batches.sizes, batches.pointers(), output.data(),
                      pairmend_test::build_brute_force, kNeighbors, std::vector<int>{0, 1, 2}, kNoCap, 2);
        driver.run(kNumMads, kRobustIterations, kRobustTrim);
        EXPECT_EQ(driver.num_pairs(), (std::vector<int>{0, static_cast<int>(pairs_12)}));
        expect_rows_equal(output, 0, batches.values[1]);
    }
    {
        const Batches empty({0, 0}, kShifts, 8);
        Automatic driver(kNdim, empty.sizes, empty.pointers(), nullptr, pairmend_test::build_brute_force,
                         kNeighbors, mnncorrect::MaxRSS, kNoCap, 2);
        driver.run(kNumMads, kRobustIterations, kRobustTrim);
        EXPECT_EQ(driver.num_pairs(), std::vector<int>{0});
    }
}

// --- Failures --------------------------------------------------------------------------------

/// Exhaustive index that only reports neighbours within a fixed radius, as a search that
/// finds nothing near far-away points would.
class WithinRadius : public knncolle::Base<int, double, double> {
public:
    WithinRadius(int ndim, int nobs, const double* data) : all_(ndim, nobs, data) {}

    int nobs() const override { return all_.nobs(); }
    int ndim() const override { return all_.ndim(); }

    using knncolle::Base<int, double, double>::observation;
    const double* observation(int index, double* buffer) const override {
        return all_.observation(index, buffer);
    }

    knncolle::NeighborList<int, double> find_nearest_neighbors(int index, int k) const override {
        return within(all_.find_nearest_neighbors(index, k));
    }
    knncolle::NeighborList<int, double> find_nearest_neighbors(const double* query, int k) const override {
        return within(all_.find_nearest_neighbors(query, k));
    }

private:
    static knncolle::NeighborList<int, double> within(knncolle::NeighborList<int, double> found) {
        found.erase(std::find_if(found.begin(), found.end(), [](const auto& e) { return e.second > 10.0; }),
                    found.end());
        return found;
    }

    pairmend_test::BruteForce all_;
};

std::shared_ptr<knncolle::Base<int, double, double>> build_within_radius(int ndim, size_t nobs,
                                                                         const double* data) {
    return std::make_shared<WithinRadius>(ndim, static_cast<int>(nobs), data);
}

TEST(MergeOrderDrivers, ABatchWithoutMutualPairsIsRefusedByName) {
    // Batch 2 lies far away from both others.
    const Batches batches({40, 40, 40}, {{0, 0, 0}, {1, 1, 0}, {500, 500, 500}}, 12);
    const std::string message =
        "Batch 2 has no mutual nearest neighbours with the batches merged before it, so "
        "it cannot be corrected; the batches may not share any cell population.";
    std::vector<double> output(batches.total() * kNdim);

    Automatic automatic(kNdim, batches.sizes, batches.pointers(), output.data(), build_within_radius,
                        kNeighbors, mnncorrect::Input, kNoCap, 2);
    try {
        automatic.run(kNumMads, kRobustIterations, kRobustTrim);
        ADD_FAILURE() << "expected NoMutualPairsError";
    } catch (const mnncorrect::NoMutualPairsError& e) {
        EXPECT_EQ(e.batch(), 2);
        EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(automatic.merge_order(), (std::vector<int>{0, 1}));

    Custom custom(kNdim, batches.sizes, batches.pointers(), output.data(), build_within_radius, kNeighbors,
                  std::vector<int>{0, 2, 1}, kNoCap, 2);
    try {
        custom.run(kNumMads, kRobustIterations, kRobustTrim);
        ADD_FAILURE() << "expected NoMutualPairsError";
    } catch (const mnncorrect::NoMutualPairsError& e) {
        EXPECT_EQ(e.batch(), 2);
    }
}

std::atomic<int> builds{0};

std::shared_ptr<knncolle::Base<int, double, double>> counting_builder(int ndim, size_t nobs,
                                                                      const double* data) {
    ++builds;
    return pairmend_test::build_brute_force(ndim, nobs, data);
}

void expect_refused(const std::vector<int>& order, const std::string& message) {
    const Batches batches({10, 12, 14}, kShifts, 1);
    std::vector<double> output(batches.total() * kNdim);
    builds = 0;
    try {
        Custom driver(kNdim, batches.sizes, batches.pointers(), output.data(), counting_builder, kNeighbors,
                      order, kNoCap, 2);
        ADD_FAILURE() << "expected the order to be refused: " << message;
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(builds.load(), 0) << "an index was built before the order was checked";
}

TEST(CustomOrder, AnOrderThatIsNotAPermutationIsRefusedBeforeAnyIndexIsBuilt) {
    expect_refused(
        {0, 1}, "The merge order names 2 batches, but there are 3; it must name every batch exactly once.");
    expect_refused({0, 1, 1},
                   "The merge order names batch 1 more than once; it must name every batch exactly once.");
    expect_refused({0, 3, 1}, "The merge order names batch 3, but the batch ids run from 0 to 2.");
    expect_refused({-1, 0, 1}, "The merge order names batch -1, but the batch ids run from 0 to 2.");
}

TEST(MergeOrderDrivers, SizeAndPointerCountsMustAgree) {
    const Batches batches({10, 12}, kShifts, 1);
    std::vector<const double*> pointers = batches.pointers();
    pointers.pop_back();
    std::vector<double> output(batches.total() * kNdim);
    const std::string message = "length of 'no' and 'b' must be equal";
    builds = 0;
    try {
        Automatic driver(kNdim, batches.sizes, pointers, output.data(), counting_builder, kNeighbors,
                         mnncorrect::MaxRSS, kNoCap, 2);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
    try {
        Custom driver(kNdim, batches.sizes, pointers, output.data(), counting_builder, kNeighbors,
                      std::vector<int>{0}, kNoCap, 2);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(builds.load(), 0);
}

std::shared_ptr<knncolle::Base<int, double, double>> failing_builder(int ndim, size_t nobs,
                                                                     const double* data) {
    if (nobs == 7) {
        throw std::bad_alloc();
    }
    return pairmend_test::build_brute_force(ndim, nobs, data);
}

TEST(MergeOrderDrivers, AFailedIndexBuildInsideTheParallelLoopReachesTheCaller) {
    const Batches batches({30, 7, 40, 25}, kShifts, 2);
    std::vector<double> output(batches.total() * kNdim);
    for (const int threads : {1, 3}) {
        EXPECT_THROW(Automatic(kNdim, batches.sizes, batches.pointers(), output.data(), failing_builder,
                               kNeighbors, mnncorrect::MaxRSS, kNoCap, threads),
                     std::bad_alloc);
        EXPECT_THROW(Custom(kNdim, batches.sizes, batches.pointers(), output.data(), failing_builder,
                            kNeighbors, std::vector<int>{0, 1, 2, 3}, kNoCap, threads),
                     std::bad_alloc);
    }
}

} // namespace
