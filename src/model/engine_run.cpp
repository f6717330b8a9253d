#include "engine_run.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/model/correct.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

namespace pairmend::model::internal {

mnncorrect::Options configured_options(const Settings& settings, std::optional<int> num_threads) {
    mnncorrect::Options options = configure_engine(engine_options(settings));
    options.observation_cap = static_cast<std::size_t>(settings.observation_cap);
    if (num_threads) {
        options.num_threads = *num_threads;
    }
    return options;
}

BatchModel LearntBatches::take_batch(std::size_t b, std::string name, std::int64_t number,
                                     std::uint64_t fitted_events) {
    BatchModel batch;
    batch.name = std::move(name);
    batch.number = number;
    batch.fitted_events = fitted_events;
    batch.correction = std::move(corrections[b]);
    if (b < conditions_held.size()) {
        batch.conditions_held = std::move(conditions_held[b]);
        batch.conditions_learnt = std::move(conditions_learnt[b]);
    }
    return batch;
}

LearntBatches learn_batches(const Settings& settings, Method method, int ndim,
                            const std::vector<std::size_t>& sizes, const std::vector<const double*>& blocks,
                            int num_threads, const std::vector<std::string>& names,
                            const std::function<bool()>& should_stop, const ConditionDesign* design) {
    if (design != nullptr) {
        return learn_batches_by_condition(settings, method, ndim, sizes, blocks, num_threads, names,
                                          should_stop, *design);
    }
    const mnncorrect::Options options = configured_options(settings, std::max(num_threads, 1));
    mnncorrect::MnnCorrect<int, double>::Hooks hooks;
    hooks.should_stop = should_stop;

    const std::size_t nbatches = sizes.size();
    const std::size_t width = static_cast<std::size_t>(ndim);
    LearntBatches learnt;
    learnt.offsets.assign(nbatches, 0);
    for (std::size_t b = 1; b < nbatches; ++b) {
        learnt.offsets[b] = learnt.offsets[b - 1] + sizes[b - 1];
    }
    learnt.corrected.resize(nbatches == 0 ? 0 : (learnt.offsets.back() + sizes.back()) * width);
    std::vector<mnncorrect::TargetState<int, double>> states;
    const MethodInfo& info = method.info();
    if (info.keeps_engine_states) {
        hooks.target_states = &states;
    }
    const mnncorrect::MnnCorrect<int, double> engine(options, std::move(hooks));
    try {
        const auto details = engine.run(ndim, sizes, blocks, learnt.corrected.data(), nullptr);
        learnt.merge_order = details.merge_order;
        learnt.num_pairs = details.num_pairs;
    } catch (const mnncorrect::NoMutualPairsError& error) {
        throw NoMutualPairs(error.batch(), names.at(static_cast<std::size_t>(error.batch())));
    }

    LearnStart start;
    start.ndim = ndim;
    start.num_threads = num_threads;
    start.settings = &settings;
    const std::unique_ptr<MethodLearner> learner = info.learn(start);
    learnt.corrections.resize(nbatches);
    for (std::size_t position = 0; position < learnt.merge_order.size(); ++position) {
        const auto b = static_cast<std::size_t>(learnt.merge_order[position]);
        JoiningBatch batch;
        batch.ndim = ndim;
        batch.size = sizes[b];
        batch.events = blocks[b];
        batch.corrected = learnt.corrected.data() + learnt.offsets[b] * width;
        batch.engine_state = info.keeps_engine_states ? &states[b] : nullptr;
        batch.first_reference = position == 0;
        learnt.corrections[b] = learner->learn(batch);
    }
    return learnt;
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
