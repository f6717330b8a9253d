#include "internal/text_segments.hpp"

#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <cstring>
#include <sstream>

namespace pairmend::fcs::detail {

Keywords TextKeywords::release() {
    index_.clear();
    return std::move(keywords_);
}

const std::string* TextKeywords::find(const std::string& key) const {
    const auto hit = index_.find(key);
    return hit == index_.end() ? nullptr : &keywords_[hit->second].second;
}

std::uint64_t TextKeywords::unsigned_value(const std::string& key, std::uint64_t fallback,
                                           const std::string& name, bool* present) const {
    const std::string* value = find(key);
    if (present != nullptr) {
        *present = value != nullptr;
    }
    if (value == nullptr) {
        return fallback;
    }
    std::uint64_t number = 0;
    if (!parse_unsigned(*value, number, true)) {
        refuse(name,
               "is not a valid FCS file: its " + key + " is " + shown(*value) + ", not a whole number.");
    }
    return number;
}

void TextKeywords::add(Keywords keywords) {
    for (auto& pair : keywords) {
        index_.emplace(key_of(pair.first), keywords_.size());
        keywords_.push_back(std::move(pair));
    }
}

std::string parse_text(std::string_view segment, std::uint64_t segment_offset, const char* which,
                       Keywords& out) {
    if (segment.empty()) {
        return {};
    }
    const char delimiter = segment[0];
    std::size_t pos = 1;
    bool want_key = true;
    std::string key;
    std::string token;
    std::uint64_t key_offset = 0;
    while (pos < segment.size()) {
        token.clear();
        const std::size_t token_offset = pos;
        bool closed = false;
        while (pos < segment.size()) {
            const void* hit = std::memchr(segment.data() + pos, delimiter, segment.size() - pos);
            if (hit == nullptr) {
                token.append(segment.substr(pos));
                pos = segment.size();
                break;
            }
            const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - segment.data());
            token.append(segment.substr(pos, at - pos));
            if (at + 1 < segment.size() && segment[at + 1] == delimiter) {
                token.push_back(delimiter);
                pos = at + 2;
                continue;
            }
            pos = at + 1;
            closed = true;
            break;
        }
        if (!closed && want_key) {
            if (trim(token).empty()) {
                break; // padding after the last delimiter
            }
            std::ostringstream message;
            message << "is not a valid FCS file: its " << which << " segment ends with the keyword "
                    << shown(token) << " without a value.";
            return message.str();
        }
        if (want_key) {
            if (token.empty()) {
                std::ostringstream message;
                message << "is not a valid FCS file: its " << which
                        << " segment holds an empty keyword name at byte offset "
                        << segment_offset + token_offset << ".";
                return message.str();
            }
            key = token;
            key_offset = segment_offset + token_offset;
        } else {
            out.emplace_back(key, token);
        }
        want_key = !want_key;
    }
    if (!want_key) {
        std::ostringstream message;
        message << "is not a valid FCS file: its " << which << " segment ends with the keyword " << shown(key)
                << " (byte offset " << key_offset << ") without a value.";
        return message.str();
    }
    return {};
}

TextKeywords read_text_segments(ByteSource& source, const Header& header, const std::string& name) {
    const std::uint64_t file_size = source.size();
    if (header.text.empty()) {
        refuse(name, "is not a valid FCS file: its HEADER gives no TEXT segment (offsets 0).");
    }
    const std::uint64_t text_length = check_segment(header.text, file_size, "TEXT", name);
    if (text_length < 2) {
        refuse(name, "is not a valid FCS file: its TEXT segment is empty.");
    }
    TextKeywords text;
    Keywords primary;
    const std::string fault =
        parse_text(source.bytes(header.text.begin, static_cast<std::size_t>(text_length)), header.text.begin,
                   "TEXT", primary);
    if (!fault.empty()) {
        refuse(name, fault);
    }
    text.add(std::move(primary));

    // The supplemental TEXT exists from FCS 3.0 on.
    if (!header.version2()) {
        const Segment stext{text.unsigned_value("$BEGINSTEXT", 0, name),
                            text.unsigned_value("$ENDSTEXT", 0, name)};
        const std::uint64_t stext_length = check_segment(stext, file_size, "supplemental TEXT", name);
        if (stext_length > 0 && stext.begin != header.text.begin) {
            Keywords supplemental;
            const std::string stext_fault =
                parse_text(source.bytes(stext.begin, static_cast<std::size_t>(stext_length)), stext.begin,
                           "supplemental TEXT", supplemental);
            if (!stext_fault.empty()) {
                refuse(name, stext_fault);
            }
            text.add(std::move(supplemental));
        }
    }
    return text;
}

void check_analysis_segment(const Header& header, const TextKeywords& text, std::uint64_t file_size,
                            const std::string& name) {
    Segment analysis = header.analysis;
    if (!header.version2() && analysis.empty()) {
        analysis = Segment{text.unsigned_value("$BEGINANALYSIS", 0, name),
                           text.unsigned_value("$ENDANALYSIS", 0, name)};
    }
    check_segment(analysis, file_size, "ANALYSIS", name);
}

} // namespace pairmend::fcs::detail
