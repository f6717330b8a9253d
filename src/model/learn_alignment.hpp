#ifndef PAIRMEND_MODEL_LEARN_ALIGNMENT_HPP
#define PAIRMEND_MODEL_LEARN_ALIGNMENT_HPP

// Internals of the "curves" method: learning how one batch moves onto the reference.

#include "pairmend/model/alignment.hpp"

#include <cstddef>

namespace pairmend::model::internal {

/**
 * Learns the alignment of a batch onto the reference.
 *
 * Per channel, a monotone curve maps the batch's quantiles onto the reference's, with both sides
 * weighted so that every population counts as much as it does in the smaller of the two: the
 * populations are k-means clusters of the reference, and a batch event's population is the one it
 * lands in after mutual nearest-neighbour correction (`matched`) at first, then after the curves,
 * for a few rounds. Populations that differ in share between the batches, or are missing from
 * one, therefore do not bend the curves. A smooth field then moves the curved events by the
 * differences of the batch's and the reference's means around a second set of centres, for a few
 * rounds, each offset shrunk by its noise; the field is left out when its first round is not
 * clearly larger than the noise (a batch without a local batch effect keeps its curves only).
 *
 * @param ndim Values per event.
 * @param n Events of the batch.
 * @param batch The batch's events, as given.
 * @param matched The batch's events after mutual nearest-neighbour correction onto the reference.
 * @param nreference Events of the reference.
 * @param reference The reference's events, as corrected so far.
 * @param num_threads Threads of the loops over events; the result does not depend on it.
 */
Alignment learn_alignment(int ndim, std::size_t n, const double* batch, const double* matched,
                          std::size_t nreference, const double* reference, int num_threads);

} // namespace pairmend::model::internal

#endif
