#ifndef KNNCOLLE_VP_TREE_HPP
#define KNNCOLLE_VP_TREE_HPP

#include "knncolle/Base.hpp"
#include "knncolle/NeighborQueue.hpp"
#include "knncolle/distances.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace knncolle {

namespace internal {
template <typename Index, typename Data, typename Distance>
struct WorkItem;
} // namespace internal

/**
 * Exact k-nearest-neighbour index: a vantage-point tree.
 *
 * Each node holds one observation (its vantage point) and a threshold distance that splits
 * the rest of its subtree into an inner half (no farther than the threshold) and an outer half.
 * A search visits a half only when the triangle inequality says it can still hold a neighbour
 * nearer than the current k-th, so results are exact.
 *
 * Construction is deterministic: vantage points are drawn from a generator owned by the tree
 * with a fixed seed (1234567890), so the same points always give the same tree, whether trees
 * are built one after another or concurrently. Equal distances in a result are ordered by
 * increasing observation number; among several candidates exactly as far as the k-th
 * neighbour, the one found first by the search is kept.
 *
 * Thread safety: the tree is immutable after construction, and its const queries may be called
 * from any number of threads at once.
 *
 * @tparam Metric Distance metric, with the interface of `distances::Euclidean`.
 * @tparam Index Integer type of observation numbers and node positions.
 * @tparam Data Type of the coordinates handed to the constructor and to queries.
 * @tparam Distance Type of distances, thresholds and search radii.
 * @tparam Store Type of the tree's own copy of the coordinates.
 */
template <class Metric = distances::Euclidean, typename Index = int, typename Data = double,
          typename Distance = double, typename Store = double>
class VpTree final : public Base<Index, Data, Distance> {
public:
    /// One node of the tree: a vantage point and the threshold that splits its subtree.
    struct Node {
        /// Distance from the vantage point to the median point of its subtree.
        Distance threshold = 0;
        /// Observation number of the vantage point.
        Index index = 0;
        /// Node position of the inner subtree (points no farther than the threshold), -1 if none.
        Index left = -1;
        /// Node position of the outer subtree (points at least as far as the threshold), -1 if none.
        Index right = -1;
    };

    /**
     * Builds the tree over a copy of the observations; `data` need not outlive the constructor.
     *
     * @param ndim Number of dimensions of every observation.
     * @param nobs Number of observations; 0 gives an index that answers every query with an empty list.
     * @param data `nobs` observations of `ndim` consecutive values each, one after another.
     * @throws std::runtime_error if `ndim` or `nobs` is negative; std::bad_alloc if memory runs out.
     */
    VpTree(int ndim, Index nobs, const Data* data) : ndim_(ndim), nobs_(nobs) {
        if (ndim < 0 || nobs < 0) {
            std::ostringstream message;
            message << "Cannot build a neighbour index over " << nobs << " events with " << ndim
                    << " parameters each: both counts must be zero or more.";
            throw std::runtime_error(message.str());
        }

        const size_t count = static_cast<size_t>(nobs);
        const size_t width = static_cast<size_t>(ndim);
        node_positions_.resize(count);
        points_.resize(width * count);

        std::vector<internal::WorkItem<Index, Data, Distance>> items;
        items.reserve(count);
        for (Index i = 0; i < nobs; ++i) {
            items.push_back({i, data + static_cast<size_t>(i) * width, 0});
        }

        // Children are linked by position after their recursive builds return, so the one
        // reservation keeps the node array from ever moving while it grows.
        nodes_.reserve(count);
        std::mt19937_64 generator(1234567890);
        buildFromPoints(0, nobs, items, generator);

        // Copy the points in node order, so that a search reads one contiguous row per node
        // and nearby nodes sit next to each other in memory.
        for (size_t j = 0; j < nodes_.size(); ++j) {
            const Index observation_number = nodes_[j].index;
            node_positions_[static_cast<size_t>(observation_number)] = static_cast<Index>(j);
            const Data* source = data + static_cast<size_t>(observation_number) * width;
            std::copy(source, source + width, points_.begin() + static_cast<std::ptrdiff_t>(j * width));
        }
    }

