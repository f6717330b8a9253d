#ifndef PAIRMEND_R_SETTINGS_LIST_HPP
#define PAIRMEND_R_SETTINGS_LIST_HPP

// The engine's settings between R and C++ as one named list by keyword (the job file's keys), read
// and written by walking pairmend::engine_settings(), so that no binding names a setting.

#include "pairmend/engine_options.hpp"

#include <Rcpp.h>

namespace pairmend_r {

/**
 * The settings of a named list holding each setting as R's checks leave it: an integer, a double,
 * a logical or a policy's name.
 * @throws std::runtime_error with the program's message for an unknown reference policy; Rcpp's
 *         error when a setting is missing or not of its kind.
 */
pairmend::EngineOptions engine_options_of(const Rcpp::List& settings);

/** The settings as such a named list, in the order of engine_settings(). */
Rcpp::List settings_list(const pairmend::EngineOptions& options);

} // namespace pairmend_r

#endif
