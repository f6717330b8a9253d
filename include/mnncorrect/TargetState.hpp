#ifndef MNNCORRECT_TARGET_STATE_HPP
#define MNNCORRECT_TARGET_STATE_HPP

#include "knncolle/Base.hpp"
#include "mnncorrect/RobustAverage.hpp"
#include "mnncorrect/parallel.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace mnncorrect {

/**
 * What the target correction of one batch learnt: enough to correct any event of that batch,
 * including events it never saw, exactly as the correction corrected its own events.
 *
 * The corrected value of an event is the event plus the robust average of the correction
 * vectors (reference centre minus target centre) of every pair whose target event is among
 * the event's `k` closest paired target events. This holds the paired target events (in the
 * order the correction lists them, which is the order its neighbour index was built in), their
 * centres, the paired reference centres and, for every paired target event, its reference
 * partners in the order the correction visits them.
 *
 * Thread safety: a plain value type; concurrent reads are safe.
 *
 * @tparam Index Integer type of the partner positions.
 * @tparam Float Type of the values.
 */
template <typename Index = int, typename Float = double>
struct TargetState {
    /// Paired target events, `ndim` values each, in the order the target index was built on.
    std::vector<Float> paired_events;
    /// Centre of mass of every paired target event, in the same order.
    std::vector<Float> target_centres;
    /// Centre of mass of every paired reference event, `ndim` values each.
    std::vector<Float> reference_centres;
    /// Partners of paired target event p: `partners[partner_offsets[p] .. partner_offsets[p+1])`.
    std::vector<size_t> partner_offsets;
    /// Positions in `reference_centres`, every paired target event's partners one after another.
    std::vector<Index> partners;

    /// Number of paired target events.
    size_t num_paired() const { return partner_offsets.empty() ? 0 : partner_offsets.size() - 1; }

    /// Whether the state holds no correction (the batch was never corrected).
    bool empty() const { return num_paired() == 0; }
};

/**
 * The correction vectors of a target state, reference centre minus target centre of every pair,
 * computed once: `values[q * ndim ..]` for `state.partners[q]` and the paired target event whose
 * partner list holds position q. Correcting many events then only gathers them.
 *
 * Thread safety: a plain value type; concurrent reads are safe.
 */
template <typename Float = double>
struct TargetVectors {
    /// Vectors of `ndim` values, in the order of `partners`.
    std::vector<Float> values;

    TargetVectors() = default;

    /// @throws std::bad_alloc on exhausted memory.
    template <typename Index>
    TargetVectors(int ndim, const TargetState<Index, Float>& state) {
        const size_t width = static_cast<size_t>(ndim);
        values.resize(state.partners.size() * width);
        for (size_t p = 0; p < state.num_paired(); ++p) {
            const Float* target_centre = state.target_centres.data() + p * width;
            for (size_t q = state.partner_offsets[p]; q < state.partner_offsets[p + 1]; ++q) {
                const Float* ref_centre =
                    state.reference_centres.data() + static_cast<size_t>(state.partners[q]) * width;
                Float* vector = values.data() + q * width;
                for (size_t d = 0; d < width; ++d) {
                    vector[d] = ref_centre[d] - target_centre[d];
                }
            }
        }
    }
};

/**
 * `apply_target_state` with the state's correction vectors computed beforehand, which gives the
 * same values bit for bit; the way to correct a batch's events in several calls.
 *
 * @param vectors `TargetVectors(ndim, state)`.
 */
