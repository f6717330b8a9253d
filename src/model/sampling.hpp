#ifndef PAIRMEND_MODEL_SAMPLING_HPP
#define PAIRMEND_MODEL_SAMPLING_HPP

// Internals shared by fit and extend: the events a batch is fitted on, and the evenly spread
// subsample of corrected events that a model keeps as its reference.

#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pairmend::model::internal {

/// The fitted events of one batch: its rows, or an evenly spread subsample copied out of them.
struct FitSample {
    /// The copied subsample; empty when every event is fitted.
    std::vector<double> copy;
    /// The fitted events (the batch's own rows or `copy`).
    const double* rows = nullptr;
    /// Number of fitted events.
    std::size_t size = 0;
    /// With conditions: the condition of every fitted event.
    std::vector<int> conditions;
    /// Whether only a subsample is fitted.
    bool subsampled() const { return !copy.empty(); }
};

/// The events of `batch` to fit on: all of them, or at most `fit_events` (0: all) evenly spread.
FitSample fit_sample(int ndim, const BatchEvents& batch, std::uint64_t fit_events);

/// Rows of one batch offered to the stored reference.
struct ReferenceBlock {
    /// The rows available, `ndim` values each.
    const double* rows = nullptr;
    /// Number of rows available.
    std::size_t available = 0;
    /// Number of events the batch was fitted on, which weighs its share.
    std::uint64_t fitted = 0;
    /// With conditions: the condition of every available row; null without.
    const int* conditions = nullptr;
};

/**
 * The stored reference: of the batches' fitted events (in block order) an evenly spread subsample
 * of at most `cap` rows, each block's share taken evenly from its available rows.
 *
 * @param[out] counts Rows taken from every block.
 */
std::vector<double> build_reference(int ndim, const std::vector<ReferenceBlock>& blocks, std::uint64_t cap,
                                    std::vector<std::uint64_t>& counts,
                                    std::vector<std::uint32_t>* conditions = nullptr);

} // namespace pairmend::model::internal

#endif
