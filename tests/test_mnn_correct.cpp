// Tests of the correction engine as a whole, on the real neighbour indices: synthetic
// batches that hold the same Gaussian populations moved by known shift vectors.

#include "shifted_batches.hpp"

#include "mnncorrect/MnnCorrect.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Engine = mnncorrect::MnnCorrect<int, double>;
using Details = Engine::Details;

constexpr int kNdim = 3;
constexpr size_t kPops = 3;

/// Three populations 40 standard deviations apart.
const std::vector<double> kCentres{0, 0, 0, 40, 0, 0, 0, 40, 0};

/// Shifts of about 8 standard deviations between every two batches.
const std::vector<std::vector<double>> kShifts{{0, 0, 0}, {8, 0, 0}, {0, -5, 6}};

/// Events of several batches, grouped in id order, plus each event's batch id and population.
struct Mixture {
    std::vector<size_t> sizes;
    std::vector<std::vector<double>> shifts;
    std::vector<double> values;
    std::vector<int> batch;
    std::vector<size_t> population;

    Mixture(const std::vector<size_t>& batch_sizes, const std::vector<std::vector<double>>& batch_shifts,
            std::uint64_t seed)
        : sizes(batch_sizes), shifts(batch_shifts) {
        for (size_t b = 0; b < sizes.size(); ++b) {
            const auto part =
                pairmend_test::shifted_batch(kNdim, sizes[b], kCentres, shifts[b], 1.0, seed + b);
            values.insert(values.end(), part.begin(), part.end());
            for (size_t i = 0; i < sizes[b]; ++i) {
                batch.push_back(static_cast<int>(b));
                population.push_back(i % kPops);
            }
        }
    }

    size_t nobs() const { return batch.size(); }

    /// First event of batch `b` in the grouped layout.
    size_t start(size_t b) const {
        size_t s = 0;
        for (size_t c = 0; c < b; ++c) {
            s += sizes[c];
        }
        return s;
    }

    const double* batch_values(size_t b) const { return values.data() + start(b) * kNdim; }
};

Engine engine(bool approximate, int threads) {
    Engine::Options options;
    options.approximate = approximate;
    options.num_threads = threads;
    return Engine(options);
}

Details run_grouped(const Engine& e, const Mixture& m, std::vector<double>& output,
                    const int* order = nullptr) {
    output.assign(m.values.size(), 0.0);
    return e.run(kNdim, m.nobs(), m.values.data(), m.batch.data(), output.data(), order);
}

/// Mean of the events of batch `b` and population `p`, in dimension `d`.
double mean_of(const Mixture& m, const std::vector<double>& data, size_t b, size_t p, size_t d) {
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i < m.nobs(); ++i) {
        if (static_cast<size_t>(m.batch[i]) == b && m.population[i] == p) {
            sum += data[i * kNdim + d];
            ++count;
        }
    }
    return sum / static_cast<double>(count);
}

// --- Correction quality ----------------------------------------------------------------------

class Correction : public ::testing::TestWithParam<bool> {};

TEST_P(Correction, RemovesMostOfALargeShiftAndKeepsPopulationsApart) {
    const Mixture m({300, 240, 270}, kShifts, 1234);
    std::vector<double> output;
    const Details details = run_grouped(engine(GetParam(), 2), m, output);
    ASSERT_EQ(details.merge_order.size(), 3u);
    const size_t first = static_cast<size_t>(details.merge_order[0]);

    for (size_t b = 0; b < 3; ++b) {
        if (b == first) {
            continue;
        }
        double shift_length = 0;
        for (size_t d = 0; d < kNdim; ++d) {
            const double delta = m.shifts[b][d] - m.shifts[first][d];
            shift_length += delta * delta;
        }
        shift_length = std::sqrt(shift_length);

        for (size_t p = 0; p < kPops; ++p) {
            double residual = 0;
            for (size_t d = 0; d < kNdim; ++d) {
                const double delta = mean_of(m, output, b, p, d) - mean_of(m, m.values, first, p, d);
                residual += delta * delta;
            }
            EXPECT_LT(std::sqrt(residual), 0.1 * shift_length) << "batch " << b << ", population " << p;
        }
    }

    // Every event stays nearest to its own population's centre in the first batch's frame.
    for (size_t i = 0; i < m.nobs(); ++i) {
        size_t nearest = 0;
        double best = 0;
        for (size_t p = 0; p < kPops; ++p) {
            double dist = 0;
            for (size_t d = 0; d < kNdim; ++d) {
                const double delta = output[i * kNdim + d] - (kCentres[p * kNdim + d] + m.shifts[first][d]);
                dist += delta * delta;
            }
            if (p == 0 || dist < best) {
                nearest = p;
                best = dist;
            }
        }
        ASSERT_EQ(nearest, m.population[i]) << "event " << i;
    }
}

