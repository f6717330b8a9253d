#include "pairmend/fcs_study/run_correction.hpp"

#include "pairmend/engine_options.hpp"
#include "pairmend/model/correct.hpp"

#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::fcs_study {

mnncorrect::Options configure_engine(const EngineOptions& engine, int threads) {
    mnncorrect::Options configured = pairmend::configure_engine(engine);
    configured.num_threads = threads;
    return configured;
}

std::string batch_text(const BatchPlan& batches, int number) {
    return "batch " + std::to_string(number) + " (" + batches.names[static_cast<std::size_t>(number) - 1] +
           ")";
}

CorrectionResult run_correction(const CorrectionInput& input, const LearnSettings& learning, int threads,
                                Progress& progress) {
    model::CorrectOptions correction;
    correction.settings = model::model_settings(learning.engine);
    correction.method = learning.method;
    correction.fit_events = learning.fit_events;
    correction.num_threads = threads;
    // The engine's own phase times cost nothing noticeable and leave the results unchanged.
    mnncorrect::PhaseTimes times;
    correction.phase_times = &times;
    std::ostringstream start;
    start << "Correcting " << input.nobs << " events in " << input.study.batches.names.size()
          << " batches with " << threads << (threads == 1 ? " thread" : " threads");
    progress.line(start.str());

    CorrectionResult result;
    result.corrected.assign(input.data.size(), 0.0);
    const double began = progress.seconds();
    try {
        const model::CorrectResult done =
            model::correct(input.ndim, input.nobs, input.data.data(), input.batch_ids.data(),
                           input.study.batches.names, correction, result.corrected.data());
        result.details.merge_order = done.merge_order;
        result.details.num_pairs.assign(done.num_pairs.begin(), done.num_pairs.end());
    } catch (const model::NoMutualPairs& error) {
        // Files, not labels, make a batch here: the message names the batch's number and files.
        throw std::runtime_error(
            "The events of " + batch_text(input.study.batches, error.batch() + 1) +
            " share no mutual nearest neighbours with the batches merged before it, so that batch cannot be "
            "corrected. Its events may not overlap any cell population of the other batches; check that "
            "its files hold the same kind of sample and the same channels, or leave them out.");
    }
    result.engine_seconds = progress.seconds() - began;

    // The engine reports the merge steps when it is done; they are listed here in their order.
    std::vector<std::size_t> events(input.study.batches.names.size(), 0);
    for (const int id : input.batch_ids) {
        ++events[static_cast<std::size_t>(id)];
    }
    const std::vector<int>& order = result.details.merge_order;
    for (std::size_t step = 0; step < order.size(); ++step) {
        const int number = order[step] + 1;
        std::ostringstream line;
        line << "Merge step " << step + 1 << ": " << batch_text(input.study.batches, number) << ", "
             << events[static_cast<std::size_t>(order[step])] << " events, ";
        if (step == 0) {
            line << "is the first reference";
        } else {
            line << "joined with " << result.details.num_pairs[step - 1] << " mutual pairs";
        }
        progress.line(line.str());
    }
    std::ostringstream done;
    done.setf(std::ios::fixed);
    done.precision(2);
    done << "Corrected " << input.nobs << " events; the engine took " << result.engine_seconds
         << " s (indices and first neighbours " << times.build << " s, choosing batches " << times.choose
         << " s, correcting " << times.correct << " s, updating " << times.update << " s, arranging "
         << times.arrange << " s)";
    progress.line(done.str());
    return result;
}

} // namespace pairmend::fcs_study
