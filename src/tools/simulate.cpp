// pairmend-simulate: writes a synthetic input table with known batch effects and its ground truth,
// or a simulated study of FCS files as a mass cytometer writes them.

#include "fcs_study_writer.hpp"
#include "mass_panel.hpp"
#include "pairmend/command_line.hpp"
#include "simulation.hpp"
#include "study.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: pairmend-simulate --out INPUT.csv [--truth TRUTH.csv] [--events N] [--dims D]\n"
    "                         [--batches B] [--populations P] [--seed S]\n"
    "                         [--proportions B:W1,...,WP]... [--absent B:P]... [--gain A]\n"
    "                         [--conditions N [--design B:C1,C2,...]...]\n"
    "       pairmend-simulate --fcs DIR [--events N] [--dims D] [--batches B] [--files-per-batch F]\n"
    "                         [--populations P] [--seed S] [--spillover] [--rename B:OLD=NEW]...\n"
    "                         [--conditions N [--design B:C1,C2,...]...]\n"
    "\n"
    "With --out, writes a synthetic table in pairmend's input format: P Gaussian cell populations in D\n"
    "parameters, measured in B batches (labels 1..B) of N events each, with the same population\n"
    "proportions in every batch. Batch 1 is undistorted; every other batch is shifted (by more than a\n"
    "population's spread, far less than the gaps between populations), rescaled about each population's\n"
    "centre and bent by a gentle sinusoid. The optional truth table holds the undistorted values of the\n"
    "same rows.\n"
    "\n"
    "Harder cases for --out: --proportions gives batch B its own population shares (relative weights,\n"
    "one per population), --absent leaves population P out of batch B (its events go to the other\n"
    "populations), and --gain bends every parameter of every batch but the first by its own monotone\n"
    "non-linear curve v + A tanh((v - c) / w), on top of the other distortions. Both options can be\n"
    "repeated. Without them the tables are exactly those of earlier versions.\n"
    "\n"
    "With --fcs, writes a simulated mass-cytometry study with the same populations and batch effects\n"
    "into the folder DIR: per batch F patients' samples (batch<b>_sample<f>.fcs, their population\n"
    "shares differing a little) and one anchor (batch<b>_anchor.fcs, the same donor in every batch),\n"
    "N events per file, as FCS 3.1 files of 32-bit floats from a Helios: a Time and an Event_length\n"
    "channel, then D markers named by isotope (Nd142Di ...) and labelled by marker (CD3 ...), with\n"
    "linear values 5 sinh(x) of the simulated arcsinh values x. DIR/batches.csv is the batch sheet for\n"
    "pairmend-fcs correct --batches. With --spillover the files are a fluorescence cytometer's\n"
    "(LSRFortessa): a Time channel, then the markers as detectors FL1-A, FL2-A, ... labelled by marker,\n"
    "with linear values 150 sinh(x) into which each dye spills 12 % of its signal into the next\n"
    "detector, 3 % into the one after and 5 % into the one before, as $SPILLOVER records.\n"
    "With --conditions, an FCS study has no samples or anchors: every batch holds one file per\n"
    "condition it holds (batch<b>_condition<c>.fcs, N events, the condition's population shares and\n"
    "moved population, as in a table), and the batch sheet gains the column condition (condition<c>).\n"
    "\n"
    "The same seed always gives the same files.\n"
    "\n"
    "  --out FILE          input table to write (header P1..PD,batch,event)\n"
    "  --truth FILE        ground-truth table to write (header P1..PD), optional; only with --out\n"
    "  --fcs DIR           folder of the FCS study to write (created when missing)\n"
    "  --events N          events per batch with --out, per file with --fcs (default 10000)\n"
    "  --dims D            parameters per event (default 5; at most 50 with --fcs)\n"
    "  --batches B         batches (default 3)\n"
    "  --files-per-batch F sample files per batch besides its anchor, only with --fcs (default 2)\n"
    "  --populations P     cell populations (default 4, at most 1000)\n"
    "  --seed S            seed of the random sequence (default 1)\n"
    "  --spillover         with --fcs: a fluorescence study with a known spillover matrix applied\n"
    "  --rename B:OLD=NEW  with --fcs: batch B names the channel OLD ($PnN or $PnS) NEW, a panel\n"
    "                      that differs (correct it with pairmend-fcs --channel-names); repeatable\n"
    "  --proportions B:W1,...,WP  population weights of batch B (each at least 0), only with --out\n"
    "  --absent B:P        population P is missing from batch B, only with --out\n"
    "  --gain A            strength of the per-parameter gain curves, 0 to 10 (default 0: none),\n"
    "                      only with --out\n"
    "  --conditions N      N conditions, each with its own population shares; every one but the\n"
    "                      first moves one population in two parameters; the truth table ends with\n"
    "                      the condition (1..N) of every row; with --fcs one file per batch and\n"
    "                      condition, not with --files-per-batch\n"
    "  --design B:C1,...   the conditions batch B holds (default: all); with --out its events are\n"
    "                      split evenly between them\n"
    "  --help              print this text\n";

