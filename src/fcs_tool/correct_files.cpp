#include "correct_files.hpp"

#include "channel_choice.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "number_text.hpp"
#include "output_transaction.hpp"
#include "report/qc_json.hpp"
#include "report/qc_report.hpp"
#include "report/qc_summary.hpp"
#include "run_mnn.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#ifndef PAIRMEND_VERSION
#define PAIRMEND_VERSION "unknown"
#endif

namespace fcs_tool {

namespace fs = std::filesystem;

namespace {

// The default arcsinh cofactor for mass cytometry: counts of ions, where 5 separates the
// background near zero from the positive populations.
constexpr double mass_cytometry_cofactor = 5;

// The engine indexes events and values with int.
constexpr std::size_t int_limit = static_cast<std::size_t>(std::numeric_limits<int>::max());

std::string base_name(const std::string& path) {
    return fs::path(path).filename().string();
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i > 0 ? separator : "") + items[i];
    }
    return text;
}

// Comma-separated items on lines of at most `width` characters, for lists under a progress line.
std::vector<std::string> wrapped(const std::vector<std::string>& items, std::size_t width) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
        if (!line.empty() && line.size() + 1 + item.size() > width) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + item;
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// The path a file is known by for comparisons: absolute, without "." and "..", links resolved.
fs::path identity(const fs::path& path) {
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::absolute(path, error).lexically_normal() : canonical;
}

// Refuses a command line whose outputs would collide with each other or overwrite an input,
// before any file is read.
void check_output_names(const CorrectOptions& options) {
    std::error_code error;
    if (fs::exists(options.out_dir, error) && !fs::is_directory(options.out_dir, error)) {
        throw std::runtime_error("The output folder " + options.out_dir + " exists but is not a folder.");
    }
    std::map<std::string, std::string> by_name;
    std::map<fs::path, std::string> inputs;
    for (const std::string& file : options.files) {
        const auto [known, new_file] = inputs.emplace(identity(file), file);
        if (!new_file) {
            throw std::runtime_error(
                "The input file " + file + " is named twice on the command line" +
                (known->second == file ? std::string() : " (also as " + known->second + ")") +
                ". Name each file once.");
        }
        const std::string name = base_name(file);
        const auto [place, added] = by_name.emplace(name, file);
        if (!added) {
            throw std::runtime_error("The input files " + place->second + " and " + file +
                                     " have the same name " + name + ", so both corrected files would be " +
                                     (fs::path(options.out_dir) / name).string() +
                                     ". Rename one of them or correct them in separate runs.");
        }
    }
    const fs::path report = options.report.empty() ? fs::path() : identity(options.report);
    for (const std::string& file : options.files) {
        const fs::path output = fs::path(options.out_dir) / base_name(file);
        const auto input = inputs.find(identity(output));
        if (input != inputs.end()) {
            throw std::runtime_error("The corrected file " + output.string() +
                                     " would replace the input file " + input->second +
                                     ". Choose an --out folder that holds none of the input files.");
        }
        if (!report.empty() && report == identity(output)) {
            throw std::runtime_error("The report " + options.report + " would replace the corrected file " +
                                     output.string() + ". Choose another name for --report.");
        }
    }
    if (options.report.empty()) {
        return;
    }
    const auto input = inputs.find(report);
    if (input != inputs.end()) {
        throw std::runtime_error("The report " + options.report + " would replace the input file " +
                                 input->second + ". Choose another name for --report.");
    }
    const fs::path folder = fs::path(options.report).parent_path();
    // The report may go into the output folder, which is created when missing.
    if (!folder.empty() && !fs::is_directory(folder, error) &&
        identity(folder) != identity(options.out_dir)) {
        throw std::runtime_error("The folder " + folder.string() + " of the report " + options.report +
                                 " does not exist. Create it or choose another place for --report.");
    }
}

