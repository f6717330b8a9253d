#ifndef PAIRMEND_MODEL_SUBSAMPLE_HPP
#define PAIRMEND_MODEL_SUBSAMPLE_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pairmend::model {

/**
 * floor(a * b / c), exactly, for any 64-bit a and b whose result fits in 64 bits.
 *
 * @throws std::invalid_argument if `c` is 0.
 */
std::uint64_t scaled_floor(std::uint64_t a, std::uint64_t b, std::uint64_t c);

/**
 * An evenly spread subsample of `n` positions: `min(n, count)` positions, position
 * floor(i * n / count) for i = 0 .. count-1 (all of 0 .. n-1 when count >= n), ascending.
 * Exact integer arithmetic, for any n and count.
 */
std::vector<std::size_t> even_positions(std::size_t n, std::size_t count);

/**
 * How many rows of every block an evenly spread subsample of `cap` rows of all blocks takes:
 * of the concatenated blocks (sizes `sizes`, n rows in all), the rows floor(i * n / cap) for
 * i = 0 .. cap-1, counted per block. All rows when n <= cap.
 */
std::vector<std::size_t> even_shares(const std::vector<std::size_t>& sizes, std::size_t cap);

} // namespace pairmend::model

#endif
