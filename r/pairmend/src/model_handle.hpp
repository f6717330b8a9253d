#ifndef PAIRMEND_R_MODEL_HANDLE_HPP
#define PAIRMEND_R_MODEL_HANDLE_HPP

// A correction model held by R: an external pointer that owns an immutable model. R cannot
// serialise what it points to, so a handle read back by readRDS() or load(), or kept from an
// earlier session, points to nothing; model_of() refuses such a handle with a message that says
// how models are kept.

#include "pairmend/model/Model.hpp"

// Rcpp needs R's API without its short macro names (length(), error(), ...), which clash with C++.
#ifndef R_NO_REMAP
#define R_NO_REMAP
#endif
#include <Rinternals.h>

namespace pairmend_r {

/** An R external pointer that owns `model`; R frees the model when it collects the pointer. */
SEXP model_handle(pairmend::model::Model model);

/** Whether `handle` is a model handle that points to a model. */
bool model_in_memory(SEXP handle);

/**
 * The model a handle points to, valid while the handle is alive.
 * @throws std::runtime_error when `handle` is no model handle, or when it points to nothing.
 */
const pairmend::model::Model& model_of(SEXP handle);

} // namespace pairmend_r

#endif
