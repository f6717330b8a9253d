#ifndef PAIRMEND_FCS_STUDY_TRANSFORMS_HPP
#define PAIRMEND_FCS_STUDY_TRANSFORMS_HPP

// A transform per channel, as a user gives it: a transforms file (a header, then one line
// "channel,transform,parameters" per channel) or, for the Python and R readers, pairs of a channel
// and "transform parameters". Channels are named by $PnN, $PnS or a common name of the channel
// map. The functions keep no state and may be called from any thread.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/channel_map.hpp"
#include "pairmend/model/transform.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::fcs_study {

/** One channel's transform as given. */
struct TransformLine {
    std::string where;   ///< how messages name it: "Line 3 of the transforms file t.csv".
    std::string brief;   ///< the same, short: "line 3".
    std::string channel; ///< the channel's $PnN, $PnS or common name.
    /// The transform; a logicle's T is 0 when it was left out (the channel's $PnR).
    model::ChannelTransform transform;
};

/** The transforms given; empty when none are. */
struct TransformSheet {
    std::string source; ///< the file, or how the caller names the pairs given, for messages.
    std::vector<TransformLine> lines;

    bool empty() const { return lines.empty(); }
};

/**
 * Reads a transforms file: a header line, then lines "channel,transform,parameters" (the last cell
 * may be left out when empty). arcsinh takes the cofactor; logicle T W M A separated by blanks, of
 * which any may be left out from the right (W = 0.5, M = 4.5, A = 0, T = the channel's $PnR);
 * linear none.
 * @throws std::runtime_error naming the file and the line: a line of other cells, a channel named
 *         twice, a transform pairmend-fcs does not know, a parameter that is not a number or is
 *         out of its range, or a file that names no channel.
 */
TransformSheet read_transform_sheet(const std::string& path);

/**
 * The transforms of (channel, "transform parameters") pairs, checked as read_transform_sheet checks
 * a file's lines.
 * @param source how messages name the pairs, e.g. "the transforms given to read_fcs".
 */
TransformSheet transform_pairs(const std::vector<std::pair<std::string, std::string>>& pairs,
                               const std::string& source);

/**
 * The transform given for each chosen channel, or none where the sheet names it not.
 * A line applies to a chosen channel when it names that channel in any file; a logicle's T left
 * out is the channel's $PnR in the first file.
 * @param chosen per file, the positions of the chosen channels (the same markers in every file).
 * @throws std::runtime_error naming the line: a channel that no file has, two lines for one channel,
 *         a line that names several chosen channels of a file, a logicle T left out for a channel
 *         without a positive $PnR.
 */
std::vector<std::optional<model::ChannelTransform>>
given_transforms(const TransformSheet& sheet, const std::vector<fcs::FcsFile>& files,
                 const std::vector<std::vector<std::size_t>>& chosen, const ChannelMap& map = {});

/**
 * Transforms the channels of one file that `sheet` names, in place, as pairmend-fcs transforms them
 * for the correction; the other channels keep their values (the readers of Python and R).
 * @param values the file's values, event after event (file.num_events x channels).
 * @throws std::runtime_error as given_transforms does.
 */
void transform_file_values(const TransformSheet& sheet, const fcs::FcsFile& file,
                           std::vector<double>& values);

/** The cofactor when every transform is arcsinh with one cofactor, or none. */
std::optional<double> uniform_cofactor(const std::vector<model::ChannelTransform>& transforms);

/** The prepared transforms. */
std::vector<model::Transform> prepared(const std::vector<model::ChannelTransform>& transforms);

/** The transforms as the PAIRMEND_TRANSFORMS keyword writes them: "arcsinh 150; logicle 262144 0.5 4.5 0". */
std::string transforms_text(const std::vector<model::ChannelTransform>& transforms);

} // namespace pairmend::fcs_study

#endif
