#ifndef MNNCORRECT_PACKED_LISTS_HPP
#define MNNCORRECT_PACKED_LISTS_HPP

#include "knncolle/Base.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
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
 * for its length. Lists whose distances are all single-precision values, as the approximate
 * forest's are, can keep them in single precision: 8 bytes per entry, every value read back
 * exactly as it was set.
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

            /// Exactly one of `distance` and `single_distance` is not null.
            Iterator(const Index* id, const Float* distance, const float* single_distance)
                : id_(id), distance_(distance), single_distance_(single_distance) {}
            Entry operator*() const {
                return Entry(*id_, distance_ != nullptr ? *distance_ : static_cast<Float>(*single_distance_));
            }
            Iterator& operator++() {
                ++id_;
                distance_ = distance_ != nullptr ? distance_ + 1 : nullptr;
                single_distance_ = single_distance_ != nullptr ? single_distance_ + 1 : nullptr;
                return *this;
            }
            bool operator==(const Iterator& other) const { return id_ == other.id_; }
            bool operator!=(const Iterator& other) const { return id_ != other.id_; }

        private:
            const Index* id_;
            const Float* distance_;
            const float* single_distance_;
        };

        /// Exactly one of `distances` and `single_distances` is not null.
        View(const Index* ids, const Float* distances, const float* single_distances, size_t count)
            : ids_(ids), distances_(distances), single_distances_(single_distances), count_(count) {}

        size_t size() const { return count_; }
        bool empty() const { return count_ == 0; }
        Entry operator[](size_t j) const {
            return Entry(ids_[j],
                         distances_ != nullptr ? distances_[j] : static_cast<Float>(single_distances_[j]));
        }
        Entry back() const { return (*this)[count_ - 1]; }
        Iterator begin() const { return iterator_at(0); }
        Iterator end() const { return iterator_at(count_); }

    private:
        Iterator iterator_at(size_t j) const {
            return Iterator(ids_ + j, distances_ != nullptr ? distances_ + j : nullptr,
                            single_distances_ != nullptr ? single_distances_ + j : nullptr);
        }

        const Index* ids_;
        const Float* distances_;
        const float* single_distances_;
        size_t count_;
    };

    PackedLists() = default;

    /**
     * Makes `nlists` empty lists of room for `capacity` entries each, their distances kept in
     * single precision when `single_precision` is true.
     * @throws std::bad_alloc on exhausted memory.
     */
    PackedLists(size_t nlists, size_t capacity, bool single_precision = false)
        : capacity_(capacity), ids_(nlists * capacity), distances_(single_precision ? 0 : nlists * capacity),
          single_distances_(single_precision ? nlists * capacity : 0), counts_(nlists, 0),
          single_precision_(single_precision) {}

    /// Number of lists.
    size_t size() const { return counts_.size(); }

    /// Largest number of entries of a list.
    size_t capacity() const { return capacity_; }

    View operator[](size_t i) const {
        const size_t start = i * capacity_;
        return single_precision_ ? View(ids_.data() + start, nullptr, single_distances_.data() + start,
                                        static_cast<size_t>(counts_[i]))
                                 : View(ids_.data() + start, distances_.data() + start, nullptr,
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
     * @throws std::logic_error if the lists keep single precision and a distance is not a
     * single-precision value (a number that would read back changed).
     */
    void set(size_t i, const knncolle::NeighborList<Index, Float>& list) {
        if (list.size() > capacity_) {
            throw std::length_error("A neighbour list is longer than its table has room for.");
        }
        if (single_precision_) {
            for (const auto& entry : list) {
                if (!single_precision_value(entry.second)) {
                    throw std::logic_error("A neighbour distance is not a single-precision value.");
                }
            }
        }
        const size_t start = i * capacity_;
        for (size_t j = 0; j < list.size(); ++j) {
            ids_[start + j] = list[j].first;
            if (single_precision_) {
                single_distances_[start + j] = static_cast<float>(list[j].second);
            } else {
                distances_[start + j] = list[j].second;
            }
        }
        counts_[i] = static_cast<Index>(list.size());
    }

private:
    /// Whether `value` reads back unchanged from single precision (not a number stays not a number).
    static bool single_precision_value(Float value) {
        if (std::isnan(value) || std::isinf(value)) {
            return true;
        }
        return std::fabs(value) <= static_cast<Float>(std::numeric_limits<float>::max()) &&
               static_cast<Float>(static_cast<float>(value)) == value;
    }

    size_t capacity_ = 0;
    std::vector<Index> ids_;
    std::vector<Float> distances_;        // empty when single precision
    std::vector<float> single_distances_; // empty otherwise
    std::vector<Index> counts_;
    bool single_precision_ = false;
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
