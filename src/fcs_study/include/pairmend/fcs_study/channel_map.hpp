#ifndef PAIRMEND_FCS_STUDY_CHANNEL_MAP_HPP
#define PAIRMEND_FCS_STUDY_CHANNEL_MAP_HPP

// One common name for a marker whose channel is named differently in different files (a new dye,
// a renamed $PnN, another instrument): a sheet of "name,channel" lines, each channel by its $PnN
// or $PnS. Plain data; safe to share between threads for reading.

#include "pairmend/fcs/fcs_file.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** The common names of channels; empty when no sheet is given. */
class ChannelMap {
public:
    /** One line of the sheet. */
    struct Entry {
        std::string name;    ///< the common name.
        std::string channel; ///< a channel's $PnN or $PnS.
        int line = 0;        ///< the sheet's line, from 1.
    };

    ChannelMap() = default;

    /**
     * Reads a sheet: a header line, then "name,channel" lines.
     * @throws std::runtime_error naming the sheet and the line when it cannot be read, names no
     *         channel, has a line that is not two non-empty cells, or gives one channel two names.
     */
    static ChannelMap read(const std::string& path);

    /** The channel's common name: the sheet's name for its $PnN (or else its $PnS), or its $PnN. */
    std::string common_name(const fcs::Channel& channel) const;

    /** The common name that `name` stands for: the sheet's name when `name` is one of its
     *  channels, or `name` itself. */
    std::string canonical(const std::string& name) const;

    bool empty() const { return entries_.empty(); }

private:
    std::vector<Entry> entries_;
};

/**
 * The position (from 0) of the channel that `name` names in the file: the one channel whose common
 * name is `name` (or the name `name` stands for in the map), else as find_channel finds it.
 * @throws std::runtime_error naming the file and the channel when none or several match.
 */
std::size_t find_mapped_channel(const fcs::FcsFile& file, const ChannelMap& map, const std::string& name);

} // namespace pairmend::fcs_study

#endif
