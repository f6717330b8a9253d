#include "pairmend/report/qc_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::report {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// Kernel support in bandwidths: the Gaussian tail beyond it holds less than 1e-4 of the mass.
constexpr double kKernelReach = 4.0;

void check_batches(const std::vector<int>& batch, int num_batches) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (batch[i] < 0 || batch[i] >= num_batches) {
            std::ostringstream msg;
            msg << "Event " << i + 1 << " has batch number " << batch[i] << ", outside the range 0 to "
                << num_batches - 1 << ".";
            throw std::invalid_argument(msg.str());
        }
    }
}

} // namespace

double earth_movers_distance(std::vector<double> first, std::vector<double> second) {
    if (first.empty() || second.empty()) {
        return kNaN;
    }
    std::sort(first.begin(), first.end());
    std::sort(second.begin(), second.end());

    const double n1 = static_cast<double>(first.size());
    const double n2 = static_cast<double>(second.size());
    std::size_t i = 0;
    std::size_t j = 0;
    double previous = std::min(first.front(), second.front());
    double area = 0;
    while (i < first.size() || j < second.size()) {
        double next = 0;
        if (j == second.size() || (i < first.size() && first[i] <= second[j])) {
            next = first[i];
        } else {
            next = second[j];
        }
        // Both cumulative distribution functions are constant between consecutive distinct values.
        const double gap = std::abs(static_cast<double>(i) * n2 - static_cast<double>(j) * n1) / (n1 * n2);
        area += gap * (next - previous);
        previous = next;
        while (i < first.size() && first[i] == next) {
            ++i;
        }
        while (j < second.size() && second[j] == next) {
            ++j;
        }
    }
    return area;
}

std::vector<double> distances_to_other_batches(const std::vector<double>& values,
                                               const std::vector<int>& batch, int num_batches) {
    if (values.size() != batch.size()) {
        throw std::invalid_argument("Every value needs exactly one batch number.");
    }
    check_batches(batch, num_batches);
    std::vector<double> result(static_cast<std::size_t>(std::max(num_batches, 0)), kNaN);
    const std::size_t total = values.size();
    if (total < 2) {
        return result;
    }

    // The pooled sample in increasing order, with each value's batch.
    std::vector<std::pair<double, int>> pooled(total);
    for (std::size_t i = 0; i < total; ++i) {
        pooled[i] = {values[i], batch[i]};
    }
    std::sort(pooled.begin(), pooled.end());

    // Gap t lies between pooled values t and t + 1; (t + 1) pooled values are at or below it.
    // prefix_length[t] sums the gap lengths before gap t, prefix_weighted[t] the lengths times (t + 1),
    // so that any run of gaps can be integrated in constant time.
    std::vector<double> prefix_length(total, 0.0);
    std::vector<double> prefix_weighted(total, 0.0);
    for (std::size_t t = 0; t + 1 < total; ++t) {
        const double length = pooled[t + 1].first - pooled[t].first;
        prefix_length[t + 1] = prefix_length[t] + length;
        prefix_weighted[t + 1] = prefix_weighted[t] + static_cast<double>(t + 1) * length;
    }

    std::vector<std::vector<std::size_t>> positions(result.size());
    for (std::size_t t = 0; t < total; ++t) {
        positions[static_cast<std::size_t>(pooled[t].second)].push_back(t);
    }

    const std::size_t num_gaps = total - 1;
    for (std::size_t b = 0; b < positions.size(); ++b) {
        const std::vector<std::size_t>& mine = positions[b];
        const std::size_t own = mine.size();
        const std::size_t others = total - own;
        if (own == 0 || others == 0) {
            continue;
        }
        const double own_d = static_cast<double>(own);
        const double others_d = static_cast<double>(others);
        double area = 0;
        // Over the gaps with j of this batch's values at or below them, the difference of the two
        // distribution functions is j / own - (t + 1 - j) / others = level - (t + 1) / others: one
        // sign change, at the first gap with (t + 1) * own >= j * total.
        for (std::size_t j = 0; j <= own; ++j) {
            const std::size_t start = (j == 0 ? 0 : mine[j - 1]);
            const std::size_t end = (j == own ? num_gaps : mine[j]);
            if (start >= end) {
                continue;
            }
            const double jd = static_cast<double>(j);
            const double level = jd / own_d + jd / others_d;
            const std::size_t first_nonpositive = (j * total + own - 1) / own; // ceil(j * total / own)
            std::size_t cross = (first_nonpositive == 0 ? 0 : first_nonpositive - 1);
            cross = std::min(std::max(cross, start), end);

            const double positive_length = prefix_length[cross] - prefix_length[start];
            const double positive_weighted = prefix_weighted[cross] - prefix_weighted[start];
            const double negative_length = prefix_length[end] - prefix_length[cross];
            const double negative_weighted = prefix_weighted[end] - prefix_weighted[cross];
            area += level * positive_length - positive_weighted / others_d;
            area += negative_weighted / others_d - level * negative_length;
        }
        // Cancellation in the prefix sums can leave a tiny negative remainder for identical samples.
        result[b] = std::max(area, 0.0);
    }
    return result;
}

double finite_mean(const std::vector<double>& values) {
    double sum = 0;
    std::size_t count = 0;
    for (const double v : values) {
        if (std::isfinite(v)) {
            sum += v;
            ++count;
        }
    }
    return count == 0 ? std::nan("") : sum / static_cast<double>(count);
}

