#ifndef PAIRMEND_FCS_STUDY_NUMBER_TEXT_HPP
#define PAIRMEND_FCS_STUDY_NUMBER_TEXT_HPP

// Numbers as text that reads back exactly.

#include <charconv>
#include <string>

namespace pairmend::fcs_study {

/**
 * The shortest decimal text that reads back as the same double ("0.5", "5", "1e+30", "-0", "inf",
 * "nan"), independent of the locale.
 */
inline std::string shortest_text(double value) {
    char buffer[32];
    const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

} // namespace pairmend::fcs_study

#endif
