#include "model_handle.hpp"

#include <Rcpp.h>

#include <memory>
#include <stdexcept>

namespace pairmend_r {

namespace {

using pairmend::model::Model;

// The tag that marks an external pointer as a model handle, so that no other pointer is taken for one.
SEXP handle_tag() {
    static const SEXP tag = Rf_install("pairmend_model");
    return tag;
}

bool is_handle(SEXP handle) {
    return TYPEOF(handle) == EXTPTRSXP && R_ExternalPtrTag(handle) == handle_tag();
}

void free_model(SEXP handle) {
    delete static_cast<const Model*>(R_ExternalPtrAddr(handle));
    R_ClearExternalPtr(handle);
}

} // namespace

SEXP model_handle(Model model) {
    std::unique_ptr<const Model> owned = std::make_unique<const Model>(std::move(model));
    // The pointer takes the model only once its finalizer is in place, so that the model is
    // always freed exactly once.
    Rcpp::Shield<SEXP> handle(R_MakeExternalPtr(nullptr, handle_tag(), R_NilValue));
    R_RegisterCFinalizerEx(handle, free_model, TRUE);
    R_SetExternalPtrAddr(handle, const_cast<Model*>(owned.release()));
    return handle;
}

bool model_in_memory(SEXP handle) {
    return is_handle(handle) && R_ExternalPtrAddr(handle) != nullptr;
}

const Model& model_of(SEXP handle) {
    if (!is_handle(handle)) {
        throw std::runtime_error(
            "model must be a correction model made by fit(), extend_model() or load_model().");
    }
    const auto* model = static_cast<const Model*>(R_ExternalPtrAddr(handle));
    if (model == nullptr) {
        throw std::runtime_error(
            "This model's correction is not in memory: a model read back by readRDS() or load(), or kept "
            "from "
            "an earlier R session, holds only its description. Keep models with save_model() and read them "
            "with load_model().");
    }
    return *model;
}

} // namespace pairmend_r
