#ifndef PAIRMEND_REPORT_SVG_SCATTER_HPP
#define PAIRMEND_REPORT_SVG_SCATTER_HPP

// Inline SVG scatter plots for the quality-control report: a row of square panels on shared x and
// y axes, each holding a bounded number of points per batch. Pure functions, safe from any thread.

#include <string>
#include <vector>

namespace pairmend::report {

/** The points of one batch in one panel. A plain value type. */
struct ScatterSeries {
    std::string colour;     ///< a CSS colour, e.g. from batch_colour().
    std::string label;      ///< the batch's name, shown as a tooltip.
    std::vector<double> xy; ///< x and y of every point, point after point.
};

/** One panel: a title and its point sets. A plain value type. */
struct ScatterPanel {
    std::string title;
    std::vector<ScatterSeries> series;
};

/** A row of scatter panels on shared axes. A plain value type, safe to read from several threads. */
struct ScatterFigure {
    std::string caption; ///< what the figure shows, for screen readers and tooltips.
    std::string x_label;
    std::string y_label;
    double x_min = 0, x_max = 1; ///< the x axis; x_max greater than x_min.
    double y_min = 0, y_max = 1; ///< the y axis; y_max greater than y_min.
    std::vector<ScatterPanel> panels;
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
