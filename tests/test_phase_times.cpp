// The engine's optional phase timer: asking for the times must not change a single output bit,
// and the times it reports must add up to no more than the run took.
// Events come from the seeded generator of tests/support (seed stated at each use).

#include "point_sets.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/PhaseTimes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace {

struct Corrected {
    std::vector<double> output;
    mnncorrect::MnnCorrect<int, double>::Details details;
};

// Three interleaved batches, so that the grouping and restoring of the input order run too.
Corrected correct(bool approximate, bool automatic, mnncorrect::PhaseTimes* times) {
    const int ndim = 4;
    const int nobs = 900;
    const std::vector<double> events = pairmend_test::clustered_points(ndim, nobs, 3, 0.4, 17);
    std::vector<int> batches(nobs);
    for (int i = 0; i < nobs; ++i) {
        batches[static_cast<size_t>(i)] = i % 3;
    }

    mnncorrect::Options options;
    options.approximate = approximate;
    options.automatic_order = automatic;
    options.num_threads = 2;
    mnncorrect::MnnCorrect<int, double>::Hooks hooks;
    hooks.phase_times = times;
    const mnncorrect::MnnCorrect<int, double> engine(options, hooks);
    Corrected run;
    run.output.resize(events.size());
    run.details = engine.run(ndim, size_t(nobs), events.data(), batches.data(), run.output.data(),
                             static_cast<const int*>(nullptr));
    return run;
}

TEST(PhaseTimes, TimingChangesNoResult) {
    for (const bool approximate : {false, true}) {
        for (const bool automatic : {true, false}) {
            const Corrected plain = correct(approximate, automatic, nullptr);
            mnncorrect::PhaseTimes times;
            const Corrected timed = correct(approximate, automatic, &times);
            EXPECT_EQ(plain.output, timed.output)
                << "approximate " << approximate << ", automatic " << automatic;
            EXPECT_EQ(plain.details.merge_order, timed.details.merge_order);
            EXPECT_EQ(plain.details.num_pairs, timed.details.num_pairs);
        }
    }
}

TEST(PhaseTimes, PhasesAddUpToNoMoreThanTheRun) {
    for (const bool automatic : {true, false}) {
        mnncorrect::PhaseTimes times;
        const auto start = std::chrono::steady_clock::now();
        correct(false, automatic, &times);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        // Every phase ran at least once on this input, and the parts of the correction lie
        // within it.
        EXPECT_GT(times.build, 0.0);
        EXPECT_GT(times.choose, 0.0);
        EXPECT_GT(times.correct, 0.0);
        EXPECT_GT(times.update, 0.0);
        EXPECT_GT(times.arrange, 0.0);
        const double parts =
            times.correct_index + times.correct_closest + times.correct_centres + times.correct_vectors;
        EXPECT_LE(parts, times.correct);
        EXPECT_LE(times.total(), elapsed);
    }
}

} // namespace
