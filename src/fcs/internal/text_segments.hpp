#ifndef PAIRMEND_FCS_INTERNAL_TEXT_SEGMENTS_HPP
#define PAIRMEND_FCS_INTERNAL_TEXT_SEGMENTS_HPP

// The TEXT segments: keyword/value pairs of the primary TEXT and of the supplemental TEXT, and
// finding a keyword among them.
// Not part of the public interface.

#include "internal/byte_source.hpp"
#include "internal/header.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pairmend::fcs::detail {

using Keywords = std::vector<std::pair<std::string, std::string>>;

/**
 * The keywords of a data set in file order, the primary TEXT's before the supplemental TEXT's,
 * names as written. A name is found without regard to case, and its first occurrence is the one
 * found, so the primary TEXT's value wins over the supplemental's.
 */
class TextKeywords {
public:
    /** Every keyword, in file order. */
    const Keywords& all() const { return keywords_; }

    /** Hands the keywords over (for FcsFile::keywords); the object is empty afterwards. */
    Keywords release();

    /** The value of the keyword whose key form (see key_of) is `key`, or null when absent. */
    const std::string* find(const std::string& key) const;

    /**
     * A keyword whose value must be a whole number, blanks read as 0; `fallback` when absent.
     * @param present set to whether the keyword is there, when not null.
     * @throws std::runtime_error naming the file and the keyword when the value is not a number.
     */
    std::uint64_t unsigned_value(const std::string& key, std::uint64_t fallback, const std::string& name,
                                 bool* present = nullptr) const;

    /** Appends the keywords of one more segment. */
    void add(Keywords keywords);

private:
    Keywords keywords_;
    std::unordered_map<std::string, std::size_t> index_; ///< key form -> first occurrence
};

/**
 * Reads the keyword/value pairs of one TEXT segment into `out`. Its first byte is the delimiter;
 * a doubled delimiter inside a keyword or value is a literal delimiter. Blanks or NULs after the
 * last delimiter are padding; a last value whose closing delimiter is missing is accepted.
 * @param segment_offset the segment's byte offset in the file, for messages.
 * @param which the segment's name in messages ("TEXT", "supplemental TEXT").
 * @return empty when the whole segment was read, else the rest of a refusal sentence ("is not a
 *         valid FCS file: its TEXT segment ends with the keyword ... without a value."); `out`
 *         then holds the pairs read before the fault.
 */
std::string parse_text(std::string_view segment, std::uint64_t segment_offset, const char* which,
                       Keywords& out);

/**
 * Reads the primary TEXT the HEADER locates and, from FCS 3.0 on, the supplemental TEXT that
 * $BEGINSTEXT and $ENDSTEXT locate.
 * @throws std::runtime_error naming the file when a segment lies outside the file or its
 *         keywords cannot be read.
 */
TextKeywords read_text_segments(ByteSource& source, const Header& header, const std::string& name);

/**
 * Checks the ANALYSIS segment, which is not read: the HEADER's offsets, or from FCS 3.0 on
 * $BEGINANALYSIS and $ENDANALYSIS when the HEADER gives 0, must lie inside the file.
 * @throws std::runtime_error naming the file when they are not numbers or lie outside it.
 */
void check_analysis_segment(const Header& header, const TextKeywords& text, std::uint64_t file_size,
                            const std::string& name);

} // namespace pairmend::fcs::detail

#endif
