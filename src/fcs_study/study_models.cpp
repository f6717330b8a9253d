#include "pairmend/fcs_study/study_models.hpp"

#include "pairmend/fcs_study/event_blocks.hpp"
#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/transforms.hpp"
#include "pairmend/model/correct.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"
#include "pairmend/model/subsample.hpp"
#include "pairmend/output_transaction.hpp"

#include <algorithm>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::fcs_study {

namespace {

// The PAIRMEND_SETTINGS keyword of files corrected with `model`: the engine's settings, and the
// method when it is not the default (so that files corrected by mutual nearest neighbours carry
// the same keyword as ever).
std::string method_settings_keyword(const model::Model& model) {
    std::string text = settings_keyword(model::engine_options(model.settings));
    if (!model.method.is_default()) {
        text += ", method=" + model::method_name(model.method);
    }
    return text;
}

// The channels of a model learnt from FCS files, as the first file names them.
model::FcsInfo fcs_info(const Study& study) {
    model::FcsInfo info;
    const fcs::FcsFile& first = study.files.front();
    for (const std::size_t position : study.channels.chosen.front()) {
        info.channels.push_back({first.channels[position].name, first.channels[position].label});
    }
    // One arcsinh cofactor for every channel is kept as every model kept it before transforms per
    // channel, so that such a model is the same byte for byte however the cofactor was given.
    const std::optional<double> cofactor = uniform_cofactor(study.transforms);
    if (cofactor) {
        info.cofactor = *cofactor;
    } else {
        info.cofactor = study.cofactor.cofactor > 0 ? study.cofactor.cofactor : 1;
        info.transforms = study.transforms;
    }
    info.compensation = model_compensation(study.compensation);
    return info;
}

} // namespace

std::size_t correct_file_with_model(const model::Model& model, const model::BatchCorrector& corrector,
                                    const std::string& path, int batch_number, const std::string& out_path,
                                    int threads, const std::string& model_source) {
    // A study of the one file, set up as `apply` sets up a study of the model's batches.
    Study study;
    study.files.push_back(fcs::FcsReader(path).file());
    const fcs::FcsFile& file = study.files.front();
    if (file.num_events == 0) {
        throw std::runtime_error(path + " holds no events. Leave it out of the run.");
    }
    study.channels = choose_channels(model_channel_names(model), study.files);
    study.transforms = model_transforms(model, model_cofactor(model, std::nullopt, model_source));
    const std::optional<double> cofactor = uniform_cofactor(study.transforms);
    study.cofactor.cofactor = cofactor ? *cofactor : 0;
    study.compensation = model_file_compensation(model, file, model_source);
    // The file's batch is number `batch_number`: only its own name is known, and only it is used.
    study.batches.names.assign(static_cast<std::size_t>(std::max(batch_number, 1)), std::string());
    study.batches.names.back() = corrector.name();
    study.batches.file_batch = {static_cast<int>(study.batches.names.size())};
    study.batch_events.assign(study.batches.names.size(), 0);
    study.batch_events.back() = file.num_events;
    ModelCorrection correction(model, study, threads, corrector);
    std::vector<float> values;
    write_corrected_file(
        study, correction, 0, out_path, [&] { return out_path; }, nullptr, values);
    return file.num_events;
}

ModelCorrection::ModelCorrection(const model::Model& model, const Study& study, int threads)
    : model_(model), study_(study), threads_(threads), settings_(method_settings_keyword(model)) {}

ModelCorrection::ModelCorrection(const model::Model& model, const Study& study, int threads,
                                 const model::BatchCorrector& corrector)
    : ModelCorrection(model, study, threads) {
    given_ = &corrector;
}

