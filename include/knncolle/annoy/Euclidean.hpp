#ifndef ANNOY_EUCLIDEAN_HPP
#define ANNOY_EUCLIDEAN_HPP

#include "Node.hpp"
#include "knncolle/distances.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace Annoy {

/**
 * Euclidean distance policy of the forest: squared distances, margins of points against a
 * hyperplane and the two-means hyperplane that splits a set of points.
 *
 * Every sum runs from 0 in dimension order and every operation is rounded to `T` (the build
 * uses no fused multiply-add), so the same points give the same forest on every platform.
 *
 * Thread safety: stateless; safe to use from any thread with a generator owned by that thread.
 */
struct Euclidean {
    /// Node record layout used with this distance.
    template <typename S, typename T>
    using Node = Minkowski::Node<S, T>;

    /// Iterations of the two-means refinement in `create_split`.
    static constexpr int two_means_iterations = 200;

    /// Squared Euclidean distance between `x` and `y` (`f` values each), summed in dimension order.
    template <typename T>
    static T distance(const T* x, const T* y, int f) {
        return knncolle::distances::Euclidean::raw_distance<T>(x, y, f);
    }

    /// Squared distances from `x` to four points at once, each exactly as `distance` computes it.
    template <typename T>
    static void distance4(const T* x, const T* const points[4], int f, T out[4]) {
        knncolle::distances::Euclidean::raw_distances4(x, points, f, out);
    }

    /// True distance from a squared one; rounding can only push a sum of squares below 0 in theory.
    template <typename T>
    static T normalized_distance(T squared) {
        return std::sqrt(std::max(squared, T(0)));
    }

    /// Signed margin of `x` against the hyperplane (normal `v`, offset `a`): a + v . x.
    template <typename T>
    static T margin(const T* v, T a, const T* x, int f) {
        T dot = 0;
        for (int z = 0; z < f; ++z) {
            dot += v[z] * x[z];
        }
        return a + dot;
    }

    /**
     * Side of a point with the given margin: 1 when positive, 0 when negative, a coin flip from
     * `random` when exactly 0, and 0 for a margin that is not a number.
     */
    template <typename T, typename Random>
    static int side(T point_margin, Random& random) {
        if (point_margin > 0) {
            return 1;
        }
        if (point_margin == 0) {
            return random.flip();
        }
        return 0;
    }

    /**
     * Computes the hyperplane that splits `candidates` by two-means clustering: two centres start
     * at two distinct random candidates and follow 200 randomly drawn candidates each to the
     * nearer centre (weighted by the centre's count); the hyperplane is the perpendicular bisector
     * of the two centres, oriented so that the first centre's side has positive margin.
     *
     * @param candidates Pointers to the `f` values of each candidate point; at least two.
     * @param f          Number of dimensions.
     * @param random     Generator; exactly 2 + 200 outputs are drawn.
     * @param out        Record whose normal and offset receive the hyperplane.
     */
    template <typename S, typename T, typename Random>
    static void create_split(const std::vector<const T*>& candidates, int f, Random& random, T* out) {
        const std::size_t n = candidates.size();
        if (n < 2) {
            // Nothing to separate: an all-zero normal sends every point to a coin flip.
            std::fill_n(Node<S, T>::values(out), f, T(0));
            Node<S, T>::set_offset(out, T(0));
            return;
        }

        const std::size_t first = random.index(n);
        std::size_t second = random.index(n - 1);
        second += (second >= first); // two distinct starting points

        const auto fz = static_cast<std::size_t>(f);
        // The two centres live in this thread's buffer, reused by its later splits.
        thread_local std::vector<T> centres;
        centres.resize(2 * fz);
        T* p = centres.data();
        T* q = centres.data() + fz;
        std::copy_n(candidates[first], fz, p);
        std::copy_n(candidates[second], fz, q);
        int ic = 1;
        int jc = 1;

        for (int iteration = 0; iteration < two_means_iterations; ++iteration) {
            const T* x = candidates[random.index(n)];
            // Both sums in one pass, each still accumulated in dimension order.
            T sum_p = 0;
            T sum_q = 0;
            for (std::size_t z = 0; z < fz; ++z) {
                const T delta_p = p[z] - x[z];
                const T delta_q = q[z] - x[z];
                sum_p += delta_p * delta_p;
                sum_q += delta_q * delta_q;
            }
            const T di = static_cast<T>(ic) * sum_p;
            const T dj = static_cast<T>(jc) * sum_q;
            if (di < dj) {
                move_centre(p, fz, ic, x);
                ++ic;
            } else if (dj < di) {
                move_centre(q, fz, jc, x);
                ++jc;
            }
        }

        T* v = Node<S, T>::values(out);
        T norm = 0;
        for (std::size_t z = 0; z < fz; ++z) {
            v[z] = p[z] - q[z];
            norm += v[z] * v[z];
        }
        norm = std::sqrt(norm);
        if (norm > 0) {
            for (std::size_t z = 0; z < fz; ++z) {
                v[z] /= norm;
            }
        }

        T a = 0;
        for (std::size_t z = 0; z < fz; ++z) {
            a += ((p[z] + q[z]) * v[z]) * T(-0.5);
        }
        Node<S, T>::set_offset(out, a);
    }

private:
    // Running mean of a centre that has absorbed `count` points, after absorbing `x`.
    template <typename T>
    static void move_centre(T* centre, std::size_t f, int count, const T* x) {
        const T weight = static_cast<T>(count);
        const T next = static_cast<T>(count + 1);
        for (std::size_t z = 0; z < f; ++z) {
            centre[z] = (centre[z] * weight + x[z]) / next;
        }
    }
};

} // namespace Annoy

#endif
