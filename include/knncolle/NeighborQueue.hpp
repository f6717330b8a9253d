#ifndef KNNCOLLE_NEIGHBOR_QUEUE_HPP
#define KNNCOLLE_NEIGHBOR_QUEUE_HPP

#include "knncolle/Base.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace knncolle {

/**
 * Turns the candidate heap of a finished search into a neighbour list.
 *
 * The entries come out in increasing distance and, for equal distances, increasing index.
 * When `self` is set, the entry of the queried observation `self_index` is left out; when that
 * observation never made it into the heap (because more duplicates at distance 0 than the heap
 * could hold were found first), the farthest entry is dropped instead, so that a search that
 * kept k + 1 candidates always returns at most k.
 *
 * @param heap Candidates as (distance, index) pairs arranged as a max-heap by `std::less`.
 * @param self Whether the query was a stored observation that must be left out.
 * @param self_index Observation number of that stored observation; ignored unless `self`.
 * @return The neighbour list. Throws only `std::bad_alloc`.
 */
template <typename Index, typename Distance>
NeighborList<Index, Distance> harvest_queue(std::vector<std::pair<Distance, Index>> heap, bool self,
                                            Index self_index);

/**
 * Candidate set of one k-nearest-neighbour search: keeps the `capacity` nearest candidates
 * offered so far in a max-heap ordered by (distance, index), so that the top is the farthest
 * candidate and, among equally far ones, the one with the larger index.
 *
 * A candidate exactly as far as the current farthest of a full queue is never admitted: the
 * candidate found first keeps its place.
 *
 * Not thread-safe; each search owns its own queue.
 */
template <typename Index, typename Distance>
class NeighborQueue {
public:
    /**
     * @param capacity Number of neighbours wanted; 0 or less gives a queue that admits nothing.
     * @param self Whether the query is a stored observation that must be left out of the result.
     * @param self_index Observation number of that stored observation; ignored unless `self`.
     *
     * Reserves the heap storage once (one slot more than the capacity, for the push that
     * precedes a pop), so that adding candidates never allocates. Throws only `std::bad_alloc`.
     */
    NeighborQueue(int capacity, bool self, Index self_index)
        : capacity_(std::max(capacity, 0)), full_(capacity_ == 0), self_(self), self_index_(self_index) {
        heap_.reserve(static_cast<size_t>(capacity_) + 1);
    }

    /// Offers a candidate; it is kept if the queue is not full or it is strictly nearer than the farthest.
    void add(Index index, Distance distance) {
        if (!full_) {
            heap_.emplace_back(distance, index);
            std::push_heap(heap_.begin(), heap_.end());
            if (heap_.size() == static_cast<size_t>(capacity_)) {
                full_ = true;
            }
        } else if (!heap_.empty() && distance < heap_.front().first) {
            heap_.emplace_back(distance, index);
            std::push_heap(heap_.begin(), heap_.end());
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.pop_back();
        }
    }

    /// Whether the queue holds as many candidates as wanted.
    bool is_full() const { return full_; }

    /// Distance of the farthest kept candidate. Only meaningful when the queue holds at least one.
    Distance farthest() const { return heap_.front().first; }

    /// Number of candidates kept so far.
    size_t size() const { return heap_.size(); }

    /// Hands the kept candidates over as a neighbour list (see `harvest_queue`); leaves the queue empty.
    NeighborList<Index, Distance> harvest() {
        std::vector<std::pair<Distance, Index>> heap;
        heap.swap(heap_);
        full_ = capacity_ == 0;
        return harvest_queue(std::move(heap), self_, self_index_);
    }

private:
    int capacity_;
    bool full_;
    bool self_;
    Index self_index_;
    std::vector<std::pair<Distance, Index>> heap_;
};

template <typename Index, typename Distance>
NeighborList<Index, Distance> harvest_queue(std::vector<std::pair<Distance, Index>> heap, bool self,
                                            Index self_index) {
    // Sorting the heap in place yields the same order as popping it (farthest first) and
    // reversing: every (distance, index) pair is distinct because each observation is offered once.
    std::sort_heap(heap.begin(), heap.end());

    NeighborList<Index, Distance> output;
    output.reserve(heap.size());
    bool self_met = false;
    for (const auto& entry : heap) {
        if (self && !self_met && entry.second == self_index) {
            self_met = true;
            continue;
        }
        output.emplace_back(entry.second, entry.first);
    }

    if (self && !self_met && !output.empty()) {
        output.pop_back();
    }
    return output;
}

} // namespace knncolle

#endif
