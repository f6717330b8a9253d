#include "pairmend/report/qc_summary.hpp"

#include "internal/marker_pair.hpp"
#include "internal/neighbourhood.hpp"
#include "internal/noise_floor.hpp"
#include "internal/principal_components.hpp"
#include "internal/svg_plot.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace pairmend::report {

namespace {

/// The share of extreme values left off each end of a density axis, so that rare outliers do not
/// squeeze the populations into a corner of the plot.
constexpr double kAxisTail = 0.001;
/// Extra room on each side of the axis, as a share of its length, so curves do not touch the frame.
constexpr double kAxisPadding = 0.05;
/// Cells per axis of the two-parameter densities: fine enough to show populations, small enough
/// to keep a report of eight batches under a few hundred kilobytes.
constexpr std::size_t kMarkerPairBins = 20;
constexpr std::size_t kMinGridPoints = 48;
constexpr std::size_t kMaxGridPoints = 200;

void validate(const QcReportInput& input) {
    if (input.ndim < 0) {
        throw std::invalid_argument("The quality-control report needs a parameter count of zero or more.");
    }
    if (input.nobs > 0 && input.batch_labels == nullptr) {
        throw std::invalid_argument("The quality-control report needs the batch label of every event.");
    }
    if (input.nobs > 0 && input.ndim > 0 && (input.uncorrected == nullptr || input.corrected == nullptr)) {
        throw std::invalid_argument(
            "The quality-control report needs both the uncorrected and the corrected event values.");
    }
    if (!input.parameter_names.empty() &&
        input.parameter_names.size() != static_cast<std::size_t>(input.ndim)) {
        std::ostringstream msg;
        msg << "The quality-control report was given " << input.parameter_names.size()
            << " parameter names for " << input.ndim << " parameters.";
        throw std::invalid_argument(msg.str());
    }
    const std::size_t expected_pairs = input.merge_order.empty() ? 0 : input.merge_order.size() - 1;
    if (input.num_pairs.size() != expected_pairs) {
        std::ostringstream msg;
        msg << "The quality-control report needs one pair count per merge step after the first ("
            << expected_pairs << "), but was given " << input.num_pairs.size() << ".";
        throw std::invalid_argument(msg.str());
    }
}

/// The shared x axis of one parameter, from the pooled values before and after correction.
DensityGrid make_axis(std::vector<double> pooled, std::size_t num_points) {
    DensityGrid grid;
    grid.num_points = num_points;
    if (pooled.empty()) {
        return grid;
    }
    const double lower = quantile(pooled, kAxisTail);
    const double upper = quantile(pooled, 1.0 - kAxisTail);
    const double span = upper - lower;
    double pad = kAxisPadding * span;
    if (!(span > 0) || !std::isfinite(span)) {
        // All values (nearly) equal: centre them on an axis of a sensible size.
        pad = std::max(std::abs(lower) * kAxisPadding, 0.5);
    }
    grid.lower = lower - pad;
    grid.upper = upper + pad;
    if (!(grid.upper > grid.lower) || !std::isfinite(grid.upper - grid.lower)) {
        grid.lower = 0;
        grid.upper = 1;
    }
    return grid;
}

/// Values of one parameter for the sampled events, split by batch, non-finite ones left out.
struct SampledColumn {
    std::vector<double> values; ///< pooled over batches.
    std::vector<int> batch;     ///< the dense batch of each pooled value.
    std::vector<std::vector<double>> by_batch;
    std::size_t non_finite = 0;
};

/// The rows of the sampled events, copied once so that the per-parameter passes read compact memory.
std::vector<double> gather_rows(const double* matrix, int ndim, const std::vector<std::size_t>& sample) {
    const auto width = static_cast<std::size_t>(ndim);
    std::vector<double> rows(sample.size() * width);
    for (std::size_t s = 0; s < sample.size(); ++s) {
        std::copy_n(matrix + sample[s] * width, width, rows.begin() + static_cast<std::ptrdiff_t>(s * width));
    }
    return rows;
}

SampledColumn sample_column(const std::vector<double>& rows, int ndim, int parameter,
                            const std::vector<int>& sample_batch, std::size_t num_batches) {
    SampledColumn column;
    column.by_batch.resize(num_batches);
    column.values.reserve(sample_batch.size());
    column.batch.reserve(sample_batch.size());
    const auto width = static_cast<std::size_t>(ndim);
    for (std::size_t s = 0; s < sample_batch.size(); ++s) {
        const double v = rows[s * width + static_cast<std::size_t>(parameter)];
        if (!std::isfinite(v)) {
            ++column.non_finite;
            continue;
        }
        column.values.push_back(v);
        column.batch.push_back(sample_batch[s]);
        column.by_batch[static_cast<std::size_t>(sample_batch[s])].push_back(v);
    }
    return column;
}

std::vector<std::vector<double>> densities(const SampledColumn& column, const DensityGrid& grid) {
    std::vector<std::vector<double>> result;
    result.reserve(column.by_batch.size());
    for (const std::vector<double>& values : column.by_batch) {
        result.push_back(kernel_density(values, grid, silverman_bandwidth(values)));
    }
    return result;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// The sampled events whose values are all finite before and after correction, which the
/// neighbour searches need: their rows before and after and their dense batch.
struct NeighbourSample {
    std::vector<double> before;
    std::vector<double> after;
    std::vector<int> batch;
};

NeighbourSample finite_events(const std::vector<double>& rows_before, const std::vector<double>& rows_after,
                              const std::vector<int>& sample_batch, int ndim) {
    const auto width = static_cast<std::size_t>(ndim);
    NeighbourSample sample;
    sample.before.reserve(rows_before.size());
    sample.after.reserve(rows_after.size());
    sample.batch.reserve(sample_batch.size());
    for (std::size_t s = 0; s < sample_batch.size(); ++s) {
        const auto first = static_cast<std::ptrdiff_t>(s * width);
        const auto last = first + static_cast<std::ptrdiff_t>(width);
        const auto finite = [](double v) { return std::isfinite(v); };
        if (!std::all_of(rows_before.begin() + first, rows_before.begin() + last, finite) ||
            !std::all_of(rows_after.begin() + first, rows_after.begin() + last, finite)) {
            continue;
        }
        sample.before.insert(sample.before.end(), rows_before.begin() + first, rows_before.begin() + last);
        sample.after.insert(sample.after.end(), rows_after.begin() + first, rows_after.begin() + last);
        sample.batch.push_back(sample_batch[s]);
    }
    return sample;
}

/// The rows of one batch from a pooled set of rows.
std::vector<double> batch_rows(const std::vector<double>& rows, const std::vector<int>& batch, int which,
                               int ndim) {
    const auto width = static_cast<std::size_t>(ndim);
    std::vector<double> out;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (batch[i] == which) {
            out.insert(out.end(), rows.begin() + static_cast<std::ptrdiff_t>(i * width),
                       rows.begin() + static_cast<std::ptrdiff_t>((i + 1) * width));
        }
    }
    return out;
}

double mean_deviation(const std::vector<double>& rows, int ndim) {
    const std::vector<double> sd = parameter_deviations(rows, ndim);
    double sum = 0;
    for (const double v : sd) {
        sum += v;
    }
    return sd.empty() ? std::nan("") : sum / static_cast<double>(sd.size());
}

/// The 2-D view: principal axes of the pooled uncorrected events, both states projected onto them,
/// and an evenly spread selection of at most `max_points` events (shared fairly between batches).
ViewSummary make_view(const NeighbourSample& sample, int ndim, std::size_t num_batches,
                      std::size_t max_points) {
    ViewSummary view;
    const auto width = static_cast<std::size_t>(ndim);
    const std::size_t n = sample.batch.size();
    const PrincipalAxes axes = principal_axes(sample.before, ndim, n, 2);
    view.variance_share = axes.variance_share;
    view.loadings = axes.axes;
    if (axes.axes.size() < 2 * width || n == 0) {
        return view;
    }

    std::vector<std::vector<std::size_t>> members(num_batches);
    for (std::size_t i = 0; i < n; ++i) {
        members[static_cast<std::size_t>(sample.batch[i])].push_back(i);
    }
    const std::size_t per_batch =
        std::max<std::size_t>(1, max_points / std::max<std::size_t>(num_batches, 1));
    std::vector<double> chosen_before;
    std::vector<double> chosen_after;
    // Round-robin over the batches, so that no batch is drawn entirely on top of the others.
    for (std::size_t j = 0; j < per_batch; ++j) {
        for (std::size_t b = 0; b < num_batches; ++b) {
            const std::vector<std::size_t>& events = members[b];
            const std::size_t shown = std::min(per_batch, events.size());
            if (j >= shown) {
                continue;
            }
            const std::size_t i = events[j * events.size() / shown];
            const auto first = static_cast<std::ptrdiff_t>(i * width);
            chosen_before.insert(chosen_before.end(), sample.before.begin() + first,
                                 sample.before.begin() + first + static_cast<std::ptrdiff_t>(width));
            chosen_after.insert(chosen_after.end(), sample.after.begin() + first,
                                sample.after.begin() + first + static_cast<std::ptrdiff_t>(width));
            view.batch.push_back(static_cast<int>(b));
        }
    }
    view.before = project_onto_axes(chosen_before, axes);
    view.after = project_onto_axes(chosen_after, axes);

    // Shared axes from the central 99.8% of all events of both states, so that outliers do not
    // squeeze the populations into a corner.
    const std::vector<double> all_before = project_onto_axes(sample.before, axes);
    const std::vector<double> all_after = project_onto_axes(sample.after, axes);
    for (int c = 0; c < 2; ++c) {
        std::vector<double> values;
        values.reserve(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            values.push_back(all_before[2 * i + static_cast<std::size_t>(c)]);
            values.push_back(all_after[2 * i + static_cast<std::size_t>(c)]);
        }
        DensityGrid range = make_axis(std::move(values), 2);
        (c == 0 ? view.x_min : view.y_min) = range.lower;
        (c == 0 ? view.x_max : view.y_max) = range.upper;
    }
    return view;
}

/// The neighbour figures, the displacements, the noise floor and the 2-D view, added to `summary`.
void summarize_neighbourhoods(const QcReportInput& input, const QcReportOptions& options,
                              const std::vector<double>& rows_before, const std::vector<double>& rows_after,
                              const std::vector<int>& sample_batch, QcSummary& summary) {
    const std::size_t num_batches = summary.batches.size();
    const int threads = options.num_threads > 0  ? options.num_threads
                        : input.engine           ? std::max(input.engine->options().num_threads, 1)
                        : input.split_correction ? std::max(input.split_correction->num_threads, 1)
                                                 : 1;
    summary.mixing_neighbours = options.mixing_neighbours;
    summary.structure_neighbours = options.structure_neighbours;
    summary.floor_warning_ratio = options.floor_warning_ratio;
    if (!input.merge_order.empty()) {
        summary.has_reference = true;
        summary.reference_label = input.merge_order.front();
    }
    int reference = -1;
    for (std::size_t b = 0; b < num_batches; ++b) {
        BatchSummary& batch = summary.batches[b];
        batch.is_reference = summary.has_reference && batch.label == summary.reference_label;
        if (batch.is_reference) {
            reference = static_cast<int>(b);
        }
    }
    if (input.ndim <= 0) {
        summary.noise_floor.reason = "The noise floor needs at least one parameter.";
        return;
    }

    const NeighbourSample sample = finite_events(rows_before, rows_after, sample_batch, input.ndim);
    summary.neighbour_events = sample.batch.size();

    // Every batch's neighbourhoods are measured at an evenly spread selection of its events; their
    // neighbours are searched among all events.
    std::vector<std::vector<std::size_t>> members(num_batches);
    for (std::size_t i = 0; i < sample.batch.size(); ++i) {
        members[static_cast<std::size_t>(sample.batch[i])].push_back(i);
    }
    std::vector<std::size_t> queries;
    for (const std::vector<std::size_t>& events : members) {
        for (const std::size_t j : spread_selection(events.size(), options.max_queries_per_batch)) {
            queries.push_back(events[j]);
        }
    }
    std::sort(queries.begin(), queries.end());
    summary.neighbourhood_queries = queries.size();

    Clock::time_point start = Clock::now();
    const Mixing before =
        neighbourhood_mixing(sample.before, input.ndim, sample.batch, static_cast<int>(num_batches),
                             options.mixing_neighbours, threads, queries);
    const Mixing after =
        neighbourhood_mixing(sample.after, input.ndim, sample.batch, static_cast<int>(num_batches),
                             options.mixing_neighbours, threads, queries);
    summary.mixing_before = before.overall;
    summary.mixing_after = after.overall;
    for (std::size_t b = 0; b < num_batches; ++b) {
        summary.batches[b].mixing_before = before.per_batch[b];
        summary.batches[b].mixing_after = after.per_batch[b];
    }
    summary.seconds.emplace_back("Neighbourhood mixing", seconds_since(start));

    start = Clock::now();
    std::vector<std::vector<double>> own_before(num_batches);
    std::vector<std::vector<double>> own_after(num_batches);
    for (std::size_t b = 0; b < num_batches; ++b) {
        own_before[b] = batch_rows(sample.before, sample.batch, static_cast<int>(b), input.ndim);
        own_after[b] = batch_rows(sample.after, sample.batch, static_cast<int>(b), input.ndim);
        if (!summary.batches[b].is_reference) {
            summary.batches[b].structure_kept =
                structure_kept(own_before[b], own_after[b], input.ndim, options.structure_neighbours, threads,
                               spread_selection(members[b].size(), options.max_queries_per_batch));
        }
    }
    summary.seconds.emplace_back("Structure kept", seconds_since(start));

    start = Clock::now();
    summary.displacement_unit = mean_deviation(
        reference >= 0 ? own_before[static_cast<std::size_t>(reference)] : sample.before, input.ndim);
    const bool usable_unit = summary.displacement_unit > 0 && std::isfinite(summary.displacement_unit);
    for (std::size_t b = 0; b < num_batches; ++b) {
        summary.batches[b].displacement =
            usable_unit ? rms_displacement(own_before[b], own_after[b]) / summary.displacement_unit
                        : std::nan("");
    }
    NoiseFloorSummary& floor = summary.noise_floor;
    floor.label = summary.reference_label;
    if (!summary.has_reference) {
        floor.reason = "The noise floor was not measured: the merge order of this run, and with it the first "
                       "reference batch to split, is not known.";
    } else if (!input.engine && !input.split_correction) {
        floor.reason =
            "The noise floor was not measured: it repeats the run's correction on halves of the first "
            "reference batch, and this run applied a model learnt before, whose learning it does not "
            "repeat.";
    } else if (!usable_unit) {
        floor.reason = "The noise floor was not measured: the first reference batch's values do not vary, so "
                       "there is no unit to measure movements in.";
    } else {
        const std::vector<double>& rows = own_before[static_cast<std::size_t>(reference)];
        const SplitBatchFloor split = input.engine
                                          ? split_batch_floor(rows, input.ndim, summary.displacement_unit,
                                                              *input.engine, options.split_seed)
                                          : split_batch_floor(rows, input.ndim, summary.displacement_unit,
                                                              *input.split_correction, options.split_seed);
        floor.computed = split.computed;
        floor.displacement = split.computed ? split.displacement : std::nan("");
        floor.reference = split.reference;
        floor.moved = split.moved;
        floor.reason = split.reason;
    }
    for (BatchSummary& batch : summary.batches) {
        if (batch.is_reference || !floor.computed) {
            continue;
        }
        batch.displacement_to_floor =
            floor.displacement > 0 ? batch.displacement / floor.displacement : std::nan("");
        batch.near_floor = batch.displacement_to_floor < options.floor_warning_ratio;
    }
    summary.seconds.emplace_back("Noise floor and displacements", seconds_since(start));

    start = Clock::now();
    summary.view = make_view(sample, input.ndim, num_batches, options.max_view_points);
    summary.seconds.emplace_back("2-D view", seconds_since(start));
}

} // namespace