// The channels to correct in every file, named by --channels or chosen by default in the first
// file and then found by $PnN in the others.
void choose_channels(const CorrectOptions& options, CorrectionInput& input) {
    const pairmend::fcs::FcsFile& first = input.files.front();
    std::vector<std::string> names = options.channels;
    if (names.empty()) {
        for (const std::size_t i : default_channels(first)) {
            names.push_back(first.channels[i].name);
        }
        if (names.empty()) {
            throw std::runtime_error("None of the channels of " + first.path +
                                     " is one that pairmend-fcs corrects by default (they are all time, "
                                     "event, scatter or similar bookkeeping channels). Name the channels "
                                     "to correct with --channels.");
        }
    }
    for (const pairmend::fcs::FcsFile& file : input.files) {
        std::vector<std::size_t> positions;
        for (const std::string& name : names) {
            const std::size_t position = find_channel(file, name);
            const auto twice = std::find(positions.begin(), positions.end(), position);
            if (twice != positions.end()) {
                throw std::runtime_error(
                    "The channel names \"" + names[static_cast<std::size_t>(twice - positions.begin())] +
                    "\" and \"" + name + "\" both name the channel " + file.channels[position].name + " of " +
                    file.path + ". Name each channel once in --channels.");
            }
            positions.push_back(position);
        }
        input.chosen.push_back(std::move(positions));
    }
    for (const std::size_t position : input.chosen.front()) {
        input.channel_names.push_back(channel_display_name(first.channels[position]));
    }
}

void choose_cofactor(const CorrectOptions& options, CorrectionInput& input) {
    if (options.cofactor) {
        input.cofactor = *options.cofactor;
        input.cofactor_origin = "given with --cofactor";
        return;
    }
    for (const pairmend::fcs::FcsFile& file : input.files) {
        if (!is_mass_cytometry(file)) {
            const std::string instrument = file.instrument();
            throw std::runtime_error(
                "No --cofactor was given, and " + file.path + " does not come from a mass cytometer (" +
                (instrument.empty() ? std::string("it names no instrument") : "instrument " + instrument) +
                "), for which pairmend-fcs would use 5. Give the arcsinh cofactor that suits these data "
                "with --cofactor, for example 150 for conventional fluorescence.");
        }
    }
    input.cofactor = mass_cytometry_cofactor;
    const std::string instrument = input.files.front().instrument();
    input.cofactor_origin =
        "default for mass cytometry" + (instrument.empty() ? std::string() : " (" + instrument + ")");
}

// arcsinh(value / cofactor) of the chosen channels, every file's events after the previous file's.
void transform_events(CorrectionInput& input) {
    std::size_t nobs = 0;
    for (const pairmend::fcs::FcsFile& file : input.files) {
        nobs += file.num_events;
    }
    const std::size_t ndim = input.chosen.front().size();
    if (nobs > int_limit || nobs * ndim > int_limit) {
        std::ostringstream text;
        text << "The files hold " << nobs << " events of " << ndim << " chosen channels, more than the "
             << int_limit
             << " values pairmend-fcs can correct in one run. Correct fewer files or channels at once.";
        throw std::runtime_error(text.str());
    }
    input.ndim = static_cast<int>(ndim);
    input.nobs = nobs;
    input.data.resize(nobs * ndim);
    input.batch_ids.resize(nobs);
    std::size_t row = 0;
    for (std::size_t f = 0; f < input.files.size(); ++f) {
        const pairmend::fcs::FcsFile& file = input.files[f];
        const std::size_t width = file.channels.size();
        const std::vector<double>& values = input.linear[f];
        const std::vector<std::size_t>& chosen = input.chosen[f];
        const int batch = input.batches.file_batch[f] - 1;
        for (std::size_t e = 0; e < file.num_events; ++e, ++row) {
            double* out = input.data.data() + row * ndim;
            for (std::size_t j = 0; j < ndim; ++j) {
                const double value = values[e * width + chosen[j]];
                if (!std::isfinite(value)) {
                    std::ostringstream text;
                    text << "Event " << e + 1 << " of " << file.path << " has the value " << value
                         << " in the channel " << channel_display_name(file.channels[chosen[j]])
                         << ", which is not a finite number. Remove that event from the file, or leave the "
                            "channel out of --channels.";
                    throw std::runtime_error(text.str());
                }
                out[j] = std::asinh(value / input.cofactor);
            }
            input.batch_ids[row] = batch;
        }
    }
}

