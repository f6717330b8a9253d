// The bounded searches of the automatic order's table updates against the unbounded searches
// they replace, list for list, and whole runs with and without them, bit for bit, on data with
// many exact ties (duplicates, zero-inflated columns) and without.

#include "brute_force.hpp"
#include "point_sets.hpp"
#include "shifted_batches.hpp"

#include "knncolle/VpTree.hpp"
#include "mnncorrect/AutomaticOrder.hpp"
#include "mnncorrect/IndexBuilder.hpp"
#include "mnncorrect/blocked_nearer.hpp"
#include "mnncorrect/bounded_updates.hpp"
#include "mnncorrect/fuse_nn_results.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using Tree = mnncorrect::internal::ExactTree<int, double>;
using List = knncolle::NeighborList<int, double>;
using Builder = mnncorrect::IndexBuilder<int, double>;
using Automatic = mnncorrect::AutomaticOrder<int, double, Builder>;

/// Zero-inflated coordinates as in mass cytometry: most values 0, the rest from {1, 2, 3}.
std::vector<double> zero_inflated_points(int ndim, size_t nobs, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> value(-5, 3);
    std::vector<double> out(static_cast<size_t>(ndim) * nobs);
    for (auto& x : out) {
        x = std::max(value(rng), 0);
    }
    return out;
}

/// The VP tree behind the plain index interface, so that the engine cannot see that it is one
/// and runs every search unbounded, as before the bounded searches existed.
class HiddenTree final : public knncolle::Base<int, double, double> {
public:
    HiddenTree(int ndim, size_t nobs, const double* data) : tree_(ndim, static_cast<int>(nobs), data) {}
    int nobs() const override { return tree_.nobs(); }
    int ndim() const override { return tree_.ndim(); }
    using knncolle::Base<int, double, double>::observation;
    const double* observation(int index, double* buffer) const override {
        return tree_.observation(index, buffer);
    }
    List find_nearest_neighbors(int index, int k) const override {
        return tree_.find_nearest_neighbors(index, k);
    }
    List find_nearest_neighbors(const double* query, int k) const override {
        return tree_.find_nearest_neighbors(query, k);
    }

private:
    Tree tree_;
};

std::shared_ptr<knncolle::Base<int, double, double>> build_tree(int ndim, size_t nobs, const double* data) {
    return std::make_shared<Tree>(ndim, static_cast<int>(nobs), data);
}

std::shared_ptr<knncolle::Base<int, double, double>> build_hidden_tree(int ndim, size_t nobs,
                                                                       const double* data) {
    return std::make_shared<HiddenTree>(ndim, nobs, data);
}

/// Old points, new points and queries of one kind of data.
struct Sets {
    std::string name;
    int ndim;
    std::vector<double> old_points, new_points, queries;
};

std::vector<Sets> point_sets() {
    std::vector<Sets> sets;
    for (const int ndim : {4, 20}) {
        const auto seed = static_cast<std::uint64_t>(ndim);
        sets.push_back({"continuous", ndim, pairmend_test::clustered_points(ndim, 200, 5, 0.5, 1000 + seed),
                        pairmend_test::clustered_points(ndim, 150, 5, 0.5, 1100 + seed),
                        pairmend_test::clustered_points(ndim, 60, 5, 0.5, 1200 + seed)});
        sets.push_back({"zero-inflated", ndim, zero_inflated_points(ndim, 200, 1300 + seed),
                        zero_inflated_points(ndim, 150, 1400 + seed),
                        zero_inflated_points(ndim, 60, 1500 + seed)});
    }
    // Two dimensions from {0, 1}: only four distinct points, every one duplicated dozens of times.
    sets.push_back({"duplicates", 2, zero_inflated_points(2, 200, 1600), zero_inflated_points(2, 150, 1700),
                    zero_inflated_points(2, 40, 1800)});
    for (auto& x : sets.back().old_points) {
        x = std::min(x, 1.0);
    }
    for (auto& x : sets.back().new_points) {
        x = std::min(x, 1.0);
    }
    return sets;
}

TEST(BoundedUpdates, FusingOnlyNearerPointsGivesTheListsOfTheFullSearch) {
    for (const Sets& set : point_sets()) {
        const int nold = static_cast<int>(set.old_points.size()) / set.ndim;
        const int nnew = static_cast<int>(set.new_points.size()) / set.ndim;
        const Tree old_tree(set.ndim, nold, set.old_points.data());
        const Tree new_tree(set.ndim, nnew, set.new_points.data());
        const size_t nqueries = set.queries.size() / static_cast<size_t>(set.ndim);
        for (const int k : {0, 1, 5, 16, nnew + nold + 1}) {
            for (size_t q = 0; q < nqueries; ++q) {
                const double* query = set.queries.data() + q * static_cast<size_t>(set.ndim);
                // Full base lists, and shorter ones as a small reference would give.
                for (const int base_k : {k, k / 2}) {
                    const List base = old_tree.find_nearest_neighbors(query, base_k);
                    List expected = base;
                    mnncorrect::fuse_nn_results(expected, new_tree.find_nearest_neighbors(query, k),
                                                static_cast<size_t>(k), nold);
                    List bounded = base;
                    mnncorrect::internal::fuse_nearer(bounded, new_tree, query, static_cast<size_t>(k), nold);
                    ASSERT_EQ(bounded, expected) << set.name << ", ndim " << set.ndim << ", k " << k
                                                 << ", base k " << base_k << ", query " << q;
                }
            }
        }
    }
}

