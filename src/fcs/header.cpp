// The HEADER: "FCS" and the version, then the first and last byte offsets of the TEXT, DATA and
// ANALYSIS segments as right-justified ASCII numbers of 8 characters.

#include "internal/header.hpp"

#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <algorithm>
#include <sstream>
#include <string_view>

namespace pairmend::fcs::detail {

namespace {

/// Offset field `field` (0 = TEXT start ... 5 = ANALYSIS end) of the HEADER.
std::uint64_t header_offset(std::string_view bytes, std::size_t field, const char* what,
                            const std::string& name) {
    const std::string_view text = bytes.substr(10 + 8 * field, 8);
    std::uint64_t value = 0;
    if (!parse_unsigned(text, value, true)) {
        std::ostringstream message;
        message << "is not a valid FCS file: the " << what << " offset in its HEADER (bytes "
                << 11 + 8 * field << " to " << 18 + 8 * field << ") is " << shown(text) << ", not a number.";
        refuse(name, message.str());
    }
    return value;
}

} // namespace

Header read_header(ByteSource& source, const std::string& name) {
    const std::uint64_t file_size = source.size();
    const std::string head(
        source.bytes(0, static_cast<std::size_t>(std::min<std::uint64_t>(file_size, header_size))));
    const std::string_view bytes = head;
    if (bytes.size() < 3 || bytes.substr(0, 3) != "FCS") {
        refuse(name, "is not an FCS file: it does not begin with an FCS version such as FCS3.1.");
    }
    if (bytes.size() < 6) {
        refuse(name, "is cut short: it ends inside the version at the start of its HEADER.");
    }
    const std::string_view version = bytes.substr(0, 6);
    if (version != "FCS2.0" && version != "FCS3.0" && version != "FCS3.1") {
        const bool looks_like_version = version[3] >= '0' && version[3] <= '9' && version[4] == '.' &&
                                        version[5] >= '0' && version[5] <= '9';
        if (looks_like_version) {
            refuse(name,
                   "is written in version " + std::string(version) +
                       " of the Flow Cytometry Standard, which this reader does not read (it reads FCS2.0, "
                       "FCS3.0 and FCS3.1).");
        }
        refuse(name, "is not an FCS file: it does not begin with an FCS version such as FCS3.1.");
    }
    if (bytes.size() < header_size) {
        std::ostringstream message;
        message << "is cut short: its HEADER needs 58 bytes, but the file holds only " << file_size << ".";
        refuse(name, message.str());
    }
    Header header;
    header.version = std::string(version);
    header.text =
        Segment{header_offset(bytes, 0, "TEXT start", name), header_offset(bytes, 1, "TEXT end", name)};
    header.data =
        Segment{header_offset(bytes, 2, "DATA start", name), header_offset(bytes, 3, "DATA end", name)};
    // The ANALYSIS segment is optional and never read: offsets that are not numbers set it aside.
    header.analysis_text = std::string(bytes.substr(42, 16));
    std::uint64_t analysis_begin = 0;
    std::uint64_t analysis_end = 0;
    if (parse_unsigned(bytes.substr(42, 8), analysis_begin, true) &&
        parse_unsigned(bytes.substr(50, 8), analysis_end, true)) {
        header.analysis = Segment{analysis_begin, analysis_end};
    }
    return header;
}

std::uint64_t check_segment(const Segment& segment, std::uint64_t file_size, const char* what,
                            const std::string& name) {
    if (segment.empty()) {
        return 0;
    }
    std::ostringstream message;
    if (segment.begin < header_size) {
        message << "is not a valid FCS file: its " << what << " segment begins at byte offset "
                << segment.begin << ", inside the 58-byte HEADER.";
        refuse(name, message.str());
    }
    if (segment.end + 1 == segment.begin) {
        return 0; // an empty segment written as "begin, begin - 1"
    }
    if (segment.end < segment.begin) {
        message << "is not a valid FCS file: its " << what << " segment ends (byte offset " << segment.end
                << ") before it begins (byte offset " << segment.begin << ").";
        refuse(name, message.str());
    }
    if (segment.end >= file_size) {
        message << "is cut short: its " << what << " segment runs from byte offset " << segment.begin
                << " to " << segment.end << ", but the file holds only " << file_size << " bytes.";
        refuse(name, message.str());
    }
    return segment.end - segment.begin + 1;
}

std::string segment_problem(const Segment& segment, std::uint64_t file_size,
                            const std::vector<TakenSegment>& taken) {
    if (segment.empty()) {
        return {};
    }
    std::ostringstream reason;
    if (segment.begin < header_size) {
        reason << "it begins at byte offset " << segment.begin << ", inside the 58-byte HEADER";
        return reason.str();
    }
    if (segment.end + 1 == segment.begin) {
        return {}; // an empty segment written as "begin, begin - 1"
    }
    if (segment.end < segment.begin) {
        reason << "it ends (byte offset " << segment.end << ") before it begins (byte offset "
               << segment.begin << ")";
        return reason.str();
    }
    if (segment.end >= file_size) {
        reason << "it runs from byte offset " << segment.begin << " to " << segment.end
               << ", past the end of the file, which holds only " << file_size << " bytes";
        return reason.str();
    }
    for (const TakenSegment& other : taken) {
        const bool other_empty = other.segment.empty() || other.segment.end < other.segment.begin;
        if (!other_empty && segment.begin <= other.segment.end && other.segment.begin <= segment.end) {
            reason << "its " << offsets_text(segment) << " overlap the " << other.what << " segment ("
                   << offsets_text(other.segment) << ")";
            return reason.str();
        }
    }
    return {};
}

std::string offsets_text(const Segment& segment) {
    return "byte offsets " + std::to_string(segment.begin) + " to " + std::to_string(segment.end);
}

} // namespace pairmend::fcs::detail
