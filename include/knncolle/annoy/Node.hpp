#ifndef ANNOY_NODE_HPP
#define ANNOY_NODE_HPP

#include <cstddef>
#include <cstring>

namespace Annoy {
namespace Minkowski {

/**
 * Layout of one fixed-size node record of the forest, for Minkowski-type distances.
 *
 * A record is `4 + f` words of 4 bytes, back to back: the descendant count (`S`), the
 * hyperplane offset a (`T`), the two child node numbers (`S`) and f values (`T`), which are the
 * point of an item record or the hyperplane normal of a split node. A leaf record stores up to
 * f + 2 item numbers (`S`) from the children field onward, over the children and the values.
 *
 * Records live in a block of `T` words. The `T` fields are read directly; the `S` fields are
 * copied bit for bit with memcpy, so no object is ever read through a pointer of another type.
 *
 * Thread safety: stateless; the functions are safe wherever the record they touch is.
 */
template <typename S, typename T>
struct Node {
    static_assert(sizeof(S) == 4 && sizeof(T) == 4, "node records are made of 4-byte words");

    /// Words of a record over `f` dimensions.
    static std::size_t words(int f) { return header_words + static_cast<std::size_t>(f); }

    /// Bytes of a record over `f` dimensions: 16 + 4 f.
    static std::size_t bytes(int f) { return words(f) * sizeof(T); }

    /// Largest number of item numbers a leaf record holds: f + 2.
    static S leaf_capacity(int f) { return static_cast<S>(f + 2); }

    /// Descendant count: 1 for an item, the number of items below a tree node.
    static S n_descendants(const T* record) { return read_word(record + descendants_word); }
    static void set_n_descendants(T* record, S count) { write_word(record + descendants_word, count); }

    /// Hyperplane offset of a split node.
    static T offset(const T* record) { return record[offset_word]; }
    static void set_offset(T* record, T a) { record[offset_word] = a; }

    /// Child node number of `side` (0 or 1) of a split node.
    static S child(const T* record, int side) {
        return read_word(record + children_word + static_cast<std::size_t>(side));
    }
    static void set_child(T* record, int side, S node) {
        write_word(record + children_word + static_cast<std::size_t>(side), node);
    }

    /// The f values: an item's point or a split node's hyperplane normal.
    static const T* values(const T* record) { return record + header_words; }
    static T* values(T* record) { return record + header_words; }

    /// Item number in slot `slot` of a leaf record.
    static S leaf_item(const T* record, std::size_t slot) { return read_word(record + children_word + slot); }

    /// Copies `count` item numbers of a leaf record to `out`.
    static void copy_leaf_items(const T* record, std::size_t count, S* out) {
        if (count > 0) { // memcpy must not see the null data pointer of an empty vector
            std::memcpy(out, record + children_word, count * sizeof(S));
        }
    }

    /// Writes `count` item numbers into a leaf record from slot 0 onward.
    static void set_leaf_items(T* record, const S* items, std::size_t count) {
        if (count > 0) {
            std::memcpy(record + children_word, items, count * sizeof(S));
        }
    }

    /// Word positions of the fields.
    static constexpr std::size_t descendants_word = 0;
    static constexpr std::size_t offset_word = 1;
    static constexpr std::size_t children_word = 2;
    static constexpr std::size_t header_words = 4;

private:
    static S read_word(const T* word) {
        S out;
        std::memcpy(&out, word, sizeof(S));
        return out;
    }
    static void write_word(T* word, S value) { std::memcpy(word, &value, sizeof(S)); }
};

} // namespace Minkowski
} // namespace Annoy

#endif
