#include "internal/text_segments.hpp"

#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

std::string TextKeywords::missing(std::string rest) const {
    if (supplemental_reason_.empty()) {
        return rest;
    }
    if (!rest.empty() && rest.back() == '.') {
        rest.pop_back();
    }
    return rest + ", and the supplemental TEXT, the only other place to look, was set aside because " +
           supplemental_reason_ + ".";
}

void TextKeywords::add_primary(Keywords keywords) {
    for (auto& pair : keywords) {
        index_.emplace(key_of(pair.first), keywords_.size());
        keywords_.push_back(std::move(pair));
    }
}

void TextKeywords::add_supplemental(Keywords keywords, const Segment& segment) {
    supplemental_ = segment;
    for (auto& pair : keywords) {
        const std::string key = key_of(pair.first);
        const auto [hit, added] = index_.emplace(key, keywords_.size());
        if (!added) {
            const auto& [primary_name, primary_value] = keywords_[hit->second];
            const std::string written(trim(primary_name));
            const bool noted =
                std::find(disagreeing_.begin(), disagreeing_.end(), written) != disagreeing_.end();
            if (trim(primary_value) != trim(pair.second) && !noted) {
                disagreeing_.push_back(written);
            }
        }
        keywords_.push_back(std::move(pair));
    }
}

void TextKeywords::note_set_aside(std::string sentence, std::string supplemental_reason) {
    set_aside_notes_.push_back(std::move(sentence));
    if (!supplemental_reason.empty()) {
        supplemental_reason_ = std::move(supplemental_reason);
    }
}

std::string parse_text(std::string_view segment, std::uint64_t segment_offset, Keywords& out) {
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
            return "ends with the keyword " + shown(token) + " without a value";
        }
        if (want_key) {
            if (token.empty()) {
                return "holds an empty keyword name at byte offset " +
                       std::to_string(segment_offset + token_offset);
            }
            key = token;
            key_offset = segment_offset + token_offset;
        } else {
            out.emplace_back(key, token);
        }
        want_key = !want_key;
    }
    if (!want_key) {
        return "ends with the keyword " + shown(key) + " (byte offset " + std::to_string(key_offset) +
               ") without a value";
    }
    return {};
}

std::string binary_content(std::string_view segment, std::uint64_t segment_offset) {
    if (segment.empty()) {
        return {};
    }
    const char delimiter = segment[0];
    // Blanks and NULs after the last delimiter are padding, as parse_text reads them.
    std::size_t end = segment.size();
    const std::size_t last = segment.find_last_of(delimiter);
    if (trim(segment.substr(last + 1)).empty()) {
        end = last + 1;
    }
    for (std::size_t i = 1; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(segment[i]);
        const bool control = byte < 32 || byte == 127;
        if (control && segment[i] != delimiter && byte != '\t' && byte != '\n' && byte != '\r') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(byte));
            return "holds binary data, not text (the control byte " + std::string(hex) + " at byte offset " +
                   std::to_string(segment_offset + i) + ")";
        }
    }
    return {};
}

TextKeywords read_primary_text(ByteSource& source, const Header& header, const std::string& name) {
    if (header.text.empty()) {
        refuse(name, "is not a valid FCS file: its HEADER gives no TEXT segment (offsets 0).");
    }
    const std::uint64_t text_length = check_segment(header.text, source.size(), "TEXT", name);
    if (text_length < 2) {
        refuse(name, "is not a valid FCS file: its TEXT segment is empty.");
    }
    Keywords primary;
    const std::string fault = parse_text(
        source.bytes(header.text.begin, static_cast<std::size_t>(text_length)), header.text.begin, primary);
    if (!fault.empty()) {
        refuse(name, "is not a valid FCS file: its TEXT segment " + fault + ".");
    }
    TextKeywords text;
    text.add_primary(std::move(primary));
    return text;
}

} // namespace pairmend::fcs::detail
