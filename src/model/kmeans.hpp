#ifndef PAIRMEND_MODEL_KMEANS_HPP
#define PAIRMEND_MODEL_KMEANS_HPP

// Internals of the "curves" method: deterministic k-means and nearest-centre assignment.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pairmend::model::internal {

/**
 * `k` centres of `n` points by k-means: k-means++ seeding from a fixed-seed generator, then
 * Lloyd's iterations until no point changes centre (at most 50). Sums run in point order, so the
 * centres depend only on the points and the seed, never on the thread count.
 *
 * @return min(k, n) centres, `ndim` values each.
 */
std::vector<double> kmeans(int ndim, std::size_t n, const double* points, std::size_t k, std::uint64_t seed,
                           int num_threads);

/// Per point, the position of its nearest centre (the first of equally near ones).
std::vector<std::size_t> nearest_centres(int ndim, std::size_t n, const double* points,
                                         const std::vector<double>& centres, int num_threads);

} // namespace pairmend::model::internal

#endif
