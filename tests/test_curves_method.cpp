// The "curves" correction method on constructed data with a known answer: a per-channel monotone
// distortion is undone although the populations' shares differ between the batches, a population
// missing from one batch is not pulled onto another, a batch without a batch effect barely moves,
// and the model's results do not depend on the thread count and survive extend; and the one
// correction path (pairmend::model::correct) runs the engine for "mnn" and a fit for the others.

#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/model/alignment.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/correct.hpp"
#include "pairmend/model/curves_method.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairmend::model::BatchEvents;
using pairmend::model::FitOptions;
using pairmend::model::Method;
using pairmend::model::Model;
using pairmend::model::parse_method;

constexpr int ndim = 3;
const std::vector<double> centres{0, 0, 0, 4, 1, 2, 1, 4, -1, -2, 2, 4};
constexpr double spread = 0.5;

// `n` true events drawn from the populations with the given relative shares.
std::vector<double> true_events(std::size_t n, const std::vector<double>& shares, std::uint64_t seed,
                                std::vector<int>* populations = nullptr) {
    std::mt19937_64 rng(seed);
    std::discrete_distribution<int> pick(shares.begin(), shares.end());
    std::normal_distribution<double> noise(0.0, spread);
    std::vector<double> events;
    for (std::size_t i = 0; i < n; ++i) {
        const int p = pick(rng);
        if (populations != nullptr) {
            populations->push_back(p);
        }
        for (int d = 0; d < ndim; ++d) {
            events.push_back(centres[static_cast<std::size_t>(p * ndim + d)] + noise(rng));
        }
    }
    return events;
}

// A detector-like distortion: per channel a gain, an offset and a bend, increasing everywhere.
std::vector<double> distorted(const std::vector<double>& truth) {
    std::vector<double> out(truth.size());
    for (std::size_t i = 0; i < truth.size(); ++i) {
        const double x = truth[i];
        const double channel = static_cast<double>(i % ndim);
        out[i] = (0.8 + 0.1 * channel) * x + 1.0 - 0.4 * channel + 0.6 * std::tanh((x - 1.0) / 1.5);
    }
    return out;
}

double rms(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    }
    return std::sqrt(sum / static_cast<double>(a.size() / ndim));
}

FitOptions curves_options(int threads = 1) {
    FitOptions options;
    options.method = parse_method("curves");
    options.settings.reference_policy = mnncorrect::Input; // batch A, the truth's frame, stays put
    options.num_threads = threads;
    return options;
}

std::vector<double> corrected_second(const std::vector<double>& first, const std::vector<double>& second,
                                     const FitOptions& options, Model* fitted = nullptr) {
    std::vector<double> out_first(first.size());
    std::vector<double> out_second(second.size());
    Model model = pairmend::model::fit(
        ndim, {{"A", first.size() / ndim, first.data()}, {"B", second.size() / ndim, second.data()}}, options,
        {out_first.data(), out_second.data()});
    EXPECT_EQ(out_first, first) << "the first reference moved";
    if (fitted != nullptr) {
        *fitted = std::move(model);
    }
    return out_second;
}

TEST(CurvesMethod, UndoesAMonotoneDistortionDespiteDifferentPopulationShares) {
    const std::vector<double> reference = true_events(3000, {1, 1, 1, 1}, 11);
    const std::vector<double> truth = true_events(3000, {4, 1, 1, 2}, 12);
    const std::vector<double> observed = distorted(truth);
    const double before = rms(observed, truth);

    const std::vector<double> corrected = corrected_second(reference, observed, curves_options());
    const double after = rms(corrected, truth);
    EXPECT_GT(before, 1.0);
    // The spread of a population is 0.5 per channel, 0.87 in all: the error is a small part of it.
    EXPECT_LT(after, 0.15) << "before " << before;

    // The default method, given the same data, leaves a larger error: the curves earn their place.
    FitOptions mnn = curves_options();
    mnn.method = parse_method("mnn");
    EXPECT_GT(rms(corrected_second(reference, observed, mnn), truth), after);
}

TEST(CurvesMethod, APopulationMissingFromABatchIsNotPulledOntoAnother) {
    std::vector<int> populations;
    const std::vector<double> reference = true_events(3000, {1, 1, 1, 1}, 21);
    std::vector<double> truth = true_events(2000, {1, 1, 0, 1}, 22, &populations);
    std::vector<double> observed = truth;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        observed[i] += 0.8 - 0.3 * static_cast<double>(i % ndim);
    }
    const std::vector<double> corrected = corrected_second(reference, observed, curves_options());
    EXPECT_LT(rms(corrected, truth), 0.2);
    // Every event stays nearest to its own population's centre; none lands on the missing one.
    for (std::size_t i = 0; i < populations.size(); ++i) {
        int nearest = -1;
        double best = INFINITY;
        for (int p = 0; p < 4; ++p) {
            double distance = 0;
            for (int d = 0; d < ndim; ++d) {
                const double gap = corrected[i * ndim + static_cast<std::size_t>(d)] -
                                   centres[static_cast<std::size_t>(p * ndim + d)];
                distance += gap * gap;
            }
            if (distance < best) {
                best = distance;
                nearest = p;
            }
        }
        ASSERT_EQ(nearest, populations[i]) << "event " << i;
    }
}

