#ifndef ANNOY_DESCENDING_QUEUE_HPP
#define ANNOY_DESCENDING_QUEUE_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Annoy {

/**
 * A max-priority queue of distinct 64-bit keys for the case where every key pushed is smaller
 * than the last key popped (a radix heap). A forest query has that shape: a child's priority
 * never exceeds its parent's and a child's node number is below its parent's, so the (priority,
 * node) keys it pushes only ever fall.
 *
 * Bucket b > 0 holds the keys whose highest bit differing from the last popped key is bit b - 1;
 * bucket 0 holds the key equal to it. A key therefore only moves to lower buckets, a push is
 * constant time and a pop is amortised over the bits of the keys, instead of the logarithmic
 * sift with unpredictable branches of a binary heap. The pop order is that of any max-heap over
 * the same distinct keys.
 *
 * Thread safety: none; each query thread owns its queue.
 */
class DescendingQueue {
public:
    /// Empties the queue; the next key may be any value.
    void clear() {
        buckets_[0].clear();
        for (std::uint64_t mask = occupied_; mask != 0; mask &= mask - 1) {
            buckets_[static_cast<std::size_t>(lowest_bit(mask)) + 1].clear();
        }
        occupied_ = 0;
        last_ = ~std::uint64_t(0);
    }

    bool empty() const { return buckets_[0].empty() && occupied_ == 0; }

    /// Adds `key`, which must not exceed the last key popped since `clear`.
    void push(std::uint64_t key) {
        const std::uint64_t differing = key ^ last_;
        if (differing == 0) {
            buckets_[0].push_back(key);
            return;
        }
        const int bit = highest_bit(differing);
        buckets_[static_cast<std::size_t>(bit) + 1].push_back(key);
        occupied_ |= std::uint64_t(1) << bit;
    }

    /// Removes and returns the largest key; the queue must not be empty.
    std::uint64_t pop() {
        if (buckets_[0].empty()) {
            // The largest key sits in the lowest occupied bucket. It becomes the reference, and
            // the rest of that bucket agree with it above a lower bit, so they move to lower buckets.
            const int bit = lowest_bit(occupied_);
            std::vector<std::uint64_t>& from = buckets_[static_cast<std::size_t>(bit) + 1];
            std::uint64_t largest = from.front();
            for (const std::uint64_t key : from) {
                largest = key > largest ? key : largest;
            }
            last_ = largest;
            occupied_ &= ~(std::uint64_t(1) << bit);
            for (const std::uint64_t key : from) {
                push(key);
            }
            from.clear();
        }
        std::vector<std::uint64_t>& top = buckets_[0];
        const std::uint64_t key = top.back();
        top.pop_back();
        return key;
    }

private:
    // Positions of the lowest and highest set bit of a non-zero word.
    static int lowest_bit(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
        return __builtin_ctzll(word);
#else
        int bit = 0;
        while ((word & 1) == 0) {
            word >>= 1;
            ++bit;
        }
        return bit;
#endif
    }

    static int highest_bit(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
        return 63 - __builtin_clzll(word);
#else
        int bit = 0;
        while (word >>= 1) {
            ++bit;
        }
        return bit;
#endif
    }

    std::vector<std::uint64_t> buckets_[65];
    std::uint64_t occupied_ = 0; // bit b set when bucket b + 1 holds keys
    std::uint64_t last_ = ~std::uint64_t(0);
};

} // namespace Annoy

#endif
