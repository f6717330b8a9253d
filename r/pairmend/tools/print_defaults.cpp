// Prints the default of every engine setting as an R literal, one "key<TAB>literal" line per
// setting in the order of engine_settings(). scripts/r-package builds it against pairmend_common
// and writes these literals into the signature of correct(), so that its defaults come from
// EngineOptions, the one place that defines them.

#include "pairmend/engine_options.hpp"

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

} // namespace

int main() {
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        std::cout << setting.key << '\t' << r_literal(setting) << '\n';
    }
    return std::cout ? 0 : 1;
}
