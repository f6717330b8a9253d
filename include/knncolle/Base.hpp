#ifndef KNNCOLLE_BASE_HPP
#define KNNCOLLE_BASE_HPP

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace knncolle {

/// A neighbour list: (observation number, Euclidean distance) pairs in increasing distance.
template <typename INDEX_t = int, typename DISTANCE_t = double>
using NeighborList = std::vector<std::pair<INDEX_t, DISTANCE_t>>;

/**
 * Abstract k-nearest-neighbour index over a fixed set of observations.
 *
 * Observations are `ndim()` consecutive values each, stored one after another.
 * Every implementation copies what it needs at construction, is immutable afterwards,
 * and its const queries are safe to call from many threads at once.
 *
 * @tparam INDEX_t  Integer type of observation numbers.
 * @tparam DATA_t   Type of the coordinates.
 * @tparam DISTANCE_t Type of the returned distances.
 */
template <typename INDEX_t = int, typename DATA_t = double, typename DISTANCE_t = double>
class Base {
public:
    /// Number of stored observations.
    virtual INDEX_t nobs() const = 0;

    /// Number of dimensions of every observation.
    virtual int ndim() const = 0;

    virtual ~Base() = default;

    /**
     * Coordinates of stored observation `index`. An implementation either returns a pointer
     * into its own storage or fills `buffer` (room for `ndim()` values) and returns it;
     * callers read through the returned pointer only.
     */
    virtual const DATA_t* observation(INDEX_t index, DATA_t* buffer) const = 0;

    /// Coordinates of stored observation `index` as a new vector.
    std::vector<DATA_t> observation(INDEX_t index) const {
        std::vector<DATA_t> output(static_cast<size_t>(ndim()));
        const DATA_t* ptr = observation(index, output.data());
        if (ptr != output.data()) {
            std::copy(ptr, ptr + ndim(), output.begin());
        }
        return output;
    }

    /// The `k` nearest stored observations to stored observation `index`, which is left out.
    virtual NeighborList<INDEX_t, DISTANCE_t> find_nearest_neighbors(INDEX_t index, int k) const = 0;

    /// The `k` nearest stored observations to `query` (`ndim()` values).
    virtual NeighborList<INDEX_t, DISTANCE_t> find_nearest_neighbors(const DATA_t* query, int k) const = 0;

protected:
    Base() = default;
    Base(const Base&) = default;
    Base& operator=(const Base&) = default;
};

} // namespace knncolle

#endif
