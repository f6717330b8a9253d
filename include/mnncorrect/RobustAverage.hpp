#ifndef MNNCORRECT_ROBUST_AVERAGE_HPP
#define MNNCORRECT_ROBUST_AVERAGE_HPP

#include "knncolle/distances.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mnncorrect {

/**
 * Trimmed mean of a set of rows, refined by repeatedly dropping the rows farthest from the
 * current average.
 *
 * Starting from the plain mean, each iteration keeps the rows nearest to the previous
 * average (at least `floor((1 - trim) * (n - 1)) + 1` of them, never splitting rows at the
 * same distance) and averages those.
 *
 * Thread safety: immutable after construction; `run` is const and takes the caller's
 * scratch buffer, so one object may be used from many threads at once.
 *
 * @tparam Index Integer type of row numbers.
 * @tparam Float Type of the data.
 */
template <typename Index = int, typename Float = double>
class RobustAverage {
public:
    /// Caller-owned scratch: (squared distance to the current average, row number) pairs.
    using Scratch = std::vector<std::pair<Float, Index>>;

    /**
     * @param iterations Number of trimming iterations; 0 gives the plain mean.
     * @param trim Proportion of rows that may be dropped in each iteration, from 0 to 1.
     * @throws std::runtime_error "trimming proportion must be in [0, 1]" if `trim` is out of
     * range (checked first), or "number of iterations must be non-negative".
     */
    RobustAverage(int iterations, double trim) : iterations_(iterations), trim_(trim) {
        if (!(trim >= 0 && trim <= 1)) {
            throw std::runtime_error("trimming proportion must be in [0, 1]");
        }
        if (iterations < 0) {
            throw std::runtime_error("number of iterations must be non-negative");
        }
    }

    /**
     * Averages the listed rows of `data`.
     *
     * @param ndim Number of values per row.
     * @param rows Row numbers to average; an empty list gives NaN in every element.
     * @param data Rows of `ndim` values one after another.
     * @param[out] output Receives the `ndim` values of the average.
     * @param scratch Reused buffer; its contents on entry are ignored.
     */
    void run(int ndim, const std::vector<Index>& rows, const Float* data, Float* output,
             Scratch& scratch) const {
        run_rows(
            ndim, rows.size(), [&](size_t position) { return rows[position]; }, data, output, scratch);
    }

    /**
     * Averages the first `nrows` rows of `data`.
     *
     * @param ndim Number of values per row.
     * @param nrows Number of rows; 0 gives NaN in every element.
     * @param data Rows of `ndim` values one after another.
     * @param[out] output Receives the `ndim` values of the average.
     * @param scratch Reused buffer; its contents on entry are ignored.
     */
    void run(int ndim, size_t nrows, const Float* data, Float* output, Scratch& scratch) const {
        run_rows(
            ndim, nrows, [](size_t position) { return static_cast<Index>(position); }, data, output, scratch);
    }

private:
    using Distance = knncolle::distances::Euclidean;

    int iterations_;
    double trim_;

    static constexpr double level_tolerance = 1.0000000001;

