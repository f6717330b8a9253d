#ifndef ANNOY_ANNOY_INDEX_HPP
#define ANNOY_ANNOY_INDEX_HPP

#include "AnnoyIndexInterface.hpp"
#include "DescendingQueue.hpp"
#include "WordBlock.hpp"
#include "errors.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ios>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace Annoy {

/**
 * A forest of random-projection trees for approximate nearest-neighbour search.
 *
 * Items are stored in single-precision fixed-size node records (layout `Distance::Node<S, T>`)
 * in one contiguous block that grows geometrically; record i is item i, the trees' nodes follow,
 * and after them one copy of each root. Each tree splits its items recursively by two-means
 * hyperplanes until at most f + 2 remain in a leaf. A query walks all trees at once, always
 * opening the node whose side of its hyperplanes is most favourable, collects a bounded number
 * of candidate items, and ranks the distinct candidates by their exact distance.
 *
 * The forest is filled with `add_item`, then built once. The generator is seeded from a fixed
 * seed, so the same items always give the same forest and the same answers.
 *
 * @tparam S                   Integer type of item and node numbers (4 bytes).
 * @tparam T                   Value type of the stored points (4 bytes).
 * @tparam Distance            Distance policy, e.g. `Annoy::Euclidean`.
 * @tparam Random              Generator, e.g. `Annoy::Kiss64Random`.
 * @tparam ThreadedBuildPolicy How the trees are distributed over threads.
 *
 * Thread safety: const operations (queries) keep their scratch data in buffers owned by the
 * calling thread and may run concurrently; adding items, building and the persistence
 * operations need exclusive access.
 */
template <typename S, typename T, typename Distance, typename Random, typename ThreadedBuildPolicy>
class AnnoyIndex : public AnnoyIndexInterface<S, T, unsigned long long> {
public:
    using Node = typename Distance::template Node<S, T>;

    /// An empty forest over `f` dimensions.
    explicit AnnoyIndex(int f)
        : f_(f), node_size_(Node::bytes(f)), words_(Node::words(f)), K_(Node::leaf_capacity(f)),
          seed_(Random::default_seed) {}

    ~AnnoyIndex() override = default;
    AnnoyIndex(const AnnoyIndex&) = default;
    AnnoyIndex& operator=(const AnnoyIndex&) = default;

    /**
     * Stores the f values of `vector` as item `item`. Refused for a loaded or built index and
     * for a negative item number. Items skipped over (numbers between the previous largest and
     * `item`) stay empty and are never returned.
     */
    bool add_item(S item, const T* vector, char** error = nullptr) override {
        return add_item_impl(item, vector, error);
    }

    /// The body of `add_item`.
    bool add_item_impl(S item, const T* vector, char** error = nullptr) {
        if (loaded_) {
            set_error_from_string(error, "You can't add an item to a loaded index");
            return false;
        }
        if (built_) {
            // The item records would overwrite the trees' nodes.
            set_error_from_string(error, "You can't add an item to a built index; unbuild it first");
            return false;
        }
        if (item < 0) {
            set_error_from_string(error, "You can't add an item with a negative number");
            return false;
        }

        ensure_capacity(item + 1);
        if (item > n_items_) {
            // Records left behind by an earlier build must not pass for items.
            std::fill(record(n_items_), record(item), T(0));
        }
        T* rec = record(item);
        std::fill_n(rec, words_, T(0));
        Node::set_n_descendants(rec, 1);
        std::copy_n(vector, f_, Node::values(rec));

        if (item >= n_items_) {
            n_items_ = item + 1;
        }
        return true;
    }

