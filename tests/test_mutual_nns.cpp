// Neighbour-table primitives of the merge steps: parallel queries, fusion of neighbour lists,
// lists packed in one block, mutual-pair search and the distinct events of a pair set.

#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/fuse_nn_results.hpp"
#include "mnncorrect/packed_lists.hpp"
#include "mnncorrect/quick_find_nns.hpp"

#include "brute_force.hpp"
#include "point_sets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using List = knncolle::NeighborList<int, double>;
using Table = std::vector<List>;

/// Brute-force index whose queries by vector always fail.
class FailingIndex : public pairmend_test::BruteForce {
public:
    FailingIndex(int ndim, int nobs, const double* data) : BruteForce(ndim, nobs, data) {}

    using pairmend_test::BruteForce::find_nearest_neighbors;
    List find_nearest_neighbors(const double*, int) const override {
        throw std::runtime_error("query failed");
    }
};

// ---- quick_find_nns --------------------------------------------------------------------

TEST(QuickFindNns, MatchesDirectQueriesWhateverTheThreadCount) {
    const int ndim = 3;
    const auto ref = pairmend_test::uniform_points(ndim, 80, 11);
    const auto query = pairmend_test::uniform_points(ndim, 37, 12);
    const pairmend_test::BruteForce index(ndim, 80, ref.data());

    Table expected;
    for (int i = 0; i < 37; ++i) {
        expected.push_back(index.find_nearest_neighbors(query.data() + i * ndim, 6));
    }
    for (int nthreads : {1, 2, 3, 8}) {
        EXPECT_EQ(mnncorrect::quick_find_nns(size_t(37), query.data(), &index, 6, nthreads), expected)
            << nthreads << " threads";
    }
}

TEST(QuickFindNns, ZeroQueriesGiveAnEmptyTableWithoutQuerying) {
    const std::vector<double> points{0.0, 1.0, 2.0};
    const FailingIndex index(1, 3, points.data());
    EXPECT_TRUE(mnncorrect::quick_find_nns(size_t(0), points.data(), &index, 2, 4).empty());
}

TEST(QuickFindNns, QueryFailureReachesTheCaller) {
    const std::vector<double> points{0.0, 1.0, 2.0, 3.0};
    const FailingIndex index(1, 4, points.data());
    for (int nthreads : {1, 3}) {
        try {
            mnncorrect::quick_find_nns(size_t(4), points.data(), &index, 2, nthreads);
            FAIL() << "expected the query failure";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "query failed");
        }
    }
}

// ---- fuse_nn_results -------------------------------------------------------------------

TEST(FuseNnResults, EqualDistancesTakeTheBaseEntryFirstAndOffsetTheAlternative) {
    List base{{4, 1.0}, {2, 3.0}};
    const List alternative{{0, 1.0}, {1, 2.0}};
    mnncorrect::fuse_nn_results(base, alternative, 3, 10);
    EXPECT_EQ(base, (List{{4, 1.0}, {10, 1.0}, {11, 2.0}}));
}

TEST(FuseNnResults, KeepsTheKNearestOfTheUnion) {
    const List base{{0, 0.5}, {1, 1.5}, {2, 2.5}};
    const List alternative{{0, 1.0}, {1, 2.0}, {2, 3.0}};

    List four = base;
    mnncorrect::fuse_nn_results(four, alternative, 4, 100);
    EXPECT_EQ(four, (List{{0, 0.5}, {100, 1.0}, {1, 1.5}, {101, 2.0}}));

    List all = base;
    mnncorrect::fuse_nn_results(all, alternative, 10, 100);
    EXPECT_EQ(all, (List{{0, 0.5}, {100, 1.0}, {1, 1.5}, {101, 2.0}, {2, 2.5}, {102, 3.0}}));

    List none = base;
    mnncorrect::fuse_nn_results(none, alternative, 0, 100);
    EXPECT_TRUE(none.empty());

    List only_alternative;
    mnncorrect::fuse_nn_results(only_alternative, alternative, 2, 7);
    EXPECT_EQ(only_alternative, (List{{7, 1.0}, {8, 2.0}}));
}