TEST(BoundedUpdates, ScanningGroupsOfEventsGivesTheListsOfTheTreeSearches) {
    std::vector<Sets> sets = point_sets();
    // More rows than one tile of the scan, a count that is not a multiple of its block.
    sets.push_back({"continuous, many rows", 12, pairmend_test::clustered_points(12, 300, 5, 0.5, 1900),
                    pairmend_test::clustered_points(12, 700, 5, 0.5, 1901),
                    pairmend_test::clustered_points(12, 90, 5, 0.5, 1902)});
    sets.push_back({"zero-inflated, many rows", 12, zero_inflated_points(12, 300, 1903),
                    zero_inflated_points(12, 701, 1904), zero_inflated_points(12, 90, 1905)});
    // Queries whose distances the scan leaves to the tree: not a number, and far beyond any sum.
    for (Sets& set : sets) {
        const size_t width = static_cast<size_t>(set.ndim);
        set.queries.insert(set.queries.end(), set.queries.begin(), set.queries.begin() + 2 * width);
        set.queries[set.queries.size() - 1] = std::numeric_limits<double>::quiet_NaN();
        set.queries[set.queries.size() - width - 1] = 1e300;
    }
    for (const Sets& set : sets) {
        const size_t width = static_cast<size_t>(set.ndim);
        const int nold = static_cast<int>(set.old_points.size() / width);
        const int nnew = static_cast<int>(set.new_points.size() / width);
        const Tree old_tree(set.ndim, nold, set.old_points.data());
        const Tree new_tree(set.ndim, nnew, set.new_points.data());
        // The rows in a scrambled order too, so that equal distances reach the scan out of row order.
        std::vector<size_t> row_order(static_cast<size_t>(nnew));
        std::iota(row_order.begin(), row_order.end(), size_t{0});
        std::shuffle(row_order.begin(), row_order.end(), std::mt19937_64(8));
        const mnncorrect::internal::RowBlocks<int, double> blocks(set.ndim, static_cast<size_t>(nnew),
                                                                  set.new_points.data(), row_order);
        ASSERT_TRUE(blocks.moderate());
        const size_t nqueries = set.queries.size() / width;
        // The events in a scrambled order, as the locality order hands them over.
        std::vector<size_t> order(nqueries);
        std::iota(order.begin(), order.end(), size_t{0});
        std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
        for (const int k : {1, 5, 16, nnew + nold + 1}) {
            for (const int base_k : {k, k / 2}) {
                std::vector<List> expected(nqueries), scanned(nqueries);
                for (size_t q = 0; q < nqueries; ++q) {
                    const double* query = set.queries.data() + q * width;
                    scanned[q] = old_tree.find_nearest_neighbors(query, base_k);
                    expected[q] = scanned[q];
                    mnncorrect::internal::fuse_nearer(expected[q], new_tree, query, static_cast<size_t>(k),
                                                      nold);
                }
                // Two groups, so that a group starts inside the order.
                const size_t half = nqueries / 2;
                mnncorrect::internal::fuse_nearer_scanned(scanned, set.queries.data(), order.data(), half,
                                                          blocks, new_tree, static_cast<size_t>(k), nold);
                mnncorrect::internal::fuse_nearer_scanned(scanned, set.queries.data(), order.data() + half,
                                                          nqueries - half, blocks, new_tree,
                                                          static_cast<size_t>(k), nold);
                for (size_t q = 0; q < nqueries; ++q) {
                    ASSERT_EQ(scanned[q].size(), expected[q].size())
                        << set.name << ", ndim " << set.ndim << ", k " << k << ", base k " << base_k
                        << ", query " << q;
                    for (size_t j = 0; j < expected[q].size(); ++j) {
                        // Bit for bit, also for distances that are not a number.
                        ASSERT_EQ(scanned[q][j].first, expected[q][j].first) << set.name << ", query " << q;
                        ASSERT_TRUE(
                            std::memcmp(&scanned[q][j].second, &expected[q][j].second, sizeof(double)) == 0)
                            << set.name << ", query " << q;
                    }
                }
            }
        }
    }
    const std::vector<double> huge{1.0, 2.0, 1e300, 4.0};
    const mnncorrect::internal::RowBlocks<int, double> huge_rows(2, 2, huge.data(), {0, 1});
    EXPECT_FALSE(huge_rows.moderate());
}

