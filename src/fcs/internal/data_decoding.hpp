#ifndef PAIRMEND_FCS_INTERNAL_DATA_DECODING_HPP
#define PAIRMEND_FCS_INTERNAL_DATA_DECODING_HPP

// Decoding the values of the DATA segment, given how each channel stores them.
// Not part of the public interface.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pairmend::fcs::detail {

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

/**
 * Decodes `num_events` events of `event_bytes` bytes each, stored one after another from `data`,
 * into num_events * columns.size() values, event after event, at `out`.
 */
void decode(const unsigned char* data, std::size_t num_events, std::size_t event_bytes,
            const std::vector<Column>& columns, double* out);

} // namespace pairmend::fcs::detail

#endif
