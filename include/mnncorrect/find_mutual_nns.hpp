#ifndef MNNCORRECT_FIND_MUTUAL_NNS_HPP
#define MNNCORRECT_FIND_MUTUAL_NNS_HPP

#include "knncolle/Base.hpp"

#include <algorithm>
#include <cstddef>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mnncorrect {

/**
 * The mutual-nearest-neighbour pairs of one merge step between a left set (the reference)
 * and a right set (the batch to correct).
 *
 * Thread safety: a plain value type; concurrent reads are safe, writes need exclusive access.
 *
 * @tparam Index Integer type of event numbers.
 */
template <typename Index = int>
struct MnnPairs {
    /**
     * Creates an empty pair set.
     * @param n Number of right events expected to have partners; only used to reserve room.
     */
    explicit MnnPairs(size_t n = 0) {
        matches.max_load_factor(1.0);
        matches.reserve(n);
    }

    /**
     * For every right event with at least one partner, its left partners in the order of
     * that right event's neighbour list (increasing distance). Never holds an empty vector.
     * Iteration order carries no meaning.
     */
    std::unordered_map<Index, std::vector<Index>> matches;

    /// Total number of pairs: the sum of the lengths of all vectors in `matches`.
    size_t num_pairs = 0;
};

/**
 * Finds the mutual nearest neighbours of two point sets.
 *
 * Right event i and left event x form a pair when x is in `right[i]` and i is in `left[x]`.
 * Each left list is sorted at most once (lazily, the first time a right list names it) and
 * scanned once in total with a forward-only cursor, as right events are visited in order.
 * An empty left list never forms a pair.
 *
 * Thread safety: reads only its arguments; calls on distinct tables may run concurrently.
 *
 * @param left For every left event, its neighbours among the right events.
 * @param right For every right event, its neighbours among the left events: a vector of
 * neighbour lists or any table whose lists iterate (index, distance) pairs.
 * @return The pair set. Indices in the lists must be valid event numbers of the other set.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float,
          class RightLists = std::vector<knncolle::NeighborList<Index, Float>>>
MnnPairs<Index> find_mutual_nns(const std::vector<knncolle::NeighborList<Index, Float>>& left,
                                const RightLists& right) {
    const Index num_left = static_cast<Index>(left.size());
    const Index num_right = static_cast<Index>(right.size());
    MnnPairs<Index> output(static_cast<size_t>(num_right));

    std::vector<std::vector<Index>> sorted_partners(static_cast<size_t>(num_left));
    std::vector<size_t> cursors(static_cast<size_t>(num_left));

    for (Index i = 0; i < num_right; ++i) {
        std::vector<Index> found;
        for (const auto& entry : right[static_cast<size_t>(i)]) {
            const size_t x = static_cast<size_t>(entry.first);
            auto& partners = sorted_partners[x];
            if (partners.empty() && !left[x].empty()) {
                partners.reserve(left[x].size());
                for (const auto& neighbor : left[x]) {
                    partners.push_back(neighbor.first);
                }
                std::sort(partners.begin(), partners.end());
            }

            size_t& cursor = cursors[x];
            while (cursor < partners.size() && partners[cursor] < i) {
                ++cursor;
            }
            // The cursor stays on a match: the next right event is larger and moves it on.
            if (cursor < partners.size() && partners[cursor] == i) {
                found.push_back(entry.first);
                ++output.num_pairs;
            }
        }

        if (!found.empty()) {
            output.matches[i] = std::move(found);
        }
    }

    return output;
}

/**
 * The distinct left events of a pair set.
 * @param pairs Pair set.
 * @return Left event numbers in strictly ascending order.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index>
std::vector<Index> unique_left(const MnnPairs<Index>& pairs) {
    std::set<Index> distinct;
    for (const auto& match : pairs.matches) {
        distinct.insert(match.second.begin(), match.second.end());
    }
    return std::vector<Index>(distinct.begin(), distinct.end());
}

/**
 * The distinct right events of a pair set.
 * @param pairs Pair set.
 * @return Right event numbers in strictly ascending order.
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index>
std::vector<Index> unique_right(const MnnPairs<Index>& pairs) {
    std::vector<Index> output;
    output.reserve(pairs.matches.size());
    for (const auto& match : pairs.matches) {
        output.push_back(match.first);
    }
    std::sort(output.begin(), output.end());
    return output;
}

} // namespace mnncorrect

#endif
