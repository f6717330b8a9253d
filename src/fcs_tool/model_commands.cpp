#include "model_commands.hpp"

#include "batch_plan.hpp"
#include "channel_choice.hpp"
#include "compose_output.hpp"
#include "correction_report.hpp"
#include "listing.hpp"
#include "number_text.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/correct.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"
#include "pairmend/model/subsample.hpp"
#include "pairmend/output_transaction.hpp"
#include "prepare_correction.hpp"

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::fcs_tool {

namespace fs = std::filesystem;

namespace {

// The report looks at no more events per batch than this, as for a correction in memory.
constexpr std::size_t report_events_per_batch = 20000;

// The files of a run as a first pass over them finds them: their descriptions (values released),
// their batches, the chosen channels and the cofactor.
struct Study {
    std::vector<fcs::FcsFile> files;
    BatchPlan batches;
    ChannelChoice channels;
    CofactorChoice cofactor;
    std::vector<std::size_t> batch_events; ///< events of every batch, by batch number - 1.
};

// A model is often learnt from some files of a study (its anchors) and applied to others, with the
// study's one sheet, so the sheet may name files that are not in this run.
BatchPlan plan_batches(const CorrectOptions& options) {
    return options.batch_sheet.empty()
               ? batches_per_file(options.files)
               : batches_from_sheet(options.files, read_batch_sheet(options.batch_sheet), true);
}

int thread_count(const CorrectOptions& options) {
    return options.threads ? *options.threads : default_engine_threads();
}

// Reads one file with its values on the linear scale; the stored values are released.
std::pair<fcs::FcsFile, std::vector<double>> read_linear(const std::string& path) {
    fcs::FcsFile file = fcs::read_fcs(path);
    std::vector<double> linear = file.linear_values();
    std::vector<double>().swap(file.raw);
    return {std::move(file), std::move(linear)};
}

// The first pass: reads every file once, keeping only its description, and prints a line per file.
std::vector<fcs::FcsFile> describe_files(const std::vector<std::string>& paths, Progress& progress) {
    std::vector<fcs::FcsFile> files;
    for (const std::string& path : paths) {
        fcs::FcsFile file = read_linear(path).first;
        if (file.num_events == 0) {
            throw std::runtime_error(path + " holds no events. Leave it out of the run.");
        }
        std::ostringstream line;
        line << "Read " << path << ": " << file.num_events << " events, " << file.channels.size()
             << " channels (" << file.version << (file.instrument().empty() ? "" : ", " + file.instrument())
             << ")";
        if (file.more_data_sets) {
            line << "; the file holds further data sets, only the first is used";
        }
        progress.line(line.str());
        for (const std::string& note : file.set_aside_notes) {
            progress.detail(note);
        }
        files.push_back(std::move(file));
    }
    return files;
}

std::vector<std::size_t> events_per_batch(const std::vector<fcs::FcsFile>& files, const BatchPlan& batches) {
    std::vector<std::size_t> events(batches.names.size(), 0);
    for (std::size_t f = 0; f < files.size(); ++f) {
        events[static_cast<std::size_t>(batches.file_batch[f] - 1)] += files[f].num_events;
    }
    return events;
}

// The study of `fit` and `correct`: channels and cofactor from the command line or by default.
Study scan_for_fit(const CorrectOptions& options, Progress& progress) {
    Study study;
    study.batches = plan_batches(options);
    if (study.batches.names.size() < 2) {
        throw std::runtime_error(
            "All input files are in one batch (" + study.batches.names.front() +
            "), but a correction needs at least two batches. Give more files, or a batch "
            "sheet that puts them in two or more batches.");
    }
    study.files = describe_files(options.files, progress);
    study.channels = choose_channels(options.channels, study.files);
    study.cofactor = choose_cofactor(options.cofactor, study.files);
    study.batch_events = events_per_batch(study.files, study.batches);
    return study;
}

} // namespace

std::vector<std::string> model_channel_names(const model::Model& model) {
    std::vector<std::string> names;
    if (!model.fcs) {
        return model.parameters;
    }
    for (const model::FcsChannel& channel : model.fcs->channels) {
        names.push_back(channel.name);
    }
    return names;
}

double model_cofactor(const model::Model& model, std::optional<double> given, const std::string& model_path) {
    if (model.fcs) {
        if (given && *given != model.fcs->cofactor) {
            throw std::runtime_error("The model " + model_path + " was learnt with the cofactor " +
                                     shortest_text(model.fcs->cofactor) + ", not " + shortest_text(*given) +
                                     ". Leave --cofactor out: the model's own is used.");
        }
        return model.fcs->cofactor;
    }
    if (!given) {
        throw std::runtime_error(
            "The model " + model_path +
            " holds no FCS channels or cofactor (it was learnt outside pairmend-fcs). "
            "Give the arcsinh cofactor its values were transformed with, with --cofactor.");
    }
    return *given;
}

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

} // namespace

