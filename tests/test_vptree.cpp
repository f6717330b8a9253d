// The exact vantage-point tree against the exhaustive search, plus the candidate queue's tie rules.

#include "knncolle/VpTree.hpp"

#include "brute_force.hpp"
#include "point_sets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Tree = knncolle::VpTree<knncolle::distances::Euclidean, int, double, double, double>;
using List = knncolle::NeighborList<int, double>;

/// Coordinates drawn from {0, 1, 2}: many exact duplicates and many equal distances.
std::vector<double> integer_points(int ndim, int nobs, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> value(0, 2);
    std::vector<double> out(static_cast<size_t>(ndim) * static_cast<size_t>(nobs));
    for (auto& x : out) {
        x = value(rng);
    }
    return out;
}

/**
 * Compares a tree result with the oracle's list for the same k. Distances must be bit-equal.
 * Indices must match exactly, except (when `ties` is set) among candidates exactly as far as the
 * last entry of a truncated list: there the tree keeps whichever it found first, so those
 * indices need only be genuine candidates at that distance (`all` is the oracle's complete
 * list), in increasing order.
 */
void expect_same_neighbors(const List& tree, const List& oracle, const List& all, bool ties,
                           const std::string& where) {
    ASSERT_EQ(tree.size(), oracle.size()) << where;
    const bool truncated = ties && oracle.size() < all.size();
    for (size_t i = 0; i < tree.size(); ++i) {
        ASSERT_EQ(tree[i].second, oracle[i].second) << where << ", entry " << i;
        const bool boundary = truncated && oracle[i].second == oracle.back().second;
        if (!boundary) {
            ASSERT_EQ(tree[i].first, oracle[i].first) << where << ", entry " << i;
            continue;
        }
        if (i > 0 && tree[i - 1].second == tree[i].second) {
            ASSERT_LT(tree[i - 1].first, tree[i].first) << where << ", entry " << i;
        }
        bool genuine = false;
        for (const auto& candidate : all) {
            genuine = genuine || (candidate.first == tree[i].first && candidate.second == tree[i].second);
        }
        ASSERT_TRUE(genuine) << where << ", entry " << i << " (index " << tree[i].first << ")";
    }
}

/// Checks queries by index (every stored point) and by vector (fresh points) for several k.
void check_against_oracle(int ndim, int nobs, const std::vector<double>& points,
                          const std::vector<double>& queries, bool ties) {
    const Tree tree(ndim, nobs, points.data());
    const pairmend_test::BruteForce oracle(ndim, nobs, points.data());
    const int nqueries = static_cast<int>(queries.size()) / ndim;
    for (int k : {0, 1, 4, 15, nobs - 1, nobs, nobs + 3}) {
        for (int i = 0; i < nobs; ++i) {
            const std::string where =
                "ndim " + std::to_string(ndim) + ", k " + std::to_string(k) + ", index " + std::to_string(i);
            expect_same_neighbors(tree.find_nearest_neighbors(i, k), oracle.find_nearest_neighbors(i, k),
                                  oracle.find_nearest_neighbors(i, nobs), ties, where);
        }
        for (int q = 0; q < nqueries; ++q) {
            const double* query = queries.data() + static_cast<size_t>(q) * static_cast<size_t>(ndim);
            const std::string where =
                "ndim " + std::to_string(ndim) + ", k " + std::to_string(k) + ", query " + std::to_string(q);
            expect_same_neighbors(tree.find_nearest_neighbors(query, k),
                                  oracle.find_nearest_neighbors(query, k),
                                  oracle.find_nearest_neighbors(query, nobs), ties, where);
        }
    }
}

} // namespace

TEST(VpTree, MatchesBruteForceOnContinuousPoints) {
    // Seeds: 100 + ndim for the stored points, 200 + ndim for the queries.
    for (int ndim : {2, 3, 5, 10, 20, 40}) {
        const int nobs = 300;
        check_against_oracle(ndim, nobs, pairmend_test::clustered_points(ndim, nobs, 7, 0.5, 100 + ndim),
                             pairmend_test::uniform_points(ndim, 40, 200 + ndim), false);
    }
}

