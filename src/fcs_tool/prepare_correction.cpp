#include "prepare_correction.hpp"

#include "channel_choice.hpp"
#include "listing.hpp"
#include "number_text.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::fcs_tool {

namespace fs = std::filesystem;

namespace {

// The default arcsinh cofactor for mass cytometry: counts of ions, where 5 separates the
// background near zero from the positive populations.
constexpr double mass_cytometry_cofactor = 5;

// The engine indexes events and values with int.
constexpr std::size_t int_limit = static_cast<std::size_t>(std::numeric_limits<int>::max());

// The path a file is known by for comparisons: absolute, without "." and "..", links resolved.
fs::path identity(const fs::path& path) {
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::absolute(path, error).lexically_normal() : canonical;
}

} // namespace

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

ChannelChoice choose_channels(const std::vector<std::string>& requested,
                              const std::vector<fcs::FcsFile>& files) {
    ChannelChoice choice;
    const fcs::FcsFile& first = files.front();
    std::vector<std::string> names = requested;
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
    for (const fcs::FcsFile& file : files) {
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

void arcsinh_events(const fcs::FcsFile& file, const std::vector<double>& linear,
                    const std::vector<std::size_t>& chosen, double cofactor, std::size_t first,
                    std::size_t count, double* out) {
    const std::size_t width = file.channels.size();
    const std::size_t ndim = chosen.size();
    for (std::size_t e = first; e < first + count; ++e, out += ndim) {
        for (std::size_t j = 0; j < ndim; ++j) {
            const double value = linear[e * width + chosen[j]];
            if (!std::isfinite(value)) {
                std::ostringstream text;
                text << "Event " << e + 1 << " of " << file.path << " has the value " << value
                     << " in the channel " << channel_display_name(file.channels[chosen[j]])
                     << ", which is not a finite number. Remove that event from the file, or leave the "
                        "channel out of --channels.";
                throw std::runtime_error(text.str());
            }
            out[j] = std::asinh(value / cofactor);
        }
    }
}

namespace {

// arcsinh(value / cofactor) of the chosen channels, every file's events after the previous file's.
void transform_events(CorrectionInput& input) {
    std::size_t nobs = 0;
    for (const fcs::FcsFile& file : input.files) {
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
        const fcs::FcsFile& file = input.files[f];
        arcsinh_events(file, input.linear[f], input.chosen[f], input.cofactor, 0, file.num_events,
                       input.data.data() + row * ndim);
        std::fill(input.batch_ids.begin() + static_cast<std::ptrdiff_t>(row),
                  input.batch_ids.begin() + static_cast<std::ptrdiff_t>(row + file.num_events),
                  input.batches.file_batch[f] - 1);
        row += file.num_events;
    }
}

} // namespace

std::vector<std::string> batch_members(const CorrectionInput& input, std::size_t number) {
    std::vector<std::string> members;
    for (std::size_t f = 0; f < input.files.size(); ++f) {
        if (input.batches.file_batch[f] == static_cast<int>(number)) {
            members.push_back(base_name(input.files[f].path));
        }
    }
    return members;
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
        fcs::FcsFile file = fcs::read_fcs(path);
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

    ChannelChoice channels = choose_channels(options.channels, input.files);
    input.chosen = std::move(channels.chosen);
    input.channel_names = std::move(channels.channel_names);
    const CofactorChoice cofactor = choose_cofactor(options.cofactor, input.files);
    input.cofactor = cofactor.cofactor;
    input.cofactor_origin = cofactor.origin;
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

} // namespace pairmend::fcs_tool
