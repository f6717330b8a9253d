// The only file of the tools that uses the FCS library.

#include "fcs_study_writer.hpp"

#include "mass_panel.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/output_transaction.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace pairmend::tools {

namespace {

namespace fs = std::filesystem;
// The FCS library, named once so that a move of its header or namespace is a change of two lines.
namespace fcs_io = pairmend::fcs;

constexpr const char* kInstrument = "Helios";
constexpr const char* kFluorescenceInstrument = "LSRFortessa";
constexpr const char* kSheetName = "batches.csv";
// Time counts milliseconds; $TIMESTEP gives the unit in seconds.
constexpr const char* kTimeStep = "0.001";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Stale FCS files beside the study would be read by "pairmend-fcs correct folder/*.fcs" and then be
// missing from the batch sheet; they may also be someone's data, so they are neither used nor removed.
void refuse_other_fcs_files(const fs::path& folder, const Study& study) {
    std::set<std::string> own;
    for (const StudyFile& file : study.files) {
        own.insert(file.name);
    }
    std::vector<std::string> others;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (lower(entry.path().extension().string()) == ".fcs" && own.count(name) == 0) {
            others.push_back(name);
        }
    }
    if (others.empty()) {
        return;
    }
    std::sort(others.begin(), others.end());
    std::string listed;
    for (std::size_t i = 0; i < others.size() && i < 3; ++i) {
        listed += (i > 0 ? ", " : "") + others[i];
    }
    if (others.size() > 3) {
        listed += " and " + std::to_string(others.size() - 3) + " more";
    }
    throw std::runtime_error(
        "The folder " + folder.string() + " already holds FCS files that are not part of " + "this study (" +
        listed + "), which pairmend-fcs correct " + (folder / "*.fcs").string() +
        " would read as well. Write the study to an empty folder, or move those files away.");
}

fcs_io::Channel channel(const std::string& name, const std::string& label) {
    fcs_io::Channel result;
    result.name = name;
    result.label = label;
    return result;
}

// "$SPILLOVER": the count, the detectors (the file's marker channels after Time) and the matrix
// row after row.
std::string spillover_keyword(const std::vector<PanelChannel>& panel,
                              const std::vector<fcs_io::Channel>& channels) {
    std::ostringstream text;
    text << panel.size();
    for (std::size_t k = 0; k < panel.size(); ++k) {
        text << ',' << channels[1 + k].name;
    }
    for (const double value : study_spillover(static_cast<int>(panel.size()))) {
        text << ',' << value;
    }
    return text.str();
}

// The names of a channel renamed in the file's batch: a rename of its $PnN or of its $PnS.
// Returns whether any rename applied.
bool apply_renames(std::vector<fcs_io::Channel>& channels, const StudyOptions::Rename& rename) {
    for (fcs_io::Channel& channel : channels) {
        if (channel.name == rename.from) {
            channel.name = rename.to;
            return true;
        }
        if (!channel.label.empty() && channel.label == rename.from) {
            channel.label = rename.to;
            return true;
        }
    }
    return false;
}

// Refuses renames of a batch the study lacks, of a channel it lacks, or to a name it holds.
void check_renames(const StudyOptions& options, const std::vector<fcs_io::Channel>& channels) {
    for (const StudyOptions::Rename& rename : options.renames) {
        if (rename.batch < 1 || rename.batch > options.batches) {
            throw std::invalid_argument("The option --rename " + std::to_string(rename.batch) + ":" +
                                        rename.from + "=" + rename.to + " names batch " +
                                        std::to_string(rename.batch) + ", but the study has batches 1 to " +
                                        std::to_string(options.batches) + ".");
        }
        std::vector<fcs_io::Channel> renamed = channels;
        for (const fcs_io::Channel& channel : channels) {
            if (channel.name == rename.to || channel.label == rename.to) {
                throw std::invalid_argument("The option --rename " + std::to_string(rename.batch) + ":" +
                                            rename.from + "=" + rename.to +
                                            " gives a name that the channel " + channel.name +
                                            " already has. Choose a new name.");
            }
        }
        if (!apply_renames(renamed, rename)) {
            throw std::invalid_argument("The option --rename " + std::to_string(rename.batch) + ":" +
                                        rename.from + "=" + rename.to + " names the channel " + rename.from +
                                        ", which the study's files do not have ($PnN or $PnS).");
        }
    }
}