TEST(CurvesMethod, ABatchWithoutBatchEffectBarelyMoves) {
    const std::vector<double> all = true_events(6000, {1, 1, 1, 1}, 31);
    const std::vector<double> first(all.begin(), all.begin() + 3000 * ndim);
    const std::vector<double> second(all.begin() + 3000 * ndim, all.end());
    Model model;
    const std::vector<double> corrected = corrected_second(first, second, curves_options(), &model);
    // Far less than a population's spread; the curves and centres follow the sampling noise a little.
    EXPECT_LT(rms(corrected, second), 0.3 * spread);
    // No local batch effect beyond the noise: the field is left out.
    EXPECT_TRUE(model.batches[1].as<pairmend::model::CurvesCorrection>().alignment.field.empty());
}

TEST(CurvesMethod, ResultsDoNotDependOnThreadsAndApplyAndExtendRepeatTheFit) {
    const std::vector<double> a = true_events(1500, {1, 1, 1, 1}, 41);
    const std::vector<double> b = distorted(true_events(1500, {2, 1, 1, 1}, 42));
    const std::vector<double> truth_c = true_events(1500, {1, 2, 1, 1}, 43);
    const std::vector<double> c = distorted(distorted(truth_c));
    Model one;
    Model two;
    const std::vector<double> with_one = corrected_second(a, b, curves_options(1), &one);
    const std::vector<double> with_two = corrected_second(a, b, curves_options(2), &two);
    ASSERT_EQ(std::memcmp(with_one.data(), with_two.data(), with_one.size() * sizeof(double)), 0);
    EXPECT_EQ(one.method, parse_method("curves"));

    std::vector<double> applied(b.size());
    pairmend::model::apply(one, "B", ndim, b.size() / ndim, b.data(), applied.data(), 2);
    EXPECT_EQ(std::memcmp(applied.data(), with_one.data(), applied.size() * sizeof(double)), 0);

    std::vector<double> added(c.size());
    const Model extended =
        pairmend::model::extend(one, ndim, {{"C", c.size() / ndim, c.data()}}, {}, {added.data()});
    ASSERT_EQ(extended.batches.size(), 3U);
    std::vector<double> again(b.size());
    pairmend::model::apply(extended, "B", ndim, b.size() / ndim, b.data(), again.data(), 1);
    EXPECT_EQ(std::memcmp(again.data(), with_one.data(), again.size() * sizeof(double)), 0);
    // The new batch, distorted twice, is brought back close to its truth.
    EXPECT_GT(rms(c, truth_c), 1.5);
    EXPECT_LT(rms(added, truth_c), 0.3);
}

// The alignment's arithmetic written plainly, one event at a time: what apply_alignment computes
// eight events at a time in vector registers, bit for bit.
std::vector<double> plainly_aligned(const pairmend::model::Alignment& alignment, std::size_t width,
                                    std::vector<double> events) {
    for (std::size_t i = 0; i < events.size() / width; ++i) {
        double* event = events.data() + i * width;
        for (std::size_t d = 0; d < alignment.curves.size(); ++d) {
            const auto& from = alignment.curves[d].from;
            const auto& to = alignment.curves[d].to;
            const double x = event[d];
            if (x <= from.front()) {
                event[d] = to.front() + (x - from.front());
            } else if (x >= from.back()) {
                event[d] = to.back() + (x - from.back());
            } else {
                std::size_t k = 1;
                while (from[k] <= x) {
                    ++k;
                }
                event[d] = to[k - 1] + (x - from[k - 1]) / (from[k] - from[k - 1]) * (to[k] - to[k - 1]);
            }
        }
        for (const pairmend::model::FieldStep& step : alignment.field) {
            const std::size_t ncentres = step.weights.size();
            std::vector<double> squared(ncentres);
            double nearest = INFINITY;
            for (std::size_t c = 0; c < ncentres; ++c) {
                for (std::size_t d = 0; d < width; ++d) {
                    const double gap = event[d] - step.centres[c * width + d];
                    squared[c] += gap * gap;
                }
                nearest = std::min(nearest, squared[c]);
            }
            std::vector<double> shift(width, 0.0);
            const double scale = 1.0 / (2.0 * step.bandwidth * step.bandwidth);
            double total = 0;
            for (std::size_t c = 0; c < ncentres; ++c) {
                if (step.weights[c] > 0) {
                    const double weight = step.weights[c] * std::exp(-(squared[c] - nearest) * scale);
                    total += weight;
                    for (std::size_t d = 0; d < width; ++d) {
                        shift[d] += weight * step.offsets[c * width + d];
                    }
                }
            }
            for (std::size_t d = 0; d < width && total > 0; ++d) {
                event[d] += shift[d] / total;
            }
        }
    }
    return events;
}

