#ifndef PAIRMEND_REPORT_QC_REPORT_HPP
#define PAIRMEND_REPORT_QC_REPORT_HPP

// The quality-control report of a batch-correction run: one self-contained HTML file (inline CSS
// and SVG, no scripts, no external assets) that shows the run, the merge order with its mutual
// pairs, per-parameter density curves of every batch before and after correction, and the earth
// mover's distance of every batch to the others before and after, neighbourhood mixing, structure
// kept, movements against the method's noise floor and a 2-D view; next to it the same figures as
// JSON. Everything lives in namespace
// `report`. The functions keep no state and may be called from any thread.

#include "pairmend/report/qc_json.hpp"
#include "pairmend/report/qc_report_input.hpp"
#include "pairmend/report/qc_summary.hpp"

#include <string>

namespace pairmend::report {

/**
 * Builds the report's HTML text.
 *
 * @param input   the run; see QcReportInput.
 * @param options the subsample size and seed, the few-pairs warning share and the plotting budget.
 * @return the complete HTML document (UTF-8).
 * @throws std::invalid_argument when the input is inconsistent (see summarize_run).
 */
std::string render_qc_report(const QcReportInput& input, const QcReportOptions& options = {});

/**
 * Builds the report's HTML text from numbers already computed with summarize_run. Lets a caller
 * time the computation (the report's expensive part) and show that time in the report itself.
 *
 * @param input   the run the summary was computed from.
 * @param summary summarize_run(input, options).
 * @param options the options the summary was computed with.
 * @return the complete HTML document (UTF-8).
 * @throws std::invalid_argument when the summary does not describe the input (a different number
 *         of parameters or batches).
 */
std::string render_qc_report(const QcReportInput& input, const QcSummary& summary,
                             const QcReportOptions& options = {});

/**
 * Writes an HTML text built by render_qc_report to a file, replacing any file of that name. The
 * file is written under a temporary name in the same folder first, so that a failure never leaves
 * a half-written report under its own name.
 *
 * @param path where to write the HTML file.
 * @param html the document.
 * @throws std::runtime_error "Unable to write the quality-control report to " followed by the path
 *         when the file cannot be opened or written completely (for example on a full disk).
 */
void save_qc_report(const std::string& path, const std::string& html);

/**
 * Writes a report and its figures as JSON (render_qc_json) to two files: the HTML at `path`, the
 * JSON at qc_json_path(path), replacing any files of those names. Each file is written completely
 * under a temporary name in its folder before it takes its final name, so a failure leaves neither
 * a half-written file nor a new report without its JSON.
 *
 * @param path where to write the HTML file.
 * @param html the document.
 * @param json the figures.
 * @throws std::runtime_error "Unable to write the quality-control report to " followed by the path
 *         of the file that could not be written (the HTML or the JSON file).
 */
void save_qc_report(const std::string& path, const std::string& html, const std::string& json);

/**
 * Builds the report and writes it with its JSON figures (see the three-argument save_qc_report),
 * replacing any files of those names. The report's time table shows the time its figures took.
 *
 * @param path    where to write the HTML file; the JSON goes to qc_json_path(path).
 * @param input   the run; see QcReportInput. Give it the engine for the noise floor.
 * @param options see render_qc_report.
 * @throws std::runtime_error "Unable to write the quality-control report to " followed by the path
 *         of the file that cannot be opened or written completely (for example on a full disk).
 * @throws std::invalid_argument when the input is inconsistent (see summarize_run).
 */
void write_qc_report(const std::string& path, const QcReportInput& input,
                     const QcReportOptions& options = {});

} // namespace pairmend::report

#endif
