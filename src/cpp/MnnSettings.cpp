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

// The MNN options of the job file in the order in which they are read: an error in one leaves the
// ones before it read and the ones after it at their defaults.
constexpr const char* engine_keys[] = {MnnSettings::approximate_Att,      MnnSettings::automatic_order_Att,
                                       MnnSettings::num_mads_Att,         MnnSettings::num_neighbors_Att,
                                       MnnSettings::reference_policy_Att, MnnSettings::robust_iterations_Att,
                                       MnnSettings::robust_trim_Att};

} // namespace

mnncorrect::ReferencePolicy parse_reference_policy(const std::string& text) {
    return pairmend::parse_reference_policy(text);
}

MnnSettings::MnnSettings(const std::string& path) {
    loadJSONSetup(path);
}

void MnnSettings::setDefaults() {
    pairmend::EngineOptions defaults;
    defaults.reference_policy = reference_policy;
    setEngineOptions(defaults);
    observation_cap = std::numeric_limits<std::size_t>::max();
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

void MnnSettings::setEngineOptions(const pairmend::EngineOptions& options) {
    num_neighbors = options.num_neighbors;
    num_mads = options.num_mads;
    robust_iterations = options.robust_iterations;
    robust_trim = options.robust_trim;
    approximate = options.approximate;
    automatic_order = options.automatic_order;
    reference_policy = options.reference_policy;
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
    // Each value must hold the alternative of its setting's kind (set_setting raises the
    // bad-variant-access error otherwise); a reference policy must be named exactly.
    for (const char* key : engine_keys) {
        if (has_setting(key)) {
            pairmend::EngineOptions options = engineOptions();
            pairmend::set_setting(*pairmend::find_setting(key), options, setting(key).value);
            setEngineOptions(options);
        }
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
