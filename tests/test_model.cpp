// Correction models: fitting on every event reproduces the engine's correction bit for bit
// through apply (both merge orders, both search modes, several thread counts), subsample fitting
// follows the floor rule, extend leaves the old batches untouched, and apply refuses what it
// cannot correct.

#include "mnncorrect/Interrupted.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/mnn_method.hpp"
#include "pairmend/model/model_file.hpp"
#include "pairmend/model/subsample.hpp"

#include "shifted_batches.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using pairmend::model::BatchEvents;
using pairmend::model::FitOptions;
using pairmend::model::Model;

constexpr int ndim = 5;

std::string message_of(const std::function<void()>& fun) {
    try {
        fun();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Three populations in every batch, each batch moved by its own shift.
std::vector<double> population_centres() {
    return {0, 0, 0, 0, 0, 6, 0, 3, 0, 0, 0, 6, 0, 3, 6};
}

std::vector<double> batch_events(size_t n, double shift, std::uint64_t seed) {
    const std::vector<double> offset{shift, -0.5 * shift, 0.3 * shift, 0, 0.2 * shift};
    return pairmend_test::shifted_batch(ndim, n, population_centres(), offset, 0.6, seed);
}

// Events of several batches interleaved in input order, each with its batch id.
struct Labelled {
    std::vector<double> events;
    std::vector<int> ids;
    std::vector<std::string> names;
};

Labelled interleaved(const std::vector<size_t>& sizes, std::uint64_t seed) {
    Labelled data;
    std::vector<std::vector<double>> batches;
    for (size_t b = 0; b < sizes.size(); ++b) {
        batches.push_back(batch_events(sizes[b], 1.5 * static_cast<double>(b), seed + b));
        data.names.push_back("batch " + std::string(1, static_cast<char>('A' + b)));
    }
    std::vector<size_t> next(sizes.size(), 0);
    for (
        size_t taken = 0, round = 0; taken <
                                     [&] {
                                         size_t total = 0;
                                         for (const size_t s : sizes) {
                                             total += s;
                                         }
                                         return total;
                                     }();
        ++round) {
        const size_t b = round % sizes.size();
        if (next[b] < sizes[b]) {
            data.events.insert(data.events.end(), batches[b].begin() + static_cast<long>(next[b] * ndim),
                               batches[b].begin() + static_cast<long>((next[b] + 1) * ndim));
            data.ids.push_back(static_cast<int>(b));
            ++next[b];
            ++taken;
        }
    }
    return data;
}

std::vector<double> engine_correction(const Labelled& data, const pairmend::model::Settings& settings,
                                      int threads) {
    mnncorrect::Options options;
    options.num_neighbors = settings.num_neighbors;
    options.num_mads = settings.num_mads;
    options.robust_iterations = settings.robust_iterations;
    options.robust_trim = settings.robust_trim;
    options.approximate = settings.approximate;
    options.automatic_order = settings.automatic_order;
    options.reference_policy = settings.reference_policy;
    options.observation_cap = static_cast<size_t>(settings.observation_cap);
    options.num_threads = threads;
    const mnncorrect::MnnCorrect<int, double> engine(options);
    std::vector<double> output(data.events.size());
    engine.run(ndim, data.ids.size(), data.events.data(), data.ids.data(), output.data(),
               static_cast<const int*>(nullptr));
    return output;
}

// ---- exactness -----------------------------------------------------------------------

// (automatic order, approximate search, fit threads, apply threads, observation cap)
using ExactCase = std::tuple<bool, bool, int, int, std::uint64_t>;

class Exactness : public ::testing::TestWithParam<ExactCase> {};

TEST_P(Exactness, FitOnEveryEventThenApplyEqualsTheCorrectionBitForBit) {
    const auto [automatic, approximate, fit_threads, apply_threads, cap] = GetParam();
    const Labelled data = interleaved({420, 300, 510, 260}, 41);
    FitOptions options;
    options.settings.automatic_order = automatic;
    options.settings.approximate = approximate;
    options.settings.observation_cap = cap;
    options.settings.reference_events = 700;
    options.num_threads = fit_threads;

    const std::vector<double> expected = engine_correction(data, options.settings, 1);
    std::vector<double> fitted(data.events.size());
    const Model model = pairmend::model::fit_labelled(ndim, data.ids.size(), data.events.data(),
                                                      data.ids.data(), data.names, options, fitted.data());
    EXPECT_TRUE(same_bits(fitted, expected)) << "capturing the model changed the correction";

    std::vector<double> applied(data.events.size());
    pairmend::model::apply_labelled(model, ndim, data.ids.size(), data.events.data(), data.ids.data(),
                                    data.names, applied.data(), apply_threads);
    ASSERT_TRUE(same_bits(applied, expected)) << "apply differs from the correction";

    // The same after a trip through the model file.
    const std::vector<unsigned char> bytes = pairmend::model::encode_model(model);
    const Model loaded = pairmend::model::decode_model(bytes.data(), bytes.size(), "The model file m.pmm");
    std::vector<double> reloaded(data.events.size());
    pairmend::model::apply_labelled(loaded, ndim, data.ids.size(), data.events.data(), data.ids.data(),
                                    data.names, reloaded.data(), apply_threads);
    EXPECT_TRUE(same_bits(reloaded, expected));

    // The merge order the model reports is the engine's: the first batch holds no correction.
    ASSERT_EQ(model.batches.size(), 4U);
    EXPECT_FALSE(model.batches[0].correction);
    for (size_t b = 1; b < model.batches.size(); ++b) {
        EXPECT_FALSE(model.batches[b].as<pairmend::model::MnnCorrection>().state.empty());
    }
    if (!automatic) {
        for (size_t b = 0; b < model.batches.size(); ++b) {
            EXPECT_EQ(model.batches[b].name, data.names[b]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    OrdersSearchesThreadsAndCaps, Exactness,
    ::testing::Values(ExactCase{true, false, 1, 1, std::numeric_limits<std::uint64_t>::max()},
                      ExactCase{false, false, 2, 1, std::numeric_limits<std::uint64_t>::max()},
                      ExactCase{true, true, 1, 2, std::numeric_limits<std::uint64_t>::max()},
                      ExactCase{false, true, 2, 2, std::numeric_limits<std::uint64_t>::max()},
                      ExactCase{true, false, 2, 2, 150}, ExactCase{false, true, 1, 2, 150}));

// A model of batches A and B, 400 events each, merged in input order: batch A is the first reference.
Model model_of_two_batches(std::uint64_t seed) {
    const Labelled data = interleaved({400, 400}, seed);
    FitOptions options;
    options.settings.automatic_order = false;
    return pairmend::model::fit_labelled(ndim, data.ids.size(), data.events.data(), data.ids.data(),
                                         data.names, options, nullptr);
}

TEST(Apply, EventsNeverSeenAreCorrectedAndTheFirstReferenceStaysPut) {
    const Model model = model_of_two_batches(7);
    ASSERT_EQ(model.batches[0].name, "batch A");
    const std::string first = "batch A";
    const std::string second = "batch B";

    // Fresh events of batch B (value 0 averages 3.5) lose most of their shift against batch A (2.0).
    const std::vector<double> fresh = batch_events(300, 1.5, 99);
    std::vector<double> corrected(fresh.size());
    pairmend::model::apply(model, second, ndim, 300, fresh.data(), corrected.data(), 2);
    double before = 0;
    double after = 0;
    for (size_t i = 0; i < 300; ++i) {
        before += fresh[i * ndim];
        after += corrected[i * ndim];
    }
    EXPECT_GT(before / 300 - 2.0, 1.2);
    EXPECT_LT(std::abs(after / 300 - 2.0), 0.5 * (before / 300 - 2.0));

    // Applied in place, block by block with one corrector, gives the same values.
    const pairmend::model::BatchCorrector corrector(model, second);
    std::vector<double> in_place = fresh;
    corrector.apply(ndim, 100, in_place.data(), in_place.data(), 1);
    corrector.apply(ndim, 200, in_place.data() + 100 * ndim, in_place.data() + 100 * ndim, 2);
    EXPECT_TRUE(same_bits(in_place, corrected));

    std::vector<double> unchanged(fresh.size());
    pairmend::model::apply(model, first, ndim, 300, fresh.data(), unchanged.data(), 1);
    EXPECT_TRUE(same_bits(unchanged, fresh));
}

TEST(Apply, AStopCheckBetweenBlocksEndsTheCallOrLeavesTheValuesOfOneWholeCall) {
    const Model model = model_of_two_batches(13);
    const std::vector<std::string> names{"batch A", "batch B"};
    // Two whole blocks and a part of batch B, then a few events of batch A, in one call.
    const std::size_t nb = 2 * pairmend::model::kEventsPerStopCheck + 123;
    std::vector<double> events = batch_events(nb, 1.5, 5);
    const std::vector<double> of_a = batch_events(50, 0, 6);
    events.insert(events.end(), of_a.begin(), of_a.end());
    std::vector<int> ids(nb, 1);
    ids.resize(nb + 50, 0);
    const std::size_t n = ids.size();

    std::vector<double> whole(nb * ndim);
    pairmend::model::apply(model, "batch B", ndim, nb, events.data(), whole.data(), 2);
    whole.insert(whole.end(), of_a.begin(), of_a.end());
    int checks = 0;
    std::vector<double> blocked(events.size());
    pairmend::model::apply_labelled(model, ndim, n, events.data(), ids.data(), names, blocked.data(), 2,
                                    [&] { return ++checks < 0; });
    EXPECT_EQ(checks, 4); // three blocks of batch B, one of batch A
    EXPECT_TRUE(same_bits(blocked, whole));

    // Asked to stop before the second block: the call ends and writes nothing.
    checks = 0;
    std::vector<double> untouched(events.size(), -7.0);
    EXPECT_THROW(pairmend::model::apply_labelled(model, ndim, n, events.data(), ids.data(), names,
                                                 untouched.data(), 1, [&] { return ++checks == 2; }),
                 mnncorrect::Interrupted);
    EXPECT_EQ(checks, 2);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](double v) { return v == -7.0; }));
}

TEST(Apply, UnknownBatchesAndWrongWidthsAreRefusedWithTheReason) {
    const Labelled data = interleaved({200, 200, 200}, 3);
    const Model model = pairmend::model::fit_labelled(ndim, data.ids.size(), data.events.data(),
                                                      data.ids.data(), data.names, FitOptions(), nullptr);
    std::vector<double> events(4 * ndim, 1.0);
    std::vector<double> output(events.size(), -7.0);
    EXPECT_EQ(message_of([&] {
                  pairmend::model::apply(model, "batch Z", ndim, 4, events.data(), output.data(), 1);
              }),
              "The model knows no batch named \"batch Z\"; it knows \"" + model.batches[0].name + "\", \"" +
                  model.batches[1].name + "\" and \"" + model.batches[2].name +
                  "\". Fit or extend the model with that batch first.");
    EXPECT_EQ(message_of([&] {
                  pairmend::model::apply(model, "batch B", ndim - 1, 4, events.data(), output.data(), 1);
              }),
              "The model corrects events of 5 parameters, but the events to correct have 4 values each.");
    // A labelled call with one unknown name writes nothing, not even the known batch's events.
    const std::vector<int> ids{0, 1, 0, 1};
    EXPECT_NE(message_of([&] {
                  pairmend::model::apply_labelled(model, ndim, 4, events.data(), ids.data(),
                                                  {"batch A", "nope"}, output.data(), 1);
              }).find("no batch named \"nope\""),
              std::string::npos);
    EXPECT_EQ(output, std::vector<double>(events.size(), -7.0));
}

TEST(Fit, RefusesWhatCannotBeFitted) {
    const std::vector<double> events = batch_events(50, 0, 1);
    FitOptions options;
    EXPECT_EQ(message_of([&] {
                  pairmend::model::fit(ndim, {{"only", 50, events.data()}}, options);
              }),
              "A model needs at least two batches to learn a correction, but 1 were given.");
    EXPECT_EQ(message_of([&] {
                  pairmend::model::fit(ndim, {{"x", 50, events.data()}, {"x", 50, events.data()}}, options);
              }),
              "Two batches to fit are named \"x\"; every batch needs a name of its own.");
    EXPECT_EQ(message_of([&] {
                  pairmend::model::fit(ndim, {{"x", 50, events.data()}, {"y", 0, events.data()}}, options);
              }),
              "The batch named \"y\" has no events; every batch to fit needs at least one.");
    options.parameters = {"a", "b"};
    EXPECT_EQ(message_of([&] {
                  pairmend::model::fit(ndim, {{"x", 50, events.data()}, {"y", 50, events.data()}}, options);
              }),
              "There are 2 parameter names for 5 values per event; give one name per value.");
    options.parameters.clear();
    options.settings.num_neighbors = 0;
    EXPECT_EQ(message_of([&] {
                  pairmend::model::fit(ndim, {{"x", 50, events.data()}, {"y", 50, events.data()}}, options);
              }),
              "The number of neighbors must be at least 1, not 0.");
}

// ---- subsample fitting ---------------------------------------------------------------

TEST(Subsample, FloorRuleExactForLargeCounts) {
    EXPECT_EQ(pairmend::model::even_positions(10, 4), (std::vector<size_t>{0, 2, 5, 7}));
    EXPECT_EQ(pairmend::model::even_positions(3, 5), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(pairmend::model::even_positions(1000000000, 3), (std::vector<size_t>{0, 333333333, 666666666}));
    // i * n overflows 64 bits here; the result must still be exact.
    const std::uint64_t n = 18000000000000000000ULL;
    EXPECT_EQ(pairmend::model::scaled_floor(7, n, 9), 14000000000000000000ULL);
    // The last of N = 10^9 - 71 positions of n = 10^9 - 63 events: floor((N - 1) * n / N) = n - 2.
    EXPECT_EQ(pairmend::model::scaled_floor(999999928, 999999937, 999999929), 999999935U);

    // Shares of blocks follow the same rule over their concatenation.
    EXPECT_EQ(pairmend::model::even_shares({5, 5}, 4), (std::vector<size_t>{2, 2}));
    EXPECT_EQ(pairmend::model::even_shares({3, 7}, 5), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(pairmend::model::even_shares({3, 7}, 50), (std::vector<size_t>{3, 7}));
    EXPECT_EQ(pairmend::model::even_shares({1, 0, 999}, 10), (std::vector<size_t>{1, 0, 9}));
}

TEST(Subsample, FitsOnTheFloorRuleEventsDeterministicallyAndCorrectsEveryEvent) {
    const std::vector<size_t> sizes{900, 650, 777};
    std::vector<std::vector<double>> events;
    std::vector<BatchEvents> batches;
    const std::vector<std::string> names{"first", "second", "third"};
    for (size_t b = 0; b < sizes.size(); ++b) {
        events.push_back(batch_events(sizes[b], 2.0 * static_cast<double>(b), 70 + b));
    }
    for (size_t b = 0; b < sizes.size(); ++b) {
        batches.push_back({names[b], sizes[b], events[b].data()});
    }
    FitOptions options;
    options.fit_events = 300;
    options.num_threads = 2;
    std::vector<std::vector<double>> corrected;
    std::vector<double*> outputs;
    for (size_t b = 0; b < sizes.size(); ++b) {
        corrected.emplace_back(sizes[b] * ndim);
    }
    for (auto& block : corrected) {
        outputs.push_back(block.data());
    }
    const Model model = pairmend::model::fit(ndim, batches, options, outputs);
    for (const auto& batch : model.batches) {
        EXPECT_EQ(batch.fitted_events, 300U);
    }

    // The same model from the events at floor(i * n / 300), picked here and fitted whole.
    std::vector<std::vector<double>> picked(sizes.size());
    std::vector<BatchEvents> picked_batches;
    for (size_t b = 0; b < sizes.size(); ++b) {
        for (size_t i = 0; i < 300; ++i) {
            const size_t position = i * sizes[b] / 300;
            picked[b].insert(picked[b].end(), events[b].begin() + static_cast<long>(position * ndim),
                             events[b].begin() + static_cast<long>((position + 1) * ndim));
        }
        picked_batches.push_back({names[b], 300, picked[b].data()});
    }
    FitOptions whole = options;
    whole.fit_events = 0;
    whole.num_threads = 1;
    const Model direct = pairmend::model::fit(ndim, picked_batches, whole);
    EXPECT_EQ(pairmend::model::encode_model(model), pairmend::model::encode_model(direct));

    // Every event, fitted or not, gets the model's correction.
    for (size_t b = 0; b < sizes.size(); ++b) {
        std::vector<double> applied(sizes[b] * ndim);
        pairmend::model::apply(model, names[b], ndim, sizes[b], events[b].data(), applied.data(), 1);
        EXPECT_TRUE(same_bits(applied, corrected[b])) << names[b];
        if (names[b] != model.batches[0].name) {
            EXPECT_NE(applied[0], events[b][0]);
        }
    }

    // Fitting again gives the same bytes.
    const Model again = pairmend::model::fit(ndim, batches, options);
    EXPECT_EQ(pairmend::model::encode_model(again), pairmend::model::encode_model(model));
}

// ---- extend --------------------------------------------------------------------------

TEST(Extend, OldBatchesStayBitIdenticalAndNewOnesAreCorrected) {
    const Labelled old_data = interleaved({400, 350, 380}, 11);
    FitOptions options;
    options.settings.reference_events = 600;
    options.settings.automatic_order = false;
    const Model model = pairmend::model::fit_labelled(ndim, old_data.ids.size(), old_data.events.data(),
                                                      old_data.ids.data(), old_data.names, options, nullptr);
    EXPECT_EQ(model.reference.size(), 600U * ndim);

    const std::vector<double> late = batch_events(420, 2.0, 21);
    const std::vector<double> later = batch_events(300, -2.0, 22);
    std::vector<double> late_out(late.size());
    std::vector<double> later_out(later.size());
    pairmend::model::ExtendOptions extend_options;
    extend_options.num_threads = 2;
    const Model extended =
        pairmend::model::extend(model, ndim, {{"late", 420, late.data()}, {"later", 300, later.data()}},
                                extend_options, {late_out.data(), later_out.data()});

    ASSERT_EQ(extended.batches.size(), 5U);
    for (size_t b = 0; b < model.batches.size(); ++b) {
        const auto& was = model.batches[b];
        const auto& is = extended.batches[b];
        EXPECT_EQ(is.name, was.name);
        EXPECT_EQ(is.number, was.number);
        EXPECT_EQ(is.fitted_events, was.fitted_events);
        ASSERT_EQ(!is.correction, !was.correction);
        if (!was.correction) {
            continue;
        }
        const auto& is_state = is.as<pairmend::model::MnnCorrection>().state;
        const auto& was_state = was.as<pairmend::model::MnnCorrection>().state;
        EXPECT_TRUE(same_bits(is_state.paired_events, was_state.paired_events));
        EXPECT_TRUE(same_bits(is_state.target_centres, was_state.target_centres));
        EXPECT_TRUE(same_bits(is_state.reference_centres, was_state.reference_centres));
        EXPECT_EQ(is_state.partners, was_state.partners);
        EXPECT_EQ(is_state.partner_offsets, was_state.partner_offsets);
    }
    EXPECT_EQ(std::vector<std::int64_t>(extended.num_pairs.begin(), extended.num_pairs.begin() + 2),
              model.num_pairs);
    // Old batches corrected through either model agree bit for bit.
    std::vector<double> through_old(old_data.events.size());
    std::vector<double> through_new(old_data.events.size());
    pairmend::model::apply_labelled(model, ndim, old_data.ids.size(), old_data.events.data(),
                                    old_data.ids.data(), old_data.names, through_old.data(), 1);
    pairmend::model::apply_labelled(extended, ndim, old_data.ids.size(), old_data.events.data(),
                                    old_data.ids.data(), old_data.names, through_new.data(), 2);
    EXPECT_TRUE(same_bits(through_old, through_new));

    // The new batches: numbered on, corrected onto the reference, and apply gives what extend gave.
    std::vector<std::string> new_names{extended.batches[3].name, extended.batches[4].name};
    std::sort(new_names.begin(), new_names.end());
    EXPECT_EQ(new_names, (std::vector<std::string>{"late", "later"}));
    EXPECT_GE(extended.batches[3].number, 3);
    std::vector<double> applied(late.size());
    pairmend::model::apply(extended, "late", ndim, 420, late.data(), applied.data(), 1);
    EXPECT_TRUE(same_bits(applied, late_out));
    double mean_before = 0;
    double mean_after = 0;
    for (size_t i = 0; i < 420; ++i) {
        mean_before += late[i * ndim];
        mean_after += late_out[i * ndim];
    }
    const double reference_mean = 2.0; // value 0 of batch A, the first reference
    EXPECT_GT(mean_before / 420 - reference_mean, 1.5);
    EXPECT_LT(mean_after / 420, mean_before / 420 - 0.6);

    // With the whole reference kept, adding a batch later corrects it as including it in the
    // fit would have (up to ties among equally near neighbours).
    FitOptions keep_all = options;
    keep_all.settings.reference_events = 1000000;
    const Model uncapped =
        pairmend::model::fit_labelled(ndim, old_data.ids.size(), old_data.events.data(), old_data.ids.data(),
                                      old_data.names, keep_all, nullptr);
    std::vector<double> late_later(late.size());
    pairmend::model::extend(uncapped, ndim, {{"late", 420, late.data()}}, {}, {late_later.data()});
    Labelled together = old_data;
    together.events.insert(together.events.end(), late.begin(), late.end());
    together.ids.insert(together.ids.end(), 420, 3);
    together.names.push_back("late");
    std::vector<double> together_out(together.events.size());
    pairmend::model::fit_labelled(ndim, together.ids.size(), together.events.data(), together.ids.data(),
                                  together.names, keep_all, together_out.data());
    for (int d = 0; d < ndim; ++d) {
        double later_mean = 0;
        double together_mean = 0;
        for (size_t i = 0; i < 420; ++i) {
            later_mean += late_later[i * ndim + static_cast<size_t>(d)];
            together_mean += together_out[(old_data.ids.size() + i) * ndim + static_cast<size_t>(d)];
        }
        EXPECT_NEAR(later_mean / 420, together_mean / 420, 0.02) << "value " << d;
    }

    // The stored reference is re-capped, its rows accounted for batch by batch.
    std::uint64_t rows = 0;
    for (const auto& batch : extended.batches) {
        rows += batch.reference_rows;
        EXPECT_GT(batch.reference_rows, 0U);
    }
    EXPECT_EQ(rows, 600U);
    EXPECT_EQ(extended.reference.size(), rows * ndim);
    // The first model is untouched by extend.
    EXPECT_EQ(model.batches.size(), 3U);
}

TEST(Extend, RefusesKnownNamesAndWrongWidths) {
    const Labelled data = interleaved({200, 200}, 5);
    const Model model = pairmend::model::fit_labelled(ndim, data.ids.size(), data.events.data(),
                                                      data.ids.data(), data.names, FitOptions(), nullptr);
    const std::vector<double> events = batch_events(100, 1, 8);
    EXPECT_EQ(message_of([&] {
                  pairmend::model::extend(model, ndim, {{"batch B", 100, events.data()}}, {});
              }),
              "The model already holds a batch named \"batch B\"; only new batches can be added. Apply the "
              "model to correct more events of a batch it knows.");
    EXPECT_EQ(message_of([&] {
                  pairmend::model::extend(model, 4, {{"new", 100, events.data()}}, {});
              }),
              "The model corrects events of 5 parameters, but the batches to add have 4 values per event.");
    EXPECT_EQ(message_of([&] { pairmend::model::extend(model, ndim, {}, {}); }),
              "No batch was given to add to the model.");
}

} // namespace
