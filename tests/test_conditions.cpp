// Conditions on constructed data with a known answer: batches that are copies of one truth moved
// by a constant shift each, holding different conditions. A condition held by one batch only keeps
// its biology as measured, moved by its batch's correction; the merge order waits for a bridge; a
// batch that shares no condition is refused before any work; the model keeps the conditions
// through its file, applies without them and takes them when batches are added.

#include "pairmend/model/apply.hpp"
#include "pairmend/model/correct.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairmend::model::CorrectOptions;
using pairmend::model::parse_method;

constexpr int ndim = 3;
constexpr std::size_t per_condition = 300;
const std::vector<std::string> conditions{"mock", "virus", "anchor"};

// The true events of one condition: a population of its own (the biology), fixed seed per condition.
std::vector<double> truth(int condition) {
    std::mt19937_64 rng(1234 + static_cast<unsigned>(condition));
    std::normal_distribution<double> noise(0.0, 0.5);
    const double centre[3][3] = {{0, 0, 0}, {3, 1, 0}, {0, 3, 1}};
    std::vector<double> events;
    for (std::size_t i = 0; i < per_condition; ++i) {
        for (int d = 0; d < ndim; ++d) {
            events.push_back(centre[condition][d] + noise(rng));
        }
    }
    return events;
}

// A study: per batch the conditions it holds and its shift (the batch effect, the same in every
// channel), all events of every batch in one table.
struct Study {
    std::vector<double> events;
    std::vector<int> batch_ids;
    std::vector<int> condition_ids;
    std::vector<double> shift_of_event;
    std::vector<std::string> batch_names;
};

Study make_study(const std::vector<std::vector<int>>& design, const std::vector<double>& shifts) {
    Study study;
    for (std::size_t b = 0; b < design.size(); ++b) {
        study.batch_names.push_back(std::string(1, static_cast<char>('A' + b)));
        for (const int c : design[b]) {
            const std::vector<double> events = truth(c);
            for (const double value : events) {
                study.events.push_back(value + shifts[b]);
            }
            for (std::size_t i = 0; i < per_condition; ++i) {
                study.batch_ids.push_back(static_cast<int>(b));
                study.condition_ids.push_back(c);
                study.shift_of_event.push_back(shifts[b]);
            }
        }
    }
    return study;
}

CorrectOptions options_for(const std::string& method, const Study& study) {
    CorrectOptions options;
    options.method = parse_method(method);
    options.settings.reference_policy = mnncorrect::Input;
    options.num_threads = 2;
    options.condition_names = conditions;
    options.condition_ids = study.condition_ids.data();
    return options;
}

// The largest error of the mean corrected event of a batch's condition (any condition: -1) against
// its true mean, the first batch's frame taken as the truth's.
double mean_error(const Study& study, const std::vector<double>& corrected, int batch, int condition = -1) {
    std::vector<double> sum(ndim, 0.0);
    double count = 0;
    for (std::size_t i = 0; i < study.batch_ids.size(); ++i) {
        if (study.batch_ids[i] != batch || (condition >= 0 && study.condition_ids[i] != condition)) {
            continue;
        }
        for (int d = 0; d < ndim; ++d) {
            const std::size_t v = i * ndim + static_cast<std::size_t>(d);
            sum[static_cast<std::size_t>(d)] +=
                corrected[v] - (study.events[v] - study.shift_of_event[i] + study.shift_of_event[0]);
        }
        ++count;
    }
    double worst = 0;
    for (const double value : sum) {
        worst = std::max(worst, std::abs(value / count));
    }
    return worst;
}