    /**
     * Builds `q` trees, or with q = -1 as many as needed for the nodes to number twice the
     * items. `n_threads` is passed to the build policy. Refused for a loaded or built index.
     */
    bool build(int q, int n_threads = -1, char** error = nullptr) override {
        if (loaded_) {
            set_error_from_string(error, "You can't build a loaded index");
            return false;
        }
        if (built_) {
            set_error_from_string(error, "You can't build a built index");
            return false;
        }

        n_nodes_ = n_items_;
        ThreadedBuildPolicy::build(*this, q, n_threads);

        // One copy of each root after the last node, in root order.
        const S n_roots = static_cast<S>(roots_.size());
        ensure_capacity(n_nodes_ + n_roots);
        for (S r = 0; r < n_roots; ++r) {
            const T* root = record(roots_[static_cast<std::size_t>(r)]);
            std::copy_n(root, words_, record(n_nodes_ + r));
        }
        n_nodes_ += n_roots;

        // The block grew by factors of 1.3 and nothing is added to a built forest: return the
        // unused records, up to a quarter of the block, while every forest of the job is alive
        // (in place: see WordBlock).
        if (nodes_capacity_ > n_nodes_) {
            nodes_.resize(static_cast<std::size_t>(n_nodes_) * words_);
            nodes_capacity_ = n_nodes_;
        }

        if (verbose_) {
            std::fprintf(stderr, "has %d nodes\n", static_cast<int>(n_nodes_));
        }
        built_ = true;
        return true;
    }

    /**
     * Builds trees on the calling thread with a generator seeded with seed + `thread_index`
     * and appends their roots. Called by the build policy; not meant to be called directly.
     */
    void thread_build(int q, int thread_index) {
        Random random(seed_ + static_cast<unsigned long long>(thread_index));
        std::vector<S> thread_roots;
        std::vector<S> indices;
        indices.reserve(static_cast<std::size_t>(n_items_));

        while (true) {
            if (q == -1) {
                if (static_cast<long long>(n_nodes_) >= 2 * static_cast<long long>(n_items_)) {
                    break;
                }
            } else if (static_cast<long long>(thread_roots.size()) >= q) {
                break;
            }
            if (verbose_) {
                std::fprintf(stderr, "pass %zd...\n", static_cast<std::ptrdiff_t>(thread_roots.size()));
            }

            indices.clear();
            for (S i = 0; i < n_items_; ++i) {
                if (Node::n_descendants(record(i)) >= 1) {
                    indices.push_back(i);
                }
            }
            thread_roots.push_back(_make_tree(indices, true, random));
        }

        roots_.insert(roots_.end(), thread_roots.begin(), thread_roots.end());
    }

    /// Discards the trees and keeps the items. Refused for a loaded index.
    bool unbuild(char** error = nullptr) override {
        if (loaded_) {
            set_error_from_string(error, "You can't unbuild a loaded index");
            return false;
        }
        roots_.clear();
        n_nodes_ = n_items_;
        built_ = false;
        return true;
    }

    /**
     * Writes the built forest to `filename`: the node records as they are in memory, then the
     * root numbers, then a footer of six 32-bit words (format tag, version, f, item count, node
     * count, root count). Refused for an index that is not built or a file that cannot be written.
     */
    bool save(const char* filename, bool /* prefault */ = false, char** error = nullptr) override {
        if (!built_) {
            set_error_from_string(error, "You can't save an index that hasn't been built");
            return false;
        }
        std::ofstream out(filename, std::ios::binary | std::ios::trunc);
        if (!out) {
            set_error_from_errno(error, "Unable to open the index file for writing");
            return false;
        }
        const std::int32_t footer[footer_words] = {file_tag,
                                                   file_version,
                                                   static_cast<std::int32_t>(f_),
                                                   static_cast<std::int32_t>(n_items_),
                                                   static_cast<std::int32_t>(n_nodes_),
                                                   static_cast<std::int32_t>(roots_.size())};
        write_bytes(out, nodes_.data(), static_cast<std::size_t>(n_nodes_) * node_size_);
        write_bytes(out, roots_.data(), roots_.size() * sizeof(S));
        write_bytes(out, footer, sizeof(footer));
        out.close();
        if (!out) {
            set_error_from_errno(error, "Unable to write the index file");
            return false;
        }
        return true;
    }

    /// Discards everything (items, trees, loaded state); the dimension count and seed stay.
    void unload() override {
        nodes_ = WordBlock<T>();
        n_items_ = 0;
        n_nodes_ = 0;
        nodes_capacity_ = 0;
        roots_.clear();
        loaded_ = false;
        built_ = false;
    }