TEST(FuseNnResults, FusingSearchesOfTwoPartsEqualsASearchOfTheWhole) {
    // Folding the neighbours among newly merged rows into a list of older rows must give
    // the same list as searching all rows at once.
    const int ndim = 2;
    const int nold = 40;
    const int nnew = 25;
    const int k = 7;
    const auto all = pairmend_test::uniform_points(ndim, nold + nnew, 21);
    const auto queries = pairmend_test::uniform_points(ndim, 15, 22);
    const pairmend_test::BruteForce whole(ndim, nold + nnew, all.data());
    const pairmend_test::BruteForce old_part(ndim, nold, all.data());
    const pairmend_test::BruteForce new_part(ndim, nnew, all.data() + nold * ndim);

    for (int q = 0; q < 15; ++q) {
        const double* query = queries.data() + q * ndim;
        List fused = old_part.find_nearest_neighbors(query, k);
        mnncorrect::fuse_nn_results(fused, new_part.find_nearest_neighbors(query, k), k, nold);
        EXPECT_EQ(fused, whole.find_nearest_neighbors(query, k)) << "query " << q;
    }
}

// ---- PackedLists -----------------------------------------------------------------------

TEST(PackedLists, ListsReadBackAsSetWhateverTheirLengthAndLongerOnesAreRefused) {
    mnncorrect::internal::PackedLists<int, double> lists(3, 4);
    const List full{{7, 0.5}, {2, 1.0}, {9, 1.0}, {4, 2.5}};
    const List shorter{{3, 0.25}};
    lists.set(0, full);
    lists.set(1, shorter);
    lists.set(2, full);
    lists.set(0, shorter); // a list that shrinks must not keep its old tail
    EXPECT_EQ(lists.get(0), shorter);
    EXPECT_EQ(lists.get(2), full);
    EXPECT_EQ(lists[0].size(), 1u);
    EXPECT_EQ(lists[2].back(), List::value_type(4, 2.5));
    EXPECT_EQ(List(lists[2].begin(), lists[2].end()), full);

    // A list beyond the room would spill into the next one.
    EXPECT_THROW(lists.set(1, List{{1, 0.0}, {2, 0.0}, {3, 0.0}, {4, 0.0}, {5, 0.0}}), std::length_error);
    EXPECT_EQ(lists.get(1), shorter);
    EXPECT_EQ(lists.get(2), full);

    mnncorrect::internal::change_list(lists, 1, [](List& list) { list.emplace_back(8, 0.75); });
    EXPECT_EQ(lists.get(1), (List{{3, 0.25}, {8, 0.75}}));
    EXPECT_EQ(lists.get(0), shorter);
}

TEST(PackedLists, SinglePrecisionListsReadBackExactlyAndRefuseOtherDistances) {
    // The forest's distances are single-precision values: kept in half the room, unchanged.
    mnncorrect::internal::PackedLists<int, double> lists(2, 3, true);
    const List forest{{4, static_cast<double>(0.1f)},
                      {1, std::numeric_limits<double>::infinity()},
                      {6, static_cast<double>(3.4e38f)}};
    lists.set(0, forest);
    EXPECT_EQ(lists.get(0), forest);
    lists.set(1, List{{2, std::nan("")}});
    EXPECT_TRUE(std::isnan(lists[1].back().second));

    // A distance that single precision would change is refused, and the list stays as it was.
    EXPECT_THROW(lists.set(0, List{{5, 0.5}, {3, 0.1}}), std::logic_error);
    EXPECT_THROW(lists.set(0, List{{5, 1e39}}), std::logic_error);
    EXPECT_EQ(lists.get(0), forest);
}

// ---- find_mutual_nns -------------------------------------------------------------------

