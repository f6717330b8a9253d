// Reading list-mode FCS 2.0, 3.0 and 3.1 files, written from the Flow Cytometry Standard.
//
// Layout of a data set: a HEADER of 58 bytes (version, then the first and last byte offsets of
// the TEXT, DATA and ANALYSIS segments as right-justified ASCII numbers of 8 characters), the
// primary TEXT (keyword/value pairs separated by a delimiter, the segment's first byte), an
// optional supplemental TEXT and the DATA segment. Every offset and count the file declares is
// checked against the file's size before anything is read or any buffer is sized from it.

#include "fcs/fcs_file.hpp"
#include "fcs/fcs_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace fcs {

namespace {

using detail::key_of;
using detail::parse_number;
using detail::parse_unsigned;
using detail::trim;

constexpr std::size_t header_size = 58;

/// Throws the reader's refusal: "The file NAME " followed by the rest of the sentence.
[[noreturn]] void refuse(const std::string& name, const std::string& rest) {
    throw std::runtime_error("The file " + name + " " + rest);
}

std::string shown(std::string_view text) {
    std::string result = "\"";
    for (const char c : text.substr(0, 60)) {
        result.push_back((c >= 32 && c <= 126) ? c : '?');
    }
    if (text.size() > 60) {
        result += "...";
    }
    return result + "\"";
}

// ---------------------------------------------------------------------------------------------
// TEXT segments

using Keywords = std::vector<std::pair<std::string, std::string>>;

/**
 * Appends the keyword/value pairs of one TEXT segment. Its first byte is the delimiter; a
 * doubled delimiter inside a keyword or value is a literal delimiter. Blanks or NULs after the
 * last delimiter are padding; a last value whose closing delimiter is missing is accepted.
 */
void parse_text(std::string_view segment, std::size_t segment_offset, const char* which,
                const std::string& name, Keywords& out) {
    if (segment.empty()) {
        return;
    }
    const char delimiter = segment[0];
    std::size_t pos = 1;
    bool want_key = true;
    std::string key;
    std::string token;
    std::size_t key_offset = 0;
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
            refuse(name, message.str());
        }
        if (want_key) {
            if (token.empty()) {
                std::ostringstream message;
                message << "is not a valid FCS file: its " << which
                        << " segment holds an empty keyword name at byte offset "
                        << segment_offset + token_offset << ".";
                refuse(name, message.str());
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
        refuse(name, message.str());
    }
}

/// Keyword lookup by key form; the first occurrence wins (the primary TEXT before the supplemental).
class Lookup {
public:
    void add(const Keywords& keywords, std::size_t from) {
        for (std::size_t i = from; i < keywords.size(); ++i) {
            index_.emplace(key_of(keywords[i].first), i);
        }
    }
    const std::string* find(const Keywords& keywords, const std::string& key) const {
        const auto hit = index_.find(key);
        return hit == index_.end() ? nullptr : &keywords[hit->second].second;
    }

private:
    std::unordered_map<std::string, std::size_t> index_;
};

// ---------------------------------------------------------------------------------------------
// Decoding the DATA segment

/// f32 ... u64: native widths, byte-swapped or not; uint_n: integers of 3, 5, 6 or 7 bytes in
/// little- or big-endian order; generic: any order, byte by byte.
enum class Kind { f32, f64, u8, u16, u32, u64, uint_n, generic };

/// How one channel's values are stored in an event.
struct Column {
    Kind kind = Kind::generic;
    bool swap = false;      ///< byte-swapped against the host (native widths); big-endian (uint_n)
    bool is_float = false;  ///< generic kind: a float (4 bytes) or a double (8 bytes)
    std::size_t offset = 0; ///< bytes from the event's start
    std::size_t width = 0;  ///< bytes
    std::uint64_t mask = 0; ///< integers: the bits the range needs
    unsigned shift[8] = {}; ///< generic kind: bit position of each stored byte
};

inline std::uint16_t bswap(std::uint16_t v) {
    return __builtin_bswap16(v);
}
inline std::uint32_t bswap(std::uint32_t v) {
    return __builtin_bswap32(v);
}
inline std::uint64_t bswap(std::uint64_t v) {
    return __builtin_bswap64(v);
}
inline std::uint8_t bswap(std::uint8_t v) {
    return v;
}

template <typename U, bool Swap, bool Float>
inline double load(const unsigned char* p, std::uint64_t mask) {
    U u;
    std::memcpy(&u, p, sizeof(U));
    if constexpr (Swap) {
        u = bswap(u);
    }
    if constexpr (Float) {
        if constexpr (sizeof(U) == 4) {
            float f;
            std::memcpy(&f, &u, sizeof f);
            return static_cast<double>(f);
        } else {
            double d;
            std::memcpy(&d, &u, sizeof d);
            return d;
        }
    } else {
        return static_cast<double>(static_cast<std::uint64_t>(u) & mask);
    }
}

/// Values stored one after another without gaps (every channel of the same kind and mask).
template <typename U, bool Swap, bool Float>
void decode_flat(const unsigned char* data, std::size_t count, std::uint64_t mask, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = load<U, Swap, Float>(data + i * sizeof(U), mask);
    }
}

