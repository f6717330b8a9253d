#ifndef PAIRMEND_REPORT_QC_REPORT_HPP
#define PAIRMEND_REPORT_QC_REPORT_HPP

// The quality-control report of a batch-correction run: one self-contained HTML file (inline CSS
// and SVG, no scripts, no external assets) that shows the run, the merge order with its mutual
// pairs, per-parameter density curves of every batch before and after correction, and the earth
// mover's distance of every batch to the others before and after. Everything lives in namespace
// `report`. The functions keep no state and may be called from any thread.

#include "report/qc_report_input.hpp"

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
