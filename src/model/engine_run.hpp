#ifndef PAIRMEND_MODEL_ENGINE_RUN_HPP
#define PAIRMEND_MODEL_ENGINE_RUN_HPP

// Internals shared by fit and extend: one engine run that keeps the batches' states, the stored
// reference's even subsample, and grouping of labelled events by batch.

#include "pairmend/model/Model.hpp"
#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pairmend::model::internal {

/// What one engine run learnt.
struct EngineResult {
    /// Batch ids in merge order.
    std::vector<int> merge_order;
    /// Mutual pairs of every merge step after the first batch.
    std::vector<int> num_pairs;
    /// Per batch id, what its correction learnt.
    std::vector<mnncorrect::TargetState<int, double>> states;
};

/**
 * Runs the engine on batches held in blocks, keeping every batch's state.
 *
 * @param[out] output Receives the corrected events grouped by batch in id order.
 * @param names Batch names by id, for the message of a batch without mutual pairs.
 * @throws std::runtime_error naming a batch that shares no mutual pairs; what the engine throws.
 */
EngineResult run_engine(const Settings& settings, int ndim, const std::vector<std::size_t>& sizes,
                        const std::vector<const double*>& blocks, double* output, int num_threads,
                        const std::vector<std::string>& names);

/// The fitted events of one batch: its rows, or an evenly spread subsample copied out of them.
struct FitSample {
    /// The copied subsample; empty when every event is fitted.
    std::vector<double> copy;
    /// The fitted events (the batch's own rows or `copy`).
    const double* rows = nullptr;
    /// Number of fitted events.
    std::size_t size = 0;
    /// Whether only a subsample is fitted.
    bool subsampled() const { return !copy.empty(); }
};

/// The events of `batch` to fit on: all of them, or at most `fit_events` (0: all) evenly spread.
FitSample fit_sample(int ndim, const BatchEvents& batch, std::uint64_t fit_events);

/// Rows of one batch offered to the stored reference.
struct ReferenceBlock {
    /// The rows available, `ndim` values each.
    const double* rows = nullptr;
    /// Number of rows available.
    std::size_t available = 0;
    /// Number of events the batch was fitted on, which weighs its share.
    std::uint64_t fitted = 0;
};

/**
 * The stored reference: of the batches' fitted events (in block order) an evenly spread subsample
 * of at most `cap` rows, each block's share taken evenly from its available rows.
 *
 * @param[out] counts Rows taken from every block.
 */
std::vector<double> build_reference(int ndim, const std::vector<ReferenceBlock>& blocks, std::uint64_t cap,
                                    std::vector<std::uint64_t>& counts);

/**
 * Refuses batches that cannot be fitted: no events in one, repeated names, a wrong number of
 * output buffers. `what` names the operation in messages ("fit", "extend").
 */
void check_batches(const std::vector<BatchEvents>& batches, const std::vector<double*>& outputs,
                   const std::string& what);

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
