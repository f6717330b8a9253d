#include "r_interrupt.hpp"

// Rcpp needs R's API without its short macro names (length(), error(), ...), which clash with C++.
#ifndef R_NO_REMAP
#define R_NO_REMAP
#endif
#include <R_ext/Utils.h>
#include <Rinternals.h>

namespace pairmend_r {

namespace {

void check_interrupt(void*) {
    R_CheckUserInterrupt();
}

} // namespace

bool interrupt_pending() {
    return R_ToplevelExec(check_interrupt, nullptr) == FALSE;
}

} // namespace pairmend_r
