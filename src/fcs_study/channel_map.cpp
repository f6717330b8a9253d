#include "pairmend/fcs_study/channel_map.hpp"

#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/sheet_file.hpp"

#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

ChannelMap ChannelMap::read(const std::string& path) {
    const SheetFile sheet = read_sheet_file(path, "channel-name sheet");
    ChannelMap map;
    for (const SheetLine& line : sheet.lines) {
        require_two_cells(sheet, line, "channel-name sheet",
                          "a common name and a channel ($PnN or $PnS) separated by one comma (name,channel)");
        for (const Entry& earlier : map.entries_) {
            if (earlier.channel == line.cells[1] && earlier.name != line.cells[0]) {
                std::ostringstream message;
                message << "Lines " << earlier.line << " and " << line.number << " of the channel-name sheet "
                        << path << " give the channel \"" << line.cells[1] << "\" two names, \""
                        << earlier.name << "\" and \"" << line.cells[0] << "\". Give each channel one name.";
                throw std::runtime_error(message.str());
            }
        }
        map.entries_.push_back({line.cells[0], line.cells[1], line.number});
    }
    if (map.entries_.empty()) {
        throw std::runtime_error("The channel-name sheet " + path +
                                 " names no channels: it must hold a header line, then one line "
                                 "\"name,channel\" per channel to rename.");
    }
    return map;
}

std::string ChannelMap::common_name(const fcs::Channel& channel) const {
    // The $PnN decides first, as it does when a channel is found by name.
    for (const Entry& entry : entries_) {
        if (entry.channel == channel.name) {
            return entry.name;
        }
    }
    for (const Entry& entry : entries_) {
        if (!channel.label.empty() && entry.channel == channel.label) {
            return entry.name;
        }
    }
    return channel.name;
}

std::string ChannelMap::canonical(const std::string& name) const {
    for (const Entry& entry : entries_) {
        if (entry.channel == name) {
            return entry.name;
        }
    }
    return name;
}

std::size_t find_mapped_channel(const fcs::FcsFile& file, const ChannelMap& map, const std::string& name) {
    if (map.empty()) {
        return find_channel(file, name);
    }
    const std::string wanted = map.canonical(name);
    std::vector<std::size_t> named;
    for (std::size_t i = 0; i < file.channels.size(); ++i) {
        if (map.common_name(file.channels[i]) == wanted) {
            named.push_back(i);
        }
    }
    if (named.size() == 1) {
        return named.front();
    }
    if (named.empty()) {
        return find_channel(file, name);
    }
    std::ostringstream text;
    text << file.path << " has " << named.size() << " channels that the channel-name sheet calls \"" << wanted
         << "\" (";
    for (std::size_t k = 0; k < named.size(); ++k) {
        text << (k > 0 ? ", " : "") << file.channels[named[k]].name;
    }
    text << "). Give each of them its own name in the sheet.";
    throw std::runtime_error(text.str());
}

} // namespace pairmend::fcs_study
