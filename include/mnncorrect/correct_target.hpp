#ifndef MNNCORRECT_CORRECT_TARGET_HPP
#define MNNCORRECT_CORRECT_TARGET_HPP

#include "knncolle/Base.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/RobustAverage.hpp"
#include "mnncorrect/TargetState.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/locality_order.hpp"
#include "mnncorrect/median.hpp"
#include "mnncorrect/parallel.hpp"
#include "mnncorrect/quick_find_nns.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace mnncorrect {

/**
 * For every event of a set, its `k` closest paired events of the same set.
 *
 * With `cap` smaller than `n`, only `cap` evenly spaced events (event floor(i * n / cap)
 * for i = 0 .. cap-1) are queried and every other list stays empty. Without a cap every
 * event is queried, in `locality_order` unless the caller hands in an order of its own.
 *
 * Thread safety: one parallel loop with `nthreads` threads querying the shared index; each
 * iteration writes only its own list, so the result depends neither on the thread count nor
 * on the order of the queries.
 *
 * @param ndim Number of values per event.
 * @param n Number of events.
 * @param data The `n` events, `ndim` values each.
 * @param index Index over the paired events of this set; list entries are positions in it.
 * @param k Number of neighbours per query.
 * @param cap Largest number of events to query.
 * @param nthreads Number of threads requested (values below 1 run on one thread).
 * @param order Null, or a permutation of 0 .. n-1 giving the order of the queries when every
 * event is queried.
 * @return One (possibly empty) neighbour list per event.
 * @throws Whatever a query throws, rethrown on the calling thread after the loop.
 */
template <typename Index, typename Float>
std::vector<knncolle::NeighborList<Index, Float>>
identify_closest_mnn(int ndim, size_t n, const Float* data, const knncolle::Base<Index, Float, Float>* index,
                     int k, size_t cap, int nthreads, const std::vector<size_t>* order = nullptr) {
    if (cap >= n) {
        return order == nullptr ? quick_find_nns(n, data, index, k, nthreads)
                                : quick_find_nns(n, data, index, k, nthreads, *order);
    }

    std::vector<knncolle::NeighborList<Index, Float>> closest(n);
    const size_t width = static_cast<size_t>(ndim);
    const double step = static_cast<double>(n) / static_cast<double>(cap);
    ParallelErrors errors;
#pragma omp parallel for schedule(static) num_threads(std::max(nthreads, 1))
    for (size_t i = 0; i < cap; ++i) {
        errors.run([&] {
            const size_t sampled = static_cast<size_t>(static_cast<int>(static_cast<double>(i) * step));
            closest[sampled] = index->find_nearest_neighbors(data + sampled * width, k);
        });
    }
    errors.rethrow();
    return closest;
}

