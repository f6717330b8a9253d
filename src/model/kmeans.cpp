#include "kmeans.hpp"

#include "centre_distances.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace pairmend::model::internal {

namespace {

// splitmix64: a small generator whose stream is fixed by its seed on every platform.
class SeededStream {
public:
    explicit SeededStream(std::uint64_t seed) : state_(seed) {}

    // A uniform number in [0, 1).
    double uniform() {
        state_ += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t state_;
};

double squared_distance(const double* a, const double* b, std::size_t width) {
    double sum = 0;
    for (std::size_t d = 0; d < width; ++d) {
        const double gap = a[d] - b[d];
        sum += gap * gap;
    }
    return sum;
}

// The position whose cumulative weight first exceeds `target`; the last positive one otherwise.
std::size_t weighted_pick(const std::vector<double>& weights, double target) {
    double running = 0;
    std::size_t last_positive = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (weights[i] > 0) {
            last_positive = i;
        }
        running += weights[i];
        if (running > target) {
            return i;
        }
    }
    return last_positive;
}

} // namespace

std::vector<std::size_t> nearest_centres(int ndim, std::size_t n, const double* points,
                                         const std::vector<double>& centres, int num_threads) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::size_t ncentres = centres.size() / width;
    std::vector<std::size_t> nearest(n, 0);
    // Eight points at a time, their distances to every centre summed side by side.
    const std::size_t ngroups = (n + kBlockEvents - 1) / kBlockEvents;
    const auto count = static_cast<std::ptrdiff_t>(ngroups);
#pragma omp parallel num_threads(std::max(num_threads, 1))
    {
        EventBlock block(width);
        std::vector<double> squared;
#pragma omp for schedule(static)
        for (std::ptrdiff_t g = 0; g < count; ++g) {
            const std::size_t first = static_cast<std::size_t>(g) * kBlockEvents;
            const std::size_t size = std::min(kBlockEvents, n - first);
            block.load(size, points + first * width);
            block.distances(ncentres, centres.data(), squared);
            // Centre by centre for all eight points, which the compiler turns into vector compares.
            double best[kBlockEvents];
            std::size_t chosen[kBlockEvents] = {};
            std::fill_n(best, kBlockEvents, INFINITY);
            for (std::size_t c = 0; c < ncentres; ++c) {
                const double* distances = squared.data() + c * kBlockEvents;
                for (std::size_t l = 0; l < kBlockEvents; ++l) {
                    const bool nearer = distances[l] < best[l];
                    best[l] = nearer ? distances[l] : best[l];
                    chosen[l] = nearer ? c : chosen[l];
                }
            }
            std::copy_n(chosen, size, nearest.begin() + static_cast<std::ptrdiff_t>(first));
        }
    }
    return nearest;
}

std::vector<double> kmeans(int ndim, std::size_t n, const double* points, std::size_t k, std::uint64_t seed,
                           int num_threads) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    k = std::min(k, n);
    std::vector<double> centres;
    if (k == 0) {
        return centres;
    }
    centres.reserve(k * width);

    // k-means++: each new centre drawn with probability proportional to the squared distance to
    // the nearest centre so far.
    SeededStream stream(seed);
    const std::size_t first =
        std::min(n - 1, static_cast<std::size_t>(stream.uniform() * static_cast<double>(n)));
    // Every point's distance is its own slot, so the update splits over threads without changing a
    // bit; the total stays a sum in point order. Points are finite, so the first update gives every
    // point its distance to the first centre.
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::vector<double> closest(n, std::numeric_limits<double>::infinity());
    const auto add_centre = [&](std::size_t point) {
        const std::size_t at = centres.size();
        centres.insert(centres.end(), points + point * width, points + (point + 1) * width);
#pragma omp parallel for schedule(static) num_threads(std::max(num_threads, 1))
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            const auto i = static_cast<std::size_t>(p);
            closest[i] =
                std::min(closest[i], squared_distance(points + i * width, centres.data() + at, width));
        }
    };
    add_centre(first);
    while (centres.size() < k * width) {
        double total = 0;
        for (const double distance : closest) {
            total += distance;
        }
        if (!(total > 0)) {
            break; // fewer distinct points than centres
        }
        add_centre(weighted_pick(closest, stream.uniform() * total));
    }

    // Lloyd's iterations; a centre that loses all its points stays where it is.
    const std::size_t ncentres = centres.size() / width;
    std::vector<std::size_t> assigned(n, ncentres);
    std::vector<double> sums(centres.size());
    std::vector<std::size_t> members(ncentres);
    constexpr int max_iterations = 50;
    for (int iteration = 0; iteration < max_iterations; ++iteration) {
        std::vector<std::size_t> nearest = nearest_centres(ndim, n, points, centres, num_threads);
        if (nearest == assigned) {
            break;
        }
        assigned.swap(nearest);
        std::fill(sums.begin(), sums.end(), 0.0);
        std::fill(members.begin(), members.end(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t c = assigned[i];
            ++members[c];
            for (std::size_t d = 0; d < width; ++d) {
                sums[c * width + d] += points[i * width + d];
            }
        }
        for (std::size_t c = 0; c < ncentres; ++c) {
            if (members[c] > 0) {
                for (std::size_t d = 0; d < width; ++d) {
                    centres[c * width + d] = sums[c * width + d] / static_cast<double>(members[c]);
                }
            }
        }
    }
    return centres;
}

} // namespace pairmend::model::internal