AppliedFile correct_with_model(const model::Model& model, const model::BatchCorrector& corrector,
                               const fcs::FcsFile& file, const std::vector<double>& linear,
                               const std::vector<std::size_t>& chosen, double cofactor, int batch_number,
                               int threads) {
    const std::size_t ndim = chosen.size();
    AppliedFile applied;
    applied.events.resize(file.num_events * ndim);
    arcsinh_events(file, linear, chosen, cofactor, 0, file.num_events, applied.events.data());
    applied.corrected.resize(applied.events.size());
    corrector.apply(static_cast<int>(ndim), file.num_events, applied.events.data(), applied.corrected.data(),
                    threads);
    const CorrectionStamp stamp{cofactor, batch_number, corrector.name(), method_settings_keyword(model)};
    applied.output = compose_corrected_file(file, linear, chosen, applied.corrected.data(), stamp);
    return applied;
}

namespace {

// The study of `apply` and `extend`: the model's channels and cofactor.
Study scan_for_model(const model::Model& model, const std::string& model_path, const CorrectOptions& options,
                     Progress& progress) {
    Study study;
    study.batches = plan_batches(options);
    const double cofactor = model_cofactor(model, options.cofactor, model_path);
    study.cofactor = {cofactor, model.fcs ? "the model's" : "given with --cofactor"};
    study.files = describe_files(options.files, progress);
    study.channels = choose_channels(model_channel_names(model), study.files);
    study.batch_events = events_per_batch(study.files, study.batches);
    return study;
}

// The arcsinh values of every batch's events, or of an evenly spread subsample of at most
// `fit_events` of them, read file by file.
std::vector<std::vector<double>> gather_events(const Study& study, std::uint64_t fit_events) {
    const std::size_t ndim = study.channels.channel_names.size();
    const std::size_t nbatches = study.batches.names.size();
    std::vector<std::vector<std::size_t>> chosen_rows(nbatches);
    std::vector<std::vector<double>> events(nbatches);
    for (std::size_t b = 0; b < nbatches; ++b) {
        const std::size_t n = study.batch_events[b];
        const std::size_t count =
            fit_events == 0 ? n : static_cast<std::size_t>(std::min<std::uint64_t>(n, fit_events));
        chosen_rows[b] = model::even_positions(n, count);
        events[b].resize(chosen_rows[b].size() * ndim);
    }
    std::vector<std::size_t> seen(nbatches, 0);  // events of the batch in the files before
    std::vector<std::size_t> taken(nbatches, 0); // rows of chosen_rows[b] gathered so far
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const auto b = static_cast<std::size_t>(study.batches.file_batch[f] - 1);
        const auto [file, linear] = read_linear(study.files[f].path);
        const std::vector<std::size_t>& rows = chosen_rows[b];
        const std::size_t end = seen[b] + file.num_events;
        while (taken[b] < rows.size() && rows[taken[b]] < end) {
            arcsinh_events(file, linear, study.channels.chosen[f], study.cofactor.cofactor,
                           rows[taken[b]] - seen[b], 1, events[b].data() + taken[b] * ndim);
            ++taken[b];
        }
        seen[b] = end;
    }
    return events;
}

// The channels of a model learnt from FCS files, as the first file names them.
model::FcsInfo fcs_info(const Study& study) {
    model::FcsInfo info;
    const fcs::FcsFile& first = study.files.front();
    for (const std::size_t position : study.channels.chosen.front()) {
        info.channels.push_back({first.channels[position].name, first.channels[position].label});
    }
    info.cofactor = study.cofactor.cofactor;
    return info;
}

model::Model learn(const Study& study, const CorrectOptions& options, Progress& progress) {
    const std::vector<std::vector<double>> events = gather_events(study, options.fit_events);
    std::vector<model::BatchEvents> batches;
    std::size_t total = 0;
    for (std::size_t b = 0; b < events.size(); ++b) {
        const std::size_t rows = events[b].size() / study.channels.channel_names.size();
        batches.push_back({study.batches.names[b], rows, events[b].data()});
        total += rows;
    }
    std::ostringstream start;
    start << "Learning from " << total << " events of " << batches.size() << " batches"
          << (options.fit_events > 0 ? " (at most " + std::to_string(options.fit_events) + " per batch)" : "")
          << " with " << thread_count(options) << (thread_count(options) == 1 ? " thread" : " threads")
          << ", method " << model::method_name(options.method);
    progress.line(start.str());

    model::FitOptions fit;
    fit.settings = model::model_settings(options.engine);
    fit.method = options.method;
    fit.num_threads = thread_count(options);
    fit.fcs = fcs_info(study);
    for (const model::FcsChannel& channel : fit.fcs->channels) {
        fit.parameters.push_back(channel.name);
    }
    fit.progress = [&progress](const std::string& line) { progress.line(line); };
    return model::fit(static_cast<int>(study.channels.channel_names.size()), batches, fit);
}

