#ifndef PAIRMEND_REPORT_INTERNAL_MARKER_PAIR_FIGURE_HPP
#define PAIRMEND_REPORT_INTERNAL_MARKER_PAIR_FIGURE_HPP

// The report's section of 2-D densities of the two parameters with the largest batch effect.

#include "pairmend/report/qc_summary.hpp"

#include <sstream>

namespace pairmend::report {

/** Writes the section: per batch, its density before and after correction on shared axes, as
 *  inline SVG heat maps in the batch's colour. Nothing when the pair is not shown. */
void write_marker_pair(std::ostringstream& html, const QcSummary& summary);

} // namespace pairmend::report

#endif