float to_float(double value, const pairmend::fcs::FcsFile& file, std::size_t event,
               const std::string& channel) {
    if (std::isfinite(value) && std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max())) {
        std::ostringstream text;
        text << "Event " << event + 1 << " of " << file.path << " has the value " << value
             << " in the channel " << channel
             << ", beyond the range of the 32-bit numbers of the corrected file.";
        throw std::runtime_error(text.str());
    }
    return static_cast<float>(value);
}

// The program's own keywords of a file corrected before are replaced by this run's.
bool is_replaced_keyword(const std::string& name) {
    std::string upper(name);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper.rfind("PAIRMEND_", 0) == 0;
}

QN::MnnSettings mnn_settings(const CorrectOptions& options) {
    QN::MnnSettings settings;
    settings.num_neighbors = options.engine.num_neighbors;
    settings.num_mads = options.engine.num_mads;
    settings.robust_iterations = options.engine.robust_iterations;
    settings.robust_trim = options.engine.robust_trim;
    settings.approximate = options.engine.approximate;
    settings.automatic_order = options.engine.automatic_order;
    settings.reference_policy = options.engine.reference_policy;
    settings.run_ID = fs::path(options.out_dir).lexically_normal().filename().string();
    if (settings.run_ID.empty()) {
        settings.run_ID = options.out_dir;
    }
    return settings;
}

// Every engine setting as the job file writes it: "num_neighbors=15, num_mads=3.0, ...".
std::string settings_text(const CorrectOptions& options) {
    std::vector<std::string> items;
    for (const auto& [name, value] : QN::settings_used(mnn_settings(options))) {
        if (name != QN::MnnSettings::run_ID_Att) {
            items.push_back(name + "=" + value);
        }
    }
    return joined(items, ", ");
}

// The base names of the files of batch `number` (from 1), in input order.
std::vector<std::string> batch_members(const CorrectionInput& input, std::size_t number) {
    std::vector<std::string> members;
    for (std::size_t f = 0; f < input.files.size(); ++f) {
        if (input.batches.file_batch[f] == static_cast<int>(number)) {
            members.push_back(base_name(input.files[f].path));
        }
    }
    return members;
}

// How the report names the input: the files' common folder when they share one.
std::string input_description(const CorrectionInput& input) {
    const fs::path folder = fs::path(input.files.front().path).parent_path().lexically_normal();
    const bool one_folder =
        std::all_of(input.files.begin(), input.files.end(), [&folder](const pairmend::fcs::FcsFile& file) {
            return fs::path(file.path).parent_path().lexically_normal() == folder;
        });
    std::ostringstream text;
    text << input.files.size() << " FCS files";
    if (one_folder && !folder.empty()) {
        text << " in " << folder.string();
    }
    return text.str();
}

