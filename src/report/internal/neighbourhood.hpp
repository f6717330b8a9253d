#ifndef PAIRMEND_REPORT_NEIGHBOURHOOD_HPP
#define PAIRMEND_REPORT_NEIGHBOURHOOD_HPP

// Neighbourhood figures of the quality-control report, from exact nearest-neighbour searches
// (knncolle::VpTree) over all parameters: how well the batches mix, and how much of each batch's
// own neighbourhood structure a correction keeps. The searches run in parallel; every iteration
// writes only its own slot, so the results do not depend on the thread count. The functions keep
// no shared state and may be called from several threads at once.

#include <cstddef>
#include <vector>

namespace pairmend::report {

/** Neighbourhood mixing of one set of events. A plain value; safe to read from several threads. */
struct Mixing {
    std::vector<double>
        per_batch;      ///< mean mixing of the events of each batch; NaN for a batch without events.
    double overall = 0; ///< mean mixing over all events; NaN when it is undefined.
};

/**
 * For every query event, the share of its k nearest neighbours (itself left out) that carry another
 * batch, divided by the share of other-batch events among all other events ((n - n_b) / (n - 1)
 * for an event of batch b): 1 means as mixed as random labels, 0 means the batches do not meet.
 * k is min(num_neighbours, n - 1).
 *
 * @param rows           n events of ndim values each, event after event; finite values only.
 * @param ndim           the number of parameters.
 * @param batch          the batch of each event, 0 to num_batches - 1 (n entries).
 * @param num_batches    the number of batches.
 * @param num_neighbours the neighbours looked at per event, at least 1.
 * @param num_threads    threads for the searches (values below 1 mean 1).
 * @param queries        the events whose neighbourhoods are measured, in increasing order; the
 *                       neighbours are always searched among all events. The mean of a batch is over
 *                       its query events; the overall mean weighs every batch's mean by its events.
 * @return the mean per batch and overall; NaN throughout when fewer than two batches have events,
 *         and NaN for a batch without query events.
 * @throws std::invalid_argument when the sizes disagree, a batch number or query is out of range;
 *         std::bad_alloc when memory runs out.
 */
Mixing neighbourhood_mixing(const std::vector<double>& rows, int ndim, const std::vector<int>& batch,
                            int num_batches, int num_neighbours, int num_threads,
                            const std::vector<std::size_t>& queries);

/**
 * How much of a batch's neighbourhood structure survives a correction: for every event, the
 * Jaccard index |A ∩ B| / |A ∪ B| of its k nearest neighbours among the batch's events before (A)
 * and after (B) correction, averaged over the events. 1 means every neighbourhood is unchanged (as
 * after a pure shift); low values mean populations were pulled apart or mixed. k is
 * min(num_neighbours, n - 1).
 *
 * @param before         n events of ndim values each before correction; finite values only.
 * @param after          the same events after correction, in the same order.
 * @param ndim           the number of parameters.
 * @param num_neighbours the neighbours compared per event, at least 1.
 * @param num_threads    threads for the searches (values below 1 mean 1).
 * @param queries        the events whose neighbourhoods are compared, in increasing order; their
 *                       neighbours are always searched among all events of the batch.
 * @return the mean Jaccard index over the query events, or NaN for fewer than two events or no query.
 * @throws std::invalid_argument when the sizes disagree or a query is out of range; std::bad_alloc when
 *         memory runs out.
 */
double structure_kept(const std::vector<double>& before, const std::vector<double>& after, int ndim,
                      int num_neighbours, int num_threads, const std::vector<std::size_t>& queries);

/**
 * An evenly spread selection of at most `limit` of `n` events (all of them when n <= limit):
 * event floor(j * n / limit) for j = 0, 1, ..., in increasing order.
 */
std::vector<std::size_t> spread_selection(std::size_t n, std::size_t limit);

} // namespace pairmend::report

#endif
