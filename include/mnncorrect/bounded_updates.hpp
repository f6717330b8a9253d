#ifndef MNNCORRECT_BOUNDED_UPDATES_HPP
#define MNNCORRECT_BOUNDED_UPDATES_HPP

// The searches of the automatic order's table updates, reduced to what can change a result.
//
// After every merge each waiting batch's tables gain the merged rows, and two kinds of search
// feed them. A waiting event's list of reference rows can only gain a new row that is strictly
// nearer than its current k-th entry, so its search among the new rows starts with that distance
// as its radius. A new reference row's list of events in a waiting batch is only ever read to ask
// whether an event that lists the row is among the row's neighbours (an event that drops a row
// never lists it again), so a row no event lists is not searched at all, and a listed row's search
// stops at the farthest event that lists it.
//
// Both searches end with exactly the lists (or, for a reference row, exactly the answers to every
// question ever asked of its list) that the unbounded searches give, since a tree search, bounded
// or not, finds every point nearer than its final radius. Where equal distances at the k-th place
// would leave the choice to the order of the tree search, the unbounded search answers.

#include "knncolle/Base.hpp"
#include "knncolle/VpTree.hpp"
#include "mnncorrect/fuse_nn_results.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace mnncorrect {

namespace internal {

/// The exact index the engine builds, whose searches accept a starting radius.
template <typename Index, typename Float>
using ExactTree = knncolle::VpTree<knncolle::distances::Euclidean, Index, Float, Float, Float>;

/// The index as an exact tree, or null when it is another kind of index (then searches are unbounded).
template <typename Index, typename Float>
const ExactTree<Index, Float>* as_exact_tree(const knncolle::Base<Index, Float, Float>* index) {
    return dynamic_cast<const ExactTree<Index, Float>*>(index);
}

/**
 * Second half of `fuse_nearer`: folds `found`, the answer of
 * `index.find_nearest_within(query, k + 1, base.back().second)` for a full `base`, into `base`,
 * asking the unbounded search when equal distances at the k-th place leave the choice to it.
 *
 * Thread safety: as `fuse_nearer`.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float>
void fuse_found(knncolle::NeighborList<Index, Float>& base, knncolle::NeighborList<Index, Float> found,
                const ExactTree<Index, Float>& index, const Float* query, size_t k,
                typename non_deduced<Index>::type offset) {
    const int wanted = static_cast<int>(k);
    if (found.size() > k) {
        const Float kth = found[k - 1].second;
        if (kth < found[k].second) {
            found.resize(k);
        } else {
            const auto nearer = static_cast<size_t>(
                std::lower_bound(found.begin(), found.end(), kth,
                                 [](const auto& entry, Float value) { return entry.second < value; }) -
                found.begin());
            const auto base_within = static_cast<size_t>(
                std::upper_bound(base.begin(), base.end(), kth,
                                 [](Float value, const auto& entry) { return value < entry.second; }) -
                base.begin());
            if (base_within + nearer >= k) {
                found.resize(nearer);
            } else {
                found = index.find_nearest_neighbors(query, wanted);
            }
        }
    }
    fuse_nn_results(base, found, k, offset);
}

/**
 * Folds the neighbours of `query` among the points of `index` into `base`, which holds the
 * query's `k` nearest among other points in increasing distance: the same list as
 * `fuse_nn_results(base, index.find_nearest_neighbors(query, k), k, offset)`, bit for bit.
 *
 * When `base` is full, a point of the index enters only if it is strictly nearer than the
 * k-th entry (the base entry comes first on equal distances), so the search starts with that
 * radius and looks for one neighbour more than wanted. If the k-th and the (k+1)-th found are
 * equally far, which of the equals the unbounded search keeps depends on its order: the equals
 * are left out when the fused list fills up before reaching them, and otherwise the unbounded
 * search decides.
 *
 * Thread safety: reads the index through its const queries; calls on distinct lists may run
 * concurrently.
 *
 * @param base List to update, in increasing distance, at most `k` entries.
 * @param index Exact tree over the new points, numbered from 0.
 * @param query Query point, `index.ndim()` values.
 * @param k Largest number of entries to keep; must fit in an int.
 * @param offset Added to every index taken from the tree.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float>
void fuse_nearer(knncolle::NeighborList<Index, Float>& base, const ExactTree<Index, Float>& index,
                 const Float* query, size_t k, typename non_deduced<Index>::type offset) {
    const int wanted = static_cast<int>(k);
    const bool full = k > 0 && base.size() >= k && wanted < std::numeric_limits<int>::max();
    // A NaN k-th distance cannot bound anything; such a list falls back to the full search.
    if (!full || !(base.back().second >= 0)) {
        fuse_nn_results(base, index.find_nearest_neighbors(query, wanted), k, offset);
        return;
    }

    fuse_found(base, index.find_nearest_within(query, wanted + 1, base.back().second), index, query, k,
               offset);
}

/**
 * The list of a reference point among the points of `index`, for a point whose list is asked
 * about only whether it holds points no farther than `radius`: those entries are the same as in
 * `index.find_nearest_neighbors(query, k)`, and farther ones may be missing. A negative radius
 * means the list is never asked about and gives an empty list.
 *
 * The search keeps the points no farther than the radius, one more than wanted. With at most
 * `k` of them, all are among the k nearest; with more, the k nearest are the first `k` unless
 * the k-th and the (k+1)-th are equally far, where the unbounded search decides.
 *
 * Thread safety: reads the index through its const queries.
 *
 * @param index Exact tree over the points of a waiting batch.
 * @param query Reference point, `index.ndim()` values.
 * @param k Number of neighbours of the full list; must fit in an int.
 * @param radius Largest distance that will be asked about, or negative for none.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float>
knncolle::NeighborList<Index, Float> list_within(const ExactTree<Index, Float>& index, const Float* query,
                                                 size_t k, Float radius) {
    const int wanted = static_cast<int>(k);
    if (radius < 0) {
        return {};
    }
    if (k == 0 || wanted == std::numeric_limits<int>::max() || !std::isfinite(radius)) {
        return index.find_nearest_neighbors(query, wanted);
    }
    // The search keeps points strictly nearer than its radius; the next value up admits those
    // exactly at `radius`, whose distances are computed by the same arithmetic as the radius.
    const Float limit = std::nextafter(radius, std::numeric_limits<Float>::infinity());
    knncolle::NeighborList<Index, Float> found = index.find_nearest_within(query, wanted + 1, limit);
    if (found.size() > k) {
        if (found[k - 1].second < found[k].second) {
            found.resize(k);
        } else {
            found = index.find_nearest_neighbors(query, wanted);
        }
    }
    return found;
}

/**
 * For every point of a new block of `count` reference rows numbered from `first`, the largest
 * distance at which an entry of `table` names it, or -1 when no entry does (infinity when an
 * entry that names it has a distance that is not a number).
 *
 * @param table Neighbour lists of a waiting batch's events among the reference rows (a vector of
 * lists or a `PackedLists`).
 * @param first Number of the first new row.
 * @param count Number of new rows.
 * @throws std::bad_alloc on exhausted memory.
 */
template <class Lists>
auto farthest_listing(const Lists& table, size_t first, size_t count) {
    using Float = std::decay_t<decltype(std::declval<const Lists&>()[0][0].second)>;
    std::vector<Float> radius(count, -1);
    for (size_t i = 0; i < table.size(); ++i) {
        for (const auto& entry : table[i]) {
            const auto row = static_cast<size_t>(entry.first);
            if (row >= first && row - first < count) {
                Float& current = radius[row - first];
                // A distance that is not a number bounds nothing: such a row is searched in full.
                current = std::isnan(entry.second) ? std::numeric_limits<Float>::infinity()
                                                   : std::max(current, entry.second);
            }
        }
    }
    return radius;
}

} // namespace internal

} // namespace mnncorrect

#endif
