#ifndef PAIRMEND_REPORT_NOISE_FLOOR_HPP
#define PAIRMEND_REPORT_NOISE_FLOOR_HPP

// How far a correction moves events, and how far the same method moves events that carry no batch
// effect at all (the noise floor): one batch is split at random into two halves that differ only
// by chance, and one half is corrected onto the other with the run's own settings. A batch moved
// not much farther than that floor was moved mostly by the method, not by a batch effect.
// Free functions without shared state; safe to call from several threads.

#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/report/qc_report_input.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pairmend::report {

/**
 * The standard deviation of every parameter (divisor n - 1) over n events.
 *
 * @param rows events of ndim values each, event after event; finite values only.
 * @param ndim the number of parameters.
 * @return one value per parameter; all 0 for fewer than two events.
 */
std::vector<double> parameter_deviations(const std::vector<double>& rows, int ndim);

/**
 * The root mean square of the per-parameter movements of a set of events:
 * sqrt(sum over events and parameters of (after - before)^2 / (events * parameters)).
 *
 * @param before events of ndim values each, event after event.
 * @param after  the same events after correction; as many values as `before`.
 * @return the displacement in the units of the values; 0 for no values.
 * @throws std::invalid_argument when the lengths differ.
 */
double rms_displacement(const std::vector<double>& before, const std::vector<double>& after);

/** The outcome of the split-batch calibration. A plain value; safe to read from several threads. */
struct SplitBatchFloor {
    bool computed = false;     ///< false when the batch could not be split and corrected.
    double displacement = 0;   ///< RMS displacement of the moved half, in the caller's unit.
    std::size_t reference = 0; ///< the events of the half that stayed in place.
    std::size_t moved = 0;     ///< the events of the half that was corrected onto it.
    std::string reason;        ///< when not computed, a sentence for the reader saying why.
};

/**
 * Splits the events of one batch at random (fixed seed) into two halves and corrects the second
 * half onto the first with `engine` (its options as the run used them; its phase timing is not
 * touched), then measures how far the second half moved.
 *
 * @param rows   the batch's events, ndim values each, event after event; finite values only.
 * @param ndim   the number of parameters.
 * @param unit   the unit of the displacement (for example the batch's mean standard deviation).
 * @param engine the correction with the run's options.
 * @param seed   the seed of the random split.
 * @return the floor, or the reason it could not be measured: fewer than 2 * (num_neighbors + 1)
 *         events, no parameters, or halves that share no mutual nearest neighbours.
 * @throws std::runtime_error for options the engine refuses; std::bad_alloc when memory runs out.
 */
SplitBatchFloor split_batch_floor(const std::vector<double>& rows, int ndim, double unit,
                                  const mnncorrect::MnnCorrect<int, double>& engine, std::uint64_t seed);

/** The same with a run's own correction of two batches (see QcReportInput::split_correction). */
SplitBatchFloor split_batch_floor(const std::vector<double>& rows, int ndim, double unit,
                                  const SplitCorrection& correction, std::uint64_t seed);

} // namespace pairmend::report

#endif
