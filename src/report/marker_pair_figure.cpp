#include "internal/marker_pair_figure.hpp"

#include "internal/html_text.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::report {

namespace {

// 20 cells of 8 pixels: whole pixels keep the drawing small.
constexpr int kPanelPixels = 160;
constexpr int kMargin = 4;

// One heat map: every cell with events drawn in the batch's colour, darker where more of the batch's
// events are; `peak` is the batch's largest share, before or after, so both panels share a scale.
void write_heat_map(std::ostringstream& html, const std::vector<double>& shares, std::size_t bins,
                    double peak, const std::string& colour, const std::string& title) {
    const int size = kPanelPixels + 2 * kMargin;
    const int cell = kPanelPixels / static_cast<int>(bins);
    html << "<svg class=\"marker-pair-panel\" width=\"" << size << "\" height=\"" << size
         << "\" viewBox=\"0 0 " << size << " " << size << "\" role=\"img\"><title>" << escape_html(title)
         << "</title>"
         << "<rect x=\"" << kMargin << "\" y=\"" << kMargin << "\" width=\"" << kPanelPixels << "\" height=\""
         << kPanelPixels << "\" fill=\"none\" stroke=\"#999\"/><g fill=\"" << colour << "\">";
    for (std::size_t row = 0; row < bins; ++row) {
        for (std::size_t column = 0; column < bins; ++column) {
            const double share = shares[row * bins + column];
            if (share <= 0 || peak <= 0) {
                continue;
            }
            // Rows grow upwards: y increases with the row.
            html << "<rect x=\"" << kMargin + cell * static_cast<int>(column) << "\" y=\""
                 << kMargin + cell * static_cast<int>(bins - 1 - row) << "\" width=\"" << cell
                 << "\" height=\"" << cell << "\" fill-opacity=\""
                 << format_number(0.1 + 0.9 * share / peak, 2) << "\"/>";
        }
    }
    html << "</g>";
    html << "</svg>";
}

} // namespace

void write_marker_pair(std::ostringstream& html, const QcSummary& summary) {
    const MarkerPairSummary& pair = summary.marker_pair;
    if (!pair.shown) {
        return;
    }
    const std::string x_name = summary.parameters[static_cast<std::size_t>(pair.first)].name;
    const std::string y_name = summary.parameters[static_cast<std::size_t>(pair.second)].name;
    html
        << "<section id=\"marker-pair\">\n<h2>The two parameters with the largest batch effect</h2>\n"
        << "<p class=\"note\">Batch effects are often two-dimensional. Per batch, the density of its sampled "
           "events in "
        << escape_html(x_name) << " (across, " << escape_html(format_number(pair.x_min, 4)) << " to "
        << escape_html(format_number(pair.x_max, 4)) << ") and " << escape_html(y_name) << " (up, "
        << escape_html(format_number(pair.y_min, 4)) << " to " << escape_html(format_number(pair.y_max, 4))
        << "), the two parameters whose batches were furthest apart before correction; before on the left, "
           "after on the right, every panel on the same axes.</p>\n<table class=\"marker-pair\">\n"
        << "<tr><th>Batch</th><th>Before</th><th>After</th></tr>\n";
    for (std::size_t b = 0; b < summary.batches.size(); ++b) {
        const BatchSummary& batch = summary.batches[b];
        const double peak = std::max(*std::max_element(pair.before[b].begin(), pair.before[b].end()),
                                     *std::max_element(pair.after[b].begin(), pair.after[b].end()));
        const std::string name = "batch " + std::to_string(batch.label);
        html << "<tr><td>" << escape_html(name) << "</td><td>";
        write_heat_map(html, pair.before[b], pair.bins, peak, batch.colour, name + " before correction");
        html << "</td><td>";
        write_heat_map(html, pair.after[b], pair.bins, peak, batch.colour, name + " after correction");
        html << "</td></tr>\n";
    }
    html << "</table>\n</section>\n";
}

} // namespace pairmend::report
