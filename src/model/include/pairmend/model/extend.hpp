#ifndef PAIRMEND_MODEL_EXTEND_HPP
#define PAIRMEND_MODEL_EXTEND_HPP

#include "pairmend/model/Model.hpp"
#include "pairmend/model/fit.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pairmend::model {

/// How to add batches to a model: as a fit learns batches. A model learnt with conditions needs
/// them for the new batches, and one learnt without cannot take them.
using ExtendOptions = LearnControls;

/**
 * Adds batches to a model: corrects them onto the model's stored corrected reference (the
 * reference first, the new batches in automatic order among themselves, with the model's
 * settings) and returns a new model. The new model holds the old batches exactly as they were,
 * then the new ones in merge order; its stored reference takes the old reference rows and the
 * new corrected events, evenly spread and capped to the model's `reference_events`.
 *
 * @param model The model; unchanged.
 * @param ndim Values per event; must equal the model's.
 * @param batches The new batches, in the order that numbers them (ties of the automatic order
 * follow it). Names must be new to the model and differ; every batch needs an event.
 * @param options Subsample and threads.
 * @param outputs Empty, or one buffer per new batch receiving its corrected events.
 * @return The extended model.
 * @throws std::runtime_error for no new batch, a known or repeated name, a batch without events,
 * a wrong `ndim`, a model that keeps no reference rows, or a batch that shares no mutual pairs
 * with the reference and the batches before it; std::bad_alloc; mnncorrect::Interrupted when
 * `options.should_stop` asks the call to end.
 */
Model extend(const Model& model, int ndim, const std::vector<BatchEvents>& batches,
             const ExtendOptions& options, const std::vector<double*>& outputs = {});

/**
 * `extend` for events given in any order, each with its batch id (a position in `batch_names`).
 *
 * @param[out] output Null, or room for the `n` corrected events in input order.
 * @throws As `extend`; also for an id outside `batch_names`.
 */
Model extend_labelled(const Model& model, int ndim, std::size_t n, const double* events, const int* batch_ids,
                      const std::vector<std::string>& batch_names, const ExtendOptions& options,
                      double* output);

} // namespace pairmend::model

#endif
