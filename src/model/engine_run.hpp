#ifndef PAIRMEND_MODEL_ENGINE_RUN_HPP
#define PAIRMEND_MODEL_ENGINE_RUN_HPP

// Internals shared by fit and extend: one engine run that keeps every batch's state, and the
// checks of the batches given to it.

#include "pairmend/model/Model.hpp"
#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pairmend::model::internal {

/// What one engine run learnt.
struct EngineResult {
    /// Batch ids in merge order.
    std::vector<int> merge_order;
    /// Mutual pairs of every merge step after the first batch.
    std::vector<int> num_pairs;
    /// Per batch id, what its correction learnt; empty unless asked for.
    std::vector<mnncorrect::TargetState<int, double>> states;
};

/**
 * Runs the engine on batches held in blocks, keeping every batch's state.
 *
 * @param[out] output Receives the corrected events grouped by batch in id order.
 * @param names Batch names by id, for the message of a batch without mutual pairs.
 * @param should_stop The engine's stop check between its phases; may be empty.
 * @param keep_states Whether to keep every batch's state (`states` stays empty otherwise).
 * @throws std::runtime_error naming a batch that shares no mutual pairs; what the engine throws
 * (mnncorrect::Interrupted when `should_stop` returns true).
 */
EngineResult run_engine(const Settings& settings, int ndim, const std::vector<std::size_t>& sizes,
                        const std::vector<const double*>& blocks, double* output, int num_threads,
                        const std::vector<std::string>& names, const std::function<bool()>& should_stop,
                        bool keep_states);

/**
 * Refuses batches that cannot be fitted: no events in one, repeated names, a wrong number of
 * output buffers. `what` names the operation in messages ("fit", "extend").
 */
void check_batches(const std::vector<BatchEvents>& batches, const std::vector<double*>& outputs,
                   const std::string& what);

} // namespace pairmend::model::internal

#endif
