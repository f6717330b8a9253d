#ifndef PAIRMEND_TESTS_FCS_BUILDER_HPP
#define PAIRMEND_TESTS_FCS_BUILDER_HPP

// A small FCS writer of arbitrary layouts for the reader's tests, the fuzz corpus and the
// benchmark: any version, data type, byte order, bit width per channel, delimiter, supplemental
// TEXT, offsets in the HEADER or only in the TEXT, gaps, and deliberate faults. It is written
// independently of the library's writer, directly from the standard's layout.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fcs_test {

struct BuildChannel {
    std::string name;
    std::string label;                 ///< empty: no $PnS
    std::string range = "1024";        ///< empty: no $PnR
    int bits = 32;                     ///< $PnB
    std::string amplification = "0,0"; ///< $PnE; empty: no $PnE
};

/// The bytes of one stored value: `width` bytes of `value` in the order $BYTEORD gives
/// (little-endian when $BYTEORD is not a list of numbers, for files meant to be refused).
inline std::string stored_bytes(std::uint64_t value, std::size_t width, const std::string& byteord) {
    std::vector<int> order;
    for (std::size_t pos = 0; pos < byteord.size();) {
        const std::size_t comma = byteord.find(',', pos);
        const std::size_t end = comma == std::string::npos ? byteord.size() : comma;
        const std::string number = byteord.substr(pos, end - pos);
        if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
            order = {1, 2, 3, 4};
            break;
        }
        order.push_back(std::stoi(number));
        pos = end + 1;
    }
    const std::size_t n = order.size();
    bool ascending = true;
    bool descending = true;
    for (std::size_t i = 0; i < n; ++i) {
        ascending = ascending && order[i] == static_cast<int>(i + 1);
        descending = descending && order[i] == static_cast<int>(n - i);
    }
    // significance[b]: which byte of the value (0 = least significant) is stored at b.
    std::vector<std::size_t> significance(width);
    for (std::size_t b = 0; b < width; ++b) {
        if (ascending || width == 1) {
            significance[b] = b;
        } else if (descending) {
            significance[b] = width - 1 - b;
        } else if (width == n) {
            significance[b] = static_cast<std::size_t>(order[b] - 1);
        } else if (n % width == 0) {
            std::size_t rank = 0;
            for (std::size_t k = 0; k < width; ++k) {
                rank += order[k] < order[b] ? 1 : 0;
            }
            significance[b] = rank;
        } else {
            throw std::invalid_argument("stored_bytes: no order for this width");
        }
    }
    std::string bytes(width, '\0');
    for (std::size_t b = 0; b < width; ++b) {
        bytes[b] = static_cast<char>(significance[b] < 8 ? (value >> (8 * significance[b])) & 0xFFu : 0u);
    }
    return bytes;
}

struct FcsBuilder {
    std::string version = "FCS3.1";
    std::string datatype = "F";
    std::string byteord = "1,2,3,4";
    std::string mode = "L"; ///< empty: no $MODE
    char delimiter = '/';
    std::vector<BuildChannel> channels;
    std::vector<std::vector<double>> events; ///< one value per channel; integers as whole numbers
    /// Further keywords of the primary TEXT, after the required ones.
    std::vector<std::pair<std::string, std::string>> keywords;
    /// Keywords of a supplemental TEXT (FCS 3.0 and 3.1); none: no supplemental TEXT.
    std::vector<std::pair<std::string, std::string>> supplemental;
    /// The bytes of the supplemental TEXT segment as they are, written instead of `supplemental`
    /// (binary data, a TEXT that does not parse); empty: `supplemental` decides.
    std::string supplemental_bytes;
    bool supplemental_after_data = false; ///< the supplemental TEXT after the DATA segment, not before
    /// $BEGINSTEXT and $ENDSTEXT written instead of the real offsets.
    std::optional<std::string> begin_stext, end_stext;
    /// The bytes of an ANALYSIS segment, after the DATA (and a supplemental TEXT there); empty: none.
    std::string analysis;
    bool analysis_offsets_in_header = true; ///< false: the HEADER's ANALYSIS offsets are 0
    /// $BEGINANALYSIS and $ENDANALYSIS written instead of the real offsets.
    std::optional<std::string> begin_analysis, end_analysis;
    std::optional<std::string> tot; ///< written $TOT; default: the number of events
    bool write_tot = true;
    std::string nextdata = "0";
    bool data_offsets_in_header = true;         ///< false: the HEADER's DATA offsets are 0
    bool data_offsets_in_text = true;           ///< $BEGINDATA/$ENDDATA (FCS 3.0 and 3.1)
    std::string header_offset_format = "%8llu"; ///< printf format of the HEADER's offsets
    std::size_t gap_before_data = 0;            ///< bytes between the TEXT segments and the DATA segment
    std::string data_suffix;                    ///< bytes added inside the DATA segment after the events
    std::string trailer;                        ///< bytes after the DATA segment
    bool final_delimiter = true;
    std::string text_padding; ///< bytes after the last delimiter, inside the TEXT segment