void ModelCorrection::correct_file(std::size_t f, const std::function<void(const FileCorrection&)>& use) {
    const int number = study_.batches.file_batch[f];
    const std::string& name = study_.batches.names[static_cast<std::size_t>(number - 1)];
    const model::BatchCorrector* corrector = given_ != nullptr && given_->name() == name ? given_ : nullptr;
    if (corrector == nullptr) {
        std::unique_ptr<model::BatchCorrector>& owned = correctors_[name];
        if (!owned) {
            owned = std::make_unique<model::BatchCorrector>(model_, name);
        }
        corrector = owned.get();
    }
    const CorrectionStamp stamp{
        study_.cofactor.cofactor, number, name, settings_, compensation_keyword(study_.compensation, f),
        study_.transforms};
    const int ndim = static_cast<int>(study_.ndim());
    for_each_file_block(
        study_, f, threads_,
        [&](const fcs::FcsFile& file, const EventBlock& block) {
            corrected_.resize(block.events.size());
            corrector->apply(ndim, block.count, block.events.data(), corrected_.data(), threads_);
            use(FileCorrection{file, block.first, block.count, block.linear.data(), block.events.data(),
                               corrected_.data(), stamp, threads_});
        },
        block_);
}

namespace {

// With a condition column: the condition of every event `gather_events` gathers, by batch, after
// the design's files per batch and condition are shown. Empty without conditions.
std::vector<std::vector<int>> gathered_conditions(const Study& study, std::uint64_t fit_events,
                                                  Progress& progress) {
    const BatchPlan& plan = study.batches;
    if (plan.conditions.empty()) {
        return {};
    }
    const std::size_t nbatches = plan.names.size();
    std::vector<std::vector<int>> every(nbatches);
    std::vector<std::vector<std::size_t>> files(nbatches,
                                                std::vector<std::size_t>(plan.conditions.size(), 0));
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const auto b = static_cast<std::size_t>(plan.file_batch[f] - 1);
        every[b].insert(every[b].end(), study.files[f].num_events, plan.file_condition[f]);
        ++files[b][static_cast<std::size_t>(plan.file_condition[f])];
    }
    progress.line("The design, files per batch and condition:");
    std::string header = "  batch";
    for (const std::string& condition : plan.conditions) {
        header += "\t" + condition;
    }
    progress.line(header);
    for (std::size_t b = 0; b < nbatches; ++b) {
        std::string line = "  " + plan.names[b];
        for (const std::size_t count : files[b]) {
            line += "\t" + std::to_string(count);
        }
        progress.line(line);
    }
    std::vector<std::vector<int>> chosen(nbatches);
    for (std::size_t b = 0; b < nbatches; ++b) {
        const std::size_t n = every[b].size();
        const std::size_t count =
            fit_events == 0 ? n : static_cast<std::size_t>(std::min<std::uint64_t>(n, fit_events));
        for (const std::size_t row : model::even_positions(n, count)) {
            chosen[b].push_back(every[b][row]);
        }
    }
    return chosen;
}

} // namespace

model::Model learn_model(const Study& study, const LearnSettings& learning, int threads, Progress& progress) {
    const std::vector<std::vector<double>> events = gather_events(study, learning.fit_events);
    std::vector<model::BatchEvents> batches;
    std::size_t total = 0;
    for (std::size_t b = 0; b < events.size(); ++b) {
        const std::size_t rows = events[b].size() / study.ndim();
        batches.push_back({study.batches.names[b], rows, events[b].data()});
        total += rows;
    }
    std::ostringstream start;
    start << "Learning from " << total << " events of " << batches.size() << " batches"
          << (learning.fit_events > 0 ? " (at most " + std::to_string(learning.fit_events) + " per batch)"
                                      : "")
          << " with " << threads << (threads == 1 ? " thread" : " threads") << ", method "
          << model::method_name(learning.method);
    progress.line(start.str());

    model::FitOptions fit;
    fit.settings = model::model_settings(learning.engine);
    fit.method = learning.method;
    fit.num_threads = threads;
    fit.fcs = fcs_info(study);
    for (const model::FcsChannel& channel : fit.fcs->channels) {
        fit.parameters.push_back(channel.name);
    }
    fit.progress = [&progress](const std::string& line) { progress.line(line); };
    const std::vector<std::vector<int>> conditions =
        gathered_conditions(study, learning.fit_events, progress);
    if (!conditions.empty()) {
        fit.condition_names = study.batches.conditions;
        for (std::size_t b = 0; b < batches.size(); ++b) {
            batches[b].conditions = conditions[b].data();
        }
    }
    return model::fit(static_cast<int>(study.ndim()), batches, fit);
}

