#ifndef KNNCOLLE_DISTANCES_HPP
#define KNNCOLLE_DISTANCES_HPP

#include <cmath>
#include <limits>

namespace knncolle {

/// Distance metrics for the neighbour indices.
namespace distances {

/**
 * Euclidean distance, computed in two steps so that searches can work on the cheap raw
 * value and take the square root only when a true distance is needed.
 *
 * The raw value is the sum of squared coordinate differences, accumulated one dimension at a
 * time in dimension order. Every index and every test oracle that sums in this same order
 * gets bit-identical distances, which keeps results reproducible and ties comparable.
 *
 * Stateless; safe to use from any number of threads.
 */
struct Euclidean {
    /**
     * Sum of squared differences between two points.
     * @param x First point, `ndim` contiguous values.
     * @param y Second point, `ndim` contiguous values.
     * @param ndim Number of dimensions.
     * @return The squared Euclidean distance, accumulated in dimension order.
     */
    template <typename Output, typename DataX, typename DataY>
    static Output raw_distance(const DataX* x, const DataY* y, int ndim) {
        Output sum = 0;
        for (int d = 0; d < ndim; ++d) {
            const Output delta = static_cast<Output>(x[d]) - static_cast<Output>(y[d]);
            sum += delta * delta;
        }
        return sum;
    }

    /**
     * The same sum as `raw_distance`, added in the same order, but given up as soon as a partial
     * sum exceeds `bound`: the terms are never negative and rounding is monotone, so the full
     * sum would exceed it too.
     * @param x First point, `ndim` contiguous values.
     * @param y Second point, `ndim` contiguous values.
     * @param ndim Number of dimensions.
     * @param bound Value beyond which the sum is not wanted.
     * @param[out] raw The sum, bit for bit that of `raw_distance`, when the function returns true.
     * @return False when the sum was given up (it exceeds `bound`); true when `raw` holds it, which
     * may still exceed `bound`.
     */
    template <typename Output, typename DataX, typename DataY>
    static bool raw_distance_within(const DataX* x, const DataY* y, int ndim, Output bound, Output& raw) {
        Output sum = 0;
        int d = 0;
        // Checking after every fourth term keeps the test off the chain of additions.
        for (; d + 4 <= ndim; d += 4) {
            for (int e = d; e < d + 4; ++e) {
                const Output delta = static_cast<Output>(x[e]) - static_cast<Output>(y[e]);
                sum += delta * delta;
            }
            if (sum > bound) {
                return false;
            }
        }
        for (; d < ndim; ++d) {
            const Output delta = static_cast<Output>(x[d]) - static_cast<Output>(y[d]);
            sum += delta * delta;
        }
        raw = sum;
        return true;
    }

    /**
     * A raw value that every raw value of a distance below `distance` stays at or below, with a
     * margin far wider than the rounding of the square root; infinity when the square would fall
     * among the smallest numbers, where rounding is coarse, or when `distance` is not a number.
     */
    template <typename Output>
    static Output raw_bound(Output distance) {
        const Output square = distance * distance;
        const Output bound = square + square * Output(1e-9);
        if (!(bound >= Output(1e-280))) {
            return std::numeric_limits<Output>::infinity();
        }
        return bound;
    }

    /// Turns a raw value from `raw_distance` into the Euclidean distance (its square root).
    template <typename Output>
    static Output normalize(Output raw) {
        return std::sqrt(raw);
    }
};

} // namespace distances

} // namespace knncolle

#endif
