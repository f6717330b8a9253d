#ifndef PAIRMEND_REPORT_SVG_PLOT_HPP
#define PAIRMEND_REPORT_SVG_PLOT_HPP

// Inline SVG line plots for the quality-control report: a row of small panels that share their
// x axis and y scale, each holding one curve per batch. Pure functions, safe from any thread.

#include "internal/svg_panel_row.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::report {

/**
 * Small multiples: a row of line plots on a shared x axis and a shared y scale starting at 0. Every
 * series holds a curve's y values (at least two; non-finite values are drawn as 0) at evenly spaced
 * x positions from x_min (its first value) to x_max (its last).
 */
using SmallMultiples = PanelFigure;

/**
 * Draws the figure as an inline <svg> element with fixed pixel size (no scripts, no external
 * references). All text is escaped.
 *
 * @param figure the panels and axes; an empty figure gives an empty (but valid) drawing.
 * @return the SVG markup.
 */
std::string render_small_multiples(const SmallMultiples& figure);

/**
 * A distinct, colour-blind-friendly colour for the batch of the given rank (0 for the first batch):
 * eight fixed colours first, then hues spaced by the golden angle.
 *
 * @param rank the batch's position in the report's batch list.
 * @return a CSS colour text.
 */
std::string batch_colour(std::size_t rank);

/**
 * Round tick positions (1, 2 or 5 times a power of ten apart) within [lower, upper].
 *
 * @param lower        the start of the axis.
 * @param upper        the end of the axis; greater than lower.
 * @param target_count the approximate number of ticks wanted, at least 2.
 * @return the ticks in increasing order; empty for an empty or non-finite range.
 */
std::vector<double> nice_ticks(double lower, double upper, int target_count);

} // namespace pairmend::report

#endif
