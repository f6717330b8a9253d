#ifndef MNNCORRECT_COMPUTE_TOTAL_VARIANCE_HPP
#define MNNCORRECT_COMPUTE_TOTAL_VARIANCE_HPP

#include <cstddef>
#include <vector>

namespace mnncorrect {

/**
 * Total spread of one batch, computed in a single pass with a running mean per dimension
 * (Welford's update), so that large offsets do not cancel catastrophically.
 *
 * @param ndim Number of values per event.
 * @param n Number of events.
 * @param data The events, `ndim` values each, one after another.
 * @param as_rss false: the sum over dimensions of the sample variances (divided by n - 1, so
 * one event gives NaN); true: the residual sum of squares around the batch mean.
 * @return The total variance or the residual sum of squares.
 * @throws std::bad_alloc if the running means cannot be allocated.
 */
template <typename Float>
Float compute_total_variance(int ndim, size_t n, const Float* data, bool as_rss) {
    const size_t stride = static_cast<size_t>(ndim);
    std::vector<Float> mean(stride);
    Float sum_squares = 0;
    for (size_t i = 1; i <= n; ++i) {
        const Float* event = data + (i - 1) * stride;
        for (size_t j = 0; j < stride; ++j) {
            const Float x = event[j];
            const Float delta = x - mean[j];
            mean[j] = delta / static_cast<Float>(i) + mean[j];
            sum_squares = sum_squares + (x - mean[j]) * delta;
        }
    }

    if (as_rss) {
        return sum_squares;
    }
    return sum_squares / static_cast<Float>(n - 1);
}

/**
 * Applies the single-batch form to every batch, in id order.
 *
 * @param ndim Number of values per event.
 * @param sizes Number of events of every batch.
 * @param batches Events of every batch; as many pointers as `sizes` has entries.
 * @param as_rss As in the single-batch form.
 * @return One value per batch.
 * @throws std::bad_alloc if memory runs out.
 */
template <typename Float>
std::vector<Float> compute_total_variance(int ndim, const std::vector<size_t>& sizes,
                                          const std::vector<const Float*>& batches, bool as_rss) {
    std::vector<Float> output(sizes.size());
    for (size_t b = 0; b < sizes.size(); ++b) {
        output[b] = compute_total_variance(ndim, sizes[b], batches[b], as_rss);
    }
    return output;
}

} // namespace mnncorrect

#endif
