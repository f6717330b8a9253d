// Correction models for R through the model library: fit, apply, extend, save and load, with the
// program's checks and messages. Batches are named by their labels as text and numbered as
// correct() numbers them, so that a model fitted on every event repeats correct() bit for bit.
// The R functions fit(), apply_model(), extend_model(), save_model() and load_model() check their
// arguments' types and call these; call them through those.

#include "batch_labels.hpp"
#include "event_values.hpp"
#include "model_handle.hpp"
#include "r_interrupt.hpp"
#include "r_text.hpp"
#include "settings_list.hpp"

#include "mnncorrect/Interrupted.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"
#include "pairmend/output_transaction.hpp"

#include <Rcpp.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// The results must equal the program's bit for bit; fast math would change them.
#if defined(__FAST_MATH__)
#error "pairmend must be compiled without -ffast-math: remove it from the compiler flags (~/.R/Makevars)."
#endif

namespace {

using pairmend::model::Model;

// The events of x, events by parameters, as the model library reads them.
struct ModelEvents {
    pairmend_r::EventShape shape;
    pairmend_r::BatchLabels labels;
    pairmend_r::EventValues values;

    ModelEvents(SEXP x, pairmend_r::EventShape x_shape, SEXP batch, pairmend_r::BatchesNeeded needed)
        : shape(x_shape),
          labels(batch, shape.nobs, pairmend_r::events_text("x", shape.nobs, pairmend_r::EventAxis::rows),
                 "event", needed),
          values(x, shape, pairmend_r::EventAxis::rows, "x") {}

    int ndim() const { return static_cast<int>(shape.ndim); }