    std::string escaped(const std::string& text) const {
        std::string out;
        for (const char c : text) {
            out.push_back(c);
            if (c == delimiter) {
                out.push_back(c);
            }
        }
        return out;
    }

    std::string text_of(const std::vector<std::pair<std::string, std::string>>& pairs,
                        bool last_delimiter) const {
        std::string text(1, delimiter);
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            text += escaped(pairs[i].first) + delimiter + escaped(pairs[i].second);
            if (i + 1 < pairs.size() || last_delimiter) {
                text.push_back(delimiter);
            }
        }
        return text;
    }

    std::string data() const {
        std::string bytes;
        for (const std::vector<double>& event : events) {
            for (std::size_t c = 0; c < channels.size(); ++c) {
                const double value = event.at(c);
                if (datatype == "F") {
                    const float f = static_cast<float>(value);
                    std::uint32_t u;
                    std::memcpy(&u, &f, 4);
                    bytes += stored_bytes(u, 4, byteord);
                } else if (datatype == "D") {
                    std::uint64_t u;
                    std::memcpy(&u, &value, 8);
                    bytes += stored_bytes(u, 8, byteord);
                } else {
                    bytes += stored_bytes(static_cast<std::uint64_t>(value),
                                          static_cast<std::size_t>(channels[c].bits / 8), byteord);
                }
            }
        }
        return bytes + data_suffix;
    }

    std::string build() const {
        std::size_t data_begin = 0;
        return build(data_begin);
    }

    /// Byte offset of the DATA segment in what build() returns.
    std::size_t data_offset() const {
        std::size_t data_begin = 0;
        build(data_begin);
        return data_begin;
    }

    /// The file; `data_begin` receives the byte offset of its DATA segment.
    std::string build(std::size_t& data_begin) const {
        const bool version2 = version == "FCS2.0";
        const std::string data_bytes = data();
        std::vector<std::pair<std::string, std::string>> pairs;
        if (!version2) {
            pairs = {
                {"$BEGINANALYSIS", "0"}, {"$ENDANALYSIS", "0"}, {"$BEGINSTEXT", "0"}, {"$ENDSTEXT", "0"}};
            if (data_offsets_in_text) {
                pairs.emplace_back("$BEGINDATA", "0");
                pairs.emplace_back("$ENDDATA", "0");
            }
        }
        pairs.emplace_back("$BYTEORD", byteord);
        pairs.emplace_back("$DATATYPE", datatype);
        if (!mode.empty()) {
            pairs.emplace_back("$MODE", mode);
        }
        pairs.emplace_back("$NEXTDATA", nextdata);
        pairs.emplace_back("$PAR", std::to_string(channels.size()));
        if (write_tot) {
            pairs.emplace_back("$TOT", tot ? *tot : std::to_string(events.size()));
        }
        for (std::size_t c = 0; c < channels.size(); ++c) {
            const std::string p = "$P" + std::to_string(c + 1);
            const BuildChannel& channel = channels[c];
            pairs.emplace_back(p + "N", channel.name);
            if (!channel.label.empty()) {
                pairs.emplace_back(p + "S", channel.label);
            }
            pairs.emplace_back(p + "B", std::to_string(channel.bits));
            if (!channel.amplification.empty()) {
                pairs.emplace_back(p + "E", channel.amplification);
            }
            if (!channel.range.empty()) {
                pairs.emplace_back(p + "R", channel.range);
            }
        }
        pairs.insert(pairs.end(), keywords.begin(), keywords.end());
        const std::string stext = !supplemental_bytes.empty() ? supplemental_bytes
                                  : supplemental.empty()      ? std::string()
                                                              : text_of(supplemental, true);

        // The offsets are in the TEXT, whose length depends on their digits: iterate.
        std::string text;
        std::uint64_t sbegin = 0, send = 0, dbegin = 0, dend = 0, abegin = 0, aend = 0;
        for (int round = 0; round < 10; ++round) {
            for (auto& [key, value] : pairs) {
                if (key == "$BEGINSTEXT")
                    value = begin_stext.value_or(std::to_string(sbegin));
                if (key == "$ENDSTEXT")
                    value = end_stext.value_or(std::to_string(send));
                if (key == "$BEGINDATA")
                    value = std::to_string(dbegin);
                if (key == "$ENDDATA")
                    value = std::to_string(dend);
                if (key == "$BEGINANALYSIS")
                    value = begin_analysis.value_or(std::to_string(abegin));
                if (key == "$ENDANALYSIS")
                    value = end_analysis.value_or(std::to_string(aend));
            }
            text = text_of(pairs, final_delimiter) + text_padding;
            std::uint64_t at = 58 + text.size();
            std::uint64_t nsbegin = 0;
            if (!stext.empty() && !supplemental_after_data) {
                nsbegin = at;
                at += stext.size();
            }
            at += gap_before_data;
            const std::uint64_t ndbegin = at;
            const std::uint64_t ndend = data_bytes.empty() ? ndbegin - 1 : ndbegin + data_bytes.size() - 1;
            at += data_bytes.size();
            if (!stext.empty() && supplemental_after_data) {
                nsbegin = at;
                at += stext.size();
            }
            const std::uint64_t nsend = stext.empty() ? 0 : nsbegin + stext.size() - 1;
            const std::uint64_t nabegin = analysis.empty() ? 0 : at;
            const std::uint64_t naend = analysis.empty() ? 0 : at + analysis.size() - 1;
            if (nsbegin == sbegin && nsend == send && ndbegin == dbegin && ndend == dend &&
                nabegin == abegin && naend == aend) {
                break;
            }
            sbegin = nsbegin;
            send = nsend;
            dbegin = ndbegin;
            dend = ndend;
            abegin = nabegin;
            aend = naend;
        }
        auto field = [&](std::uint64_t offset) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, header_offset_format.c_str(),
                          static_cast<unsigned long long>(offset));
            std::string text8(buffer);
            text8.resize(8, ' ');
            return text8;
        };
        const bool header_data = data_offsets_in_header && dend <= 99999999;
        const bool header_analysis = analysis_offsets_in_header && aend <= 99999999;
        std::string file = version + "    " + field(58) + field(58 + text.size() - 1) +
                           field(header_data ? dbegin : 0) + field(header_data ? dend : 0) +
                           field(header_analysis ? abegin : 0) + field(header_analysis ? aend : 0);
        file += text;
        if (!supplemental_after_data) {
            file += stext;
        }
        file.append(gap_before_data, '\0');
        data_begin = file.size();
        file += data_bytes;
        if (supplemental_after_data) {
            file += stext;
        }
        file += analysis;
        file += trailer;
        return file;
    }
};

} // namespace fcs_test

#endif
