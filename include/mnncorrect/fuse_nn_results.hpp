#ifndef MNNCORRECT_FUSE_NN_RESULTS_HPP
#define MNNCORRECT_FUSE_NN_RESULTS_HPP

#include "knncolle/Base.hpp"

#include <algorithm>
#include <cstddef>

namespace mnncorrect {

namespace internal {

/// Keeps a parameter out of template argument deduction, so callers may pass any integer.
template <typename T>
struct non_deduced {
    using type = T;
};

} // namespace internal

/**
 * Replaces `base` by the `k` nearest entries of the union of `base` and `alternative`.
 *
 * Both lists must be in increasing distance. Entries taken from `alternative` have `offset`
 * added to their index; on equal distances the entry of `base` comes first. With `k` equal
 * to 0 the base list comes out empty.
 *
 * Thread safety: touches only its arguments; calls on disjoint lists may run concurrently.
 *
 * @param base List to update, in increasing distance.
 * @param alternative List to fold in, in increasing distance, indices numbered from 0.
 * @param k Largest number of entries to keep.
 * @param offset Added to every index taken from `alternative`.
 * @throws std::bad_alloc if the fused list cannot be allocated (`base` is then unchanged).
 */
template <typename Index, typename Float>
void fuse_nn_results(knncolle::NeighborList<Index, Float>& base,
                     const knncolle::NeighborList<Index, Float>& alternative, size_t k,
                     typename internal::non_deduced<Index>::type offset) {
    knncolle::NeighborList<Index, Float> output;
    // The job file may ask for any k; the fused list can never hold more than both inputs.
    output.reserve(std::min(k, base.size() + alternative.size()));

    auto next_base = base.begin();
    auto next_alternative = alternative.begin();
    while (output.size() < k) {
        const bool base_left = next_base != base.end();
        const bool alternative_left = next_alternative != alternative.end();
        if (!base_left && !alternative_left) {
            break;
        }
        if (base_left && (!alternative_left || !(next_base->second > next_alternative->second))) {
            output.push_back(*next_base);
            ++next_base;
        } else {
            output.emplace_back(next_alternative->first + offset, next_alternative->second);
            ++next_alternative;
        }
    }

    base.swap(output);
}

} // namespace mnncorrect

#endif
