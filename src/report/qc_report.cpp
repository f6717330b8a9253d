#include "pairmend/report/qc_report.hpp"

#include "internal/html_text.hpp"
#include "internal/marker_pair_figure.hpp"
#include "internal/svg_plot.hpp"
#include "internal/svg_scatter.hpp"
#include "pairmend/output_transaction.hpp"
#include "pairmend/report/condition_figures.hpp"
#include "pairmend/report/qc_json.hpp"
#include "pairmend/report/qc_statistics.hpp"
#include "pairmend/report/qc_summary.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pairmend::report {

namespace {

constexpr const char* kStyle = R"css(
body { font-family: "Helvetica Neue", Arial, sans-serif; color: #222; margin: 24px auto; max-width: 1240px; padding: 0 16px; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.25em; border-bottom: 1px solid #ccc; padding-bottom: 3px; margin-top: 1.8em; }
h3 { font-size: 1.05em; margin: 1.2em 0 0.4em; }
.subtitle { color: #555; margin-top: 0; }
table { border-collapse: collapse; margin: 0.4em 0 1em; font-size: 0.92em; }
th, td { border: 1px solid #d4d4d4; padding: 3px 9px; text-align: left; vertical-align: top; }
th { background: #f1f1f1; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
code { font-size: 0.95em; word-break: break-all; }
.warning { background: #fff4e5; border: 1px solid #e6a23c; border-left: 6px solid #e6a23c; padding: 8px 12px; margin: 1em 0; }
.warning p { margin: 0.3em 0; }
tr.few-pairs td { background: #fff4e5; }
td.better { background: #dff3e2; color: #14591f; }
td.worse { background: #fbe0e0; color: #8a1414; }
.swatch { display: inline-block; width: 12px; height: 12px; border-radius: 2px; margin-right: 6px; vertical-align: -1px; }
.legend span.item { margin-right: 16px; white-space: nowrap; }
.parameter { margin-bottom: 2em; }
.figure-row { display: flex; flex-wrap: wrap; gap: 18px; align-items: flex-start; }
.table-row { display: flex; flex-wrap: wrap; column-gap: 36px; align-items: flex-start; }
svg .panel-title { font-size: 12px; font-weight: bold; fill: #333; }
svg .tick { font-size: 10px; fill: #555; }
svg .axis-label { font-size: 11px; fill: #333; }
.note { color: #555; font-size: 0.9em; }
tr.near-floor td { background: #fff4e5; }
tr.report-part td:first-child { padding-left: 22px; color: #444; }
)css";

void swatch(std::ostringstream& html, const BatchSummary& batch) {
    html << "<span class=\"swatch\" style=\"background:" << escape_html(batch.colour) << "\"></span>";
}

const BatchSummary* find_batch(const QcSummary& summary, int label) {
    for (const BatchSummary& batch : summary.batches) {
        if (batch.label == label) {
            return &batch;
        }
    }
    return nullptr;
}

std::string percent(double part, double whole) {
    if (!(whole > 0)) {
        return "n/a";
    }
    return format_number(100.0 * part / whole, 3) + "%";
}

/// A table cell for the change of a distance: green when it fell, red when it rose.
void change_cell(std::ostringstream& html, double before, double after) {
    const double delta = after - before;
    if (!std::isfinite(delta)) {
        html << "<td class=\"num change\">n/a</td>";
        return;
    }
    const char* css = delta < 0 ? "better" : (delta > 0 ? "worse" : "same");
    // The arrow repeats the colour's message for readers who cannot tell red from green.
    const char* arrow = delta < 0 ? "\xE2\x96\xBC " : (delta > 0 ? "\xE2\x96\xB2 " : "");
    html << "<td class=\"num change " << css << "\">" << arrow << (delta > 0 ? "+" : "")
         << escape_html(format_number(delta, 3));
    if (before > 0) {
        html << " (" << (delta > 0 ? "+" : "") << escape_html(format_number(100.0 * delta / before, 3))
             << "%)";
    }
    html << "</td>";
}

void write_warnings(std::ostringstream& html, const QcSummary& summary, const QcReportOptions& options) {
    std::ostringstream items;
    for (const MergeStepSummary& step : summary.merge_steps) {
        if (!step.few_pairs) {
            continue;
        }
        items << "<p class=\"few-pairs-warning\" data-batch=\"" << step.label
              << "\"><strong>Few mutual pairs:</strong> "
              << "batch " << step.label << " was merged with only " << step.pairs << " mutual pairs for its "
              << step.events << " events (" << percent(step.pairs, static_cast<double>(step.events))
              << ", below " << escape_html(format_number(100.0 * options.few_pairs_fraction, 3))
              << "%). It probably shares few cell populations with the batches merged before it, so its "
              << "correction rests on little evidence. Check its curves below before trusting its corrected "
                 "values.</p>\n";
    }
    for (const BatchSummary& batch : summary.batches) {
        if (!batch.near_floor) {
            continue;
        }
        items
            << "<p class=\"near-floor-warning\" data-batch=\"" << batch.label
            << "\"><strong>Movement close to the noise floor:</strong> batch " << batch.label << " was moved "
            << escape_html(format_number(batch.displacement, 3)) << " standard deviations, only "
            << escape_html(format_number(batch.displacement_to_floor, 3))
            << " times as far as the correction moves half of batch " << summary.noise_floor.label
            << " onto its other half (" << escape_html(format_number(summary.noise_floor.displacement, 3))
            << "), although the two halves differ only by chance. Most of its movement is what the method "
               "does to a batch with no batch effect, not a correction of one. A larger number of neighbours "
               "lowers this floor.</p>\n";
    }
    std::vector<std::string> further_apart;
    for (const ParameterSummary& parameter : summary.parameters) {
        if (parameter.further_apart) {
            further_apart.push_back(escape_html(parameter.name));
        }
    }
    if (!further_apart.empty()) {
        items
            << "<p class=\"further-apart-warning\"><strong>Batches further apart after correction:</strong> "
            << "in " << (further_apart.size() == 1 ? "the parameter " : "the parameters ");
        for (std::size_t i = 0; i < further_apart.size(); ++i) {
            items << (i == 0 ? "" : i + 1 == further_apart.size() ? " and " : ", ") << further_apart[i];
        }
        items << " the batches end further apart than they started (the mean distance between batches "
                 "grew; see the table of distances below). The correction made "
              << (further_apart.size() == 1 ? "it" : "them")
              << " worse: check that the batches hold the same cell populations, or leave "
              << (further_apart.size() == 1 ? "it" : "them") << " out of the correction.</p>\n";
    }
    for (const ParameterSummary& parameter : summary.parameters) {
        if (parameter.non_finite == 0) {
            continue;
        }
        items << "<p class=\"non-finite-warning\"><strong>Values that are not numbers:</strong> "
              << parameter.non_finite << " sampled values of " << escape_html(parameter.name)
              << " (before and after correction together) are infinite or not a number and are left out of "
                 "its curves and distances.</p>\n";
    }
    const std::string text = items.str();
    if (!text.empty()) {
        html << "<div class=\"warning\" id=\"warnings\">\n" << text << "</div>\n";
    }
}

void write_run(std::ostringstream& html, const QcReportInput& input, const QcSummary& summary) {
    html << "<section id=\"run\">\n<h2>Run</h2>\n<table>\n"
         << "<tr><th>Input file</th><td><code>" << escape_html(input.input_file) << "</code></td></tr>\n"
         << "<tr><th>Run ID</th><td>" << escape_html(input.run_id) << "</td></tr>\n"
         << "<tr><th>Events</th><td class=\"num\" id=\"total-events\">" << input.nobs << "</td></tr>\n"
         << "<tr><th>Batches</th><td class=\"num\">" << summary.batches.size() << "</td></tr>\n"
         << "<tr><th>Parameters</th><td>";
    for (int d = 0; d < input.ndim; ++d) {
        html << (d == 0 ? "" : ", ") << escape_html(parameter_display_name(input, d));
    }
    html << "</td></tr>\n</table>\n";

    // The three small tables sit side by side, so that the figures start within the first screen.
    html << "<div class=\"table-row\">\n<div>\n<h3>Events per batch</h3>\n<table id=\"batches\">\n"
         << "<tr><th>Batch label</th><th class=\"num\">Events</th><th class=\"num\">Events in the "
            "curves</th></tr>\n";
    for (const BatchSummary& batch : summary.batches) {
        html << "<tr data-batch=\"" << batch.label << "\"><td>";
        swatch(html, batch);
        html << batch.label << "</td><td class=\"num events\">" << batch.events << "</td><td class=\"num\">"
             << batch.sampled << "</td></tr>\n";
    }
    html << "</table>\n</div>\n";

    html << "<div>\n<h3>Settings</h3>\n<table id=\"settings\">\n<tr><th>Setting</th><th>Value</th></tr>\n";
    for (const auto& setting : input.settings) {
        html << "<tr><td>" << escape_html(setting.first) << "</td><td>" << escape_html(setting.second)
             << "</td></tr>\n";
    }
    html << "</table>\n</div>\n";

    html << "<div>\n<h3>Time per phase</h3>\n<table id=\"phases\">\n<tr><th>Phase</th><th "
            "class=\"num\">Seconds</th></tr>\n";
    double total = 0;
    for (const auto& phase : input.phase_seconds) {
        total += phase.second;
        html << "<tr><td>" << escape_html(phase.first) << "</td><td class=\"num\">"
             << escape_html(format_number(phase.second, 3)) << "</td></tr>\n";
    }
    if (!summary.seconds.empty()) {
        double report_total = 0;
        for (const auto& part : summary.seconds) {
            report_total += part.second;
        }
        total += report_total;
        html << "<tr><td>Quality-control report</td><td class=\"num\">"
             << escape_html(format_number(report_total, 3)) << "</td></tr>\n";
        for (const auto& part : summary.seconds) {
            html << "<tr class=\"report-part\"><td>" << escape_html(part.first) << "</td><td class=\"num\">"
                 << escape_html(format_number(part.second, 3)) << "</td></tr>\n";
        }
    }
    html << "<tr><th>Total</th><th class=\"num\">" << escape_html(format_number(total, 3)) << "</th></tr>\n"
         << "</table>\n</div>\n</div>\n</section>\n";
}

void write_merge_order(std::ostringstream& html, const QcSummary& summary) {
    html << "<section id=\"merge-order\">\n<h2>Merge order</h2>\n";
    if (summary.merge_steps.empty()) {
        html << "<p class=\"note\">The merge order of this run is not known.</p>\n</section>\n";
        return;
    }
    html
        << "<p class=\"note\">Batches joined the reference in this order. Each step searched for mutual "
           "nearest neighbours between the reference built so far and the next batch; few pairs compared "
           "with the batch's size mean little overlap with the reference.</p>\n"
        << "<table id=\"merge-steps\">\n<tr><th class=\"num\">Step</th><th>Batch label</th><th class=\"num\">"
           "Events</th><th class=\"num\">Mutual pairs</th><th class=\"num\">Pairs per event</th></tr>\n";
    for (std::size_t s = 0; s < summary.merge_steps.size(); ++s) {
        const MergeStepSummary& step = summary.merge_steps[s];
        html << "<tr data-batch=\"" << step.label << "\"" << (step.few_pairs ? " class=\"few-pairs\"" : "")
             << "><td class=\"num\">" << s + 1 << "</td><td>";
        if (const BatchSummary* batch = find_batch(summary, step.label)) {
            swatch(html, *batch);
        }
        html << step.label << "</td><td class=\"num\">" << step.events << "</td>";
        if (step.is_reference) {
            html << "<td class=\"num pairs\">first reference</td><td class=\"num\"></td>";
        } else {
            html << "<td class=\"num pairs\">" << step.pairs << "</td><td class=\"num\">"
                 << percent(step.pairs, static_cast<double>(step.events))
                 << (step.few_pairs ? " \xE2\x9A\xA0" : "") << "</td>";
        }
        html << "</tr>\n";
    }
    html << "</table>\n</section>\n";
}

// The design and the conditions' figures, for a run with conditions only.
void write_conditions(std::ostringstream& html, const QcReportInput& input) {
    if (input.conditions == nullptr || input.condition_names.empty()) {
        return;
    }
    const ConditionFigures figures = condition_figures(input);
    html << "<section id=\"conditions\">\n<h2>Conditions</h2>\n"
         << "<p class=\"note\">Each merge learnt only from the events of the conditions that both the batch "
            "and the reference held. Events per batch and condition:</p>\n<table "
            "id=\"design\">\n<tr><th>Batch "
            "label</th>";
    for (const std::string& name : figures.conditions) {
        html << "<th class=\"num\">" << escape_html(name) << "</th>";
    }
    html << "</tr>\n";
    for (std::size_t b = 0; b < figures.batches.size(); ++b) {
        html << "<tr><td>" << figures.batches[b] << "</td>";
        for (const std::size_t count : figures.events[b]) {
            html << "<td class=\"num\">" << count << "</td>";
        }
        html << "</tr>\n";
    }
    html << "</table>\n";
    if (!figures.shared.empty()) {
        html << "<p class=\"note\">Per condition held by more than one batch, the earth mover's distance "
                "between its batches, averaged over parameters and pairs of batches:</p>\n"
             << "<table id=\"condition-distances\">\n<tr><th>Condition</th><th>Batches</th><th class=\"num\">"
                "Before</th><th class=\"num\">After</th></tr>\n";
        for (const ConditionDistance& condition : figures.shared) {
            html << "<tr" << (condition.moved_apart ? " class=\"few-pairs\"" : "") << "><td>"
                 << escape_html(condition.name) << "</td><td>";
            for (std::size_t b = 0; b < condition.batches.size(); ++b) {
                html << (b == 0 ? "" : ", ") << condition.batches[b];
            }
            html << "</td><td class=\"num\">" << format_fixed(condition.emd_before, 3)
                 << "</td><td class=\"num\">" << format_fixed(condition.emd_after, 3)
                 << (condition.moved_apart ? " \xE2\x9A\xA0 its batches moved apart" : "") << "</td></tr>\n";
        }
        html << "</table>\n";
    }
    if (!figures.biology.empty()) {
        html << "<p class=\"note\">Biology kept in the batches holding several conditions: the distances "
                "between the conditions' medians after over before (1: kept).</p>\n"
             << "<table id=\"biology-kept\">\n<tr><th>Batch label</th><th class=\"num\">Kept</th></tr>\n";
        for (const BiologyKept& batch : figures.biology) {
            html << "<tr><td>" << batch.batch << "</td><td class=\"num\">" << format_fixed(batch.kept, 3)
                 << "</td></tr>\n";
        }
        html << "</table>\n";
    }
    html << "</section>\n";
}

void write_overview(std::ostringstream& html, const QcSummary& summary) {
    html << "<section id=\"overview\">\n<h2>Distance between batches, per parameter</h2>\n"
         << "<p class=\"note\">Mean over the batches of the earth mover's distance between a batch and all "
            "other "
            "batches pooled, in the parameter's own units. A good correction makes it smaller; green marks a "
            "reduction, red an increase.</p>\n"
         << "<table id=\"overview-table\">\n<tr><th>Parameter</th><th class=\"num\">Before</th><th "
            "class=\"num\">"
            "After</th><th class=\"num\">Change</th></tr>\n";
    for (std::size_t p = 0; p < summary.parameters.size(); ++p) {
        const ParameterSummary& parameter = summary.parameters[p];
        const double before = finite_mean(parameter.distance_before);
        const double after = finite_mean(parameter.distance_after);
        html << "<tr><td><a href=\"#parameter-" << p + 1 << "\">" << escape_html(parameter.name)
             << "</a></td><td class=\"num\">" << escape_html(format_number(before, 4))
             << "</td><td class=\"num\">" << escape_html(format_number(after, 4)) << "</td>";
        change_cell(html, before, after);
        html << "</tr>\n";
    }
    html << "</table>\n</section>\n";
}

void write_legend(std::ostringstream& html, const QcSummary& summary);

/// A figure of the evidence table: the number, or a dash with a tooltip when it does not apply.
std::string evidence_cell(const char* css, double value, const char* missing) {
    if (!std::isfinite(value)) {
        return std::string("<td class=\"num ") + css + "\" title=\"" + missing + "\">&ndash;</td>";
    }
    return std::string("<td class=\"num ") + css + "\">" + escape_html(format_number(value, 3)) + "</td>";
}

void write_evidence(std::ostringstream& html, const QcSummary& summary) {
    const NoiseFloorSummary& floor = summary.noise_floor;
    html << "<section id=\"evidence\">\n<h2>Is the correction real?</h2>\n"
         << "<p class=\"note\"><strong>Mixing</strong>: for every event, the share of its "
         << summary.mixing_neighbours
         << " nearest neighbours (all parameters) that belong to another batch, divided by the share "
            "expected if batch labels were random; 1.0 means as mixed as random labels, values near 0 mean "
            "the batches stay apart, and values above 1 mean more neighbours from other batches than random "
            "labels would give. Batches of different composition (different shares of the cell "
            "populations) should not reach 1.0: a correction that forces them to has erased real biology. "
            "<strong>Structure kept</strong>: for every event of a corrected batch, the overlap (shared over "
            "combined) of its "
         << summary.structure_neighbours
         << " nearest neighbours within its own batch before and after correction; 1.0 means every "
            "neighbourhood is unchanged, as after a pure shift, and low values mean populations were pulled "
            "apart or mixed. <strong>Moved</strong>: the root mean square movement of the batch's events, in "
            "standard deviations of the first reference batch (the mean over parameters); "
            "<strong>&times; noise floor</strong>: that movement divided by the noise floor below.</p>\n"
         << "<table id=\"evidence-table\">\n<tr><th>Batch</th><th class=\"num\">Mixing before</th><th "
            "class=\"num\">Mixing after</th><th class=\"num\">Structure kept</th><th class=\"num\">Moved</th>"
            "<th class=\"num\">&times; noise floor</th></tr>\n";
    for (const BatchSummary& batch : summary.batches) {
        html << "<tr data-batch=\"" << batch.label << "\""
             << (batch.near_floor ? " class=\"near-floor\"" : "") << "><td>";
        swatch(html, batch);
        html << batch.label << (batch.is_reference ? " (first reference)" : "") << "</td>"
             << evidence_cell("mixing-before", batch.mixing_before, "no other batch to mix with")
             << evidence_cell("mixing-after", batch.mixing_after, "no other batch to mix with")
             << evidence_cell("structure-kept", batch.structure_kept,
                              batch.is_reference ? "the first reference is not moved" : "too few events")
             << evidence_cell("displacement", batch.displacement, "no unit to measure movements in")
             << evidence_cell("to-floor", batch.displacement_to_floor,
                              batch.is_reference ? "the first reference is not moved" : "no noise floor");
        html << "</tr>\n";
    }
    html << "<tr><th>All batches</th>"
         << evidence_cell("mixing-before", summary.mixing_before, "fewer than two batches")
         << evidence_cell("mixing-after", summary.mixing_after, "fewer than two batches")
         << "<td></td><td></td><td></td></tr>\n</table>\n";

    html << "<h3>Noise floor</h3>\n<p id=\"noise-floor\">";
    if (floor.computed) {
        html
            << "To see how far the method moves events that carry no batch effect at all, the sampled events "
               "of "
               "the first reference batch "
            << floor.label << " were split at random into two halves (" << floor.reference << " and "
            << floor.moved
            << " events), and one half was corrected onto the other with this run's settings. The corrected "
               "half moved <strong class=\"floor\">"
            << escape_html(format_number(floor.displacement, 3))
            << "</strong> standard deviations. A batch whose movement is not clearly larger (below "
            << escape_html(format_number(summary.floor_warning_ratio, 3))
            << " times this floor, highlighted above) was moved mostly by the method itself. A larger number "
               "of neighbours lowers the floor.";
    } else {
        html << escape_html(floor.reason);
    }
    html << "</p>\n</section>\n";
}

// Every figure compares the events before and after correction, side by side.
template <typename Figure>
void add_before_and_after_panels(Figure& figure) {
    figure.panels.resize(2);
    figure.panels[0].title = "Before correction";
    figure.panels[1].title = "After correction";
}

void write_view(std::ostringstream& html, const QcSummary& summary) {
    html << "<section id=\"view\">\n<h2>All parameters at once: the first two principal components</h2>\n";
    if (summary.parameters.size() < 2) {
        html << "<p class=\"note\">A 2-D view needs at least two parameters.</p>\n</section>\n";
        return;
    }
    if (summary.view.batch.empty()) {
        html << "<p class=\"note\">There are no events with finite values to show.</p>\n</section>\n";
        return;
    }
    const auto axis_name = [&summary](std::size_t c) {
        std::string name = "PC" + std::to_string(c + 1);
        if (c < summary.view.variance_share.size()) {
            name += " (" + format_number(100.0 * summary.view.variance_share[c], 3) + "% of the variance)";
        }
        return name;
    };
    html << "<p class=\"note\">The two directions along which the pooled uncorrected events vary most, "
            "computed once and used for both panels, so that the panels share their axes. Each dot is an "
            "event; after a good correction the colours overlap within every population while the "
            "populations stay apart.</p>\n";
    write_legend(html, summary);

    ScatterFigure figure;
    figure.caption =
        "Events of every batch on the first two principal components, before and after correction";
    figure.x_label = axis_name(0);
    figure.y_label = axis_name(1);
    figure.x_min = summary.view.x_min;
    figure.x_max = summary.view.x_max;
    figure.y_min = summary.view.y_min;
    figure.y_max = summary.view.y_max;
    add_before_and_after_panels(figure);
    for (std::size_t b = 0; b < summary.batches.size(); ++b) {
        const BatchSummary& batch = summary.batches[b];
        PanelSeries before{batch.colour, "batch " + std::to_string(batch.label), {}};
        PanelSeries after = before;
        for (std::size_t p = 0; p < summary.view.batch.size(); ++p) {
            if (summary.view.batch[p] != static_cast<int>(b)) {
                continue;
            }
            before.values.push_back(summary.view.before[2 * p]);
            before.values.push_back(summary.view.before[2 * p + 1]);
            after.values.push_back(summary.view.after[2 * p]);
            after.values.push_back(summary.view.after[2 * p + 1]);
        }
        figure.panels[0].series.push_back(std::move(before));
        figure.panels[1].series.push_back(std::move(after));
    }
    html << "<div class=\"figure-row\">\n" << render_scatter(figure) << "</div>\n</section>\n";
}

void write_legend(std::ostringstream& html, const QcSummary& summary) {
    html << "<p class=\"legend\">";
    for (const BatchSummary& batch : summary.batches) {
        html << "<span class=\"item\">";
        swatch(html, batch);
        html << "batch " << batch.label << "</span>";
    }
    html << "</p>\n";
}

void write_parameter(std::ostringstream& html, const QcSummary& summary, std::size_t index) {
    const ParameterSummary& parameter = summary.parameters[index];
    html << "<section class=\"parameter\" id=\"parameter-" << index + 1 << "\" data-parameter=\"" << index + 1
         << "\">\n<h3>" << escape_html(parameter.name) << "</h3>\n";
    write_legend(html, summary);

    SmallMultiples figure;
    figure.caption = "Density of " + parameter.name + " per batch, before and after correction";
    figure.x_label = parameter.name;
    figure.y_label = "density";
    figure.x_min = parameter.grid.lower;
    figure.x_max = parameter.grid.upper;
    add_before_and_after_panels(figure);
    for (std::size_t b = 0; b < summary.batches.size(); ++b) {
        const BatchSummary& batch = summary.batches[b];
        const std::string label = "batch " + std::to_string(batch.label);
        figure.panels[0].series.push_back({batch.colour, label, parameter.density_before[b]});
        figure.panels[1].series.push_back({batch.colour, label, parameter.density_after[b]});
    }

    html << "<div class=\"figure-row\">\n" << render_small_multiples(figure);
    html << "<table class=\"distances\">\n<tr><th>Batch</th><th class=\"num\">Distance before</th>"
            "<th class=\"num\">Distance after</th><th class=\"num\">Change</th></tr>\n";
    for (std::size_t b = 0; b < summary.batches.size(); ++b) {
        const BatchSummary& batch = summary.batches[b];
        const double before = parameter.distance_before[b];
        const double after = parameter.distance_after[b];
        html << "<tr data-batch=\"" << batch.label << "\"><td>";
        swatch(html, batch);
        html << batch.label << "</td><td class=\"num before\">" << escape_html(format_number(before, 4))
             << "</td><td class=\"num after\">" << escape_html(format_number(after, 4)) << "</td>";
        change_cell(html, before, after);
        html << "</tr>\n";
    }
    html << "</table>\n</div>\n</section>\n";
}

void write_method(std::ostringstream& html, const QcSummary& summary, const QcReportOptions& options) {
    html << "<section id=\"method\">\n<h2>How these figures were made</h2>\n<p class=\"note\">"
         << "Curves are Gaussian kernel density estimates (Silverman's bandwidth per batch) on a fixed grid "
            "spanning the central 99.8% of the parameter's values before and after correction; both panels "
            "of a parameter share their axes. Distances are one-dimensional earth mover's (Wasserstein-1) "
            "distances between the empirical distribution of a batch and that of all other batches pooled. ";
    bool subsampled = false;
    for (const BatchSummary& batch : summary.batches) {
        subsampled = subsampled || batch.sampled < batch.events;
    }
    if (subsampled) {
        html << "Curves and distances are computed from a random subsample of at most "
             << options.max_events_per_batch << " events per batch (" << summary.sampled_events
             << " events in all, fixed seed " << options.seed << "); event counts refer to all events.";
    } else {
        html << "Curves and distances are computed from all events.";
    }
    html << " Neighbourhood mixing, structure kept, movements and the 2-D view use the same events ("
         << summary.neighbour_events
         << " with finite values) and exact nearest-neighbour searches over all parameters; the 2-D view "
            "shows an evenly spread selection of them. Every figure of this report is also written, at full "
            "precision, to a JSON file next to it (same name, extension .json).";
    html << "</p>\n</section>\n";
}

} // namespace

std::string render_qc_report(const QcReportInput& input, const QcReportOptions& options) {
    return render_qc_report(input, summarize_run(input, options), options);
}

std::string render_qc_report(const QcReportInput& input, const QcSummary& summary,
                             const QcReportOptions& options) {
    // Every per-batch and per-parameter loop below indexes the summary's vectors by the input's shape.
    bool consistent = summary.parameters.size() == static_cast<std::size_t>(input.ndim < 0 ? 0 : input.ndim);
    for (const ParameterSummary& parameter : summary.parameters) {
        consistent = consistent && parameter.density_before.size() == summary.batches.size() &&
                     parameter.density_after.size() == summary.batches.size() &&
                     parameter.distance_before.size() == summary.batches.size() &&
                     parameter.distance_after.size() == summary.batches.size();
    }
    if (!consistent) {
        throw std::invalid_argument("The quality-control summary does not describe this run: it was computed "
                                    "from another number of parameters or batches.");
    }

    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         << "<title>Batch-correction report: " << escape_html(input.run_id) << "</title>\n"
         << "<style>" << kStyle << "</style>\n</head>\n<body>\n"
         << "<h1>Batch-correction quality-control report</h1>\n"
         << "<p class=\"subtitle\">Run <strong>" << escape_html(input.run_id) << "</strong> &middot; "
         << input.nobs << " events in " << summary.batches.size() << " batches &middot; " << input.ndim
         << " parameters</p>\n";
    write_warnings(html, summary, options);
    write_run(html, input, summary);
    write_merge_order(html, summary);
    write_conditions(html, input);
    write_evidence(html, summary);
    write_view(html, summary);
    write_overview(html, summary);
    write_marker_pair(html, summary);
    html << "<section id=\"parameters\">\n<h2>Parameters before and after correction</h2>\n";
    for (std::size_t p = 0; p < summary.parameters.size(); ++p) {
        write_parameter(html, summary, p);
    }
    html << "</section>\n";
    write_method(html, summary, options);
    html << "</body>\n</html>\n";
    return html.str();
}

void write_qc_report(const std::string& path, const QcReportInput& input, const QcReportOptions& options) {
    // Build first, so that a fault in the input never leaves a file behind.
    const QcSummary summary = summarize_run(input, options);
    save_qc_report(path, render_qc_report(input, summary, options), render_qc_json(input, summary));
}

namespace {

[[noreturn]] void unable_to_write(const std::string& path) {
    throw std::runtime_error("Unable to write the quality-control report to " + path);
}

/// Writes `text` to `path` completely or throws; a full disk often shows only when the buffer is
/// flushed, so the state is checked after closing.
void write_text_file(const std::string& path, const std::string& text, const std::string& shown_path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
    }
    if (!out) {
        unable_to_write(shown_path);
    }
}

/// Moves the report's files into place, reporting a failure as every other failure to write it.
void commit_report(OutputTransaction& files, const std::string& path) {
    try {
        files.commit();
    } catch (const std::runtime_error&) {
        unable_to_write(path);
    }
}

} // namespace

void save_qc_report(const std::string& path, const std::string& html) {
    OutputTransaction files;
    write_text_file(files.add(path), html, path);
    commit_report(files, path);
}

void save_qc_report(const std::string& path, const std::string& html, const std::string& json) {
    // Both files are complete under temporary names before either takes its final name; the
    // figures go first, so that a report is never without them.
    OutputTransaction files;
    const std::string json_path = qc_json_path(path);
    const std::string json_file = files.add(json_path);
    const std::string html_file = files.add(path);
    write_text_file(html_file, html, path);
    write_text_file(json_file, json, json_path);
    commit_report(files, path);
}

} // namespace pairmend::report
