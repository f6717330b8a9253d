#ifndef PAIRMEND_REPORT_SVG_PANEL_ROW_HPP
#define PAIRMEND_REPORT_SVG_PANEL_ROW_HPP

// What both kinds of figure of the quality-control report share: a row of equal panels on shared
// axes, each holding one series per batch, laid out with margins around each panel in an inline
// <svg> element. Pure functions, safe from any thread.

#include "internal/html_text.hpp"

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace pairmend::report {

/** The values of one batch (or curve) in one panel. A plain value type. */
struct PanelSeries {
    std::string colour;         ///< a CSS colour, e.g. from batch_colour().
    std::string label;          ///< its name, shown as a tooltip.
    std::vector<double> values; ///< what the panel draws of it, as the kind of figure reads them.
};

/** One panel of a figure: a title and its series. A plain value type. */
struct FigurePanel {
    std::string title;
    std::vector<PanelSeries> series;
};

/** A row of panels on a shared x axis. A plain value type, safe to read from several threads. */
struct PanelFigure {
    std::string caption; ///< what the figure shows, for screen readers and tooltips.
    std::string x_label; ///< the name of the x axis.
    std::string y_label; ///< the name of the y axis.
    double x_min = 0;    ///< the x axis; x_max greater than x_min.
    double x_max = 1;
    std::vector<FigurePanel> panels;
};

/** The pixel geometry of one panel of a row and of the space around it. A plain value type. */
struct PanelRow {
    double panel_width;
    double panel_height;
    double margin_left;   ///< room for the y axis' ticks and label.
    double margin_bottom; ///< room for the x axis' ticks and label.
    double margin_right = 12;
    double margin_top = 22; ///< room for the panel's title.
    double gap = 18;        ///< between one panel's right margin and the next one's left margin.

    /// The figure's width for `count` panels; the margins alone when there are none.
    constexpr double width(std::size_t count) const {
        return count == 0 ? margin_left + margin_right
                          : static_cast<double>(count) * (margin_left + panel_width + margin_right) +
                                static_cast<double>(count - 1) * gap;
    }

    /// The figure's height.
    constexpr double height() const { return margin_top + panel_height + margin_bottom; }

    /// The left edge of panel `p` of the row (0 for the first).
    constexpr double panel_left(std::size_t p) const {
        return margin_left + static_cast<double>(p) * (margin_left + panel_width + margin_right + gap);
    }
};

/**
 * Writes the opening <svg> element of a row of `count` panels laid out by `row`, with `caption` as
 * its title (escaped). The caller closes the element.
 */
inline void open_panel_row(std::ostringstream& svg, const PanelRow& row, std::size_t count,
                           const std::string& caption) {
    const double width = row.width(count);
    const double height = row.height();
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" width=\"" << format_fixed(width, 0)
        << "\" height=\"" << format_fixed(height, 0) << "\" viewBox=\"0 0 " << format_fixed(width, 0) << ' '
        << format_fixed(height, 0) << "\">\n<title>" << escape_html(caption) << "</title>\n";
}

} // namespace pairmend::report

#endif