// The quality-control report of the run and its figures as JSON, as pairmend writes them, with
// the channels' names and the batch numbers 1..k whose names the settings table lists. Both files
// are registered with the run's outputs, so they appear only with the corrected files.
void write_report(OutputTransaction& outputs, const std::string& path, const CorrectOptions& options,
                  const CorrectionInput& input, const CorrectionResult& result,
                  std::vector<std::pair<std::string, double>> phases) {
    std::vector<int> labels(input.nobs);
    std::transform(input.batch_ids.begin(), input.batch_ids.end(), labels.begin(),
                   [](int id) { return id + 1; });

    report::QcReportInput run;
    run.input_file = input_description(input);
    const QN::MnnSettings settings = mnn_settings(options);
    run.run_id = settings.run_ID;
    run.parameter_names = input.channel_names;
    run.settings = QN::settings_used(settings);
    run.settings.emplace_back("cofactor", shortest_text(input.cofactor));
    run.settings.emplace_back("threads", std::to_string(configure_engine(options).num_threads));
    for (std::size_t b = 0; b < input.batches.names.size(); ++b) {
        run.settings.emplace_back("batch " + std::to_string(b + 1),
                                  input.batches.names[b] + ": " + joined(batch_members(input, b + 1), ", "));
    }
    run.ndim = input.ndim;
    run.nobs = input.nobs;
    run.uncorrected = input.data.data();
    run.corrected = result.corrected.data();
    run.batch_labels = labels.data();
    for (const int id : result.details.merge_order) {
        run.merge_order.push_back(id + 1);
    }
    run.num_pairs = result.details.num_pairs;
    // The noise floor repeats the correction on a split batch with the run's own settings.
    run.engine = configure_engine(options);

    const report::QcReportOptions report_options;
    const auto began = std::chrono::steady_clock::now();
    const report::QcSummary summary = report::summarize_run(run, report_options);
    // The figures are the report's own cost; the HTML text and the file add little to it.
    phases.emplace_back("Quality-control report",
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    run.phase_seconds = std::move(phases);
    const std::string html_file = outputs.add(path);
    const std::string json_file = outputs.add(report::qc_json_path(path));
    report::save_qc_report(html_file, report::render_qc_report(run, summary, report_options));
    report::save_qc_report(json_file, report::render_qc_json(run, summary));
}

std::string batch_text(const CorrectionInput& input, int number) {
    return "batch " + std::to_string(number) + " (" +
           input.batches.names[static_cast<std::size_t>(number) - 1] + ")";
}

} // namespace

mnncorrect::MnnCorrect<int, double> configure_engine(const CorrectOptions& options) {
    mnncorrect::MnnCorrect<int, double> engine = QN::configure_engine(mnn_settings(options));
    if (options.threads) {
        engine.num_threads = *options.threads;
    }
    return engine;
}

CorrectionInput prepare_correction(const CorrectOptions& options, Progress& progress) {
    const double began = progress.seconds();
    check_output_names(options);
    CorrectionInput input;
    input.batches = options.batch_sheet.empty()
                        ? batches_per_file(options.files)
                        : batches_from_sheet(options.files, read_batch_sheet(options.batch_sheet));
    if (input.batches.names.size() < 2) {
        throw std::runtime_error("All input files are in one batch (" + input.batches.names.front() +
                                 "), but correction needs at least two batches. Give more files, or a batch "
                                 "sheet that puts them in two or more batches.");
    }

    for (const std::string& path : options.files) {
        pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
        if (file.num_events == 0) {
            throw std::runtime_error(path + " holds no events. Leave it out of the run.");
        }
        input.linear.push_back(file.linear_values());
        // Only the linear values are used from here on; the stored ones would double the memory.
        std::vector<double>().swap(file.raw);
        std::ostringstream line;
        line << "Read " << path << ": " << file.num_events << " events, " << file.channels.size()
             << " channels (" << file.version << (file.instrument().empty() ? "" : ", " + file.instrument())
             << ")";
        if (file.more_data_sets) {
            line << "; the file holds further data sets, only the first is corrected";
        }
        progress.line(line.str());
        for (const std::string& note : file.set_aside_notes) {
            progress.detail(note);
        }
        input.files.push_back(std::move(file));
    }

    choose_channels(options, input);
    choose_cofactor(options, input);
    progress.line("Correcting " + std::to_string(input.channel_names.size()) + " channels" +
                  (options.channels.empty() ? " (the default choice)" : "") + " as arcsinh(value / " +
                  shortest_text(input.cofactor) + "), cofactor " + input.cofactor_origin + ":");
    for (const std::string& line : wrapped(input.channel_names, 90)) {
        progress.detail(line);
    }
    for (std::size_t b = 0; b < input.batches.names.size(); ++b) {
        const std::string batch = "Batch " + std::to_string(b + 1) + " = " + input.batches.names[b];
        if (options.batch_sheet.empty()) {
            progress.detail(batch);
            continue;
        }
        const std::vector<std::string> members = batch_members(input, b + 1);
        progress.detail(batch + ", " + std::to_string(members.size()) +
                        (members.size() == 1 ? " file:" : " files:"));
        for (const std::string& line : wrapped(members, 90)) {
            progress.detail("  " + line);
        }
    }

    transform_events(input);
    input.seconds = progress.seconds() - began;
    return input;
}

