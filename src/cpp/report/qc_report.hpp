#ifndef PAIRMEND_REPORT_QC_REPORT_HPP
#define PAIRMEND_REPORT_QC_REPORT_HPP

// The quality-control report of a batch-correction run: one self-contained HTML file (inline CSS
// and SVG, no scripts, no external assets) that shows the run, the merge order with its mutual
// pairs, per-parameter density curves of every batch before and after correction, and the earth
// mover's distance of every batch to the others before and after. Everything lives in namespace
// `report`. The functions keep no state and may be called from any thread.

#include "report/qc_report_input.hpp"
#include "report/qc_summary.hpp"

#include <string>

namespace report {

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
 * Writes an HTML text built by render_qc_report to a file, replacing any file of that name.
 *
 * @param path where to write the HTML file.
 * @param html the document.
 * @throws std::runtime_error "Unable to write the quality-control report to " followed by the path
 *         when the file cannot be opened or written completely (for example on a full disk).
 */
void save_qc_report(const std::string& path, const std::string& html);

/**
 * Builds the report and writes it to a file, replacing any file of that name.
 *
 * @param path    where to write the HTML file.
 * @param input   the run; see QcReportInput.
 * @param options see render_qc_report.
 * @throws std::runtime_error "Unable to write the quality-control report to " followed by the path
 *         when the file cannot be opened or written completely (for example on a full disk).
 * @throws std::invalid_argument when the input is inconsistent (see summarize_run).
 */
void write_qc_report(const std::string& path, const QcReportInput& input,
                     const QcReportOptions& options = {});

} // namespace report

#endif
