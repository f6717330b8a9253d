#ifndef MNNCORRECT_BLOCKED_NEARER_HPP
#define MNNCORRECT_BLOCKED_NEARER_HPP

// The waiting events' searches among newly merged rows, answered by scanning the rows for many
// events at once.
//
// At the neighbour radius a tree search over many parameters visits a large share of its points,
// one at a time and out of memory order. Here the rows are copied in locality order into tiles,
// each with a ball that holds its rows; a group of events nearby in locality order shares every
// tile while it sits in cache, skipping the tiles whose ball lies beyond an event's limit, and
// sums four events' distances to eight rows side by side in vector registers. Each distance is
// summed in dimension order and square-rooted exactly as the tree does it, so every distance
// equals the tree's bit for bit. The rows nearer than an event's limit are then exactly the tree's
// candidates; the scan keeps the nearest of them by (distance, row), which is the tree's answer
// unless equal distances at the last kept place leave the choice to the tree's visiting order,
// and there the tree answers.

#include "knncolle/Base.hpp"
#include "mnncorrect/bounded_updates.hpp"
#include "mnncorrect/packed_lists.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MNNCORRECT_SCAN_X86 1
#endif

namespace mnncorrect {

namespace internal {

/// Rows per block of the transposed copy; the scan keeps this many sums side by side.
constexpr size_t scan_lanes = 8;
/// Events that share each tile of rows.
constexpr size_t scan_group = 64;
/// Fewest new rows, and fewest values per row, for which the engine scans instead of searching.
constexpr size_t scan_min_rows = 2048;
constexpr int scan_min_dims = 8;

/**
 * Whether a value is finite and small enough that no sum of squared differences between such
 * values overflows. The scan gives the tree's answer only for such rows and queries: the tree
 * prunes by comparisons that a distance that is not a number or infinite would upset.
 */
template <typename Float>
bool is_moderate(Float value) {
    return std::abs(value) < std::sqrt(std::numeric_limits<Float>::max()) * static_cast<Float>(1e-6);
}

/// Blocks per tile: the scan skips a tile for an event that a tile's ball shows is too far.
constexpr size_t scan_tile_blocks = 8;

/// Relative margin of the tile test, far above the rounding of any distance it uses.
constexpr double scan_tile_margin = 1e-9;

/**
 * A copy of a set of rows, taken in a given order, in blocks of `scan_lanes` rows, each block
 * dimension by dimension (all rows' first values, then all rows' second values, ...), so that one
 * pass over a block sums the distances of all its rows side by side. The last block is padded
 * with copies of its last row, whose results are ignored. Every `scan_tile_blocks` blocks form a
 * tile with a centre and a radius that holds all its rows; with the rows in locality order, the
 * tiles are small balls that most events are far from.
 *
 * Immutable after construction; may be read from any number of threads.
 */
template <typename Index, typename Float>
class RowBlocks {
public:
    /**
     * @param ndim Values per row.
     * @param nrows Number of rows.
     * @param rows `nrows` rows of `ndim` consecutive values.
     * @param order The rows in the order to copy them, a permutation of 0 to `nrows` - 1.
     * @throws std::bad_alloc on exhausted memory.
     */
    RowBlocks(int ndim, size_t nrows, const Float* rows, const std::vector<size_t>& order)
        : ndim_(static_cast<size_t>(ndim)), nrows_(nrows), nblocks_((nrows + scan_lanes - 1) / scan_lanes),
          values_(nblocks_ * scan_lanes * ndim_), ids_(nblocks_ * scan_lanes) {
        for (size_t v = 0; v < nrows_ * ndim_; ++v) {
            moderate_ = moderate_ && is_moderate(rows[v]);
        }
        for (size_t b = 0; b < nblocks_; ++b) {
            Float* block = values_.data() + b * scan_lanes * ndim_;
            for (size_t l = 0; l < scan_lanes; ++l) {
                const size_t r = order[std::min(b * scan_lanes + l, nrows_ - 1)];
                ids_[b * scan_lanes + l] = static_cast<Index>(r);
                const Float* source = rows + r * ndim_;
                for (size_t d = 0; d < ndim_; ++d) {
                    block[d * scan_lanes + l] = source[d];
                }
            }
        }

        const size_t ntiles = (nblocks_ + scan_tile_blocks - 1) / scan_tile_blocks;
        centres_.assign(ntiles * ndim_, 0);
        radii_.assign(ntiles, 0);
        for (size_t t = 0; t < ntiles; ++t) {
            const size_t first = t * scan_tile_blocks * scan_lanes;
            const size_t last = std::min(first + scan_tile_blocks * scan_lanes, nrows_);
            double* centre = centres_.data() + t * ndim_;
            for (size_t r = first; r < last; ++r) {
                const Float* source = rows + order[r] * ndim_;
                for (size_t d = 0; d < ndim_; ++d) {
                    centre[d] += static_cast<double>(source[d]);
                }
            }
            for (size_t d = 0; d < ndim_; ++d) {
                centre[d] /= static_cast<double>(last - first);
            }
            double radius = 0;
            for (size_t r = first; r < last; ++r) {
                radius = std::max(radius, centre_distance(t, rows + order[r] * ndim_));
            }
            radii_[t] = radius;
        }
    }

