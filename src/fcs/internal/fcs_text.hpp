#ifndef PAIRMEND_FCS_INTERNAL_FCS_TEXT_HPP
#define PAIRMEND_FCS_INTERNAL_FCS_TEXT_HPP

// Internal helpers of the FCS library: keyword names, numbers in TEXT values, text encoding and
// the machine's byte order.
// Not part of the public interface.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pairmend::fcs::detail {

/// The text without leading and trailing blanks (space, tab, CR, LF, NUL).
std::string_view trim(std::string_view text);

/// ASCII upper case of the trimmed text: the form in which keyword names are compared.
std::string key_of(std::string_view name);

/// A whole unsigned decimal number, blanks around it tolerated; an all-blank text is 0 only when
/// `blank_is_zero`. False when the text is anything else or does not fit in 64 bits.
bool parse_unsigned(std::string_view text, std::uint64_t& value, bool blank_is_zero = false);

/// A finite decimal number ("1024", "0.5", "1E4", "-3"), blanks around it tolerated.
bool parse_number(std::string_view text, double& value);

/// The shortest decimal text that reads back as the same double ("262144", "25.6708").
std::string format_number(double value);

/// For a channel keyword "$P<n><suffix>" (name already in key form): its number and suffix.
/// The suffix may be empty. False for every other name.
bool split_channel_keyword(std::string_view key, std::uint64_t& number, std::string_view& suffix);

/// True for the keywords of the layout and the segments ($BEGINDATA, $BYTEORD, $PAR, $TOT, ...),
/// name in key form.
bool is_layout_keyword(std::string_view key);

/// True for the channel suffixes that read_fcs turns into Channel members and write_fcs writes
/// itself: N, S, R, B, E and DATATYPE (suffix in upper case).
bool is_core_channel_suffix(std::string_view upper_suffix);

/// True when the text is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool is_utf8(std::string_view text);

/// The bytes read as ISO-8859-1 (Latin-1) and written as UTF-8.
std::string latin1_to_utf8(std::string_view text);

/// True when every byte is printable ASCII (32 to 126).
bool is_printable_ascii(std::string_view text);

/// True when this machine stores multi-byte numbers least significant byte first.
constexpr bool host_little_endian() {
#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return false;
#else
    return true;
#endif
}

} // namespace pairmend::fcs::detail

#endif