    /// Number of stored observations.
    Index nobs() const override { return nobs_; }

    /// Number of dimensions of every observation.
    int ndim() const override { return ndim_; }

    using Base<Index, Data, Distance>::observation;

    /**
     * Coordinates of stored observation `index` (0 to `nobs()` - 1; not range-checked). Points
     * into the tree's own copy; `buffer` (room for `ndim()` values) is written only when the
     * tree stores its coordinates in a type other than `Data`.
     */
    const Data* observation(Index index, Data* buffer) const override {
        const Store* row = point_row(node_positions_[static_cast<size_t>(index)]);
        if constexpr (std::is_same_v<Store, Data>) {
            return row;
        } else {
            std::copy(row, row + ndim_, buffer);
            return buffer;
        }
    }

    /**
     * The `k` nearest stored observations to stored observation `index` (0 to `nobs()` - 1; not
     * range-checked), the observation itself left out. Duplicates of it are returned at distance 0.
     * A `k` of 0 or less gives an empty list. Throws only `std::bad_alloc`.
     */
    NeighborList<Index, Distance> find_nearest_neighbors(Index index, int k) const override {
        if (k <= 0 || nobs_ == 0) {
            return {};
        }
        // One slot more than wanted, for the observation itself. Capping at the number of
        // observations gives the same result (a queue that cannot fill never shrinks the radius)
        // and keeps the capacity from overflowing.
        const Index wanted = std::min<Index>(static_cast<Index>(k), nobs_ - 1);
        NeighborQueue<Index, Distance> queue(static_cast<int>(wanted) + 1, true, index);
        Distance tau = std::numeric_limits<Distance>::max();
        search_nn(0, point_row(node_positions_[static_cast<size_t>(index)]), tau, queue);
        return queue.harvest();
    }

    /**
     * The `k` nearest stored observations to `query` (`ndim()` values). A `k` of 0 or less, or an
     * empty index, gives an empty list. Throws only `std::bad_alloc`.
     */
    NeighborList<Index, Distance> find_nearest_neighbors(const Data* query, int k) const override {
        if (k <= 0 || nobs_ == 0) {
            return {};
        }
        const Index wanted = std::min<Index>(static_cast<Index>(k), nobs_);
        NeighborQueue<Index, Distance> queue(static_cast<int>(wanted), false, 0);
        Distance tau = std::numeric_limits<Distance>::max();
        search_nn(0, query, tau, queue);
        return queue.harvest();
    }

    /**
     * The `k` nearest stored observations to `query` (`ndim()` values) among those strictly nearer
     * than `limit`: the same search as `find_nearest_neighbors`, started with `limit` as its radius
     * instead of the largest distance, so that it never visits a part of the tree that holds only
     * farther points. Distances are computed exactly as there, so an observation's distance is the
     * same bit for bit in both. Every observation nearer than the k-th entry is in the list; among
     * several exactly as far as the k-th, which ones are kept depends on the search order, as in
     * `find_nearest_neighbors`. A `k` of 0 or less, an empty index or a `limit` of 0 or less gives
     * an empty list. Throws only `std::bad_alloc`.
     */
    NeighborList<Index, Distance> find_nearest_within(const Data* query, int k, Distance limit) const {
        if (k <= 0 || nobs_ == 0 || !(limit > 0)) {
            return {};
        }
        const Index wanted = std::min<Index>(static_cast<Index>(k), nobs_);
        NeighborQueue<Index, Distance> queue(static_cast<int>(wanted), false, 0);
        Distance tau = limit;
        search_nn(0, query, tau, queue);
        return queue.harvest();
    }

