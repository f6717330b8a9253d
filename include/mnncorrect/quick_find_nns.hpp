#ifndef MNNCORRECT_QUICK_FIND_NNS_HPP
#define MNNCORRECT_QUICK_FIND_NNS_HPP

#include "knncolle/Base.hpp"
#include "mnncorrect/locality_order.hpp"
#include "mnncorrect/parallel.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace mnncorrect {

/**
 * Finds, for every query event, its `k` nearest neighbours in `index`, running the queries in
 * the given order.
 *
 * Thread safety: runs one parallel loop with `nthreads` threads that query the shared index
 * concurrently; each iteration writes only its own result slot, so the result depends neither
 * on the thread count nor on the order.
 *
 * @param n Number of query events.
 * @param query Query events, `index->ndim()` values each, one after another.
 * @param index Index to search; only its const queries are used.
 * @param k Number of neighbours per query.
 * @param nthreads Number of threads requested (values below 1 run on one thread).
 * @param order A permutation of 0 .. n-1, e.g. from `locality_order`: the order of the queries.
 * @return One neighbour list per query event, in query order (not in `order`).
 * @throws Whatever a query throws (e.g. std::bad_alloc), rethrown on the calling thread
 * after the loop.
 */
template <typename Index, typename Float>
std::vector<knncolle::NeighborList<Index, Float>>
quick_find_nns(size_t n, const Float* query, const knncolle::Base<Index, Float, Float>* index, int k,
               int nthreads, const std::vector<size_t>& order) {
    std::vector<knncolle::NeighborList<Index, Float>> result(n);
    if (n == 0) {
        return result;
    }

    // The index, not the caller, knows how far apart consecutive query events are.
    const size_t stride = static_cast<size_t>(index->ndim());
    // Chunks of consecutive queries keep the locality of the order; handing them out as
    // threads become free balances regions of the data that cost more to search.
    ParallelErrors errors;
#pragma omp parallel for schedule(dynamic, 64) num_threads(std::max(nthreads, 1))
    for (size_t p = 0; p < n; ++p) {
        errors.run([&] {
            const size_t i = order[p];
            result[i] = index->find_nearest_neighbors(query + i * stride, k);
        });
    }
    errors.rethrow();
    return result;
}

/**
 * Finds, for every query event, its `k` nearest neighbours in `index`. The queries run in
 * `locality_order`, so that consecutive queries reuse the parts of the index in the caches.
 *
 * Thread safety: as the form with an explicit order.
 *
 * @param n Number of query events.
 * @param query Query events, `index->ndim()` values each, one after another.
 * @param index Index to search; only its const queries are used.
 * @param k Number of neighbours per query.
 * @param nthreads Number of threads requested (values below 1 run on one thread).
 * @return One neighbour list per query event, in query order.
 * @throws Whatever a query throws (e.g. std::bad_alloc), rethrown on the calling thread
 * after the loop.
 */
template <typename Index, typename Float>
std::vector<knncolle::NeighborList<Index, Float>>
quick_find_nns(size_t n, const Float* query, const knncolle::Base<Index, Float, Float>* index, int k,
               int nthreads) {
    if (n == 0) {
        return std::vector<knncolle::NeighborList<Index, Float>>();
    }
    return quick_find_nns(n, query, index, k, nthreads, locality_order(index->ndim(), n, query));
}

} // namespace mnncorrect

#endif