TEST(Conditions, ConditionOfOneBatchKeepsItsBiologyAndTheOrderFollowsTheBridge) {
    // A holds mock and virus; C (id 1) holds only the anchor, which it shares with B (id 2) alone;
    // B holds mock and the anchor. The virus is in A only, the anchor in B and C.
    const Study study = make_study({{0, 1}, {2}, {0, 2}}, {0.0, -0.6, 0.8});
    std::vector<std::string> lines;
    for (const std::string method : {"mnn", "curves"}) {
        CorrectOptions options = options_for(method, study);
        options.progress = [&](const std::string& line) { lines.push_back(line); };
        std::vector<double> corrected(study.events.size());
        const auto result =
            pairmend::model::correct(ndim, study.batch_ids.size(), study.events.data(),
                                     study.batch_ids.data(), study.batch_names, options, corrected.data());
        // A first (two conditions, the lowest id), then B, the only batch sharing one with A, then C.
        EXPECT_EQ(result.merge_order, (std::vector<int>{0, 2, 1})) << method;
        // The virus of A is not moved at all; the curves move B and C back by their shifts, C through B.
        for (std::size_t i = 0; i < corrected.size(); ++i) {
            if (study.condition_ids[i / ndim] == 1) {
                ASSERT_EQ(corrected[i], study.events[i]) << method;
            }
        }
        if (method == "curves") {
            EXPECT_LT(mean_error(study, corrected, 2), 0.05);
            EXPECT_LT(mean_error(study, corrected, 1), 0.05);
        }
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "The condition \"virus\" is held by batch \"A\" only: its difference from the other "
                        "conditions is kept as measured in that batch."),
              lines.end());
}

TEST(Conditions, ConditionOfOneBatchThatMovesKeepsItsBiologyAsMeasured) {
    // B holds mock and virus, A mock and the anchor; A starts (input policy), so B's virus, which no
    // other batch holds, moves only by B's correction, learnt from its mock events: exactly what a
    // model learnt by hand from the mock events alone does to it.
    const Study study = make_study({{0, 2}, {0, 1}}, {0.0, 0.9});
    std::vector<int> mock_batches;
    std::vector<double> mock_events;
    for (std::size_t i = 0; i < study.batch_ids.size(); ++i) {
        if (study.condition_ids[i] == 0) {
            mock_batches.push_back(study.batch_ids[i]);
            mock_events.insert(mock_events.end(), study.events.begin() + static_cast<long>(i * ndim),
                               study.events.begin() + static_cast<long>((i + 1) * ndim));
        }
    }
    const std::size_t b_start = 2 * per_condition;
    for (const std::string method : {"mnn", "curves"}) {
        std::vector<double> corrected(study.events.size());
        pairmend::model::correct(ndim, study.batch_ids.size(), study.events.data(), study.batch_ids.data(),
                                 study.batch_names, options_for(method, study), corrected.data());
        pairmend::model::FitOptions by_hand;
        by_hand.method = parse_method(method);
        by_hand.settings.automatic_order = false;
        by_hand.num_threads = 2;
        const pairmend::model::Model mock_model =
            pairmend::model::fit_labelled(ndim, mock_batches.size(), mock_events.data(), mock_batches.data(),
                                          study.batch_names, by_hand, nullptr);
        std::vector<double> expected(2 * per_condition * ndim);
        pairmend::model::apply(mock_model, "B", ndim, 2 * per_condition, study.events.data() + b_start * ndim,
                               expected.data(), 1);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), corrected.begin() + b_start * ndim))
            << method;
    }
    // The curves move the virus back by the batch's shift.
    std::vector<double> corrected(study.events.size());
    pairmend::model::correct(ndim, study.batch_ids.size(), study.events.data(), study.batch_ids.data(),
                             study.batch_names, options_for("curves", study), corrected.data());
    EXPECT_LT(mean_error(study, corrected, 1, 1), 0.02);
}

