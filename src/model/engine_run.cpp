#include "engine_run.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

namespace pairmend::model::internal {

EngineResult run_engine(const Settings& settings, int ndim, const std::vector<std::size_t>& sizes,
                        const std::vector<const double*>& blocks, double* output, int num_threads,
                        const std::vector<std::string>& names, const std::function<bool()>& should_stop,
                        bool keep_states) {
    mnncorrect::Options options = configure_engine(engine_options(settings));
    options.observation_cap = static_cast<std::size_t>(settings.observation_cap);
    options.num_threads = std::max(num_threads, 1);
    mnncorrect::MnnCorrect<int, double>::Hooks hooks;
    hooks.should_stop = should_stop;

    EngineResult result;
    if (keep_states) {
        hooks.target_states = &result.states;
    }
    const mnncorrect::MnnCorrect<int, double> engine(options, std::move(hooks));
    try {
        const auto details = engine.run(ndim, sizes, blocks, output, nullptr);
        result.merge_order = details.merge_order;
        result.num_pairs = details.num_pairs;
    } catch (const mnncorrect::NoMutualPairsError& error) {
        throw std::runtime_error(no_mutual_pairs_message(names.at(static_cast<std::size_t>(error.batch()))));
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
