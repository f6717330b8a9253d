#include "grouping.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace pairmend::model::internal {

GroupedEvents group_events(int ndim, std::size_t n, const double* events, const int* batch_ids,
                           std::size_t nbatches) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    GroupedEvents grouped;
    grouped.blocks.resize(nbatches);
    grouped.positions.resize(nbatches);
    std::vector<std::size_t> counts(nbatches, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const int id = batch_ids[i];
        if (id < 0 || static_cast<std::size_t>(id) >= nbatches) {
            throw std::runtime_error("Event " + std::to_string(i + 1) + " has batch id " +
                                     std::to_string(id) + ", but there are " + std::to_string(nbatches) +
                                     " batch names.");
        }
        ++counts[static_cast<std::size_t>(id)];
    }
    for (std::size_t b = 0; b < nbatches; ++b) {
        grouped.blocks[b].reserve(counts[b] * width);
        grouped.positions[b].reserve(counts[b]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::size_t>(batch_ids[i]);
        grouped.blocks[b].insert(grouped.blocks[b].end(), events + i * width, events + (i + 1) * width);
        grouped.positions[b].push_back(i);
    }
    return grouped;
}

void scatter_events(int ndim, const GroupedEvents& grouped, double* output) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    for (std::size_t b = 0; b < grouped.blocks.size(); ++b) {
        const std::vector<std::size_t>& positions = grouped.positions[b];
        for (std::size_t j = 0; j < positions.size(); ++j) {
            std::copy_n(grouped.blocks[b].data() + j * width, width, output + positions[j] * width);
        }
    }
}

} // namespace pairmend::model::internal