// The channels of every file of the study, before any batch's renames.
std::vector<fcs_io::Channel> study_channels(const StudyOptions& options,
                                            const std::vector<PanelChannel>& panel) {
    const bool fluorescence = options.spillover;
    std::vector<fcs_io::Channel> channels{channel("Time", "")};
    if (!fluorescence) {
        channels.push_back(channel("Event_length", ""));
    }
    for (std::size_t k = 0; k < panel.size(); ++k) {
        channels.push_back(
            channel(fluorescence ? fluorescence_channel(k) : panel[k].isotope, panel[k].marker));
    }
    return channels;
}

// One file's channels and values as the instrument writes them.
fcs_io::FcsOutput file_output(const Study& study, std::size_t file_index,
                              const std::vector<PanelChannel>& panel) {
    const StudyFile& file = study.files[file_index];
    const bool fluorescence = study.options.spillover;
    fcs_io::FcsOutput output;
    output.channels = study_channels(study.options, panel);
    for (const StudyOptions::Rename& rename : study.options.renames) {
        if (rename.batch == file.batch) {
            apply_renames(output.channels, rename);
        }
    }
    output.keywords = {
        {"$CYT", fluorescence ? kFluorescenceInstrument : kInstrument},
        {"$FIL", file.name},
        {"$SRC",
         study_batch_name(file.batch) + (file.condition > 0 ? ", condition " + std::to_string(file.condition)
                                         : file.is_anchor() ? ", anchor (the same donor in every batch)"
                                                            : ", sample " + std::to_string(file.sample))},
        {"$TIMESTEP", kTimeStep},
        {"PAIRMEND_SIMULATION", study_arguments(study.options)},
    };
    if (fluorescence) {
        output.keywords.emplace_back("$SPILLOVER", spillover_keyword(panel, output.channels));
    }
    const std::vector<double> spill =
        fluorescence ? study_spillover(static_cast<int>(panel.size())) : std::vector<double>();
    std::vector<double> emitted(panel.size());

    const std::size_t width = output.channels.size();
    output.num_events = static_cast<std::size_t>(study.options.events_per_file);
    output.values.resize(output.num_events * width);
    StudyEventStream stream(study, file_index);
    StudyEvent event;
    for (std::size_t e = 0; stream.next(event); ++e) {
        float* row = output.values.data() + e * width;
        row[0] = static_cast<float>(event.time_ms);
        if (!fluorescence) {
            row[1] = static_cast<float>(event.event_length);
            for (std::size_t k = 0; k < panel.size(); ++k) {
                const double arcsinh_value = event.observed[static_cast<std::size_t>(panel[k].dimension)];
                row[2 + k] = static_cast<float>(std::sinh(arcsinh_value) * kStudyCofactor);
            }
            continue;
        }
        // Each detector records its own dye and the spill of the others: m = t * S.
        for (std::size_t k = 0; k < panel.size(); ++k) {
            emitted[k] = std::sinh(event.observed[static_cast<std::size_t>(panel[k].dimension)]) *
                         kFluorescenceCofactor;
        }
        for (std::size_t j = 0; j < panel.size(); ++j) {
            double measured = 0;
            for (std::size_t i = 0; i < panel.size(); ++i) {
                measured += emitted[i] * spill[i * panel.size() + j];
            }
            row[1 + j] = static_cast<float>(measured);
        }
    }
    return output;
}