TEST_P(Correction, OutputDoesNotDependOnTheThreadCount) {
    const Mixture m({150, 120, 90}, kShifts, 55);
    std::vector<double> expected;
    const Details reference = run_grouped(engine(GetParam(), 1), m, expected);
    for (const int threads : {0, 2, 3, 8}) {
        std::vector<double> output;
        const Details details = run_grouped(engine(GetParam(), threads), m, output);
        EXPECT_EQ(output, expected) << threads << " threads";
        EXPECT_EQ(details.merge_order, reference.merge_order);
        EXPECT_EQ(details.num_pairs, reference.num_pairs);
    }
}

INSTANTIATE_TEST_SUITE_P(ExactAndApproximate, Correction, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                             return param_info.param ? std::string("Approximate") : std::string("Exact");
                         });

// --- Interruption -----------------------------------------------------------------------------

TEST(MnnCorrect, AStopCheckEndsTheRunBetweenPhasesAndOtherwiseChangesNothing) {
    const Mixture m({100, 160, 130}, kShifts, 78);
    std::vector<double> plain;
    const Details expected = run_grouped(Engine(), m, plain);

    for (const bool automatic : {true, false}) {
        // Never asked to stop: every phase calls the check, and the result is the same.
        Engine::Options options;
        options.automatic_order = automatic;
        int calls = 0;
        Engine::Hooks counting_hooks;
        counting_hooks.should_stop = [&calls] {
            ++calls;
            return false;
        };
        const Engine counting(options, counting_hooks);
        std::vector<double> checked;
        const Details details = run_grouped(counting, m, checked);
        if (automatic) {
            EXPECT_EQ(details.merge_order, expected.merge_order);
            EXPECT_EQ(checked, plain);
        }
        // Once after the first indices, then before and after each of the two merges.
        EXPECT_EQ(calls, 5) << automatic;

        // Asked to stop at each of those points in turn: the run ends there.
        for (int stop_at = 1; stop_at <= calls; ++stop_at) {
            int seen = 0;
            Engine::Hooks stopping_hooks;
            stopping_hooks.should_stop = [&seen, stop_at] { return ++seen == stop_at; };
            const Engine stopping(options, stopping_hooks);
            std::vector<double> output;
            EXPECT_THROW(run_grouped(stopping, m, output), mnncorrect::Interrupted) << stop_at;
            EXPECT_EQ(seen, stop_at);
        }
    }
}

// --- Merge orders ----------------------------------------------------------------------------

TEST(MnnCorrect, FirstBatchOfTheMergeOrderComesOutUnchanged) {
    const Mixture m({100, 160, 130}, kShifts, 77);
    std::vector<double> output;
    const Details details = run_grouped(Engine(), m, output);
    const size_t first = static_cast<size_t>(details.merge_order.at(0));
    const size_t begin = m.start(first) * kNdim;
    const size_t end = begin + m.sizes[first] * kNdim;
    for (size_t i = begin; i < end; ++i) {
        ASSERT_EQ(output[i], m.values[i]) << "value " << i;
    }
}

