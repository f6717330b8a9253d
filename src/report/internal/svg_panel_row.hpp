#ifndef PAIRMEND_REPORT_SVG_PANEL_ROW_HPP
#define PAIRMEND_REPORT_SVG_PANEL_ROW_HPP

// The layout both kinds of figure of the quality-control report share: a row of equal panels with
// margins around each, in an inline <svg> element. Pure functions, safe from any thread.

#include "internal/html_text.hpp"

#include <cstddef>
#include <sstream>
#include <string>

namespace pairmend::report {

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
