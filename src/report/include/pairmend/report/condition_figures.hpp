#ifndef PAIRMEND_REPORT_CONDITION_FIGURES_HPP
#define PAIRMEND_REPORT_CONDITION_FIGURES_HPP

// The figures of a run with conditions: the design (events per batch and condition), per
// condition held by more than one batch the earth mover's distance between its batches before and
// after correction, and per batch holding several conditions the biology kept. Plain values; the
// function keeps no state and may be called from any thread.

#include "pairmend/report/qc_report_input.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::report {

/** One condition held by more than one batch. */
struct ConditionDistance {
    std::string name;         ///< the condition.
    std::vector<int> batches; ///< the labels of the batches holding it, in increasing order.
    double emd_before = 0;    ///< the mean over parameters and pairs of those batches, before.
    double emd_after = 0;     ///< and after correction.
    bool moved_apart = false; ///< whether its batches are further apart after than before.
};

/** The biology kept in one batch holding several conditions. */
struct BiologyKept {
    int batch = 0;     ///< the batch's label.
    double kept = 1.0; ///< distances between the conditions' per-parameter medians, after over
                       ///< before, as a geometric mean over pairs of conditions (1: kept).
};

/** The figures of the conditions of a run. */
struct ConditionFigures {
    std::vector<std::string> conditions;          ///< the condition names.
    std::vector<int> batches;                     ///< the batch labels, in increasing order.
    std::vector<std::vector<std::size_t>> events; ///< events[batch position][condition].
    std::vector<ConditionDistance> shared;        ///< the conditions held by more than one batch.
    std::vector<BiologyKept> biology;             ///< the batches holding several conditions.
};

/**
 * The figures of `input`'s conditions (`input.conditions`, positions in `input.condition_names`).
 * @throws std::invalid_argument when the input has no conditions or a position outside the names.
 */
ConditionFigures condition_figures(const QcReportInput& input);

} // namespace pairmend::report

#endif