// Refuses batches of the run that the model does not know, before any file is read.
void check_batches_known(const model::Model& model, const BatchPlan& batches, const std::string& model_path) {
    model::check_batches_known(model, batches.names, model_path, " (--batches)", "pairmend-fcs extend");
}

// The events the report looks at, gathered while the files stream past.
struct ReportSample {
    std::vector<std::vector<std::size_t>> rows; ///< per batch, the chosen event positions within it.
    std::vector<double> uncorrected;
    std::vector<double> corrected;
    std::vector<int> labels;
};

ReportSample plan_report_sample(const Study& study) {
    ReportSample sample;
    for (const std::size_t n : study.batch_events) {
        sample.rows.push_back(model::even_positions(n, std::min(n, report_events_per_batch)));
    }
    return sample;
}

// Corrects every file with the model and writes it into options.out_dir through `outputs`;
// samples events for the report when one is asked for.
void apply_to_files(const model::Model& model, const Study& study, const CorrectOptions& options,
                    Progress& progress, OutputTransaction& outputs, ReportSample& sample) {
    const std::size_t ndim = study.channels.channel_names.size();
    const int threads = thread_count(options);
    std::map<std::string, std::unique_ptr<model::BatchCorrector>> correctors;
    std::vector<std::size_t> seen(study.batches.names.size(), 0);
    std::vector<std::size_t> taken(study.batches.names.size(), 0);
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const int number = study.batches.file_batch[f];
        const auto b = static_cast<std::size_t>(number - 1);
        const std::string& name = study.batches.names[b];
        // Each batch's index is built once, when its first file comes.
        std::unique_ptr<model::BatchCorrector>& corrector = correctors[name];
        if (!corrector) {
            corrector = std::make_unique<model::BatchCorrector>(model, name);
        }
        const auto [file, linear] = read_linear(study.files[f].path);
        const AppliedFile applied =
            correct_with_model(model, *corrector, file, linear, study.channels.chosen[f],
                               study.cofactor.cofactor, number, threads);

        if (!options.report.empty()) {
            const std::vector<std::size_t>& rows = sample.rows[b];
            for (; taken[b] < rows.size() && rows[taken[b]] < seen[b] + file.num_events; ++taken[b]) {
                const std::size_t e = rows[taken[b]] - seen[b];
                sample.uncorrected.insert(sample.uncorrected.end(), applied.events.begin() + e * ndim,
                                          applied.events.begin() + (e + 1) * ndim);
                sample.corrected.insert(sample.corrected.end(), applied.corrected.begin() + e * ndim,
                                        applied.corrected.begin() + (e + 1) * ndim);
                sample.labels.push_back(number);
            }
        }
        seen[b] += file.num_events;

        const fs::path final_path = fs::path(options.out_dir) / base_name(file.path);
        const fcs::FcsOutput& output = applied.output;
        try {
            fcs::write_fcs(outputs.add(final_path), output);
        } catch (const std::exception& error) {
            throw std::runtime_error("Could not write the corrected file " + final_path.string() + ": " +
                                     error.what());
        }
        std::ostringstream line;
        line << "Corrected and wrote " << final_path.string() << ": " << output.num_events
             << " events, batch " << number << " (" << name << ")";
        progress.line(line.str());
    }
}

// The report of an applied model, from the events sampled while the files streamed past.
// `learnt_here`: the model was fitted on this run's batches, numbered as the study numbers them.
void write_applied_report(const model::Model& model, const Study& study, const CorrectOptions& options,
                          const std::string& model_description, bool learnt_here, ReportSample& sample,
                          OutputTransaction& outputs, std::vector<std::pair<std::string, double>> phases) {
    report::QcReportInput run;
    run.input_file = std::to_string(study.files.size()) + " FCS files";
    run.run_id = run_id(options);
    run.parameter_names = study.channels.channel_names;
    run.settings = {
        {"run_ID", run.run_id}, {"model", model_description}, {"method", model::method_name(model.method)}};
    for (auto& setting : settings_text(model::engine_options(model.settings))) {
        run.settings.push_back(std::move(setting));
    }
    run.settings.emplace_back("cofactor", shortest_text(study.cofactor.cofactor));
    run.settings.emplace_back("threads", std::to_string(thread_count(options)));
    for (std::size_t b = 0; b < study.batches.names.size(); ++b) {
        std::vector<std::string> members;
        for (std::size_t f = 0; f < study.files.size(); ++f) {
            if (study.batches.file_batch[f] == static_cast<int>(b + 1)) {
                members.push_back(base_name(study.files[f].path));
            }
        }
        run.settings.emplace_back("batch " + std::to_string(b + 1),
                                  study.batches.names[b] + ": " + joined(members, ", "));
    }
    run.ndim = static_cast<int>(study.channels.channel_names.size());
    run.nobs = sample.labels.size();
    run.uncorrected = sample.uncorrected.data();
    run.corrected = sample.corrected.data();
    run.batch_labels = sample.labels.data();
    if (learnt_here) {
        // The model's merge order is this run's: its batch numbers are the study's positions.
        for (const model::BatchModel& batch : model.batches) {
            run.merge_order.push_back(static_cast<int>(batch.number) + 1);
        }
        run.num_pairs.assign(model.num_pairs.begin(), model.num_pairs.end());
    }
    // An applied model has no correction of this run to repeat for the noise floor: it is left out.
    write_report_files(outputs, options.report, run, std::move(phases));
}

