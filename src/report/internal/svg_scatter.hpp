#ifndef PAIRMEND_REPORT_SVG_SCATTER_HPP
#define PAIRMEND_REPORT_SVG_SCATTER_HPP

// Inline SVG scatter plots for the quality-control report: a row of square panels on shared x and
// y axes, each holding a bounded number of points per batch. Pure functions, safe from any thread.

#include "internal/svg_panel_row.hpp"

#include <string>
#include <vector>

namespace pairmend::report {

/**
 * A row of scatter panels on shared x and y axes. Every series holds the x and y of each of a
 * batch's points, point after point.
 */
struct ScatterFigure : PanelFigure {
    double y_min = 0; ///< the y axis; y_max greater than y_min.
    double y_max = 1;
};

/**
 * Draws the figure as an inline <svg> element of fixed pixel size (no scripts, no external
 * references). Points outside the axes are left out; the batches are drawn in interleaved rounds
 * so that no batch hides all others. All text is escaped.
 *
 * @param figure the panels and axes; empty or invalid axes give an empty (but valid) drawing.
 * @return the SVG markup.
 */
std::string render_scatter(const ScatterFigure& figure);

} // namespace pairmend::report

#endif