std::string model_summary(const model::Model& model) {
    std::uint64_t events = 0;
    for (const model::BatchModel& batch : model.batches) {
        events += batch.fitted_events;
    }
    std::ostringstream text;
    text << model.batches.size() << " batches (" << model::batch_list(model) << "), " << model.ndim
         << " channels, learnt from " << events << " events, method " << model::method_name(model.method);
    return text.str();
}

void fit_study(const StudyFiles& files, const LearnSettings& learning, const std::string& model_path,
               int threads, Progress& progress) {
    const Study study = read_study(files, StudyUse::learn, progress);
    const model::Model model = learn_model(study, learning, threads, progress);
    model::save_model(model, model_path);
    progress.line("Wrote the model " + model_path + ": " + model_summary(model));
}

void apply_study(const StudyFiles& files, const std::string& model_path, const CorrectedOutput& output,
                 int threads, Progress& progress) {
    const model::Model model = model::load_model(model_path);
    // Batches the model does not know are refused before any file is read.
    model::check_batches_known(model, plan_batches(files, StudyUse::model).names, model_path, " (--batches)",
                               "pairmend-fcs extend");
    check_output_names(files.files, output);
    progress.line("Read the model " + model_path + ": " + model_summary(model));
    const Study study = read_study(files, StudyUse::model, progress, &model, model_path);
    const std::vector<std::pair<std::string, double>> phases = {
        {"Read the model and check the FCS files", progress.seconds()}};

    OutputTransaction outputs;
    outputs.create_folder(output.out_dir);
    CorrectionEnding ending;
    ending.evidence.correction_rows = {{"model", model_path}, {"method", model::method_name(model.method)}};
    ending.evidence.engine = model::engine_options(model.settings);
    ending.evidence.threads = threads;
    // A model learnt before has no learning of this run to repeat for the noise floor, and its
    // merge order numbers the batches of its own fit, not this run's.
    ending.sample_for_report = true;
    ending.write_phase = "Correct and write the FCS files";
    ModelCorrection correction(model, study, threads);
    write_corrected_study(study, correction, output, std::move(ending), phases, progress, outputs);
}

void extend_study(const StudyFiles& files, const std::string& model_path, const std::string& new_model_path,
                  int threads, Progress& progress) {
    const model::Model model = model::load_model(model_path);
    const BatchPlan batches = plan_batches(files, StudyUse::model);
    for (const std::string& name : batches.names) {
        for (const model::BatchModel& batch : model.batches) {
            if (batch.name == name) {
                throw std::runtime_error(
                    "The batch " + name + " is already in the model " + model_path +
                    ". extend adds new batches only; correct its files with pairmend-fcs "
                    "apply.");
            }
        }
    }
    progress.line("Read the model " + model_path + ": " + model_summary(model));
    const Study study = read_study(files, StudyUse::model, progress, &model, model_path);
    const std::vector<std::vector<double>> events = gather_events(study, 0);
    std::vector<model::BatchEvents> added;
    for (std::size_t b = 0; b < events.size(); ++b) {
        added.push_back({study.batches.names[b], study.batch_events[b], events[b].data()});
    }
    model::ExtendOptions extend;
    extend.num_threads = threads;
    extend.progress = [&progress](const std::string& line) { progress.line(line); };
    const std::vector<std::vector<int>> conditions = gathered_conditions(study, 0, progress);
    if (!conditions.empty()) {
        extend.condition_names = study.batches.conditions;
        for (std::size_t b = 0; b < added.size(); ++b) {
            added[b].conditions = conditions[b].data();
        }
    }
    const model::Model extended = model::extend(model, static_cast<int>(study.ndim()), added, extend);
    model::save_model(extended, new_model_path);
    progress.line("Wrote the model " + new_model_path + ": " + model_summary(extended));
}

} // namespace pairmend::fcs_study
