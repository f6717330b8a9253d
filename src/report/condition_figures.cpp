#include "pairmend/report/condition_figures.hpp"

#include "pairmend/report/qc_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

namespace pairmend::report {

namespace {

double median_of(std::vector<double> values) {
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)) + upper) /
           2;
}

} // namespace

ConditionFigures condition_figures(const QcReportInput& input) {
    if (input.conditions == nullptr || input.condition_names.empty()) {
        throw std::invalid_argument("The run has no conditions.");
    }
    ConditionFigures figures;
    figures.conditions = input.condition_names;
    const std::size_t nconditions = input.condition_names.size();
    const auto ndim = static_cast<std::size_t>(std::max(input.ndim, 0));
    std::map<int, std::size_t> position;
    for (std::size_t i = 0; i < input.nobs; ++i) {
        position.emplace(input.batch_labels[i], 0);
    }
    for (auto& [label, at] : position) {
        at = figures.batches.size();
        figures.batches.push_back(label);
    }
    const std::size_t nbatches = figures.batches.size();
    // rows[batch][condition]: the events of that batch and condition.
    std::vector<std::vector<std::vector<std::size_t>>> rows(
        nbatches, std::vector<std::vector<std::size_t>>(nconditions));
    for (std::size_t i = 0; i < input.nobs; ++i) {
        const int c = input.conditions[i];
        if (c < 0 || static_cast<std::size_t>(c) >= nconditions) {
            throw std::invalid_argument("An event's condition is not among the condition names.");
        }
        rows[position[input.batch_labels[i]]][static_cast<std::size_t>(c)].push_back(i);
    }
    figures.events.assign(nbatches, std::vector<std::size_t>(nconditions, 0));
    for (std::size_t b = 0; b < nbatches; ++b) {
        for (std::size_t c = 0; c < nconditions; ++c) {
            figures.events[b][c] = rows[b][c].size();
        }
    }
    const auto column = [&](const double* values, const std::vector<std::size_t>& which, std::size_t d) {
        std::vector<double> out;
        out.reserve(which.size());
        for (const std::size_t i : which) {
            out.push_back(values[i * ndim + d]);
        }
        return out;
    };

    for (std::size_t c = 0; c < nconditions && ndim > 0; ++c) {
        std::vector<std::size_t> holders;
        for (std::size_t b = 0; b < nbatches; ++b) {
            if (!rows[b][c].empty()) {
                holders.push_back(b);
            }
        }
        if (holders.size() < 2) {
            continue;
        }
        ConditionDistance distance;
        distance.name = input.condition_names[c];
        std::size_t terms = 0;
        for (std::size_t x = 0; x < holders.size(); ++x) {
            distance.batches.push_back(figures.batches[holders[x]]);
            for (std::size_t y = x + 1; y < holders.size(); ++y) {
                for (std::size_t d = 0; d < ndim; ++d) {
                    const auto& first = rows[holders[x]][c];
                    const auto& second = rows[holders[y]][c];
                    distance.emd_before += earth_movers_distance(column(input.uncorrected, first, d),
                                                                 column(input.uncorrected, second, d));
                    distance.emd_after += earth_movers_distance(column(input.corrected, first, d),
                                                                column(input.corrected, second, d));
                    ++terms;
                }
            }
        }
        distance.emd_before /= static_cast<double>(terms);
        distance.emd_after /= static_cast<double>(terms);
        distance.moved_apart = distance.emd_after > distance.emd_before;
        figures.shared.push_back(std::move(distance));
    }

    for (std::size_t b = 0; b < nbatches && ndim > 0; ++b) {
        std::vector<std::vector<double>> before;
        std::vector<std::vector<double>> after;
        for (std::size_t c = 0; c < nconditions; ++c) {
            if (rows[b][c].empty()) {
                continue;
            }
            before.emplace_back();
            after.emplace_back();
            for (std::size_t d = 0; d < ndim; ++d) {
                before.back().push_back(median_of(column(input.uncorrected, rows[b][c], d)));
                after.back().push_back(median_of(column(input.corrected, rows[b][c], d)));
            }
        }
        if (before.size() < 2) {
            continue;
        }
        double log_sum = 0;
        std::size_t pairs = 0;
        for (std::size_t x = 0; x < before.size(); ++x) {
            for (std::size_t y = x + 1; y < before.size(); ++y) {
                double was = 0;
                double now = 0;
                for (std::size_t d = 0; d < ndim; ++d) {
                    was += (before[x][d] - before[y][d]) * (before[x][d] - before[y][d]);
                    now += (after[x][d] - after[y][d]) * (after[x][d] - after[y][d]);
                }
                if (was > 0) {
                    log_sum += std::log(std::sqrt(now) / std::sqrt(was));
                    ++pairs;
                }
            }
        }
        figures.biology.push_back(
            {figures.batches[b], pairs == 0 ? 1.0 : std::exp(log_sum / static_cast<double>(pairs))});
    }
    return figures;
}

} // namespace pairmend::report
