#include "pairmend/engine_options.hpp"

#include "pairmend/messages.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>

namespace pairmend {

namespace {

constexpr double int_max = std::numeric_limits<int>::max();
constexpr double double_max = std::numeric_limits<double>::max();

std::vector<SettingInfo> describe_settings() {
    const EngineOptions defaults;
    return {
        {"num_neighbors", "--neighbors", "K", SettingKind::whole_number, 1, int_max,
         "a whole number from 1 to 2147483647", "neighbours per search",
         static_cast<double>(defaults.num_neighbors), setting_text(defaults.num_neighbors)},
        {"num_mads", "--mads", "M", SettingKind::number, 0, double_max, "a number of at least 0",
         "median absolute deviations allowed", defaults.num_mads, setting_text(defaults.num_mads)},
        {"robust_iterations", "--robust-iterations", "N", SettingKind::whole_number, 0, int_max,
         "a whole number from 0 to 2147483647", "iterations of the robust average",
         static_cast<double>(defaults.robust_iterations), setting_text(defaults.robust_iterations)},
        {"robust_trim", "--robust-trim", "T", SettingKind::number, 0, 1, "a number from 0 to 1",
         "trimmed share of the robust average, 0 to 1", defaults.robust_trim,
         setting_text(defaults.robust_trim)},
        {"approximate", "--approximate", "", SettingKind::flag, 0, 1, "true or false",
         "approximate neighbour search (faster, not exact)", defaults.approximate ? 1.0 : 0.0,
         setting_text(defaults.approximate)},
        {"automatic_order", "--order", "automatic|input", SettingKind::flag, 0, 1, "true or false",
         "merge order", defaults.automatic_order ? 1.0 : 0.0, setting_text(defaults.automatic_order)},
        {"reference_policy", "--reference-policy", "P", SettingKind::policy, 0, 3,
         "one of Input, MaxSize, MaxVariance and MaxRSS", "first reference",
         static_cast<double>(defaults.reference_policy), reference_policy_name(defaults.reference_policy)},
    };
}

// Whole numbers and flags as a stream in the C locale writes them, whatever the global locale.
template <typename T>
std::string classic_text(T value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::boolalpha << value;
    return text.str();
}

} // namespace

const std::vector<SettingInfo>& engine_settings() {
    static const std::vector<SettingInfo> settings = describe_settings();
    return settings;
}

const SettingInfo* find_setting(const std::string& key) {
    for (const SettingInfo& setting : engine_settings()) {
        if (key == setting.key) {
            return &setting;
        }
    }
    return nullptr;
}

bool in_range(const SettingInfo& setting, double value) {
    return std::isfinite(value) && value >= setting.minimum && value <= setting.maximum;
}

std::vector<std::pair<std::string, std::string>> settings_text(const EngineOptions& options) {
    return {{"num_neighbors", setting_text(options.num_neighbors)},
            {"num_mads", setting_text(options.num_mads)},
            {"robust_iterations", setting_text(options.robust_iterations)},
            {"robust_trim", setting_text(options.robust_trim)},
            {"approximate", setting_text(options.approximate)},
            {"automatic_order", setting_text(options.automatic_order)},
            {"reference_policy", reference_policy_name(options.reference_policy)}};
}

std::string setting_text(int value) {
    return classic_text(value);
}

std::string setting_text(bool value) {
    return classic_text(value);
}

std::string setting_text(double value) {
    std::string text;
    for (int precision = 1; precision <= std::numeric_limits<double>::max_digits10; ++precision) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out.precision(precision);
        out << value;
        text = out.str();
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double parsed = 0;
        if (in >> parsed && parsed == value) {
            break;
        }
    }
    if (text.find_first_of(".eEn") == std::string::npos) {
        text += ".0";
    }
    return text;
}

const std::vector<std::string>& reference_policy_names() {
    static const std::vector<std::string> names{"Input", "MaxSize", "MaxVariance", "MaxRSS"};
    return names;
}

const char* reference_policy_name(mnncorrect::ReferencePolicy policy) {
    switch (policy) {
    case mnncorrect::Input:
        return "Input";
    case mnncorrect::MaxSize:
        return "MaxSize";
    case mnncorrect::MaxVariance:
        return "MaxVariance";
    case mnncorrect::MaxRSS:
        return "MaxRSS";
    }
    return "unknown";
}

std::optional<mnncorrect::ReferencePolicy> find_reference_policy(const std::string& text) {
    for (const mnncorrect::ReferencePolicy policy :
         {mnncorrect::Input, mnncorrect::MaxSize, mnncorrect::MaxVariance, mnncorrect::MaxRSS}) {
        if (text == reference_policy_name(policy)) {
            return policy;
        }
    }
    return std::nullopt;
}

mnncorrect::ReferencePolicy parse_reference_policy(const std::string& text) {
    if (const std::optional<mnncorrect::ReferencePolicy> policy = find_reference_policy(text)) {
        return *policy;
    }
    throw std::runtime_error(unknown_policy_message(text));
}

EngineOptions engine_options_of(int num_neighbors, double num_mads, int robust_iterations, double robust_trim,
                                bool approximate, bool automatic_order, const std::string& reference_policy) {
    EngineOptions options;
    options.reference_policy = parse_reference_policy(reference_policy);
    options.num_neighbors = num_neighbors;
    options.num_mads = num_mads;
    options.robust_iterations = robust_iterations;
    options.robust_trim = robust_trim;
    options.approximate = approximate;
    options.automatic_order = automatic_order;
    return options;
}

int engine_thread_count(int max_threads) {
    return std::max(1, max_threads / 2);
}

int default_engine_threads() {
    return engine_thread_count(omp_get_max_threads());
}

mnncorrect::Options configure_engine(const EngineOptions& options) {
    mnncorrect::Options configured;
    configured.num_neighbors = options.num_neighbors;
    configured.num_mads = options.num_mads;
    configured.approximate = options.approximate;
    configured.automatic_order = options.automatic_order;
    configured.reference_policy = options.reference_policy;
    configured.robust_iterations = options.robust_iterations;
    configured.robust_trim = options.robust_trim;
    configured.observation_cap = std::numeric_limits<std::size_t>::max();
    configured.num_threads = default_engine_threads();
    return configured;
}

} // namespace pairmend
