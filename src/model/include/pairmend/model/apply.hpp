#ifndef PAIRMEND_MODEL_APPLY_HPP
#define PAIRMEND_MODEL_APPLY_HPP

#include "pairmend/model/Model.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pairmend::model {

/**
 * Corrects events of one batch of a model. The neighbour index over the batch's paired events
 * is built once, at construction, so that many blocks of events (one file after another) are
 * corrected without rebuilding it.
 *
 * An event is corrected exactly as the fit corrected the batch's own events (for "mnn" the same
 * kind of index over the same rows, the same k and robust average), so a model fitted on all
 * events gives every one of them bit-identical values. Events of the first reference are
 * returned unchanged. The batch's method prepares its correction (`BatchCorrection::prepare`).
 *
 * Refers to the model, which must outlive the object. Thread safety: `apply` is const and may be
 * called from several threads at once.
 */
class BatchCorrector {
public:
    /**
     * Prepares the correction of the batch named `batch`.
     *
     * @throws std::runtime_error if the model knows no batch of that name (the message lists the
     * ones it knows); std::bad_alloc.
     */
    BatchCorrector(const Model& model, const std::string& batch);

    /**
     * Corrects `n` events of `ndim` values each.
     *
     * @param ndim Values per event; must equal the model's.
     * @param n Number of events.
     * @param events The events, one after another.
     * @param[out] output Receives the `n` corrected events; may be `events` itself.
     * @param num_threads Threads of the loop over the events; values below 1 mean 1. The result
     * does not depend on it.
     * @throws std::runtime_error if `ndim` differs from the model's.
     */
    void apply(int ndim, std::size_t n, const double* events, double* output, int num_threads) const;

    /// The batch's name.
    const std::string& name() const;

private:
    const Model* model_;
    const BatchModel* batch_;
    std::unique_ptr<const PreparedCorrection> prepared_;
};

/**
 * Corrects `n` events of the batch named `batch`: a `BatchCorrector` used once.
 *
 * @throws As `BatchCorrector` and its `apply`.
 */
void apply(const Model& model, const std::string& batch, int ndim, std::size_t n, const double* events,
           double* output, int num_threads);

/**
 * Corrects events of several batches given in any order, each with its batch: the events of
 * every batch are gathered, corrected with one index per batch, and written back in input order.
 *
 * @param model The model.
 * @param ndim Values per event; must equal the model's.
 * @param n Number of events.
 * @param events The events, one after another.
 * @param batch_ids Per event, a position in `batch_names`.
 * @param batch_names The batch names the ids stand for; every name must be one of the model's.
 * @param[out] output Receives the corrected events in input order; may be `events` itself.
 * @param num_threads Threads of the engine loops; the result does not depend on it.
 * @param should_stop When set, asked before each block of events (`kEventsPerStopCheck`) is
 * corrected; true ends the call with mnncorrect::Interrupted and `output` unwritten. Every event
 * is corrected on its own, so the blocks give the values of one whole call.
 * @throws std::runtime_error for an unknown batch name or a wrong `ndim` (before anything is
 * written), or an id outside `batch_names`.
 */
void apply_labelled(const Model& model, int ndim, std::size_t n, const double* events, const int* batch_ids,
                    const std::vector<std::string>& batch_names, double* output, int num_threads,
                    const std::function<bool()>& should_stop = {});

/// Events `apply_labelled` corrects between two calls of its `should_stop`.
inline constexpr std::size_t kEventsPerStopCheck = std::size_t{1} << 16;

} // namespace pairmend::model

#endif
