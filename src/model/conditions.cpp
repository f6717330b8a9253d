// Learning with conditions: every merge learns only from the events of the conditions that both
// the batch and the reference hold, so that a difference in what the batches measured (one batch
// with infected and mock mice, the next with mock mice only) is not read as batch effect. Each
// merge is one engine run between the reference's and the batch's events of those conditions; the
// correction it leaves is then applied to every event of the batch.

#include "engine_run.hpp"

#include "mnncorrect/Interrupted.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "mnncorrect/compute_total_variance.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/quick_find_nns.hpp"
#include "pairmend/model/correct.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace pairmend::model::internal {

namespace {

using Engine = mnncorrect::MnnCorrect<int, double>;
using Held = std::vector<bool>;

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : (i + 1 == items.size() ? " and " : ", ")) + items[i];
    }
    return text;
}

std::string condition_list(const std::vector<std::string>& names, const Held& held) {
    std::vector<std::string> items;
    for (std::size_t c = 0; c < held.size(); ++c) {
        if (held[c]) {
            items.push_back(names[c]);
        }
    }
    return joined(items);
}

std::string batch_list(const std::vector<std::string>& names, const std::vector<std::size_t>& ids) {
    std::vector<std::string> items;
    for (const std::size_t b : ids) {
        items.push_back("\"" + names[b] + "\"");
    }
    return joined(items);
}

bool shares(const Held& a, const Held& b) {
    for (std::size_t c = 0; c < a.size(); ++c) {
        if (a[c] && b[c]) {
            return true;
        }
    }
    return false;
}

Held both(const Held& a, const Held& b) {
    Held shared(a.size());
    for (std::size_t c = 0; c < a.size(); ++c) {
        shared[c] = a[c] && b[c];
    }
    return shared;
}

std::vector<std::uint32_t> positions(const Held& held) {
    std::vector<std::uint32_t> list;
    for (std::size_t c = 0; c < held.size(); ++c) {
        if (held[c]) {
            list.push_back(static_cast<std::uint32_t>(c));
        }
    }
    return list;
}

// The rows whose condition is in `shared`.
std::vector<std::size_t> rows_in(const int* conditions, std::size_t n, const Held& shared) {
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < n; ++i) {
        if (shared[static_cast<std::size_t>(conditions[i])]) {
            rows.push_back(i);
        }
    }
    return rows;
}

std::vector<double> gathered(int ndim, const double* events, const std::vector<std::size_t>& rows) {
    const std::size_t width = static_cast<std::size_t>(ndim);
    std::vector<double> out(rows.size() * width);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::copy_n(events + rows[i] * width, width, out.data() + i * width);
    }
    return out;
}

// The mutual pairs between two sets of events, as the engine would count them for a merge.
std::size_t count_pairs(const mnncorrect::Options& options, int ndim, const std::vector<double>& reference,
                        const std::vector<double>& target) {
    const auto builder = options.approximate ? Engine::approximate_builder : Engine::exact_builder;
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::size_t nref = reference.size() / width;
    const std::size_t ntarget = target.size() / width;
    const auto reference_index = builder(ndim, nref, reference.data());
    const auto target_index = builder(ndim, ntarget, target.data());
    const int threads = std::max(options.num_threads, 1);
    const auto left = mnncorrect::quick_find_nns(nref, reference.data(), target_index.get(),
                                                 options.num_neighbors, threads);
    const auto right = mnncorrect::quick_find_nns(ntarget, target.data(), reference_index.get(),
                                                  options.num_neighbors, threads);
    return mnncorrect::find_mutual_nns(left, right).num_pairs;
}

