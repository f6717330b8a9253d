#include "pairmend/model/alignment.hpp"

#include "centre_distances.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace pairmend::model {

namespace {

// Below this exponent std::exp gives exactly 0 (its smallest non-zero result is near exp(-745.1)).
constexpr double kNoWeight = -746.0;

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

// A thread's buffers for field steps.
struct FieldScratch {
    std::vector<double> squared;
    std::vector<double> weights;
    std::vector<std::size_t> used;
    std::vector<double> shift;
};

// Moves the `size` events at `group`, loaded in `block`, by the field step's offset: each event by
// the average of the centres' offsets weighted by count times a Gaussian of its distance to them.
void field_offset(const FieldStep& step, std::size_t width, std::size_t size,
                  const internal::EventBlock& block, FieldScratch& scratch, double* group) {
    constexpr std::size_t lanes = internal::kBlockEvents;
    const std::size_t ncentres = step.weights.size();
    block.distances(ncentres, step.centres.data(), scratch.squared);
    const double* squared = scratch.squared.data();
    double nearest[lanes];
    double total[lanes];
    std::fill_n(nearest, lanes, INFINITY);
    std::fill_n(total, lanes, 0.0);
    for (std::size_t c = 0; c < ncentres; ++c) {
        for (std::size_t l = 0; l < size; ++l) {
            nearest[l] = std::min(nearest[l], squared[c * lanes + l]);
        }
    }
    // Distances are taken relative to the nearest centre so that far events keep finite weights.
    const double scale = 1.0 / (2.0 * step.bandwidth * step.bandwidth);
    scratch.weights.assign(ncentres * lanes, 0.0);
    scratch.used.clear();
    for (std::size_t c = 0; c < ncentres; ++c) {
        if (step.weights[c] <= 0) {
            continue;
        }
        bool weighs = false;
        for (std::size_t l = 0; l < size; ++l) {
            const double exponent = -(squared[c * lanes + l] - nearest[l]) * scale;
            // The exponential of anything below -746 is exactly 0, which adds 0 to the total and
            // +0 or -0 to every shift: nothing changes, so the centre is left out for that event.
            if (exponent < kNoWeight) {
                continue;
            }
            const double weight = step.weights[c] * std::exp(exponent);
            total[l] += weight;
            scratch.weights[c * lanes + l] = weight;
            weighs = true;
        }
        if (weighs) {
            scratch.used.push_back(c);
        }
    }
    scratch.shift.resize(width * lanes);
    internal::weighted_offsets(scratch.weights.data(), scratch.used, step.offsets.data(), width,
                               scratch.shift.data());
    for (std::size_t l = 0; l < size; ++l) {
        if (total[l] > 0) {
            double* event = group + l * width;
            for (std::size_t d = 0; d < width; ++d) {
                event[d] = event[d] + scratch.shift[d * lanes + l] / total[l];
            }
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
    // Eight events at a time, so that their distances to a step's centres are summed side by side.
    const std::size_t ngroups = (n + internal::kBlockEvents - 1) / internal::kBlockEvents;
    const auto count = static_cast<std::ptrdiff_t>(ngroups);
#pragma omp parallel num_threads(std::max(num_threads, 1))
    {
        internal::EventBlock block(width);
        FieldScratch scratch;
#pragma omp for schedule(static)
        for (std::ptrdiff_t g = 0; g < count; ++g) {
            const std::size_t first = static_cast<std::size_t>(g) * internal::kBlockEvents;
            const std::size_t size = std::min(internal::kBlockEvents, n - first);
            double* group = output + first * width;
            for (std::size_t l = 0; l < size; ++l) {
                double* event = group + l * width;
                for (std::size_t d = 0; d < alignment.curves.size(); ++d) {
                    event[d] = map_value(alignment.curves[d], event[d]);
                }
            }
            for (const FieldStep& step : alignment.field) {
                // Every event moves from where the step found it: all distances are taken first.
                block.load(size, group);
                field_offset(step, width, size, block, scratch, group);
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
