#ifndef PAIRMEND_MODEL_GROUPING_HPP
#define PAIRMEND_MODEL_GROUPING_HPP

// Events given in any order with a batch id each, gathered into one block per batch and written
// back in input order.

#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <string>
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

/**
 * Runs `run(batches, outputs)` on labelled events gathered by batch, as fit and extend take them:
 * `batches` holds one BatchEvents per name of `batch_names`, in that order, over the batch's block,
 * and `outputs` holds the same blocks, for `run` to overwrite with corrected values, when `output`
 * is not null (else it is empty). The blocks are then written back to `output` in input order.
 *
 * @return What `run` returns.
 * @throws std::runtime_error for an id outside the names; whatever `run` throws.
 */
template <typename Run>
auto run_grouped(int ndim, std::size_t n, const double* events, const int* batch_ids,
                 const std::vector<std::string>& batch_names, double* output, Run run,
                 const int* condition_ids = nullptr) {
    GroupedEvents grouped = group_events(ndim, n, events, batch_ids, batch_names.size());
    std::vector<std::vector<int>> conditions(condition_ids == nullptr ? 0 : batch_names.size());
    for (std::size_t b = 0; b < conditions.size(); ++b) {
        for (const std::size_t position : grouped.positions[b]) {
            conditions[b].push_back(condition_ids[position]);
        }
    }
    std::vector<BatchEvents> batches;
    std::vector<double*> outputs;
    for (std::size_t b = 0; b < batch_names.size(); ++b) {
        batches.push_back({batch_names[b], grouped.positions[b].size(), grouped.blocks[b].data(),
                           conditions.empty() ? nullptr : conditions[b].data()});
        if (output != nullptr) {
            outputs.push_back(grouped.blocks[b].data());
        }
    }
    auto result = run(batches, outputs);
    if (output != nullptr) {
        scatter_events(ndim, grouped, output);
    }
    return result;
}

} // namespace pairmend::model::internal

#endif
