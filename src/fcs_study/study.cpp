#include "pairmend/fcs_study/study.hpp"

#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/channel_map.hpp"
#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/number_text.hpp"
#include "pairmend/fcs_study/transforms.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace pairmend::fcs_study {

namespace fs = std::filesystem;

namespace {

// The default arcsinh cofactor for mass cytometry: counts of ions, where 5 separates the
// background near zero from the positive populations.
constexpr double mass_cytometry_cofactor = 5;

// The path a file is known by for comparisons: absolute, without "." and "..", links resolved.
fs::path identity(const fs::path& path) {
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::absolute(path, error).lexically_normal() : canonical;
}

// Reads every file's description once (and, when asked, its linear values), and prints a line per
// file.
std::vector<fcs::FcsFile> read_files(const std::vector<std::string>& paths, Progress& progress,
                                     std::vector<std::vector<double>>* linear, bool own_compensation) {
    std::vector<fcs::FcsFile> files;
    for (const std::string& path : paths) {
        // Only the in-memory correction keeps the values; the others read them again a block at a time.
        std::vector<double> values;
        fcs::FcsFile file;
        if (linear != nullptr) {
            std::tie(file, values) = read_linear(path);
        } else {
            file = fcs::FcsReader(path).file();
        }
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
        if (own_compensation) {
            for (const std::string& note : own_matrix(file).notes) {
                progress.detail(note);
            }
        }
        if (linear != nullptr) {
            linear->push_back(std::move(values));
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

// The common channel names the request gives, or none.
ChannelMap channel_map(const StudyFiles& request) {
    return request.channel_map.empty() ? ChannelMap() : ChannelMap::read(request.channel_map);
}

// The transforms file of the request, read before any FCS file is; empty when none is given.
TransformSheet transform_sheet(const StudyFiles& request) {
    return request.transforms.empty() ? TransformSheet() : read_transform_sheet(request.transforms);
}

// The names of the chosen channels without a transform given.
std::vector<std::string> without_transform(const ChannelChoice& channels,
                                           const std::vector<std::optional<model::ChannelTransform>>& given) {
    std::vector<std::string> names;
    for (std::size_t j = 0; j < given.size(); ++j) {
        if (!given[j]) {
            names.push_back(channels.channel_names[j]);
        }
    }
    return names;
}

// The transforms given, and arcsinh with the cofactor for the channels without one.
std::vector<model::ChannelTransform>
completed(const std::vector<std::optional<model::ChannelTransform>>& given,
          const std::vector<model::ChannelTransform>& otherwise) {
    std::vector<model::ChannelTransform> transforms;
    for (std::size_t j = 0; j < given.size(); ++j) {
        transforms.push_back(given[j] ? *given[j] : otherwise[j]);
    }
    return transforms;
}

// Refuses transforms given for a model's files that differ from the model's own.
void check_model_transforms(const model::Model& model, const std::vector<model::ChannelTransform>& transforms,
                            const ChannelChoice& channels, const std::string& source,
                            const std::string& model_path) {
    const std::vector<model::ChannelTransform> own = model_transforms(model, model.fcs->cofactor);
    std::vector<std::string> differences;
    for (std::size_t j = 0; j < own.size(); ++j) {
        if (own[j] != transforms[j]) {
            differences.push_back(channels.channel_names[j] + " as " + model::transform_text(own[j]) +
                                  ", not " + model::transform_text(transforms[j]));
        }
    }
    if (!differences.empty()) {
        throw std::runtime_error("The model " + model_path + " was learnt with " + joined(differences, "; ") +
                                 " as " + source +
                                 " gives. Values transformed otherwise would be corrected wrongly: leave "
                                 "--transforms out, and the model's own transforms are used.");
    }
}

} // namespace

// A model is often learnt from some files of a study (its anchors) and applied to others, with the
// study's one sheet, which may name more files than the run has.
BatchPlan plan_batches(const StudyFiles& request, StudyUse use) {
    return request.batch_sheet.empty()
               ? batches_per_file(request.files)
               : batches_from_sheet(request.files, read_batch_sheet(request.batch_sheet),
                                    use != StudyUse::correct);
}

std::pair<fcs::FcsFile, std::vector<double>> read_linear(const std::string& path) {
    fcs::FcsFile file = fcs::read_fcs(path);
    std::vector<double> linear = file.linear_values();
    // Only the linear values are used from here on; the stored ones would double the memory.
    std::vector<double>().swap(file.raw);
    return {std::move(file), std::move(linear)};
}

Study read_study(const StudyFiles& request, StudyUse use, Progress& progress, const model::Model* model,
                 const std::string& model_path, std::vector<std::vector<double>>* linear) {
    Study study;
    study.batches = plan_batches(request, use);
    // Under auto, the spillover keywords set aside are noted under each file's line.
    const bool own = request.compensation == compensation_auto;
    if (use != StudyUse::model && study.batches.names.size() < 2) {
        throw std::runtime_error("All input files are in one batch (" + study.batches.names.front() +
                                 "), but correction needs at least two batches. Give more files, or a batch "
                                 "sheet that puts them in two or more batches.");
    }
    const TransformSheet sheet = transform_sheet(request);
    if (use == StudyUse::model && sheet.empty()) {
        // The model's cofactor is checked before the files are read: a wrong one fails at once.
        const double cofactor = model_cofactor(*model, request.cofactor, model_path);
        study.cofactor = {cofactor, model->fcs ? "the model's" : "given with --cofactor"};
        study.files = read_files(request.files, progress, linear, own);
        study.channels = choose_channels(model_channel_names(*model), study.files, channel_map(request));
        study.transforms = model_transforms(*model, cofactor);
    } else {
        study.files = read_files(request.files, progress, linear, own);
        const ChannelMap map = channel_map(request);
        study.channels = choose_channels(
            use == StudyUse::model ? model_channel_names(*model) : request.channels, study.files, map);
        const std::vector<std::optional<model::ChannelTransform>> given =
            given_transforms(sheet, study.files, study.channels.chosen, map);
        const std::vector<std::string> missing = without_transform(study.channels, given);
        std::vector<model::ChannelTransform> otherwise;
        if (use == StudyUse::model && model->fcs && !request.cofactor) {
            // Channels the file leaves out keep the model's transforms.
            otherwise = model_transforms(*model, model->fcs->cofactor);
            study.cofactor = {model->fcs->cofactor, "the model's"};
        } else if (!missing.empty() || request.cofactor) {
            if (use == StudyUse::model && !missing.empty()) {
                // A model learnt without FCS channels needs the cofactor its values were transformed with.
                model_cofactor(*model, request.cofactor, model_path);
            }
            if (!missing.empty() && !sheet.empty() && !request.cofactor &&
                !std::all_of(study.files.begin(), study.files.end(),
                             [](const fcs::FcsFile& file) { return is_mass_cytometry(file); })) {
                throw std::runtime_error("The transforms file " + sheet.source + " gives no transform for " +
                                         joined(missing, ", ") +
                                         ", and no --cofactor was given for the channels it leaves out. Add "
                                         "a line for each, or give the arcsinh cofactor with --cofactor.");
            }
            study.cofactor = choose_cofactor(request.cofactor, study.files);
            otherwise.assign(given.size(), model::arcsinh_transform(study.cofactor.cofactor));
        } else {
            otherwise.assign(given.size(), model::ChannelTransform{});
        }
        study.transforms = completed(given, otherwise);
        study.transforms_source = sheet.source;
        if (use == StudyUse::model && model->fcs) {
            check_model_transforms(*model, study.transforms, study.channels,
                                   sheet.empty() ? "--cofactor" : "the transforms file " + sheet.source,
                                   model_path);
        }
    }
    study.compensation = choose_compensation(request.compensation, study.files);
    if (use == StudyUse::model) {
        check_model_compensation(*model, study.compensation, model_path);
    }
    if (!study.compensation.summary.empty()) {
        progress.line(study.compensation.summary);
    }
    study.batch_events = events_per_batch(study.files, study.batches);
    return study;
}

void announce_study(const Study& study, const StudyFiles& request, Progress& progress) {
    const std::string count = "Correcting " + std::to_string(study.channels.channel_names.size()) +
                              " channels" + (request.channels.empty() ? " (the default choice)" : "");
    const std::optional<double> cofactor = uniform_cofactor(study.transforms);
    if (cofactor && study.transforms_source.empty()) {
        progress.line(count + " as arcsinh(value / " + shortest_text(*cofactor) + "), cofactor " +
                      study.cofactor.origin + ":");
        for (const std::string& line : wrapped(study.channels.channel_names, 90)) {
            progress.detail(line);
        }
    } else {
        progress.line(
            count + " with the transforms of " +
            (study.transforms_source.empty() ? std::string("the model") : study.transforms_source) +
            (study.cofactor.cofactor > 0 ? " (others arcsinh, cofactor " + study.cofactor.origin + ")" : "") +
            ":");
        for (std::size_t j = 0; j < study.transforms.size(); ++j) {
            progress.detail(study.channels.channel_names[j] + ": " +
                            model::transform_text(study.transforms[j]));
        }
    }
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const std::vector<std::string>& kept = study.channels.kept_unchanged[f];
        if (!kept.empty()) {
            progress.line(study.files[f].path + " keeps " + std::to_string(kept.size()) +
                          (kept.size() == 1 ? " channel" : " channels") +
                          " unchanged that not every file holds: " + joined(kept, ", "));
        }
    }
    for (std::size_t b = 0; b < study.batches.names.size(); ++b) {
        const std::string batch = "Batch " + std::to_string(b + 1) + " = " + study.batches.names[b];
        if (request.batch_sheet.empty()) {
            progress.detail(batch);
            continue;
        }
        const std::vector<std::string> members = batch_members(study, b + 1);
        progress.detail(batch + ", " + std::to_string(members.size()) +
                        (members.size() == 1 ? " file:" : " files:"));
        for (const std::string& line : wrapped(members, 90)) {
            progress.detail("  " + line);
        }
    }
}

void check_output_names(const std::vector<std::string>& files, const CorrectedOutput& options) {
    std::error_code error;
    if (fs::exists(options.out_dir, error) && !fs::is_directory(options.out_dir, error)) {
        throw std::runtime_error("The output folder " + options.out_dir + " exists but is not a folder.");
    }
    std::map<std::string, std::string> by_name;
    std::map<fs::path, std::string> inputs;
    for (const std::string& file : files) {
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
    for (const std::string& file : files) {
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

ChannelChoice choose_channels(const std::vector<std::string>& requested,
                              const std::vector<fcs::FcsFile>& files, const ChannelMap& map) {
    ChannelChoice choice;
    const fcs::FcsFile& first = files.front();
    std::vector<std::string> names = requested;
    if (names.empty()) {
        // The markers of the default choice that every file holds, in the first file's order.
        std::vector<std::vector<std::string>> defaults;
        for (const fcs::FcsFile& file : files) {
            std::vector<std::string> common;
            for (const std::size_t i : default_channels(file)) {
                common.push_back(map.common_name(file.channels[i]));
            }
            defaults.push_back(std::move(common));
        }
        if (defaults.front().empty()) {
            throw std::runtime_error("None of the channels of " + first.path +
                                     " is one that pairmend-fcs corrects by default (they are all time, "
                                     "event, scatter or similar bookkeeping channels). Name the channels "
                                     "to correct with --channels.");
        }
        for (const std::string& name : defaults.front()) {
            const bool everywhere =
                std::all_of(defaults.begin(), defaults.end(), [&name](const auto& common) {
                    return std::find(common.begin(), common.end(), name) != common.end();
                });
            if (everywhere) {
                names.push_back(name);
            }
        }
        if (names.empty()) {
            throw std::runtime_error(
                "The files share none of the channels that pairmend-fcs corrects by default. "
                "Give channels that are named differently one common name with "
                "--channel-names, or name the channels to correct with --channels.");
        }
    }
    for (const fcs::FcsFile& file : files) {
        std::vector<std::size_t> positions;
        for (const std::string& name : names) {
            const std::size_t position = find_mapped_channel(file, map, name);
            const auto twice = std::find(positions.begin(), positions.end(), position);
            if (twice != positions.end()) {
                throw std::runtime_error(
                    "The channel names \"" + names[static_cast<std::size_t>(twice - positions.begin())] +
                    "\" and \"" + name + "\" both name the channel " + file.channels[position].name + " of " +
                    file.path + ". Name each channel once in --channels.");
            }
            positions.push_back(position);
        }
        // Markers of the default choice that not every file holds are written as they are.
        std::vector<std::string> kept;
        if (requested.empty()) {
            for (const std::size_t i : default_channels(file)) {
                if (std::find(positions.begin(), positions.end(), i) == positions.end()) {
                    kept.push_back(channel_display_name(file.channels[i]));
                }
            }
        }
        choice.kept_unchanged.push_back(std::move(kept));
        choice.chosen.push_back(std::move(positions));
    }
    for (const std::size_t position : choice.chosen.front()) {
        choice.channel_names.push_back(channel_display_name(first.channels[position]));
    }
    return choice;
}

CofactorChoice choose_cofactor(std::optional<double> given, const std::vector<fcs::FcsFile>& files) {
    if (given) {
        return {*given, "given with --cofactor"};
    }
    for (const fcs::FcsFile& file : files) {
        if (!is_mass_cytometry(file)) {
            const std::string instrument = file.instrument();
            throw std::runtime_error(
                "No --cofactor was given, and " + file.path + " does not come from a mass cytometer (" +
                (instrument.empty() ? std::string("it names no instrument") : "instrument " + instrument) +
                "), for which pairmend-fcs would use 5. Give the arcsinh cofactor that suits these data "
                "with --cofactor, for example 150 for conventional fluorescence.");
        }
    }
    const std::string instrument = files.front().instrument();
    return {mass_cytometry_cofactor,
            "default for mass cytometry" + (instrument.empty() ? std::string() : " (" + instrument + ")")};
}

std::vector<model::ChannelTransform> model_transforms(const model::Model& model, double cofactor) {
    if (model.fcs && !model.fcs->transforms.empty()) {
        return model.fcs->transforms;
    }
    return std::vector<model::ChannelTransform>(static_cast<std::size_t>(model.ndim),
                                                model::arcsinh_transform(cofactor));
}

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
    if (model.fcs && !model.fcs->transforms.empty()) {
        if (given) {
            throw std::runtime_error(
                "The model " + model_path + " was learnt with a transform per channel (" +
                transforms_text(model.fcs->transforms) + "), not arcsinh with the cofactor " +
                shortest_text(*given) + ". Leave --cofactor out: the model's own are used.");
        }
        return model.fcs->cofactor;
    }
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

std::vector<std::string> batch_members(const Study& study, std::size_t number) {
    std::vector<std::string> members;
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        if (study.batches.file_batch[f] == static_cast<int>(number)) {
            members.push_back(base_name(study.files[f].path));
        }
    }
    return members;
}

} // namespace pairmend::fcs_study
