#ifndef ANNOY_ANNOY_INDEX_INTERFACE_HPP
#define ANNOY_ANNOY_INDEX_INTERFACE_HPP

#include <vector>

namespace Annoy {

/**
 * Abstract interface of a random-projection forest over items numbered by `S` with values of
 * type `T`, seeded by `R`.
 *
 * Operations that can be refused return false, print the reason on the standard error stream
 * and, when `error` is not null, store a copy of the reason in `*error` that the caller
 * releases with `std::free`.
 *
 * Thread safety: const operations may run concurrently; everything else needs exclusive access.
 */
template <typename S, typename T, typename R>
class AnnoyIndexInterface {
public:
    virtual ~AnnoyIndexInterface() = default;

    /// Stores `vector` (f values) as item `item`, which must not be negative.
    virtual bool add_item(S item, const T* vector, char** error = nullptr) = 0;

    /// Builds `q` trees (as many as fit in twice the item count of nodes when q is -1).
    virtual bool build(int q, int n_threads = -1, char** error = nullptr) = 0;

    /// Discards the trees and keeps the items, so that items can be added and the forest rebuilt.
    virtual bool unbuild(char** error = nullptr) = 0;

    /// Writes the built forest to `filename`; `prefault` has no effect.
    virtual bool save(const char* filename, bool prefault = false, char** error = nullptr) = 0;

    /// Discards everything: items, trees and the loaded state.
    virtual void unload() = 0;

    /// Replaces the contents by the forest saved in `filename`; `prefault` has no effect.
    virtual bool load(const char* filename, bool prefault = false, char** error = nullptr) = 0;

    /// Euclidean distance between stored items `i` and `j`.
    virtual T get_distance(S i, S j) const = 0;

    /**
     * The `n` approximate nearest items to stored item `item` (itself included), examining about
     * `search_k` candidates (-1: n times the number of trees). Distances are appended to
     * `distances` when it is not null.
     */
    virtual void get_nns_by_item(S item, std::size_t n, int search_k, std::vector<S>* result,
                                 std::vector<T>* distances) const = 0;

    /// As `get_nns_by_item`, for a query point of f values.
    virtual void get_nns_by_vector(const T* vector, std::size_t n, int search_k, std::vector<S>* result,
                                   std::vector<T>* distances) const = 0;

    /// One more than the largest item number added.
    virtual S get_n_items() const = 0;

    /// Number of trees built.
    virtual S get_n_trees() const = 0;

    /// Turns progress messages on the standard error stream on or off.
    virtual void verbose(bool v) = 0;

    /// Copies the f values of stored item `item` to `vector`.
    virtual void get_item(S item, T* vector) const = 0;

    /// Seed of the generator used by the next `build`.
    virtual void set_seed(R seed) = 0;

    /// Building directly into a file; see the implementation for whether it is supported.
    virtual bool on_disk_build(const char* filename, char** error = nullptr) = 0;

protected:
    AnnoyIndexInterface() = default;
    AnnoyIndexInterface(const AnnoyIndexInterface&) = default;
    AnnoyIndexInterface& operator=(const AnnoyIndexInterface&) = default;
};

} // namespace Annoy

#endif
