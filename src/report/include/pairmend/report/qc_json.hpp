#ifndef PAIRMEND_REPORT_QC_JSON_HPP
#define PAIRMEND_REPORT_QC_JSON_HPP

// The quality-control report's figures as JSON, for pipelines that judge runs automatically: the
// same numbers the HTML report shows, at full precision. Pure functions, safe from any thread.

#include "pairmend/report/qc_report_input.hpp"
#include "pairmend/report/qc_summary.hpp"

#include <string>
#include <string_view>

namespace pairmend::report {

/**
 * A number as JSON text: the shortest text that reads back as the same double, independent of the
 * global locale (for example 0.1, 3, 1e-07); infinities and NaN, which JSON cannot hold, become null.
 */
std::string json_number(double value);

/** A text as a quoted JSON string: quotes, backslashes and control characters escaped; other bytes
 *  (UTF-8 included) are copied. */
std::string json_string(std::string_view text);

/**
 * The report's figures as one JSON object (keys are listed in docs/qc-report.md):
 * the run, the parameters, the merge order, the neighbourhood mixing, the noise floor, the 2-D
 * view's components and one object per batch. The times the report took are left out, so that the
 * same run gives the same bytes.
 *
 * @param input   the run the summary was computed from.
 * @param summary summarize_run(input, options).
 * @return the JSON text, ending with a line feed.
 */
std::string render_qc_json(const QcReportInput& input, const QcSummary& summary);

/**
 * Where the JSON of a report goes: the report's path with its extension replaced by ".json"
 * ("run/report.html" gives "run/report.json", "report" gives "report.json"); when the report's own
 * name already ends in ".json", ".json" is appended instead, so that neither file overwrites the other.
 */
std::string qc_json_path(const std::string& report_path);

} // namespace pairmend::report

#endif
