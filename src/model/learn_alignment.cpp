#include "learn_alignment.hpp"

#include "kmeans.hpp"
#include "pairmend/model/subsample.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace pairmend::model::internal {

namespace {

// Population clusters and curve estimation.
constexpr std::size_t kPopulations = 60;
constexpr int kCurveRounds = 10;
constexpr std::size_t kQuantileSteps = 200;
// The smooth field.
constexpr std::size_t kFieldCentres = 100;
constexpr int kFieldRounds = 5;
constexpr std::size_t kMinCentreEvents = 5;
// An offset of d with noise variance s2 is shrunk to d * d^2 / (d^2 + kShrink * s2).
constexpr double kShrink = 2.0;
// The field is kept when its first round's chi-square exceeds its degrees of freedom by this many
// standard deviations.
constexpr double kFieldGate = 3.0;
// At least this many events per cluster, so that small batches get fewer clusters.
constexpr std::size_t kEventsPerCluster = 25;
// k-means runs on at most this many reference events, evenly spread.
constexpr std::size_t kClusterSample = 20000;
constexpr std::uint64_t kPopulationSeed = 0x243f6a8885a308d3ULL;
constexpr std::uint64_t kFieldSeed = 0x13198a2e03707344ULL;

std::size_t cluster_count(std::size_t wanted, std::size_t nreference) {
    return std::max<std::size_t>(1, std::min(wanted, nreference / kEventsPerCluster));
}

std::vector<double> centres_of(int ndim, std::size_t nreference, const double* reference, std::size_t k,
                               std::uint64_t seed, int num_threads) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::vector<std::size_t> rows = even_positions(nreference, kClusterSample);
    std::vector<double> sample(rows.size() * width);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::copy_n(reference + rows[r] * width, width, sample.data() + r * width);
    }
    return kmeans(ndim, rows.size(), sample.data(), k, seed, num_threads);
}

std::vector<double> counts_of(const std::vector<std::size_t>& labels, std::size_t k) {
    std::vector<double> counts(k, 0.0);
    for (const std::size_t label : labels) {
        counts[label] += 1.0;
    }
    return counts;
}

// Every channel's events in increasing order, equal values in event order (as a stable sort leaves
// them); empty for a channel holding a value that is not a number, which no order can rank.
// Channels are sorted in parallel, each by one thread.
std::vector<std::vector<std::size_t>> channel_orders(int ndim, std::size_t n, const double* events,
                                                     int num_threads) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    std::vector<std::vector<std::size_t>> orders(width);
#pragma omp parallel for schedule(dynamic, 1) num_threads(std::max(num_threads, 1))
    for (int c = 0; c < ndim; ++c) {
        const auto channel = static_cast<std::size_t>(c);
        bool ordered = true;
        for (std::size_t i = 0; i < n && ordered; ++i) {
            ordered = !std::isnan(events[i * width + channel]);
        }
        if (ordered) {
            // Sorting (value, event) pairs side by side reads each value once instead of at every
            // comparison; the pairs' order breaks ties by event, which gives the stable order.
            std::vector<std::pair<double, std::size_t>> keyed(n);
            for (std::size_t i = 0; i < n; ++i) {
                keyed[i] = {events[i * width + channel], i};
            }
            std::sort(keyed.begin(), keyed.end());
            std::vector<std::size_t>& order = orders[channel];
            order.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                order[i] = keyed[i].second;
            }
        }
    }
    return orders;
}

// Quantiles at i / kQuantileSteps of a channel's values weighted per event: an event of weight w
// sits at the middle of its share of the cumulative weight, with linear interpolation between.
// `sorted` is the channel's order from channel_orders: the events of positive weight keep their
// places in it, so the channel is sorted once for every round of curves.
std::vector<double> weighted_quantiles(int ndim, std::size_t n, const double* events, std::size_t channel,
                                       const std::vector<double>& weights,
                                       const std::vector<std::size_t>& sorted) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    std::vector<std::size_t> order;
    order.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (weights[i] > 0) {
            order.push_back(i);
        }
    }
    // No population in common (every weight 0) can only come of degenerate clusters: every event
    // then counts once, as in a plain quantile map.
    const bool unweighted = order.empty();
    const auto weight_of = [&](std::size_t i) { return unweighted ? 1.0 : weights[i]; };
    if (!sorted.empty()) {
        order.clear();
        for (const std::size_t i : sorted) {
            if (unweighted || weights[i] > 0) {
                order.push_back(i);
            }
        }
    } else {
        if (unweighted) {
            order.resize(n);
            std::iota(order.begin(), order.end(), std::size_t{0});
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return events[a * width + channel] < events[b * width + channel];
        });
    }
    std::vector<double> positions(order.size());
    double total = 0;
    for (std::size_t r = 0; r < order.size(); ++r) {
        positions[r] = total + 0.5 * weight_of(order[r]);
        total += weight_of(order[r]);
    }
    std::vector<double> quantiles(kQuantileSteps + 1);
    std::size_t r = 0;
    for (std::size_t q = 0; q <= kQuantileSteps; ++q) {
        const double target = total * static_cast<double>(q) / static_cast<double>(kQuantileSteps);
        while (r < order.size() && positions[r] < target) {
            ++r;
        }
        if (r == 0) {
            quantiles[q] = events[order.front() * width + channel];
        } else if (r == order.size()) {
            quantiles[q] = events[order.back() * width + channel];
        } else {
            const double low = events[order[r - 1] * width + channel];
            const double high = events[order[r] * width + channel];
            const double share = (target - positions[r - 1]) / (positions[r] - positions[r - 1]);
            quantiles[q] = low + share * (high - low);
        }
    }
    return quantiles;
}

