#include "engine_run.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"

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

} // namespace pairmend::model::internal
