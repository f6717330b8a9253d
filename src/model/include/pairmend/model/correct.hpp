#ifndef PAIRMEND_MODEL_CORRECT_HPP
#define PAIRMEND_MODEL_CORRECT_HPP

// The one correction path under every front end: the engine's own correction for the default
// method on every event, a model fitted and applied for any other method or a subsample, and
// the same messages for the same faults whichever it is.

#include "mnncorrect/PhaseTimes.hpp"
#include "pairmend/model/Model.hpp"
#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pairmend::model {

/// How to correct labelled events.
struct CorrectOptions {
    /// The engine settings, and the model's own (`reference_events`, kept in a returned model).
    Settings settings;
    /// The correction method.
    Method method;
    /// Learn from at most this many events per batch (evenly spread), then correct every event
    /// with what was learnt; 0 learns from every event.
    std::uint64_t fit_events = 0;
    /// Engine threads; none gives the engine's default (`default_engine_threads`). Results do not
    /// depend on it.
    std::optional<int> num_threads;
    /// When set, called on the calling thread between the engine's phases (and between blocks of
    /// a model's apply); true ends the call with mnncorrect::Interrupted.
    std::function<bool()> should_stop;
    /// Whether to return the model; a correction with the default method on every event then runs
    /// as a fit, whose corrected values are the engine's bit for bit.
    bool keep_model = false;
    /// For a kept model: parameter names (empty gives p1 .. pD) and FCS channels.
    std::vector<std::string> parameters;
    std::optional<FcsInfo> fcs;
    /// When set, receives the fit's progress lines (a correction that runs as a model).
    Progress progress;
    /// When set, receives the engine's phase times (a correction with the engine's own run).
    mnncorrect::PhaseTimes* phase_times = nullptr;
    /// The conditions of the events (see `FitOptions`); empty: none. A correction with conditions
    /// runs as a model.
    std::vector<std::string> condition_names;
    /// Every event's condition, a position in `condition_names`; null without conditions.
    const int* condition_ids = nullptr;
};

/// What a correction found besides the corrected values.
struct CorrectResult {
    /// Batch ids in merge order.
    std::vector<int> merge_order;
    /// Mutual pairs of every merge step after the first batch.
    std::vector<std::int64_t> num_pairs;
    /// The model, when asked for (`keep_model`).
    std::optional<Model> model;
};

/**
 * A batch that shares no mutual nearest neighbours with the batches merged before it. Its
 * message is the shared one (`no_mutual_pairs_message`) naming the batch by its name.
 */
class NoMutualPairs : public std::runtime_error {
public:
    NoMutualPairs(int batch, const std::string& name);
    /// The batch's id.
    int batch() const { return batch_; }

private:
    int batch_;
};

/// Whether a correction with `method` learning from `fit_events` events per batch (0: all) runs
/// as a model fitted and then applied, rather than as the engine's own run.
bool runs_as_model(Method method, std::uint64_t fit_events, bool keep_model = false);

/**
 * Corrects `n` labelled events. The default method on every event runs the engine exactly as a
 * job does; anything else fits a model (on every event, or each batch's evenly spread subsample)
 * and corrects every event with it.
 *
 * @param ndim Values per event; at least 1.
 * @param events The events, one after another.
 * @param batch_ids Per event, a position in `batch_names`; the ids number the batches (ties of
 * the automatic order and the input merge order follow them).
 * @param batch_names The batches' names (the model's batch names, and how messages name them).
 * @param[out] output Room for the `n` corrected events in input order.
 * @throws std::runtime_error for invalid settings and the engine's and the model's faults;
 * NoMutualPairs; std::bad_alloc; mnncorrect::Interrupted when `should_stop` asks to end.
 */
CorrectResult correct(int ndim, std::size_t n, const double* events, const int* batch_ids,
                      const std::vector<std::string>& batch_names, const CorrectOptions& options,
                      double* output);

/**
 * Refuses batch names the model does not know, before any event is read.
 *
 * @param model_name How the message names the model: its file ("fl.pmm").
 * @param how_to_name How the user names batches, e.g. " (--batches)"; may be empty.
 * @param how_to_add How the user adds a batch, e.g. "pairmend-fcs extend"; empty leaves that out.
 * @throws std::runtime_error: `The batch B is not in the model fl.pmm, which knows the batches "A"
 * and "C". Name the files' batches as when the model was learnt (--batches), or add the batch with
 * pairmend-fcs extend.`
 */
void check_batches_known(const Model& model, const std::vector<std::string>& names,
                         const std::string& model_name, const std::string& how_to_name,
                         const std::string& how_to_add);

} // namespace pairmend::model

#endif