// A curve through (from[q], to[q]); knots with equal `from` merge into one at their mean `to`.
ChannelCurve curve_through(const std::vector<double>& from, const std::vector<double>& to) {
    ChannelCurve curve;
    std::size_t q = 0;
    while (q < from.size()) {
        std::size_t end = q;
        double sum = 0;
        while (end < from.size() && from[end] == from[q]) {
            sum += to[end];
            ++end;
        }
        curve.from.push_back(from[q]);
        curve.to.push_back(sum / static_cast<double>(end - q));
        q = end;
    }
    // The merged means keep `to` non-decreasing, as both quantile lists are.
    return curve;
}

// One round of curves: both sides weighted to the smaller of their population shares.
std::vector<ChannelCurve>
curves_for(int ndim, std::size_t n, const double* batch, const std::vector<std::size_t>& batch_labels,
           std::size_t nreference, const double* reference, const std::vector<std::size_t>& reference_labels,
           std::size_t k, const std::vector<std::vector<std::size_t>>& batch_orders,
           const std::vector<std::vector<std::size_t>>& reference_orders, int num_threads) {
    const std::vector<double> batch_counts = counts_of(batch_labels, k);
    const std::vector<double> reference_counts = counts_of(reference_labels, k);
    std::vector<double> batch_scale(k, 0.0);
    std::vector<double> reference_scale(k, 0.0);
    for (std::size_t c = 0; c < k; ++c) {
        const double batch_share = batch_counts[c] / static_cast<double>(n);
        const double reference_share = reference_counts[c] / static_cast<double>(nreference);
        const double common = std::min(batch_share, reference_share);
        if (batch_counts[c] > 0) {
            batch_scale[c] = common / batch_share;
        }
        if (reference_counts[c] > 0) {
            reference_scale[c] = common / reference_share;
        }
    }
    std::vector<double> batch_weights(n);
    for (std::size_t i = 0; i < n; ++i) {
        batch_weights[i] = batch_scale[batch_labels[i]];
    }
    std::vector<double> reference_weights(nreference);
    for (std::size_t i = 0; i < nreference; ++i) {
        reference_weights[i] = reference_scale[reference_labels[i]];
    }
    // Channels in parallel, each by one thread into its own curve.
    std::vector<ChannelCurve> curves(static_cast<std::size_t>(ndim));
#pragma omp parallel for schedule(dynamic, 1) num_threads(std::max(num_threads, 1))
    for (int c = 0; c < ndim; ++c) {
        const auto channel = static_cast<std::size_t>(c);
        curves[channel] =
            curve_through(weighted_quantiles(ndim, n, batch, channel, batch_weights, batch_orders[channel]),
                          weighted_quantiles(ndim, nreference, reference, channel, reference_weights,
                                             reference_orders[channel]));
    }
    return curves;
}

// Per centre, the mean and the variance (per channel) of the events assigned to it.
struct CentreMoments {
    std::vector<double> counts;
    std::vector<double> means;
    std::vector<double> variances;
};

CentreMoments moments_of(int ndim, std::size_t n, const double* events,
                         const std::vector<std::size_t>& labels, std::size_t k) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    CentreMoments moments{counts_of(labels, k), std::vector<double>(k * width, 0.0),
                          std::vector<double>(k * width, 0.0)};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < width; ++d) {
            moments.means[labels[i] * width + d] += events[i * width + d];
        }
    }
    for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t d = 0; d < width && moments.counts[c] > 0; ++d) {
            moments.means[c * width + d] /= moments.counts[c];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < width; ++d) {
            const double gap = events[i * width + d] - moments.means[labels[i] * width + d];
            moments.variances[labels[i] * width + d] += gap * gap;
        }
    }
    for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t d = 0; d < width && moments.counts[c] > 0; ++d) {
            moments.variances[c * width + d] /= moments.counts[c];
        }
    }
    return moments;
}

