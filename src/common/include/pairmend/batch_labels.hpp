#ifndef PAIRMEND_BATCH_LABELS_HPP
#define PAIRMEND_BATCH_LABELS_HPP

// The numbering of batch labels that every front end uses, so that the same labels give the same
// first reference and merge order whichever front end reads them.

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace pairmend {

/**
 * Numbers the batch labels 0 to k-1 in ascending order of the labels, whatever the order of the
 * events: labels 1, 2 and 10 become batches 0, 1 and 2. The numbering decides the first reference
 * under the policy "Input" and the merge order without automatic order.
 *
 * @tparam Label An ordered label type (int for the input table; the bindings also use 64-bit
 *         integers and texts, which are ordered by their bytes).
 * @param labels The label of every event.
 * @param count The number of events.
 * @param batches Out: room for `count` batch numbers; may be the same memory as `labels`.
 * @return The distinct labels in ascending order: the label of batch b at position b.
 * @throws std::runtime_error "There must be at least two batches" when fewer than two labels differ.
 */
template <typename Label>
std::vector<Label> number_batch_labels(const Label* labels, std::size_t count, int* batches) {
    std::vector<Label> distinct(labels, labels + count);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.size() < 2) {
        throw std::runtime_error("There must be at least two batches");
    }
    for (std::size_t i = 0; i < count; ++i) {
        batches[i] = static_cast<int>(std::lower_bound(distinct.begin(), distinct.end(), labels[i]) -
                                      distinct.begin());
    }
    return distinct;
}

} // namespace pairmend

#endif
