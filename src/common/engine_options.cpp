#include "pairmend/engine_options.hpp"

#include "pairmend/messages.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <type_traits>

namespace pairmend {

namespace {

constexpr double int_max = std::numeric_limits<int>::max();
constexpr double double_max = std::numeric_limits<double>::max();

// A field of EngineOptions as the number SettingInfo::get gives and SettingInfo::set takes.
template <auto field>
double get_field(const EngineOptions& options) {
    return static_cast<double>(options.*field);
}

template <auto field>
void set_field(EngineOptions& options, double value) {
    using Field = std::decay_t<decltype(options.*field)>;
    if constexpr (std::is_same_v<Field, bool>) {
        options.*field = value != 0;
    } else if constexpr (std::is_enum_v<Field>) {
        options.*field = static_cast<Field>(static_cast<int>(value));
    } else {
        options.*field = static_cast<Field>(value);
    }
}

// One row of the table: the field, then what front ends show of it.
template <auto field>
SettingInfo row(const char* key, const char* option, const char* metavar, SettingKind kind, double minimum,
                double maximum, const char* range, const char* description, const char* choices = "") {
    return {key,
            option,
            metavar,
            kind,
            minimum,
            maximum,
            range,
            description,
            choices,
            &get_field<field>,
            &set_field<field>,
            0,
            ""};
}

std::vector<SettingInfo> describe_settings() {
    std::vector<SettingInfo> settings{
        row<&EngineOptions::num_neighbors>("num_neighbors", "--neighbors", "K", SettingKind::whole_number, 1,
                                           int_max, "a whole number from 1 to 2147483647",
                                           "neighbours per search"),
        row<&EngineOptions::num_mads>("num_mads", "--mads", "M", SettingKind::number, 0, double_max,
                                      "a number of at least 0", "median absolute deviations allowed"),
        row<&EngineOptions::robust_iterations>(
            "robust_iterations", "--robust-iterations", "N", SettingKind::whole_number, 0, int_max,
            "a whole number from 0 to 2147483647", "iterations of the robust average"),
        row<&EngineOptions::robust_trim>("robust_trim", "--robust-trim", "T", SettingKind::number, 0, 1,
                                         "a number from 0 to 1",
                                         "trimmed share of the robust average, 0 to 1"),
        row<&EngineOptions::approximate>("approximate", "--approximate", "", SettingKind::flag, 0, 1,
                                         "true or false", "approximate neighbour search (faster, not exact)"),
        row<&EngineOptions::automatic_order>("automatic_order", "--order", "automatic|input",
                                             SettingKind::flag, 0, 1, "true or false", "merge order",
                                             "automatic|batch number order"),
        row<&EngineOptions::reference_policy>(
            "reference_policy", "--reference-policy", "P", SettingKind::policy, 0, 3,
            "one of Input, MaxSize, MaxVariance and MaxRSS", "first reference"),
    };
    const EngineOptions defaults;
    for (SettingInfo& info : settings) {
        info.default_value = info.get(defaults);
        info.default_text = value_text(info, defaults);
    }
    return settings;
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

const char* setting_kind_name(SettingKind kind) {
    switch (kind) {
    case SettingKind::whole_number:
        return "whole_number";
    case SettingKind::number:
        return "number";
    case SettingKind::flag:
        return "flag";
    case SettingKind::policy:
        return "policy";
    }
    return "unknown";
}

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
    std::vector<std::pair<std::string, std::string>> texts;
    for (const SettingInfo& setting : engine_settings()) {
        texts.emplace_back(setting.key, value_text(setting, options));
    }
    return texts;
}

std::string value_text(const SettingInfo& setting, const EngineOptions& options) {
    const double value = setting.get(options);
    switch (setting.kind) {
    case SettingKind::whole_number:
        return setting_text(static_cast<int>(value));
    case SettingKind::number:
        return setting_text(value);
    case SettingKind::flag:
        return setting_text(value != 0);
    case SettingKind::policy:
        return reference_policy_name(static_cast<mnncorrect::ReferencePolicy>(static_cast<int>(value)));
    }
    return "";
}

SettingValue setting_value(const SettingInfo& setting, const EngineOptions& options) {
    const double value = setting.get(options);
    switch (setting.kind) {
    case SettingKind::whole_number:
        return static_cast<int>(value);
    case SettingKind::number:
        return value;
    case SettingKind::flag:
        return value != 0;
    case SettingKind::policy:
        return std::string(value_text(setting, options));
    }
    return value;
}

void set_setting(const SettingInfo& setting, EngineOptions& options, const SettingValue& value) {
    switch (setting.kind) {
    case SettingKind::whole_number:
        setting.set(options, std::get<int>(value));
        return;
    case SettingKind::number:
        setting.set(options, std::get<double>(value));
        return;
    case SettingKind::flag:
        setting.set(options, std::get<bool>(value) ? 1 : 0);
        return;
    case SettingKind::policy:
        setting.set(options, parse_reference_policy(std::get<std::string>(value)));
        return;
    }
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
    // In the order of the enumeration's values, 0 to 3, so that a policy's value is its position.
    static const std::vector<std::string> names{"Input", "MaxSize", "MaxVariance", "MaxRSS"};
    return names;
}

const char* reference_policy_name(mnncorrect::ReferencePolicy policy) {
    const std::vector<std::string>& names = reference_policy_names();
    const auto position = static_cast<std::size_t>(policy);
    return position < names.size() ? names[position].c_str() : "unknown";
}

std::optional<mnncorrect::ReferencePolicy> find_reference_policy(const std::string& text) {
    const std::vector<std::string>& names = reference_policy_names();
    const auto found = std::find(names.begin(), names.end(), text);
    if (found == names.end()) {
        return std::nullopt;
    }
    return static_cast<mnncorrect::ReferencePolicy>(found - names.begin());
}

mnncorrect::ReferencePolicy parse_reference_policy(const std::string& text) {
    if (const std::optional<mnncorrect::ReferencePolicy> policy = find_reference_policy(text)) {
        return *policy;
    }
    throw std::runtime_error(unknown_policy_message(text));
}

EngineOptions engine_options_of(const std::function<SettingValue(const SettingInfo&)>& value_of) {
    EngineOptions options;
    for (const SettingInfo& setting : engine_settings()) {
        set_setting(setting, options, value_of(setting));
    }
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
    static_cast<mnncorrect::Settings&>(configured) = options;
    configured.num_threads = default_engine_threads();
    return configured;
}

} // namespace pairmend
