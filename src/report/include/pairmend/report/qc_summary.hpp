#ifndef PAIRMEND_REPORT_QC_SUMMARY_HPP
#define PAIRMEND_REPORT_QC_SUMMARY_HPP

// The numbers shown in the quality-control report, computed from a run before any HTML is written.
// summarize_run keeps no state between calls and may run on any thread.

#include "pairmend/report/qc_report_input.hpp"
#include "pairmend/report/qc_statistics.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::report {

/** One batch of the run. Plain value types here and below: safe to read from several threads. */
struct BatchSummary {
    int label = 0;             ///< the user's batch label.
    std::size_t events = 0;    ///< all events of the batch.
    std::size_t sampled = 0;   ///< the events the curves and distances are computed from.
    std::string colour;        ///< the batch's colour in every figure.
    bool is_reference = false; ///< true for the first reference, which the correction leaves in place.
    double mixing_before = std::nan(""); ///< neighbourhood mixing of its events before correction.
    double mixing_after = std::nan("");  ///< the same after correction.
    double structure_kept =
        std::nan("");                   ///< mean Jaccard index of its neighbourhoods; NaN for the reference.
    double displacement = std::nan(""); ///< RMS movement in units of QcSummary::displacement_unit.
    double displacement_to_floor =
        std::nan("");        ///< displacement over the noise floor; NaN for the reference.
    bool near_floor = false; ///< true when displacement_to_floor is below the warning ratio.
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
    /// Whether the batches end further apart than they started (mean distance after above before):
    /// the correction made this parameter worse.
    bool further_apart = false;
};

/**
 * The two parameters with the largest batch effect before correction (mean distance between
 * batches), as a 2-D density per batch before and after: batch effects are often two-dimensional.
 */
struct MarkerPairSummary {
    bool shown = false;   ///< false with fewer than two parameters or no finite pair of values.
    int first = 0;        ///< the parameter on the x axis (0-based).
    int second = 1;       ///< the parameter on the y axis.
    std::size_t bins = 0; ///< cells per axis.
    double x_min = 0, x_max = 1, y_min = 0, y_max = 1; ///< the axes, shared by every panel.
    /// Per batch, the share of its sampled events in every cell, bins * bins values, rows of x
    /// for increasing y; before and after correction.
    std::vector<std::vector<double>> before;
    std::vector<std::vector<double>> after;
};

/** The split-batch calibration of the first reference batch. */
struct NoiseFloorSummary {
    bool computed = false;              ///< false when it could not be measured; `reason` says why.
    int label = 0;                      ///< the batch that was split (the first reference).
    double displacement = std::nan(""); ///< RMS movement of the corrected half, in displacement units.
    std::size_t reference = 0;          ///< events of the half that stayed in place.
    std::size_t moved = 0;              ///< events of the half corrected onto it.
    std::string reason;                 ///< when not computed, a sentence for the reader.
};

/** The 2-D view: the pooled uncorrected sample's first two principal components. */
struct ViewSummary {
    std::vector<double> variance_share; ///< per component, its share of the total variance.
    std::vector<double> loadings;       ///< component c's weights in [c * ndim, (c + 1) * ndim).
    std::vector<int> batch;             ///< the dense batch of every plotted event.
    std::vector<double> before;         ///< per plotted event, (PC1, PC2) before correction.
    std::vector<double> after;          ///< the same events after correction.
    double x_min = 0, x_max = 1, y_min = 0, y_max = 1; ///< the shared axes of both panels.
};

/** Everything the report shows apart from the run's own texts. */
struct QcSummary {
    std::vector<BatchSummary> batches; ///< in increasing label order.
    std::vector<MergeStepSummary> merge_steps;
    std::vector<ParameterSummary> parameters;
    MarkerPairSummary marker_pair;
    std::size_t sampled_events = 0; ///< the size of the subsample over all batches.

    std::size_t neighbour_events = 0; ///< sampled events with finite values, used by the figures below.
    /// Of those, the events whose neighbourhoods are measured (at most max_queries_per_batch per batch).
    std::size_t neighbourhood_queries = 0;
    double mixing_before = std::nan(""); ///< neighbourhood mixing over all those events, before.
    double mixing_after = std::nan("");  ///< the same after correction.
    int mixing_neighbours = 0;           ///< neighbours per event for the mixing.
    int structure_neighbours = 0;        ///< neighbours per event for the structure kept.
    bool has_reference = false;          ///< whether the first reference is known (from the merge order).
    int reference_label = 0;             ///< the first reference's label, when known.
    /// The unit of all displacements: the mean per-parameter standard deviation of the first
    /// reference's sampled events (of all sampled events when the reference is unknown).
    double displacement_unit = std::nan("");
    double floor_warning_ratio = 2.0; ///< batches moved less than this multiple of the floor are flagged.
    NoiseFloorSummary noise_floor;
    ViewSummary view;
    /// Seconds spent on each of the report's figures, in the order they were computed.
    std::vector<std::pair<std::string, double>> seconds;
};

/**
 * Computes the report's numbers: events per batch from all events; densities on a per-parameter
 * grid spanning the 0.1% to 99.9% quantiles of the pooled values before and after correction
 * (Silverman bandwidth per batch and state) and earth mover's distances, both from a fixed-seed
 * subsample of at most options.max_events_per_batch events per batch. From the same subsample (events
 * with finite values only): neighbourhood mixing before and after, the structure kept of every
 * corrected batch, every batch's displacement, the noise floor (when the input carries the engine)
 * and the 2-D view. Neighbour searches use options.num_threads threads.
 *
 * @param input   the run; see QcReportInput.
 * @param options the subsample size, seed, warning share and plotting budget.
 * @return the summary.
 * @throws std::invalid_argument when the input is inconsistent: a negative ndim, missing matrices or
 *         labels, a parameter-name list whose length is neither 0 nor ndim, a pair list that does not
 *         have one entry per merge step, or a merge order naming a label that no event carries;
 *         std::runtime_error when the engine refuses its own options; std::bad_alloc when memory runs out.
 */
QcSummary summarize_run(const QcReportInput& input, const QcReportOptions& options = {});

/** The name shown for parameter `index` (0-based): the given name, or "parameter <index + 1>". */
std::string parameter_display_name(const QcReportInput& input, int index);

} // namespace pairmend::report

#endif
