#ifndef PAIRMEND_FCS_TOOL_TOOL_OPTIONS_HPP
#define PAIRMEND_FCS_TOOL_TOOL_OPTIONS_HPP

// The command line of pairmend-fcs: its six commands (info, export, correct, fit, apply, extend),
// their options and the usage text.

#include "pairmend/command_line.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/fcs_study/info_export.hpp"
#include "pairmend/fcs_study/study_options.hpp"
#include "pairmend/model/method.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pairmend::fcs_tool {

/** A command line that does not fit the program; the caller prints the usage text with it. */
using UsageError = command_line::UsageError;

/** `pairmend-fcs correct`. */
struct CorrectCommand {
    fcs_study::StudyFiles study;       ///< the files, --channels, --batches and --cofactor.
    fcs_study::LearnSettings learning; ///< the engine's options, --method and --fit-events.
    fcs_study::CorrectedOutput output; ///< --out and --report.
    std::optional<int> threads;        ///< --threads; unset for pairmend's default.
};

/** `pairmend-fcs fit`. */
struct FitCommand {
    fcs_study::StudyFiles study;       ///< the files, --channels, --batches and --cofactor.
    fcs_study::LearnSettings learning; ///< the engine's options, --method and --fit-events.
    std::string model;                 ///< --model: the file to write.
    std::optional<int> threads;        ///< --threads; unset for pairmend's default.
};

/** `pairmend-fcs apply`. */
struct ApplyCommand {
    fcs_study::StudyFiles study;       ///< the files, --batches and --cofactor.
    std::string model;                 ///< --model: the file to read.
    fcs_study::CorrectedOutput output; ///< --out and --report.
    std::optional<int> threads;        ///< --threads; unset for pairmend's default.
};

/** `pairmend-fcs extend`. */
struct ExtendCommand {
    fcs_study::StudyFiles study; ///< the files and --batches.
    std::string model;           ///< --model: the file to read.
    std::string new_model;       ///< --new-model: the extended model's file.
    std::optional<int> threads;  ///< --threads; unset for pairmend's default.
};

/**
 * Read the arguments of each command (after the command word).
 * @throws UsageError naming the argument when an option is unknown to the command, lacks its value
 *         or has a value out of range, or when a required option or the files are missing.
 */
CorrectCommand parse_correct_command(const std::vector<std::string>& args);
FitCommand parse_fit_command(const std::vector<std::string>& args);
ApplyCommand parse_apply_command(const std::vector<std::string>& args);
ExtendCommand parse_extend_command(const std::vector<std::string>& args);

/**
 * Reads the arguments of `export` (after the command word).
 * @throws UsageError when they are not [--raw] FILE.fcs OUT.csv.
 */
fcs_study::ExportOptions parse_export_options(const std::vector<std::string>& args);

/**
 * Reads the arguments of `info` (after the command word).
 * @throws UsageError when no file is named or an option is given.
 */
fcs_study::InfoOptions parse_info_options(const std::vector<std::string>& args);

/** The usage text printed for --help and after a wrong command line. */
const char* usage_text();

} // namespace pairmend::fcs_tool

#endif