TEST(VpTree, MatchesBruteForceWithDuplicatesAndTies) {
    // Seeds: 300 + ndim for the stored points, 400 + ndim for the queries. In 2 dimensions the
    // 300 points take only 9 distinct values, so every point has dozens of exact duplicates.
    for (int ndim : {2, 4, 8, 16, 40}) {
        const int nobs = 300;
        check_against_oracle(ndim, nobs, integer_points(ndim, nobs, 300 + ndim),
                             integer_points(ndim, 30, 400 + ndim), true);
    }
}

TEST(VpTree, LeavesTheQueriedPointOutAmongItsDuplicates) {
    // Twelve copies of one point plus a few distinct ones: asking any copy for k neighbours
    // with k + 1 < 12 can fill the queue with other copies before the copy itself is met.
    std::vector<double> points;
    for (int i = 0; i < 12; ++i) {
        points.insert(points.end(), {1.0, 2.0, 3.0});
    }
    points.insert(points.end(), {4.0, 2.0, 3.0, 1.0, 7.0, 3.0, 0.0, 0.0, 0.0});
    const Tree tree(3, 15, points.data());

    int self_crowded_out = 0;
    for (int k : {1, 3, 5, 11, 14, 20}) {
        for (int i = 0; i < 12; ++i) {
            const List found = tree.find_nearest_neighbors(i, k);
            ASSERT_EQ(found.size(), static_cast<size_t>(std::min(k, 14)));
            for (size_t j = 0; j < found.size(); ++j) {
                EXPECT_NE(found[j].first, i);
                EXPECT_EQ(found[j].second == 0.0, j < 11) << "k " << k << ", index " << i << ", entry " << j;
            }
            // A query by vector at the same coordinates with k + 1 visits the tree exactly as the
            // query by index does, so it shows whether the copy itself was among those kept.
            bool self_kept = false;
            for (const auto& entry : tree.find_nearest_neighbors(tree.observation(i, nullptr), k + 1)) {
                self_kept = self_kept || entry.first == i;
            }
            self_crowded_out += self_kept ? 0 : 1;
        }
    }
    EXPECT_GT(self_crowded_out, 0) << "the case where the queried copy is crowded out never arose";
}

TEST(VpTree, HandlesEmptyAndOnePointSetsAndNonPositiveK) {
    const std::vector<double> none;
    const Tree empty(4, 0, none.data());
    const double query[4] = {0.5, 0.5, 0.5, 0.5};
    EXPECT_EQ(empty.nobs(), 0);
    EXPECT_TRUE(empty.find_nearest_neighbors(query, 5).empty());

    const std::vector<double> single = {1.0, 2.0, 2.0, 0.5};
    const Tree one(4, 1, single.data());
    const List found = one.find_nearest_neighbors(query, 3);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].first, 0);
    EXPECT_EQ(found[0].second, std::sqrt(0.25 + 2.25 + 2.25 + 0.0));
    EXPECT_TRUE(one.find_nearest_neighbors(0, 3).empty());

    const std::vector<double> points = pairmend_test::uniform_points(4, 50, 11); // seed 11
    const Tree tree(4, 50, points.data());
    EXPECT_TRUE(tree.find_nearest_neighbors(query, -2).empty());
    EXPECT_TRUE(tree.find_nearest_neighbors(7, -1).empty());

    EXPECT_THROW(Tree(-1, 3, points.data()), std::runtime_error);
}

