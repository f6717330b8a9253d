#ifndef PAIRMEND_REPORT_QC_STATISTICS_HPP
#define PAIRMEND_REPORT_QC_STATISTICS_HPP

// One-dimensional statistics behind the quality-control report: the earth mover's distance between
// empirical distributions, kernel density estimates on a fixed grid, and a deterministic subsample.
// All functions are free functions without shared state and are safe to call from several threads.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace pairmend::report {

/**
 * Earth mover's (Wasserstein-1) distance between the empirical distributions of two samples:
 * the area between their cumulative distribution functions, in the units of the values.
 * The samples may differ in size; each value carries weight 1/size within its own sample.
 * Runs in O((n + m) log(n + m)).
 *
 * @param first   the first sample; finite values only.
 * @param second  the second sample; finite values only.
 * @return the distance, or NaN when either sample is empty (the distance is undefined then).
 */
double earth_movers_distance(std::vector<double> first, std::vector<double> second);

/**
 * Earth mover's distance of every batch to all other batches pooled, for one parameter.
 * Equivalent to calling earth_movers_distance(batch b, all other batches) for every b, but runs in
 * O(n log n) in total, however many batches there are.
 *
 * @param values     one finite value per event.
 * @param batch      the batch of each event, 0 to num_batches - 1; same length as values.
 * @param num_batches the number of batches.
 * @return one distance per batch; NaN for a batch without events or when no other batch has events.
 * @throws std::invalid_argument when the lengths differ or a batch number is out of range.
 */
std::vector<double> distances_to_other_batches(const std::vector<double>& values,
                                               const std::vector<int>& batch, int num_batches);

/**
 * Silverman's rule-of-thumb bandwidth for a Gaussian kernel:
 * 0.9 * min(standard deviation, interquartile range / 1.34) * n^(-1/5).
 * When one of the two spreads is zero the other is used; when both are zero (fewer than two
 * distinct values) the result is 0 and the caller chooses a fallback.
 *
 * @param values the sample; finite values only.
 * @return the bandwidth in the units of the values, or 0 for samples without spread.
 */
double silverman_bandwidth(const std::vector<double>& values);

/** An evenly spaced grid of points from `lower` to `upper` inclusive, where densities are evaluated.
 *  A plain value; safe to share between threads for reading. */
struct DensityGrid {
    double lower = 0;           ///< the first grid point.
    double upper = 1;           ///< the last grid point; greater than `lower`.
    std::size_t num_points = 2; ///< the number of grid points; at least 2.

    /** The distance between neighbouring grid points. */
    double step() const { return (upper - lower) / static_cast<double>(num_points - 1); }
    /** The position of grid point `i`. */
    double point(std::size_t i) const { return lower + step() * static_cast<double>(i); }
};

/**
 * Gaussian kernel density estimate on a grid, computed by linear binning of the values onto the
 * grid (extended by four bandwidths on each side so that values near the edges keep their mass)
 * followed by a discrete convolution with the kernel. The kernel weights are normalised on the grid,
 * so the estimate integrates to the fraction of values within four bandwidths of the grid even when
 * the bandwidth is narrower than the grid step. Runs in O(n + grid points * kernel width).
 *
 * @param values    the sample; non-finite values are ignored but still count in the normalisation,
 *                  so that the curve shows the share of events it represents.
 * @param grid      where to evaluate the density.
 * @param bandwidth the kernel's standard deviation; values not above zero are replaced by the grid step.
 * @return one density value per grid point (per unit of the values); all zero for an empty sample.
 * @throws std::invalid_argument when the grid has fewer than two points or is not increasing.
 */
std::vector<double> kernel_density(const std::vector<double>& values, const DensityGrid& grid,
                                   double bandwidth);

/**
 * Quantile of a sample by linear interpolation between order statistics (position p * (n - 1),
 * the common "type 7" definition), found by selection in O(n) rather than by sorting.
 *
 * @param values      the sample; reordered by the call.
 * @param probability in [0, 1]; values outside are clamped.
 * @throws std::invalid_argument when the sample is empty.
 */
double quantile(std::vector<double>& values, double probability);

/** The mean of the finite values (in their order); NaN when there is none. */
double finite_mean(const std::vector<double>& values);

/**
 * A uniform draw from 0 to bound - 1, the same on every platform: rejection sampling on the output
 * of std::mt19937_64 (which the C++ standard fixes) instead of the library's distributions (whose
 * algorithms it does not), without the bias of a plain modulo.
 *
 * @param rng   the generator; advanced by one or (rarely) more draws.
 * @param bound the number of possible values; must be positive.
 */
std::uint64_t uniform_below(std::mt19937_64& rng, std::uint64_t bound);

/**
 * A uniformly random subset of up to `max_per_batch` events of every batch, the same on every
 * platform and every run for the same input and seed. Batches with at most `max_per_batch` events
 * are taken whole. The selection uses its own bounded draws from std::mt19937_64 (whose output the
 * C++ standard fixes) rather than the library's distributions (whose algorithms it does not).
 *
 * @param batch         the batch of every event, 0 to num_batches - 1.
 * @param num_batches   the number of batches.
 * @param max_per_batch the largest number of events kept per batch.
 * @param seed          the seed of the random generator.
 * @return the chosen event indices in increasing order.
 * @throws std::invalid_argument when a batch number is out of range.
 */
std::vector<std::size_t> subsample_per_batch(const std::vector<int>& batch, int num_batches,
                                             std::size_t max_per_batch, std::uint64_t seed);

} // namespace pairmend::report

#endif