// A decimal number that fills the whole of `text`.
double parse_number(const std::string& text, const std::string& option) {
    std::size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) {
        throw std::invalid_argument("The option " + option + " expects a number, not \"" + text + "\".");
    }
    return value;
}

// "B:REST" split at its first colon; B must be a batch number.
std::pair<int, std::string> batch_and_rest(const std::string& text, const std::string& option,
                                           const std::string& form) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        throw std::invalid_argument("The option " + option + " expects " + form + ", not \"" + text + "\".");
    }
    const int batch = pairmend::command_line::whole_number<int>(text.substr(0, colon), option, 1,
                                                                std::numeric_limits<int>::max());
    return {batch, text.substr(colon + 1)};
}

// The items of a comma-separated list, each read by `read`.
template <typename Read>
auto comma_separated(const std::string& list, Read read) {
    std::vector<decltype(read(list))> items;
    std::size_t start = 0;
    while (true) {
        const auto comma = list.find(',', start);
        items.push_back(read(list.substr(start, comma - start)));
        if (comma == std::string::npos) {
            return items;
        }
        start = comma + 1;
    }
}

// Refuses a batch that an option given once per batch has given before.
template <typename ByBatch>
void refuse_repeated_batch(const ByBatch& given, int batch, const std::string& option) {
    if (given.count(batch) != 0) {
        throw std::invalid_argument("The option " + option + " gives batch " + std::to_string(batch) +
                                    " twice; give each batch once.");
    }
}

void add_proportions(pairmend::tools::SimulationOptions& options, const std::string& text) {
    const std::string option = "--proportions";
    auto [batch, list] = batch_and_rest(text, option, "a batch, a colon and weights, such as 2:1,1,4,1");
    refuse_repeated_batch(options.batch_weights, batch, option);
    options.batch_weights[batch] =
        comma_separated(list, [&option](const std::string& item) { return parse_number(item, option); });
}

void add_design(pairmend::tools::SimulationOptions& options, const std::string& text) {
    const std::string option = "--design";
    auto [batch, list] = batch_and_rest(text, option, "a batch, a colon and conditions, such as 3:1,2");
    refuse_repeated_batch(options.design, batch, option);
    options.design[batch] = comma_separated(list, [&option](const std::string& item) {
        return pairmend::command_line::whole_number<int>(item, option, 1, std::numeric_limits<int>::max());
    });
}

void add_absent(pairmend::tools::SimulationOptions& options, const std::string& text) {
    const std::string option = "--absent";
    const auto [batch, population] = batch_and_rest(text, option, "a batch and a population, such as 2:1");
    options.absent[batch].push_back(
        pairmend::command_line::whole_number<int>(population, option, 1, std::numeric_limits<int>::max()));
}

struct Arguments {
    pairmend::tools::SimulationOptions options;
    std::optional<int> files_per_batch;
    std::string input_path;
    std::string truth_path;
    std::string fcs_folder;
    bool spillover = false;
    std::vector<pairmend::tools::StudyOptions::Rename> renames;
    /// The last option given that only a table (--out) takes, if any.
    std::string table_only_option;
    bool help = false;
};

void add_rename(Arguments& arguments, const std::string& text, const std::string& option) {
    const auto [batch, change] =
        batch_and_rest(text, option, "a batch, a colon and OLD=NEW, such as 2:CD3=CD3_BV421");
    const auto equals = change.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == change.size()) {
        throw std::invalid_argument("The option " + option +
                                    " expects a batch, a colon and OLD=NEW, such as "
                                    "2:CD3=CD3_BV421, not \"" +
                                    text + "\".");
    }
    arguments.renames.push_back({batch, change.substr(0, equals), change.substr(equals + 1)});
}