std::string parameter_display_name(const QcReportInput& input, int index) {
    if (!input.parameter_names.empty() && index >= 0 &&
        static_cast<std::size_t>(index) < input.parameter_names.size()) {
        return input.parameter_names[static_cast<std::size_t>(index)];
    }
    return "parameter " + std::to_string(index + 1);
}

QcSummary summarize_run(const QcReportInput& input, const QcReportOptions& options) {
    validate(input);
    QcSummary summary;

    // Batches in increasing label order, with a dense number per event for the statistics.
    std::unordered_map<int, std::size_t> counts;
    for (std::size_t i = 0; i < input.nobs; ++i) {
        ++counts[input.batch_labels[i]];
    }
    std::vector<int> labels;
    labels.reserve(counts.size());
    for (const auto& entry : counts) {
        labels.push_back(entry.first);
    }
    std::sort(labels.begin(), labels.end());
    std::unordered_map<int, int> dense_of;
    for (std::size_t b = 0; b < labels.size(); ++b) {
        dense_of[labels[b]] = static_cast<int>(b);
        BatchSummary batch;
        batch.label = labels[b];
        batch.events = counts[labels[b]];
        batch.colour = batch_colour(b);
        summary.batches.push_back(batch);
    }
    std::vector<int> dense(input.nobs);
    for (std::size_t i = 0; i < input.nobs; ++i) {
        dense[i] = dense_of[input.batch_labels[i]];
    }

    const int num_batches = static_cast<int>(labels.size());
    const std::vector<std::size_t> sample =
        subsample_per_batch(dense, num_batches, options.max_events_per_batch, options.seed);
    summary.sampled_events = sample.size();
    std::vector<int> sample_batch(sample.size());
    for (std::size_t s = 0; s < sample.size(); ++s) {
        sample_batch[s] = dense[sample[s]];
        ++summary.batches[static_cast<std::size_t>(sample_batch[s])].sampled;
    }

    for (std::size_t step = 0; step < input.merge_order.size(); ++step) {
        MergeStepSummary merge;
        merge.label = input.merge_order[step];
        const auto found = counts.find(merge.label);
        if (found == counts.end()) {
            std::ostringstream msg;
            msg << "The merge order names batch label " << merge.label << ", which no event carries.";
            throw std::invalid_argument(msg.str());
        }
        merge.events = found->second;
        merge.is_reference = (step == 0);
        if (!merge.is_reference) {
            merge.pairs = input.num_pairs[step - 1];
            if (merge.pairs < 0) {
                throw std::invalid_argument("A merge step cannot have a negative number of mutual pairs.");
            }
            merge.few_pairs = static_cast<double>(merge.pairs) <
                              options.few_pairs_fraction * static_cast<double>(merge.events);
        }
        summary.merge_steps.push_back(merge);
    }

    // Two curves per parameter and batch share the budget of plotted points.
    const std::size_t curves = std::max<std::size_t>(1, static_cast<std::size_t>(input.ndim) *
                                                            std::max<std::size_t>(labels.size(), 1) * 2);
    const std::size_t grid_points =
        std::clamp(options.max_curve_points / curves, kMinGridPoints, kMaxGridPoints);

    const Clock::time_point start = Clock::now();
    const std::vector<double> rows_before =
        input.ndim > 0 ? gather_rows(input.uncorrected, input.ndim, sample) : std::vector<double>();
    const std::vector<double> rows_after =
        input.ndim > 0 ? gather_rows(input.corrected, input.ndim, sample) : std::vector<double>();
    for (int d = 0; d < input.ndim; ++d) {
        const SampledColumn before = sample_column(rows_before, input.ndim, d, sample_batch, labels.size());
        const SampledColumn after = sample_column(rows_after, input.ndim, d, sample_batch, labels.size());

        ParameterSummary parameter;
        parameter.name = parameter_display_name(input, d);
        parameter.non_finite = before.non_finite + after.non_finite;
        std::vector<double> pooled(before.values);
        pooled.insert(pooled.end(), after.values.begin(), after.values.end());
        parameter.grid = make_axis(std::move(pooled), grid_points);
        parameter.density_before = densities(before, parameter.grid);
        parameter.density_after = densities(after, parameter.grid);
        parameter.distance_before = distances_to_other_batches(before.values, before.batch, num_batches);
        parameter.distance_after = distances_to_other_batches(after.values, after.batch, num_batches);
        parameter.further_apart =
            finite_mean(parameter.distance_after) > finite_mean(parameter.distance_before);
        summary.parameters.push_back(std::move(parameter));
    }
    summary.marker_pair = summarize_marker_pair(rows_before, rows_after, sample_batch, input.ndim,
                                                labels.size(), summary.parameters, kMarkerPairBins);
    summary.seconds.emplace_back("Density curves and distances", seconds_since(start));

    summarize_neighbourhoods(input, options, rows_before, rows_after, sample_batch, summary);
    return summary;
}

} // namespace pairmend::report