    /**
     * Replaces the contents by a forest written by `save` with the same dimension count. The
     * file is checked before anything is replaced: its size, footer and every node reference
     * must be consistent, so a damaged file cannot make a query read outside the records.
     * The loaded index answers queries but refuses adding items and building.
     */
    bool load(const char* filename, bool /* prefault */ = false, char** error = nullptr) override {
        std::ifstream in(filename, std::ios::binary | std::ios::ate);
        if (!in) {
            set_error_from_errno(error, "Unable to open the index file for reading");
            return false;
        }
        const std::streamoff file_size = in.tellg();
        const auto footer_size = static_cast<std::streamoff>(footer_words * sizeof(std::int32_t));
        std::int32_t footer[footer_words] = {};
        if (file_size < footer_size) {
            set_error_from_string(error, "The index file is too short to hold a saved forest");
            return false;
        }
        in.seekg(file_size - footer_size);
        read_bytes(in, footer, sizeof(footer));
        if (!in || footer[0] != file_tag || footer[1] != file_version) {
            set_error_from_string(error, "The index file does not hold a forest saved by this program");
            return false;
        }
        if (footer[2] != static_cast<std::int32_t>(f_)) {
            const std::string message = "The index file holds a forest over " + std::to_string(footer[2]) +
                                        " dimensions, but this index has " + std::to_string(f_);
            set_error_from_string(error, message.c_str());
            return false;
        }
        const std::int32_t n_items = footer[3];
        const std::int32_t n_nodes = footer[4];
        const std::int32_t n_roots = footer[5];
        if (n_items < 0 || n_nodes < n_items || n_roots < 0 ||
            file_size != static_cast<std::streamoff>(static_cast<std::size_t>(n_nodes) * node_size_ +
                                                     static_cast<std::size_t>(n_roots) * sizeof(S)) +
                             footer_size) {
            set_error_from_string(error, "The index file is truncated or damaged");
            return false;
        }

        WordBlock<T> nodes(static_cast<std::size_t>(n_nodes) * words_);
        std::vector<S> roots(static_cast<std::size_t>(n_roots));
        in.seekg(0);
        read_bytes(in, nodes.data(), nodes.size() * sizeof(T));
        read_bytes(in, roots.data(), roots.size() * sizeof(S));
        if (!in) {
            set_error_from_errno(error, "Unable to read the index file");
            return false;
        }
        if (!valid_forest(nodes, roots, static_cast<S>(n_items), static_cast<S>(n_nodes))) {
            set_error_from_string(error, "The index file is truncated or damaged");
            return false;
        }

        unload();
        nodes_ = std::move(nodes);
        roots_ = std::move(roots);
        n_items_ = static_cast<S>(n_items);
        n_nodes_ = static_cast<S>(n_nodes);
        nodes_capacity_ = n_nodes_;
        loaded_ = true;
        built_ = true;
        return true;
    }

    /// Euclidean distance between stored items `i` and `j` (no range check).
    T get_distance(S i, S j) const override {
        return Distance::normalized_distance(
            Distance::distance(Node::values(record(i)), Node::values(record(j)), f_));
    }

    /// See `AnnoyIndexInterface::get_nns_by_item`; `item` must be a stored item (no range check).
    void get_nns_by_item(S item, std::size_t n, int search_k, std::vector<S>* result,
                         std::vector<T>* distances) const override {
        _get_all_nns(Node::values(record(item)), n, search_k, result, distances);
    }

    /// See `AnnoyIndexInterface::get_nns_by_vector`.
    void get_nns_by_vector(const T* vector, std::size_t n, int search_k, std::vector<S>* result,
                           std::vector<T>* distances) const override {
        _get_all_nns(vector, n, search_k, result, distances);
    }

    S get_n_items() const override { return n_items_; }

    S get_n_trees() const override { return static_cast<S>(roots_.size()); }

    void verbose(bool v) override { verbose_ = v; }

    /// Copies the f values of stored item `item` (no range check) to `vector`.
    void get_item(S item, T* vector) const override { std::copy_n(Node::values(record(item)), f_, vector); }

