#include "internal/svg_plot.hpp"

#include "internal/html_text.hpp"
#include "internal/svg_panel_row.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>

namespace pairmend::report {

namespace {

// Wide, low panels: density curves need width more than height.
constexpr PanelRow kRow{/*panel_width=*/300, /*panel_height=*/140, /*margin_left=*/46, /*margin_bottom=*/36};

double finite_or_zero(double v) {
    return std::isfinite(v) ? v : 0.0;
}

/// The largest y value over all panels; 1 when there is nothing above zero, so the scale stays valid.
double shared_y_max(const SmallMultiples& figure) {
    double top = 0;
    for (const FigurePanel& panel : figure.panels) {
        for (const PanelSeries& series : panel.series) {
            for (const double y : series.values) {
                top = std::max(top, finite_or_zero(y));
            }
        }
    }
    return top > 0 ? top : 1.0;
}

void draw_panel(std::ostringstream& svg, const SmallMultiples& figure, const FigurePanel& panel, double left,
                double y_max, const std::vector<double>& x_ticks) {
    const double top = kRow.margin_top;
    const double bottom = top + kRow.panel_height;
    const double x_span = figure.x_max - figure.x_min;
    const auto x_pixel = [&](double x) { return left + (x - figure.x_min) / x_span * kRow.panel_width; };
    const auto y_pixel = [&](double y) { return bottom - finite_or_zero(y) / y_max * kRow.panel_height; };

    svg << "<text class=\"panel-title\" x=\"" << format_fixed(left + kRow.panel_width / 2) << "\" y=\""
        << format_fixed(top - 7) << "\" text-anchor=\"middle\">" << escape_html(panel.title) << "</text>\n";
    svg << "<rect x=\"" << format_fixed(left) << "\" y=\"" << format_fixed(top) << "\" width=\""
        << format_fixed(kRow.panel_width) << "\" height=\"" << format_fixed(kRow.panel_height)
        << "\" fill=\"#fcfcfc\" stroke=\"#bbb\"/>\n";

    for (const double tick : x_ticks) {
        const double x = x_pixel(tick);
        svg << "<line x1=\"" << format_fixed(x) << "\" y1=\"" << format_fixed(bottom) << "\" x2=\""
            << format_fixed(x) << "\" y2=\"" << format_fixed(bottom + 4) << "\" stroke=\"#666\"/>"
            << "<text class=\"tick\" x=\"" << format_fixed(x) << "\" y=\"" << format_fixed(bottom + 15)
            << "\" text-anchor=\"middle\">" << escape_html(format_number(tick, 3)) << "</text>\n";
    }
    svg << "<text class=\"axis-label\" x=\"" << format_fixed(left + kRow.panel_width / 2) << "\" y=\""
        << format_fixed(bottom + 30) << "\" text-anchor=\"middle\">" << escape_html(figure.x_label)
        << "</text>\n";

    for (const PanelSeries& series : panel.series) {
        if (series.values.size() < 2) {
            continue;
        }
        const double step = x_span / static_cast<double>(series.values.size() - 1);
        svg << "<polyline fill=\"none\" stroke-width=\"1.6\" stroke=\"" << escape_html(series.colour)
            << "\" points=\"";
        for (std::size_t i = 0; i < series.values.size(); ++i) {
            svg << (i == 0 ? "" : " ") << format_fixed(x_pixel(figure.x_min + step * static_cast<double>(i)))
                << ',' << format_fixed(y_pixel(series.values[i]));
        }
        svg << "\"><title>" << escape_html(series.label) << "</title></polyline>\n";
    }
}

} // namespace

std::string render_small_multiples(const SmallMultiples& figure) {
    const std::size_t count = figure.panels.size();
    std::ostringstream svg;
    open_panel_row(svg, kRow, count, figure.caption);
    if (count == 0 || !(figure.x_max > figure.x_min) || !std::isfinite(figure.x_max - figure.x_min)) {
        svg << "</svg>\n";
        return svg.str();
    }

    const double y_max = shared_y_max(figure);
    const std::vector<double> x_ticks = nice_ticks(figure.x_min, figure.x_max, 5);
    for (std::size_t p = 0; p < count; ++p) {
        const double left = kRow.panel_left(p);
        draw_panel(svg, figure, figure.panels[p], left, y_max, x_ticks);

        // The y scale is shared, so its labels go next to every panel to keep each one readable alone.
        const double bottom = kRow.margin_top + kRow.panel_height;
        svg << "<text class=\"tick\" x=\"" << format_fixed(left - 4) << "\" y=\"" << format_fixed(bottom)
            << "\" text-anchor=\"end\">0</text>"
            << "<text class=\"tick\" x=\"" << format_fixed(left - 4) << "\" y=\""
            << format_fixed(kRow.margin_top + 8) << "\" text-anchor=\"end\">"
            << escape_html(format_number(y_max, 2)) << "</text>"
            << "<text class=\"axis-label\" transform=\"translate(" << format_fixed(left - 30) << ','
            << format_fixed(kRow.margin_top + kRow.panel_height / 2)
            << ") rotate(-90)\" text-anchor=\"middle\">" << escape_html(figure.y_label) << "</text>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

std::string batch_colour(std::size_t rank) {
    // Okabe-Ito colours (yellow darkened so that it shows on white), then golden-angle hues.
    static const std::array<const char*, 8> fixed = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                                     "#E69F00", "#56B4E9", "#555555", "#A89400"};
    if (rank < fixed.size()) {
        return fixed[rank];
    }
    const double hue = std::fmod(static_cast<double>(rank - fixed.size()) * 137.507764 + 20.0, 360.0);
    return "hsl(" + format_fixed(hue, 0) + ",65%,40%)";
}

std::vector<double> nice_ticks(double lower, double upper, int target_count) {
    std::vector<double> ticks;
    if (!(upper > lower) || !std::isfinite(upper - lower)) {
        return ticks;
    }
    const double raw = (upper - lower) / std::max(target_count - 1, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = magnitude;
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * magnitude;
        if (step >= raw) {
            break;
        }
    }
    const double first = std::ceil(lower / step);
    for (double k = first; k * step <= upper + step * 1e-9; k += 1.0) {
        // Multiplying the integer count avoids the drift of repeated addition; +0.0 turns -0 into 0.
        ticks.push_back(k * step + 0.0);
    }
    return ticks;
}

} // namespace pairmend::report
