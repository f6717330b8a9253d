#ifndef MNNCORRECT_OPTIONS_HPP
#define MNNCORRECT_OPTIONS_HPP

#include "mnncorrect/ReferencePolicy.hpp"

#include <cstddef>
#include <limits>

namespace mnncorrect {

/**
 * Every option of a correction by `MnnCorrect`, at the engine's own defaults. These are the only
 * values that decide a result; the engine checks them when a run starts.
 *
 * A plain value type: copy it, change the fields that matter and hand it to `MnnCorrect`.
 */
struct Options {
    /// Neighbours per query (k) in every nearest-neighbour search; at least 1.
    int num_neighbors = 15;
    /// Median absolute deviations allowed when limiting distances in the target correction.
    double num_mads = 3;
    /// true: approximate forest indices; false: exact vantage-point trees.
    bool approximate = false;
    /// true: the merge order is chosen automatically; false: batches are merged in id order.
    bool automatic_order = true;
    /// How the automatic order picks its first reference.
    ReferencePolicy reference_policy = MaxRSS;
    /// Iterations of the robust average of correction vectors; at least 0.
    int robust_iterations = 2;
    /// Trimming proportion of the robust average, from 0 to 1.
    double robust_trim = 0.25;
    /// Largest number of observations used to find the closest pairs; the default means no cap.
    size_t observation_cap = std::numeric_limits<size_t>::max();
    /// Threads requested for every parallel loop; values below 1 mean 1.
    int num_threads = 1;
};

} // namespace mnncorrect

#endif
