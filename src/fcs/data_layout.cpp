#include "internal/data_layout.hpp"

#include "internal/byte_order.hpp"
#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string_view>

namespace pairmend::fcs::detail {

namespace {

/// $PnE "f1,f2"; blanks around the numbers tolerated, a lone "0" read as linear.
void parse_amplification(const std::string& text, Channel& channel, std::size_t n, const std::string& name) {
    const std::size_t comma = text.find(',');
    double f1 = 0;
    double f2 = 0;
    bool ok;
    if (comma == std::string::npos) {
        ok = parse_number(text, f1) && f1 == 0;
    } else {
        ok = parse_number(std::string_view(text).substr(0, comma), f1) &&
             parse_number(std::string_view(text).substr(comma + 1), f2);
    }
    if (!ok || f1 < 0 || f2 < 0) {
        std::ostringstream message;
        message
            << "is not a valid FCS file: its $P" << n << "E " << shown(text)
            << " is not two numbers f1,f2 (decades and offset of a logarithmic amplifier, 0,0 when linear).";
        refuse(name, message.str());
    }
    channel.log_decades = f1;
    channel.log_offset = (f1 > 0 && f2 == 0) ? 1.0 : f2;
}

/// The bits an integer channel's range needs: next power of two >= range, minus 1.
std::uint64_t range_mask(double range, std::size_t bits) {
    const std::uint64_t all = bits >= 64 ? UINT64_MAX : ((std::uint64_t{1} << bits) - 1);
    if (!(range > 0) || range > 18446744073709551615.0) {
        return all;
    }
    const double needed = std::ceil(range);
    std::uint64_t power = 1;
    unsigned exponent = 0;
    while (static_cast<double>(power) < needed && exponent < 64) {
        power <<= 1;
        ++exponent;
    }
    if (exponent >= 64) {
        return all;
    }
    return (power - 1) & all;
}

/// How each stored value of the channel is decoded: its width and offset in the event, its kind,
/// its integer mask and its byte order.
Column column_of(const Channel& channel, char data_type, std::size_t offset, const ByteOrder& order,
                 const std::string& byteord_text, std::size_t n, const std::string& name) {
    Column column;
    const auto bits = static_cast<std::size_t>(channel.bits);
    column.width = bits / 8;
    column.offset = offset;
    switch (column.width) {
    case 1:
        column.kind = Kind::u8;
        break;
    case 2:
        column.kind = Kind::u16;
        break;
    case 4:
        column.kind = data_type == 'F' ? Kind::f32 : Kind::u32;
        break;
    case 8:
        column.kind = data_type == 'D' ? Kind::f64 : Kind::u64;
        break;
    default:
        column.kind = Kind::generic;
        break;
    }
    column.is_float = data_type != 'I';
    column.mask = data_type == 'I' ? range_mask(channel.range, bits) : 0;
    set_order(column, order, byteord_text, n, name);
    return column;
}

/// Channel n (counted from 1) from its $Pn keywords; its width is checked against the data type.
Channel channel_of(const TextKeywords& text, char data_type, std::size_t n, const std::string& name) {
    Channel channel;
    const std::string prefix = "$P" + std::to_string(n);
    const std::string* name_value = text.find(prefix + "N");
    channel.name = name_value != nullptr ? *name_value : "P" + std::to_string(n);
    if (const std::string* label = text.find(prefix + "S")) {
        channel.label = *label;
    }
    const std::string* bits_text = text.find(prefix + "B");
    if (bits_text == nullptr) {
        refuse(name, text.missing("is not a valid FCS file: its TEXT does not give the width of channel " +
                                  std::to_string(n) + " (" + prefix + "B)."));
    }
    std::uint64_t bits = 0;
    if (!parse_unsigned(*bits_text, bits)) {
        refuse(name, "cannot be read: the width of channel " + std::to_string(n) + ", " + prefix + "B " +
                         shown(*bits_text) + ", is not a number of bits.");
    }
    if (const std::string* range = text.find(prefix + "R")) {
        channel.range_text = *range;
        if (!parse_number(*range, channel.range) || channel.range < 0) {
            refuse(name, "is not a valid FCS file: the range of channel " + std::to_string(n) + ", " +
                             prefix + "R " + shown(*range) + ", is not a number.");
        }
    }
    if (const std::string* amplification = text.find(prefix + "E")) {
        parse_amplification(*amplification, channel, n, name);
    }
    std::ostringstream message;
    if (data_type == 'F' && bits != 32) {
        message << "is not a valid FCS file: channel " << n << " of its float data ($DATATYPE F) has "
                << prefix << "B " << bits << " instead of 32.";
        refuse(name, message.str());
    }
    if (data_type == 'D' && bits != 64) {
        message << "is not a valid FCS file: channel " << n << " of its double data ($DATATYPE D) has "
                << prefix << "B " << bits << " instead of 64.";
        refuse(name, message.str());
    }
    if (data_type == 'I') {
        if (bits == 0 || bits % 8 != 0) {
            message << "cannot be read: channel " << n << " stores integers of " << bits
                    << " bits; only whole bytes (8, 16, 24, 32, ... bits) can be read.";
            refuse(name, message.str());
        }
        if (bits > 64) {
            message << "cannot be read: channel " << n << " stores integers of " << bits
                    << " bits; at most 64 bits can be read.";
            refuse(name, message.str());
        }
        if (channel.log_decades > 0 && !(channel.range > 0)) {
            message << "is not a valid FCS file: channel " << n << " is logarithmic (" << prefix
                    << "E) but has no positive range (" << prefix << "R).";
            refuse(name, message.str());
        }
    }
    channel.bits = static_cast<int>(bits);
    return channel;
}

/// The channels' other keywords ($PnV, $PnG, $PnD, ...), first occurrence of each.
void add_channel_keywords(const Keywords& keywords, std::vector<Channel>& channels) {
    for (const auto& [key_name, value] : keywords) {
        const std::string key = key_of(key_name);
        std::uint64_t number = 0;
        std::string_view suffix;
        if (!split_channel_keyword(key, number, suffix) || number < 1 || number > channels.size() ||
            suffix.empty() || is_core_channel_suffix(suffix)) {
            continue;
        }
        const std::string_view written = trim(key_name).substr(key.size() - suffix.size());
        auto& extra = channels[number - 1].keywords;
        const bool seen = std::any_of(extra.begin(), extra.end(),
                                      [&](const auto& entry) { return key_of(entry.first) == suffix; });
        if (!seen) {
            extra.emplace_back(std::string(written), value);
        }
    }
}

} // namespace

DataLayout read_layout(const TextKeywords& text, const std::string& name) {
    if (const std::string* mode = text.find("$MODE")) {
        const std::string value = key_of(*mode);
        if (value != "L") {
            refuse(name, "holds data in mode $MODE " + shown(*mode) +
                             " (histograms), but only list-mode data ($MODE L) can be read.");
        }
    }
    DataLayout layout;
    const std::string* datatype = text.find("$DATATYPE");
    if (datatype == nullptr) {
        refuse(name, text.missing("is not a valid FCS file: its TEXT has no $DATATYPE."));
    }
    const std::string type = key_of(*datatype);
    if (type == "A") {
        refuse(name,
               "cannot be read: its values are ASCII text ($DATATYPE A), which this reader does not read "
               "(it reads I, F and D).");
    }
    if (type != "I" && type != "F" && type != "D") {
        refuse(name,
               "is not a valid FCS file: its $DATATYPE " + shown(*datatype) + " is none of I, F, D and A.");
    }
    layout.data_type = type[0];
    const std::string* byteord = text.find("$BYTEORD");
    if (byteord == nullptr) {
        refuse(name, text.missing("is not a valid FCS file: its TEXT has no $BYTEORD."));
    }
    const ByteOrder order = parse_byte_order(*byteord, name);

    bool has_par = false;
    const std::uint64_t npar = text.unsigned_value("$PAR", 0, name, &has_par);
    if (!has_par) {
        refuse(name, text.missing("is not a valid FCS file: its TEXT has no $PAR (number of channels)."));
    }
    if (npar == 0) {
        refuse(name, "holds no channels: its $PAR is 0.");
    }
    // Each channel needs at least its $PnB: a larger $PAR cannot be right, and no buffer is sized from it.
    if (npar > text.all().size()) {
        std::ostringstream message;
        message << "is not a valid FCS file: its $PAR declares " << npar
                << " channels, but its TEXT holds only " << text.all().size() << " keywords.";
        refuse(name, text.missing(message.str()));
    }
    layout.channels.reserve(npar);
    layout.columns.reserve(npar);
    for (std::size_t n = 1; n <= npar; ++n) {
        layout.channels.push_back(channel_of(text, layout.data_type, n, name));
        layout.columns.push_back(column_of(layout.channels.back(), layout.data_type, layout.event_bytes,
                                           order, *byteord, n, name));
        layout.event_bytes += layout.columns.back().width;
    }
    add_channel_keywords(text.all(), layout.channels);
    return layout;
}

Segment data_segment_of(const Header& header, const TextKeywords& text, const std::string& name) {
    if (header.version2()) {
        return header.data;
    }
    bool has_begin = false;
    bool has_end = false;
    const Segment text_data{text.unsigned_value("$BEGINDATA", 0, name, &has_begin),
                            text.unsigned_value("$ENDDATA", 0, name, &has_end)};
    if (header.data.empty()) {
        return text_data;
    }
    if (has_begin && has_end && !text_data.empty() &&
        (text_data.begin != header.data.begin || text_data.end != header.data.end)) {
        std::ostringstream message;
        message << "disagrees with itself about where its DATA segment lies: the HEADER says byte offsets "
                << header.data.begin << " to " << header.data.end << ", $BEGINDATA and $ENDDATA say "
                << text_data.begin << " to " << text_data.end << ".";
        refuse(name, message.str());
    }
    return header.data;
}

std::size_t count_events(const Segment& data, const Header& header, const TextKeywords& text,
                         const DataLayout& layout, std::uint64_t file_size, const std::string& name) {
    const std::uint64_t data_length = check_segment(data, file_size, "DATA", name);
    const std::size_t event_bytes = layout.event_bytes;
    bool has_tot = false;
    std::uint64_t tot = text.unsigned_value("$TOT", 0, name, &has_tot);
    if (!has_tot) {
        // FCS 2.0 does not require $TOT: the DATA segment must then hold whole events.
        if (data_length % event_bytes != 0) {
            std::ostringstream message;
            message << "does not agree with itself: it has no $TOT, and its DATA segment of " << data_length
                    << " bytes does not hold a whole number of events of " << event_bytes << " bytes.";
            refuse(name, text.missing(message.str()));
        }
        tot = data_length / event_bytes;
    }
    if (tot > 0 && data.empty()) {
        std::ostringstream message;
        message << "is not a valid FCS file: it declares " << tot
                << " events ($TOT) but gives no DATA segment: the HEADER's offsets are 0"
                << (header.version2() ? "." : " and the TEXT has no $BEGINDATA and $ENDDATA.");
        refuse(name, text.missing(message.str()));
    }
    const std::uint64_t room = data_length / event_bytes;
    if (tot > room || data_length - tot * event_bytes >= event_bytes) {
        std::ostringstream message;
        message << "does not agree with itself: " << tot << " events ($TOT) of " << event_bytes << " bytes ("
                << layout.channels.size() << " channels) need ";
        if (tot > room) {
            message << "more than the " << data_length << " bytes of its DATA segment";
        } else {
            message << tot * event_bytes << " bytes, but its DATA segment holds " << data_length << " bytes";
        }
        message << " (room for " << room << " events).";
        refuse(name, message.str());
    }
    if (tot > std::numeric_limits<std::size_t>::max() / layout.channels.size()) {
        refuse(name, "cannot be read: it holds more values than this computer can address.");
    }
    return static_cast<std::size_t>(tot);
}

void read_values(ByteSource& source, std::uint64_t data_begin, std::size_t first, std::size_t count,
                 const DataLayout& layout, double* out) {
    const std::size_t npar = layout.columns.size();
    const std::size_t event_bytes = layout.event_bytes;
    // Blocks of about 4 MB, decoded as they are read.
    const std::size_t block_events = std::max<std::size_t>(1, (std::size_t{4} << 20) / event_bytes);
    for (std::size_t start = 0; start < count; start += block_events) {
        const std::size_t n = std::min(block_events, count - start);
        const std::string_view block =
            source.bytes(data_begin + (first + start) * event_bytes, n * event_bytes);
        decode(reinterpret_cast<const unsigned char*>(block.data()), n, event_bytes, layout.columns,
               out + start * npar);
    }
}

} // namespace pairmend::fcs::detail