TEST(MnnCorrect, OrdersAndPairCountsFollowTheOptions) {
    const Mixture m({100, 160, 130}, kShifts, 88);
    const int k = Engine().options().num_neighbors;
    auto pairs_between = [&](size_t a, size_t b) {
        return static_cast<int>(pairmend_test::count_mutual_pairs(kNdim, m.sizes[a], m.batch_values(a),
                                                                  m.sizes[b], m.batch_values(b), k));
    };
    std::vector<double> output;

    // Automatic order from the largest batch: the batch with more pairs with it comes next.
    Engine::Options by_size_options;
    by_size_options.reference_policy = mnncorrect::MaxSize;
    const Engine automatic(by_size_options);
    const Details by_size = run_grouped(automatic, m, output);
    const int with_0 = pairs_between(1, 0);
    const int with_2 = pairs_between(1, 2);
    const int next = with_2 > with_0 ? 2 : 0;
    EXPECT_EQ(by_size.merge_order, (std::vector<int>{1, next, 2 - next}));
    ASSERT_EQ(by_size.num_pairs.size(), 2u);
    EXPECT_EQ(by_size.num_pairs[0], std::max(with_0, with_2));

    // Id order when the automatic order is off.
    // (The options replaced after construction.)
    Engine::Options in_order_options;
    in_order_options.automatic_order = false;
    Engine in_order;
    in_order.set_options(in_order_options);
    const Details by_id = run_grouped(in_order, m, output);
    EXPECT_EQ(by_id.merge_order, (std::vector<int>{0, 1, 2}));
    ASSERT_EQ(by_id.num_pairs.size(), 2u);
    EXPECT_EQ(by_id.num_pairs[0], pairs_between(0, 1));

    // A given order wins over the automatic order.
    const std::vector<int> custom{2, 0, 1};
    const Details given = run_grouped(Engine(), m, output, custom.data());
    EXPECT_EQ(given.merge_order, custom);
    ASSERT_EQ(given.num_pairs.size(), 2u);
    EXPECT_EQ(given.num_pairs[0], pairs_between(2, 0));
    for (size_t i = m.start(2) * kNdim; i < m.start(3) * kNdim; ++i) {
        ASSERT_EQ(output[i], m.values[i]);
    }
}

// --- Input layouts ---------------------------------------------------------------------------

/// The same events in another order: event i of the result is event `from[i]` of `m`.
struct Shuffled {
    std::vector<double> values;
    std::vector<int> batch;
};

Shuffled take(const Mixture& m, const std::vector<size_t>& from) {
    Shuffled s;
    for (const size_t i : from) {
        s.values.insert(s.values.end(), m.values.begin() + static_cast<std::ptrdiff_t>(i * kNdim),
                        m.values.begin() + static_cast<std::ptrdiff_t>((i + 1) * kNdim));
        s.batch.push_back(m.batch[i]);
    }
    return s;
}

TEST(MnnCorrect, EveryLayoutReturnsEachEventInItsInputRow) {
    const Mixture m({90, 110, 70}, kShifts, 99);
    const Engine e = engine(false, 2);
    std::vector<double> grouped_output;
    const Details grouped = run_grouped(e, m, grouped_output);

    // Per-batch blocks give the grouped result too.
    std::vector<const double*> blocks{m.batch_values(0), m.batch_values(1), m.batch_values(2)};
    std::vector<double> block_output(m.values.size());
    const Details by_block = e.run(kNdim, m.sizes, blocks, block_output.data(), nullptr);
    EXPECT_EQ(block_output, grouped_output);
    EXPECT_EQ(by_block.merge_order, grouped.merge_order);

    // Interleaved and descending-grouped ids: each event's values land in its own row, and
    // since grouping keeps each batch's order, they equal the grouped result bit for bit.
    std::vector<size_t> interleaved;
    std::vector<size_t> descending;
    for (size_t r = 0; r < 110; ++r) {
        for (size_t b = 0; b < 3; ++b) {
            if (r < m.sizes[b]) {
                interleaved.push_back(m.start(b) + r);
            }
        }
    }
    for (size_t b = 3; b-- > 0;) {
        for (size_t r = 0; r < m.sizes[b]; ++r) {
            descending.push_back(m.start(b) + r);
        }
    }
    for (const auto& from : {interleaved, descending}) {
        const Shuffled s = take(m, from);
        std::vector<double> output(s.values.size());
        const Details details =
            e.run(kNdim, from.size(), s.values.data(), s.batch.data(), output.data(), nullptr);
        EXPECT_EQ(details.merge_order, grouped.merge_order);
        for (size_t i = 0; i < from.size(); ++i) {
            for (size_t d = 0; d < kNdim; ++d) {
                ASSERT_EQ(output[i * kNdim + d], grouped_output[from[i] * kNdim + d]) << "event " << i;
            }
        }
    }
}