    /// The nodes in creation order; position 0 is the root. Exposed for inspection in tests.
    const std::vector<Node>& nodes() const { return nodes_; }

private:
    const Store* point_row(Index node) const {
        return points_.data() + static_cast<size_t>(node) * static_cast<size_t>(ndim_);
    }

    /**
     * Builds the subtree over working items [lower, upper) and returns its node position, or -1
     * when the range is empty. The inner subtree is built completely, consuming its generator
     * draws, before the outer one, which fixes the tree for a given point set.
     */
    Index buildFromPoints(Index lower, Index upper,
                          std::vector<internal::WorkItem<Index, Data, Distance>>& items,
                          std::mt19937_64& generator) {
        if (lower == upper) {
            return -1;
        }

        const Index pos = static_cast<Index>(nodes_.size());
        nodes_.emplace_back();

        const Index gap = upper - lower;
        if (gap >= 2) {
            const std::uint64_t draw = generator();
            const Index chosen = lower + static_cast<Index>(draw % static_cast<std::uint64_t>(gap));
            std::swap(items[static_cast<size_t>(lower)], items[static_cast<size_t>(chosen)]);

            const auto first = items.begin() + lower;
            const Data* vantage = first->point;
            for (auto it = first + 1, end = items.begin() + upper; it != end; ++it) {
                it->distance = Metric::template raw_distance<Distance>(vantage, it->point, ndim_);
            }

            const Index median = lower + gap / 2;
            std::nth_element(first + 1, items.begin() + median, items.begin() + upper,
                             [](const auto& a, const auto& b) { return a.distance < b.distance; });

            const Distance threshold = Metric::normalize(items[static_cast<size_t>(median)].distance);
            const Index vantage_index = first->index;
            const Index left = buildFromPoints(lower + 1, median, items, generator);
            const Index right = buildFromPoints(median, upper, items, generator);

            Node& node = nodes_[static_cast<size_t>(pos)];
            node.threshold = threshold;
            node.index = vantage_index;
            node.left = left;
            node.right = right;
        } else {
            nodes_[static_cast<size_t>(pos)].index = items[static_cast<size_t>(lower)].index;
        }
        return pos;
    }

    /**
     * Searches the subtree at `node` for neighbours of `target`, shrinking `tau` (the distance of
     * the current k-th neighbour once the queue is full). The second child of a node is visited
     * by iteration, so the recursion depth is bounded by the tree height.
     */
    template <typename Target>
    void search_nn(Index node, const Target* target, Distance& tau,
                   NeighborQueue<Index, Distance>& queue) const {
        while (node != -1) {
            const Node& current = nodes_[static_cast<size_t>(node)];
            const Distance dist =
                Metric::normalize(Metric::template raw_distance<Distance>(point_row(node), target, ndim_));

            if (dist < tau) {
                queue.add(current.index, dist);
                if (queue.is_full()) {
                    tau = queue.farthest();
                }
            }

            if (current.left == -1 && current.right == -1) {
                return;
            }

            if (dist < current.threshold) {
                if (dist - tau <= current.threshold) {
                    search_nn(current.left, target, tau, queue);
                }
                if (dist + tau >= current.threshold) {
                    node = current.right;
                } else {
                    return;
                }
            } else {
                if (dist + tau >= current.threshold) {
                    search_nn(current.right, target, tau, queue);
                }
                if (dist - tau <= current.threshold) {
                    node = current.left;
                } else {
                    return;
                }
            }
        }
    }

    int ndim_;
    Index nobs_;
    std::vector<Node> nodes_;
    std::vector<Index> node_positions_;
    std::vector<Store> points_;
};

namespace internal {

/// A point during construction: its observation number, where its coordinates are, and its
/// squared distance to the vantage point of the subtree being split.
template <typename Index, typename Data, typename Distance>
struct WorkItem {
    Index index;
    const Data* point;
    Distance distance;
};

} // namespace internal

} // namespace knncolle

#endif
