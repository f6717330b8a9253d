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
    if (text == MnnSettings::input_Val) {
        return mnncorrect::Input;
    }
    if (text == MnnSettings::max_size_Val) {
        return mnncorrect::MaxSize;
    }
    if (text == MnnSettings::max_variance_Val) {
        return mnncorrect::MaxVariance;
    }
    if (text == MnnSettings::max_Rss_Val) {
        return mnncorrect::MaxRSS;
    }
    throw std::runtime_error(text + " is not a valid reference policy");
}

MnnSettings::MnnSettings(const std::string& path) {
    loadJSONSetup(path);
}

void MnnSettings::setDefaults() {
    approximate = false;
    automatic_order = true;
    observation_cap = std::numeric_limits<std::size_t>::max();
    num_mads = 3.0;
    num_neighbors = 15;
    robust_iterations = 2;
    robust_trim = 0.25;
    run_ID = "NO_RUN_ID";
    report_file.clear();
}

std::string MnnSettings::reportFile(bool resolve) const {
    if (report_file.empty() || !resolve) {
        return report_file;
    }
    return addPath(report_file);
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