    /// Whether every value is moderate (see `is_moderate`), which the scan requires of the rows.
    bool moderate() const { return moderate_; }

    size_t ndim() const { return ndim_; }
    size_t nrows() const { return nrows_; }
    size_t nblocks() const { return nblocks_; }
    const Float* block(size_t b) const { return values_.data() + b * scan_lanes * ndim_; }
    /// Row number (in the set handed to the constructor) of lane `l` of block `b`.
    Index id(size_t b, size_t l) const { return ids_[b * scan_lanes + l]; }

    /**
     * Whether every row of tile `t` is certainly at a distance of at least `limit` from `query`
     * as the tree computes it: the distance to the tile's centre exceeds the limit plus the
     * tile's radius by a margin that covers the rounding of all three.
     */
    bool tile_beyond(size_t t, const Float* query, Float limit) const {
        const double reach = (static_cast<double>(limit) + radii_[t]) * (1 + scan_tile_margin);
        return centre_distance(t, query) > reach;
    }

private:
    double centre_distance(size_t t, const Float* point) const {
        const double* centre = centres_.data() + t * ndim_;
        double sum = 0;
        for (size_t d = 0; d < ndim_; ++d) {
            const double delta = static_cast<double>(point[d]) - centre[d];
            sum += delta * delta;
        }
        return std::sqrt(sum);
    }

    size_t ndim_;
    size_t nrows_;
    size_t nblocks_;
    std::vector<Float> values_;
    std::vector<Index> ids_;
    std::vector<double> centres_;
    std::vector<double> radii_;
    bool moderate_ = true;
};

/**
 * The nearest rows of one event found so far, strictly nearer than its limit, in increasing
 * (distance, row) order, at most `capacity` of them: the same rows whatever the order in which
 * they are offered.
 */
template <typename Index, typename Float>
struct ScanCandidates {
    Float limit;
    size_t capacity;
    std::vector<std::pair<Index, Float>> kept;

    /// Squared distances above this cannot give a square root below the current bound (the
    /// margin exceeds the rounding of the product and of the root); infinite where the square
    /// of the bound would lose precision below the normal range.
    /// Distance that a row must not reach to be kept.
    Float bound() const { return kept.size() == capacity ? kept.back().second : limit; }

    Float raw_bound() const {
        const Float bound = this->bound();
        const Float square = bound * bound;
        if (!(square >= 4 * std::numeric_limits<Float>::min())) {
            return std::numeric_limits<Float>::infinity();
        }
        return square * (1 + 16 * std::numeric_limits<Float>::epsilon());
    }

