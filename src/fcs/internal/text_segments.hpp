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
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pairmend::fcs::detail {

using Keywords = std::vector<std::pair<std::string, std::string>>;

/**
 * The keywords of a data set in file order, the primary TEXT's before the supplemental TEXT's,
 * names as written. A name is found without regard to case, and its first occurrence is the one
 * found, so the primary TEXT's value wins over the supplemental's. Also records what was set
 * aside while the TEXT was read and where the two TEXT segments disagree.
 */
class TextKeywords {
public:
    /** Every keyword, in file order. */
    const Keywords& all() const { return keywords_; }

    /** Hands the keywords over (for FcsFile::keywords); the object holds none afterwards. */
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

    /**
     * The rest of a refusal for a keyword that the DATA needs and the TEXT lacks: `rest` as it
     * is, or, when the supplemental TEXT (the only other place for it) was set aside, with that
     * and the reason added before the final period.
     */
    std::string missing(std::string rest) const;

    /** One sentence for each optional segment that was set aside, in the order they were met. */
    const std::vector<std::string>& set_aside_notes() const { return set_aside_notes_; }

    /** Keywords both TEXT segments hold with different values, names as the primary TEXT writes them. */
    const std::vector<std::string>& disagreeing_keywords() const { return disagreeing_; }

    /** The supplemental TEXT whose keywords were added; 0, 0 when none was. */
    const Segment& supplemental() const { return supplemental_; }

    /** Appends the keywords of the primary TEXT. */
    void add_primary(Keywords keywords);

    /**
     * Appends the keywords of the supplemental TEXT at `segment`, noting every keyword that the
     * primary TEXT holds with another value (blanks around values aside).
     */
    void add_supplemental(Keywords keywords, const Segment& segment);

    /**
     * Records that an optional segment was set aside: `sentence` is the complete note. `reason`
     * is set for the supplemental TEXT only, for the refusals of missing keywords.
     */
    void note_set_aside(std::string sentence, std::string supplemental_reason = {});

private:
    Keywords keywords_;
    std::unordered_map<std::string, std::size_t> index_; ///< key form -> first occurrence
    Segment supplemental_;
    std::string supplemental_reason_; ///< why the supplemental TEXT was set aside; empty when it was not
    std::vector<std::string> set_aside_notes_;
    std::vector<std::string> disagreeing_;
};

/**
 * Reads the keyword/value pairs of one TEXT segment into `out`. Its first byte is the delimiter;
 * a doubled delimiter inside a keyword or value is a literal delimiter. Blanks or NULs after the
 * last delimiter are padding; a last value whose closing delimiter is missing is accepted.
 * @param segment_offset the segment's byte offset in the file, for messages.
 * @return empty when the whole segment was read, else what is wrong as the end of a sentence
 *         about the segment ("ends with the keyword \"$CYT\" without a value"); `out` then holds
 *         the pairs read before the fault.
 */
std::string parse_text(std::string_view segment, std::uint64_t segment_offset, Keywords& out);

/**
 * Why a TEXT segment is not text: the first byte, outside the padding after its last delimiter,
 * that is a control character other than a tab, a line break or the delimiter, as the end of a
 * sentence about the segment ("holds binary data, not text (the control byte 0x00 at byte offset
 * 5012)"). Empty when there is none. Bytes from 128 up are text (UTF-8 or Latin-1).
 */
std::string binary_content(std::string_view segment, std::uint64_t segment_offset);

/**
 * Reads the primary TEXT the HEADER locates.
 * @throws std::runtime_error naming the file when it lies outside the file or its keywords cannot
 *         be read.
 */
TextKeywords read_primary_text(ByteSource& source, const Header& header, const std::string& name);

} // namespace pairmend::fcs::detail

#endif
