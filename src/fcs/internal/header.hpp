#ifndef PAIRMEND_FCS_INTERNAL_HEADER_HPP
#define PAIRMEND_FCS_INTERNAL_HEADER_HPP

// The HEADER of an FCS file and the segments it and the TEXT locate.
// Not part of the public interface.

#include "internal/byte_source.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pairmend::fcs::detail {

/// Bytes of the HEADER: the version (6), 4 blanks, then six offsets of 8 characters each.
constexpr std::size_t header_size = 58;

/// A segment as the file declares it: the byte offsets of its first and last byte, counted from
/// the start of the file. 0, 0 means none.
struct Segment {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    bool empty() const { return begin == 0 && end == 0; }
};

/// What the HEADER says.
struct Header {
    std::string version; ///< "FCS2.0", "FCS3.0" or "FCS3.1"
    Segment text;
    Segment data;     ///< 0, 0 when the TEXT gives the offsets
    Segment analysis; ///< 0, 0 when there is none or the TEXT gives the offsets

    bool version2() const { return version == "FCS2.0"; }
};

/**
 * Reads the HEADER: a version this reader reads and six offsets that are numbers (blanks read as 0).
 * @throws std::runtime_error naming the file when it is not an FCS file, is written in another
 *         version, ends inside the HEADER, or an offset is not a number.
 */
Header read_header(ByteSource& source, const std::string& name);

/**
 * Checks that a declared segment lies inside the file, after the HEADER, and does not end before
 * it begins; `what` names it in messages ("DATA"). An empty segment (0, 0, or "begin, begin - 1")
 * passes.
 * @return its length in bytes, 0 for an empty segment.
 * @throws std::runtime_error naming the file and the segment otherwise.
 */
std::uint64_t check_segment(const Segment& segment, std::uint64_t file_size, const char* what,
                            const std::string& name);

} // namespace pairmend::fcs::detail

#endif
