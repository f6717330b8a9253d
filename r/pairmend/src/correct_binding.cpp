// The correction engine for R, with the program's own settings, checks, batch-label numbering and
// messages. The R functions correct() and correct_sce() check the types of their arguments and
// call these; call them through those.

#include "batch_labels.hpp"
#include "event_values.hpp"
#include "r_interrupt.hpp"
#include "settings_list.hpp"

#include "mnncorrect/Interrupted.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"
#include "pairmend/model/correct.hpp"

#include <Rcpp.h>
#include <omp.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

// The results must equal the program's bit for bit; fast math would change them.
#if defined(__FAST_MATH__)
#error "pairmend must be compiled without -ffast-math: remove it from the compiler flags (~/.R/Makevars)."
#endif

/**
 * Corrects the events of a double or integer matrix with one batch label per event; correct() and
 * correct_sce() check their arguments' types and call this.
 * @param values Events by parameters, or parameters by events when `events_in_columns`.
 * @param batch One label per event: integer, double (whole numbers), character or factor.
 * @param settings The engine's settings by keyword, each of its kind (checked_settings()).
 * @param num_threads Engine threads (the R functions resolve the default).
 * @param data_name How messages name `values`: "x" or "assay \"exprs\"".
 * @param method The correction method's name (pairmend::model::correct runs it).
 * @param condition NULL, or one condition label per event (as `batch`).
 * @return list(corrected = a double matrix shaped and named as `values`, merge_order = the labels
 *         in merge order, of the kind of `batch`, num_pairs = the mutual pairs of each merge step).
 * @throws std::runtime_error with the program's messages for its settings, a single batch and the
 *         shared messages for non-finite values and batches without mutual pairs.
 */
// [[Rcpp::export(rng = false)]]
Rcpp::List engine_correct(SEXP values, bool events_in_columns, SEXP batch, Rcpp::List settings,
                          int num_threads, std::string data_name, std::string method, SEXP condition) {
    // The same steps, in the same order, as a job: options, shape, labels, values, engine.
    pairmend::model::CorrectOptions options;
    options.settings = pairmend::model::model_settings(pairmend_r::engine_options_of(settings));
    options.method = pairmend::model::parse_method(method);
    options.num_threads = num_threads;
    options.should_stop = pairmend_r::interrupt_pending;

    const pairmend_r::EventAxis axis =
        events_in_columns ? pairmend_r::EventAxis::columns : pairmend_r::EventAxis::rows;
    const pairmend_r::EventShape shape = pairmend_r::event_shape(values, axis, data_name);
    const pairmend_r::BatchLabels labels(batch, shape.nobs,
                                         pairmend_r::events_text(data_name, shape.nobs, axis),
                                         axis == pairmend_r::EventAxis::rows ? "event" : "cell");
    std::vector<int> condition_ids;
    pairmend_r::BatchLabels::give_conditions(
        condition, shape.nobs, pairmend_r::events_text(data_name, shape.nobs, axis), condition_ids, options);
    Rcpp::checkUserInterrupt();
    pairmend_r::CorrectedMatrix corrected(values, shape, axis);
    pairmend::model::CorrectResult result;
    {
        // The input's copy goes as soon as the engine is done with it, before the output is
        // turned into R's layout.
        const pairmend_r::EventValues input(values, shape, axis, data_name);
        Rcpp::checkUserInterrupt();
        double* const output = corrected.engine_output();
        // Ctrl-C ends the engine between its phases; the unfinished output is dropped and R's
        // interrupt ends the call, leaving the session as it was.
        try {
            result = pairmend::model::correct(static_cast<int>(shape.ndim), shape.nobs, input.data(),
                                              labels.batches().data(), labels.names(), options, output);
        } catch (const pairmend::model::NoMutualPairs& error) {
            if (!options.method.is_default()) {
                throw;
            }
            // The engine's own run names the batch by its label as the user wrote it.
            throw std::runtime_error(pairmend::no_mutual_pairs_message(labels.label_text(error.batch())));
        } catch (const mnncorrect::Interrupted&) {
            throw Rcpp::internal::InterruptedException();
        }
    }
    Rcpp::checkUserInterrupt();

    return Rcpp::List::create(Rcpp::Named("corrected") = corrected.finish(),
                              Rcpp::Named("merge_order") = labels.labels_of(result.merge_order),
                              Rcpp::Named("num_pairs") = Rcpp::wrap(
                                  std::vector<int>(result.num_pairs.begin(), result.num_pairs.end())));
}

/** Every engine setting's default by its keyword (the job file's key), from EngineOptions. */
// [[Rcpp::export(rng = false)]]
Rcpp::List engine_defaults() {
    return pairmend_r::settings_list(pairmend::EngineOptions{});
}

/** Every engine setting's kind ("whole_number", "number", "flag", "policy") by its keyword. */
// [[Rcpp::export(rng = false)]]
Rcpp::CharacterVector engine_setting_kinds() {
    Rcpp::CharacterVector kinds;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        kinds.push_back(pairmend::setting_kind_name(setting.kind), setting.key);
    }
    return kinds;
}

/** The engine threads the program would use: half of OpenMP's maximum, at least one. */
// [[Rcpp::export(rng = false)]]
int engine_default_threads() {
    return pairmend::default_engine_threads();
}

/** The most engine threads worth starting: the processors or OpenMP's maximum, whichever is larger. */
// [[Rcpp::export(rng = false)]]
int engine_max_threads() {
    return std::max(omp_get_max_threads(), omp_get_num_procs());
}

/** The names of the reference policies, in the order of their values. */
// [[Rcpp::export(rng = false)]]
std::vector<std::string> engine_reference_policies() {
    return pairmend::reference_policy_names();
}
