#ifndef KNNCOLLE_ANNOY_HPP
#define KNNCOLLE_ANNOY_HPP

#include "Base.hpp"
#include "annoy/AnnoyIndex.hpp"
#include "annoy/Euclidean.hpp"
#include "annoy/Kiss64Random.hpp"
#include "annoy/SingleThreadedBuildPolicy.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

namespace knncolle {

/**
 * Approximate neighbour index: a forest of random-projection trees (`Annoy::AnnoyIndex`) behind
 * the `knncolle::Base` interface. The points are stored in single precision, so distances carry
 * single-precision error; equal distances are ordered by increasing observation number.
 *
 * @tparam DISTANCE      Distance policy of the forest, e.g. `Annoy::Euclidean`.
 * @tparam INDEX_t       Observation number type of the interface.
 * @tparam DATA_t        Coordinate type of the interface.
 * @tparam DISTANCE_t    Distance type of the interface.
 * @tparam ANNOY_INDEX_t Item number type inside the forest.
 * @tparam ANNOY_DATA_t  Value type inside the forest.
 *
 * Thread safety: immutable after construction; queries are const, keep their scratch data in
 * buffers owned by the calling thread and may run from many threads at once.
 */
template <typename DISTANCE, typename INDEX_t = int, typename DATA_t = double, typename DISTANCE_t = double,
          typename ANNOY_INDEX_t = int, typename ANNOY_DATA_t = float>
class Annoy : public Base<INDEX_t, DATA_t, DISTANCE_t> {
public:
    /// The forest type held by the index.
    using Forest = ::Annoy::AnnoyIndex<ANNOY_INDEX_t, ANNOY_DATA_t, DISTANCE, ::Annoy::Kiss64Random,
                                       ::Annoy::AnnoyIndexSingleThreadedBuildPolicy>;

    /**
     * Builds the forest over `nobs` observations of `ndim` values each, stored one after another
     * at `data` (copied, converted to the nearest single-precision values).
     *
     * @param ntrees      Number of trees; -1 for as many as fit in twice the observations of nodes.
     * @param search_mult Candidate budget per requested neighbour; negative for the forest's
     *                    default (the number of trees per requested neighbour).
     * @throws std::runtime_error if `ndim` is negative.
     */
    Annoy(int ndim, INDEX_t nobs, const DATA_t* data, int ntrees = 50, double search_mult = -1)
        : forest_(checked_ndim(ndim)), ndim_(ndim), search_mult_(search_mult) {
        const auto dims = static_cast<std::size_t>(ndim);
        std::vector<ANNOY_DATA_t> converted(dims);
        for (INDEX_t i = 0; i < nobs; ++i) {
            const DATA_t* point = data + static_cast<std::size_t>(i) * dims;
            for (std::size_t z = 0; z < dims; ++z) {
                converted[z] = static_cast<ANNOY_DATA_t>(point[z]);
            }
            forest_.add_item_impl(static_cast<ANNOY_INDEX_t>(i), converted.data());
        }
        forest_.build(ntrees, -1);
    }

    ~Annoy() override = default;

    INDEX_t nobs() const override { return static_cast<INDEX_t>(forest_.get_n_items()); }

    int ndim() const override { return ndim_; }

    using Base<INDEX_t, DATA_t, DISTANCE_t>::observation;

    /// Fills `buffer` with the stored (single-precision) values of observation `index` and returns it.
    const DATA_t* observation(INDEX_t index, DATA_t* buffer) const override {
        const ANNOY_DATA_t* stored = forest_.item_vector(static_cast<ANNOY_INDEX_t>(index));
        std::copy_n(stored, ndim_, buffer);
        return buffer;
    }

    /**
     * The `k` approximate nearest observations to stored observation `index` (0 to nobs - 1, not
     * checked), which is left out. A negative `k` counts as 0.
     */
    NeighborList<INDEX_t, DISTANCE_t> find_nearest_neighbors(INDEX_t index, int k) const override {
        NeighborList<INDEX_t, DISTANCE_t> output;
        if (k <= 0 || nobs() == 0) {
            return output;
        }
        // One more than asked for, as the observation itself is normally among them.
        const std::size_t wanted = static_cast<std::size_t>(k) + 1;
        std::vector<ANNOY_INDEX_t> items;
        std::vector<ANNOY_DATA_t> distances;
        reserve_for(wanted, items, distances);
        forest_._get_all_nns(forest_.item_vector(static_cast<ANNOY_INDEX_t>(index)), wanted,
                             search_budget(wanted), &items, &distances);

        output.reserve(items.size());
        bool self_found = false;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!self_found && items[i] == static_cast<ANNOY_INDEX_t>(index)) {
                self_found = true;
                continue;
            }
            output.emplace_back(static_cast<INDEX_t>(items[i]), static_cast<DISTANCE_t>(distances[i]));
        }
        if (!self_found && !output.empty()) {
            output.pop_back(); // k + 1 others came back: keep k
        }
        return output;
    }

    /// The `k` approximate nearest observations to `query` (`ndim()` values). A negative `k` counts as 0.
    NeighborList<INDEX_t, DISTANCE_t> find_nearest_neighbors(const DATA_t* query, int k) const override {
        NeighborList<INDEX_t, DISTANCE_t> output;
        if (k <= 0 || nobs() == 0) {
            return output;
        }
        const auto wanted = static_cast<std::size_t>(k);
        // This thread's buffers, reused by its later queries.
        thread_local std::vector<ANNOY_DATA_t> converted;
        thread_local std::vector<ANNOY_INDEX_t> items;
        thread_local std::vector<ANNOY_DATA_t> distances;
        converted.resize(static_cast<std::size_t>(ndim_));
        for (std::size_t z = 0; z < converted.size(); ++z) {
            converted[z] = static_cast<ANNOY_DATA_t>(query[z]);
        }
        items.clear();
        distances.clear();
        forest_._get_all_nns(converted.data(), wanted, search_budget(wanted), &items, &distances);

        output.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            output.emplace_back(static_cast<INDEX_t>(items[i]), static_cast<DISTANCE_t>(distances[i]));
        }
        return output;
    }

    /// The underlying forest, for inspection.
    const Forest& forest() const { return forest_; }

private:
    static int checked_ndim(int ndim) {
        if (ndim < 0) {
            throw std::runtime_error("The number of dimensions of a neighbour index must not be negative.");
        }
        return ndim;
    }

    // Candidate budget for `wanted` neighbours: -1 selects the forest's default.
    int search_budget(std::size_t wanted) const {
        if (search_mult_ < 0) {
            return -1;
        }
        const double budget = static_cast<double>(wanted) * search_mult_ + 0.5;
        if (budget >= static_cast<double>(std::numeric_limits<int>::max())) {
            return std::numeric_limits<int>::max();
        }
        return static_cast<int>(budget);
    }

    void reserve_for(std::size_t wanted, std::vector<ANNOY_INDEX_t>& items,
                     std::vector<ANNOY_DATA_t>& distances) const {
        const std::size_t most = std::min(wanted, static_cast<std::size_t>(nobs()));
        items.reserve(most);
        distances.reserve(most);
    }

    Forest forest_;
    int ndim_;
    double search_mult_;
};

} // namespace knncolle

#endif
