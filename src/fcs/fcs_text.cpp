#include "internal/fcs_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace pairmend::fcs::detail {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0';
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::string_view trim(std::string_view text) {
    std::size_t first = 0;
    while (first < text.size() && is_blank(text[first])) {
        ++first;
    }
    std::size_t last = text.size();
    while (last > first && is_blank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

std::string key_of(std::string_view name) {
    const std::string_view trimmed = trim(name);
    std::string key(trimmed);
    for (char& c : key) {
        c = upper(c);
    }
    return key;
}

bool parse_unsigned(std::string_view text, std::uint64_t& value, bool blank_is_zero) {
    const std::string_view digits = trim(text);
    if (digits.empty()) {
        value = 0;
        return blank_is_zero;
    }
    std::uint64_t result = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool parse_number(std::string_view text, double& value) {
    std::string_view number = trim(text);
    if (!number.empty() && number.front() == '+') {
        number.remove_prefix(1);
    }
    if (number.empty()) {
        return false;
    }
    double result = 0;
    const char* end = number.data() + number.size();
    const auto [ptr, error] = std::from_chars(number.data(), end, result, std::chars_format::general);
    if (error != std::errc() || ptr != end || !std::isfinite(result)) {
        return false;
    }
    value = result;
    return true;
}

std::string format_number(double value) {
    std::array<char, 64> buffer{};
    const auto [ptr, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    if (error != std::errc()) {
        return "0";
    }
    return std::string(buffer.data(), ptr);
}

bool split_channel_keyword(std::string_view key, std::uint64_t& number, std::string_view& suffix) {
    if (key.size() < 3 || key[0] != '$' || key[1] != 'P' || key[2] < '0' || key[2] > '9') {
        return false;
    }
    std::size_t end = 2;
    while (end < key.size() && key[end] >= '0' && key[end] <= '9') {
        ++end;
    }
    if (!parse_unsigned(key.substr(2, end - 2), number)) {
        number = UINT64_MAX; // too many digits: a channel keyword, but of no channel
    }
    suffix = key.substr(end);
    return true;
}

bool is_layout_keyword(std::string_view key) {
    static constexpr std::array<std::string_view, 12> layout = {
        "$BEGINANALYSIS", "$ENDANALYSIS", "$BEGINDATA", "$ENDDATA",  "$BEGINSTEXT", "$ENDSTEXT",
        "$BYTEORD",       "$DATATYPE",    "$MODE",      "$NEXTDATA", "$PAR",        "$TOT"};
    for (const std::string_view name : layout) {
        if (key == name) {
            return true;
        }
    }
    return false;
}

bool is_core_channel_suffix(std::string_view upper_suffix) {
    return upper_suffix == "N" || upper_suffix == "S" || upper_suffix == "R" || upper_suffix == "B" ||
           upper_suffix == "E" || upper_suffix == "DATATYPE";
}

bool is_utf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07u;
        } else {
            return false;
        }
        if (n - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string latin1_to_utf8(std::string_view text) {
    std::string result;
    result.reserve(text.size() + text.size() / 4);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            result.push_back(c);
        } else {
            result.push_back(static_cast<char>(0xC0u | (byte >> 6)));
            result.push_back(static_cast<char>(0x80u | (byte & 0x3Fu)));
        }
    }
    return result;
}

bool is_printable_ascii(std::string_view text) {
    for (const char c : text) {
        if (c < 32 || c > 126) {
            return false;
        }
    }
    return true;
}

} // namespace pairmend::fcs::detail
