#include "internal/neighbourhood.hpp"

#include "knncolle/VpTree.hpp"
#include "mnncorrect/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace pairmend::report {

namespace {

using Tree = knncolle::VpTree<knncolle::distances::Euclidean, int, double, double, double>;

/// Queries of consecutive tree nodes touch nearby parts of the tree, so the loops below visit
/// events in node order; chunks handed out as threads become free balance costlier regions.
constexpr int kChunk = 64;

std::size_t event_count(const std::vector<double>& rows, int ndim) {
    if (ndim <= 0) {
        throw std::invalid_argument("Neighbourhood figures need at least one parameter.");
    }
    if (rows.size() % static_cast<std::size_t>(ndim) != 0) {
        throw std::invalid_argument("Neighbourhood figures need whole events of ndim values each.");
    }
    const std::size_t n = rows.size() / static_cast<std::size_t>(ndim);
    if (n > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::invalid_argument("Neighbourhood figures are limited to 2147483647 events.");
    }
    return n;
}

/// For every event, its position in the query list, or -1 when it is not queried.
std::vector<std::ptrdiff_t> query_slots(std::size_t n, const std::vector<std::size_t>& queries) {
    std::vector<std::ptrdiff_t> slot(n, -1);
    for (std::size_t q = 0; q < queries.size(); ++q) {
        if (queries[q] >= n) {
            throw std::invalid_argument(
                "A neighbourhood figure was asked about an event that does not exist.");
        }
        slot[queries[q]] = static_cast<std::ptrdiff_t>(q);
    }
    return slot;
}

/// Calls visit(event, query position, the event's k nearest neighbours) for every queried event,
/// from several threads: each call must write only to its own query position.
template <typename Visit>
void search_queries(const Tree& tree, std::size_t n, int k, int num_threads,
                    const std::vector<std::ptrdiff_t>& slots, Visit visit) {
    const std::vector<Tree::Node>& nodes = tree.nodes();
    mnncorrect::ParallelErrors errors;
#pragma omp parallel for schedule(dynamic, kChunk) num_threads(std::max(num_threads, 1))
    for (std::size_t p = 0; p < n; ++p) {
        const int event = nodes[p].index;
        const std::ptrdiff_t q = slots[static_cast<std::size_t>(event)];
        if (q < 0) {
            continue;
        }
        errors.run([&] {
            visit(static_cast<std::size_t>(event), static_cast<std::size_t>(q),
                  tree.find_nearest_neighbors(event, k));
        });
    }
    errors.rethrow();
}

/// The k nearest neighbours of every query event among all others, sorted by index: k entries per
/// query, in the order of the query list.
std::vector<int> sorted_neighbour_table(const std::vector<double>& rows, int ndim, int k, int num_threads,
                                        const std::vector<std::ptrdiff_t>& slots, std::size_t num_queries) {
    const std::size_t n = event_count(rows, ndim);
    const Tree tree(ndim, static_cast<int>(n), rows.data());
    const auto width = static_cast<std::size_t>(k);
    std::vector<int> table(num_queries * width);
    search_queries(tree, n, k, num_threads, slots,
                   [&](std::size_t, std::size_t q, const knncolle::NeighborList<int, double>& found) {
                       int* slot = table.data() + q * width;
                       for (std::size_t j = 0; j < width; ++j) {
                           slot[j] = found[j].first;
                       }
                       std::sort(slot, slot + width);
                   });
    return table;
}

} // namespace

std::vector<std::size_t> spread_selection(std::size_t n, std::size_t limit) {
    const std::size_t count = std::min(n, limit);
    std::vector<std::size_t> chosen(count);
    for (std::size_t j = 0; j < count; ++j) {
        // j * n fits: both are below the event limit of 2^31.
        chosen[j] = j * n / count;
    }
    return chosen;
}

