#include "internal/html_text.hpp"

#include <cmath>
#include <locale>
#include <sstream>

namespace pairmend::report {

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default: {
            const auto byte = static_cast<unsigned char>(c);
            const bool control = (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7f;
            if (control) {
                out += "\xEF\xBF\xBD";
            } else {
                out += c;
            }
        }
        }
    }
    return out;
}

std::string format_number(double value, int significant) {
    if (std::isnan(value)) {
        return "n/a";
    }
    if (std::isinf(value)) {
        return value > 0 ? "\xE2\x88\x9E" : "-\xE2\x88\x9E";
    }
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(significant < 1 ? 1 : significant);
    out << value;
    return out.str();
}

std::string format_fixed(double value, int decimals) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed);
    out.precision(decimals < 0 ? 0 : decimals);
    out << (std::isfinite(value) ? value : 0.0);
    return out.str();
}

} // namespace pairmend::report
