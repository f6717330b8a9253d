#ifndef KNNCOLLE_DISTANCES_HPP
#define KNNCOLLE_DISTANCES_HPP

#include <cmath>

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

    /// Turns a raw value from `raw_distance` into the Euclidean distance (its square root).
    template <typename Output>
    static Output normalize(Output raw) {
        return std::sqrt(raw);
    }
};

} // namespace distances

} // namespace knncolle

#endif