Mixing neighbourhood_mixing(const std::vector<double>& rows, int ndim, const std::vector<int>& batch,
                            int num_batches, int num_neighbours, int num_threads,
                            const std::vector<std::size_t>& queries) {
    const std::size_t n = event_count(rows, ndim);
    if (batch.size() != n) {
        throw std::invalid_argument("Neighbourhood mixing needs one batch number per event.");
    }
    const auto nb = static_cast<std::size_t>(std::max(num_batches, 0));
    std::vector<std::size_t> sizes(nb, 0);
    for (const int b : batch) {
        if (b < 0 || static_cast<std::size_t>(b) >= nb) {
            throw std::invalid_argument("Neighbourhood mixing was given a batch number out of range.");
        }
        ++sizes[static_cast<std::size_t>(b)];
    }

    Mixing result;
    result.per_batch.assign(nb, std::nan(""));
    result.overall = std::nan("");
    const auto present = std::count_if(sizes.begin(), sizes.end(), [](std::size_t s) { return s > 0; });
    if (present < 2 || num_neighbours < 1) {
        return result;
    }

    const std::vector<std::ptrdiff_t> slots = query_slots(n, queries);
    const Tree tree(ndim, static_cast<int>(n), rows.data());
    const int k = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(num_neighbours), n - 1));
    std::vector<double> ratio(queries.size());
    search_queries(tree, n, k, num_threads, slots,
                   [&](std::size_t i, std::size_t q, const knncolle::NeighborList<int, double>& found) {
                       std::size_t other = 0;
                       for (const auto& neighbour : found) {
                           other += batch[static_cast<std::size_t>(neighbour.first)] != batch[i] ? 1 : 0;
                       }
                       const auto own = sizes[static_cast<std::size_t>(batch[i])];
                       const double expected = static_cast<double>(n - own) / static_cast<double>(n - 1);
                       ratio[q] = (static_cast<double>(other) / static_cast<double>(found.size())) / expected;
                   });

    // Sums in query order, so that the figures do not depend on the thread count.
    std::vector<double> sums(nb, 0.0);
    std::vector<std::size_t> queried(nb, 0);
    for (std::size_t q = 0; q < queries.size(); ++q) {
        const auto b = static_cast<std::size_t>(batch[queries[q]]);
        sums[b] += ratio[q];
        ++queried[b];
    }
    double weighted = 0;
    std::size_t weight = 0;
    for (std::size_t b = 0; b < nb; ++b) {
        if (queried[b] > 0) {
            result.per_batch[b] = sums[b] / static_cast<double>(queried[b]);
            weighted += result.per_batch[b] * static_cast<double>(sizes[b]);
            weight += sizes[b];
        }
    }
    result.overall = weight > 0 ? weighted / static_cast<double>(weight) : std::nan("");
    return result;
}

double structure_kept(const std::vector<double>& before, const std::vector<double>& after, int ndim,
                      int num_neighbours, int num_threads, const std::vector<std::size_t>& queries) {
    const std::size_t n = event_count(before, ndim);
    if (after.size() != before.size()) {
        throw std::invalid_argument("Structure kept needs the same events before and after correction.");
    }
    const std::vector<std::ptrdiff_t> slots = query_slots(n, queries);
    if (n < 2 || num_neighbours < 1 || queries.empty()) {
        return std::nan("");
    }
    const int k = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(num_neighbours), n - 1));
    const auto width = static_cast<std::size_t>(k);
    const std::vector<int> old_table =
        sorted_neighbour_table(before, ndim, k, num_threads, slots, queries.size());
    const std::vector<int> new_table =
        sorted_neighbour_table(after, ndim, k, num_threads, slots, queries.size());

    double sum = 0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const int* a = old_table.data() + i * width;
        const int* b = new_table.data() + i * width;
        std::size_t common = 0;
        std::size_t x = 0;
        std::size_t y = 0;
        while (x < width && y < width) {
            if (a[x] == b[y]) {
                ++common;
                ++x;
                ++y;
            } else if (a[x] < b[y]) {
                ++x;
            } else {
                ++y;
            }
        }
        sum += static_cast<double>(common) / static_cast<double>(2 * width - common);
    }
    return sum / static_cast<double>(queries.size());
}

} // namespace pairmend::report