// Applies the model to the files and writes them and the report, all together or none.
void apply_and_write(const model::Model& model, const Study& study, const CorrectOptions& options,
                     const std::string& model_description, bool learnt_here, Progress& progress,
                     std::vector<std::pair<std::string, double>> phases) {
    OutputTransaction outputs;
    outputs.create_folder(options.out_dir);
    ReportSample sample = plan_report_sample(study);
    double began = progress.seconds();
    apply_to_files(model, study, options, progress, outputs, sample);
    phases.emplace_back("Correct and write the FCS files", progress.seconds() - began);
    if (!options.report.empty()) {
        began = progress.seconds();
        write_applied_report(model, study, options, model_description, learnt_here, sample, outputs, phases);
        progress.line("Wrote the quality-control report " + options.report + " (" +
                      shortest_text(std::round((progress.seconds() - began) * 100) / 100) + " s)");
    }
    outputs.commit();
    std::ostringstream done;
    done.setf(std::ios::fixed);
    done.precision(2);
    done << "Done: " << study.files.size() << " corrected files in " << options.out_dir << "; "
         << progress.seconds() << " s in all";
    progress.line(done.str());
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

} // namespace

void fit_files(const CorrectOptions& options, Progress& progress) {
    const Study study = scan_for_fit(options, progress);
    const model::Model model = learn(study, options, progress);
    model::save_model(model, options.model);
    progress.line("Wrote the model " + options.model + ": " + model_summary(model));
}

void apply_files(const CorrectOptions& options, Progress& progress) {
    const model::Model model = model::load_model(options.model);
    check_batches_known(model, plan_batches(options), options.model);
    check_output_names(options);
    progress.line("Read the model " + options.model + ": " + model_summary(model));
    const Study study = scan_for_model(model, options.model, options, progress);
    apply_and_write(model, study, options, options.model, false, progress,
                    {{"Read the model and check the FCS files", progress.seconds()}});
}

void extend_files(const CorrectOptions& options, Progress& progress) {
    const model::Model model = model::load_model(options.model);
    const BatchPlan batches = plan_batches(options);
    for (const std::string& name : batches.names) {
        for (const model::BatchModel& batch : model.batches) {
            if (batch.name == name) {
                throw std::runtime_error(
                    "The batch " + name + " is already in the model " + options.model +
                    ". extend adds new batches only; correct its files with pairmend-fcs "
                    "apply.");
            }
        }
    }
    progress.line("Read the model " + options.model + ": " + model_summary(model));
    const Study study = scan_for_model(model, options.model, options, progress);
    const std::vector<std::vector<double>> events = gather_events(study, 0);
    std::vector<model::BatchEvents> added;
    for (std::size_t b = 0; b < events.size(); ++b) {
        added.push_back({study.batches.names[b], study.batch_events[b], events[b].data()});
    }
    model::ExtendOptions extend;
    extend.num_threads = thread_count(options);
    extend.progress = [&progress](const std::string& line) { progress.line(line); };
    const model::Model extended =
        model::extend(model, static_cast<int>(study.channels.channel_names.size()), added, extend);
    model::save_model(extended, options.new_model);
    progress.line("Wrote the model " + options.new_model + ": " + model_summary(extended));
}

void fit_and_apply_files(const CorrectOptions& options, Progress& progress) {
    check_output_names(options);
    const Study study = scan_for_fit(options, progress);
    double began = progress.seconds();
    const model::Model model = learn(study, options, progress);
    std::vector<std::pair<std::string, double>> phases = {
        {"Read the FCS files", began},
        {options.fit_events > 0 ? "Learn from the subsample" : "Learn from the events",
         progress.seconds() - began}};
    apply_and_write(model, study, options,
                    options.fit_events > 0
                        ? "learnt from at most " + std::to_string(options.fit_events) + " events per batch"
                        : "learnt from every event",
                    true, progress, std::move(phases));
}

} // namespace pairmend::fcs_tool
