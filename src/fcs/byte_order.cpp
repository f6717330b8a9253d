#include "internal/byte_order.hpp"

#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <cstdint>
#include <sstream>
#include <string_view>

namespace pairmend::fcs::detail {

bool ByteOrder::ascending() const {
    for (std::size_t i = 0; i < significance.size(); ++i) {
        if (significance[i] != i) {
            return false;
        }
    }
    return true;
}

bool ByteOrder::descending() const {
    for (std::size_t i = 0; i < significance.size(); ++i) {
        if (significance[i] != significance.size() - 1 - i) {
            return false;
        }
    }
    return true;
}

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
        column.swap = width > 1 && (little != host_little_endian());
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

} // namespace pairmend::fcs::detail