    // Gives `options` the events' conditions (see BatchLabels::give_conditions), numbered into `ids`.
    template <class Options>
    void give_conditions(SEXP condition, std::vector<int>& ids, Options& options) const {
        pairmend_r::BatchLabels::give_conditions(
            condition, shape.nobs, pairmend_r::events_text("x", shape.nobs, pairmend_r::EventAxis::rows), ids,
            options);
    }
};

pairmend_r::EventShape shape_of(SEXP x) {
    return pairmend_r::event_shape(x, pairmend_r::EventAxis::rows, "x");
}

// Counts (events, pairs) as R holds them: an integer vector when every count fits, else a double one.
template <typename Count>
Rcpp::RObject counts_vector(const std::vector<Count>& counts) {
    const bool fits = std::all_of(counts.begin(), counts.end(), [](Count count) {
        if constexpr (std::is_signed_v<Count>) {
            if (count < 0) {
                return false;
            }
        }
        return static_cast<std::uint64_t>(count) <= static_cast<std::uint64_t>(INT_MAX);
    });
    const auto n = static_cast<R_xlen_t>(counts.size());
    if (fits) {
        Rcpp::IntegerVector out(n);
        for (R_xlen_t i = 0; i < n; ++i) {
            out[i] = static_cast<int>(counts[static_cast<std::size_t>(i)]);
        }
        return out;
    }
    Rcpp::NumericVector out(n);
    for (R_xlen_t i = 0; i < n; ++i) {
        out[i] = static_cast<double>(counts[static_cast<std::size_t>(i)]);
    }
    return out;
}

// Texts of a model (UTF-8, or Latin-1 from an older FCS file's channels) as an R character vector.
Rcpp::CharacterVector texts_vector(const std::vector<std::string>& texts) {
    Rcpp::CharacterVector out(static_cast<R_xlen_t>(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out[static_cast<R_xlen_t>(i)] = pairmend_r::file_text(texts[i]);
    }
    return out;
}

// An R character vector, or NULL, as UTF-8 texts.
std::vector<std::string> utf8_texts(SEXP texts) {
    std::vector<std::string> out;
    for (R_xlen_t i = 0; i < Rf_xlength(texts); ++i) {
        out.push_back(pairmend_r::utf8_text(STRING_ELT(texts, i)));
    }
    return out;
}

// A stop on Ctrl-C (mnncorrect::Interrupted) as R's interrupt, which ends the call and leaves the session
// usable.
template <typename Run>
auto interruptible(Run run) -> decltype(run()) {
    try {
        return run();
    } catch (const mnncorrect::Interrupted&) {
        throw Rcpp::internal::InterruptedException();
    }
}

} // namespace

/**
 * Fits a model on the events of a double or integer matrix (events by parameters) with one batch
 * label per event; fit() checks its arguments' types and calls this.
 * @param settings The engine's settings by keyword, each of its kind (checked_settings()).
 * @param reference_events The most corrected events the model keeps for adding batches later.
 * @param fit_events Fit on at most this many events per batch; 0 fits on every event.
 * @param parameters A character vector of parameter names, or NULL for p1 .. pD.
 * @return A model handle.
 * @throws std::runtime_error with the program's and the model library's messages.
 */
// [[Rcpp::export(rng = false)]]
SEXP model_fit(SEXP x, SEXP batch, Rcpp::List settings, int num_threads, double reference_events,
               double fit_events, SEXP parameters, std::string method, SEXP condition) {
    pairmend::model::FitOptions options;
    options.method = pairmend::model::parse_method(method);
    options.settings = pairmend::model::model_settings(pairmend_r::engine_options_of(settings));
    options.settings.reference_events = static_cast<std::uint64_t>(reference_events);
    options.fit_events = static_cast<std::uint64_t>(fit_events);
    options.num_threads = num_threads;
    options.parameters = utf8_texts(parameters);
    options.should_stop = pairmend_r::interrupt_pending;
    pairmend::model::check_settings(options.settings);

    const ModelEvents events(x, shape_of(x), batch, pairmend_r::BatchesNeeded::at_least_two);
    std::vector<int> condition_ids;
    events.give_conditions(condition, condition_ids, options);
    Rcpp::checkUserInterrupt();
    return pairmend_r::model_handle(interruptible([&] {
        return pairmend::model::fit_labelled(events.ndim(), events.shape.nobs, events.values.data(),
                                             events.labels.batches().data(), events.labels.names(), options,
                                             nullptr);
    }));
}

/**
 * Corrects events of batches a model knows; apply_model() checks its arguments and calls this.
 * @return The corrected events, a double matrix of the shape and dimnames of `x`.
 * @throws std::runtime_error for a label the model does not know (before anything is corrected),
 *         a wrong number of parameters, and a value that is not finite.
 */
// [[Rcpp::export(rng = false)]]
Rcpp::NumericMatrix model_apply(SEXP handle, SEXP x, SEXP batch, int num_threads) {
    const Model& model = pairmend_r::model_of(handle);
    const pairmend_r::EventShape shape = shape_of(x);
    pairmend_r::CorrectedMatrix corrected(x, shape, pairmend_r::EventAxis::rows);
    {
        // The input's copy goes before the output is turned into R's layout.
        const ModelEvents events(x, shape, batch, pairmend_r::BatchesNeeded::any);
        Rcpp::checkUserInterrupt();
        interruptible([&] {
            pairmend::model::apply_labelled(
                model, events.ndim(), events.shape.nobs, events.values.data(), events.labels.batches().data(),
                events.labels.names(), corrected.engine_output(), num_threads, pairmend_r::interrupt_pending);
        });
    }
    Rcpp::checkUserInterrupt();
    return corrected.finish();
}

/**
 * A new model holding a model's batches unchanged and the labelled new batches; extend_model()
 * checks its arguments and calls this. The model behind `handle` is not changed.
 * @param fit_events Fit the new batches on at most this many events each; 0 on every event.
 * @return A handle of the new model.
 * @throws std::runtime_error for a batch the model already holds, a wrong number of parameters, a
 *         value that is not finite, and a batch without mutual pairs.
 */
// [[Rcpp::export(rng = false)]]
SEXP model_extend(SEXP handle, SEXP x, SEXP batch, int num_threads, double fit_events, SEXP condition) {
    const Model& model = pairmend_r::model_of(handle);
    pairmend::model::ExtendOptions options;
    options.fit_events = static_cast<std::uint64_t>(fit_events);
    options.num_threads = num_threads;
    options.should_stop = pairmend_r::interrupt_pending;

    const ModelEvents events(x, shape_of(x), batch, pairmend_r::BatchesNeeded::any);
    std::vector<int> condition_ids;
    events.give_conditions(condition, condition_ids, options);
    Rcpp::checkUserInterrupt();
    return pairmend_r::model_handle(interruptible([&] {
        return pairmend::model::extend_labelled(model, events.ndim(), events.shape.nobs, events.values.data(),
                                                events.labels.batches().data(), events.labels.names(),
                                                options, nullptr);
    }));
}

/**
 * Writes a model file atomically: a failed write leaves no file behind and an earlier file unchanged.
 * @param path The file's name in the native encoding.
 * @throws std::runtime_error naming the file and the cause.
 */
// [[Rcpp::export(rng = false)]]
void model_save(SEXP handle, std::string path) {
    // The programs delete a half-written file when a signal ends them; in an R session Ctrl-C must
    // stay R's interrupt, so the file's writing installs no signal handler.
    pairmend::leave_signals_to_host();
    pairmend::model::save_model(pairmend_r::model_of(handle), path);
}

/**
 * Reads a model file.
 * @param path The file's name in the native encoding.
 * @return A model handle.
 * @throws std::runtime_error naming the file and the fault: unreadable, truncated, corrupt, of a
 *         newer format version, or no model file at all.
 */
// [[Rcpp::export(rng = false)]]
SEXP model_load(std::string path) {
    return pairmend_r::model_handle(pairmend::model::load_model(path));
}

/** Whether a model handle still points to its model (not after readRDS() or in a later session). */
// [[Rcpp::export(rng = false)]]
bool model_loaded(SEXP handle) {
    return pairmend_r::model_in_memory(handle);
}

/**
 * Refuses a handle that points to no model, with the message that says how models are kept.
 * @throws std::runtime_error as model_of.
 */
// [[Rcpp::export(rng = false)]]
void model_check(SEXP handle) {
    pairmend_r::model_of(handle);
}

/**
 * What a model holds, for the R object that carries its handle.
 * @return list(batches = names in merge order, parameters, num_pairs = mutual pairs of every
 *         merge step after the first, fitted_events = per batch in merge order, settings = the
 *         engine settings and reference_events, fcs = NULL, or the FCS channels and cofactor of a
 *         model fitted on FCS files: list(names = $PnN, labels = $PnS or NA, cofactor, transforms =
 *         every channel's transform as pairmend-fcs --transforms writes it, or NULL when every
 *         channel is arcsinh with the cofactor)).
 */
// [[Rcpp::export(rng = false)]]
Rcpp::List model_fields(SEXP handle) {
    const Model& model = pairmend_r::model_of(handle);
    std::vector<std::string> batches;
    std::vector<std::uint64_t> fitted_events;
    for (const pairmend::model::BatchModel& batch : model.batches) {
        batches.push_back(batch.name);
        fitted_events.push_back(batch.fitted_events);
    }
    Rcpp::List settings = pairmend_r::settings_list(pairmend::model::engine_options(model.settings));
    settings.push_back(counts_vector(std::vector<std::uint64_t>{model.settings.reference_events}),
                       "reference_events");

    Rcpp::RObject fcs = R_NilValue;
    if (model.fcs) {
        std::vector<std::string> names;
        Rcpp::CharacterVector labels(static_cast<R_xlen_t>(model.fcs->channels.size()));
        for (std::size_t j = 0; j < model.fcs->channels.size(); ++j) {
            const pairmend::model::FcsChannel& channel = model.fcs->channels[j];
            names.push_back(channel.name);
            labels[static_cast<R_xlen_t>(j)] =
                channel.label.empty() ? NA_STRING : pairmend_r::file_text(channel.label);
        }
        Rcpp::RObject transforms = R_NilValue;
        if (!model.fcs->transforms.empty()) {
            std::vector<std::string> texts;
            for (const pairmend::model::ChannelTransform& transform : model.fcs->transforms) {
                texts.push_back(pairmend::model::transform_text(transform));
            }
            transforms = texts_vector(texts);
        }
        fcs = Rcpp::List::create(Rcpp::Named("names") = texts_vector(names), Rcpp::Named("labels") = labels,
                                 Rcpp::Named("cofactor") = model.fcs->cofactor,
                                 Rcpp::Named("transforms") = transforms);
    }

    return Rcpp::List::create(
        Rcpp::Named("batches") = texts_vector(batches),
        Rcpp::Named("parameters") = texts_vector(model.parameters),
        Rcpp::Named("num_pairs") = counts_vector(model.num_pairs),
        Rcpp::Named("fitted_events") = counts_vector(fitted_events), Rcpp::Named("settings") = settings,
        Rcpp::Named("method") = pairmend::model::method_name(model.method), Rcpp::Named("fcs") = fcs);
}

/** The correction methods, the default first. */
// [[Rcpp::export(rng = false)]]
std::vector<std::string> model_methods() {
    return pairmend::model::method_names();
}

/** The default of fit()'s reference_events, from the model library's settings. */
// [[Rcpp::export(rng = false)]]
double model_default_reference_events() {
    return static_cast<double>(pairmend::model::Settings{}.reference_events);
}