    void offer(Index row, Float distance) {
        const bool full = kept.size() == capacity;
        const auto before = [](const std::pair<Index, Float>& a, const std::pair<Index, Float>& b) {
            return a.second < b.second || (a.second == b.second && a.first < b.first);
        };
        const std::pair<Index, Float> entry{row, distance};
        if (!(distance < limit) || (full && !before(entry, kept.back()))) {
            return;
        }
        auto place = std::upper_bound(kept.begin(), kept.end(), entry, before);
        if (full) {
            kept.pop_back();
        }
        kept.insert(place, entry);
    }
};

/**
 * Sums the squared distances from `nq` queries to the rows of one block, each sum in dimension
 * order starting from zero with the row's value minus the query's, exactly as
 * `knncolle::distances::Euclidean::raw_distance` does for a tree row and a query: one rounded
 * subtraction, multiplication and addition per dimension, so any vector width gives the same bits.
 * `sums[q * scan_lanes + l]` receives query q's sum for row l.
 */
template <typename Float>
void block_raw_distances(const Float* block, const Float* const* queries, size_t nq, size_t ndim,
                         Float* sums) {
    for (size_t q = 0; q < nq; ++q) {
        Float acc[scan_lanes] = {};
        for (size_t d = 0; d < ndim; ++d) {
            const Float value = queries[q][d];
            const Float* values = block + d * scan_lanes;
            for (size_t l = 0; l < scan_lanes; ++l) {
                const Float delta = values[l] - value;
                acc[l] += delta * delta;
            }
        }
        std::copy(acc, acc + scan_lanes, sums + q * scan_lanes);
    }
}

#ifdef MNNCORRECT_SCAN_X86
namespace detail {

/// The kernel of `block_raw_distances` for `Q` queries of doubles, in SSE2 registers of two rows.
template <size_t Q>
inline void block_sums_sse2(const double* block, const double* const* queries, size_t ndim, double* sums) {
    static_assert(scan_lanes == 8, "four registers of two rows per block");
    __m128d acc[Q][4];
    for (size_t q = 0; q < Q; ++q) {
        for (size_t v = 0; v < 4; ++v) {
            acc[q][v] = _mm_setzero_pd();
        }
    }
    for (size_t d = 0; d < ndim; ++d) {
        const double* values = block + d * scan_lanes;
        const __m128d rows[4] = {_mm_loadu_pd(values), _mm_loadu_pd(values + 2), _mm_loadu_pd(values + 4),
                                 _mm_loadu_pd(values + 6)};
        for (size_t q = 0; q < Q; ++q) {
            const __m128d value = _mm_set1_pd(queries[q][d]);
            for (size_t v = 0; v < 4; ++v) {
                const __m128d delta = _mm_sub_pd(rows[v], value);
                acc[q][v] = _mm_add_pd(acc[q][v], _mm_mul_pd(delta, delta));
            }
        }
    }
    for (size_t q = 0; q < Q; ++q) {
        for (size_t v = 0; v < 4; ++v) {
            _mm_storeu_pd(sums + q * scan_lanes + 2 * v, acc[q][v]);
        }
    }
}

/// The same kernel in AVX registers of four rows. There is no fused multiply-add here, so
/// every lane does the same three rounded operations as in SSE2.
template <size_t Q>
__attribute__((target("avx"))) inline void block_sums_avx(const double* block, const double* const* queries,
                                                          size_t ndim, double* sums) {
    __m256d acc[Q][2];
    for (size_t q = 0; q < Q; ++q) {
        acc[q][0] = _mm256_setzero_pd();
        acc[q][1] = _mm256_setzero_pd();
    }
    for (size_t d = 0; d < ndim; ++d) {
        const double* values = block + d * scan_lanes;
        const __m256d low = _mm256_loadu_pd(values);
        const __m256d high = _mm256_loadu_pd(values + 4);
        for (size_t q = 0; q < Q; ++q) {
            const __m256d value = _mm256_set1_pd(queries[q][d]);
            const __m256d delta_low = _mm256_sub_pd(low, value);
            acc[q][0] = _mm256_add_pd(acc[q][0], _mm256_mul_pd(delta_low, delta_low));
            const __m256d delta_high = _mm256_sub_pd(high, value);
            acc[q][1] = _mm256_add_pd(acc[q][1], _mm256_mul_pd(delta_high, delta_high));
        }
    }
    for (size_t q = 0; q < Q; ++q) {
        _mm256_storeu_pd(sums + q * scan_lanes, acc[q][0]);
        _mm256_storeu_pd(sums + q * scan_lanes + 4, acc[q][1]);
    }
}

__attribute__((target("avx"))) inline void
block_sums_avx_any(const double* block, const double* const* queries, size_t nq, size_t ndim, double* sums) {
    switch (nq) {
    case 4:
        block_sums_avx<4>(block, queries, ndim, sums);
        break;
    case 3:
        block_sums_avx<3>(block, queries, ndim, sums);
        break;
    case 2:
        block_sums_avx<2>(block, queries, ndim, sums);
        break;
    default:
        block_sums_avx<1>(block, queries, ndim, sums);
        break;
    }
}

inline void block_sums_sse2_any(const double* block, const double* const* queries, size_t nq, size_t ndim,
                                double* sums) {
    for (size_t q = 0; q < nq; q += 2) {
        if (nq - q >= 2) {
            block_sums_sse2<2>(block, queries + q, ndim, sums + q * scan_lanes);
        } else {
            block_sums_sse2<1>(block, queries + q, ndim, sums + q * scan_lanes);
        }
    }
}

inline bool has_avx() {
    static const bool avx = __builtin_cpu_supports("avx");
    return avx;
}

} // namespace detail

/// `block_raw_distances` for doubles, up to `scan_queries` queries at a time, in AVX registers
/// where the processor has them.
inline void block_raw_distances(const double* block, const double* const* queries, size_t nq, size_t ndim,
                                double* sums) {
    if (detail::has_avx()) {
        detail::block_sums_avx_any(block, queries, nq, ndim, sums);
    } else {
        detail::block_sums_sse2_any(block, queries, nq, ndim, sums);
    }
}
#endif

/// Queries that share one pass over a block.
constexpr size_t scan_queries = 4;

/**
 * For the events `order[0 .. count)` of a waiting batch (values at `events`, `ndim` per event),
 * folds their neighbours among the new rows into their lists in `table`, with the same result,
 * bit for bit, as `fuse_nearer(table[i], tree, query, k, offset)` for every event `i`.
 *
 * An event whose list is not full, or whose k-th distance is not a number, is passed to
 * `fuse_nearer`. For the others the rows of `blocks` are scanned with the event's k-th distance
 * as limit, keeping the k + 2 nearest by (distance, row); the first k + 1 are the tree's
 * `find_nearest_within(query, k + 1, limit)` unless the (k + 1)-th and (k + 2)-th are equally far,
 * where `fuse_nearer` answers. Groups of `group` events share each tile of `tile_rows` rows.
 *
 * Thread safety: reads `blocks` and `tree` only and writes only the listed events' lists; calls
 * on disjoint sets of events may run concurrently.
 *
 * @throws std::bad_alloc on exhausted memory.
 */
template <typename Index, typename Float, class Lists>
void fuse_nearer_scanned(Lists& table, const Float* events, const size_t* order, size_t count,
                         const RowBlocks<Index, Float>& blocks, const ExactTree<Index, Float>& tree, size_t k,
                         typename non_deduced<Index>::type offset) {
    const size_t ndim = blocks.ndim();
    const int wanted = static_cast<int>(k);
    std::vector<ScanCandidates<Index, Float>> candidates;
    std::vector<size_t> scanned;
    candidates.reserve(count);
    scanned.reserve(count);
    for (size_t p = 0; p < count; ++p) {
        const size_t i = order[p];
        const auto& base = table[i];
        const bool full = k > 0 && base.size() >= k && wanted < std::numeric_limits<int>::max() - 1;
        const Float* query = events + i * ndim;
        if (!full || !(base.back().second >= 0) ||
            !std::all_of(query, query + ndim, [](Float value) { return is_moderate(value); })) {
            change_list(table, i, [&](auto& list) { fuse_nearer(list, tree, query, k, offset); });
            continue;
        }
        scanned.push_back(i);
        ScanCandidates<Index, Float> entry{base.back().second, k + 2, {}};
        entry.kept.reserve(k + 3);
        candidates.push_back(std::move(entry));
    }

    Float sums[scan_queries * scan_lanes];
    const Float* queries[scan_queries];
    std::vector<size_t> active;
    active.reserve(scanned.size());
    const size_t nrows = blocks.nrows();
    for (size_t first = 0; first < blocks.nblocks(); first += scan_tile_blocks) {
        const size_t last = std::min(first + scan_tile_blocks, blocks.nblocks());
        active.clear();
        for (size_t q = 0; q < scanned.size(); ++q) {
            const ScanCandidates<Index, Float>& found = candidates[q];
            if (!blocks.tile_beyond(first / scan_tile_blocks, events + scanned[q] * ndim, found.bound())) {
                active.push_back(q);
            }
        }
        for (size_t a0 = 0; a0 < active.size(); a0 += scan_queries) {
            const size_t nq = std::min(scan_queries, active.size() - a0);
            for (size_t q = 0; q < nq; ++q) {
                queries[q] = events + scanned[active[a0 + q]] * ndim;
            }
            for (size_t b = first; b < last; ++b) {
                block_raw_distances(blocks.block(b), queries, nq, ndim, sums);
                const size_t rows = std::min(scan_lanes, nrows - b * scan_lanes);
                for (size_t q = 0; q < nq; ++q) {
                    ScanCandidates<Index, Float>& found = candidates[active[a0 + q]];
                    const Float bound = found.raw_bound();
                    const Float* row_sums = sums + q * scan_lanes;
                    for (size_t l = 0; l < rows; ++l) {
                        // Like the tree, a row is compared by the square root of its sum; the
                        // bound only spares the roots of sums that are certainly too far.
                        if (!(row_sums[l] > bound)) {
                            found.offer(blocks.id(b, l), std::sqrt(row_sums[l]));
                        }
                    }
                }
            }
        }
    }

    for (size_t q = 0; q < scanned.size(); ++q) {
        const size_t i = scanned[q];
        auto& kept = candidates[q].kept;
        if (kept.size() == k + 2 && !(kept[k].second < kept[k + 1].second)) {
            change_list(table, i, [&](auto& list) { fuse_nearer(list, tree, events + i * ndim, k, offset); });
            continue;
        }
        if (kept.size() > k + 1) {
            kept.resize(k + 1);
        }
        change_list(table, i, [&](auto& list) {
            fuse_found(list, std::move(kept), tree, events + i * ndim, k, offset);
        });
    }
}

} // namespace internal

} // namespace mnncorrect

#endif
