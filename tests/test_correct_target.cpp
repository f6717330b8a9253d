// Target correction and its pieces: median, robust average, distance limit, inversion of
// closest lists, centres of mass, and the correction of a whole batch.

#include "mnncorrect/RobustAverage.hpp"
#include "mnncorrect/correct_target.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/median.hpp"
#include "mnncorrect/quick_find_nns.hpp"

#include "brute_force.hpp"
#include "point_sets.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using List = knncolle::NeighborList<int, double>;
using Table = std::vector<List>;
using Average = mnncorrect::RobustAverage<int, double>;
constexpr size_t no_cap = std::numeric_limits<size_t>::max();

std::string message_of(const std::function<void()>& fun) {
    try {
        fun();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

// ---- median ----------------------------------------------------------------------------

TEST(Median, OddEvenEmptyAndNaN) {
    std::vector<double> odd{5, 1, 4, 2, 3};
    EXPECT_EQ(mnncorrect::median(odd.size(), odd.data()), 3.0);
    std::vector<double> even{7, 1, 3, 10};
    EXPECT_EQ(mnncorrect::median(even.size(), even.data()), 5.0);
    EXPECT_TRUE(std::isnan(mnncorrect::median(size_t(0), even.data())));
    // NaN values sort last instead of breaking the selection.
    std::vector<double> with_nan{std::nan(""), 2, 1};
    EXPECT_EQ(mnncorrect::median(with_nan.size(), with_nan.data()), 2.0);
}

// ---- RobustAverage ---------------------------------------------------------------------

TEST(RobustAverage, RejectsInvalidSettingsTrimFirst) {
    EXPECT_EQ(message_of([] { Average(-1, -0.1); }), "trimming proportion must be in [0, 1]");
    EXPECT_EQ(message_of([] { Average(-1, 1.5); }), "trimming proportion must be in [0, 1]");
    EXPECT_EQ(message_of([] { Average(2, std::nan("")); }), "trimming proportion must be in [0, 1]");
    EXPECT_EQ(message_of([] { Average(-1, 0.5); }), "number of iterations must be non-negative");
    EXPECT_NO_THROW(Average(0, 0.0));
    EXPECT_NO_THROW(Average(3, 1.0));
}

TEST(RobustAverage, TrimmingKeepsTheNearestRows) {
    // Rows 0..8 and 100: the mean is 13.6 and the 7 nearest rows (bound 0.75 * 9 = 6.75)
    // are 2..8, whose mean is 5.
    std::vector<double> rows{100, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    Average::Scratch scratch;
    double out = 0;
    Average(0, 0.25).run(1, rows.size(), rows.data(), &out, scratch);
    EXPECT_DOUBLE_EQ(out, 13.6);
    Average(1, 0.25).run(1, rows.size(), rows.data(), &out, scratch);
    EXPECT_DOUBLE_EQ(out, 5.0);
    // The row-list form averages only the listed rows, wherever they are.
    Average(1, 0.25).run(1, std::vector<int>{9, 0, 8, 1, 7, 2, 6, 3, 5, 4}, rows.data(), &out, scratch);
    EXPECT_DOUBLE_EQ(out, 5.0);
    Average(0, 0.25).run(1, std::vector<int>{0, 1}, rows.data(), &out, scratch);
    EXPECT_DOUBLE_EQ(out, 50.0);
}

TEST(RobustAverage, FullTrimKeepsTheNearestLevelOnly) {
    Average::Scratch scratch;
    double out = 0;
    // Three rows, trim 1: only the row nearest to the mean (2) survives.
    const std::vector<double> three{0, 1, 5};
    Average(1, 1.0).run(1, three.size(), three.data(), &out, scratch);
    EXPECT_EQ(out, 1.0);
    // Two rows are always equidistant from their mean, so both are kept.
    const std::vector<double> two{0, 2};
    Average(3, 1.0).run(1, two.size(), two.data(), &out, scratch);
    EXPECT_EQ(out, 1.0);
    // Distances within a relative 1e-10 of each other count as one level; farther apart
    // they are cut separately.
    const std::vector<double> near_tie{1, -(1 + 2e-11), 10, -10 + 2e-11};
    Average(1, 1.0).run(1, near_tie.size(), near_tie.data(), &out, scratch);
    EXPECT_NEAR(out, -1e-11, 1e-14);
    const std::vector<double> no_tie{1, -(1 + 1e-9), 10, -10 + 1e-9};
    Average(1, 1.0).run(1, no_tie.size(), no_tie.data(), &out, scratch);
    EXPECT_EQ(out, 1.0);
}

TEST(RobustAverage, MultidimensionalRowsAndNoRows) {
    // 2-D rows; trim 0.5 over 3 rows keeps 2 (bound 1) and the squared distances decide.
    const std::vector<double> rows{0, 0, 2, 0, 0, 30};
    Average::Scratch scratch;
    std::vector<double> out(2);
    Average(1, 0.5).run(2, size_t(3), rows.data(), out.data(), scratch);
    EXPECT_EQ(out, (std::vector<double>{1, 0}));
    // Averaging nothing is undefined and must not read any row.
    Average(2, 0.25).run(2, size_t(0), nullptr, out.data(), scratch);
    EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
}

// ---- distance limit, inversion, positions ----------------------------------------------

TEST(LimitFromClosestDistances, MedianPlusScaledMad) {
    EXPECT_EQ(mnncorrect::limit_from_closest_distances(Table{}, 3.0), 0.0);
    EXPECT_TRUE(std::isnan(mnncorrect::limit_from_closest_distances(Table(4), 3.0)));
    // Distances 1, 2, 3, 4, 10: median 3; deviations 2, 1, 0, 1, 7: MAD 1.
    const Table closest{{{0, 4.0}, {1, 10.0}}, {}, {{0, 1.0}, {1, 3.0}}, {{2, 2.0}}};
    EXPECT_EQ(mnncorrect::limit_from_closest_distances(closest, 2.0), 3 + (1 * 2.0) * 1.4826);
}

TEST(InvertNeighbors, ListsClaimingEventsWithinTheLimit) {
    const Table closest{{{1, 0.5}, {0, 2.0}}, {{1, 1.0}}, {{0, 0.1}, {1, 3.0}}};
    using Inverted = std::vector<std::vector<int>>;
    EXPECT_EQ(mnncorrect::invert_neighbors(size_t(3), closest, 1.0), (Inverted{{2}, {0, 1}, {}}));
    EXPECT_EQ(mnncorrect::invert_neighbors(size_t(2), closest, std::nan("")), (Inverted{{}, {}}));
}

TEST(InvertIndices, PositionsOfPairedEvents) {
    EXPECT_EQ(mnncorrect::invert_indices(size_t(6), std::vector<int>{1, 4, 5}, -1),
              (std::vector<int>{-1, 0, -1, -1, 1, 2}));
}

TEST(IdentifyClosestMnn, CapQueriesEvenlySpacedEventsOnly) {
    const auto points = pairmend_test::uniform_points(2, 10, 41);
    const pairmend_test::BruteForce index(2, 4, points.data());
    const auto all = mnncorrect::identify_closest_mnn(2, size_t(10), points.data(), &index, 2, no_cap, 3);
    const auto capped =
        mnncorrect::identify_closest_mnn(2, size_t(10), points.data(), &index, 2, size_t(3), 3);
    ASSERT_EQ(all.size(), 10u);
    ASSERT_EQ(capped.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(all[i], index.find_nearest_neighbors(points.data() + 2 * i, 2));
        const bool sampled = i == 0 || i == 3 || i == 6;
        EXPECT_EQ(capped[i], sampled ? all[i] : List{}) << "event " << i;
    }
}

TEST(ComputeCenterOfMass, UnclaimedPairedEventKeepsItsOwnCoordinates) {
    // Events 0..3 in 1-D; paired events 0 and 3 (positions 0 and 1).
    const std::vector<double> data{0, 1, 2, 50};
    const std::vector<int> paired{0, 3};
    const Table closest{{{0, 0.0}}, {{0, 1.0}}, {{0, 2.0}}, {{1, 0.0}, {0, 50.0}}};
    std::vector<double> centres(2);
    // Limit -1 admits nothing: both centres are the paired events themselves.
    mnncorrect::compute_center_of_mass(1, paired, closest, data.data(), centres.data(), 0, 0.25, -1.0, 2);
    EXPECT_EQ(centres, (std::vector<double>{0, 50}));
    // Limit 2 lets events 0, 1, 2 claim position 0 and event 3 claim position 1.
    mnncorrect::compute_center_of_mass(1, paired, closest, data.data(), centres.data(), 0, 0.25, 2.0, 2);
    EXPECT_EQ(centres, (std::vector<double>{1, 50}));
}

// ---- correct_target --------------------------------------------------------------------

/// Pairs each target event i in `events` with reference row i.
mnncorrect::MnnPairs<int> identity_pairs(const std::vector<int>& events) {
    mnncorrect::MnnPairs<int> pairs(events.size());
    for (int i : events) {
        pairs.matches[i] = {i};
        ++pairs.num_pairs;
    }
    return pairs;
}

TEST(CorrectTarget, ConstantShiftIsRemovedWhenPairsAreExact) {
    const int ndim = 3;
    const int n = 200;
    const auto ref = pairmend_test::clustered_points(ndim, n, 3, 0.4, 51);
    const double shift[ndim] = {3.0, -2.0, 0.5};
    std::vector<double> target(ref.size());
    for (size_t i = 0; i < target.size(); ++i) {
        target[i] = ref[i] + shift[i % ndim];
    }

    std::vector<int> every_other;
    for (int i = 0; i < n; i += 2) {
        every_other.push_back(i);
    }
    std::vector<double> out(target.size());
    mnncorrect::correct_target(ndim, size_t(n), ref.data(), size_t(n), target.data(),
                               identity_pairs(every_other), pairmend_test::build_brute_force, 10, 3.0, 2,
                               0.25, out.data(), no_cap, 2);
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_NEAR(out[i], ref[i], 1e-9) << "value " << i;
    }
}

TEST(CorrectTarget, RobustAverageOfTheCorrectionVectors) {
    // One target event at 5 paired with reference rows at 0, 1 and 10 (1-D, k = 1): every
    // centre is its own event, so the vectors are -5, -4 and 5.
    const std::vector<double> ref{0, 1, 10};
    const std::vector<double> target{5};
    mnncorrect::MnnPairs<int> pairs(1);
    pairs.matches[0] = {0, 1, 2};
    pairs.num_pairs = 3;
    double out = 0;
    // No iteration: the plain mean, 5 - 4/3.
    mnncorrect::correct_target(1, size_t(3), ref.data(), size_t(1), target.data(), pairs,
                               pairmend_test::build_brute_force, 1, 3.0, 0, 0.5, &out, no_cap, 1);
    EXPECT_DOUBLE_EQ(out, 5.0 - 4.0 / 3.0);
    // Trim 0.5 keeps the two vectors nearest the mean (-5 and -4), then keeps both as they
    // tie around -4.5.
    mnncorrect::correct_target(1, size_t(3), ref.data(), size_t(1), target.data(), pairs,
                               pairmend_test::build_brute_force, 1, 3.0, 2, 0.5, &out, no_cap, 1);
    EXPECT_DOUBLE_EQ(out, 0.5);
}

TEST(CorrectTarget, KCoveringAllPairedTargetsLetsEveryPairContribute) {
    // Reference 0 and 10 paired with targets 1 and 13 (vectors -1 and -3). With num_mads 0
    // the limits keep every centre at its own event.
    const std::vector<double> ref{0, 10};
    const std::vector<double> target{1, 13};
    const auto pairs = identity_pairs({0, 1});
    std::vector<double> out(2);
    mnncorrect::correct_target(1, size_t(2), ref.data(), size_t(2), target.data(), pairs,
                               pairmend_test::build_brute_force, 1, 0.0, 0, 0.25, out.data(), no_cap, 2);
    EXPECT_EQ(out, (std::vector<double>{0, 10}));
    mnncorrect::correct_target(1, size_t(2), ref.data(), size_t(2), target.data(), pairs,
                               pairmend_test::build_brute_force, 2, 0.0, 0, 0.25, out.data(), no_cap, 2);
    EXPECT_EQ(out, (std::vector<double>{-1, 11}));
}

/// Corrects a shifted copy of a clustered reference with pairs found by the MNN search.
std::vector<double> correct_clusters(int nthreads, size_t cap) {
    const int ndim = 4;
    const int nref = 300;
    const int ntarget = 240;
    const int k = 8;
    const auto ref = pairmend_test::clustered_points(ndim, nref, 5, 0.3, 61);
    auto target = pairmend_test::clustered_points(ndim, ntarget, 5, 0.3, 61);
    for (size_t i = 0; i < target.size(); ++i) {
        target[i] += 0.4 + 0.1 * static_cast<double>(i % ndim);
    }
    const pairmend_test::BruteForce ref_index(ndim, nref, ref.data());
    const pairmend_test::BruteForce target_index(ndim, ntarget, target.data());
    const auto pairs = mnncorrect::find_mutual_nns(
        mnncorrect::quick_find_nns(size_t(nref), ref.data(), &target_index, k, nthreads),
        mnncorrect::quick_find_nns(size_t(ntarget), target.data(), &ref_index, k, nthreads));

    std::vector<double> out(target.size());
    mnncorrect::correct_target(ndim, size_t(nref), ref.data(), size_t(ntarget), target.data(), pairs,
                               pairmend_test::build_brute_force, k, 3.0, 2, 0.25, out.data(), cap, nthreads);
    return out;
}

TEST(CorrectTarget, IdenticalWhateverTheThreadCount) {
    for (size_t cap : {no_cap, size_t(50)}) {
        const auto single = correct_clusters(1, cap);
        for (double value : single) {
            ASSERT_TRUE(std::isfinite(value)) << "every target event must be corrected, cap " << cap;
        }
        for (int nthreads : {2, 3, 8}) {
            EXPECT_EQ(correct_clusters(nthreads, cap), single) << nthreads << " threads, cap " << cap;
        }
    }
}

std::shared_ptr<knncolle::Base<int, double, double>> failing_builder(int, size_t, const double*) {
    throw std::runtime_error("index build failed");
}

/// Brute-force index whose queries by vector always fail.
class FailingIndex : public pairmend_test::BruteForce {
public:
    FailingIndex(int ndim, int nobs, const double* data) : BruteForce(ndim, nobs, data) {}

    using pairmend_test::BruteForce::find_nearest_neighbors;
    List find_nearest_neighbors(const double*, int) const override {
        throw std::runtime_error("query failed");
    }
};

std::shared_ptr<knncolle::Base<int, double, double>> failing_query_builder(int ndim, size_t n,
                                                                           const double* data) {
    return std::make_shared<FailingIndex>(ndim, static_cast<int>(n), data);
}

TEST(CorrectTarget, FailuresReachTheCaller) {
    const std::vector<double> ref{0, 1, 2};
    const std::vector<double> target{0.5, 1.5};
    const auto pairs = identity_pairs({0, 1});
    std::vector<double> out(2);
    auto run = [&](auto builder, const mnncorrect::MnnPairs<int>& p, int k, int iterations, double trim,
                   int nthreads) {
        return message_of([&] {
            mnncorrect::correct_target(1, size_t(3), ref.data(), size_t(2), target.data(), p, builder, k, 3.0,
                                       iterations, trim, out.data(), no_cap, nthreads);
        });
    };

    for (int nthreads : {1, 3}) {
        EXPECT_EQ(run(failing_builder, pairs, 2, 2, 0.25, nthreads), "index build failed");
        EXPECT_EQ(run(failing_query_builder, pairs, 2, 2, 0.25, nthreads), "query failed");
    }

    // Invalid settings and an empty pair set are refused before any index is built.
    int builds = 0;
    auto counting_builder = [&builds](int ndim, size_t n, const double* data) {
        ++builds;
        return pairmend_test::build_brute_force(ndim, n, data);
    };
    EXPECT_EQ(run(counting_builder, pairs, 2, 2, 1.5, 2), "trimming proportion must be in [0, 1]");
    EXPECT_EQ(run(counting_builder, pairs, 2, -1, 0.25, 2), "number of iterations must be non-negative");
    EXPECT_EQ(run(counting_builder, pairs, 0, 2, 0.25, 2),
              "The number of neighbors must be at least 1, not 0.");
    EXPECT_EQ(run(counting_builder, mnncorrect::MnnPairs<int>(), 2, 2, 0.25, 2),
              "Cannot correct a batch that shares no mutual nearest neighbours with the reference: the batch "
              "does not overlap any population of the reference.");
    EXPECT_EQ(builds, 0);
    EXPECT_EQ(run(counting_builder, pairs, 2, 2, 0.25, 2), "no exception");
    EXPECT_EQ(builds, 2);
}

} // namespace
