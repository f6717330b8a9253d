#ifndef PAIRMEND_R_ENGINE_SETTINGS_HPP
#define PAIRMEND_R_ENGINE_SETTINGS_HPP

// The engine's settings as the R functions pass them, by the job file's keys.

#include "pairmend/engine_options.hpp"

#include <string>

namespace pairmend_r {

/**
 * The engine's settings from the R functions' arguments, whose types R has checked.
 * @throws std::runtime_error with the program's message for an unknown reference policy; the
 *         other ranges are checked where the settings are used, with the program's messages.
 */
pairmend::EngineOptions engine_options(int num_neighbors, double num_mads, int robust_iterations,
                                       double robust_trim, bool approximate, bool automatic_order,
                                       const std::string& reference_policy);

} // namespace pairmend_r

#endif