/**
 * Largest distance to a closest paired event that still counts as near: the median of all
 * distances plus `num_mads` scaled median absolute deviations (scale 1.4826).
 *
 * @param closest Closest lists of a set, as from `identify_closest_mnn`.
 * @param num_mads Number of median absolute deviations above the median.
 * @return 0 if there are no lists; NaN if every list is empty (then no distance is near).
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float>
double limit_from_closest_distances(const std::vector<knncolle::NeighborList<Index, Float>>& closest,
                                    double num_mads) {
    if (closest.empty()) {
        return 0;
    }

    std::vector<Float> distances;
    for (const auto& list : closest) {
        for (const auto& entry : list) {
            distances.push_back(entry.second);
        }
    }

    const Float centre = median(distances.size(), distances.data());
    for (auto& distance : distances) {
        distance = std::abs(distance - centre);
    }
    const Float mad = median(distances.size(), distances.data());
    return centre + (mad * num_mads) * 1.4826;
}

/**
 * Inverts closest lists: for every paired event j, the events that have j among their
 * closest paired events at a distance of at most `limit`.
 *
 * @param num_paired Number of paired events (positions 0 .. num_paired-1).
 * @param closest Closest lists of every event of the set.
 * @param limit Largest admitted distance; NaN admits nothing.
 * @return `num_paired` lists of event numbers, each in increasing order.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float>
std::vector<std::vector<Index>>
invert_neighbors(size_t num_paired, const std::vector<knncolle::NeighborList<Index, Float>>& closest,
                 double limit) {
    std::vector<std::vector<Index>> claimed_by(num_paired);
    for (size_t i = 0; i < closest.size(); ++i) {
        for (const auto& entry : closest[i]) {
            if (limit >= entry.second) {
                claimed_by[static_cast<size_t>(entry.first)].push_back(static_cast<Index>(i));
            }
        }
    }
    return claimed_by;
}

/**
 * Position of every event of a set in its list of paired events.
 *
 * @param n Number of events of the set.
 * @param paired Paired event numbers, each below `n`.
 * @param fill Entry for events that are not paired.
 * @return `n` entries: the position in `paired`, or `fill`.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index>
std::vector<Index> invert_indices(size_t n, const std::vector<Index>& paired, Index fill) {
    std::vector<Index> positions(n, fill);
    for (size_t p = 0; p < paired.size(); ++p) {
        positions[static_cast<size_t>(paired[p])] = static_cast<Index>(p);
    }
    return positions;
}

/**
 * Centre of mass of every paired event: the robust average of the events that have it among
 * their closest paired events within `limit`, or its own coordinates if none do.
 *
 * Thread safety: one parallel region with `nthreads` threads, each with its own scratch;
 * each iteration writes only its own output row, so the result does not depend on the
 * thread count.
 *
 * @param ndim Number of values per event.
 * @param paired Paired event numbers of the set, ascending.
 * @param closest Closest lists of every event of the set (indices are positions in `paired`).
 * @param data All events of the set, `ndim` values each.
 * @param[out] output One row of `ndim` values per position of `paired`.
 * @param robust_iterations, robust_trim Settings of the robust average.
 * @param limit Largest distance at which an event counts towards a centre.
 * @param nthreads Number of threads requested (values below 1 run on one thread).
 * @throws std::runtime_error from `RobustAverage` for invalid robust settings (before any
 * parallel work); std::bad_alloc on exhausted memory, also when it occurs inside the region.
 */
template <typename Index, typename Float>
void compute_center_of_mass(int ndim, const std::vector<Index>& paired,
                            const std::vector<knncolle::NeighborList<Index, Float>>& closest,
                            const Float* data, Float* output, int robust_iterations, double robust_trim,
                            double limit, int nthreads) {
    const auto claimed_by = invert_neighbors(paired.size(), closest, limit);
    const RobustAverage<Index, Float> averager(robust_iterations, robust_trim);
    const size_t width = static_cast<size_t>(ndim);
    const size_t num_paired = paired.size();

    ParallelErrors errors;
#pragma omp parallel num_threads(std::max(nthreads, 1))
    {
        typename RobustAverage<Index, Float>::Scratch scratch;
#pragma omp for schedule(dynamic, 64)
        for (size_t j = 0; j < num_paired; ++j) {
            errors.run([&] {
                Float* centre = output + j * width;
                if (!claimed_by[j].empty()) {
                    averager.run(ndim, claimed_by[j], data, centre, scratch);
                } else {
                    const Float* own = data + static_cast<size_t>(paired[j]) * width;
                    std::copy_n(own, width, centre);
                }
            });
        }
    }
    errors.rethrow();
}

namespace internal {

/// Copies the listed events, in list order, into consecutive rows of `destination`.
template <typename Index, typename Float>
void copy_rows(int ndim, const std::vector<Index>& rows, const Float* data, Float* destination) {
    const size_t width = static_cast<size_t>(ndim);
    for (size_t p = 0; p < rows.size(); ++p) {
        std::copy_n(data + static_cast<size_t>(rows[p]) * width, width, destination + p * width);
    }
}

} // namespace internal

