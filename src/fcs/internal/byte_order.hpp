#ifndef PAIRMEND_FCS_INTERNAL_BYTE_ORDER_HPP
#define PAIRMEND_FCS_INTERNAL_BYTE_ORDER_HPP

// $BYTEORD: the order in which the bytes of a stored value follow one another.
// Not part of the public interface.

#include "internal/data_decoding.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::fcs::detail {

/// $BYTEORD as the significance (0 = least) of each stored byte of a word.
struct ByteOrder {
    std::vector<unsigned> significance;
    /** True for 1,2,3,...: least significant byte first. */
    bool ascending() const;
    /** True for ...,3,2,1: most significant byte first. */
    bool descending() const;
};

/**
 * Reads $BYTEORD: a list of the byte numbers 1 to n (n at most 8) in some order.
 * @throws std::runtime_error naming the file when the text is anything else.
 */
ByteOrder parse_byte_order(const std::string& text, const std::string& name);

/**
 * Sets how a column of `column.width` bytes is stored under $BYTEORD (its kind, swap and shifts):
 * little- and big-endian orders apply to any width; a mixed order (3,4,1,2 or 2,1,4,3) applies
 * to values of its own width and, for narrower values that divide it, as the relative order of
 * its first bytes (3,4,1,2 stores 16-bit values least significant byte first, as the PDP-11 that
 * wrote such files did).
 * @throws std::runtime_error naming the file and channel `channel` (counted from 1) when a mixed
 *         order does not say how values of this width are stored.
 */
void set_order(Column& column, const ByteOrder& order, const std::string& byteord_text, std::size_t channel,
               const std::string& name);

} // namespace pairmend::fcs::detail

#endif
