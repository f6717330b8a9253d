#include "engine_settings.hpp"

namespace pairmend_r {

pairmend::EngineOptions engine_options(int num_neighbors, double num_mads, int robust_iterations,
                                       double robust_trim, bool approximate, bool automatic_order,
                                       const std::string& reference_policy) {
    pairmend::EngineOptions options;
    options.reference_policy = pairmend::parse_reference_policy(reference_policy);
    options.num_neighbors = num_neighbors;
    options.num_mads = num_mads;
    options.robust_iterations = robust_iterations;
    options.robust_trim = robust_trim;
    options.approximate = approximate;
    options.automatic_order = automatic_order;
    return options;
}

} // namespace pairmend_r