TEST(VpTree, StoresPointsAndKeepsItsSplitsConsistent) {
    const int ndim = 5;
    const int nobs = 400;
    const std::vector<double> points = integer_points(ndim, nobs, 21); // seed 21
    const Tree tree(ndim, nobs, points.data());
    const auto& nodes = tree.nodes();
    ASSERT_EQ(nodes.size(), static_cast<size_t>(nobs));

    for (int i = 0; i < nobs; ++i) {
        const std::vector<double> stored = tree.observation(i);
        EXPECT_EQ(stored, std::vector<double>(points.begin() + i * ndim, points.begin() + (i + 1) * ndim));
    }

    // The root's vantage point is the first draw of the fixed-seed generator.
    std::mt19937_64 generator(1234567890);
    EXPECT_EQ(nodes[0].index, static_cast<int>(generator() % static_cast<std::uint64_t>(nobs)));

    // Every point of an inner subtree is no farther from the vantage point than the threshold,
    // every point of an outer one at least as far. A subtree of s points puts s / 2 - 1 in its
    // inner half and the rest but the vantage point in its outer half, and nodes are numbered in
    // creation order: the whole inner subtree before the outer one.
    std::function<int(int)> walk = [&](int node) {
        if (node == -1) {
            return 0;
        }
        const auto& current = nodes[static_cast<size_t>(node)];
        const double* vantage = points.data() + current.index * ndim;
        std::function<void(int, bool)> check_half = [&](int member, bool inner) {
            if (member == -1) {
                return;
            }
            const auto& other = nodes[static_cast<size_t>(member)];
            const double dist = std::sqrt(knncolle::distances::Euclidean::raw_distance<double>(
                vantage, points.data() + other.index * ndim, ndim));
            EXPECT_TRUE(inner ? dist <= current.threshold : dist >= current.threshold) << "node " << node;
            check_half(other.left, inner);
            check_half(other.right, inner);
        };
        check_half(current.left, true);
        check_half(current.right, false);
        const int inner_size = walk(current.left);
        const int outer_size = walk(current.right);
        const int size = 1 + inner_size + outer_size;
        EXPECT_EQ(inner_size, size >= 2 ? size / 2 - 1 : 0) << "node " << node;
        EXPECT_EQ(current.left, inner_size > 0 ? node + 1 : -1) << "node " << node;
        EXPECT_EQ(current.right, outer_size > 0 ? node + 1 + inner_size : -1) << "node " << node;
        return size;
    };
    EXPECT_EQ(walk(0), nobs);
}

