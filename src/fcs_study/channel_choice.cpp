#include "pairmend/fcs_study/channel_choice.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace pairmend::fcs_study {

namespace {

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::size_t count_if_class(std::string_view text, std::size_t from, int (*is_class)(int)) {
    std::size_t end = from;
    while (end < text.size() && is_class(static_cast<unsigned char>(text[end])) != 0) {
        ++end;
    }
    return end - from;
}

// A metal isotope channel as mass cytometers name them: element then mass and "Di" ("Nd142Di",
// "In115Di"), or mass then element ("142Nd", "142Nd_CD19", "(Nd142)Dd").
bool is_isotope_name(std::string_view name) {
    std::size_t at = name.size() > 0 && name[0] == '(' ? 1 : 0;
    const std::size_t letters = count_if_class(name, at, std::isalpha);
    if (letters >= 1 && letters <= 2 && std::isupper(static_cast<unsigned char>(name[at])) != 0) {
        const std::size_t digits = count_if_class(name, at + letters, std::isdigit);
        if (digits >= 2 && digits <= 3) {
            const std::string_view rest = name.substr(at + letters + digits);
            return rest == "Di" || rest == "Dd" || rest == ")Di" || rest == ")Dd";
        }
        return false;
    }
    const std::size_t digits = count_if_class(name, at, std::isdigit);
    if (digits >= 2 && digits <= 3) {
        at += digits;
        const std::size_t element = count_if_class(name, at, std::isalpha);
        return element >= 1 && element <= 2 && std::isupper(static_cast<unsigned char>(name[at])) != 0 &&
               (at + element == name.size() || !std::isalpha(static_cast<unsigned char>(name[at + element])));
    }
    return false;
}

// "BC1", "bc12": a barcode channel's usual label.
bool is_barcode_label(std::string_view label) {
    return label.size() > 2 && starts_with(label, "bc") &&
           count_if_class(label, 2, std::isdigit) == label.size() - 2;
}

// "time", "time (10.24 sec.)", but not "timestamp_marker" style words that merely begin so.
bool is_time(std::string_view text) {
    return starts_with(text, "time") &&
           (text.size() == 4 || std::isalpha(static_cast<unsigned char>(text[4])) == 0);
}

} // namespace

bool is_mass_cytometry(const pairmend::fcs::FcsFile& file) {
    static constexpr std::string_view makers[] = {
        "cytof", "helios", "hyperion", "fluidigm", "dvs", "standard biotools", "standardbiotools"};
    for (const char* keyword : {"$CYT", "$SYS", "CREATOR"}) {
        const std::optional<std::string> value = file.keyword(keyword);
        if (!value) {
            continue;
        }
        const std::string text = lower(*value);
        for (const std::string_view maker : makers) {
            if (contains(text, maker)) {
                return true;
            }
        }
    }
    // Files re-written by analysis programs often lose $CYT but keep the channel names.
    const std::size_t isotopes = static_cast<std::size_t>(
        std::count_if(file.channels.begin(), file.channels.end(),
                      [](const pairmend::fcs::Channel& c) { return is_isotope_name(c.name); }));
    return !file.channels.empty() && 2 * isotopes > file.channels.size();
}

std::string default_exclusion_reason(const pairmend::fcs::Channel& channel, bool massCytometry) {
    const std::string name = lower(channel.name);
    const std::string label = lower(channel.label);
    if (is_time(name) || is_time(label)) {
        return "time";
    }
    if (contains(name, "event") || contains(label, "event") || name == "cell_length") {
        return "event counter or length";
    }
    if (name.size() > 4 && name.compare(name.size() - 4, 4, "_mnn") == 0) {
        return "corrected before";
    }
    if (starts_with(name, "hdr-")) {
        return "instrument bookkeeping";
    }
    if (name == "center" || name == "offset" || name == "width" || name == "residual") {
        return "pulse shape";
    }
    if (starts_with(name, "fsc") || starts_with(name, "ssc")) {
        return "scatter";
    }
    if (!massCytometry) {
        return {};
    }
    if (label.empty() || label == name) {
        return contains(name, "bead") ? "beads" : "no marker label";
    }
    if (is_barcode_label(label) || contains(label, "barcode")) {
        return "barcode";
    }
    if (starts_with(label, "dna")) {
        return "DNA";
    }
    if (contains(label, "bead") || contains(name, "bead")) {
        return "beads";
    }
    if (contains(label, "cisplatin") || contains(label, "viability") || contains(label, "live") ||
        contains(label, "dead")) {
        return "viability";
    }
    return {};
}

std::vector<std::size_t> default_channels(const pairmend::fcs::FcsFile& file) {
    const bool mass = is_mass_cytometry(file);
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < file.channels.size(); ++i) {
        if (default_exclusion_reason(file.channels[i], mass).empty()) {
            chosen.push_back(i);
        }
    }
    return chosen;
}

std::size_t find_channel(const pairmend::fcs::FcsFile& file, const std::string& name) {
    for (std::size_t i = 0; i < file.channels.size(); ++i) {
        if (file.channels[i].name == name) {
            return i;
        }
    }
    std::vector<std::size_t> labelled;
    for (std::size_t i = 0; i < file.channels.size(); ++i) {
        if (file.channels[i].label == name) {
            labelled.push_back(i);
        }
    }
    if (labelled.size() == 1) {
        return labelled.front();
    }
    std::ostringstream text;
    if (labelled.empty()) {
        text << file.path << " has no channel named \"" << name
             << "\" (neither as $PnN nor as $PnS). Check the spelling, or run pairmend-fcs info " << file.path
             << " to see its channels.";
    } else {
        text << file.path << " has " << labelled.size() << " channels labelled \"" << name << "\" (";
        for (std::size_t k = 0; k < labelled.size(); ++k) {
            text << (k > 0 ? ", " : "") << file.channels[labelled[k]].name;
        }
        text << "). Name the channel by its $PnN instead.";
    }
    throw std::runtime_error(text.str());
}

std::string channel_display_name(const pairmend::fcs::Channel& channel) {
    if (channel.label.empty() || channel.label == channel.name) {
        return channel.name;
    }
    return channel.label + " (" + channel.name + ")";
}

} // namespace pairmend::fcs_study
