#ifndef PAIRMEND_MODEL_CENTRE_DISTANCES_HPP
#define PAIRMEND_MODEL_CENTRE_DISTANCES_HPP

// Internals of the "curves" method: squared distances from a few events to many centres, summed by
// the engine's block kernel, which keeps the sums of eight events side by side in vector registers;
// and the centres' offsets weighted per event, summed side by side in the same way.

#include "mnncorrect/blocked_nearer.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace pairmend::model::internal {

/// Events whose distances one pass of the kernel sums side by side.
constexpr std::size_t kBlockEvents = mnncorrect::internal::scan_lanes;

/**
 * Up to `kBlockEvents` events copied dimension by dimension (every event's first value, then every
 * event's second value, ...), and their squared distances to a set of centres. Each distance is
 * summed in dimension order from zero, one rounded subtraction (event minus centre), product and
 * sum per dimension, so it equals bit for bit the plain loop `sum += (event[d] - centre[d])^2`.
 *
 * Not thread-safe: one per thread.
 */
class EventBlock {
public:
    explicit EventBlock(std::size_t ndim) : ndim_(ndim), values_(ndim * kBlockEvents) {}

    /// Copies `count` (1 to `kBlockEvents`) events of `ndim` values; the free places repeat the last.
    void load(std::size_t count, const double* events) {
        count_ = count;
        for (std::size_t l = 0; l < kBlockEvents; ++l) {
            const double* event = events + std::min(l, count - 1) * ndim_;
            for (std::size_t d = 0; d < ndim_; ++d) {
                values_[d * kBlockEvents + l] = event[d];
            }
        }
    }

    std::size_t count() const { return count_; }

    /**
     * Squared distances of the loaded events to `ncentres` centres of `ndim` values at `centres`:
     * `squared[c * kBlockEvents + l]` for centre c and event l (`ncentres * kBlockEvents` values).
     */
    void distances(std::size_t ncentres, const double* centres, std::vector<double>& squared) const {
        constexpr std::size_t group = mnncorrect::internal::scan_queries;
        squared.resize(ncentres * kBlockEvents);
        const double* queries[group];
        for (std::size_t c = 0; c < ncentres; c += group) {
            const std::size_t nq = std::min(group, ncentres - c);
            for (std::size_t q = 0; q < nq; ++q) {
                queries[q] = centres + (c + q) * ndim_;
            }
            mnncorrect::internal::block_raw_distances(values_.data(), queries, nq, ndim_,
                                                      squared.data() + c * kBlockEvents);
        }
    }

private:
    std::size_t ndim_;
    std::size_t count_ = 0;
    std::vector<double> values_;
};

namespace detail {

// The sums of `weighted_offsets` for the dimensions [d0, d0 + D), kept in registers over all centres.
template <std::size_t D>
void weighted_offsets_generic(const double* weights, const std::vector<std::size_t>& used,
                              const double* offsets, std::size_t ndim, std::size_t d0, double* sums) {
    double acc[D][kBlockEvents] = {};
    for (const std::size_t c : used) {
        const double* weight = weights + c * kBlockEvents;
        const double* offset = offsets + c * ndim + d0;
        for (std::size_t j = 0; j < D; ++j) {
            for (std::size_t l = 0; l < kBlockEvents; ++l) {
                acc[j][l] += weight[l] * offset[j];
            }
        }
    }
    for (std::size_t j = 0; j < D; ++j) {
        std::copy_n(acc[j], kBlockEvents, sums + (d0 + j) * kBlockEvents);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same sums for four dimensions in AVX registers of four events: a product, then a sum, each
// rounded, as in the plain loop (no fused multiply-add).
__attribute__((target("avx"))) inline void weighted_offsets_avx4(const double* weights,
                                                                 const std::vector<std::size_t>& used,
                                                                 const double* offsets, std::size_t ndim,
                                                                 std::size_t d0, double* sums) {
    static_assert(kBlockEvents == 8, "two registers of four events");
    __m256d acc[4][2];
    for (std::size_t j = 0; j < 4; ++j) {
        acc[j][0] = _mm256_setzero_pd();
        acc[j][1] = _mm256_setzero_pd();
    }
    for (const std::size_t c : used) {
        const double* weight = weights + c * kBlockEvents;
        const __m256d low = _mm256_loadu_pd(weight);
        const __m256d high = _mm256_loadu_pd(weight + 4);
        const double* offset = offsets + c * ndim + d0;
        for (std::size_t j = 0; j < 4; ++j) {
            const __m256d value = _mm256_broadcast_sd(offset + j);
            acc[j][0] = _mm256_add_pd(acc[j][0], _mm256_mul_pd(low, value));
            acc[j][1] = _mm256_add_pd(acc[j][1], _mm256_mul_pd(high, value));
        }
    }
    for (std::size_t j = 0; j < 4; ++j) {
        _mm256_storeu_pd(sums + (d0 + j) * kBlockEvents, acc[j][0]);
        _mm256_storeu_pd(sums + (d0 + j) * kBlockEvents + 4, acc[j][1]);
    }
}
#endif

} // namespace detail

/**
 * For eight events side by side, the centres' offsets weighted per event:
 * `sums[d * kBlockEvents + l]` = the sum over the centres c listed in `used`, in that order, of
 * `weights[c * kBlockEvents + l] * offsets[c * ndim + d]`, from zero, each product and sum rounded
 * as written. A centre left out of `used` must have weight 0 for every event: its products would
 * be +0 or -0 and leave every sum as it is.
 */
inline void weighted_offsets(const double* weights, const std::vector<std::size_t>& used,
                             const double* offsets, std::size_t ndim, double* sums) {
    std::size_t d0 = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (mnncorrect::internal::detail::has_avx()) {
        for (; d0 + 4 <= ndim; d0 += 4) {
            detail::weighted_offsets_avx4(weights, used, offsets, ndim, d0, sums);
        }
    }
#endif
    for (; d0 + 2 <= ndim; d0 += 2) {
        detail::weighted_offsets_generic<2>(weights, used, offsets, ndim, d0, sums);
    }
    for (; d0 < ndim; ++d0) {
        detail::weighted_offsets_generic<1>(weights, used, offsets, ndim, d0, sums);
    }
}

} // namespace pairmend::model::internal

#endif
