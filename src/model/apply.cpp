#include "pairmend/model/apply.hpp"

#include "grouping.hpp"
#include "mnncorrect/Interrupted.hpp"

#include <algorithm>
#include <stdexcept>

namespace pairmend::model {

BatchCorrector::BatchCorrector(const Model& model, const std::string& batch)
    : model_(&model), batch_(&model.batches[find_batch(model, batch)]) {
    // Only the first reference holds no correction (check_model refuses any other).
    if (batch_->correction) {
        prepared_ = batch_->correction->prepare(model);
    }
}

void BatchCorrector::apply(int ndim, std::size_t n, const double* events, double* output,
                           int num_threads) const {
    if (ndim != model_->ndim) {
        throw std::runtime_error("The model corrects events of " + std::to_string(model_->ndim) +
                                 " parameters, but the events to correct have " + std::to_string(ndim) +
                                 " values each.");
    }
    if (!prepared_) {
        if (output != events) {
            std::copy_n(events, static_cast<std::size_t>(ndim) * n, output);
        }
        return;
    }
    prepared_->apply(ndim, n, events, output, num_threads);
}

const std::string& BatchCorrector::name() const {
    return batch_->name;
}

void apply(const Model& model, const std::string& batch, int ndim, std::size_t n, const double* events,
           double* output, int num_threads) {
    const BatchCorrector corrector(model, batch);
    corrector.apply(ndim, n, events, output, num_threads);
}

void apply_labelled(const Model& model, int ndim, std::size_t n, const double* events, const int* batch_ids,
                    const std::vector<std::string>& batch_names, double* output, int num_threads,
                    const std::function<bool()>& should_stop) {
    if (ndim != model.ndim) {
        throw std::runtime_error("The model corrects events of " + std::to_string(model.ndim) +
                                 " parameters, but the events to correct have " + std::to_string(ndim) +
                                 " values each.");
    }
    for (const std::string& name : batch_names) {
        find_batch(model, name);
    }
    internal::GroupedEvents grouped = internal::group_events(ndim, n, events, batch_ids, batch_names.size());
    for (std::size_t b = 0; b < batch_names.size(); ++b) {
        if (grouped.positions[b].empty()) {
            continue;
        }
        const BatchCorrector corrector(model, batch_names[b]);
        double* const block = grouped.blocks[b].data();
        const std::size_t count = grouped.positions[b].size();
        for (std::size_t start = 0; start < count; start += kEventsPerStopCheck) {
            mnncorrect::internal::check_stop(&should_stop);
            const std::size_t length = std::min(kEventsPerStopCheck, count - start);
            double* const part = block + start * static_cast<std::size_t>(ndim);
            corrector.apply(ndim, length, part, part, num_threads);
        }
    }
    internal::scatter_events(ndim, grouped, output);
}

} // namespace pairmend::model