    void set_seed(unsigned long long seed) override { seed_ = seed; }

    /// Always refused: this index keeps its nodes in memory; build it there and `save` it.
    bool on_disk_build(const char* /* filename */, char** error = nullptr) override {
        set_error_from_string(error,
                              "Building an index on disk is not supported; build it in memory and save it");
        return false;
    }

    /// The f stored values of item `item` (no range check); valid until the index is modified.
    const T* item_vector(S item) const { return Node::values(record(item)); }

    /**
     * The `n` nearest items to `query` among the candidates found in all trees, nearest first,
     * equal distances by increasing item number.
     *
     * @param query     f values.
     * @param n         Number of neighbours wanted.
     * @param search_k  Candidate budget, counting repeats; -1 for n times the number of trees.
     *                  Leaves are taken whole, so the budget can be passed by fewer than f + 2.
     * @param result    Receives the item numbers (appended).
     * @param distances Receives the Euclidean distances when not null (appended).
     */
    void _get_all_nns(const T* query, std::size_t n, int search_k, std::vector<S>* result,
                      std::vector<T>* distances) const {
        const std::size_t n_roots = roots_.size();
        // A negative budget other than -1 is huge when compared as unsigned: no limit.
        const std::size_t budget = (search_k == -1) ? n * n_roots : static_cast<std::size_t>(search_k);

        // Scratch of this thread, reused by its later queries instead of allocated per query.
        QueryScratch& scratch = query_scratch();

        // The nodes to open, most promising first (the larger priority, then the larger node
        // number). A child's key is below its parent's, as the queue requires.
        DescendingQueue& queue = scratch.queue;
        queue.clear();
        MarginCache& margins = scratch.margins;
        margins.clear();
        for (const S root : roots_) {
            queue.push(queue_key(std::numeric_limits<T>::infinity(), root));
        }

        std::vector<S>& nns = scratch.nns;
        nns.clear();
        while (nns.size() < budget && !queue.empty()) {
            const std::uint64_t key = queue.pop();
            const T priority = key_priority(key);
            const S node = key_node(key);

            const T* rec = record(node);
            const S n_descendants = Node::n_descendants(rec);
            if (n_descendants == 1 && node < n_items_) {
                nns.push_back(node);
            } else if (n_descendants <= K_) {
                if (n_descendants > 0) {
                    const std::size_t old_size = nns.size();
                    nns.resize(old_size + static_cast<std::size_t>(n_descendants));
                    Node::copy_leaf_items(rec, static_cast<std::size_t>(n_descendants),
                                          nns.data() + old_size);
                }
            } else {
                const S child1 = Node::child(rec, 1);
                const S child0 = Node::child(rec, 0);
                const T margin = margins.get(node, rec, query, f_);
                queue.push(queue_key(std::min(priority, margin), child1));
                queue.push(queue_key(std::min(priority, -margin), child0));
                // The next node opened is most often a child of this one. Its margin does not
                // depend on this node's, so it is computed now, side by side with this one,
                // instead of after the queue has chosen it.
                margins.look_ahead(child1, record(child1), K_, query, f_);
                margins.look_ahead(child0, record(child0), K_, query, f_);
            }
        }

        // Each distinct candidate's distance once. A stamp per item marks the ones already seen
        // in this query. The ranking below orders (distance, item) pairs completely, so the order
        // in which the candidates are measured does not matter and they are kept as first found;
        // only a distance that is not a number (a stored NaN, or the same infinity in the point
        // and the query) has no place in that order, and then the candidates are measured in
        // ascending item order, as they always were.
        std::vector<std::uint32_t>& stamps = scratch.stamps;
        if (stamps.size() < static_cast<std::size_t>(n_items_) || scratch.stamp == max_stamp) {
            stamps.assign(static_cast<std::size_t>(n_items_), 0);
            scratch.stamp = 0;
        }
        const std::uint32_t stamp = ++scratch.stamp;
        std::vector<S>& distinct = scratch.distinct;
        distinct.clear();
        for (const S item : nns) {
            std::uint32_t& seen = stamps[static_cast<std::size_t>(item)];
            if (seen != stamp && Node::n_descendants(record(item)) == 1) {
                seen = stamp;
                distinct.push_back(item);
            }
        }

        std::vector<std::pair<T, S>>& candidates = scratch.candidates;
        if (!measure(query, distinct, candidates)) {
            std::sort(distinct.begin(), distinct.end());
            measure(query, distinct, candidates);
        }

        const std::size_t p = std::min(n, candidates.size());
        const auto middle = candidates.begin() + static_cast<std::ptrdiff_t>(p);
        std::partial_sort(candidates.begin(), middle, candidates.end());
        for (std::size_t i = 0; i < p; ++i) {
            if (distances != nullptr) {
                distances->push_back(Distance::normalized_distance(candidates[i].first));
            }
            result->push_back(candidates[i].second);
        }
    }

private:
    // Footer of a saved file.
    static constexpr std::size_t footer_words = 6;
    static constexpr std::int32_t file_tag = 0x46524E41; // "ANRF" in little-endian bytes
    static constexpr std::int32_t file_version = 1;

