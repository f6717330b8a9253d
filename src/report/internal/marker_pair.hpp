#ifndef PAIRMEND_REPORT_INTERNAL_MARKER_PAIR_HPP
#define PAIRMEND_REPORT_INTERNAL_MARKER_PAIR_HPP

// The report's 2-D densities of the two parameters with the largest batch effect.

#include "pairmend/report/qc_summary.hpp"

#include <cstddef>
#include <vector>

namespace pairmend::report {

/**
 * The pair of parameters with the largest mean distance between batches before correction (ties to
 * the earlier), binned on axes spanning the 0.5% to 99.5% quantiles of their pooled values before
 * and after, per batch. Events with a non-finite value in either parameter are left out.
 * @param rows_before, rows_after the sampled events, `ndim` values each.
 * @param sample_batch the dense batch of every sampled event.
 */
MarkerPairSummary summarize_marker_pair(const std::vector<double>& rows_before,
                                        const std::vector<double>& rows_after,
                                        const std::vector<int>& sample_batch, int ndim,
                                        std::size_t num_batches,
                                        const std::vector<ParameterSummary>& parameters, std::size_t bins);

} // namespace pairmend::report

#endif
