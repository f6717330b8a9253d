#ifndef PAIRMEND_MODEL_ALIGNMENT_HPP
#define PAIRMEND_MODEL_ALIGNMENT_HPP

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::model {

/// A monotone piecewise-linear map of one channel, continued with slope 1 beyond its ends.
struct ChannelCurve {
    /// Knots on the batch's scale, strictly increasing; at least one.
    std::vector<double> from;
    /// Where each knot goes on the reference's scale, non-decreasing; as many as `from`.
    std::vector<double> to;
};

/**
 * One step of the smooth local field: every event moves by the weighted average of the centres'
 * offsets, each centre weighted by its count times a Gaussian of the event's distance to it.
 */
struct FieldStep {
    /// Centres, `ndim` values each.
    std::vector<double> centres;
    /// Offset of every centre, `ndim` values each.
    std::vector<double> offsets;
    /// Weight of every centre: the batch events it held when fitted; 0 for a centre left out.
    std::vector<double> weights;
    /// The Gaussian's standard deviation; positive.
    double bandwidth = 1.0;
};

/// What the "curves" method learnt about one batch: its curves, then its field steps in order.
struct Alignment {
    /// One curve per channel; empty for a batch that does not move.
    std::vector<ChannelCurve> curves;
    /// Field steps applied after the curves, in order; may be empty.
    std::vector<FieldStep> field;
    /// Whether the alignment holds nothing (the first reference).
    bool empty() const { return curves.empty() && field.empty(); }
};

/**
 * Corrects `n` events with an alignment: the curves channel by channel, then each field step.
 *
 * @param output Receives the `n` corrected events; may be `events` itself.
 * @param num_threads Threads of the loop over events; the result does not depend on it.
 */
void apply_alignment(const Alignment& alignment, int ndim, std::size_t n, const double* events,
                     double* output, int num_threads);

/**
 * Refuses an alignment whose sizes disagree with `ndim` or whose curves are not increasing or
 * numbers not finite.
 *
 * @throws std::runtime_error with a sentence beginning with `where`.
 */
void check_alignment(const Alignment& alignment, int ndim, const std::string& where);

} // namespace pairmend::model

#endif
