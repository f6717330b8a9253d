#ifndef PAIRMEND_MODEL_FIT_HPP
#define PAIRMEND_MODEL_FIT_HPP

#include "pairmend/model/Model.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::model {

/// The events of one batch, held by the caller.
struct BatchEvents {
    /// The batch's name.
    std::string name;
    /// Number of events.
    std::size_t size = 0;
    /// The events, `ndim` values each, one after another.
    const double* events = nullptr;
    /// The condition of every event, a position in the call's condition names; null when the
    /// call has no conditions.
    const int* conditions = nullptr;
};

/// Receives one line of progress ("Fitted ..."), without a line end.
using Progress = std::function<void(const std::string& line)>;

/// What fitting batches (a fit, or an extend call's new batches) shares: the subsample, the
/// threads, progress and interruption, and the events' conditions.
struct LearnControls {
    /// Fit on at most this many events per batch (the evenly spread floor(i * n / N) subsample
    /// of each batch's n events); 0 fits on every event.
    std::uint64_t fit_events = 0;
    /// Threads of the engine loops; values below 1 mean 1. Results do not depend on it.
    int num_threads = 1;
    /// When set, receives a line after each step.
    Progress progress;
    /// When set, called on the calling thread between the engine's phases; when it returns true the
    /// call ends with mnncorrect::Interrupted (an interactive session's Ctrl-C).
    std::function<bool()> should_stop;
    /// The names of the conditions (biological groups or kinds of sample) the events belong to;
    /// empty: no conditions. With conditions, every batch's events carry one each (for
    /// `fit_labelled` and `extend_labelled`, `condition_ids`), and each merge learns only from the
    /// events of the conditions both sides hold.
    std::vector<std::string> condition_names;
    /// For `fit_labelled` and `extend_labelled`: every event's condition, a position in
    /// `condition_names`.
    const int* condition_ids = nullptr;
};

/// How to fit a model.
struct FitOptions : LearnControls {
    /// The engine settings.
    Settings settings;
    /// The correction method; the default ("mnn") runs the engine's correction, the others start
    /// from it.
    Method method;
    /// Parameter names, one per value; empty gives p1 .. pD.
    std::vector<std::string> parameters;
    /// The FCS channels and cofactor, kept in the model when given.
    std::optional<FcsInfo> fcs;
};

/**
 * Learns a correction of the given batches and, on request, corrects all their events.
 *
 * Fitting on every event runs the engine's correction unchanged, so the corrected events equal
 * the correction's bit for bit. With `fit_events` the engine sees each batch's subsample and
 * every event is then corrected with the model (`BatchCorrector`).
 *
 * @param ndim Values per event; at least 1.
 * @param batches The batches, in the order that numbers them (ties of the automatic order and the
 * input merge order follow it). Names must differ; every batch needs an event.
 * @param options Settings, subsample and threads.
 * @param outputs Empty, or one buffer per batch receiving its corrected events (may be the
 * batch's own events).
 * @return The model.
 * @throws std::runtime_error for invalid settings, fewer than two batches, a batch without events,
 * a repeated name, wrong parameter or output counts, or a batch that shares no mutual pairs with
 * the batches before it (named in the message); std::bad_alloc; mnncorrect::Interrupted when
 * `options.should_stop` asks the fit to end.
 */
Model fit(int ndim, const std::vector<BatchEvents>& batches, const FitOptions& options,
          const std::vector<double*>& outputs = {});

/**
 * Sends the design (events per batch and condition) as a block of progress lines: a title, a
 * header of the condition names and one line per batch, cells separated by tabs.
 */
void report_design(const Progress& progress, const std::vector<BatchEvents>& batches,
                   const std::vector<std::string>& conditions);

/**
 * `fit` for events given in any order, each with its batch id.
 *
 * @param ndim Values per event.
 * @param n Number of events.
 * @param events The events, one after another.
 * @param batch_ids Per event, a position in `batch_names`.
 * @param batch_names The name of every batch id; every id needs an event.
 * @param options As for `fit`.
 * @param[out] output Null, or room for the `n` corrected events in input order.
 * @throws As `fit`; also for an id outside `batch_names`.
 */
Model fit_labelled(int ndim, std::size_t n, const double* events, const int* batch_ids,
                   const std::vector<std::string>& batch_names, const FitOptions& options, double* output);

} // namespace pairmend::model

#endif
