#ifndef PAIRMEND_MODEL_GROUPING_HPP
#define PAIRMEND_MODEL_GROUPING_HPP

// Events given in any order with a batch id each, gathered into one block per batch and written
// back in input order.

#include <cstddef>
#include <vector>

namespace pairmend::model::internal {

/// Labelled events gathered into one block per batch.
struct GroupedEvents {
    /// Every batch's events, in input order within the batch.
    std::vector<std::vector<double>> blocks;
    /// Every batch's input positions, in order.
    std::vector<std::vector<std::size_t>> positions;
};

/**
 * Gathers labelled events by batch id.
 *
 * @throws std::runtime_error for an id outside 0 .. nbatches-1.
 */
GroupedEvents group_events(int ndim, std::size_t n, const double* events, const int* batch_ids,
                           std::size_t nbatches);

/// Writes every batch's block of `grouped` back to `output` at the batch's input positions.
void scatter_events(int ndim, const GroupedEvents& grouped, double* output);

} // namespace pairmend::model::internal

#endif
