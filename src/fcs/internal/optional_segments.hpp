#ifndef PAIRMEND_FCS_INTERNAL_OPTIONAL_SEGMENTS_HPP
#define PAIRMEND_FCS_INTERNAL_OPTIONAL_SEGMENTS_HPP

// The optional segments, the supplemental TEXT and the ANALYSIS segment: used when they can be,
// set aside with a note when they cannot, so that a file whose primary TEXT and DATA are sound is
// still read.
// Not part of the public interface.

#include "internal/byte_source.hpp"
#include "internal/header.hpp"
#include "internal/text_segments.hpp"

#include <cstdint>

namespace pairmend::fcs::detail {

/**
 * From FCS 3.0 on, adds the keywords of the supplemental TEXT that $BEGINSTEXT and $ENDSTEXT of
 * the primary TEXT locate. It is set aside with a note in `text` when its offsets are not
 * numbers, lie outside the file or overlap the HEADER, the primary TEXT or the DATA segment (as
 * the HEADER or the primary TEXT locate it), or when it is not keywords and values of printable
 * text. One that declares the primary TEXT's own offsets is skipped silently.
 */
void read_supplemental_text(ByteSource& source, const Header& header, TextKeywords& text);

/**
 * Checks the ANALYSIS segment, which is not read: the HEADER's offsets, or from FCS 3.0 on
 * $BEGINANALYSIS and $ENDANALYSIS when the HEADER gives 0. Offsets that are not numbers, lie
 * outside the file or overlap the HEADER, a TEXT segment or `data` set it aside with a note in
 * `text`; a usable one is passed over silently.
 */
void check_analysis_segment(const Header& header, const Segment& data, std::uint64_t file_size,
                            TextKeywords& text);

} // namespace pairmend::fcs::detail

#endif
