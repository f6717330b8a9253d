#include "settings_list.hpp"

#include <string>
#include <variant>

namespace pairmend_r {

pairmend::EngineOptions engine_options_of(const Rcpp::List& settings) {
    return pairmend::engine_options_of([&](const pairmend::SettingInfo& setting) -> pairmend::SettingValue {
        const SEXP value = settings[setting.key];
        switch (setting.kind) {
        case pairmend::SettingKind::whole_number:
            return Rcpp::as<int>(value);
        case pairmend::SettingKind::number:
            return Rcpp::as<double>(value);
        case pairmend::SettingKind::flag:
            return Rcpp::as<bool>(value);
        case pairmend::SettingKind::policy:
            break;
        }
        return Rcpp::as<std::string>(value);
    });
}

Rcpp::List settings_list(const pairmend::EngineOptions& options) {
    Rcpp::List values;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        values.push_back(std::visit([](const auto& value) { return Rcpp::wrap(value); },
                                    pairmend::setting_value(setting, options)),
                         setting.key);
    }
    return values;
}

} // namespace pairmend_r
