#include "internal/refusal.hpp"

#include <stdexcept>

namespace pairmend::fcs::detail {

void refuse(const std::string& name, const std::string& rest) {
    throw std::runtime_error("The file " + name + " " + rest);
}

std::string shown(std::string_view text) {
    std::string result = "\"";
    for (const char c : text.substr(0, 60)) {
        result.push_back((c >= 32 && c <= 126) ? c : '?');
    }
    if (text.size() > 60) {
        result += "...";
    }
    return result + "\"";
}

} // namespace pairmend::fcs::detail
