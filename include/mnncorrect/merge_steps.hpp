#ifndef MNNCORRECT_MERGE_STEPS_HPP
#define MNNCORRECT_MERGE_STEPS_HPP

// Building blocks shared by the two merge-order drivers (AutomaticOrder and CustomOrder):
// parallel loops that carry failures out, per-batch indices, neighbour searches that tolerate
// empty batches, and the correction of one batch onto the reference.

#include "knncolle/Base.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/correct_target.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/locality_order.hpp"
#include "mnncorrect/parallel.hpp"
#include "mnncorrect/quick_find_nns.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

namespace mnncorrect {

namespace internal {

template <typename Index, typename Float>
using NeighborTable = std::vector<knncolle::NeighborList<Index, Float>>;

template <typename Index, typename Float>
using IndexPointer = std::shared_ptr<knncolle::Base<Index, Float, Float>>;

/// Thread counts below 1 would leave OpenMP regions without workers; treat them as 1.
inline int at_least_one_thread(int nthreads) {
    return std::max(nthreads, 1);
}

/**
 * Runs `fun(i)` for i from 0 to n-1 in an OpenMP loop. A failure in any iteration is captured
 * and rethrown on the calling thread after the loop.
 *
 * Iterations are handed out one by one as threads become free (dynamic schedule): they differ
 * widely in cost (an index build per batch, a search per event), and a thread slowed by other
 * work on the machine does not hold the others up. Every caller's iterations write only their
 * own slots, so no result depends on which thread runs which iteration.
 */
template <class Function>
void parallel_for(size_t n, int nthreads, Function fun) {
    ParallelErrors errors;
#pragma omp parallel for schedule(dynamic) num_threads(nthreads)
    for (size_t i = 0; i < n; ++i) {
        errors.run([&]() { fun(i); });
    }
    errors.rethrow();
}

/// Refuses batch sizes and batch pointers of different counts.
inline void check_batch_counts(size_t nsizes, size_t npointers) {
    if (nsizes != npointers) {
        throw std::runtime_error("length of 'no' and 'b' must be equal");
    }
}

/**
 * Builds one index per batch over its input events, batches in parallel. A batch without
 * events gets no index (a null pointer): the indices do not support empty point sets.
 */
template <typename Index, typename Float, class Builder>
std::vector<IndexPointer<Index, Float>> build_batch_indices(int ndim, const std::vector<size_t>& sizes,
                                                            const std::vector<const Float*>& batches,
                                                            const Builder& builder, int nthreads) {
    std::vector<IndexPointer<Index, Float>> indices(sizes.size());
    parallel_for(sizes.size(), nthreads, [&](size_t b) {
        if (sizes[b] > 0) {
            indices[b] = builder(ndim, sizes[b], batches[b]);
        }
    });
    return indices;
}

/// The `k` nearest neighbours of `query` in `index`, or an empty list when there is no index.
template <typename Index, typename Float>
knncolle::NeighborList<Index, Float> nearest_or_none(const IndexPointer<Index, Float>& index,
                                                     const Float* query, int k) {
    if (!index) {
        return {};
    }
    return index->find_nearest_neighbors(query, k);
}

/**
 * One neighbour list per query event, the queries run in `order` (a permutation of 0 .. n-1);
 * all lists are empty when there is no index.
 */
template <typename Index, typename Float>
NeighborTable<Index, Float> find_all_or_none(size_t n, const Float* query,
                                             const IndexPointer<Index, Float>& index, int k, int nthreads,
                                             const std::vector<size_t>& order) {
    if (!index) {
        return NeighborTable<Index, Float>(n);
    }
    return quick_find_nns(n, query, index.get(), k, nthreads, order);
}

/// The `locality_order` of every batch's events, batches in parallel.
template <typename Float>
std::vector<std::vector<size_t>> batch_orders(int ndim, const std::vector<size_t>& sizes,
                                              const std::vector<const Float*>& batches, int nthreads) {
    std::vector<std::vector<size_t>> orders(sizes.size());
    parallel_for(sizes.size(), nthreads,
                 [&](size_t b) { orders[b] = locality_order(ndim, sizes[b], batches[b]); });
    return orders;
}

/// Copies `n` events of `ndim` values.
template <typename Float>
void copy_events(int ndim, size_t n, const Float* from, Float* to) {
    std::copy_n(from, static_cast<size_t>(ndim) * n, to);
}

/**
 * Writes one batch (the target) onto the reference: corrected by its mutual pairs when
 * there is a reference, unchanged when the reference is still empty (the batch then forms
 * the reference), and nothing at all when the batch has no events.
 *
 * When `state` is not null it receives what the target correction learnt (nothing when the batch
 * is copied unchanged or has no events).
 *
 * @throws NoMutualPairsError if the batch has events, the reference is not empty and there
 * are no pairs: the batch cannot be corrected and must not be passed off as corrected.
 */
template <typename Index, typename Float, class Builder>
void merge_batch(int batch_id, int ndim, size_t nref, const Float* ref, size_t ntarget, const Float* target,
                 const MnnPairs<Index>& pairs, const Builder& builder, int k, double num_mads,
                 int robust_iterations, double robust_trim, Float* destination, size_t cap, int nthreads,
                 PhaseTimes* phase_times = nullptr, TargetState<Index, Float>* state = nullptr) {
    if (ntarget == 0) {
        return;
    }
    if (nref == 0) {
        copy_events(ndim, ntarget, target, destination);
        return;
    }
    if (pairs.num_pairs == 0) {
        throw NoMutualPairsError(batch_id);
    }
    correct_target(ndim, nref, ref, ntarget, target, pairs, builder, k, num_mads, robust_iterations,
                   robust_trim, destination, cap, nthreads, phase_times, state);
}

} // namespace internal

} // namespace mnncorrect

#endif
