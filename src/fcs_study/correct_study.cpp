#include "pairmend/fcs_study/correct_study.hpp"

#include "pairmend/fcs_study/corrected_files.hpp"
#include "pairmend/fcs_study/prepare_correction.hpp"
#include "pairmend/fcs_study/run_correction.hpp"
#include "pairmend/fcs_study/study_models.hpp"
#include "pairmend/model/correct.hpp"
#include "pairmend/output_transaction.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::fcs_study {

namespace {

// The files of a study corrected in memory by the engine: slices of the run's corrected table.
class EngineCorrection : public StudyCorrection {
public:
    EngineCorrection(const CorrectionInput& input, const CorrectionResult& result,
                     const EngineOptions& engine)
        : input_(input), result_(result), settings_(settings_keyword(engine)) {}

    void correct_file(std::size_t f, const std::function<void(const FileCorrection&)>& use) override {
        const Study& study = input_.study;
        const int number = study.batches.file_batch[f];
        const CorrectionStamp stamp{study.cofactor.cofactor,
                                    number,
                                    study.batches.names[static_cast<std::size_t>(number) - 1],
                                    settings_,
                                    compensation_keyword(study.compensation, f),
                                    study.transforms};
        const fcs::FcsFile& file = study.files[f];
        const std::size_t width = file.channels.size();
        const std::size_t ndim = study.ndim();
        const std::size_t step = events_per_file_block(width);
        for (std::size_t first = 0; first < file.num_events; first += step) {
            // The file's events sit after those of the files before it.
            const std::size_t offset = (first_row_ + first) * ndim;
            use(FileCorrection{file, first, std::min(step, file.num_events - first),
                               input_.linear[f].data() + first * width, input_.data.data() + offset,
                               result_.corrected.data() + offset, stamp});
        }
        first_row_ += file.num_events;
    }

private:
    const CorrectionInput& input_;
    const CorrectionResult& result_;
    const std::string settings_;
    std::size_t first_row_ = 0;
};

// The run's correction of two batches through a model, repeated by the report for its noise
// floor: the same method and settings, learnt from as many events per batch, the first batch the
// reference.
report::SplitCorrection model_split_correction(const LearnSettings& learning, int threads) {
    model::CorrectOptions correction;
    correction.settings = model::model_settings(learning.engine);
    correction.settings.automatic_order = false;
    correction.method = learning.method;
    correction.fit_events = learning.fit_events;
    correction.num_threads = threads;
    report::SplitCorrection split;
    split.num_neighbors = learning.engine.num_neighbors;
    split.num_threads = threads;
    split.correct = [correction](int ndim, const std::vector<double>& first,
                                 const std::vector<double>& second, std::vector<double>& output) {
        const auto width = static_cast<std::size_t>(ndim);
        std::vector<double> events(first);
        events.insert(events.end(), second.begin(), second.end());
        std::vector<int> batch_ids(first.size() / width, 0);
        batch_ids.resize(events.size() / width, 1);
        try {
            model::correct(ndim, batch_ids.size(), events.data(), batch_ids.data(),
                           {"first half", "second half"}, correction, output.data());
        } catch (const model::NoMutualPairs&) {
            return false;
        }
        return true;
    };
    return split;
}

// The default method on every event: the engine's own run on the study held in memory.
void correct_in_memory(const StudyFiles& files, const LearnSettings& learning, const CorrectedOutput& output,
                       int threads, Progress& progress) {
    const CorrectionInput input = prepare_correction(files, progress);
    // The folder is made before the long part, so that a folder that cannot be made fails at once.
    OutputTransaction outputs;
    outputs.create_folder(output.out_dir);
    const CorrectionResult result = run_correction(input, learning, threads, progress);

    std::vector<int> batch_numbers(input.nobs);
    std::transform(input.batch_ids.begin(), input.batch_ids.end(), batch_numbers.begin(),
                   [](int id) { return id + 1; });
    CorrectionEnding ending;
    ReportEvidence& evidence = ending.evidence;
    evidence.ndim = input.ndim;
    evidence.nobs = input.nobs;
    evidence.uncorrected = input.data.data();
    evidence.corrected = result.corrected.data();
    evidence.batch_numbers = batch_numbers.data();
    evidence.engine = learning.engine;
    evidence.threads = threads;
    for (const int id : result.details.merge_order) {
        evidence.merge_order.push_back(id + 1);
    }
    evidence.num_pairs = result.details.num_pairs;
    // The noise floor repeats the correction on a split batch with the run's own settings.
    evidence.engine_run.emplace(configure_engine(learning.engine, threads));
    ending.write_phase = "Write the corrected FCS files";
    ending.engine_seconds = result.engine_seconds;
    EngineCorrection correction(input, result, learning.engine);
    write_corrected_study(input.study, correction, output, std::move(ending),
                          {{"Read the FCS files and transform the chosen channels", input.seconds},
                           {"Correct the batches", result.engine_seconds}},
                          progress, outputs);
}

// Another method, or a subsample: a model learnt from the study, then applied file by file.
void correct_through_model(const StudyFiles& files, const LearnSettings& learning,
                           const CorrectedOutput& output, int threads, Progress& progress) {
    const Study study = read_study(files, StudyUse::correct, progress);
    announce_study(study, files, progress);
    const double began = progress.seconds();
    const model::Model model = learn_model(study, learning, threads, progress);
    const std::vector<std::pair<std::string, double>> phases = {
        {"Read the FCS files", began},
        {learning.fit_events > 0 ? "Learn from the subsample" : "Learn from the events",
         progress.seconds() - began}};

    OutputTransaction outputs;
    outputs.create_folder(output.out_dir);
    CorrectionEnding ending;
    ReportEvidence& evidence = ending.evidence;
    evidence.correction_rows = {
        {"model", learning.fit_events > 0
                      ? "learnt from at most " + std::to_string(learning.fit_events) + " events per batch"
                      : "learnt from every event"},
        {"method", model::method_name(model.method)}};
    evidence.engine = model::engine_options(model.settings);
    evidence.threads = threads;
    // The model's merge order is this run's: its batch numbers are the study's positions.
    for (const model::BatchModel& batch : model.batches) {
        evidence.merge_order.push_back(static_cast<int>(batch.number) + 1);
    }
    evidence.num_pairs.assign(model.num_pairs.begin(), model.num_pairs.end());
    evidence.split_correction = model_split_correction(learning, threads);
    ending.sample_for_report = true;
    ending.write_phase = "Correct and write the FCS files";
    ModelCorrection correction(model, study, threads);
    write_corrected_study(study, correction, output, std::move(ending), phases, progress, outputs);
}

} // namespace

void correct_study(const StudyFiles& files, const LearnSettings& learning, const CorrectedOutput& output,
                   int threads, Progress& progress) {
    check_output_names(files.files, output);
    // Conditions are learnt from through a model: each merge learns from the shared conditions only.
    const bool with_conditions = !plan_batches(files, StudyUse::correct).conditions.empty();
    if (with_conditions || model::runs_as_model(learning.method, learning.fit_events)) {
        correct_through_model(files, learning, output, threads, progress);
    } else {
        correct_in_memory(files, learning, output, threads, progress);
    }
}

} // namespace pairmend::fcs_study
