#ifndef MNNCORRECT_MEDIAN_HPP
#define MNNCORRECT_MEDIAN_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace mnncorrect {

namespace internal {

/// Ascending order that puts NaN last, so that selections stay well defined on bad input.
template <typename Float>
bool nan_last_less(Float left, Float right) {
    if (std::isnan(left)) {
        return false;
    }
    return std::isnan(right) || left < right;
}

} // namespace internal

/**
 * Median of `n` values.
 *
 * @param n Number of values.
 * @param values Pointer to `n` values; they are reordered in place.
 * @return The middle value for odd `n`, the mean of the two middle values for even `n`,
 * and a quiet NaN for `n` equal to 0. NaN values sort after all numbers.
 * Throws nothing.
 */
template <typename Float>
Float median(size_t n, Float* values) {
    if (n == 0) {
        return std::numeric_limits<Float>::quiet_NaN();
    }

    const size_t half = n / 2;
    std::nth_element(values, values + half, values + n, internal::nan_last_less<Float>);
    const Float upper = values[half];
    if (n % 2 == 1) {
        return upper;
    }

    // The second selection runs over the whole range again, as the first one leaves no
    // guarantee about the element just below the middle.
    std::nth_element(values, values + half - 1, values + n, internal::nan_last_less<Float>);
    return (upper + values[half - 1]) * 0.5;
}

} // namespace mnncorrect

#endif