    // Margins of split nodes computed ahead of need, by node number. Direct-mapped: a node
    // whose slot was taken by another is simply computed again, to the same value.
    class MarginCache {
    public:
        void clear() { std::fill(slots_.begin(), slots_.end(), Slot{-1, T(0)}); }

        T get(S node, const T* rec, const T* query, int f) const {
            const Slot& slot = slots_[slot_of(node)];
            return slot.node == node ? slot.margin : margin_of(rec, query, f);
        }

        void look_ahead(S node, const T* rec, S leaf_capacity, const T* query, int f) {
            if (Node::n_descendants(rec) > leaf_capacity) {
                slots_[slot_of(node)] = Slot{node, margin_of(rec, query, f)};
            }
        }

    private:
        struct Slot {
            S node;
            T margin;
        };
        static T margin_of(const T* rec, const T* query, int f) {
            return Distance::margin(Node::values(rec), Node::offset(rec), query, f);
        }

        static constexpr std::size_t size = 1024;
        static std::size_t slot_of(S node) { return static_cast<std::size_t>(node) & (size - 1); }
        std::vector<Slot> slots_ = std::vector<Slot>(size, Slot{-1, T(0)});
    };

    // Per-thread working storage of `_get_all_nns`. The stamps mark the items already seen by
    // the current query (entry == stamp); they outlive a forest, so they are sized to the
    // largest forest queried by the thread and reset when the counter would wrap.
    struct QueryScratch {
        DescendingQueue queue;
        MarginCache margins;
        std::vector<S> nns;
        std::vector<S> distinct;
        std::vector<std::pair<T, S>> candidates;
        std::vector<std::uint32_t> stamps;
        std::uint32_t stamp = 0;
    };
    static constexpr std::uint32_t max_stamp = std::numeric_limits<std::uint32_t>::max();

