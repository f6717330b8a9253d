#ifndef PAIRMEND_FCS_TOOL_CORRECTION_REPORT_HPP
#define PAIRMEND_FCS_TOOL_CORRECTION_REPORT_HPP

// The quality-control report of a `pairmend-fcs correct` run.

#include "pairmend/output_transaction.hpp"
#include "pairmend/report/qc_report_input.hpp"
#include "prepare_correction.hpp"
#include "run_correction.hpp"
#include "tool_options.hpp"

#include <string>
#include <utility>
#include <vector>

namespace pairmend::fcs_tool {

/**
 * Writes the quality-control report of the run and its figures as JSON, as pairmend writes them,
 * with the channels' names and the batch numbers 1..k whose names the settings table lists. Both
 * files are registered with the run's outputs, so they appear only with the corrected files.
 * @param phases the run's phases so far with their seconds; the report adds its own time.
 * @throws std::runtime_error when a file cannot be written.
 */
void write_correction_report(OutputTransaction& outputs, const std::string& path,
                             const CorrectOptions& options, const CorrectionInput& input,
                             const CorrectionResult& result,
                             std::vector<std::pair<std::string, double>> phases);

/**
 * Computes the report's figures for `run` and writes the HTML and JSON files under temporary
 * names registered with `outputs`.
 * @param phases the run's phases so far with their seconds; the report's time table lists them,
 *        then its own time (summarize_run times its parts).
 */
void write_report_files(OutputTransaction& outputs, const std::string& path, report::QcReportInput& run,
                        std::vector<std::pair<std::string, double>> phases);

/** The run's name: the output folder's name (or the folder as given when it has none). */
std::string run_id(const CorrectOptions& options);

} // namespace pairmend::fcs_tool

#endif
