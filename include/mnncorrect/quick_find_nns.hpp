#ifndef MNNCORRECT_QUICK_FIND_NNS_HPP
#define MNNCORRECT_QUICK_FIND_NNS_HPP

#include "knncolle/Base.hpp"
#include "mnncorrect/parallel.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace mnncorrect {

/**
 * Finds, for every query event, its `k` nearest neighbours in `index`.
 *
 * Thread safety: runs one parallel loop with `nthreads` threads that query the shared index
 * concurrently; each iteration writes only its own result slot, so the result does not
 * depend on the thread count.
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
    std::vector<knncolle::NeighborList<Index, Float>> result(n);
    if (n == 0) {
        return result;
    }

    // The index, not the caller, knows how far apart consecutive query events are.
    const size_t stride = static_cast<size_t>(index->ndim());
    ParallelErrors errors;
#pragma omp parallel for schedule(static) num_threads(std::max(nthreads, 1))
    for (size_t i = 0; i < n; ++i) {
        errors.run([&] { result[i] = index->find_nearest_neighbors(query + i * stride, k); });
    }
    errors.rethrow();
    return result;
}

} // namespace mnncorrect

#endif
