#ifndef PAIRMEND_FCS_STUDY_LISTING_HPP
#define PAIRMEND_FCS_STUDY_LISTING_HPP

// Small text helpers for the lists that pairmend-fcs prints and records: file base names, joined
// items and items wrapped into lines.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** The file name of `path` without its folders. */
inline std::string base_name(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

/** The items with `separator` between them. */
inline std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i > 0 ? separator : "") + items[i];
    }
    return text;
}

/** Comma-separated items on lines of at most `width` characters, for lists under a progress line. */
inline std::vector<std::string> wrapped(const std::vector<std::string>& items, std::size_t width) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
        if (!line.empty() && line.size() + 1 + item.size() > width) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + item;
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace pairmend::fcs_study

#endif
