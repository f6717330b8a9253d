#ifndef PAIRMEND_REPORT_QC_SUMMARY_HPP
#define PAIRMEND_REPORT_QC_SUMMARY_HPP

// The numbers shown in the quality-control report, computed from a run before any HTML is written.
// summarize_run keeps no state between calls and may run on any thread.

#include "report/qc_report_input.hpp"
#include "report/qc_statistics.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace report {

/** One batch of the run. Plain value types here and below: safe to read from several threads. */
struct BatchSummary {
    int label = 0;           ///< the user's batch label.
    std::size_t events = 0;  ///< all events of the batch.
    std::size_t sampled = 0; ///< the events the curves and distances are computed from.
    std::string colour;      ///< the batch's colour in every figure.
};

/** One step of the merge order. */
struct MergeStepSummary {
    int label = 0;             ///< the batch merged at this step (the first step is the first reference).
    std::size_t events = 0;    ///< that batch's number of events.
    bool is_reference = false; ///< true for the first step, which has no pairs.
    int pairs = 0;             ///< the mutual pairs found at this step; 0 for the first step.
    bool few_pairs = false;    ///< true when pairs fall below the warning share of the batch's events.
};

/** One parameter: densities and distances per batch, in the order of QcSummary::batches. */
struct ParameterSummary {
    std::string name;
    DensityGrid grid;                                ///< the shared x axis of all curves of this parameter.
    std::vector<std::vector<double>> density_before; ///< per batch, one value per grid point.
    std::vector<std::vector<double>> density_after;
    std::vector<double> distance_before; ///< per batch, earth mover's distance to the other batches pooled.
    std::vector<double> distance_after;
    std::size_t non_finite = 0; ///< sampled values (before and after) left out because they are not finite.
};

/** Everything the report shows apart from the run's own texts. */
struct QcSummary {
    std::vector<BatchSummary> batches; ///< in increasing label order.
    std::vector<MergeStepSummary> merge_steps;
    std::vector<ParameterSummary> parameters;
    std::size_t sampled_events = 0; ///< the size of the subsample over all batches.
};

/**
 * Computes the report's numbers: events per batch from all events; densities on a per-parameter
 * grid spanning the 0.1% to 99.9% quantiles of the pooled values before and after correction
 * (Silverman bandwidth per batch and state) and earth mover's distances, both from a fixed-seed
 * subsample of at most options.max_events_per_batch events per batch.
 *
 * @param input   the run; see QcReportInput.
 * @param options the subsample size, seed, warning share and plotting budget.
 * @return the summary.
 * @throws std::invalid_argument when the input is inconsistent: a negative ndim, missing matrices or
 *         labels, a parameter-name list whose length is neither 0 nor ndim, a pair list that does not
 *         have one entry per merge step, or a merge order naming a label that no event carries.
 */
QcSummary summarize_run(const QcReportInput& input, const QcReportOptions& options = {});

/** The name shown for parameter `index` (0-based): the given name, or "parameter <index + 1>". */
std::string parameter_display_name(const QcReportInput& input, int index);

} // namespace report

#endif