double quantile(std::vector<double>& values, double probability) {
    if (values.empty()) {
        throw std::invalid_argument("A quantile of an empty sample is undefined.");
    }
    const double position = std::clamp(probability, 0.0, 1.0) * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(position));
    const double fraction = position - static_cast<double>(below);
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>(below);
    std::nth_element(values.begin(), nth, values.end());
    const double lower = *nth;
    if (fraction == 0 || below + 1 >= values.size()) {
        return lower;
    }
    // After the selection every later element is at least as large; the smallest is the next statistic.
    const double upper = *std::min_element(nth + 1, values.end());
    return lower + (upper - lower) * fraction;
}

double silverman_bandwidth(const std::vector<double>& values) {
    const std::size_t n = values.size();
    if (n < 2) {
        return 0;
    }
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(n);
    double squares = 0;
    for (const double v : values) {
        squares += (v - mean) * (v - mean);
    }
    const double sd = std::sqrt(squares / static_cast<double>(n - 1));

    std::vector<double> scratch(values);
    const double iqr = (quantile(scratch, 0.75) - quantile(scratch, 0.25)) / 1.34;

    double spread = std::min(sd, iqr);
    if (!(spread > 0)) {
        // A sample with a dominant repeated value has no interquartile range; its spread still counts.
        spread = std::max(sd, iqr);
    }
    if (!(spread > 0) || !std::isfinite(spread)) {
        return 0;
    }
    return 0.9 * spread * std::pow(static_cast<double>(n), -0.2);
}

std::vector<double> kernel_density(const std::vector<double>& values, const DensityGrid& grid,
                                   double bandwidth) {
    if (grid.num_points < 2 || !(grid.upper > grid.lower) || !std::isfinite(grid.lower) ||
        !std::isfinite(grid.upper)) {
        throw std::invalid_argument(
            "A density grid needs at least two points and a finite, increasing range.");
    }
    const std::size_t num_points = grid.num_points;
    std::vector<double> density(num_points, 0.0);
    if (values.empty()) {
        return density;
    }

    const double step = grid.step();
    const double h = (bandwidth > 0 && std::isfinite(bandwidth)) ? bandwidth : step;
    // A kernel far wider than the grid is truncated: the weights are renormalised below anyway.
    const double reach = std::min(std::ceil(kKernelReach * h / step), 8.0 * static_cast<double>(num_points));
    const auto half = static_cast<std::size_t>(reach);
    const std::size_t extended = num_points + 2 * half;
    const double extended_lower = grid.lower - static_cast<double>(half) * step;

    // Linear binning: each value splits its unit weight between the two nearest grid points.
    std::vector<double> bins(extended, 0.0);
    const double last = static_cast<double>(extended - 1);
    for (const double v : values) {
        if (!std::isfinite(v)) {
            continue;
        }
        const double position = (v - extended_lower) / step;
        if (position < 0 || position > last) {
            continue;
        }
        const auto k = static_cast<std::size_t>(position);
        const double fraction = position - static_cast<double>(k);
        bins[k] += 1.0 - fraction;
        if (k + 1 < extended) {
            bins[k + 1] += fraction;
        }
    }

    std::vector<double> kernel(2 * half + 1);
    for (std::size_t m = 0; m < kernel.size(); ++m) {
        const double z = (static_cast<double>(m) - static_cast<double>(half)) * step / h;
        kernel[m] = std::exp(-0.5 * z * z);
    }
    const double kernel_sum = std::accumulate(kernel.begin(), kernel.end(), 0.0);

    const double scale = 1.0 / (kernel_sum * static_cast<double>(values.size()) * step);
    for (std::size_t i = 0; i < num_points; ++i) {
        // Grid point i sits at extended index i + half, the centre of the kernel window starting at i.
        double sum = 0;
        for (std::size_t m = 0; m < kernel.size(); ++m) {
            sum += bins[i + m] * kernel[m];
        }
        density[i] = sum * scale;
    }
    return density;
}

std::uint64_t uniform_below(std::mt19937_64& rng, std::uint64_t bound) {
    // Values below 2^64 mod bound would make the low remainders slightly more likely.
    const std::uint64_t threshold = (std::uint64_t{0} - bound) % bound;
    while (true) {
        const std::uint64_t r = rng();
        if (r >= threshold) {
            return r % bound;
        }
    }
}

std::vector<std::size_t> subsample_per_batch(const std::vector<int>& batch, int num_batches,
                                             std::size_t max_per_batch, std::uint64_t seed) {
    check_batches(batch, num_batches);
    std::vector<std::vector<std::size_t>> members(static_cast<std::size_t>(std::max(num_batches, 0)));
    for (std::size_t i = 0; i < batch.size(); ++i) {
        members[static_cast<std::size_t>(batch[i])].push_back(i);
    }

    std::mt19937_64 rng(seed);
    std::vector<std::size_t> chosen;
    for (std::vector<std::size_t>& candidates : members) {
        const std::size_t keep = std::min(max_per_batch, candidates.size());
        if (keep < candidates.size()) {
            // Partial Fisher-Yates shuffle: the first `keep` slots become a uniform random subset.
            for (std::size_t i = 0; i < keep; ++i) {
                const std::size_t pick =
                    i + static_cast<std::size_t>(uniform_below(rng, candidates.size() - i));
                std::swap(candidates[i], candidates[pick]);
            }
        }
        chosen.insert(chosen.end(), candidates.begin(),
                      candidates.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

} // namespace pairmend::report
