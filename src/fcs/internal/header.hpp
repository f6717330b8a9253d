#ifndef PAIRMEND_FCS_INTERNAL_HEADER_HPP
#define PAIRMEND_FCS_INTERNAL_HEADER_HPP

// The HEADER of an FCS file and the segments it and the TEXT locate.
// Not part of the public interface.

#include "internal/byte_source.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    Segment data; ///< 0, 0 when the TEXT gives the offsets
    /// 0, 0 when there is none or the TEXT gives the offsets; none when the HEADER's ANALYSIS
    /// offsets are not numbers (the segment, which is optional, is then set aside).
    std::optional<Segment> analysis;
    std::string analysis_text; ///< the HEADER's 16 bytes of ANALYSIS offsets, as written

    bool version2() const { return version == "FCS2.0"; }
};

/**
 * Reads the HEADER: a version this reader reads and the offsets, numbers (blanks read as 0).
 * @throws std::runtime_error naming the file when it is not an FCS file, is written in another
 *         version, ends inside the HEADER, or a TEXT or DATA offset is not a number.
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

/// A segment already taken by the file's required parts, against which an optional one is checked.
struct TakenSegment {
    const char* what; ///< "TEXT", "DATA"
    Segment segment;
};

/**
 * Why an optional segment (supplemental TEXT, ANALYSIS) cannot be used, as the end of a sentence
 * "... was set aside because <reason>": it begins inside the HEADER, ends before it begins, runs
 * past the end of the file, or shares bytes with one of `taken`. Empty when it can be used; an
 * empty segment (0, 0, or "begin, begin - 1") always can.
 */
std::string segment_problem(const Segment& segment, std::uint64_t file_size,
                            const std::vector<TakenSegment>& taken);

/** "byte offsets <begin> to <end>", as messages give a segment. */
std::string offsets_text(const Segment& segment);

} // namespace pairmend::fcs::detail

#endif
