#include "internal/marker_pair.hpp"

#include "pairmend/report/qc_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace pairmend::report {

namespace {

// The value at share `q` of the sorted values.
double quantile(const std::vector<double>& sorted, double q) {
    const auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1));
    return sorted[at];
}

// An axis spanning the bulk of the values; a constant parameter gets a unit-wide one.
std::pair<double, double> axis(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    double low = quantile(values, 0.005);
    double high = quantile(values, 0.995);
    if (!(high > low)) {
        low -= 0.5;
        high += 0.5;
    }
    return {low, high};
}

std::size_t cell(double value, double low, double high, std::size_t bins) {
    const double position = (value - low) / (high - low) * static_cast<double>(bins);
    return static_cast<std::size_t>(std::clamp(position, 0.0, static_cast<double>(bins - 1)));
}

} // namespace

MarkerPairSummary summarize_marker_pair(const std::vector<double>& rows_before,
                                        const std::vector<double>& rows_after,
                                        const std::vector<int>& sample_batch, int ndim,
                                        std::size_t num_batches,
                                        const std::vector<ParameterSummary>& parameters, std::size_t bins) {
    MarkerPairSummary pair;
    if (ndim < 2 || bins == 0) {
        return pair;
    }
    // The two largest mean distances before correction, the earlier parameter first on ties.
    std::vector<int> order(static_cast<std::size_t>(ndim));
    for (int d = 0; d < ndim; ++d) {
        order[static_cast<std::size_t>(d)] = d;
    }
    const auto effect = [&parameters](int d) {
        const double mean = finite_mean(parameters[static_cast<std::size_t>(d)].distance_before);
        return std::isfinite(mean) ? mean : -1.0;
    };
    std::stable_sort(order.begin(), order.end(), [&effect](int a, int b) { return effect(a) > effect(b); });
    pair.first = order[0];
    pair.second = order[1];
    pair.bins = bins;

    const auto width = static_cast<std::size_t>(ndim);
    const auto first = static_cast<std::size_t>(pair.first);
    const auto second = static_cast<std::size_t>(pair.second);
    std::vector<std::size_t> kept;
    std::vector<double> xs;
    std::vector<double> ys;
    for (std::size_t i = 0; i < sample_batch.size(); ++i) {
        const double* before = rows_before.data() + i * width;
        const double* after = rows_after.data() + i * width;
        if (std::isfinite(before[first]) && std::isfinite(before[second]) && std::isfinite(after[first]) &&
            std::isfinite(after[second])) {
            kept.push_back(i);
            xs.insert(xs.end(), {before[first], after[first]});
            ys.insert(ys.end(), {before[second], after[second]});
        }
    }
    if (kept.empty()) {
        return pair;
    }
    std::tie(pair.x_min, pair.x_max) = axis(std::move(xs));
    std::tie(pair.y_min, pair.y_max) = axis(std::move(ys));

    pair.before.assign(num_batches, std::vector<double>(bins * bins, 0.0));
    pair.after.assign(num_batches, std::vector<double>(bins * bins, 0.0));
    std::vector<std::size_t> events(num_batches, 0);
    for (const std::size_t i : kept) {
        const auto b = static_cast<std::size_t>(sample_batch[i]);
        const double* before = rows_before.data() + i * width;
        const double* after = rows_after.data() + i * width;
        pair.before[b][cell(before[second], pair.y_min, pair.y_max, bins) * bins +
                       cell(before[first], pair.x_min, pair.x_max, bins)] += 1;
        pair.after[b][cell(after[second], pair.y_min, pair.y_max, bins) * bins +
                      cell(after[first], pair.x_min, pair.x_max, bins)] += 1;
        ++events[b];
    }
    for (std::size_t b = 0; b < num_batches; ++b) {
        for (std::size_t c = 0; c < bins * bins; ++c) {
            if (events[b] > 0) {
                pair.before[b][c] /= static_cast<double>(events[b]);
                pair.after[b][c] /= static_cast<double>(events[b]);
            }
        }
    }
    pair.shown = true;
    return pair;
}

} // namespace pairmend::report
