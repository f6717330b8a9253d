#include "sampling.hpp"

#include "pairmend/model/subsample.hpp"

#include <algorithm>

namespace pairmend::model::internal {

FitSample fit_sample(int ndim, const BatchEvents& batch, std::uint64_t fit_events) {
    FitSample sample;
    if (fit_events == 0 || fit_events >= batch.size) {
        sample.rows = batch.events;
        sample.size = batch.size;
        if (batch.conditions != nullptr) {
            sample.conditions.assign(batch.conditions, batch.conditions + batch.size);
        }
        return sample;
    }
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::vector<std::size_t> positions =
        even_positions(batch.size, static_cast<std::size_t>(fit_events));
    sample.copy.resize(positions.size() * width);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        std::copy_n(batch.events + positions[i] * width, width, sample.copy.data() + i * width);
    }
    sample.rows = sample.copy.data();
    sample.size = positions.size();
    if (batch.conditions != nullptr) {
        for (const std::size_t position : positions) {
            sample.conditions.push_back(batch.conditions[position]);
        }
    }
    return sample;
}

std::vector<double> build_reference(int ndim, const std::vector<ReferenceBlock>& blocks, std::uint64_t cap,
                                    std::vector<std::uint64_t>& counts,
                                    std::vector<std::uint32_t>* conditions) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    std::vector<std::size_t> fitted(blocks.size());
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        fitted[b] = static_cast<std::size_t>(blocks[b].fitted);
    }
    const std::vector<std::size_t> shares = even_shares(fitted, static_cast<std::size_t>(cap));

    std::vector<double> reference;
    counts.assign(blocks.size(), 0);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::vector<std::size_t> positions =
            even_positions(blocks[b].available, std::min(shares[b], blocks[b].available));
        for (const std::size_t position : positions) {
            const double* row = blocks[b].rows + position * width;
            reference.insert(reference.end(), row, row + width);
            if (conditions != nullptr && blocks[b].conditions != nullptr) {
                conditions->push_back(static_cast<std::uint32_t>(blocks[b].conditions[position]));
            }
        }
        counts[b] = positions.size();
    }
    return reference;
}

} // namespace pairmend::model::internal
