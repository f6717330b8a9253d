#include "pairmend/model/correct.hpp"

#include "engine_run.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"
#include "pairmend/model/apply.hpp"

#include <utility>

namespace pairmend::model {

NoMutualPairs::NoMutualPairs(int batch, const std::string& name)
    : std::runtime_error(no_mutual_pairs_message(name)), batch_(batch) {}

bool runs_as_model(Method method, std::uint64_t fit_events, bool keep_model) {
    return !method.is_default() || fit_events > 0 || keep_model;
}

CorrectResult correct(int ndim, std::size_t n, const double* events, const int* batch_ids,
                      const std::vector<std::string>& batch_names, const CorrectOptions& options,
                      double* output) {
    CorrectResult result;
    const bool with_conditions = !options.condition_names.empty();
    if (!with_conditions && !runs_as_model(options.method, options.fit_events, options.keep_model)) {
        // The engine's own correction, configured and run as a job runs it.
        mnncorrect::MnnCorrect<int, double>::Hooks hooks;
        hooks.phase_times = options.phase_times;
        hooks.should_stop = options.should_stop;
        const mnncorrect::MnnCorrect<int, double> engine(
            internal::configured_options(options.settings, options.num_threads), std::move(hooks));
        try {
            const auto details =
                engine.run(ndim, n, events, batch_ids, output, static_cast<const int*>(nullptr));
            result.merge_order = details.merge_order;
            result.num_pairs.assign(details.num_pairs.begin(), details.num_pairs.end());
        } catch (const mnncorrect::NoMutualPairsError& error) {
            throw NoMutualPairs(error.batch(), batch_names.at(static_cast<std::size_t>(error.batch())));
        }
        return result;
    }

    FitOptions fit;
    fit.settings = options.settings;
    if (!options.keep_model) {
        // Nothing will add batches to a model that is not kept.
        fit.settings.reference_events = 0;
    }
    fit.method = options.method;
    fit.fit_events = options.fit_events;
    fit.num_threads = options.num_threads ? *options.num_threads : default_engine_threads();
    fit.parameters = options.parameters;
    fit.fcs = options.fcs;
    fit.progress = options.progress;
    fit.should_stop = options.should_stop;
    if (with_conditions) {
        if (options.condition_ids == nullptr) {
            throw std::runtime_error("The conditions are named but no event has one; give every event its "
                                     "condition.");
        }
        fit.condition_names = options.condition_names;
        fit.condition_ids = options.condition_ids;
    }
    Model model = fit_labelled(ndim, n, events, batch_ids, batch_names, fit, output);
    for (const BatchModel& batch : model.batches) {
        result.merge_order.push_back(static_cast<int>(batch.number));
    }
    result.num_pairs = model.num_pairs;
    if (options.keep_model) {
        result.model = std::move(model);
    }
    return result;
}

void check_batches_known(const Model& model, const std::vector<std::string>& names,
                         const std::string& model_name, const std::string& how_to_name,
                         const std::string& how_to_add) {
    for (const std::string& name : names) {
        bool known = false;
        for (const BatchModel& batch : model.batches) {
            known = known || batch.name == name;
        }
        if (!known) {
            throw std::runtime_error(
                "The batch " + name + " is not in the model " + model_name + ", which knows the batches " +
                batch_list(model) + ". Name the files' batches as when the model was learnt" + how_to_name +
                (how_to_add.empty() ? "" : ", or add the batch with " + how_to_add) + ".");
        }
    }
}

} // namespace pairmend::model