TEST(CurvesMethod, AlignmentAppliesItsCurvesAndFieldAsThePlainArithmeticDoes) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    // Widths around the vector kernels' four and eight; event counts not a multiple of eight.
    for (const std::size_t width : {1U, 3U, 6U, 41U}) {
        pairmend::model::Alignment alignment;
        for (std::size_t d = 0; d < width; ++d) {
            alignment.curves.push_back({{-1.0, 0.0, 0.5 + 0.1 * static_cast<double>(d)}, {-1.5, 0.2, 0.9}});
        }
        for (std::size_t s = 0; s < 2; ++s) {
            pairmend::model::FieldStep step;
            const std::size_t ncentres = 11 + 6 * s;
            for (std::size_t v = 0; v < ncentres * width; ++v) {
                step.centres.push_back(normal(rng));
                step.offsets.push_back(0.3 * normal(rng));
            }
            // A centre far away (weight exactly 0 for every event), one left out and one small.
            std::fill_n(step.centres.begin(), width, 60.0);
            for (std::size_t c = 0; c < ncentres; ++c) {
                step.weights.push_back(c == 2 ? 0.0 : c == 3 ? 1e-3 : 1.0 + static_cast<double>(c % 5));
            }
            step.bandwidth = 0.4 + 0.3 * static_cast<double>(s);
            alignment.field.push_back(std::move(step));
        }
        std::vector<double> events(29 * width);
        for (double& value : events) {
            value = 1.5 * normal(rng);
        }
        const std::vector<double> expected = plainly_aligned(alignment, width, events);
        for (const int threads : {1, 2}) {
            std::vector<double> output(events.size());
            pairmend::model::apply_alignment(alignment, static_cast<int>(width), events.size() / width,
                                             events.data(), output.data(), threads);
            EXPECT_EQ(std::memcmp(output.data(), expected.data(), output.size() * sizeof(double)), 0)
                << width << " values per event, " << threads << " threads";
        }
    }
}

// The one correction path: the engine's own run for "mnn" on every event, a fit for the others.
TEST(CurvesMethod, CorrectRunsTheEngineForMnnAndAFitForOtherMethods) {
    const std::vector<double> a = true_events(800, {1, 1, 1, 1}, 51);
    const std::vector<double> b = distorted(true_events(800, {2, 1, 1, 1}, 52));
    // Batches interleaved, B first, so that ids and input order both matter.
    std::vector<double> events;
    std::vector<int> ids;
    for (std::size_t i = 0; i < 800; ++i) {
        events.insert(events.end(), b.begin() + static_cast<std::ptrdiff_t>(i * ndim),
                      b.begin() + static_cast<std::ptrdiff_t>((i + 1) * ndim));
        ids.push_back(1);
        events.insert(events.end(), a.begin() + static_cast<std::ptrdiff_t>(i * ndim),
                      a.begin() + static_cast<std::ptrdiff_t>((i + 1) * ndim));
        ids.push_back(0);
    }
    const std::size_t n = ids.size();
    const std::vector<std::string> names{"A", "B"};

    pairmend::model::CorrectOptions mnn;
    mnn.num_threads = 2;
    std::vector<double> corrected(events.size());
    const auto result =
        pairmend::model::correct(ndim, n, events.data(), ids.data(), names, mnn, corrected.data());
    const mnncorrect::MnnCorrect<int, double> engine(pairmend::configure_engine(pairmend::EngineOptions()));
    std::vector<double> expected(events.size());
    const auto details =
        engine.run(ndim, n, events.data(), ids.data(), expected.data(), static_cast<const int*>(nullptr));
    EXPECT_EQ(std::memcmp(corrected.data(), expected.data(), expected.size() * sizeof(double)), 0);
    EXPECT_EQ(result.merge_order, details.merge_order);
    EXPECT_FALSE(result.model);

    pairmend::model::CorrectOptions curves;
    curves.method = parse_method("curves");
    curves.fit_events = 500;
    curves.keep_model = true;
    curves.num_threads = 1;
    const auto learnt =
        pairmend::model::correct(ndim, n, events.data(), ids.data(), names, curves, corrected.data());
    FitOptions fit;
    fit.method = curves.method;
    fit.fit_events = 500;
    const Model model =
        pairmend::model::fit_labelled(ndim, n, events.data(), ids.data(), names, fit, expected.data());
    EXPECT_EQ(std::memcmp(corrected.data(), expected.data(), expected.size() * sizeof(double)), 0);
    ASSERT_TRUE(learnt.model);
    EXPECT_EQ(pairmend::model::encode_model(*learnt.model), pairmend::model::encode_model(model));
    ASSERT_EQ(learnt.merge_order.size(), 2U);
    EXPECT_EQ(model.batches[0].number, learnt.merge_order[0]);
    EXPECT_EQ(learnt.num_pairs, model.num_pairs);
}

TEST(CurvesMethod, MethodNames) {
    EXPECT_EQ(pairmend::model::method_names().front(), "mnn");
    EXPECT_EQ(parse_method("curves").name(), "curves");
    EXPECT_TRUE(parse_method("mnn").is_default());
    EXPECT_FALSE(parse_method("curves").is_default());
    try {
        pairmend::model::parse_method("quantiles");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "Unknown correction method \"quantiles\": the methods are \"mnn\" and \"curves\".");
    }
}

} // namespace