CorrectionResult run_correction(const CorrectionInput& input, const CorrectOptions& options,
                                Progress& progress) {
    mnncorrect::MnnCorrect<int, double> engine = configure_engine(options);
    // The engine's own phase times cost nothing noticeable and leave the results unchanged.
    mnncorrect::PhaseTimes times;
    engine.phase_times = &times;
    std::ostringstream start;
    start << "Correcting " << input.nobs << " events in " << input.batches.names.size() << " batches with "
          << engine.num_threads << (engine.num_threads == 1 ? " thread" : " threads");
    progress.line(start.str());

    CorrectionResult result;
    result.corrected.assign(input.data.size(), 0.0);
    const double began = progress.seconds();
    try {
        result.details = engine.run(input.ndim, input.nobs, input.data.data(), input.batch_ids.data(),
                                    result.corrected.data(), static_cast<const int*>(nullptr));
    } catch (const mnncorrect::NoMutualPairsError& error) {
        throw std::runtime_error(
            "The events of " + batch_text(input, error.batch() + 1) +
            " share no mutual nearest neighbours with the batches merged before it, so that batch cannot be "
            "corrected. Its events may not overlap any cell population of the other batches; check that "
            "its files hold the same kind of sample and the same channels, or leave them out.");
    }
    result.engine_seconds = progress.seconds() - began;

    // The engine reports the merge steps when it is done; they are listed here in their order.
    std::vector<std::size_t> events(input.batches.names.size(), 0);
    for (const int id : input.batch_ids) {
        ++events[static_cast<std::size_t>(id)];
    }
    const std::vector<int>& order = result.details.merge_order;
    for (std::size_t step = 0; step < order.size(); ++step) {
        const int number = order[step] + 1;
        std::ostringstream line;
        line << "Merge step " << step + 1 << ": " << batch_text(input, number) << ", "
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

pairmend::fcs::FcsOutput corrected_file(const CorrectionInput& input, const CorrectionResult& result,
                                        const CorrectOptions& options, std::size_t file_index) {
    const pairmend::fcs::FcsFile& file = input.files[file_index];
    const std::vector<std::size_t>& chosen = input.chosen[file_index];
    const std::size_t width = file.channels.size();
    const std::size_t ndim = chosen.size();

    pairmend::fcs::FcsOutput output;
    output.channels = file.linear_channels();
    std::set<std::string> names;
    for (const pairmend::fcs::Channel& channel : file.channels) {
        names.insert(channel.name);
    }
    for (const std::size_t position : chosen) {
        const pairmend::fcs::Channel& source = output.channels[position];
        pairmend::fcs::Channel channel = source;
        // Of the detector's own keywords only the display scale ($PnD) holds for a corrected channel.
        channel.keywords.erase(std::remove_if(channel.keywords.begin(), channel.keywords.end(),
                                              [](const auto& keyword) { return keyword.first != "D"; }),
                               channel.keywords.end());
        channel.name = source.name + "_mnn";
        channel.label = (source.label.empty() ? source.name : source.label) + " (MNN)";
        if (!names.insert(channel.name).second) {
            throw std::runtime_error(
                file.path + " already has a channel named " + channel.name +
                ", the name its corrected channel " + source.name +
                " would get. Was it corrected before? Correct the original file instead.");
        }
        output.channels.push_back(std::move(channel));
    }

    // The file's events sit after those of the files before it.
    std::size_t first_row = 0;
    for (std::size_t f = 0; f < file_index; ++f) {
        first_row += input.files[f].num_events;
    }
    output.num_events = file.num_events;
    output.values.resize(file.num_events * (width + ndim));
    const std::vector<double>& linear = input.linear[file_index];
    float* out = output.values.data();
    for (std::size_t e = 0; e < file.num_events; ++e) {
        for (std::size_t c = 0; c < width; ++c) {
            const double value = linear[e * width + c];
            *out++ = to_float(value, file, e, file.channels[c].name);
        }
        const double* corrected = result.corrected.data() + (first_row + e) * ndim;
        for (std::size_t j = 0; j < ndim; ++j) {
            const double value = std::sinh(corrected[j]) * input.cofactor;
            if (!std::isfinite(value)) {
                std::ostringstream text;
                text << "The corrected value of event " << e + 1 << " of " << file.path << " in the channel "
                     << output.channels[width + j].name << " is " << value << ", not a finite number.";
                throw std::runtime_error(text.str());
            }
            *out++ = to_float(value, file, e, output.channels[width + j].name);
        }
    }

    for (const auto& keyword : pairmend::fcs::descriptive_keywords(file)) {
        if (!is_replaced_keyword(keyword.first)) {
            output.keywords.push_back(keyword);
        }
    }
    std::vector<std::string> sources;
    for (const std::size_t position : chosen) {
        sources.push_back(file.channels[position].name);
    }
    const int batch = input.batches.file_batch[file_index];
    output.keywords.emplace_back("PAIRMEND_PROGRAM", std::string("pairmend-fcs ") + PAIRMEND_VERSION);
    output.keywords.emplace_back("PAIRMEND_CORRECTED", joined(sources, ","));
    output.keywords.emplace_back("PAIRMEND_COFACTOR", shortest_text(input.cofactor));
    output.keywords.emplace_back("PAIRMEND_BATCH",
                                 std::to_string(batch) + " (" +
                                     input.batches.names[static_cast<std::size_t>(batch) - 1] + ")");
    output.keywords.emplace_back("PAIRMEND_SETTINGS", settings_text(options));
    return output;
}

void write_results(const CorrectionInput& input, const CorrectionResult& result,
                   const CorrectOptions& options, Progress& progress, OutputTransaction& outputs) {
    std::vector<std::pair<std::string, double>> phases = {
        {"Read the FCS files and transform the chosen channels", input.seconds},
        {"Correct the batches", result.engine_seconds}};

    double began = progress.seconds();
    for (std::size_t f = 0; f < input.files.size(); ++f) {
        const fs::path final_path = fs::path(options.out_dir) / base_name(input.files[f].path);
        const pairmend::fcs::FcsOutput output = corrected_file(input, result, options, f);
        try {
            pairmend::fcs::write_fcs(outputs.add(final_path), output);
        } catch (const std::exception& error) {
            throw std::runtime_error("Could not write the corrected file " + final_path.string() + ": " +
                                     error.what());
        }
        std::ostringstream line;
        line << "Wrote " << final_path.string() << ": " << output.num_events << " events, "
             << output.channels.size() << " channels";
        progress.line(line.str());
    }
    phases.emplace_back("Write the corrected FCS files", progress.seconds() - began);

    if (!options.report.empty()) {
        began = progress.seconds();
        write_report(outputs, options.report, options, input, result, phases);
        progress.line("Wrote the quality-control report " + options.report + " (" +
                      shortest_text(std::round((progress.seconds() - began) * 100) / 100) + " s)");
    }
    outputs.commit();
}

void correct_files(const CorrectOptions& options, Progress& progress) {
    const CorrectionInput input = prepare_correction(options, progress);

    // The folder is made before the long part, so that a folder that cannot be made fails at once.
    OutputTransaction outputs;
    outputs.create_folder(options.out_dir);

    const CorrectionResult result = run_correction(input, options, progress);
    write_results(input, result, options, progress, outputs);

    std::ostringstream done;
    done.setf(std::ios::fixed);
    done.precision(2);
    const double total = progress.seconds();
    done << "Done: " << input.files.size() << " corrected files in " << options.out_dir << "; " << total
         << " s in all, " << result.engine_seconds << " s in the engine ("
         << 100 * result.engine_seconds / total << " %)";
    progress.line(done.str());
}

} // namespace fcs_tool
