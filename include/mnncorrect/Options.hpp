#ifndef MNNCORRECT_OPTIONS_HPP
#define MNNCORRECT_OPTIONS_HPP

#include "mnncorrect/ReferencePolicy.hpp"

#include <cstddef>
#include <limits>

namespace mnncorrect {

/**
 * The settings of a correction that a user chooses, at the engine's own defaults (written here and
 * nowhere else): together with the data, the only values that decide a result. The engine checks
 * them when a run starts.
 */
struct Settings {
    int num_neighbors = 15;      ///< neighbours per query (k) in every search; at least 1.
    double num_mads = 3;         ///< median absolute deviations a correction vector may lie out.
    int robust_iterations = 2;   ///< iterations of the robust average of correction vectors; at least 0.
    double robust_trim = 0.25;   ///< share of correction vectors trimmed per iteration, 0 to 1.
    bool approximate = false;    ///< approximate (forest) instead of exact (tree) neighbour search.
    bool automatic_order = true; ///< merge the batch with the most pairs next, or in batch order.
    ReferencePolicy reference_policy = MaxRSS; ///< how the automatic order picks the first reference.
};

/**
 * Every option of a correction by `MnnCorrect`: the settings and how the run may use the machine,
 * which does not change a result.
 *
 * A plain value type: copy it, change the fields that matter and hand it to `MnnCorrect`.
 */
struct Options : Settings {
    /// Largest number of observations used to find the closest pairs; the default means no cap.
    size_t observation_cap = std::numeric_limits<size_t>::max();
    /// Threads requested for every parallel loop; values below 1 mean 1.
    int num_threads = 1;
};

} // namespace mnncorrect

#endif