    template <class RowOf>
    void run_rows(int ndim, size_t n, RowOf row_of, const Float* data, Float* output,
                  Scratch& scratch) const {
        const size_t width = static_cast<size_t>(ndim);
        auto row_start = [&](Index row) { return data + static_cast<size_t>(row) * width; };

        if (n == 0) {
            // The average of nothing is undefined; say so rather than reading past the buffer.
            std::fill_n(output, width, std::numeric_limits<Float>::quiet_NaN());
            return;
        }

        std::fill_n(output, width, 0);
        for (size_t p = 0; p < n; ++p) {
            const Float* current = row_start(row_of(p));
            for (size_t d = 0; d < width; ++d) {
                output[d] += current[d];
            }
        }
        for (size_t d = 0; d < width; ++d) {
            output[d] /= n;
        }

        scratch.reserve(n);
        if (iterations_ == 0) {
            return;
        }

        // Each average depends only on the one before it, so once an average repeats (a fixed
        // point, or two averages alternating) the remaining iterations are known without running
        // them; a job asking for billions of iterations then still ends. Only watched beyond the
        // default few iterations, so the common case pays nothing.
        const bool watch_repeats = iterations_ > 2;
        std::vector<Float> previous;
        std::vector<Float> before_previous;
        if (watch_repeats) {
            previous.assign(output, output + width);
            before_previous.assign(width, std::numeric_limits<Float>::quiet_NaN());
        }

        const double bound = (1 - trim_) * static_cast<double>(n - 1);
        for (int it = 0; it < iterations_; ++it) {
            scratch.clear();
            // Four rows at a time: each row's sum still runs in dimension order, but four
            // independent sums keep the adder busy instead of waiting on one chain.
            size_t p = 0;
            for (; p + 4 <= n; p += 4) {
                const Index rows[4] = {row_of(p), row_of(p + 1), row_of(p + 2), row_of(p + 3)};
                const Float* const points[4] = {row_start(rows[0]), row_start(rows[1]), row_start(rows[2]),
                                                row_start(rows[3])};
                Float sums[4];
                Distance::raw_distances4(output, points, ndim, sums);
                for (size_t r = 0; r < 4; ++r) {
                    scratch.emplace_back(sums[r], rows[r]);
                }
            }
            for (; p < n; ++p) {
                const Index row = row_of(p);
                scratch.emplace_back(Distance::raw_distance<Float>(row_start(row), output, ndim), row);
            }
            // Function objects, not a pointer, so that the comparison is inlined into the sort;
            // without a distance that is not a number, the plain (distance, row) order is the same.
            const bool any_nan =
                std::any_of(scratch.begin(), scratch.end(),
                            [](const std::pair<Float, Index>& entry) { return std::isnan(entry.first); });
            if (any_nan) {
                std::sort(scratch.begin(), scratch.end(),
                          [](const std::pair<Float, Index>& left, const std::pair<Float, Index>& right) {
                              return by_distance_then_row(left, right);
                          });
            } else {
                std::sort(scratch.begin(), scratch.end(),
                          [](const std::pair<Float, Index>& left, const std::pair<Float, Index>& right) {
                              return left.first < right.first ||
                                     (left.first == right.first && left.second < right.second);
                          });
            }

            std::copy_n(row_start(scratch.front().second), width, output);
            size_t kept = 1;
            Float level = scratch.front().first;
            for (size_t s = 1; s < n; ++s) {
                const Float distance = scratch[s].first;
                // Rows within a tiny relative tolerance of the current level are kept or
                // dropped together, so rounding noise never decides between equidistant rows.
                if (distance > level * level_tolerance) {
                    if (static_cast<double>(kept) > bound) {
                        break;
                    }
                    level = distance;
                }
                const Float* current = row_start(scratch[s].second);
                for (size_t d = 0; d < width; ++d) {
                    output[d] += current[d];
                }
                ++kept;
            }
            for (size_t d = 0; d < width; ++d) {
                output[d] /= kept;
            }

            if (watch_repeats) {
                if (std::equal(output, output + width, previous.begin())) {
                    break;
                }
                if (std::equal(output, output + width, before_previous.begin())) {
                    // Alternating: after an odd number of further iterations the other one is final.
                    if ((iterations_ - 1 - it) % 2 == 1) {
                        std::copy(previous.begin(), previous.end(), output);
                    }
                    break;
                }
                before_previous.swap(previous);
                previous.assign(output, output + width);
            }
        }
    }

    // Ascending by distance, then by row; NaN distances go last so the order stays strict.
    static bool by_distance_then_row(const std::pair<Float, Index>& left,
                                     const std::pair<Float, Index>& right) {
        const bool left_nan = std::isnan(left.first);
        const bool right_nan = std::isnan(right.first);
        if (left_nan || right_nan) {
            if (left_nan != right_nan) {
                return right_nan;
            }
            return left.second < right.second;
        }
        if (left.first != right.first) {
            return left.first < right.first;
        }
        return left.second < right.second;
    }
};

} // namespace mnncorrect

#endif