// The batch that starts the reference: the one holding the most conditions, ties broken by the
// reference policy (the input policy: the lowest id).
std::size_t first_reference(const Settings& settings, int ndim, const std::vector<std::size_t>& sizes,
                            const std::vector<const double*>& blocks, const std::vector<Held>& held) {
    std::vector<std::size_t> counts(sizes.size());
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        counts[b] = positions(held[b]).size();
    }
    const std::size_t most = *std::max_element(counts.begin(), counts.end());
    std::size_t best = sizes.size();
    double best_value = 0;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        if (counts[b] != most) {
            continue;
        }
        double value = 0;
        switch (settings.reference_policy) {
        case mnncorrect::MaxSize:
            value = static_cast<double>(sizes[b]);
            break;
        case mnncorrect::MaxVariance:
            value = mnncorrect::compute_total_variance(ndim, sizes[b], blocks[b], false);
            break;
        case mnncorrect::MaxRSS:
            value = mnncorrect::compute_total_variance(ndim, sizes[b], blocks[b], true);
            break;
        default:
            break;
        }
        if (best == sizes.size() || value > best_value) {
            best = b;
            best_value = value;
        }
    }
    return best;
}

// Refuses, before any work, batches that no chain of shared conditions links to `first`.
void check_linked(const std::vector<std::string>& names, const std::vector<std::string>& conditions,
                  const std::vector<Held>& held, std::size_t first) {
    const std::size_t nbatches = held.size();
    std::vector<bool> linked(nbatches, false);
    linked[first] = true;
    for (bool grew = true; grew;) {
        grew = false;
        for (std::size_t b = 0; b < nbatches; ++b) {
            for (std::size_t o = 0; o < nbatches && !linked[b]; ++o) {
                if (linked[o] && shares(held[b], held[o])) {
                    linked[b] = grew = true;
                }
            }
        }
    }
    for (std::size_t b = 0; b < nbatches; ++b) {
        if (linked[b]) {
            continue;
        }
        bool alone = true;
        for (std::size_t o = 0; o < nbatches; ++o) {
            alone = alone && (o == b || !shares(held[b], held[o]));
        }
        if (alone) {
            throw std::runtime_error("The batch \"" + names[b] + "\" holds only " +
                                     condition_list(conditions, held[b]) +
                                     ", which no other batch holds, so its batch effect cannot be told from "
                                     "its biology; give it a condition that another batch also holds, or "
                                     "correct it on its own.");
        }
        std::vector<std::size_t> apart;
        std::vector<std::size_t> rest;
        for (std::size_t o = 0; o < nbatches; ++o) {
            (linked[o] ? rest : apart).push_back(o);
        }
        throw std::runtime_error("The batches " + batch_list(names, apart) +
                                 " share no condition, directly or through others, with the batches " +
                                 batch_list(names, rest) +
                                 ", so their batch effect cannot be told from their biology; give them a "
                                 "condition that the others also hold, or correct them on their own.");
    }
}

} // namespace

