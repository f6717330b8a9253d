#include "engine_run.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/model/subsample.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace pairmend::model::internal {

EngineResult run_engine(const Settings& settings, int ndim, const std::vector<std::size_t>& sizes,
                        const std::vector<const double*>& blocks, double* output, int num_threads,
                        const std::vector<std::string>& names) {
    mnncorrect::MnnCorrect<int, double> engine;
    engine.num_neighbors = settings.num_neighbors;
    engine.num_mads = settings.num_mads;
    engine.robust_iterations = settings.robust_iterations;
    engine.robust_trim = settings.robust_trim;
    engine.approximate = settings.approximate;
    engine.automatic_order = settings.automatic_order;
    engine.reference_policy = settings.reference_policy;
    engine.observation_cap = static_cast<std::size_t>(settings.observation_cap);
    engine.num_threads = std::max(num_threads, 1);

    EngineResult result;
    engine.target_states = &result.states;
    try {
        const auto details = engine.run(ndim, sizes, blocks, output, nullptr);
        result.merge_order = details.merge_order;
        result.num_pairs = details.num_pairs;
    } catch (const mnncorrect::NoMutualPairsError& error) {
        throw std::runtime_error(
            "The batch named \"" + names.at(static_cast<std::size_t>(error.batch())) +
            "\" shares no mutual nearest neighbours with the batches merged before it, so "
            "it cannot be corrected. Its events may not overlap any cell population of "
            "the other batches; check that the batch holds the same kind of sample, or "
            "leave it out.");
    }
    return result;
}

FitSample fit_sample(int ndim, const BatchEvents& batch, std::uint64_t fit_events) {
    FitSample sample;
    if (fit_events == 0 || fit_events >= batch.size) {
        sample.rows = batch.events;
        sample.size = batch.size;
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
    return sample;
}

std::vector<double> build_reference(int ndim, const std::vector<ReferenceBlock>& blocks, std::uint64_t cap,
                                    std::vector<std::uint64_t>& counts) {
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
        }
        counts[b] = positions.size();
    }
    return reference;
}

void check_batches(const std::vector<BatchEvents>& batches, const std::vector<double*>& outputs,
                   const std::string& what) {
    std::set<std::string> names;
    for (const BatchEvents& batch : batches) {
        if (batch.size == 0) {
            throw std::runtime_error("The batch named \"" + batch.name + "\" has no events; every batch to " +
                                     what + " needs at least one.");
        }
        if (!names.insert(batch.name).second) {
            throw std::runtime_error("Two batches to " + what + " are named \"" + batch.name +
                                     "\"; every batch needs a name of its own.");
        }
    }
    if (!outputs.empty() && outputs.size() != batches.size()) {
        throw std::runtime_error("There are " + std::to_string(outputs.size()) + " output buffers for " +
                                 std::to_string(batches.size()) + " batches; give one per batch, or none.");
    }
}

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
