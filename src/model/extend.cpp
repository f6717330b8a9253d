#include "pairmend/model/extend.hpp"

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

std::string condition_names(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t c = 0; c < names.size(); ++c) {
        text += (c == 0 ? "" : (c + 1 == names.size() ? " and " : ", ")) + names[c];
    }
    return text;
}

} // namespace

Model extend(const Model& model, int ndim, const std::vector<BatchEvents>& batches,
             const ExtendOptions& options, const std::vector<double*>& outputs) {
    const auto start = std::chrono::steady_clock::now();
    if (ndim != model.ndim) {
        throw std::runtime_error("The model corrects events of " + std::to_string(model.ndim) +
                                 " parameters, but the batches to add have " + std::to_string(ndim) +
                                 " values per event.");
    }
    if (batches.empty()) {
        throw std::runtime_error("No batch was given to add to the model.");
    }
    internal::check_batches(batches, outputs, "add");
    for (const BatchEvents& batch : batches) {
        for (const BatchModel& known : model.batches) {
            if (known.name == batch.name) {
                throw std::runtime_error("The model already holds a batch named \"" + batch.name +
                                         "\"; only new batches can be added. Apply the model to correct "
                                         "more events of a batch it knows.");
            }
        }
    }
    const std::size_t width = static_cast<std::size_t>(ndim);
    const std::size_t nreference = model.reference.size() / width;
    if (nreference == 0) {
        throw std::runtime_error("The model keeps no corrected reference events (reference_events is 0), so "
                                 "batches cannot be added to it; fit a new model instead.");
    }

    const bool with_conditions = !model.conditions.empty();
    if (with_conditions && options.condition_names.empty()) {
        throw std::runtime_error(
            "The model was learnt with the conditions " + condition_names(model.conditions) +
            ", so the batches added to it need them too: give every event its condition.");
    }
    if (!with_conditions && !options.condition_names.empty()) {
        throw std::runtime_error(
            "The model was learnt without conditions, so batches added to it cannot have "
            "them; fit a new model with conditions instead.");
    }
    // The new batches' condition names, as positions among the model's (new names added after).
    std::vector<std::string> all_conditions = model.conditions;
    std::vector<int> position_of;
    for (const std::string& name : options.condition_names) {
        const auto found = std::find(all_conditions.begin(), all_conditions.end(), name);
        position_of.push_back(static_cast<int>(found - all_conditions.begin()));
        if (found == all_conditions.end()) {
            all_conditions.push_back(name);
        }
    }
    std::vector<std::vector<int>> new_conditions;
    std::vector<int> reference_conditions(model.reference_conditions.begin(),
                                          model.reference_conditions.end());

    // Batch 0 is the stored reference, which stays first and unchanged; the new batches join it in
    // automatic order.
    std::vector<internal::FitSample> samples;
    std::vector<std::size_t> sizes{nreference};
    std::vector<const double*> blocks{model.reference.data()};
    std::vector<std::string> names{"the model's reference"};
    std::size_t total = nreference;
    for (const BatchEvents& batch : batches) {
        samples.push_back(internal::fit_sample(ndim, batch, options.fit_events));
        if (with_conditions) {
            if (batch.conditions == nullptr) {
                throw std::runtime_error("The batch \"" + batch.name +
                                         "\" has no conditions; with conditions, every event needs one.");
            }
            std::vector<int> mapped;
            for (const int c : samples.back().conditions) {
                if (c < 0 || static_cast<std::size_t>(c) >= position_of.size()) {
                    throw std::runtime_error(
                        "An event of batch \"" + batch.name + "\" has condition number " + std::to_string(c) +
                        ", but there are " + std::to_string(position_of.size()) + " condition names.");
                }
                mapped.push_back(position_of[static_cast<std::size_t>(c)]);
            }
            new_conditions.push_back(std::move(mapped));
        }
        sizes.push_back(samples.back().size);
        blocks.push_back(samples.back().rows);
        names.push_back(batch.name);
        total += samples.back().size;
    }
    Settings settings = model.settings;
    settings.automatic_order = true;
    settings.reference_policy = mnncorrect::Input;

    internal::ConditionDesign design;
    if (with_conditions) {
        design.names = all_conditions;
        design.first_fixed = true;
        design.progress = options.progress;
        design.per_batch.push_back(reference_conditions.data());
        std::vector<BatchEvents> shown = batches;
        for (std::size_t b = 0; b < batches.size(); ++b) {
            design.per_batch.push_back(new_conditions[b].data());
            shown[b].conditions = batches[b].conditions;
        }
        report_design(options.progress, shown, options.condition_names);
    }
    internal::LearntBatches learnt =
        internal::learn_batches(settings, model.method, ndim, sizes, blocks, options.num_threads, names,
                                options.should_stop, with_conditions ? &design : nullptr);
    const std::vector<double>& corrected = learnt.corrected;
    const std::vector<std::size_t>& offsets = learnt.offsets;

    Model extended = model;
    std::vector<internal::ReferenceBlock> reference_blocks;
    const double* old_rows = model.reference.data();
    const int* old_conditions = reference_conditions.data();
    for (const BatchModel& known : model.batches) {
        reference_blocks.push_back({old_rows, static_cast<std::size_t>(known.reference_rows),
                                    known.fitted_events, with_conditions ? old_conditions : nullptr});
        old_rows += known.reference_rows * width;
        old_conditions += with_conditions ? known.reference_rows : 0;
    }
    // Position 0 is the stored reference, which stays as it was.
    for (std::size_t position = 1; position < learnt.merge_order.size(); ++position) {
        const auto b = static_cast<std::size_t>(learnt.merge_order[position]);
        const auto number = static_cast<std::int64_t>(model.batches.size() + b - 1);
        extended.batches.push_back(learnt.take_batch(b, batches[b - 1].name, number, sizes[b]));
        extended.num_pairs.push_back(learnt.num_pairs[position - 1]);
        reference_blocks.push_back({corrected.data() + offsets[b] * width, sizes[b], sizes[b],
                                    with_conditions ? new_conditions[b - 1].data() : nullptr});
    }
    std::vector<std::uint64_t> counts;
    extended.reference_conditions.clear();
    extended.reference =
        internal::build_reference(ndim, reference_blocks, model.settings.reference_events, counts,
                                  with_conditions ? &extended.reference_conditions : nullptr);
    extended.conditions = all_conditions;
    for (std::size_t position = 0; position < extended.batches.size(); ++position) {
        extended.batches[position].reference_rows = counts[position];
    }

    if (options.progress) {
        std::ostringstream line;
        line.setf(std::ios::fixed);
        line.precision(2);
        line << "Added " << batches.size() << " batches to the model (" << total - nreference
             << " events fitted) in "
             << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s.";
        options.progress(line.str());
    }

    for (std::size_t b = 0; b < batches.size() && !outputs.empty(); ++b) {
        if (samples[b].subsampled()) {
            const BatchCorrector corrector(extended, batches[b].name);
            corrector.apply(ndim, batches[b].size, batches[b].events, outputs[b], options.num_threads);
        } else {
            std::copy_n(corrected.data() + offsets[b + 1] * width, sizes[b + 1] * width, outputs[b]);
        }
    }
    return extended;
}

Model extend_labelled(const Model& model, int ndim, std::size_t n, const double* events, const int* batch_ids,
                      const std::vector<std::string>& batch_names, const ExtendOptions& options,
                      double* output) {
    return internal::run_grouped(
        ndim, n, events, batch_ids, batch_names, output,
        [&](const std::vector<BatchEvents>& batches, const std::vector<double*>& outputs) {
            return extend(model, ndim, batches, options, outputs);
        },
        options.condition_names.empty() ? nullptr : options.condition_ids);
}

} // namespace pairmend::model
