#ifndef MNNCORRECT_PACKED_LISTS_HPP
#define MNNCORRECT_PACKED_LISTS_HPP

#include "knncolle/Base.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mnncorrect {

namespace internal {

/**
 * The neighbour lists of a fixed set of events in one block, every list holding at most
 * `capacity` entries in increasing distance.
 *
 * The automatic order keeps one list per waiting event for the whole run: millions of lists of
 * a few (id, distance) pairs. As vectors each list costs a vector, an allocation and the padding
 * of every pair; here it costs 12 bytes per entry (ids and distances in separate arrays) and 4
 * for its length.
 *
 * Reading a list gives a view that iterates (id, distance) pairs by value, so loops written for
 * a `knncolle::NeighborList` read it unchanged. A list is replaced whole with `set`.
 *
 * Thread safety: calls on distinct lists may run concurrently; reading a list while it is set
 * is a data race.
 */
template <typename Index, typename Float>
class PackedLists {
public:
    using Entry = std::pair<Index, Float>;

    /// Read-only view of one list.
    class View {
    public:
        class Iterator {
        public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = Entry;
            using difference_type = std::ptrdiff_t;
            using pointer = void;
            using reference = Entry;

            Iterator(const Index* id, const Float* distance) : id_(id), distance_(distance) {}
            Entry operator*() const { return Entry(*id_, *distance_); }
            Iterator& operator++() {
                ++id_;
                ++distance_;
                return *this;
            }
            bool operator==(const Iterator& other) const { return id_ == other.id_; }
            bool operator!=(const Iterator& other) const { return id_ != other.id_; }

        private:
            const Index* id_;
            const Float* distance_;
        };

        View(const Index* ids, const Float* distances, size_t count)
            : ids_(ids), distances_(distances), count_(count) {}

        size_t size() const { return count_; }
        bool empty() const { return count_ == 0; }
        Entry operator[](size_t j) const { return Entry(ids_[j], distances_[j]); }
        Entry back() const { return (*this)[count_ - 1]; }
        Iterator begin() const { return Iterator(ids_, distances_); }
        Iterator end() const { return Iterator(ids_ + count_, distances_ + count_); }

    private:
        const Index* ids_;
        const Float* distances_;
        size_t count_;
    };

    PackedLists() = default;

    /**
     * Makes `nlists` empty lists of room for `capacity` entries each.
     * @throws std::bad_alloc on exhausted memory.
     */
    PackedLists(size_t nlists, size_t capacity)
        : capacity_(capacity), ids_(nlists * capacity), distances_(nlists * capacity), counts_(nlists, 0) {}

    /// Number of lists.
    size_t size() const { return counts_.size(); }

    /// Largest number of entries of a list.
    size_t capacity() const { return capacity_; }

    View operator[](size_t i) const {
        return View(ids_.data() + i * capacity_, distances_.data() + i * capacity_,
                    static_cast<size_t>(counts_[i]));
    }

    /// A copy of list `i` as a neighbour list.
    knncolle::NeighborList<Index, Float> get(size_t i) const {
        const View list = (*this)[i];
        return knncolle::NeighborList<Index, Float>(list.begin(), list.end());
    }

    /**
     * Replaces list `i` by `list`.
     * @throws std::length_error if `list` holds more entries than a list has room for.
     */
    void set(size_t i, const knncolle::NeighborList<Index, Float>& list) {
        if (list.size() > capacity_) {
            throw std::length_error("A neighbour list is longer than its table has room for.");
        }
        Index* ids = ids_.data() + i * capacity_;
        Float* distances = distances_.data() + i * capacity_;
        for (size_t j = 0; j < list.size(); ++j) {
            ids[j] = list[j].first;
            distances[j] = list[j].second;
        }
        counts_[i] = static_cast<Index>(list.size());
    }

private:
    size_t capacity_ = 0;
    std::vector<Index> ids_;
    std::vector<Float> distances_;
    std::vector<Index> counts_;
};

/// Applies `change` to list `i` of a table of vectors, in place.
template <typename Index, typename Float, class Change>
void change_list(std::vector<knncolle::NeighborList<Index, Float>>& table, size_t i, Change change) {
    change(table[i]);
}

/// Applies `change` to a copy of list `i` of a packed table and stores the result.
template <typename Index, typename Float, class Change>
void change_list(PackedLists<Index, Float>& table, size_t i, Change change) {
    knncolle::NeighborList<Index, Float> list = table.get(i);
    change(list);
    table.set(i, list);
}

} // namespace internal

} // namespace mnncorrect

#endif