TEST(Conditions, BatchesWithoutASharedConditionAreRefusedBeforeAnyWork) {
    const auto refusal = [](const Study& study, bool automatic) {
        CorrectOptions options = options_for("mnn", study);
        options.settings.automatic_order = automatic;
        std::vector<double> corrected(study.events.size(), -7.0);
        try {
            pairmend::model::correct(ndim, study.batch_ids.size(), study.events.data(),
                                     study.batch_ids.data(), study.batch_names, options, corrected.data());
        } catch (const std::runtime_error& error) {
            EXPECT_TRUE(std::all_of(corrected.begin(), corrected.end(), [](double v) { return v == -7.0; }));
            return std::string(error.what());
        }
        return std::string("no refusal");
    };
    EXPECT_EQ(
        refusal(make_study({{0}, {0, 2}, {1}}, {0, 1, 2}), true),
        "The batch \"C\" holds only virus, which no other batch holds, so its batch effect cannot be told "
        "from its biology; give it a condition that another batch also holds, or correct it on its own.");
    EXPECT_EQ(
        refusal(make_study({{0}, {0}, {1}, {1}}, {0, 1, 2, 3}), true),
        "The batches \"C\" and \"D\" share no condition, directly or through others, with the batches "
        "\"A\" and \"B\", so their batch effect cannot be told from their biology; give them a condition "
        "that the others also hold, or correct them on their own.");
    EXPECT_EQ(
        refusal(make_study({{0}, {2}, {0, 2}}, {0, 1, 2}), false),
        "In input order, the batch \"B\" (anchor) shares no condition with the batches before it (mock); "
        "put a batch that shares one with it earlier, or let the automatic order choose.");
}

TEST(Conditions, ModelKeepsTheConditionsAppliesWithoutThemAndTakesThemWhenExtended) {
    const Study study = make_study({{0, 1}, {0, 2}, {2}}, {0.0, 0.5, -0.5});
    // The first two batches fitted, the third added later.
    const std::size_t fitted = 4 * per_condition;
    const std::vector<std::string> two{"A", "B"};
    pairmend::model::FitOptions fit;
    fit.method = parse_method("curves");
    fit.settings.reference_policy = mnncorrect::Input;
    fit.condition_names = conditions;
    fit.condition_ids = study.condition_ids.data();
    std::vector<double> corrected(fitted * ndim);
    const pairmend::model::Model model = pairmend::model::fit_labelled(
        ndim, fitted, study.events.data(), study.batch_ids.data(), two, fit, corrected.data());
    const pairmend::model::Model read = pairmend::model::decode_model(
        pairmend::model::encode_model(model).data(), pairmend::model::encode_model(model).size(), "m");
    EXPECT_EQ(read.conditions, conditions);
    EXPECT_EQ(read.reference_conditions, model.reference_conditions);
    ASSERT_EQ(read.batches.size(), 2u);
    EXPECT_EQ(read.batches[1].conditions_held, (std::vector<std::uint32_t>{0, 2}));
    EXPECT_EQ(read.batches[1].conditions_learnt, (std::vector<std::uint32_t>{0}));

    // Applied without conditions, the read model gives the fit's values bit for bit.
    std::vector<double> applied(fitted * ndim);
    pairmend::model::apply_labelled(read, ndim, fitted, study.events.data(), study.batch_ids.data(), two,
                                    applied.data(), 1);
    EXPECT_EQ(applied, corrected);

    // C shares only the anchor with B: it is learnt from the anchor rows of the stored reference.
    pairmend::model::ExtendOptions more;
    EXPECT_THROW(pairmend::model::extend(read, ndim,
                                         {{"C", per_condition, study.events.data() + fitted * ndim}}, more),
                 std::runtime_error);
    const std::vector<std::string> anchor_only{"anchor"};
    const std::vector<int> anchor_ids(per_condition, 0);
    more.condition_names = anchor_only;
    const pairmend::model::Model extended = pairmend::model::extend(
        read, ndim, {{"C", per_condition, study.events.data() + fitted * ndim, anchor_ids.data()}}, more);
    EXPECT_EQ(extended.batches.back().conditions_learnt, (std::vector<std::uint32_t>{2}));
    std::vector<double> third(per_condition * ndim);
    pairmend::model::apply(extended, "C", ndim, per_condition, study.events.data() + fitted * ndim,
                           third.data(), 1);
    double worst = 0;
    for (int d = 0; d < ndim; ++d) {
        double sum = 0;
        for (std::size_t i = 0; i < per_condition; ++i) {
            sum += third[i * ndim + d] - study.events[fitted * ndim + i * ndim + d] - 0.5;
        }
        worst = std::max(worst, std::abs(sum / per_condition));
    }
    EXPECT_LT(worst, 0.1);
}

} // namespace