void write_batch_sheet(const std::string& path, const Study& study) {
    std::ofstream sheet(path, std::ios::binary | std::ios::trunc);
    const bool conditions = study.options.conditions > 0;
    sheet << (conditions ? "file,batch,condition\n" : "file,batch\n");
    for (const StudyFile& file : study.files) {
        sheet << file.name << ',' << study_batch_name(file.batch);
        if (conditions) {
            sheet << ",condition" << file.condition;
        }
        sheet << '\n';
    }
    sheet.close();
    if (!sheet) {
        throw std::runtime_error("Could not write the batch sheet " + path +
                                 " completely (is the disk full?).");
    }
}

} // namespace

WrittenStudy write_fcs_study(const StudyOptions& options, const std::string& folder) {
    const Study study = make_study(options);
    const std::vector<PanelChannel> panel = panel_channels(options.dims);
    check_renames(options, study_channels(options, panel));
    // Every file under a temporary name, renamed into place together, so that a failure leaves
    // neither a half-written file nor a study mixed from two runs, nor a folder the run created.
    pairmend::OutputTransaction pending;
    pending.create_folder(folder);
    refuse_other_fcs_files(folder, study);

    WrittenStudy written;
    for (std::size_t i = 0; i < study.files.size(); ++i) {
        // One file's values at a time: the study as a whole may be far larger than memory.
        const std::string path = (fs::path(folder) / study.files[i].name).string();
        try {
            fcs_io::write_fcs(pending.add(path), file_output(study, i, panel));
        } catch (const std::runtime_error& error) {
            throw std::runtime_error("Could not write " + path + ": " + error.what());
        } catch (const std::bad_alloc&) {
            std::ostringstream message;
            message << "There is not enough memory to simulate one file of " << options.events_per_file
                    << " events (its values take " << std::fixed << std::setprecision(1)
                    << static_cast<double>(options.events_per_file) * (options.dims + 2) * sizeof(float) / 1e9
                    << " GB); give fewer --events per file and more --batches or --files-per-batch.";
            throw std::runtime_error(message.str());
        }
        written.files.push_back(path);
    }
    written.batch_sheet = (fs::path(folder) / kSheetName).string();
    write_batch_sheet(pending.add(written.batch_sheet), study);
    pending.commit();
    return written;
}

std::vector<double> study_spillover(int dims) {
    const auto n = static_cast<std::size_t>(dims);
    std::vector<double> matrix(n * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        matrix[i * n + i] = 1;
        if (i + 1 < n) {
            matrix[i * n + i + 1] = 0.12;
        }
        if (i + 2 < n) {
            matrix[i * n + i + 2] = 0.03;
        }
        if (i > 0) {
            matrix[i * n + i - 1] = 0.05;
        }
    }
    return matrix;
}

std::string fluorescence_channel(std::size_t k) {
    return "FL" + std::to_string(k + 1) + "-A";
}

std::string study_arguments(const StudyOptions& options) {
    std::string renames;
    for (const StudyOptions::Rename& rename : options.renames) {
        renames += " --rename " + std::to_string(rename.batch) + ":" + rename.from + "=" + rename.to;
    }
    std::string conditions;
    if (options.conditions > 0) {
        conditions = " --conditions " + std::to_string(options.conditions);
        for (const auto& [batch, held] : options.design) {
            conditions += " --design " + std::to_string(batch) + ":";
            for (std::size_t i = 0; i < held.size(); ++i) {
                conditions += (i > 0 ? "," : "") + std::to_string(held[i]);
            }
        }
    }
    return "--events " + std::to_string(options.events_per_file) + " --dims " + std::to_string(options.dims) +
           " --batches " + std::to_string(options.batches) +
           (options.conditions > 0 ? "" : " --files-per-batch " + std::to_string(options.files_per_batch)) +
           " --populations " + std::to_string(options.populations) + " --seed " +
           std::to_string(options.seed) + (options.spillover ? " --spillover" : "") + renames + conditions;
}

} // namespace pairmend::tools
