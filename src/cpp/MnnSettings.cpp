#include "MnnSettings.hpp"

#include <stdexcept>
#include <variant>

namespace QN {

namespace {

// The alternative T of a setting. A value of another JSON type raises the standard library's
// bad-variant-access error, which the host's other plug-ins report the same way.
template <typename T>
T typed_setting(const Settings& settings, const char* key) {
    return std::get<T>(settings.setting(key).value);
}

} // namespace

mnncorrect::ReferencePolicy parse_reference_policy(const std::string& text) {
    return pairmend::parse_reference_policy(text);
}

MnnSettings::MnnSettings(const std::string& path) {
    loadJSONSetup(path);
}

void MnnSettings::setDefaults() {
    const pairmend::EngineOptions defaults;
    approximate = defaults.approximate;
    automatic_order = defaults.automatic_order;
    observation_cap = std::numeric_limits<std::size_t>::max();
    num_mads = defaults.num_mads;
    num_neighbors = defaults.num_neighbors;
    robust_iterations = defaults.robust_iterations;
    robust_trim = defaults.robust_trim;
    run_ID = "NO_RUN_ID";
    report_file.clear();
}

std::string MnnSettings::reportFile(bool resolve) const {
    if (report_file.empty() || !resolve) {
        return report_file;
    }
    return addPath(report_file);
}

pairmend::EngineOptions MnnSettings::engineOptions() const {
    pairmend::EngineOptions options;
    options.num_neighbors = num_neighbors;
    options.num_mads = num_mads;
    options.robust_iterations = robust_iterations;
    options.robust_trim = robust_trim;
    options.approximate = approximate;
    options.automatic_order = automatic_order;
    options.reference_policy = reference_policy;
    return options;
}

void MnnSettings::processLoadedJSON() {
    if (numInputFiles() != 1) {
        throw std::runtime_error("There must be exactly one input file");
    }
    if (summaryFile(false).empty()) {
        throw std::runtime_error("No summary file");
    }
    if (numOutputFiles() != 1) {
        throw std::runtime_error("There must be exactly one output file");
    }

    setDefaults();
    if (has_setting(approximate_Att)) {
        approximate = typed_setting<bool>(*this, approximate_Att);
    }
    if (has_setting(automatic_order_Att)) {
        automatic_order = typed_setting<bool>(*this, automatic_order_Att);
    }
    if (has_setting(num_mads_Att)) {
        num_mads = typed_setting<double>(*this, num_mads_Att);
    }
    if (has_setting(num_neighbors_Att)) {
        num_neighbors = typed_setting<int>(*this, num_neighbors_Att);
    }
    if (has_setting(reference_policy_Att)) {
        reference_policy = parse_reference_policy(typed_setting<std::string>(*this, reference_policy_Att));
    }
    if (has_setting(robust_iterations_Att)) {
        robust_iterations = typed_setting<int>(*this, robust_iterations_Att);
    }
    if (has_setting(robust_trim_Att)) {
        robust_trim = typed_setting<double>(*this, robust_trim_Att);
    }
    if (!has_setting(run_ID_Att)) {
        throw std::runtime_error("No run ID specified");
    }
    run_ID = typed_setting<std::string>(*this, run_ID_Att);
    // Optional: an empty name asks for no report, as leaving the key out does, because hosts
    // often fill unused file fields with an empty text.
    if (has_setting(report_file_Att)) {
        report_file = typed_setting<std::string>(*this, report_file_Att);
    }
}

} // namespace QN