TEST(FindMutualNns, HandBuiltTables) {
    // Left (reference) events 0..2, right (target) events 0..3.
    const Table left{
        {{1, 0.1}, {0, 0.2}}, // left 0 names right 1 and 0
        {{1, 0.3}},           // left 1 names right 1
        {},                   // left 2 was emptied
    };
    const Table right{
        {{0, 0.2}, {2, 0.5}}, // mutual with 0 only (left 2 is emptied)
        {{1, 0.3}, {0, 0.1}}, // mutual with 1 then 0, in list order
        {{2, 0.4}},           // names only the emptied left 2
        {{1, 0.9}, {0, 1.0}}, // neither left event names right 3
    };
    const auto pairs = mnncorrect::find_mutual_nns(left, right);
    EXPECT_EQ(pairs.num_pairs, 3u);
    const std::map<int, std::vector<int>> matches(pairs.matches.begin(), pairs.matches.end());
    EXPECT_EQ(matches, (std::map<int, std::vector<int>>{{0, {0}}, {1, {1, 0}}}));
    EXPECT_EQ(mnncorrect::unique_left(pairs), (std::vector<int>{0, 1}));
    EXPECT_EQ(mnncorrect::unique_right(pairs), (std::vector<int>{0, 1}));
}

TEST(FindMutualNns, AgreesWithTheDefinitionOnRandomTables) {
    const int ndim = 2;
    const int nleft = 120;
    const int nright = 90;
    const auto left_points = pairmend_test::clustered_points(ndim, nleft, 4, 0.5, 31);
    const auto right_points = pairmend_test::clustered_points(ndim, nright, 4, 0.5, 32);
    const pairmend_test::BruteForce left_index(ndim, nleft, left_points.data());
    const pairmend_test::BruteForce right_index(ndim, nright, right_points.data());

    for (int k : {1, 5, 12}) {
        Table left = mnncorrect::quick_find_nns(size_t(nleft), left_points.data(), &right_index, k, 2);
        const Table right =
            mnncorrect::quick_find_nns(size_t(nright), right_points.data(), &left_index, k, 2);
        // Emptied left lists must never pair.
        for (int x = 0; x < nleft; x += 7) {
            left[x].clear();
        }

        std::map<int, std::vector<int>> expected;
        size_t expected_pairs = 0;
        for (int i = 0; i < nright; ++i) {
            for (const auto& entry : right[i]) {
                const auto& back = left[entry.first];
                if (std::any_of(back.begin(), back.end(), [&](const auto& e) { return e.first == i; })) {
                    expected[i].push_back(entry.first);
                    ++expected_pairs;
                }
            }
        }
        ASSERT_GT(expected_pairs, 0u);

        const auto pairs = mnncorrect::find_mutual_nns(left, right);
        EXPECT_EQ(pairs.num_pairs, expected_pairs) << "k = " << k;
        const std::map<int, std::vector<int>> matches(pairs.matches.begin(), pairs.matches.end());
        EXPECT_EQ(matches, expected) << "k = " << k;

        // The automatic order keeps the right lists packed in one block; they must pair alike.
        mnncorrect::internal::PackedLists<int, double> packed(right.size(), static_cast<size_t>(k));
        for (size_t i = 0; i < right.size(); ++i) {
            packed.set(i, right[i]);
        }
        const auto packed_pairs = mnncorrect::find_mutual_nns(left, packed);
        EXPECT_EQ(packed_pairs.num_pairs, expected_pairs) << "k = " << k;
        EXPECT_EQ((std::map<int, std::vector<int>>(packed_pairs.matches.begin(), packed_pairs.matches.end())),
                  expected)
            << "k = " << k;

        std::vector<int> lefts;
        std::vector<int> rights;
        for (const auto& match : expected) {
            rights.push_back(match.first);
            lefts.insert(lefts.end(), match.second.begin(), match.second.end());
        }
        std::sort(lefts.begin(), lefts.end());
        lefts.erase(std::unique(lefts.begin(), lefts.end()), lefts.end());
        EXPECT_EQ(mnncorrect::unique_left(pairs), lefts);
        EXPECT_EQ(mnncorrect::unique_right(pairs), rights);
    }
}

TEST(FindMutualNns, EmptyTablesAndEmptyPairSets) {
    const auto pairs = mnncorrect::find_mutual_nns(Table{}, Table{});
    EXPECT_EQ(pairs.num_pairs, 0u);
    EXPECT_TRUE(pairs.matches.empty());
    EXPECT_TRUE(mnncorrect::unique_left(pairs).empty());
    EXPECT_TRUE(mnncorrect::unique_right(pairs).empty());
}

} // namespace
