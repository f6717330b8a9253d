// The query order that keeps neighbouring events together, and the search paths that use it
// or keep per-thread scratch between queries: results must equal those of plain, fresh searches.
// Point sets come from the seeded generators of tests/support (seeds stated at each use).

#include "brute_force.hpp"
#include "point_sets.hpp"

#include "knncolle/Annoy.hpp"
#include "mnncorrect/locality_order.hpp"
#include "mnncorrect/quick_find_nns.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <vector>

namespace {

using Forest = knncolle::Annoy<Annoy::Euclidean, int, double, double, int, float>;

bool is_permutation_of_all(const std::vector<size_t>& order, size_t n) {
    std::vector<size_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    std::vector<size_t> expected(n);
    std::iota(expected.begin(), expected.end(), size_t(0));
    return sorted == expected;
}

double mean_step(int ndim, const std::vector<double>& points, const std::vector<size_t>& order) {
    const size_t width = static_cast<size_t>(ndim);
    double total = 0;
    for (size_t p = 1; p < order.size(); ++p) {
        double sum = 0;
        for (size_t d = 0; d < width; ++d) {
            const double delta = points[order[p] * width + d] - points[order[p - 1] * width + d];
            sum += delta * delta;
        }
        total += std::sqrt(sum);
    }
    return total / static_cast<double>(order.size() - 1);
}

TEST(LocalityOrder, IsAPermutationForAnyInput) {
    EXPECT_TRUE(mnncorrect::locality_order(3, 0, static_cast<const double*>(nullptr)).empty());
    EXPECT_TRUE(
        is_permutation_of_all(mnncorrect::locality_order(0, 50, static_cast<const double*>(nullptr)), 50));

    // Duplicates, infinities and values that are not numbers must neither break the
    // selection nor lose an event (seed 11).
    std::vector<double> points = pairmend_test::uniform_points(4, 1000, 11);
    for (size_t i = 0; i < points.size(); i += 7) {
        points[i] = std::numeric_limits<double>::quiet_NaN();
    }
    for (size_t i = 3; i < points.size(); i += 13) {
        points[i] = -std::numeric_limits<double>::infinity();
    }
    std::fill(points.begin() + 400, points.begin() + 2000, 1.5);
    EXPECT_TRUE(is_permutation_of_all(mnncorrect::locality_order(4, 1000, points.data()), 1000));
}

TEST(LocalityOrder, ConsecutiveEventsAreCloseTogether) {
    // Clustered points in input order jump between clusters; in the locality order the
    // typical step must be far shorter (seed 5).
    const int ndim = 6;
    const int nobs = 4000;
    const std::vector<double> points = pairmend_test::clustered_points(ndim, nobs, 10, 0.5, 5);
    std::vector<size_t> input_order(nobs);
    std::iota(input_order.begin(), input_order.end(), size_t(0));
    const std::vector<size_t> order = mnncorrect::locality_order(ndim, nobs, points.data());
    ASSERT_TRUE(is_permutation_of_all(order, nobs));
    EXPECT_LT(mean_step(ndim, points, order), 0.5 * mean_step(ndim, points, input_order));
}

TEST(QuickFindNns, QueryOrderDoesNotChangeTheTable) {
    // Seeds 21 (stored) and 22 (queries); a reversed order and the default order must both
    // give every query's own exact list in its own slot.
    const int ndim = 5;
    const std::vector<double> stored = pairmend_test::clustered_points(ndim, 600, 4, 1.0, 21);
    const std::vector<double> queries = pairmend_test::clustered_points(ndim, 300, 4, 1.0, 22);
    const pairmend_test::BruteForce index(ndim, 600, stored.data());

    std::vector<size_t> reversed(300);
    std::iota(reversed.rbegin(), reversed.rend(), size_t(0));
    const auto by_default = mnncorrect::quick_find_nns(size_t(300), queries.data(), &index, 7, 2);
    const auto by_reversed = mnncorrect::quick_find_nns(size_t(300), queries.data(), &index, 7, 2, reversed);
    ASSERT_EQ(by_default.size(), 300u);
    for (size_t i = 0; i < 300; ++i) {
        const auto expected = index.find_nearest_neighbors(queries.data() + i * ndim, 7);
        EXPECT_EQ(by_default[i], expected) << "query " << i;
        EXPECT_EQ(by_reversed[i], expected) << "query " << i;
    }
}

TEST(ForestScratch, InterleavedForestsAnswerAsFreshOnes) {
    // A thread's query scratch outlives the forest it served: a small forest queried after a
    // large one, and the large one again, must answer as when each is queried alone
    // (seeds 31, 32, 33).
    const int ndim = 4;
    const std::vector<double> large_points = pairmend_test::clustered_points(ndim, 3000, 5, 1.0, 31);
    const std::vector<double> small_points = pairmend_test::uniform_points(ndim, 40, 32);
    const std::vector<double> queries = pairmend_test::uniform_points(ndim, 60, 33);

    std::vector<knncolle::NeighborList<int, double>> large_alone;
    std::vector<knncolle::NeighborList<int, double>> small_alone;
    {
        const Forest large(ndim, 3000, large_points.data());
        for (int q = 0; q < 60; ++q) {
            large_alone.push_back(large.find_nearest_neighbors(queries.data() + q * ndim, 10));
        }
    }
    {
        const Forest small(ndim, 40, small_points.data());
        for (int q = 0; q < 60; ++q) {
            small_alone.push_back(small.find_nearest_neighbors(queries.data() + q * ndim, 10));
        }
    }

    const Forest small(ndim, 40, small_points.data());
    const Forest large(ndim, 3000, large_points.data());
    for (int q = 0; q < 60; ++q) {
        EXPECT_EQ(small.find_nearest_neighbors(queries.data() + q * ndim, 10), small_alone[q]) << q;
        EXPECT_EQ(large.find_nearest_neighbors(queries.data() + q * ndim, 10), large_alone[q]) << q;
    }
}

TEST(ForestScratch, ResultsMatchTheExhaustiveSearchWhenEveryItemIsACandidate) {
    // With k = nobs every item is collected and ranked, so the forest must return exactly the
    // exhaustive search's distances (in single precision) in increasing order (seed 41).
    const int ndim = 3;
    const int nobs = 25;
    const std::vector<double> points = pairmend_test::uniform_points(ndim, nobs, 41);
    const Forest forest(ndim, nobs, points.data());
    const pairmend_test::BruteForce exact(ndim, nobs, points.data());
    for (int q = 0; q < nobs; ++q) {
        const auto found = forest.find_nearest_neighbors(points.data() + q * ndim, nobs);
        const auto expected = exact.find_nearest_neighbors(points.data() + q * ndim, nobs);
        ASSERT_EQ(found.size(), expected.size());
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_NEAR(found[i].second, expected[i].second, 1e-5) << "query " << q << ", rank " << i;
            if (i > 0) {
                EXPECT_LE(found[i - 1].second, found[i].second);
            }
        }
    }
}

} // namespace