    // Fills `candidates` with (squared distance, item) for `items`; false if a distance is not
    // a number. Four candidates are measured at a time (see Distance::distance4).
    bool measure(const T* query, const std::vector<S>& items,
                 std::vector<std::pair<T, S>>& candidates) const {
        candidates.resize(items.size());
        const std::size_t n = items.size();
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            if (i + 4 + prefetch_distance <= n) {
                for (std::size_t j = 0; j < 4; ++j) {
                    prefetch(record(items[i + prefetch_distance + j]));
                }
            }
            const T* const points[4] = {Node::values(record(items[i])), Node::values(record(items[i + 1])),
                                        Node::values(record(items[i + 2])),
                                        Node::values(record(items[i + 3]))};
            T sums[4];
            Distance::distance4(query, points, f_, sums);
            for (std::size_t j = 0; j < 4; ++j) {
                candidates[i + j] = std::make_pair(sums[j], items[i + j]);
            }
        }
        for (; i < n; ++i) {
            candidates[i] =
                std::make_pair(Distance::distance(query, Node::values(record(items[i])), f_), items[i]);
        }
        return std::none_of(candidates.begin(), candidates.end(),
                            [](const std::pair<T, S>& c) { return c.first != c.first; });
    }

    // A queue key orders (priority, node) pairs as the pairs compare: the priority's bits, mapped
    // so that unsigned order is float order, above the node number. Priorities are never NaN (a
    // root starts at +infinity and std::min keeps its first argument against a NaN margin), and
    // -0 is stored as +0, which compares equal to it.
    static_assert(std::is_same<T, float>::value && sizeof(S) == 4,
                  "queue keys pack a float and a 32-bit node");

    static std::uint64_t queue_key(T priority, S node) {
        const T value = (priority == 0) ? T(0) : priority;
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        bits = (bits & sign_bit) ? ~bits : (bits | sign_bit);
        return (static_cast<std::uint64_t>(bits) << 32) | static_cast<std::uint32_t>(node);
    }

    static T key_priority(std::uint64_t key) {
        auto bits = static_cast<std::uint32_t>(key >> 32);
        bits = (bits & sign_bit) ? (bits & ~sign_bit) : ~bits;
        T value;
        std::memcpy(&value, &bits, sizeof(value));
        return value;
    }

    static S key_node(std::uint64_t key) { return static_cast<S>(static_cast<std::uint32_t>(key)); }

    static constexpr std::uint32_t sign_bit = 0x80000000u;

    static QueryScratch& query_scratch() {
        thread_local QueryScratch scratch;
        return scratch;
    }

    // Records are reached in random order, so a query is bound by memory latency: ask for the
    // records it will read soon while it works on the current ones.
    static constexpr std::size_t prefetch_distance = 4;
    static void prefetch(const T* rec) {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(rec);
#else
        static_cast<void>(rec);
#endif
    }

    T* record(S node) {
        return nodes_.data() + static_cast<std::size_t>(node) * words_;
    }
    const T* record(S node) const {
        return nodes_.data() + static_cast<std::size_t>(node) * words_;
    }

    void ensure_capacity(S n) {
        if (n > nodes_capacity_) {
            _reallocate_nodes(n);
        }
    }

    // Grows the block by a factor 1.3 (at least to n records), zero-filling the new records.
    void _reallocate_nodes(S n) {
        const auto grown = static_cast<S>((static_cast<double>(nodes_capacity_) + 1) * 1.3);
        const S new_capacity = std::max(n, grown);
        const void* old_address = nodes_.data();
        const std::size_t new_words = static_cast<std::size_t>(new_capacity) * words_;
        nodes_.resize(new_words);
        if (verbose_) {
            std::fprintf(stderr, "Reallocating to %d nodes: old_address=%p, new_address=%p\n",
                         static_cast<int>(new_capacity), old_address,
                         static_cast<const void*>(nodes_.data()));
        }
        nodes_capacity_ = new_capacity;
    }

    // Larger share of two sides, in single precision as the split rules are stated.
    static float split_imbalance(std::size_t left, std::size_t right) {
        const auto ls = static_cast<float>(left);
        const auto rs = static_cast<float>(right);
        const auto fr = static_cast<float>(ls / (rs + ls + 0.000000001));
        return std::max(fr, 1.0f - fr);
    }

    static double imbalance(const std::vector<S> sides[2]) {
        return static_cast<double>(split_imbalance(sides[0].size(), sides[1].size()));
    }

    // Builds the subtree over `indices` and returns its node number (an item number for a lone item).
    S _make_tree(const std::vector<S>& indices, bool is_root, Random& random) {
        const auto count = static_cast<S>(indices.size());
        if (count == 1 && !is_root) {
            return indices[0];
        }

        if (count <= K_ && (!is_root || n_items_ <= K_ || count == 1)) {
            ensure_capacity(n_nodes_ + 1);
            const S number = n_nodes_++;
            T* rec = record(number);
            std::fill_n(rec, words_, T(0));
            // A root leaf counts all items when they fit in it; a lone root item among more items
            // than a leaf holds counts as 1, so that it can never be taken for a split node.
            const S n_descendants = (is_root && n_items_ <= K_) ? n_items_ : count;
            Node::set_n_descendants(rec, n_descendants);
            Node::set_leaf_items(rec, indices.data(), indices.size());
            return number;
        }

        std::vector<const T*> candidates;
        candidates.reserve(indices.size());
        for (const S j : indices) {
            candidates.push_back(Node::values(record(j)));
        }

        // The split node is assembled here and stored only after its subtrees, which may move the block.
        std::vector<T> split(words_, T(0));
        std::vector<S> sides[2];
        for (int attempt = 0; attempt < 3; ++attempt) {
            sides[0].clear();
            sides[1].clear();
            Distance::template create_split<S, T>(candidates, f_, random, split.data());
            const T* normal = Node::values(split.data());
            const T offset = Node::offset(split.data());
            for (std::size_t i = 0; i < indices.size(); ++i) {
                const T margin = Distance::margin(normal, offset, candidates[i], f_);
                sides[Distance::side(margin, random)].push_back(indices[i]);
            }
            if (imbalance(sides) < 0.95) {
                break;
            }
        }

        // No useful hyperplane (e.g. identical points): split at random instead.
        while (imbalance(sides) > 0.99) {
            if (verbose_) {
                std::fprintf(stderr,
                             "\tNo hyperplane found (left has %ld children, right has %ld children)\n",
                             static_cast<long>(sides[0].size()), static_cast<long>(sides[1].size()));
            }
            sides[0].clear();
            sides[1].clear();
            std::fill_n(Node::values(split.data()), f_, T(0));
            for (const S j : indices) {
                sides[random.flip()].push_back(j);
            }
        }

        const int flip = (sides[0].size() > sides[1].size()) ? 1 : 0;
        Node::set_n_descendants(split.data(), is_root ? n_items_ : count);
        for (int s = 0; s < 2; ++s) {
            const int side = s ^ flip;
            Node::set_child(split.data(), side, _make_tree(sides[side], false, random));
            std::vector<S>().swap(sides[side]); // no longer needed while the other side is built
        }

        ensure_capacity(n_nodes_ + 1);
        const S number = n_nodes_++;
        std::copy(split.begin(), split.end(), record(number));
        return number;
    }

    // Every node reference of a loaded forest must stay inside the records: leaves hold item
    // numbers, and split nodes point only to earlier records (as a build creates them), so no
    // query can run outside the block or loop.
    bool valid_forest(const WordBlock<T>& nodes, const std::vector<S>& roots, S n_items, S n_nodes) const {
        for (S i = 0; i < n_nodes; ++i) {
            const T* rec = nodes.data() + static_cast<std::size_t>(i) * words_;
            const S n_descendants = Node::n_descendants(rec);
            if (n_descendants < 0) {
                return false;
            }
            if (n_descendants == 1 && i < n_items) {
                continue;
            }
            if (n_descendants <= K_) {
                for (S slot = 0; slot < n_descendants; ++slot) {
                    const S item = Node::leaf_item(rec, static_cast<std::size_t>(slot));
                    if (item < 0 || item >= n_items) {
                        return false;
                    }
                }
            } else {
                for (int side = 0; side < 2; ++side) {
                    const S child = Node::child(rec, side);
                    if (child < 0 || child >= i) {
                        return false;
                    }
                }
            }
        }
        return std::all_of(roots.begin(), roots.end(), [&](S root) { return root >= 0 && root < n_nodes; });
    }

    template <typename U>
    static void write_bytes(std::ofstream& out, const U* data, std::size_t bytes) {
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    }

    template <typename U>
    static void read_bytes(std::ifstream& in, U* data, std::size_t bytes) {
        in.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(bytes));
    }

    int f_;
    std::size_t node_size_; // bytes per record: 16 + 4 f
    std::size_t words_;     // 4-byte words per record: 4 + f
    S n_items_ = 0;
    WordBlock<T> nodes_; // n_nodes_capacity_ records of words_ each, zero-filled when added
    S n_nodes_ = 0;
    S nodes_capacity_ = 0;
    std::vector<S> roots_;
    S K_;
    unsigned long long seed_;
    bool loaded_ = false;
    bool verbose_ = false;
    bool built_ = false;
};

} // namespace Annoy

#endif