TEST(BoundedUpdates, ListsWithinARadiusAnswerEveryQuestionAsTheFullLists) {
    for (const Sets& set : point_sets()) {
        const int nobs = static_cast<int>(set.old_points.size()) / set.ndim;
        const Tree tree(set.ndim, nobs, set.old_points.data());
        const pairmend_test::BruteForce oracle(set.ndim, nobs, set.old_points.data());
        const size_t nqueries = set.queries.size() / static_cast<size_t>(set.ndim);
        for (const int k : {1, 5, 16}) {
            for (size_t q = 0; q < nqueries; ++q) {
                const double* query = set.queries.data() + q * static_cast<size_t>(set.ndim);
                const List full = tree.find_nearest_neighbors(query, k);
                const List all = oracle.find_nearest_neighbors(query, nobs);
                EXPECT_TRUE(
                    mnncorrect::internal::list_within(tree, query, static_cast<size_t>(k), -1.0).empty());
                // Radii at the distances of stored points, where equal distances sit on the edge.
                for (const size_t j : {size_t{0}, size_t{2}, size_t{4}, size_t{15}, size_t{40}}) {
                    const double radius = all[j].second;
                    const List bounded =
                        mnncorrect::internal::list_within(tree, query, static_cast<size_t>(k), radius);
                    List asked_full, asked_bounded;
                    std::copy_if(full.begin(), full.end(), std::back_inserter(asked_full),
                                 [&](const auto& entry) { return entry.second <= radius; });
                    std::copy_if(bounded.begin(), bounded.end(), std::back_inserter(asked_bounded),
                                 [&](const auto& entry) { return entry.second <= radius; });
                    ASSERT_EQ(asked_bounded, asked_full) << set.name << ", ndim " << set.ndim << ", k " << k
                                                         << ", query " << q << ", radius " << radius;
                }
            }
        }
    }
}

TEST(BoundedUpdates, RowsAreSearchedUpToTheFarthestEventThatListsThem) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<List> table{{{0, 0.5}, {12, 1.0}, {11, 2.0}}, {}, {{11, 1.5}, {13, 3.0}}, {{14, nan}}};
    // Rows 10 to 14 are new: 10 is listed by nobody, 14 only at a distance that is not a number.
    const std::vector<double> radius = mnncorrect::internal::farthest_listing(table, 10, 5);
    ASSERT_EQ(radius.size(), 5u);
    EXPECT_EQ(radius[0], -1.0);
    EXPECT_EQ(radius[1], 2.0);
    EXPECT_EQ(radius[2], 1.0);
    EXPECT_EQ(radius[3], 3.0);
    EXPECT_EQ(radius[4], std::numeric_limits<double>::infinity());
}

/// Batches of one kind of data, each moved by its own whole-number shift so that ties survive.
struct ManyBatches {
    int ndim;
    std::vector<size_t> sizes;
    std::vector<std::vector<double>> values;

    std::vector<const double*> pointers() const {
        std::vector<const double*> out;
        for (const auto& v : values) {
            out.push_back(v.data());
        }
        return out;
    }
};

struct RunResult {
    std::vector<double> output;
    std::vector<int> order;
    std::vector<int> pairs;
};

RunResult run_automatic(const ManyBatches& batches, Builder builder, int k) {
    const size_t total = std::accumulate(batches.sizes.begin(), batches.sizes.end(), size_t{0});
    RunResult result;
    result.output.assign(total * static_cast<size_t>(batches.ndim), 0.0);
    Automatic driver(batches.ndim, batches.sizes, batches.pointers(), result.output.data(), builder, k,
                     mnncorrect::MaxSize, static_cast<size_t>(-1), 2);
    driver.run(3.0, 2, 0.25);
    result.order = driver.merge_order();
    result.pairs = driver.num_pairs();
    return result;
}

