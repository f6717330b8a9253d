#ifndef MNNCORRECT_LOCALITY_ORDER_HPP
#define MNNCORRECT_LOCALITY_ORDER_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <vector>

namespace mnncorrect {

/**
 * An order of the events in which events close in space come one after another.
 *
 * The engine queries whole point sets against a neighbour index; every query is independent
 * and writes only its own slot, so the order in which they run changes no result. Running
 * them in this order lets consecutive queries walk the same parts of the index while those
 * are still in the processor's caches, instead of jumping across it at random.
 *
 * The order comes from recursive halving: a group of events is split at the median of the
 * parameter in which it is widest, down to groups of a few dozen events. Values that are not
 * numbers sort as the largest values, so any input gives a valid order.
 *
 * Thread safety: reads only its arguments; calls may run concurrently.
 *
 * @param ndim Number of values per event.
 * @param n Number of events.
 * @param data The events, `ndim` values each, one after another.
 * @return A permutation of 0 .. n-1.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Float>
std::vector<size_t> locality_order(int ndim, size_t n, const Float* data);

namespace internal {

/// Groups at most this large are left in their order: they fit in the caches together anyway.
constexpr size_t locality_group = 32;

/// Spread of one parameter over the group, estimated from at most a few hundred of its events.
template <typename Float>
Float group_spread(const size_t* first, size_t count, size_t width, size_t dim, const Float* data) {
    const size_t step = std::max<size_t>(1, count / 256);
    Float low = std::numeric_limits<Float>::infinity();
    Float high = -std::numeric_limits<Float>::infinity();
    for (size_t i = 0; i < count; i += step) {
        const Float value = data[first[i] * width + dim];
        low = std::min(low, value);
        high = std::max(high, value);
    }
    return high - low;
}

template <typename Float>
void order_group(size_t width, size_t* first, size_t count, const Float* data) {
    while (count > locality_group) {
        size_t widest = 0;
        Float widest_spread = -1;
        for (size_t d = 0; d < width; ++d) {
            const Float spread = group_spread(first, count, width, d, data);
            if (spread > widest_spread) {
                widest_spread = spread;
                widest = d;
            }
        }

        auto key = [&](size_t event) {
            const Float value = data[event * width + widest];
            return std::isnan(value) ? std::numeric_limits<Float>::infinity() : value;
        };
        const size_t half = count / 2;
        std::nth_element(first, first + half, first + count,
                         [&](size_t left, size_t right) { return key(left) < key(right); });
        order_group(width, first, half, data);
        first += half;
        count -= half;
    }
}

} // namespace internal

template <typename Float>
std::vector<size_t> locality_order(int ndim, size_t n, const Float* data) {
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    if (ndim > 0) {
        internal::order_group(static_cast<size_t>(ndim), order.data(), n, data);
    }
    return order;
}

} // namespace mnncorrect

#endif
