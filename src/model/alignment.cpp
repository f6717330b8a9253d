#include "pairmend/model/alignment.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace pairmend::model {

namespace {

// The curve's value at x: linear between knots, slope 1 beyond the ends.
double map_value(const ChannelCurve& curve, double x) {
    const auto& from = curve.from;
    const auto& to = curve.to;
    if (x <= from.front()) {
        return to.front() + (x - from.front());
    }
    if (x >= from.back()) {
        return to.back() + (x - from.back());
    }
    const auto upper = static_cast<std::size_t>(std::upper_bound(from.begin(), from.end(), x) - from.begin());
    const std::size_t lower = upper - 1;
    const double share = (x - from[lower]) / (from[upper] - from[lower]);
    return to[lower] + share * (to[upper] - to[lower]);
}

// Adds the field step's offset at `event` to `moved` (both `ndim` values).
void field_offset(const FieldStep& step, int ndim, const double* event, std::vector<double>& squared,
                  std::vector<double>& shift, double* moved) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::size_t ncentres = step.weights.size();
    double nearest = INFINITY;
    for (std::size_t c = 0; c < ncentres; ++c) {
        const double* centre = step.centres.data() + c * width;
        double sum = 0;
        for (std::size_t d = 0; d < width; ++d) {
            const double gap = event[d] - centre[d];
            sum += gap * gap;
        }
        squared[c] = sum;
        nearest = std::min(nearest, sum);
    }
    // Distances are taken relative to the nearest centre so that far events keep finite weights.
    const double scale = 1.0 / (2.0 * step.bandwidth * step.bandwidth);
    double total = 0;
    std::fill(shift.begin(), shift.end(), 0.0);
    for (std::size_t c = 0; c < ncentres; ++c) {
        if (step.weights[c] <= 0) {
            continue;
        }
        const double weight = step.weights[c] * std::exp(-(squared[c] - nearest) * scale);
        total += weight;
        const double* offset = step.offsets.data() + c * width;
        for (std::size_t d = 0; d < width; ++d) {
            shift[d] += weight * offset[d];
        }
    }
    if (total > 0) {
        for (std::size_t d = 0; d < width; ++d) {
            moved[d] = event[d] + shift[d] / total;
        }
    }
}

} // namespace

void apply_alignment(const Alignment& alignment, int ndim, std::size_t n, const double* events,
                     double* output, int num_threads) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    if (output != events) {
        std::copy_n(events, n * width, output);
    }
    if (alignment.empty()) {
        return;
    }
    const auto count = static_cast<std::ptrdiff_t>(n);
#pragma omp parallel num_threads(std::max(num_threads, 1))
    {
        std::vector<double> squared;
        std::vector<double> shift(width);
        std::vector<double> before(width);
#pragma omp for schedule(static)
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            double* event = output + static_cast<std::size_t>(i) * width;
            for (std::size_t d = 0; d < alignment.curves.size(); ++d) {
                event[d] = map_value(alignment.curves[d], event[d]);
            }
            for (const FieldStep& step : alignment.field) {
                squared.resize(step.weights.size());
                std::copy_n(event, width, before.data());
                field_offset(step, ndim, before.data(), squared, shift, event);
            }
        }
    }
}

void check_alignment(const Alignment& alignment, int ndim, const std::string& where) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    const auto finite = [](const std::vector<double>& values) {
        return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
    };
    if (!alignment.curves.empty() && alignment.curves.size() != width) {
        throw std::runtime_error(where + "has " + std::to_string(alignment.curves.size()) + " curves for " +
                                 std::to_string(width) + " parameters.");
    }
    for (const ChannelCurve& curve : alignment.curves) {
        if (curve.from.empty() || curve.from.size() != curve.to.size() || !finite(curve.from) ||
            !finite(curve.to)) {
            throw std::runtime_error(where + "has a curve without matching finite knots.");
        }
        for (std::size_t k = 1; k < curve.from.size(); ++k) {
            if (!(curve.from[k] > curve.from[k - 1]) || curve.to[k] < curve.to[k - 1]) {
                throw std::runtime_error(where + "has a curve that is not increasing.");
            }
        }
    }
    for (const FieldStep& step : alignment.field) {
        const std::size_t ncentres = step.weights.size();
        if (ncentres == 0 || step.centres.size() != ncentres * width ||
            step.offsets.size() != ncentres * width || !finite(step.centres) || !finite(step.offsets) ||
            !finite(step.weights) || !std::isfinite(step.bandwidth) || !(step.bandwidth > 0) ||
            std::any_of(step.weights.begin(), step.weights.end(), [](double w) { return w < 0; })) {
            throw std::runtime_error(where +
                                     "has a field step whose centres, offsets and weights do not fit.");
        }
    }
}

} // namespace pairmend::model
