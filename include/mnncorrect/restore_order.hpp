#ifndef MNNCORRECT_RESTORE_ORDER_HPP
#define MNNCORRECT_RESTORE_ORDER_HPP

#include <algorithm>
#include <cstddef>
#include <vector>

namespace mnncorrect {

namespace restore {

/**
 * Permutes the rows (events) of an event matrix in place, so that afterwards row `i` holds
 * what was row `positions[i]` before. Each cycle of the permutation is followed once, with a
 * single spare row, so no second copy of the matrix is needed.
 *
 * @param ndim Number of values per row.
 * @param n Number of rows.
 * @param positions Source row of every destination row; must be a permutation of 0 to n-1.
 * @param data The rows, `ndim` values each, one after another; overwritten.
 * @throws std::bad_alloc if the flags or the spare row cannot be allocated.
 */
template <typename Float>
void reorder(int ndim, size_t n, const std::vector<size_t>& positions, Float* data) {
    const size_t stride = static_cast<size_t>(ndim);
    std::vector<unsigned char> done(n, 0);
    std::vector<Float> spare(stride);

    auto row = [&](size_t r) { return data + r * stride; };
    for (size_t i = 0; i < n; ++i) {
        if (done[i]) {
            continue;
        }
        done[i] = 1;
        size_t source = positions[i];
        if (source == i) {
            continue;
        }

        std::copy_n(row(i), stride, spare.data());
        size_t destination = i;
        while (source != i) {
            std::copy_n(row(source), stride, row(destination));
            done[source] = 1;
            destination = source;
            source = positions[source];
        }
        std::copy_n(spare.data(), stride, row(destination));
    }
}

} // namespace restore

/**
 * Moves every event of a merge-ordered output back to its input row, for input whose events
 * carry one batch id each in any order.
 *
 * The output holds the batches in merge order, each batch's events in their input order.
 *
 * @param ndim Number of values per event.
 * @param merge_order Batch ids in the order in which their events were written.
 * @param sizes Number of events of every batch, indexed by batch id.
 * @param batch Batch id of every input event (sum of `sizes` entries).
 * @param output The merge-ordered events; overwritten with the events in input order.
 * @throws std::bad_alloc if the position table cannot be allocated.
 */
template <typename Batch, typename Float>
void restore_order(int ndim, const std::vector<int>& merge_order, const std::vector<size_t>& sizes,
                   const Batch* batch, Float* output);

/**
 * Moves every event of a merge-ordered output back to its input row, for input grouped by
 * batch in id order (all events of batch 0, then batch 1, ...).
 *
 * @param ndim Number of values per event.
 * @param merge_order Batch ids in the order in which their events were written.
 * @param sizes Number of events of every batch, indexed by batch id.
 * @param output The merge-ordered events; overwritten with the events grouped in id order.
 * @throws std::bad_alloc if the position table cannot be allocated.
 */
template <typename Float>
void restore_order(int ndim, const std::vector<int>& merge_order, const std::vector<size_t>& sizes,
                   Float* output);

namespace internal {

/// First output row of every batch (indexed by batch id) when batches are written in merge order.
inline std::vector<size_t> merged_starts(const std::vector<int>& merge_order,
                                         const std::vector<size_t>& sizes) {
    std::vector<size_t> starts(sizes.size());
    size_t row = 0;
    for (const int b : merge_order) {
        const size_t id = static_cast<size_t>(b);
        starts[id] = row;
        row += sizes[id];
    }
    return starts;
}

} // namespace internal

template <typename Batch, typename Float>
void restore_order(int ndim, const std::vector<int>& merge_order, const std::vector<size_t>& sizes,
                   const Batch* batch, Float* output) {
    std::vector<size_t> next_row = internal::merged_starts(merge_order, sizes);
    size_t nobs = 0;
    for (const size_t s : sizes) {
        nobs += s;
    }

    std::vector<size_t> positions(nobs);
    for (size_t i = 0; i < nobs; ++i) {
        size_t& row = next_row[static_cast<size_t>(batch[i])];
        positions[i] = row;
        ++row;
    }
    restore::reorder(ndim, nobs, positions, output);
}

template <typename Float>
void restore_order(int ndim, const std::vector<int>& merge_order, const std::vector<size_t>& sizes,
                   Float* output) {
    const std::vector<size_t> starts = internal::merged_starts(merge_order, sizes);
    size_t nobs = 0;
    for (const size_t s : sizes) {
        nobs += s;
    }

    std::vector<size_t> positions;
    positions.reserve(nobs);
    for (size_t b = 0; b < sizes.size(); ++b) {
        for (size_t j = 0; j < sizes[b]; ++j) {
            positions.push_back(starts[b] + j);
        }
    }
    restore::reorder(ndim, positions.size(), positions, output);
}

} // namespace mnncorrect

#endif
