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

    /**
     * `raw_distance` from `x` to four points at once, each sum exactly as `raw_distance` gives it:
     * the four sums advance side by side in dimension order, so that their additions overlap
     * instead of each waiting on the one before.
     */
    template <typename T>
    static void raw_distances4(const T* x, const T* const points[4], int ndim, T out[4]) {
        const T* y0 = points[0];
        const T* y1 = points[1];
        const T* y2 = points[2];
        const T* y3 = points[3];
        T sum0 = 0;
        T sum1 = 0;
        T sum2 = 0;
        T sum3 = 0;
        for (int d = 0; d < ndim; ++d) {
            const T delta0 = x[d] - y0[d];
            const T delta1 = x[d] - y1[d];
            const T delta2 = x[d] - y2[d];
            const T delta3 = x[d] - y3[d];
            sum0 += delta0 * delta0;
            sum1 += delta1 * delta1;
            sum2 += delta2 * delta2;
            sum3 += delta3 * delta3;
        }
        out[0] = sum0;
        out[1] = sum1;
        out[2] = sum2;
        out[3] = sum3;
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