/**
 * Moves a target batch onto the reference using their mutual-nearest-neighbour pairs.
 *
 * Every target event is shifted by the robust average of the correction vectors (reference
 * centre minus target centre) of all pairs whose target event is among its `k` closest
 * paired target events. Centres of mass smooth the paired events over their neighbourhoods
 * (distances limited by `num_mads` median absolute deviations).
 *
 * Thread safety: runs its parallel regions with `nthreads` threads; every result is written
 * by exactly one iteration, so the output does not depend on the thread count. The reference
 * and output must not overlap.
 *
 * @param ndim Number of values per event.
 * @param nref, ref The reference rows.
 * @param ntarget, target The target events.
 * @param pairs Pairs with reference rows on the left and target events on the right.
 * @param builder Callable (ndim, n, data) returning a shared pointer to a neighbour index.
 * @param k Number of closest paired events used per event; at least 1.
 * @param num_mads Number of median absolute deviations for the distance limits.
 * @param robust_iterations, robust_trim Settings of the robust averages.
 * @param[out] output Receives `ntarget` corrected events.
 * @param cap Largest number of events queried per set when computing centres of mass;
 * target events are always all queried for their own correction.
 * @param nthreads Number of threads requested (values below 1 run on one thread).
 * @param phase_times When not null, receives the seconds spent in each part of the correction.
 * @param state When not null, receives what the correction learnt (see `TargetState`), so that
 * `apply_target_state` can correct further events of the batch; the correction itself is the same.
 * @throws std::runtime_error if `pairs` holds no pair, if `k` is below 1, or for invalid
 * robust settings (all checked before any index is built); any exception of the builder
 * or of a query, rethrown on the calling thread; std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float, class Builder>
void correct_target(int ndim, size_t nref, const Float* ref, size_t ntarget, const Float* target,
                    const MnnPairs<Index>& pairs, const Builder& builder, int k, double num_mads,
                    int robust_iterations, double robust_trim, Float* output, size_t cap, int nthreads,
                    PhaseTimes* phase_times = nullptr, TargetState<Index, Float>* state = nullptr) {
    if (pairs.num_pairs == 0 || pairs.matches.empty()) {
        throw std::runtime_error("Cannot correct a batch that shares no mutual nearest neighbours with the "
                                 "reference: the batch does not overlap any population of the reference.");
    }
    if (k < 1) {
        std::ostringstream message;
        message << "The number of neighbors must be at least 1, not " << k << ".";
        throw std::runtime_error(message.str());
    }
    // Checks the robust settings before the expensive index builds.
    const RobustAverage<Index, Float> averager(robust_iterations, robust_trim);

    const size_t width = static_cast<size_t>(ndim);
    const auto paired_ref = unique_left(pairs);
    const auto paired_target = unique_right(pairs);
    std::vector<Float> ref_centres(paired_ref.size() * width);
    std::vector<Float> target_centres(paired_target.size() * width);

    using IndexPointer = std::shared_ptr<knncolle::Base<Index, Float, Float>>;
    IndexPointer ref_index;
    IndexPointer target_index;
    // Query orders that keep consecutive queries close in space; computed next to the index
    // builds, so that they cost no extra pass.
    std::vector<size_t> ref_order;
    std::vector<size_t> target_order;
    {
        const internal::PhaseTimer timing(phase_times, &PhaseTimes::correct_index);
        ParallelErrors errors;
#pragma omp parallel for schedule(static) num_threads(std::max(nthreads, 1))
        for (int task = 0; task < 2; ++task) {
            errors.run([&] {
                if (task == 0) {
                    internal::copy_rows(ndim, paired_ref, ref, ref_centres.data());
                    ref_index = builder(ndim, paired_ref.size(), ref_centres.data());
                    ref_order = locality_order(ndim, nref, ref);
                } else {
                    internal::copy_rows(ndim, paired_target, target, target_centres.data());
                    target_index = builder(ndim, paired_target.size(), target_centres.data());
                    target_order = locality_order(ndim, ntarget, target);
                }
            });
        }
        errors.rethrow();
    }

    // Each temporary index is released as soon as its closest lists exist.
    std::optional<internal::PhaseTimer> finding(std::in_place, phase_times, &PhaseTimes::correct_closest);
    const auto ref_closest =
        identify_closest_mnn(ndim, nref, ref, ref_index.get(), k, cap, nthreads, &ref_order);
    ref_index.reset();

    auto target_closest =
        identify_closest_mnn(ndim, ntarget, target, target_index.get(), k, cap, nthreads, &target_order);
    // With a cap, unsampled target events have no closest list; query them all for the
    // correction so that no event is left uncorrected.
    std::vector<knncolle::NeighborList<Index, Float>> target_correction_closest;
    if (cap < ntarget) {
        target_correction_closest =
            identify_closest_mnn(ndim, ntarget, target, target_index.get(), k,
                                 std::numeric_limits<size_t>::max(), nthreads, &target_order);
    }
    target_index.reset();
    finding.reset();

    std::optional<internal::PhaseTimer> centring(std::in_place, phase_times, &PhaseTimes::correct_centres);
    double ref_limit = 0;
    double target_limit = 0;
    {
        ParallelErrors errors;
#pragma omp parallel for schedule(static) num_threads(std::max(nthreads, 1))
        for (int task = 0; task < 2; ++task) {
            errors.run([&] {
                if (task == 0) {
                    ref_limit = limit_from_closest_distances(ref_closest, num_mads);
                } else {
                    target_limit = limit_from_closest_distances(target_closest, num_mads);
                }
            });
        }
        errors.rethrow();
    }

    compute_center_of_mass(ndim, paired_ref, ref_closest, ref, ref_centres.data(), robust_iterations,
                           robust_trim, ref_limit, nthreads);
    compute_center_of_mass(ndim, paired_target, target_closest, target, target_centres.data(),
                           robust_iterations, robust_trim, target_limit, nthreads);

    const auto ref_positions = invert_indices(nref, paired_ref, Index(-1));
    if (cap < ntarget) {
        target_closest.swap(target_correction_closest);
    }
    centring.reset();

    const internal::PhaseTimer correcting(phase_times, &PhaseTimes::correct_vectors);
    // The reference partners of every paired target event, looked up once instead of once per
    // target event that lists it.
    std::vector<const std::vector<Index>*> partners_of(paired_target.size());
    for (size_t position = 0; position < paired_target.size(); ++position) {
        partners_of[position] = &pairs.matches.at(paired_target[position]);
    }

    ParallelErrors errors;
#pragma omp parallel num_threads(std::max(nthreads, 1))
    {
        std::vector<Float> corrections;
        typename RobustAverage<Index, Float>::Scratch scratch;
        errors.run([&] { corrections.reserve(100 * width); });

#pragma omp for schedule(dynamic, 64)
        for (size_t p = 0; p < ntarget; ++p) {
            errors.run([&] {
                // Neighbouring target events share their closest paired events and centres.
                const size_t h = target_order[p];
                corrections.clear();
                size_t num_vectors = 0;
                for (const auto& entry : target_closest[h]) {
                    const size_t position = static_cast<size_t>(entry.first);
                    const Float* target_centre = target_centres.data() + position * width;
                    for (const Index partner : *partners_of[position]) {
                        const Float* ref_centre =
                            ref_centres.data() +
                            static_cast<size_t>(ref_positions[static_cast<size_t>(partner)]) * width;
                        for (size_t d = 0; d < width; ++d) {
                            corrections.push_back(ref_centre[d] - target_centre[d]);
                        }
                        ++num_vectors;
                    }
                }

                Float* corrected = output + h * width;
                averager.run(ndim, num_vectors, corrections.data(), corrected, scratch);
                const Float* original = target + h * width;
                for (size_t d = 0; d < width; ++d) {
                    corrected[d] = original[d] + corrected[d];
                }
            });
        }
    }
    errors.rethrow();

    // Kept only on request: a plain correction holds nothing more than before.
    if (state != nullptr) {
        internal::keep_target_state(ndim, target, paired_target, std::move(target_centres),
                                    std::move(ref_centres), partners_of, ref_positions, *state);
    }
}

} // namespace mnncorrect

#endif