/// One channel of `count` events: input every `stride` bytes, output every `out_stride` values.
template <typename U, bool Swap, bool Float>
void decode_strided(const unsigned char* data, std::size_t count, std::size_t stride, std::uint64_t mask,
                    double* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i * out_stride] = load<U, Swap, Float>(data + i * stride, mask);
    }
}

/// Integers of W bytes in little- or big-endian order, whatever the host's order.
template <std::size_t W, bool Big>
void decode_uint_n(const unsigned char* data, std::size_t count, std::size_t stride, std::uint64_t mask,
                   double* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = data + i * stride;
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < W; ++b) {
            if constexpr (Big) {
                v = (v << 8) | p[b];
            } else {
                v |= static_cast<std::uint64_t>(p[b]) << (8 * b);
            }
        }
        out[i * out_stride] = static_cast<double>(v & mask);
    }
}

void decode_generic(const Column& column, const unsigned char* data, std::size_t count, std::size_t stride,
                    double* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = data + i * stride;
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < column.width; ++b) {
            v |= static_cast<std::uint64_t>(p[b]) << column.shift[b];
        }
        double value;
        if (column.is_float && column.width == 4) {
            const auto u = static_cast<std::uint32_t>(v);
            float f;
            std::memcpy(&f, &u, sizeof f);
            value = static_cast<double>(f);
        } else if (column.is_float) {
            std::memcpy(&value, &v, sizeof value);
        } else {
            value = static_cast<double>(v & column.mask);
        }
        out[i * out_stride] = value;
    }
}

using StridedFn = void (*)(const unsigned char*, std::size_t, std::size_t, std::uint64_t, double*,
                           std::size_t);
using FlatFn = void (*)(const unsigned char*, std::size_t, std::uint64_t, double*);

template <bool Flat>
auto pick(const Column& column) {
    using Fn = std::conditional_t<Flat, FlatFn, StridedFn>;
    auto choose = [&](auto unsigned_type, auto as_float) -> Fn {
        using U = decltype(unsigned_type);
        constexpr bool F = decltype(as_float)::value;
        if constexpr (Flat) {
            return column.swap ? &decode_flat<U, true, F> : &decode_flat<U, false, F>;
        } else {
            return column.swap ? &decode_strided<U, true, F> : &decode_strided<U, false, F>;
        }
    };
    switch (column.kind) {
    case Kind::f32:
        return choose(std::uint32_t{}, std::true_type{});
    case Kind::f64:
        return choose(std::uint64_t{}, std::true_type{});
    case Kind::u8:
        return choose(std::uint8_t{}, std::false_type{});
    case Kind::u16:
        return choose(std::uint16_t{}, std::false_type{});
    case Kind::u32:
        return choose(std::uint32_t{}, std::false_type{});
    case Kind::u64:
        return choose(std::uint64_t{}, std::false_type{});
    case Kind::uint_n:
        if constexpr (!Flat) {
            switch (column.width) {
            case 3:
                return column.swap ? &decode_uint_n<3, true> : &decode_uint_n<3, false>;
            case 5:
                return column.swap ? &decode_uint_n<5, true> : &decode_uint_n<5, false>;
            case 6:
                return column.swap ? &decode_uint_n<6, true> : &decode_uint_n<6, false>;
            case 7:
                return column.swap ? &decode_uint_n<7, true> : &decode_uint_n<7, false>;
            default:
                break;
            }
        }
        break;
    case Kind::generic:
        break;
    }
    return Fn{nullptr};
}

