#ifndef PAIRMEND_MODEL_ENGINE_RUN_HPP
#define PAIRMEND_MODEL_ENGINE_RUN_HPP

// Internals shared by fit and extend: one engine run whose batches the model's method learns,
// and the checks of the batches given to it.

#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/model/Model.hpp"
#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::model::internal {

/**
 * The engine's options with `settings` as a job configures them and `num_threads` threads (none:
 * the shared default of the front ends).
 */
mnncorrect::Options configured_options(const Settings& settings, std::optional<int> num_threads);

/// What the method learnt of the batches of one engine run.
struct LearntBatches {
    /// Batch ids in merge order.
    std::vector<int> merge_order;
    /// Mutual pairs of every merge step after the first batch.
    std::vector<int> num_pairs;
    /// The method's corrected values of the fitted events, grouped by batch in id order.
    std::vector<double> corrected;
    /// Per batch id, the row of `corrected` where its events begin.
    std::vector<std::size_t> offsets;
    /// Per batch id, what the method learnt; null for the first reference.
    std::vector<std::shared_ptr<const BatchCorrection>> corrections;
    /// With conditions, per batch id: the conditions it holds, and those it learnt from.
    std::vector<std::vector<std::uint32_t>> conditions_held;
    std::vector<std::vector<std::uint32_t>> conditions_learnt;

    /// The model of batch id `b`, fitted on `fitted_events` events, under its name and number: its
    /// correction and, with conditions, the conditions it holds and learnt from (moved out of here).
    BatchModel take_batch(std::size_t b, std::string name, std::int64_t number, std::uint64_t fitted_events);
};

/// The conditions of the batches of one engine run.
struct ConditionDesign {
    /// The names of the conditions.
    std::vector<std::string> names;
    /// Per batch id, the condition of every fitted event (a position in `names`).
    std::vector<const int*> per_batch;
    /// Whether batch 0 is the first reference whatever it holds (the stored reference of a model
    /// that batches are added to).
    bool first_fixed = false;
    /// Receives the lines about the design (a condition held by one batch only).
    Progress progress;
};

/**
 * Runs the engine on batches held in blocks and lets `method` learn every batch in merge order.
 *
 * @param names Batch names by id, for the message of a batch without mutual pairs.
 * @param should_stop The engine's stop check between its phases; may be empty.
 * @throws NoMutualPairs naming a batch that shares no mutual pairs; what the engine throws
 * (mnncorrect::Interrupted when `should_stop` returns true).
 */
LearntBatches learn_batches(const Settings& settings, Method method, int ndim,
                            const std::vector<std::size_t>& sizes, const std::vector<const double*>& blocks,
                            int num_threads, const std::vector<std::string>& names,
                            const std::function<bool()>& should_stop,
                            const ConditionDesign* design = nullptr);

/**
 * `learn_batches` with conditions: each merge learns only from the events of the conditions that
 * both the batch and the reference hold, then corrects every event of the batch. The first
 * reference is the batch holding the most conditions (ties by the reference policy) unless the
 * order is the input order or `design.first_fixed`; the automatic order picks among the batches
 * sharing a condition with the reference.
 *
 * @throws std::runtime_error before any work for a batch that shares no condition with the others
 * (directly or through others), or, in input order, with the batches before it.
 */
LearntBatches learn_batches_by_condition(const Settings& settings, Method method, int ndim,
                                         const std::vector<std::size_t>& sizes,
                                         const std::vector<const double*>& blocks, int num_threads,
                                         const std::vector<std::string>& names,
                                         const std::function<bool()>& should_stop,
                                         const ConditionDesign& design);

/**
 * Refuses batches that cannot be fitted: no events in one, repeated names, a wrong number of
 * output buffers. `what` names the operation in messages ("fit", "extend").
 */
void check_batches(const std::vector<BatchEvents>& batches, const std::vector<double*>& outputs,
                   const std::string& what);

} // namespace pairmend::model::internal

#endif
