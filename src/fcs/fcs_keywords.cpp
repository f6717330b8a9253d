// Keyword access of a read file, its values on the linear scale, and the keywords that stay true
// when its events are written again.

#include "internal/fcs_text.hpp"
#include "pairmend/fcs/fcs_file.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace pairmend::fcs {

std::optional<std::string> FcsFile::keyword(std::string_view name) const {
    const std::string wanted = detail::key_of(name);
    for (const auto& [key, value] : keywords) {
        if (detail::key_of(key) == wanted) {
            return value;
        }
    }
    return std::nullopt;
}

std::string FcsFile::instrument() const {
    return keyword("$CYT").value_or(std::string());
}

std::vector<double> FcsFile::linear_values() const {
    std::vector<double> values = raw;
    LinearScale(*this).apply(values.data(), num_events);
    return values;
}

// Per log-amplified channel: 10^(f1 * x / range) * f2, and, for the usual ranges (1024, 4096,
// ...), a table of it for every value the range allows (stored values are whole numbers below the
// range's power of two), computed by the same expression, when the file has events enough to
// repay it.
double LinearScale::Log::convert(double x) const {
    return std::pow(10.0, f1 * x / range) * f2;
}

LinearScale::LinearScale(const FcsFile& file) : width_(file.channels.size()) {
    if (file.data_type != 'I') {
        return; // $PnE applies only to integer channels (FCS 3.1: 0,0 for F and D)
    }
    for (std::size_t c = 0; c < file.channels.size(); ++c) {
        const Channel& channel = file.channels[c];
        if (!(channel.log_decades > 0) || !(channel.range > 0)) {
            continue;
        }
        Log log{c, channel.log_decades, channel.log_offset, channel.range, {}};
        const double limit = std::ceil(channel.range);
        if (limit <= 65536 && file.num_events > static_cast<std::size_t>(limit) / 4) {
            std::size_t power = 1;
            while (static_cast<double>(power) < limit) {
                power <<= 1;
            }
            log.table.resize(power);
            for (std::size_t x = 0; x < power; ++x) {
                log.table[x] = log.convert(static_cast<double>(x));
            }
        }
        logs_.push_back(std::move(log));
    }
}

void LinearScale::apply(double* values, std::size_t count) const {
    for (std::size_t e = 0; e < count && !logs_.empty(); ++e) {
        double* row = values + e * width_;
        for (const Log& log : logs_) {
            double& value = row[log.column];
            // Integer values are at most 2^64 - 1; the table holds at most 65,536 of them.
            const bool in_table = value >= 0 && value < static_cast<double>(log.table.size());
            value = in_table && static_cast<double>(static_cast<std::size_t>(value)) == value
                        ? log.table[static_cast<std::size_t>(value)]
                        : log.convert(value);
        }
    }
}

std::vector<Channel> FcsFile::linear_channels() const {
    std::vector<Channel> result = channels;
    auto utf8 = [](std::string& text) {
        if (!detail::is_utf8(text)) {
            text = detail::latin1_to_utf8(text);
        }
    };
    for (Channel& channel : result) {
        // FCS 3.1 text is UTF-8; older files wrote single-byte text, read here as Latin-1.
        utf8(channel.name);
        utf8(channel.label);
        auto& extra = channel.keywords;
        extra.erase(
            std::remove_if(extra.begin(), extra.end(),
                           [](const auto& entry) { return !detail::is_printable_ascii(entry.first); }),
            extra.end());
        for (auto& entry : extra) {
            utf8(entry.second);
        }
        if (!(channel.range > 0)) {
            // No usable range ($PnR missing or 0): write_fcs then takes the largest value.
            channel.range = 0;
            channel.range_text.clear();
        } else if (data_type == 'I' && channel.log_decades > 0) {
            channel.range = std::pow(10.0, channel.log_decades) * channel.log_offset;
            channel.range_text = detail::format_number(channel.range);
        }
        channel.log_decades = 0;
        channel.log_offset = 0;
    }
    return result;
}

namespace {

bool all_digits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

/// "$X<digits><tail>" with the given tail (which may be empty).
bool numbered(std::string_view key, std::string_view head, std::string_view tail) {
    if (key.size() <= head.size() + tail.size() || key.substr(0, head.size()) != head ||
        key.substr(key.size() - tail.size()) != tail) {
        return false;
    }
    return all_digits(key.substr(head.size(), key.size() - head.size() - tail.size()));
}

/**
 * Keywords that no longer hold once the events are written again as a new FCS 3.1 file with
 * other channels: the compensation matrix of FCS 3.0 ($COMP, which names no channels), gating by
 * channel number ($GATE, $GATING, $Gn*, $RnI, $RnW), histogram peaks ($PKn, $PKNn), cell subsets
 * stored in the data ($CSMODE, $CSVBITS, $CSVnFLAG), the text encoding ($UNICODE; the output is UTF-8) and
 * the history of the source file ($ORIGINALITY, $LAST_MODIFIED, $LAST_MODIFIER).
 */
bool is_stale_keyword(std::string_view key) {
    if (key == "$COMP" || key == "$UNICODE" || key == "$GATE" || key == "$GATING" || key == "$CSMODE" ||
        key == "$CSVBITS" || key == "$ORIGINALITY" || key == "$LAST_MODIFIED" || key == "$LAST_MODIFIER") {
        return true;
    }
    if (numbered(key, "$CSV", "FLAG") || numbered(key, "$PKN", "") || numbered(key, "$PK", "") ||
        numbered(key, "$R", "I") || numbered(key, "$R", "W")) {
        return true;
    }
    // $Gn followed by a letter: the gating parameters
    if (key.size() > 3 && key.substr(0, 2) == "$G" && key[2] >= '0' && key[2] <= '9') {
        return true;
    }
    return false;
}

} // namespace

std::vector<std::pair<std::string, std::string>> descriptive_keywords(const FcsFile& file) {
    std::vector<std::pair<std::string, std::string>> result;
    std::unordered_set<std::string> seen;
    for (const auto& [name, value] : file.keywords) {
        const std::string_view written = detail::trim(name);
        const std::string key = detail::key_of(name);
        std::uint64_t number = 0;
        std::string_view suffix;
        if (written.empty() || !detail::is_printable_ascii(written) || detail::is_layout_keyword(key) ||
            detail::split_channel_keyword(key, number, suffix) || is_stale_keyword(key) || value.empty() ||
            !seen.insert(key).second) {
            continue;
        }
        result.emplace_back(std::string(written),
                            detail::is_utf8(value) ? value : detail::latin1_to_utf8(value));
    }
    // The events are written again with other channels: FCS 3.1 calls that "DataModified".
    result.emplace_back("$ORIGINALITY", "DataModified");
    return result;
}

} // namespace pairmend::fcs