TEST(BoundedUpdates, ManyBatchRunsWithTiesAreBitIdenticalToUnboundedRuns) {
    // Seeds: 2000 + batch for the values. Duplicated events: every fifth event repeats the one before.
    for (const int ndim : {3, 12}) {
        ManyBatches batches{ndim, {120, 90, 150, 60, 110, 0, 80, 130}, {}};
        for (size_t b = 0; b < batches.sizes.size(); ++b) {
            std::vector<double> values = zero_inflated_points(ndim, batches.sizes[b], 2000 + b);
            const size_t width = static_cast<size_t>(ndim);
            for (size_t i = 0; i < batches.sizes[b]; ++i) {
                if (i % 5 == 4) {
                    std::copy_n(values.begin() + static_cast<std::ptrdiff_t>((i - 1) * width), width,
                                values.begin() + static_cast<std::ptrdiff_t>(i * width));
                }
                values[i * width] += static_cast<double>(b % 3);
            }
            batches.values.push_back(std::move(values));
        }
        for (const int k : {1, 4, 15}) {
            const RunResult bounded = run_automatic(batches, build_tree, k);
            const RunResult unbounded = run_automatic(batches, build_hidden_tree, k);
            EXPECT_EQ(bounded.order, unbounded.order) << "ndim " << ndim << ", k " << k;
            EXPECT_EQ(bounded.pairs, unbounded.pairs) << "ndim " << ndim << ", k " << k;
            ASSERT_EQ(bounded.output.size(), unbounded.output.size());
            for (size_t i = 0; i < bounded.output.size(); ++i) {
                // Bit for bit: also equal when both are the same NaN, which EXPECT_EQ would reject.
                ASSERT_TRUE(std::memcmp(&bounded.output[i], &unbounded.output[i], sizeof(double)) == 0)
                    << "ndim " << ndim << ", k " << k << ", value " << i;
            }
        }
    }
}

TEST(BoundedUpdates, ManyBatchRunsThatScanTheNewRowsAreBitIdenticalToUnboundedRuns) {
    // Batches large enough that the updates scan the merged rows instead of searching the tree.
    const std::vector<size_t> sizes{2100, 2300, 2049, 2200};
    ASSERT_GE(*std::min_element(sizes.begin(), sizes.end()), mnncorrect::internal::scan_min_rows);
    for (const bool ties : {true, false}) {
        const int ndim = 12;
        ManyBatches batches{ndim, sizes, {}};
        for (size_t b = 0; b < sizes.size(); ++b) {
            std::vector<double> values =
                ties ? zero_inflated_points(ndim, sizes[b], 2100 + b)
                     : pairmend_test::clustered_points(ndim, static_cast<int>(sizes[b]), 4, 0.5, 2200 + b);
            const size_t width = static_cast<size_t>(ndim);
            for (size_t i = 0; i < sizes[b]; ++i) {
                if (ties && i % 5 == 4) {
                    std::copy_n(values.begin() + static_cast<std::ptrdiff_t>((i - 1) * width), width,
                                values.begin() + static_cast<std::ptrdiff_t>(i * width));
                }
                values[i * width] += static_cast<double>(b % 3);
            }
            batches.values.push_back(std::move(values));
        }
        for (const int k : {4, 15}) {
            const RunResult bounded = run_automatic(batches, build_tree, k);
            const RunResult unbounded = run_automatic(batches, build_hidden_tree, k);
            EXPECT_EQ(bounded.order, unbounded.order) << "ties " << ties << ", k " << k;
            EXPECT_EQ(bounded.pairs, unbounded.pairs) << "ties " << ties << ", k " << k;
            ASSERT_EQ(bounded.output.size(), unbounded.output.size());
            for (size_t i = 0; i < bounded.output.size(); ++i) {
                ASSERT_TRUE(std::memcmp(&bounded.output[i], &unbounded.output[i], sizeof(double)) == 0)
                    << "ties " << ties << ", k " << k << ", value " << i;
            }
        }
    }
}

TEST(BoundedUpdates, EveryStepOnContinuousDataHasThePairCountOfTheExhaustiveSearch) {
    // Without ties the tree's lists are the exhaustive search's, so each step's pair count can be
    // recounted from the rows already written. Seeds: 3000 + batch.
    const int ndim = 5;
    const std::vector<double> centres{0, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 12, 0, 0, 0};
    ManyBatches batches{ndim, {80, 120, 60, 100, 90, 70}, {}};
    for (size_t b = 0; b < batches.sizes.size(); ++b) {
        const double s = static_cast<double>(b);
        batches.values.push_back(pairmend_test::shifted_batch(ndim, batches.sizes[b], centres,
                                                              {s, -s / 2, s / 3, 0, 1}, 1.0, 3000 + b));
    }
    // With 150 neighbours, more than any batch holds, the first lists are shorter than k and grow
    // with every merge, up to
    // the events of all other batches.
    for (const int k : {6, 150}) {
        const RunResult run = run_automatic(batches, build_tree, k);
        ASSERT_EQ(run.order.size(), batches.sizes.size());
        size_t rows = batches.sizes[static_cast<size_t>(run.order[0])];
        for (size_t step = 1; step < run.order.size(); ++step) {
            const auto b = static_cast<size_t>(run.order[step]);
            const size_t expected = pairmend_test::count_mutual_pairs(
                ndim, rows, run.output.data(), batches.sizes[b], batches.values[b].data(), k);
            EXPECT_EQ(static_cast<size_t>(run.pairs[step - 1]), expected) << "k " << k << ", step " << step;
            rows += batches.sizes[b];
        }
    }
}

} // namespace