TEST(MnnCorrect, ABatchIdWithoutEventsContributesNoRows) {
    Mixture m({120, 0, 100}, kShifts, 31);
    std::vector<double> output;
    const Details details = run_grouped(Engine(), m, output);
    ASSERT_EQ(details.merge_order.size(), 3u);
    ASSERT_EQ(details.num_pairs.size(), 2u);
    for (size_t step = 1; step < 3; ++step) {
        if (details.merge_order[step] == 1) {
            EXPECT_EQ(details.num_pairs[step - 1], 0);
        } else {
            EXPECT_GT(details.num_pairs[step - 1], 0);
        }
    }

    // Through the per-batch form with the empty batch first in the order: batch 0 becomes the reference.
    const std::vector<const double*> blocks{m.batch_values(0), nullptr, m.batch_values(2)};
    const std::vector<int> order{1, 0, 2};
    std::vector<double> block_output(m.values.size());
    const Details given = Engine().run(kNdim, m.sizes, blocks, block_output.data(), order.data());
    EXPECT_EQ(given.merge_order, order);
    EXPECT_EQ(given.num_pairs[0], 0);
    for (size_t i = 0; i < m.sizes[0] * kNdim; ++i) {
        ASSERT_EQ(block_output[i], m.values[i]);
    }
}

TEST(MnnCorrect, NoEventsGiveNoMergeOrder) {
    const Details details = Engine().run(kNdim, 0, static_cast<const double*>(nullptr),
                                         static_cast<const int*>(nullptr), nullptr, nullptr);
    EXPECT_TRUE(details.merge_order.empty());
    EXPECT_TRUE(details.num_pairs.empty());
}

// --- Refusals ------------------------------------------------------------------------------

std::string error_of(const Engine& e, const Mixture& m, const int* order = nullptr) {
    std::vector<double> output(m.values.size());
    try {
        e.run(kNdim, m.nobs(), m.values.data(), m.batch.data(), output.data(), order);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

TEST(MnnCorrect, InvalidOptionsAreRefusedBeforeAnyWork) {
    // Even without events, where no correction would ever check them.
    const Mixture none({}, {}, 1);
    Engine::Options no_neighbors;
    no_neighbors.num_neighbors = 0;
    EXPECT_EQ(error_of(Engine(no_neighbors), none), "The number of neighbors must be at least 1, not 0");

    Engine::Options bad_trim;
    bad_trim.robust_trim = 1.5;
    bad_trim.robust_iterations = -1;
    EXPECT_EQ(error_of(Engine(bad_trim), none), "trimming proportion must be in [0, 1]");

    Engine::Options bad_iterations;
    bad_iterations.robust_iterations = -1;
    EXPECT_EQ(error_of(Engine(bad_iterations), none), "number of iterations must be non-negative");
}

TEST(MnnCorrect, BadBatchIdsAndOrdersAreRefused) {
    Mixture m({30, 30, 30}, kShifts, 5);
    const std::vector<int> repeated{0, 0, 1};
    EXPECT_EQ(error_of(Engine(), m, repeated.data()),
              "The merge order names batch 0 more than once; it must name every batch exactly once.");

    m.batch[4] = -2;
    EXPECT_EQ(error_of(Engine(), m), "Batch ids must not be negative, but event 5 has batch id -2.");
}

} // namespace
