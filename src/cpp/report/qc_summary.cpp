#include "report/qc_summary.hpp"

#include "report/svg_plot.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace report {

namespace {

/// The share of extreme values left off each end of a density axis, so that rare outliers do not
/// squeeze the populations into a corner of the plot.
constexpr double kAxisTail = 0.001;
/// Extra room on each side of the axis, as a share of its length, so curves do not touch the frame.
constexpr double kAxisPadding = 0.05;
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
        summary.parameters.push_back(std::move(parameter));
    }
    return summary;
}

} // namespace report
