#include "internal/optional_segments.hpp"

#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace pairmend::fcs::detail {

namespace {

/// The note of a set-aside segment; `segment` is null when its offsets are not numbers.
std::string set_aside_sentence(const char* what, const Segment* segment, const std::string& reason) {
    std::string sentence = std::string("The ") + what + " segment";
    if (segment != nullptr) {
        sentence += " (" + offsets_text(*segment) + ")";
    }
    return sentence + " was set aside because " + reason + ".";
}

/**
 * A segment from its offset keywords (absent ones read as 0). False, with the reason in
 * `problem`, when one of them is there but not a whole number.
 */
bool keyword_offsets(const TextKeywords& text, const std::string& begin_key, const std::string& end_key,
                     Segment& segment, std::string& problem) {
    const std::string* begin = text.find(begin_key);
    const std::string* end = text.find(end_key);
    std::uint64_t begin_value = 0;
    std::uint64_t end_value = 0;
    const bool numbers = (begin == nullptr || parse_unsigned(*begin, begin_value, true)) &&
                         (end == nullptr || parse_unsigned(*end, end_value, true));
    if (!numbers) {
        auto written = [](const std::string* value) {
            return value == nullptr ? std::string("absent") : shown(*value);
        };
        problem = "its offsets, " + begin_key + " " + written(begin) + " and " + end_key + " " +
                  written(end) + ", are not both whole numbers";
        return false;
    }
    segment = Segment{begin_value, end_value};
    return true;
}

/// The DATA segment as the HEADER or else the primary TEXT locate it (0, 0 when neither can):
/// what a supplemental TEXT must not overlap. The DATA offsets themselves are checked later.
Segment data_before_supplemental(const Header& header, const TextKeywords& primary) {
    if (!header.data.empty()) {
        return header.data;
    }
    Segment data;
    std::string ignored;
    return keyword_offsets(primary, "$BEGINDATA", "$ENDDATA", data, ignored) ? data : Segment{};
}

} // namespace

void read_supplemental_text(ByteSource& source, const Header& header, TextKeywords& text) {
    if (header.version2()) {
        return; // the supplemental TEXT exists from FCS 3.0 on
    }
    const char* const what = "supplemental TEXT";
    Segment stext;
    std::string problem;
    if (!keyword_offsets(text, "$BEGINSTEXT", "$ENDSTEXT", stext, problem)) {
        text.note_set_aside(set_aside_sentence(what, nullptr, problem), problem);
        return;
    }
    // Some writers declare the primary TEXT again as the supplemental one: nothing more to read.
    if (stext.begin == header.text.begin && stext.end == header.text.end) {
        return;
    }
    problem = segment_problem(stext, source.size(),
                              {{"TEXT", header.text}, {"DATA", data_before_supplemental(header, text)}});
    if (problem.empty() && (stext.empty() || stext.end + 1 == stext.begin)) {
        return; // none, or an empty one
    }
    std::string_view bytes;
    if (problem.empty()) {
        bytes = source.bytes(stext.begin, static_cast<std::size_t>(stext.end - stext.begin + 1));
        const std::string binary = binary_content(bytes, stext.begin);
        if (!binary.empty()) {
            problem = "it " + binary;
        }
    }
    Keywords keywords;
    if (problem.empty()) {
        const std::string fault = parse_text(bytes, stext.begin, keywords);
        if (!fault.empty()) {
            problem = "it does not parse as keywords and values: it " + fault;
        }
    }
    if (!problem.empty()) {
        // Nothing of it is kept: keywords read before the fault may be as broken as the rest.
        text.note_set_aside(set_aside_sentence(what, &stext, problem), problem);
        return;
    }
    text.add_supplemental(std::move(keywords), stext);
}

void check_analysis_segment(const Header& header, const Segment& data, std::uint64_t file_size,
                            TextKeywords& text) {
    const char* const what = "ANALYSIS";
    if (!header.analysis) {
        text.note_set_aside(set_aside_sentence(what, nullptr,
                                               "its offsets in the HEADER (bytes 43 to 58), " +
                                                   shown(header.analysis_text) + ", are not numbers"));
        return;
    }
    Segment analysis = *header.analysis;
    if (!header.version2() && analysis.empty()) {
        std::string problem;
        if (!keyword_offsets(text, "$BEGINANALYSIS", "$ENDANALYSIS", analysis, problem)) {
            text.note_set_aside(set_aside_sentence(what, nullptr, problem));
            return;
        }
    }
    std::vector<TakenSegment> taken = {{"TEXT", header.text}, {"DATA", data}};
    if (!text.supplemental().empty()) {
        taken.push_back({"supplemental TEXT", text.supplemental()});
    }
    const std::string problem = segment_problem(analysis, file_size, taken);
    if (!problem.empty()) {
        text.note_set_aside(set_aside_sentence(what, &analysis, problem));
    }
}

} // namespace pairmend::fcs::detail