TEST(VpTree, BuildsIdenticalTreesOneAfterAnotherAndConcurrently) {
    const int ndim = 6;
    const int nobs = 2000;
    const std::vector<double> points = integer_points(ndim, nobs, 31);               // seed 31
    const std::vector<double> queries = pairmend_test::uniform_points(ndim, 50, 32); // seed 32

    const auto answers = [&](const Tree& tree) {
        std::vector<List> out;
        for (int i = 0; i < nobs; i += 7) {
            out.push_back(tree.find_nearest_neighbors(i, 10));
        }
        for (int q = 0; q < 50; ++q) {
            out.push_back(tree.find_nearest_neighbors(queries.data() + q * ndim, 10));
        }
        return out;
    };
    const auto same_nodes = [](const Tree& a, const Tree& b) {
        const auto& x = a.nodes();
        const auto& y = b.nodes();
        bool same = x.size() == y.size();
        for (size_t j = 0; same && j < x.size(); ++j) {
            same = x[j].threshold == y[j].threshold && x[j].index == y[j].index && x[j].left == y[j].left &&
                   x[j].right == y[j].right;
        }
        return same;
    };

    const Tree first(ndim, nobs, points.data());
    const std::vector<List> expected = answers(first);
    EXPECT_TRUE(same_nodes(first, Tree(ndim, nobs, points.data())));

    // Four trees built at once, then all of them queried at once, the first one from every thread.
    std::vector<std::unique_ptr<Tree>> trees(4);
    std::vector<std::vector<List>> own(4);
    std::vector<std::vector<List>> shared(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < trees.size(); ++t) {
        threads.emplace_back([&, t] {
            trees[t] = std::make_unique<Tree>(ndim, nobs, points.data());
            own[t] = answers(*trees[t]);
            shared[t] = answers(first);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t t = 0; t < trees.size(); ++t) {
        EXPECT_TRUE(same_nodes(first, *trees[t])) << "thread " << t;
        EXPECT_EQ(own[t], expected) << "thread " << t;
        EXPECT_EQ(shared[t], expected) << "thread " << t;
    }
}

TEST(VpTree, QueueNeverAdmitsATieWithTheFarthestAndEvictsTheLargerIndexAmongEquals) {
    knncolle::NeighborQueue<int, double> queue(2, false, 0);
    queue.add(5, 1.0);
    queue.add(2, 1.0);
    EXPECT_TRUE(queue.is_full());
    queue.add(0, 1.0); // as far as the farthest kept: refused although its index is smaller
    EXPECT_EQ(queue.harvest(), (List{{2, 1.0}, {5, 1.0}}));

    queue.add(5, 1.0);
    queue.add(2, 1.0);
    queue.add(7, 0.5); // evicts 5, the larger index of the two equally far
    EXPECT_EQ(queue.harvest(), (List{{7, 0.5}, {2, 1.0}}));

    // Query by stored index 3: found among the candidates, it is dropped; crowded out, the
    // farthest candidate is dropped instead, so at most capacity - 1 entries come back.
    knncolle::NeighborQueue<int, double> with_self(3, true, 3);
    for (const auto& [index, distance] : List{{4, 0.0}, {3, 0.0}, {1, 2.0}, {6, 1.0}}) {
        with_self.add(index, distance);
    }
    EXPECT_EQ(with_self.harvest(), (List{{4, 0.0}, {6, 1.0}}));
    for (const auto& [index, distance] : List{{4, 0.0}, {8, 0.0}, {1, 0.0}, {3, 0.0}}) {
        with_self.add(index, distance);
    }
    EXPECT_EQ(with_self.harvest(), (List{{1, 0.0}, {4, 0.0}}));
}

namespace {

/// Zero-inflated coordinates as in mass cytometry: most values 0, the rest from {1, 2, 3}.
std::vector<double> zero_inflated_points(int ndim, int nobs, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> value(-5, 3);
    std::vector<double> out(static_cast<size_t>(ndim) * static_cast<size_t>(nobs));
    for (auto& x : out) {
        x = std::max(value(rng), 0);
    }
    return out;
}

/**
 * Checks `find_nearest_within` against the oracle for several k and limits: the limits are the
 * distances of entries of the query's complete list (so that points lie exactly at the limit),
 * values just above them, 0 and infinity.
 */
void check_within_against_oracle(int ndim, int nobs, const std::vector<double>& points,
                                 const std::vector<double>& queries, bool ties) {
    const Tree tree(ndim, nobs, points.data());
    const pairmend_test::BruteForce oracle(ndim, nobs, points.data());
    const int nqueries = static_cast<int>(queries.size()) / ndim;
    for (int q = 0; q < nqueries; ++q) {
        const double* query = queries.data() + static_cast<size_t>(q) * static_cast<size_t>(ndim);
        const List all = oracle.find_nearest_neighbors(query, nobs);
        std::vector<double> limits{0.0, std::numeric_limits<double>::infinity()};
        for (const size_t j : {size_t{0}, size_t{3}, size_t{16}, all.size() / 2, all.size() - 1}) {
            limits.push_back(all[j].second);
            limits.push_back(std::nextafter(all[j].second, 10.0 * all[j].second + 1.0));
        }
        for (const double limit : limits) {
            List inside;
            for (const auto& entry : all) {
                if (entry.second < limit) {
                    inside.push_back(entry);
                }
            }
            for (const int k : {1, 4, 16, nobs + 2}) {
                List expected(inside.begin(),
                              inside.begin() + std::min<ptrdiff_t>(k, static_cast<ptrdiff_t>(inside.size())));
                const std::string where = "ndim " + std::to_string(ndim) + ", query " + std::to_string(q) +
                                          ", k " + std::to_string(k) + ", limit " + std::to_string(limit);
                expect_same_neighbors(tree.find_nearest_within(query, k, limit), expected, inside, ties,
                                      where);
            }
        }
        EXPECT_TRUE(tree.find_nearest_within(query, 0, 1.0).empty());
    }
}

} // namespace

TEST(VpTree, SearchWithinALimitMatchesBruteForce) {
    // Seeds: 500 + ndim for the stored points, 600 + ndim for the queries.
    for (int ndim : {3, 12, 30}) {
        const int nobs = 300;
        check_within_against_oracle(ndim, nobs,
                                    pairmend_test::clustered_points(ndim, nobs, 7, 0.5, 500 + ndim),
                                    pairmend_test::uniform_points(ndim, 20, 600 + ndim), false);
        check_within_against_oracle(ndim, nobs, integer_points(ndim, nobs, 500 + ndim),
                                    integer_points(ndim, 20, 600 + ndim), true);
        check_within_against_oracle(ndim, nobs, zero_inflated_points(ndim, nobs, 500 + ndim),
                                    zero_inflated_points(ndim, 20, 600 + ndim), true);
    }
}

TEST(VpTree, MatchesBruteForceOnZeroInflatedPoints) {
    // Seeds: 700 + ndim for the stored points, 800 + ndim for the queries. Most coordinates are 0,
    // so many points coincide and many distances are equal, as in mass cytometry.
    for (int ndim : {5, 30}) {
        check_against_oracle(ndim, 300, zero_inflated_points(ndim, 300, 700 + ndim),
                             zero_inflated_points(ndim, 30, 800 + ndim), true);
    }
}