template <typename Index, typename Float>
void apply_target_state(int ndim, const TargetState<Index, Float>& state, const TargetVectors<Float>& vectors,
                        const knncolle::Base<Index, Float, Float>& index, int k, int robust_iterations,
                        double robust_trim, size_t n, const Float* events, Float* output, int nthreads) {
    const RobustAverage<Index, Float> averager(robust_iterations, robust_trim);
    const size_t width = static_cast<size_t>(ndim);

    ParallelErrors errors;
#pragma omp parallel num_threads(std::max(nthreads, 1))
    {
        std::vector<Float> corrections;
        std::vector<Float> average(width);
        typename RobustAverage<Index, Float>::Scratch scratch;
        errors.run([&] { corrections.reserve(100 * width); });

#pragma omp for schedule(dynamic, 64)
        for (size_t h = 0; h < n; ++h) {
            errors.run([&] {
                const auto closest = index.find_nearest_neighbors(events + h * width, k);
                corrections.clear();
                for (const auto& entry : closest) {
                    const size_t position = static_cast<size_t>(entry.first);
                    const Float* first = vectors.values.data() + state.partner_offsets[position] * width;
                    const Float* last = vectors.values.data() + state.partner_offsets[position + 1] * width;
                    corrections.insert(corrections.end(), first, last);
                }

                // Averaged into scratch first, as `output` may alias `events`.
                averager.run(ndim, corrections.size() / width, corrections.data(), average.data(), scratch);
                const Float* original = events + h * width;
                Float* corrected = output + h * width;
                for (size_t d = 0; d < width; ++d) {
                    corrected[d] = original[d] + average[d];
                }
            });
        }
    }
    errors.rethrow();
}

/**
 * Corrects events of one batch with the state its target correction left, by exactly the
 * arithmetic of that correction: the same `k` closest paired target events (found in `index`,
 * built by the correction's builder over `state.paired_events`), the same correction vectors
 * in the same order and the same robust average. Events the correction saw get bit-identical
 * values.
 *
 * Thread safety: const; one parallel loop of `nthreads` threads, every event written by one
 * iteration only, so the result does not depend on the thread count. `index` is only read.
 *
 * @param ndim Number of values per event.
 * @param state The batch's state, not empty.
 * @param index Neighbour index over `state.paired_events`, in their order.
 * @param k Number of closest paired events per event, as in the correction.
 * @param robust_iterations, robust_trim Settings of the robust average, as in the correction.
 * @param n, events The events to correct, `ndim` values each.
 * @param[out] output Receives `n` corrected events; may be the same buffer as `events`.
 * @param nthreads Number of threads requested (values below 1 run on one thread).
 * @throws std::runtime_error for invalid robust settings; whatever a query throws.
 */
template <typename Index, typename Float>
void apply_target_state(int ndim, const TargetState<Index, Float>& state,
                        const knncolle::Base<Index, Float, Float>& index, int k, int robust_iterations,
                        double robust_trim, size_t n, const Float* events, Float* output, int nthreads) {
    apply_target_state(ndim, state, TargetVectors<Float>(ndim, state), index, k, robust_iterations,
                       robust_trim, n, events, output, nthreads);
}

namespace internal {

/**
 * Fills `state` from a finished target correction: the paired target events (copied from
 * `target` in `paired_target` order), the centres (moved in) and the partners of every paired
 * target event as positions among the paired reference events.
 */
template <typename Index, typename Float>
void keep_target_state(int ndim, const Float* target, const std::vector<Index>& paired_target,
                       std::vector<Float>&& target_centres, std::vector<Float>&& ref_centres,
                       const std::vector<const std::vector<Index>*>& partners_of,
                       const std::vector<Index>& ref_positions, TargetState<Index, Float>& state) {
    const size_t width = static_cast<size_t>(ndim);
    state.paired_events.resize(paired_target.size() * width);
    for (size_t p = 0; p < paired_target.size(); ++p) {
        std::copy_n(target + static_cast<size_t>(paired_target[p]) * width, width,
                    state.paired_events.data() + p * width);
    }
    state.target_centres = std::move(target_centres);
    state.reference_centres = std::move(ref_centres);
    state.partner_offsets.assign(1, 0);
    state.partners.clear();
    for (const std::vector<Index>* partners : partners_of) {
        for (const Index partner : *partners) {
            state.partners.push_back(ref_positions[static_cast<size_t>(partner)]);
        }
        state.partner_offsets.push_back(state.partners.size());
    }
}

} // namespace internal

} // namespace mnncorrect

#endif