// The Gaussian's width: the median distance from a centre to its nearest other centre.
double field_bandwidth(int ndim, const std::vector<double>& centres) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::size_t k = centres.size() / width;
    if (k < 2) {
        return 1.0;
    }
    std::vector<double> nearest(k, INFINITY);
    for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < k; ++b) {
            if (a == b) {
                continue;
            }
            double sum = 0;
            for (std::size_t d = 0; d < width; ++d) {
                const double gap = centres[a * width + d] - centres[b * width + d];
                sum += gap * gap;
            }
            nearest[a] = std::min(nearest[a], std::sqrt(sum));
        }
    }
    std::sort(nearest.begin(), nearest.end());
    const double median = k % 2 == 1 ? nearest[k / 2] : 0.5 * (nearest[k / 2 - 1] + nearest[k / 2]);
    return median > 0 ? median : 1.0;
}

} // namespace

Alignment learn_alignment(int ndim, std::size_t n, const double* batch, const double* matched,
                          std::size_t nreference, const double* reference, int num_threads) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    Alignment alignment;
    std::vector<double> moved(n * width);

    // Curves, with populations taken from the matched events first and the curved ones after.
    const std::vector<double> populations = centres_of(
        ndim, nreference, reference, cluster_count(kPopulations, nreference), kPopulationSeed, num_threads);
    const std::size_t npopulations = populations.size() / width;
    const std::vector<std::size_t> reference_populations =
        nearest_centres(ndim, nreference, reference, populations, num_threads);
    const std::vector<std::vector<std::size_t>> batch_orders = channel_orders(ndim, n, batch, num_threads);
    const std::vector<std::vector<std::size_t>> reference_orders =
        channel_orders(ndim, nreference, reference, num_threads);
    const double* placed = matched;
    for (int round = 0; round < kCurveRounds; ++round) {
        const std::vector<std::size_t> batch_populations =
            nearest_centres(ndim, n, placed, populations, num_threads);
        alignment.curves =
            curves_for(ndim, n, batch, batch_populations, nreference, reference, reference_populations,
                       npopulations, batch_orders, reference_orders, num_threads);
        apply_alignment(alignment, ndim, n, batch, moved.data(), num_threads);
        placed = moved.data();
    }

    // The smooth field.
    const std::vector<double> centres = centres_of(
        ndim, nreference, reference, cluster_count(kFieldCentres, nreference), kFieldSeed, num_threads);
    const std::size_t ncentres = centres.size() / width;
    const double bandwidth = field_bandwidth(ndim, centres);
    const std::vector<std::size_t> reference_labels =
        nearest_centres(ndim, nreference, reference, centres, num_threads);
    const CentreMoments reference_moments =
        moments_of(ndim, nreference, reference, reference_labels, ncentres);
    for (int round = 0; round < kFieldRounds; ++round) {
        const std::vector<std::size_t> labels = nearest_centres(ndim, n, moved.data(), centres, num_threads);
        const CentreMoments batch_moments = moments_of(ndim, n, moved.data(), labels, ncentres);
        FieldStep step;
        step.centres = centres;
        step.offsets.assign(ncentres * width, 0.0);
        step.weights.assign(ncentres, 0.0);
        step.bandwidth = bandwidth;
        double chi_square = 0;
        double freedom = 0;
        for (std::size_t c = 0; c < ncentres; ++c) {
            const double in_batch = batch_moments.counts[c];
            const double in_reference = reference_moments.counts[c];
            if (in_batch < kMinCentreEvents || in_reference < kMinCentreEvents) {
                continue;
            }
            step.weights[c] = in_batch;
            for (std::size_t d = 0; d < width; ++d) {
                const std::size_t at = c * width + d;
                const double offset = reference_moments.means[at] - batch_moments.means[at];
                const double noise =
                    reference_moments.variances[at] / in_reference + batch_moments.variances[at] / in_batch;
                if (noise > 0) {
                    chi_square += offset * offset / noise;
                    freedom += 1;
                }
                const double squared = offset * offset;
                step.offsets[at] = squared > 0 ? offset * squared / (squared + kShrink * noise) : 0.0;
            }
        }
        if (round == 0 && !(chi_square > freedom + kFieldGate * std::sqrt(2.0 * freedom))) {
            break; // no local batch effect beyond the noise: the curves alone
        }
        Alignment one_step;
        one_step.field.push_back(step);
        apply_alignment(one_step, ndim, n, moved.data(), moved.data(), num_threads);
        alignment.field.push_back(std::move(step));
    }
    return alignment;
}

} // namespace pairmend::model::internal