Arguments parse_arguments(int argc, char** argv) {
    using namespace pairmend::command_line;
    constexpr int int_max = std::numeric_limits<int>::max();
    Arguments arguments;
    auto& options = arguments.options;
    // A row of an option that only a table (--out) takes: it notes that the option was given.
    const auto table_only = [&arguments](std::string_view name, auto read) {
        return OptionRow{name, [&arguments, read](ArgumentReader& reader, const std::string& option) {
                             read(reader.value(), option);
                             arguments.table_only_option = option;
                         }};
    };
    const std::vector<OptionRow> option_table{
        text_option("--out", arguments.input_path),
        text_option("--truth", arguments.truth_path),
        text_option("--fcs", arguments.fcs_folder),
        OptionRow{"--spillover",
                  [&arguments](ArgumentReader& reader, const std::string&) {
                      reader.no_value();
                      arguments.spillover = true;
                  }},
        OptionRow{"--rename",
                  [&arguments](ArgumentReader& reader, const std::string& option) {
                      add_rename(arguments, reader.value(), option);
                  }},
        whole_number_option<std::int64_t>("--events", options.events_per_batch, 1, int_max),
        whole_number_option("--dims", options.dims, 1, int_max),
        whole_number_option("--batches", options.batches, 1, int_max),
        whole_number_option("--files-per-batch", arguments.files_per_batch, 1, int_max),
        whole_number_option("--populations", options.populations, 1, pairmend::tools::kMaxPopulations),
        table_only("--proportions",
                   [&](const std::string& value, const std::string&) { add_proportions(options, value); }),
        table_only("--absent",
                   [&](const std::string& value, const std::string&) { add_absent(options, value); }),
        OptionRow{"--conditions",
                  [&options](ArgumentReader& reader, const std::string& option) {
                      options.conditions = whole_number<int>(reader.value(), option, 1, 1000);
                  }},
        OptionRow{"--design", [&options](ArgumentReader& reader,
                                         const std::string&) { add_design(options, reader.value()); }},
        table_only("--gain", [&](const std::string& value,
                                 const std::string& option) { options.gain = parse_number(value, option); }),
        whole_number_option("--seed", options.seed, std::uint64_t{0},
                            std::numeric_limits<std::uint64_t>::max()),
    };
    ArgumentReader reader(argc, argv);
    arguments.help = read_options(reader, option_table);
    if (arguments.help) {
        return arguments;
    }
    const bool table = !arguments.input_path.empty();
    const bool study = !arguments.fcs_folder.empty();
    if (table && study) {
        throw std::invalid_argument("The options --out (a table) and --fcs (a folder of FCS files) cannot be "
                                    "combined: give one of them.");
    }
    if (!table && !study) {
        throw std::invalid_argument(
            "Give --out, the input table to write, or --fcs, the folder of a simulated "
            "FCS study to write.");
    }
    if (study && !arguments.truth_path.empty()) {
        throw std::invalid_argument(
            "The option --truth belongs to a table (--out); an FCS study (--fcs) has no "
            "truth table.");
    }
    if (study && !arguments.table_only_option.empty()) {
        throw std::invalid_argument("The option " + arguments.table_only_option +
                                    " belongs to a table (--out); an FCS study (--fcs) keeps the same "
                                    "populations in every batch.");
    }
    if (study && options.conditions > 0 && arguments.files_per_batch) {
        throw std::invalid_argument("The option --files-per-batch gives samples and an anchor per batch, "
                                    "but a study with --conditions has one file per batch and condition "
                                    "instead: leave out one of them.");
    }
    if (table && arguments.spillover) {
        throw std::invalid_argument("The option --spillover belongs to an FCS study (--fcs); a table "
                                    "(--out) holds values without detectors.");
    }
    if (table && !arguments.renames.empty()) {
        throw std::invalid_argument("The option --rename belongs to an FCS study (--fcs); a table (--out) "
                                    "holds no channel names.");
    }
    if (table && arguments.files_per_batch) {
        throw std::invalid_argument("The option --files-per-batch belongs to an FCS study (--fcs); a table "
                                    "(--out) holds every batch in one file.");
    }
    return arguments;
}

pairmend::tools::StudyOptions study_options(const Arguments& arguments) {
    pairmend::tools::StudyOptions study;
    static_cast<pairmend::tools::DrawOptions&>(study) = arguments.options;
    study.events_per_file = arguments.options.events_per_batch;
    study.spillover = arguments.spillover;
    study.renames = arguments.renames;
    if (arguments.files_per_batch) {
        study.files_per_batch = *arguments.files_per_batch;
    }
    return study;
}

