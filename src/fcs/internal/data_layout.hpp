#ifndef PAIRMEND_FCS_INTERNAL_DATA_LAYOUT_HPP
#define PAIRMEND_FCS_INTERNAL_DATA_LAYOUT_HPP

// The layout of the DATA segment as the TEXT declares it ($MODE, $DATATYPE, $BYTEORD, $PAR,
// $PnB, $PnR, $PnE, $TOT, $BEGINDATA, $ENDDATA), checked against the file, and the values read
// from it.
// Not part of the public interface.

#include "pairmend/fcs/fcs_file.hpp"

#include "internal/byte_source.hpp"
#include "internal/data_decoding.hpp"
#include "internal/header.hpp"
#include "internal/text_segments.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pairmend::fcs::detail {

/// How the events are stored: the channels as the TEXT describes them and how each is decoded.
struct DataLayout {
    char data_type = 'F';          ///< $DATATYPE: 'I', 'F' or 'D'
    std::vector<Channel> channels; ///< $PnN, $PnS, $PnR, $PnB, $PnE and the channels' other keywords
    std::vector<Column> columns;   ///< one per channel
    std::size_t event_bytes = 0;   ///< bytes of one event, never 0
};

/**
 * Reads $MODE, $DATATYPE, $BYTEORD, $PAR and every channel's keywords.
 * @throws std::runtime_error naming the file when one is missing or wrong, or describes a layout
 *         this reader does not read (histograms, ASCII values, bit-packed or too wide integers).
 */
DataLayout read_layout(const TextKeywords& text, const std::string& name);

/**
 * Where the DATA segment lies: the HEADER's offsets, or from FCS 3.0 on $BEGINDATA and $ENDDATA
 * when the HEADER gives 0.
 * @throws std::runtime_error naming the file when they are not numbers or the two disagree.
 */
Segment data_segment_of(const Header& header, const TextKeywords& text, const std::string& name);

/**
 * The number of events: $TOT, checked against the DATA segment, which must lie inside the file
 * and hold $TOT events (up to one event more is tolerated); without $TOT, the events the DATA
 * segment holds, which must be whole.
 * @throws std::runtime_error naming the file when the segment, the count and the widths disagree.
 */
std::size_t count_events(const Segment& data, const Header& header, const TextKeywords& text,
                         const DataLayout& layout, std::uint64_t file_size, const std::string& name);

/**
 * Reads and decodes events first .. first + count - 1 from the DATA segment that begins at
 * `data_begin`, in blocks, into `out`: count * channels values, event after event.
 */
void read_values(ByteSource& source, std::uint64_t data_begin, std::size_t first, std::size_t count,
                 const DataLayout& layout, double* out);

} // namespace pairmend::fcs::detail

#endif
