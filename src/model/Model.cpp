#include "pairmend/model/Model.hpp"

#include "mnncorrect/RobustAverage.hpp"

#include <cmath>
#include <cstddef>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pairmend::model {

EngineOptions engine_options(const Settings& settings) {
    return settings;
}

Settings model_settings(const EngineOptions& options) {
    Settings settings;
    static_cast<EngineOptions&>(settings) = options;
    return settings;
}

std::size_t find_batch(const Model& model, const std::string& name) {
    for (std::size_t b = 0; b < model.batches.size(); ++b) {
        if (model.batches[b].name == name) {
            return b;
        }
    }
    throw std::runtime_error("The model knows no batch named \"" + name + "\"; it knows " +
                             batch_list(model) + ". Fit or extend the model with that batch first.");
}

std::string batch_list(const Model& model) {
    std::string list;
    for (std::size_t b = 0; b < model.batches.size(); ++b) {
        if (b > 0) {
            list += b + 1 == model.batches.size() ? " and " : ", ";
        }
        list += "\"" + model.batches[b].name + "\"";
    }
    return list.empty() ? "no batch" : list;
}

void check_settings(const Settings& settings) {
    if (settings.num_neighbors < 1) {
        throw std::runtime_error("The number of neighbors must be at least 1, not " +
                                 std::to_string(settings.num_neighbors) + ".");
    }
    if (!std::isfinite(settings.num_mads)) {
        std::ostringstream message;
        message << "The number of median absolute deviations must be a finite number, not "
                << settings.num_mads << ".";
        throw std::runtime_error(message.str());
    }
    if (settings.reference_policy < mnncorrect::Input || settings.reference_policy > mnncorrect::MaxRSS) {
        throw std::runtime_error(
            "The reference policy must be one of Input, MaxSize, MaxVariance and MaxRSS.");
    }
    // The robust average checks its own settings with the engine's messages.
    const mnncorrect::RobustAverage<int, double> robust(settings.robust_iterations, settings.robust_trim);
    static_cast<void>(robust);
}

void check_model(const Model& model, const std::string& source) {
    try {
        check_settings(model.settings);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(source + " holds settings the engine cannot use: " + error.what());
    }
    if (model.ndim < 1) {
        throw std::runtime_error(source + " declares no parameters.");
    }
    const std::size_t width = static_cast<std::size_t>(model.ndim);
    if (model.parameters.size() != width) {
        throw std::runtime_error(source + " names " + std::to_string(model.parameters.size()) +
                                 " parameters but corrects " + std::to_string(width) + ".");
    }
    if (model.fcs && model.fcs->channels.size() != width) {
        throw std::runtime_error(source + " lists " + std::to_string(model.fcs->channels.size()) +
                                 " FCS channels for " + std::to_string(width) + " parameters.");
    }
    if (model.fcs && !model.fcs->transforms.empty()) {
        if (model.fcs->transforms.size() != width) {
            throw std::runtime_error(source + " holds " + std::to_string(model.fcs->transforms.size()) +
                                     " channel transforms for " + std::to_string(width) + " parameters.");
        }
        for (std::size_t j = 0; j < width; ++j) {
            const std::string fault = transform_fault(model.fcs->transforms[j]);
            if (!fault.empty()) {
                throw std::runtime_error(source + " holds a transform of the channel " +
                                         model.fcs->channels[j].name + " that cannot be used: " + fault +
                                         ".");
            }
        }
    }
    if (model.batches.empty()) {
        throw std::runtime_error(source + " holds no batch.");
    }
    if (model.num_pairs.size() + 1 != model.batches.size()) {
        throw std::runtime_error(source + " holds " + std::to_string(model.num_pairs.size()) +
                                 " pair counts for " + std::to_string(model.batches.size()) + " batches.");
    }
    std::set<std::string> names;
    std::uint64_t rows = 0;
    for (std::size_t b = 0; b < model.batches.size(); ++b) {
        const BatchModel& batch = model.batches[b];
        if (!names.insert(batch.name).second) {
            throw std::runtime_error(source + " names two batches \"" + batch.name + "\".");
        }
        if (batch.reference_rows > batch.fitted_events) {
            throw std::runtime_error(source + " keeps more reference rows of batch \"" + batch.name +
                                     "\" than it was fitted on.");
        }
        rows += batch.reference_rows;
        if (b == 0) {
            if (batch.correction) {
                throw std::runtime_error(source + " holds a correction for its first reference \"" +
                                         batch.name + "\", which does not move.");
            }
            continue;
        }
        if (!batch.correction) {
            throw std::runtime_error(source + " holds no correction for batch \"" + batch.name + "\".");
        }
        if (batch.correction->method() != model.method.name()) {
            throw std::runtime_error(source + " holds " +
                                     parse_method(batch.correction->method()).info().words.correction +
                                     " for batch \"" + batch.name + "\", but corrects with " +
                                     model.method.info().words.corrects_with + ".");
        }
        batch.correction->check(model, source, batch.name);
    }
    if (rows > model.settings.reference_events || model.reference.size() / width != rows ||
        model.reference.size() % width != 0) {
        throw std::runtime_error(source + " holds " + std::to_string(model.reference.size() / width) +
                                 " reference rows, but its batches account for " + std::to_string(rows) +
                                 " (at most " + std::to_string(model.settings.reference_events) + ").");
    }
}

} // namespace pairmend::model