LearntBatches learn_batches_by_condition(const Settings& settings, Method method, int ndim,
                                         const std::vector<std::size_t>& sizes,
                                         const std::vector<const double*>& blocks, int num_threads,
                                         const std::vector<std::string>& names,
                                         const std::function<bool()>& should_stop,
                                         const ConditionDesign& design) {
    const mnncorrect::Options options = configured_options(settings, std::max(num_threads, 1));
    const std::size_t nbatches = sizes.size();
    const std::size_t nconditions = design.names.size();
    const std::size_t width = static_cast<std::size_t>(ndim);
    if (design.per_batch.size() != nbatches) {
        throw std::runtime_error("The conditions are given for " + std::to_string(design.per_batch.size()) +
                                 " batches, but there are " + std::to_string(nbatches) + ".");
    }

    std::vector<Held> held(nbatches, Held(nconditions, false));
    for (std::size_t b = 0; b < nbatches; ++b) {
        for (std::size_t i = 0; i < sizes[b]; ++i) {
            const int c = design.per_batch[b][i];
            if (c < 0 || static_cast<std::size_t>(c) >= nconditions) {
                throw std::runtime_error("Event " + std::to_string(i + 1) + " of batch \"" + names[b] +
                                         "\" has condition number " + std::to_string(c) + ", but there are " +
                                         std::to_string(nconditions) + " condition names.");
            }
            held[b][static_cast<std::size_t>(c)] = true;
        }
    }

    // A design in which every batch holds every condition learns from every event, as without
    // conditions: the engine's own run in one go, its merge order the same choice.
    const bool complete = std::all_of(held.begin(), held.end(), [](const Held& h) {
        return std::all_of(h.begin(), h.end(), [](bool c) { return c; });
    });
    if (complete) {
        LearntBatches learnt =
            learn_batches(settings, method, ndim, sizes, blocks, num_threads, names, should_stop, nullptr);
        for (std::size_t b = 0; b < nbatches; ++b) {
            learnt.conditions_held.push_back(positions(held[b]));
            learnt.conditions_learnt.push_back(positions(held[b]));
        }
        return learnt;
    }

    const bool input_order = !settings.automatic_order;
    const std::size_t first =
        design.first_fixed || input_order ? 0 : first_reference(settings, ndim, sizes, blocks, held);
    check_linked(names, design.names, held, first);
    if (input_order) {
        Held before = held[0];
        for (std::size_t b = 1; b < nbatches; ++b) {
            if (!shares(before, held[b])) {
                throw std::runtime_error("In input order, the batch \"" + names[b] + "\" (" +
                                         condition_list(design.names, held[b]) +
                                         ") shares no condition with the batches before it (" +
                                         condition_list(design.names, before) +
                                         "); put a batch that shares one with it earlier, or let the "
                                         "automatic order choose.");
            }
            for (std::size_t c = 0; c < nconditions; ++c) {
                before[c] = before[c] || held[b][c];
            }
        }
    }
    if (design.progress) {
        for (std::size_t c = 0; c < nconditions; ++c) {
            std::vector<std::size_t> holders;
            for (std::size_t b = 0; b < nbatches; ++b) {
                if (held[b][c]) {
                    holders.push_back(b);
                }
            }
            if (holders.size() == 1 && !(design.first_fixed && holders[0] == 0)) {
                design.progress("The condition \"" + design.names[c] + "\" is held by batch \"" +
                                names[holders[0]] +
                                "\" only: its difference from the other conditions is kept as measured in "
                                "that batch.");
            }
        }
    }

    LearntBatches learnt;
    learnt.offsets.assign(nbatches, 0);
    for (std::size_t b = 1; b < nbatches; ++b) {
        learnt.offsets[b] = learnt.offsets[b - 1] + sizes[b - 1];
    }
    learnt.corrected.resize(nbatches == 0 ? 0 : (learnt.offsets.back() + sizes.back()) * width);
    learnt.corrections.resize(nbatches);
    learnt.conditions_held.resize(nbatches);
    learnt.conditions_learnt.resize(nbatches);
    for (std::size_t b = 0; b < nbatches; ++b) {
        learnt.conditions_held[b] = positions(held[b]);
    }
    if (nbatches == 0) {
        return learnt;
    }

    LearnStart start;
    start.ndim = ndim;
    start.num_threads = num_threads;
    start.settings = &settings;
    const std::unique_ptr<MethodLearner> learner = method.info().learn(start);

    // The reference as the engine sees it (its corrected values), in merge order, with the
    // condition of every row.
    std::vector<double> reference(blocks[first], blocks[first] + sizes[first] * width);
    std::vector<int> reference_conditions(design.per_batch[first], design.per_batch[first] + sizes[first]);
    Held reference_held = held[first];
    {
        std::copy(reference.begin(), reference.end(),
                  learnt.corrected.begin() + learnt.offsets[first] * width);
        JoiningBatch batch;
        batch.ndim = ndim;
        batch.size = sizes[first];
        batch.events = blocks[first];
        batch.corrected = learnt.corrected.data() + learnt.offsets[first] * width;
        batch.first_reference = true;
        learnt.corrections[first] = learner->learn(batch);
        learnt.conditions_learnt[first] = learnt.conditions_held[first];
    }
    learnt.merge_order.push_back(static_cast<int>(first));
    std::vector<bool> waiting(nbatches, true);
    waiting[first] = false;

    for (std::size_t step = 1; step < nbatches; ++step) {
        if (should_stop && should_stop()) {
            throw mnncorrect::Interrupted();
        }
        // The next batch: in input order the next id; otherwise, among the batches that share a
        // condition with the reference, the one with the most mutual pairs (the lowest id on ties).
        std::size_t next = nbatches;
        if (input_order) {
            next = step;
        } else {
            std::vector<std::size_t> candidates;
            for (std::size_t b = 0; b < nbatches; ++b) {
                if (waiting[b] && shares(reference_held, held[b])) {
                    candidates.push_back(b);
                }
            }
            if (candidates.size() == 1) {
                next = candidates[0];
            } else {
                std::size_t most = 0;
                for (const std::size_t b : candidates) {
                    const Held shared = both(reference_held, held[b]);
                    const std::size_t pairs = count_pairs(
                        options, ndim,
                        gathered(ndim, reference.data(),
                                 rows_in(reference_conditions.data(), reference_conditions.size(), shared)),
                        gathered(ndim, blocks[b], rows_in(design.per_batch[b], sizes[b], shared)));
                    if (next == nbatches || pairs > most) {
                        next = b;
                        most = pairs;
                    }
                }
            }
        }

        const Held shared = both(reference_held, held[next]);
        const std::vector<std::size_t> reference_rows =
            rows_in(reference_conditions.data(), reference_conditions.size(), shared);
        const std::vector<std::size_t> learn_rows = rows_in(design.per_batch[next], sizes[next], shared);
        const std::vector<double> reference_part = gathered(ndim, reference.data(), reference_rows);
        const std::vector<double> target_part = gathered(ndim, blocks[next], learn_rows);

        // One merge of two batches, the shared part of the reference first.
        std::vector<mnncorrect::TargetState<int, double>> states;
        Engine::Hooks hooks;
        hooks.target_states = &states;
        hooks.should_stop = should_stop;
        const Engine engine(options, std::move(hooks));
        std::vector<double> merged(reference_part.size() + target_part.size());
        const int order[2] = {0, 1};
        try {
            const auto details = engine.run(
                ndim, std::vector<std::size_t>{reference_rows.size(), learn_rows.size()},
                std::vector<const double*>{reference_part.data(), target_part.data()}, merged.data(), order);
            learnt.num_pairs.push_back(details.num_pairs.at(0));
        } catch (const mnncorrect::NoMutualPairsError&) {
            throw NoMutualPairs(static_cast<int>(next), names.at(next));
        }
        mnncorrect::TargetState<int, double>& state = states.at(1);

        // Every event of the batch moves by the correction learnt from its shared conditions.
        double* corrected = learnt.corrected.data() + learnt.offsets[next] * width;
        const auto builder = options.approximate ? Engine::approximate_builder : Engine::exact_builder;
        const auto index = builder(ndim, state.num_paired(), state.paired_events.data());
        mnncorrect::apply_target_state(ndim, state, *index, options.num_neighbors, options.robust_iterations,
                                       options.robust_trim, sizes[next], blocks[next], corrected,
                                       std::max(num_threads, 1));
        reference.insert(reference.end(), corrected, corrected + sizes[next] * width);
        reference_conditions.insert(reference_conditions.end(), design.per_batch[next],
                                    design.per_batch[next] + sizes[next]);

        JoiningBatch batch;
        batch.ndim = ndim;
        batch.size = sizes[next];
        batch.events = blocks[next];
        batch.corrected = corrected;
        batch.engine_state = &state;
        batch.learn_rows = &learn_rows;
        batch.reference_rows = &reference_rows;
        learnt.corrections[next] = learner->learn(batch);
        learnt.conditions_learnt[next] = positions(shared);
        learnt.merge_order.push_back(static_cast<int>(next));
        waiting[next] = false;
        for (std::size_t c = 0; c < nconditions; ++c) {
            reference_held[c] = reference_held[c] || held[next][c];
        }
    }
    return learnt;
}

} // namespace pairmend::model::internal
