#ifndef PAIRMEND_FCS_TOOL_TOOL_OPTIONS_HPP
#define PAIRMEND_FCS_TOOL_TOOL_OPTIONS_HPP

// The command line of pairmend-fcs: its six commands (info, export, correct, fit, apply, extend),
// their options and the usage text.

#include "pairmend/command_line.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/model/method.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pairmend::fcs_tool {

/** A command line that does not fit the program; the caller prints the usage text with it. */
using UsageError = command_line::UsageError;

/**
 * `pairmend-fcs correct`, and the model commands `fit`, `apply` and `extend`, which read the
 * same kind of input; each command takes only the options its usage lists.
 */
struct CorrectOptions {
    std::string out_dir;               ///< --out: the folder that receives the corrected files.
    std::vector<std::string> files;    ///< the input FCS files, in command-line order.
    std::vector<std::string> channels; ///< --channels, by $PnN or $PnS; empty for the default choice.
    std::string batch_sheet;           ///< --batches; empty when every file is its own batch.
    std::optional<double> cofactor;    ///< --cofactor; unset for the instrument's default.
    EngineOptions engine;              ///< the engine's options (--neighbors, --mads, ...).
    std::optional<int> threads;        ///< --threads; unset for pairmend's default.
    std::string report;                ///< --report; empty for no report.
    std::uint64_t fit_events = 0; ///< --fit-events: fit on at most this many events per batch; 0 for all.
    model::Method method;  ///< --method (correct, fit), checked when parsed; the default method unless given.
    std::string model;     ///< --model (fit: the file to write; apply, extend: to read).
    std::string new_model; ///< --new-model (extend): the extended model's file.
};

/** `pairmend-fcs export`. */
struct ExportOptions {
    bool raw = false;   ///< --raw: values as stored instead of on the linear scale.
    std::string input;  ///< the FCS file.
    std::string output; ///< the CSV file to write.
};

/** `pairmend-fcs info`. */
struct InfoOptions {
    std::vector<std::string> files; ///< the FCS files to describe.
};

/**
 * Reads the arguments of `correct` (after the command word).
 * @throws UsageError naming the argument when an option is unknown, lacks its value or has a
 *         value out of range, when --out or the input files are missing.
 */
CorrectOptions parse_correct_options(const std::vector<std::string>& args);

/**
 * Reads the arguments of `fit`, `apply` or `extend` (after the command word).
 * @param command "fit", "apply" or "extend".
 * @throws UsageError naming the argument when an option is unknown to the command, lacks its
 *         value or has a value out of range, or when a required option or the files are missing.
 */
CorrectOptions parse_model_options(const std::string& command, const std::vector<std::string>& args);

/**
 * Reads the arguments of `export` (after the command word).
 * @throws UsageError when they are not [--raw] FILE.fcs OUT.csv.
 */
ExportOptions parse_export_options(const std::vector<std::string>& args);

/**
 * Reads the arguments of `info` (after the command word).
 * @throws UsageError when no file is named or an option is given.
 */
InfoOptions parse_info_options(const std::vector<std::string>& args);

/** The usage text printed for --help and after a wrong command line. */
const char* usage_text();

} // namespace pairmend::fcs_tool

#endif
