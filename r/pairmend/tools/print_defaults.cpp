// Prints the default of every engine setting as an R literal, one "key<TAB>literal" line per
// setting in the order of engine_settings(), the line "engine_settings<TAB>key = literal, ..." of
// them all, then the default of a model's reference_events.
// scripts/r-package builds it against pairmend_common and the model library's headers and writes
// these literals into the signatures of correct() and fit(), so that their defaults come from
// EngineOptions and the model library's Settings, the places that define them.

#include "pairmend/engine_options.hpp"
#include "pairmend/model/Model.hpp"

#include <climits>
#include <cstdint>
#include <iostream>
#include <string>

namespace {

std::string r_literal(const pairmend::SettingInfo& setting) {
    switch (setting.kind) {
    case pairmend::SettingKind::whole_number:
        return setting.default_text + "L";
    case pairmend::SettingKind::number:
        return setting.default_text;
    case pairmend::SettingKind::flag:
        return setting.default_text == "true" ? "TRUE" : "FALSE";
    case pairmend::SettingKind::policy:
        return "\"" + setting.default_text + "\"";
    }
    return "";
}

// A count as an R literal: an integer where R's integers hold it.
std::string count_literal(std::uint64_t count) {
    return std::to_string(count) + (count <= static_cast<std::uint64_t>(INT_MAX) ? "L" : "");
}

} // namespace

int main() {
    std::string all_settings;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        std::cout << setting.key << '\t' << r_literal(setting) << '\n';
        all_settings +=
            (all_settings.empty() ? "" : ", ") + std::string(setting.key) + " = " + r_literal(setting);
    }
    // Every setting as the arguments of a signature, for "@engine_settings@".
    std::cout << "engine_settings" << '\t' << all_settings << '\n';
    std::cout << "reference_events" << '\t' << count_literal(pairmend::model::Settings{}.reference_events)
              << '\n';
    return std::cout ? 0 : 1;
}