// An output file with a large buffer: the tables can reach gigabytes.
class OutputFile {
public:
    explicit OutputFile(const std::string& path) : buffer_(1 << 20) {
        stream_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        stream_.open(path, std::ios::binary | std::ios::trunc);
        if (!stream_) {
            throw std::runtime_error("Could not create the file " + path + ".");
        }
    }

    std::ostream& stream() { return stream_; }

    /// Flushes and closes the file; throws when any write failed (a full disk, for example).
    void close(const std::string& path) {
        stream_.close();
        if (stream_.fail()) {
            throw std::runtime_error("Could not write the file " + path + " completely (is the disk full?).");
        }
    }

private:
    std::vector<char> buffer_;
    std::ofstream stream_;
};

void write_table(const Arguments& arguments) {
    pairmend::tools::validate(arguments.options);
    OutputFile input(arguments.input_path);
    std::unique_ptr<OutputFile> truth;
    if (!arguments.truth_path.empty()) {
        truth = std::make_unique<OutputFile>(arguments.truth_path);
    }
    pairmend::tools::write_simulation(arguments.options, input.stream(), truth ? &truth->stream() : nullptr);
    input.close(arguments.input_path);
    if (truth) {
        truth->close(arguments.truth_path);
    }
}

// `path` as one shell word, quoted only when it needs to be.
std::string shell_word(const std::string& path) {
    const bool plain = path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                              "/._-+,:@%=") == std::string::npos;
    if (plain && !path.empty()) {
        return path;
    }
    std::string quoted = "'";
    for (const char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

void write_study(const Arguments& arguments) {
    const pairmend::tools::StudyOptions options = study_options(arguments);
    const auto written = pairmend::tools::write_fcs_study(options, arguments.fcs_folder);
    // The markers, indented and wrapped to lines of at most 100 characters.
    std::string markers = "    ";
    std::size_t line_start = 0;
    const auto panel = pairmend::tools::panel_channels(options.dims);
    for (std::size_t k = 0; k < panel.size(); ++k) {
        const auto& channel = panel[k];
        const std::string item =
            channel.marker + " (" +
            (options.spillover ? pairmend::tools::fluorescence_channel(k) : channel.isotope) + ")";
        if (markers.size() > 4) {
            if (markers.size() - line_start + 2 + item.size() > 100) {
                markers += ",\n";
                line_start = markers.size();
                markers += "    ";
            } else {
                markers += ", ";
            }
        }
        markers += item;
    }
    std::string renamed;
    for (const auto& rename : options.renames) {
        renamed += "  Batch " + std::to_string(rename.batch) + " calls the channel " + rename.from + " " +
                   rename.to + "\n";
    }
    const std::filesystem::path folder = arguments.fcs_folder;
    std::cout << "Wrote a simulated study of " << written.files.size() << " FCS files to " << folder.string()
              << ":\n"
              << "  " << options.batches << " batches, "
              << (options.conditions > 0 ? "each with one file per condition it holds (" +
                                               std::to_string(options.conditions) + " conditions), "
                                         : "each with " + std::to_string(options.files_per_batch) +
                                               " sample files and 1 anchor file, ")
              << options.events_per_file << " events per file; " << options.populations
              << " cell populations, seed " << options.seed << "\n"
              << "  " << options.dims << " markers"
              << (options.spillover ? " (fluorescence, LSRFortessa)" : "") << ":\n"
              << markers << "\n"
              << (options.spillover
                      ? "  Spillover between neighbouring detectors applied and recorded in $SPILLOVER\n"
                      : "")
              << renamed << "Batch sheet: " << written.batch_sheet << "\n"
              << "Correct it with:\n"
              << "  pairmend-fcs correct --out " << shell_word((folder / "corrected").string())
              << (options.spillover ? " --cofactor 150" : "") << " --batches "
              << shell_word(written.batch_sheet) << " " << shell_word(folder.string()) << "/*.fcs\n";
}

// Writes the table or the study the arguments ask for.
void run(const Arguments& arguments) {
    if (arguments.fcs_folder.empty()) {
        write_table(arguments);
    } else {
        write_study(arguments);
    }
}

} // namespace

int main(int argc, char** argv) {
    return pairmend::command_line::run_program(argc, argv, kUsage, parse_arguments, run);
}