void decode(const unsigned char* data, std::size_t num_events, std::size_t event_bytes,
            const std::vector<Column>& columns, double* out) {
    const std::size_t npar = columns.size();
    if (num_events == 0 || npar == 0) {
        return;
    }
    const Column& first = columns.front();
    const bool uniform = first.kind != Kind::generic && first.kind != Kind::uint_n &&
                         event_bytes == npar * first.width &&
                         std::all_of(columns.begin(), columns.end(), [&](const Column& c) {
                             return c.kind == first.kind && c.swap == first.swap && c.mask == first.mask;
                         });
    if (uniform) {
        pick<true>(first)(data, num_events * npar, first.mask, out);
        return;
    }
    std::vector<StridedFn> functions(npar);
    for (std::size_t c = 0; c < npar; ++c) {
        functions[c] = pick<false>(columns[c]);
    }
    // Blocks of events small enough to stay in the cache while every channel is decoded.
    const std::size_t block = std::max<std::size_t>(1, (64 * 1024) / event_bytes);
    for (std::size_t start = 0; start < num_events; start += block) {
        const std::size_t count = std::min(block, num_events - start);
        const unsigned char* events = data + start * event_bytes;
        double* rows = out + start * npar;
        for (std::size_t c = 0; c < npar; ++c) {
            if (functions[c] != nullptr) {
                functions[c](events + columns[c].offset, count, event_bytes, columns[c].mask, rows + c, npar);
            } else {
                decode_generic(columns[c], events + columns[c].offset, count, event_bytes, rows + c, npar);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Byte order

/// $BYTEORD as the significance (0 = least) of each stored byte of a word.
struct ByteOrder {
    std::vector<unsigned> significance;
    bool ascending() const {
        for (std::size_t i = 0; i < significance.size(); ++i) {
            if (significance[i] != i) {
                return false;
            }
        }
        return true;
    }
    bool descending() const {
        for (std::size_t i = 0; i < significance.size(); ++i) {
            if (significance[i] != significance.size() - 1 - i) {
                return false;
            }
        }
        return true;
    }
};

ByteOrder parse_byte_order(const std::string& text, const std::string& name) {
    ByteOrder order;
    std::string_view rest = trim(text);
    std::vector<bool> seen;
    while (true) {
        const std::size_t comma = rest.find(',');
        std::uint64_t number = 0;
        if (!parse_unsigned(rest.substr(0, comma), number) || number < 1 || number > 8 ||
            order.significance.size() >= 8) {
            refuse(name, "is not a valid FCS file: its $BYTEORD " + shown(text) +
                             " is not a list of byte numbers such as 1,2,3,4 or 4,3,2,1.");
        }
        order.significance.push_back(static_cast<unsigned>(number - 1));
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    const std::size_t n = order.significance.size();
    seen.assign(n, false);
    for (const unsigned s : order.significance) {
        if (s >= n || seen[s]) {
            refuse(name, "is not a valid FCS file: its $BYTEORD " + shown(text) +
                             " is not an order of the byte numbers 1 to " + std::to_string(n) + ".");
        }
        seen[s] = true;
    }
    return order;
}

/**
 * The stored order of a value of `width` bytes under $BYTEORD: little- and big-endian orders
 * apply to any width; a mixed order (3,4,1,2 or 2,1,4,3) applies to values of its own width and,
 * for narrower values that divide it, as the relative order of its first bytes (3,4,1,2 stores
 * 16-bit values least significant byte first, as the PDP-11 that wrote such files did).
 */
void set_order(Column& column, const ByteOrder& order, const std::string& byteord_text, std::size_t channel,
               const std::string& name) {
    const std::size_t width = column.width;
    const std::size_t n = order.significance.size();
    bool little = order.ascending();
    bool big = !little && order.descending();
    if (width == 1) {
        little = true;
        big = false;
    }
    std::vector<unsigned> significance;
    if (little || big) {
        for (std::size_t b = 0; b < width; ++b) {
            significance.push_back(static_cast<unsigned>(little ? b : width - 1 - b));
        }
    } else if (width == n) {
        significance = order.significance;
    } else if (width < n && n % width == 0) {
        for (std::size_t b = 0; b < width; ++b) {
            unsigned rank = 0;
            for (std::size_t k = 0; k < width; ++k) {
                rank += order.significance[k] < order.significance[b] ? 1u : 0u;
            }
            significance.push_back(rank);
        }
        little = true;
        big = true;
        for (std::size_t b = 0; b < width; ++b) {
            little = little && significance[b] == b;
            big = big && significance[b] == width - 1 - b;
        }
    } else {
        std::ostringstream message;
        message << "cannot be read: its mixed byte order $BYTEORD " << shown(byteord_text)
                << " does not say how the " << width << "-byte values of channel " << channel
                << " are stored.";
        refuse(name, message.str());
    }
    const bool fixed = width == 1 || width == 2 || width == 4 || width == 8;
    if (fixed && (little || big)) {
        column.swap = width > 1 && (little != detail::host_little_endian());
        return;
    }
    if ((little || big) && !column.is_float && width < 8) {
        column.kind = Kind::uint_n;
        column.swap = big;
        return;
    }
    column.kind = Kind::generic;
    for (std::size_t b = 0; b < width; ++b) {
        column.shift[b] = 8 * significance[b];
    }
}

// ---------------------------------------------------------------------------------------------
// Numbers in the HEADER and the TEXT

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

/// An optional whole-number keyword; `fallback` when absent.
std::uint64_t text_unsigned(const Keywords& keywords, const Lookup& lookup, const std::string& key,
                            std::uint64_t fallback, const std::string& name, bool* present = nullptr) {
    const std::string* value = lookup.find(keywords, key);
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

struct Segment {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    bool empty() const { return begin == 0 && end == 0; }
};

/// Checks that a segment lies inside the file, after the HEADER; returns its length.
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

// ---------------------------------------------------------------------------------------------
// Where the bytes come from

/// The bytes of a file, fetched one range at a time; every range lies inside the file.
class Source {
public:
    explicit Source(std::uint64_t size) : size_(size) {}
    virtual ~Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    std::uint64_t size() const { return size_; }
    /// Bytes [offset, offset + length); valid until the next call.
    virtual std::string_view bytes(std::uint64_t offset, std::size_t length) = 0;

private:
    std::uint64_t size_;
};

class MemorySource final : public Source {
public:
    explicit MemorySource(std::string_view bytes) : Source(bytes.size()), bytes_(bytes) {}
    std::string_view bytes(std::uint64_t offset, std::size_t length) override {
        return bytes_.substr(static_cast<std::size_t>(offset), length);
    }

private:
    std::string_view bytes_;
};

/// A file read range by range into one reused buffer: the DATA segment is read in blocks and
/// decoded as it comes, so a file is never held in memory twice.
class FileSource final : public Source {
public:
    FileSource(std::ifstream& stream, std::uint64_t size, const std::string& name)
        : Source(size), stream_(stream), name_(name) {}
    std::string_view bytes(std::uint64_t offset, std::size_t length) override {
        buffer_.resize(length);
        stream_.clear();
        stream_.seekg(static_cast<std::streamoff>(offset));
        stream_.read(buffer_.data(), static_cast<std::streamsize>(length));
        if (static_cast<std::size_t>(stream_.gcount()) != length) {
            std::ostringstream message;
            message << "cannot be read completely: reading " << length << " bytes at byte offset " << offset
                    << " failed (was the file changed while it was read?).";
            refuse(name_, message.str());
        }
        return std::string_view(buffer_.data(), length);
    }

private:
    std::ifstream& stream_;
    const std::string& name_;
    std::string buffer_;
};

FcsFile parse(Source& source, const std::string& name) {
    const std::uint64_t file_size = source.size();
    FcsFile file;
    file.path = name;

    // HEADER
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
    file.version = std::string(version);
    const bool version2 = version == "FCS2.0";
    if (bytes.size() < header_size) {
        std::ostringstream message;
        message << "is cut short: its HEADER needs 58 bytes, but the file holds only " << file_size << ".";
        refuse(name, message.str());
    }
    const Segment text_segment{header_offset(bytes, 0, "TEXT start", name),
                               header_offset(bytes, 1, "TEXT end", name)};
    Segment data_segment{header_offset(bytes, 2, "DATA start", name),
                         header_offset(bytes, 3, "DATA end", name)};
    Segment analysis_segment{header_offset(bytes, 4, "ANALYSIS start", name),
                             header_offset(bytes, 5, "ANALYSIS end", name)};

    // Primary TEXT
    if (text_segment.empty()) {
        refuse(name, "is not a valid FCS file: its HEADER gives no TEXT segment (offsets 0).");
    }
    const std::uint64_t text_length = check_segment(text_segment, file_size, "TEXT", name);
    if (text_length < 2) {
        refuse(name, "is not a valid FCS file: its TEXT segment is empty.");
    }
    parse_text(source.bytes(text_segment.begin, static_cast<std::size_t>(text_length)), text_segment.begin,
               "TEXT", name, file.keywords);
    Lookup lookup;
    lookup.add(file.keywords, 0);

    // Supplemental TEXT (FCS 3.0 and later)
    if (!version2) {
        const Segment stext{text_unsigned(file.keywords, lookup, "$BEGINSTEXT", 0, name),
                            text_unsigned(file.keywords, lookup, "$ENDSTEXT", 0, name)};
        const std::uint64_t stext_length = check_segment(stext, file_size, "supplemental TEXT", name);
        if (stext_length > 0 && stext.begin != text_segment.begin) {
            const std::size_t from = file.keywords.size();
            parse_text(source.bytes(stext.begin, static_cast<std::size_t>(stext_length)), stext.begin,
                       "supplemental TEXT", name, file.keywords);
            lookup.add(file.keywords, from);
        }
    }
    const Keywords& keywords = file.keywords;
    auto find = [&](const std::string& key) { return lookup.find(keywords, key); };

    // Mode, data type, byte order
    if (const std::string* mode = find("$MODE")) {
        const std::string value = key_of(*mode);
        if (value != "L") {
            refuse(name, "holds data in mode $MODE " + shown(*mode) +
                             " (histograms), but only list-mode data ($MODE L) can be read.");
        }
    }
    const std::string* datatype = find("$DATATYPE");
    if (datatype == nullptr) {
        refuse(name, "is not a valid FCS file: its TEXT has no $DATATYPE.");
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
    file.data_type = type[0];
    const std::string* byteord = find("$BYTEORD");
    if (byteord == nullptr) {
        refuse(name, "is not a valid FCS file: its TEXT has no $BYTEORD.");
    }
    const ByteOrder order = parse_byte_order(*byteord, name);

    // Channels
    bool has_par = false;
    const std::uint64_t npar = text_unsigned(keywords, lookup, "$PAR", 0, name, &has_par);
    if (!has_par) {
        refuse(name, "is not a valid FCS file: its TEXT has no $PAR (number of channels).");
    }
    if (npar == 0) {
        refuse(name, "holds no channels: its $PAR is 0.");
    }
    if (npar > keywords.size()) {
        std::ostringstream message;
        message << "is not a valid FCS file: its $PAR declares " << npar
                << " channels, but its TEXT holds only " << keywords.size() << " keywords.";
        refuse(name, message.str());
    }
    file.channels.resize(npar);
    std::vector<Column> columns(npar);
    std::size_t event_bytes = 0;
    for (std::size_t n = 1; n <= npar; ++n) {
        Channel& channel = file.channels[n - 1];
        Column& column = columns[n - 1];
        const std::string prefix = "$P" + std::to_string(n);
        const std::string* name_value = find(prefix + "N");
        channel.name = name_value != nullptr ? *name_value : "P" + std::to_string(n);
        if (const std::string* label = find(prefix + "S")) {
            channel.label = *label;
        }
        const std::string* bits_text = find(prefix + "B");
        if (bits_text == nullptr) {
            refuse(name, "is not a valid FCS file: its TEXT does not give the width of channel " +
                             std::to_string(n) + " (" + prefix + "B).");
        }
        std::uint64_t bits = 0;
        if (!parse_unsigned(*bits_text, bits)) {
            refuse(name, "cannot be read: the width of channel " + std::to_string(n) + ", " + prefix + "B " +
                             shown(*bits_text) + ", is not a number of bits.");
        }
        if (const std::string* range = find(prefix + "R")) {
            channel.range_text = *range;
            if (!parse_number(*range, channel.range) || channel.range < 0) {
                refuse(name, "is not a valid FCS file: the range of channel " + std::to_string(n) + ", " +
                                 prefix + "R " + shown(*range) + ", is not a number.");
            }
        }
        if (const std::string* amplification = find(prefix + "E")) {
            parse_amplification(*amplification, channel, n, name);
        }
        std::ostringstream message;
        if (file.data_type == 'F' && bits != 32) {
            message << "is not a valid FCS file: channel " << n << " of its float data ($DATATYPE F) has "
                    << prefix << "B " << bits << " instead of 32.";
            refuse(name, message.str());
        }
        if (file.data_type == 'D' && bits != 64) {
            message << "is not a valid FCS file: channel " << n << " of its double data ($DATATYPE D) has "
                    << prefix << "B " << bits << " instead of 64.";
            refuse(name, message.str());
        }
        if (file.data_type == 'I') {
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
        column.width = static_cast<std::size_t>(bits / 8);
        column.offset = event_bytes;
        event_bytes += column.width;
        switch (column.width) {
        case 1:
            column.kind = Kind::u8;
            break;
        case 2:
            column.kind = Kind::u16;
            break;
        case 4:
            column.kind = file.data_type == 'F' ? Kind::f32 : Kind::u32;
            break;
        case 8:
            column.kind = file.data_type == 'D' ? Kind::f64 : Kind::u64;
            break;
        default:
            column.kind = Kind::generic;
            break;
        }
        column.is_float = file.data_type != 'I';
        column.mask = file.data_type == 'I' ? range_mask(channel.range, static_cast<std::size_t>(bits)) : 0;
        set_order(column, order, *byteord, n, name);
    }
    // The channels' other keywords ($PnV, $PnG, $PnD, ...), first occurrence of each.
    for (const auto& [key_name, value] : keywords) {
        const std::string key = key_of(key_name);
        std::uint64_t number = 0;
        std::string_view suffix;
        if (!detail::split_channel_keyword(key, number, suffix) || number < 1 || number > npar ||
            suffix.empty() || detail::is_core_channel_suffix(suffix)) {
            continue;
        }
        const std::string_view written = trim(key_name).substr(key.size() - suffix.size());
        auto& extra = file.channels[number - 1].keywords;
        const bool seen = std::any_of(extra.begin(), extra.end(),
                                      [&](const auto& entry) { return key_of(entry.first) == suffix; });
        if (!seen) {
            extra.emplace_back(std::string(written), value);
        }
    }

    // DATA segment
    if (!version2) {
        bool has_begin = false;
        bool has_end = false;
        const Segment text_data{text_unsigned(keywords, lookup, "$BEGINDATA", 0, name, &has_begin),
                                text_unsigned(keywords, lookup, "$ENDDATA", 0, name, &has_end)};
        if (data_segment.empty()) {
            data_segment = text_data;
        } else if (has_begin && has_end && !text_data.empty() &&
                   (text_data.begin != data_segment.begin || text_data.end != data_segment.end)) {
            std::ostringstream message;
            message
                << "disagrees with itself about where its DATA segment lies: the HEADER says byte offsets "
                << data_segment.begin << " to " << data_segment.end << ", $BEGINDATA and $ENDDATA say "
                << text_data.begin << " to " << text_data.end << ".";
            refuse(name, message.str());
        }
        if (analysis_segment.empty()) {
            analysis_segment = Segment{text_unsigned(keywords, lookup, "$BEGINANALYSIS", 0, name),
                                       text_unsigned(keywords, lookup, "$ENDANALYSIS", 0, name)};
        }
    }
    check_segment(analysis_segment, file_size, "ANALYSIS", name);
    const std::uint64_t data_length = check_segment(data_segment, file_size, "DATA", name);

    bool has_tot = false;
    std::uint64_t tot = text_unsigned(keywords, lookup, "$TOT", 0, name, &has_tot);
    if (!has_tot) {
        // FCS 2.0 does not require $TOT: the DATA segment must then hold whole events.
        if (data_length % event_bytes != 0) {
            std::ostringstream message;
            message << "does not agree with itself: it has no $TOT, and its DATA segment of " << data_length
                    << " bytes does not hold a whole number of events of " << event_bytes << " bytes.";
            refuse(name, message.str());
        }
        tot = data_length / event_bytes;
    }
    if (tot > 0 && data_segment.empty()) {
        std::ostringstream message;
        message << "is not a valid FCS file: it declares " << tot
                << " events ($TOT) but gives no DATA segment: the HEADER's offsets are 0"
                << (version2 ? "." : " and the TEXT has no $BEGINDATA and $ENDDATA.");
        refuse(name, message.str());
    }
    const std::uint64_t room = data_length / event_bytes;
    if (tot > room || data_length - tot * event_bytes >= event_bytes) {
        std::ostringstream message;
        message << "does not agree with itself: " << tot << " events ($TOT) of " << event_bytes << " bytes ("
                << npar << " channels) need ";
        if (tot > room) {
            message << "more than the " << data_length << " bytes of its DATA segment";
        } else {
            message << tot * event_bytes << " bytes, but its DATA segment holds " << data_length << " bytes";
        }
        message << " (room for " << room << " events).";
        refuse(name, message.str());
    }
    if (tot > std::numeric_limits<std::size_t>::max() / npar) {
        refuse(name, "cannot be read: it holds more values than this computer can address.");
    }
    file.num_events = static_cast<std::size_t>(tot);
    file.raw.resize(file.num_events * npar);
    // Blocks of about 4 MB, decoded as they are read.
    const std::size_t block_events = std::max<std::size_t>(1, (std::size_t{4} << 20) / event_bytes);
    for (std::size_t start = 0; start < file.num_events; start += block_events) {
        const std::size_t count = std::min(block_events, file.num_events - start);
        const std::string_view block =
            source.bytes(data_segment.begin + start * event_bytes, count * event_bytes);
        decode(reinterpret_cast<const unsigned char*>(block.data()), count, event_bytes, columns,
               file.raw.data() + start * npar);
    }

    // Further data sets
    if (const std::string* next = find("$NEXTDATA")) {
        std::uint64_t offset = 0;
        file.more_data_sets = !(parse_unsigned(*next, offset, true) && offset == 0);
    }
    return file;
}

} // namespace

FcsFile parse_fcs(std::string_view bytes, const std::string& name) {
    MemorySource source(bytes);
    return parse(source, name);
}

FcsFile read_fcs(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        refuse(path, "cannot be read: " + error.message() + ".");
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        refuse(path, "cannot be opened: " + std::string(std::strerror(errno)) + ".");
    }
    FileSource source(stream, size, path);
    return parse(source, path);
}

} // namespace fcs
