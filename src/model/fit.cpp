#include "pairmend/model/fit.hpp"

#include "engine_run.hpp"
#include "grouping.hpp"
#include "pairmend/model/apply.hpp"
#include "sampling.hpp"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>

namespace pairmend::model {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const Progress& progress, const std::string& line) {
    if (progress) {
        progress(line);
    }
}

std::vector<std::string> parameter_names(int ndim, const std::vector<std::string>& given) {
    if (!given.empty()) {
        if (given.size() != static_cast<std::size_t>(ndim)) {
            throw std::runtime_error("There are " + std::to_string(given.size()) + " parameter names for " +
                                     std::to_string(ndim) + " values per event; give one name per value.");
        }
        return given;
    }
    std::vector<std::string> names;
    for (int d = 0; d < ndim; ++d) {
        names.push_back("p" + std::to_string(d + 1));
    }
    return names;
}

} // namespace

void report_design(const Progress& progress, const std::vector<BatchEvents>& batches,
                   const std::vector<std::string>& conditions) {
    if (!progress) {
        return;
    }
    progress("The design, events per batch and condition:");
    std::string header = "  batch";
    for (const std::string& condition : conditions) {
        header += "\t" + condition;
    }
    progress(header);
    for (const BatchEvents& batch : batches) {
        std::vector<std::size_t> counts(conditions.size(), 0);
        for (std::size_t i = 0; i < batch.size && batch.conditions != nullptr; ++i) {
            const int c = batch.conditions[i];
            if (c >= 0 && static_cast<std::size_t>(c) < counts.size()) {
                ++counts[static_cast<std::size_t>(c)];
            }
        }
        std::string line = "  " + batch.name;
        for (const std::size_t count : counts) {
            line += "\t" + std::to_string(count);
        }
        progress(line);
    }
}

Model fit(int ndim, const std::vector<BatchEvents>& batches, const FitOptions& options,
          const std::vector<double*>& outputs) {
    const auto start = std::chrono::steady_clock::now();
    check_settings(options.settings);
    if (ndim < 1) {
        throw std::runtime_error("The events have no values: a model needs at least one parameter.");
    }
    if (batches.size() < 2) {
        throw std::runtime_error("A model needs at least two batches to learn a correction, but " +
                                 std::to_string(batches.size()) + " were given.");
    }
    internal::check_batches(batches, outputs, "fit");

    Model model;
    model.ndim = ndim;
    model.parameters = parameter_names(ndim, options.parameters);
    model.settings = options.settings;
    model.method = options.method;
    model.fcs = options.fcs;
    if (model.fcs && model.fcs->channels.size() != static_cast<std::size_t>(ndim)) {
        throw std::runtime_error("There are " + std::to_string(model.fcs->channels.size()) +
                                 " FCS channels for " + std::to_string(ndim) + " parameters.");
    }

    const std::size_t nbatches = batches.size();
    const std::size_t width = static_cast<std::size_t>(ndim);
    std::vector<internal::FitSample> samples;
    std::vector<std::size_t> sizes(nbatches);
    std::vector<const double*> blocks(nbatches);
    std::vector<std::string> names(nbatches);
    std::size_t total = 0;
    for (std::size_t b = 0; b < nbatches; ++b) {
        samples.push_back(internal::fit_sample(ndim, batches[b], options.fit_events));
        sizes[b] = samples[b].size;
        blocks[b] = samples[b].rows;
        names[b] = batches[b].name;
        total += sizes[b];
    }

    const bool with_conditions = !options.condition_names.empty();
    internal::ConditionDesign design;
    if (with_conditions) {
        design.names = options.condition_names;
        design.progress = options.progress;
        for (std::size_t b = 0; b < nbatches; ++b) {
            if (batches[b].conditions == nullptr) {
                throw std::runtime_error("The batch \"" + batches[b].name +
                                         "\" has no conditions; with conditions, every event needs one.");
            }
            design.per_batch.push_back(samples[b].conditions.data());
        }
        report_design(options.progress, batches, options.condition_names);
    }
    internal::LearntBatches learnt =
        internal::learn_batches(options.settings, options.method, ndim, sizes, blocks, options.num_threads,
                                names, options.should_stop, with_conditions ? &design : nullptr);
    const std::vector<double>& corrected = learnt.corrected;
    const std::vector<std::size_t>& offsets = learnt.offsets;
    std::vector<internal::ReferenceBlock> reference_blocks;
    for (const int id : learnt.merge_order) {
        const auto b = static_cast<std::size_t>(id);
        model.batches.push_back(learnt.take_batch(b, batches[b].name, id, sizes[b]));
        reference_blocks.push_back({corrected.data() + offsets[b] * width, sizes[b], sizes[b],
                                    with_conditions ? samples[b].conditions.data() : nullptr});
    }
    model.num_pairs.assign(learnt.num_pairs.begin(), learnt.num_pairs.end());
    std::vector<std::uint64_t> counts;
    model.reference =
        internal::build_reference(ndim, reference_blocks, options.settings.reference_events, counts,
                                  with_conditions ? &model.reference_conditions : nullptr);
    if (with_conditions) {
        model.conditions = options.condition_names;
    }
    for (std::size_t position = 0; position < model.batches.size(); ++position) {
        model.batches[position].reference_rows = counts[position];
    }

    std::ostringstream line;
    line.setf(std::ios::fixed);
    line.precision(2);
    line << "Fitted the model on " << total << " events of " << nbatches << " batches in "
         << seconds_since(start) << " s.";
    report(options.progress, line.str());

    if (!outputs.empty()) {
        for (std::size_t b = 0; b < nbatches; ++b) {
            const auto batch_start = std::chrono::steady_clock::now();
            if (samples[b].subsampled()) {
                const BatchCorrector corrector(model, batches[b].name);
                corrector.apply(ndim, batches[b].size, batches[b].events, outputs[b], options.num_threads);
            } else {
                // Fitted on every event: the engine's own values.
                std::copy_n(corrected.data() + offsets[b] * width, sizes[b] * width, outputs[b]);
            }
            std::ostringstream done;
            done.setf(std::ios::fixed);
            done.precision(2);
            done << "Corrected batch \"" << batches[b].name << "\": " << batches[b].size << " events in "
                 << seconds_since(batch_start) << " s.";
            report(options.progress, done.str());
        }
    }
    return model;
}

Model fit_labelled(int ndim, std::size_t n, const double* events, const int* batch_ids,
                   const std::vector<std::string>& batch_names, const FitOptions& options, double* output) {
    if (ndim < 1) {
        throw std::runtime_error("The events have no values: a model needs at least one parameter.");
    }
    return internal::run_grouped(
        ndim, n, events, batch_ids, batch_names, output,
        [&](const std::vector<BatchEvents>& batches, const std::vector<double*>& outputs) {
            return fit(ndim, batches, options, outputs);
        },
        options.condition_names.empty() ? nullptr : options.condition_ids);
}

} // namespace pairmend::model
