#include "internal/svg_scatter.hpp"

#include "internal/html_text.hpp"
#include "internal/svg_panel_row.hpp"
#include "internal/svg_plot.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace pairmend::report {

namespace {

// Square panels: both axes carry values of the same kind.
constexpr double kPanelSize = 320;
constexpr PanelRow kRow{kPanelSize, kPanelSize, /*margin_left=*/50, /*margin_bottom=*/38};
/// Every batch's points are drawn in this many rounds, each round of all batches after the last.
constexpr std::size_t kRounds = 4;

bool valid_range(double lower, double upper) {
    return upper > lower && std::isfinite(upper - lower);
}

void draw_panel(std::ostringstream& svg, const ScatterFigure& figure, const FigurePanel& panel, double left) {
    const double top = kRow.margin_top;
    const double bottom = top + kPanelSize;
    const auto x_pixel = [&](double x) {
        return left + (x - figure.x_min) / (figure.x_max - figure.x_min) * kPanelSize;
    };
    const auto y_pixel = [&](double y) {
        return bottom - (y - figure.y_min) / (figure.y_max - figure.y_min) * kPanelSize;
    };

    svg << "<text class=\"panel-title\" x=\"" << format_fixed(left + kPanelSize / 2) << "\" y=\""
        << format_fixed(top - 7) << "\" text-anchor=\"middle\">" << escape_html(panel.title) << "</text>\n"
        << "<rect x=\"" << format_fixed(left) << "\" y=\"" << format_fixed(top) << "\" width=\""
        << format_fixed(kPanelSize) << "\" height=\"" << format_fixed(kPanelSize)
        << "\" fill=\"#fcfcfc\" stroke=\"#bbb\"/>\n";
    for (const double tick : nice_ticks(figure.x_min, figure.x_max, 5)) {
        const double x = x_pixel(tick);
        svg << "<line x1=\"" << format_fixed(x) << "\" y1=\"" << format_fixed(bottom) << "\" x2=\""
            << format_fixed(x) << "\" y2=\"" << format_fixed(bottom + 4) << "\" stroke=\"#666\"/>"
            << "<text class=\"tick\" x=\"" << format_fixed(x) << "\" y=\"" << format_fixed(bottom + 15)
            << "\" text-anchor=\"middle\">" << escape_html(format_number(tick, 3)) << "</text>\n";
    }
    for (const double tick : nice_ticks(figure.y_min, figure.y_max, 5)) {
        const double y = y_pixel(tick);
        svg << "<line x1=\"" << format_fixed(left - 4) << "\" y1=\"" << format_fixed(y) << "\" x2=\""
            << format_fixed(left) << "\" y2=\"" << format_fixed(y) << "\" stroke=\"#666\"/>"
            << "<text class=\"tick\" x=\"" << format_fixed(left - 6) << "\" y=\"" << format_fixed(y + 3)
            << "\" text-anchor=\"end\">" << escape_html(format_number(tick, 3)) << "</text>\n";
    }
    svg << "<text class=\"axis-label\" x=\"" << format_fixed(left + kPanelSize / 2) << "\" y=\""
        << format_fixed(bottom + 32) << "\" text-anchor=\"middle\">" << escape_html(figure.x_label)
        << "</text>"
        << "<text class=\"axis-label\" transform=\"translate(" << format_fixed(left - 38) << ','
        << format_fixed(top + kPanelSize / 2) << ") rotate(-90)\" text-anchor=\"middle\">"
        << escape_html(figure.y_label) << "</text>\n";

    // Each point is a zero-length segment with a round cap: a dot in a dozen bytes.
    for (std::size_t round = 0; round < kRounds; ++round) {
        for (const PanelSeries& series : panel.series) {
            const std::size_t points = series.values.size() / 2;
            const std::size_t first = points * round / kRounds;
            const std::size_t last = points * (round + 1) / kRounds;
            std::ostringstream path;
            for (std::size_t p = first; p < last; ++p) {
                const double x = series.values[2 * p];
                const double y = series.values[2 * p + 1];
                if (!(x >= figure.x_min && x <= figure.x_max && y >= figure.y_min && y <= figure.y_max)) {
                    continue;
                }
                path << 'M' << format_fixed(x_pixel(x)) << ' ' << format_fixed(y_pixel(y)) << "h0";
            }
            const std::string d = path.str();
            if (d.empty()) {
                continue;
            }
            svg << "<path class=\"points\" fill=\"none\" stroke=\"" << escape_html(series.colour)
                << "\" stroke-width=\"2.6\" stroke-linecap=\"round\" stroke-opacity=\"0.55\" d=\"" << d
                << "\"><title>" << escape_html(series.label) << "</title></path>\n";
        }
    }
}

} // namespace

std::string render_scatter(const ScatterFigure& figure) {
    const std::size_t count = figure.panels.size();
    std::ostringstream svg;
    open_panel_row(svg, kRow, count, figure.caption);
    if (count > 0 && valid_range(figure.x_min, figure.x_max) && valid_range(figure.y_min, figure.y_max)) {
        for (std::size_t p = 0; p < count; ++p) {
            draw_panel(svg, figure, figure.panels[p], kRow.panel_left(p));
        }
    }
    svg << "</svg>\n";
    return svg.str();
}

} // namespace pairmend::report
