#include "pairmend/model/subsample.hpp"

#include <algorithm>
#include <stdexcept>

namespace pairmend::model {

namespace {

// 128 bits hold any product of two 64-bit counts; __extension__ keeps -Wpedantic quiet about the
// compiler's own type.
__extension__ using Wide = unsigned __int128;

} // namespace

std::uint64_t scaled_floor(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    if (c == 0) {
        throw std::invalid_argument("scaled_floor: division by zero");
    }
    return static_cast<std::uint64_t>(static_cast<Wide>(a) * b / c);
}

std::vector<std::size_t> even_positions(std::size_t n, std::size_t count) {
    const std::size_t taken = std::min(n, count);
    std::vector<std::size_t> positions(taken);
    for (std::size_t i = 0; i < taken; ++i) {
        positions[i] = taken == n ? i : static_cast<std::size_t>(scaled_floor(i, n, count));
    }
    return positions;
}

std::vector<std::size_t> even_shares(const std::vector<std::size_t>& sizes, std::size_t cap) {
    std::uint64_t total = 0;
    for (const std::size_t size : sizes) {
        total += size;
    }
    if (total <= cap) {
        return sizes;
    }
    // Row floor(i * total / cap) lies at or after `start` exactly when i >= ceil(start * cap / total),
    // so a block [start, end) takes ceil(end * cap / total) - ceil(start * cap / total) rows.
    const auto first_at_or_after = [&](std::uint64_t start) {
        const std::uint64_t low = scaled_floor(start, cap, total);
        return static_cast<Wide>(low) * total == static_cast<Wide>(start) * cap ? low : low + 1;
    };
    std::vector<std::size_t> shares(sizes.size());
    std::uint64_t start = 0;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        const std::uint64_t end = start + sizes[b];
        shares[b] = static_cast<std::size_t>(first_at_or_after(end) - first_at_or_after(start));
        start = end;
    }
    return shares;
}

} // namespace pairmend::model
