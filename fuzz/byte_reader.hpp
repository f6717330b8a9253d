#ifndef PAIRMEND_FUZZ_BYTE_READER_HPP
#define PAIRMEND_FUZZ_BYTE_READER_HPP

// Turns a fuzzer's bytes into numbers and choices. Every read is defined for every input:
// once the bytes run out, reads return zeros, so a short input is still a complete case.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pairmend_fuzz {

/// Reads integers and doubles from the front of a byte block. Not thread-safe; one reader per input.
class ByteReader {
public:
    /**
     * @param data The fuzzer's bytes; must outlive the reader.
     * @param size Number of bytes.
     */
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    /// The next `count` bytes (at most 8) as a little-endian unsigned number; missing bytes are 0.
    std::uint64_t bits(std::size_t count) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            value |= static_cast<std::uint64_t>(next_byte()) << (8 * i);
        }
        return value;
    }

    /// A number from `low` to `high` inclusive, taken from one byte (`high - low` below 256).
    int small(int low, int high) {
        const int span = high - low + 1;
        return low + static_cast<int>(next_byte() % static_cast<unsigned>(span));
    }

    /// Any 32-bit integer, negative and extreme values included.
    int any_int() { return static_cast<int>(static_cast<std::uint32_t>(bits(4))); }

    /// Any 64-bit pattern read as a double: NaN, infinities, subnormals and extremes included.
    double any_double() {
        const std::uint64_t pattern = bits(8);
        double value;
        std::memcpy(&value, &pattern, sizeof(value));
        return value;
    }

    /// True or false from one byte.
    bool flag() { return (next_byte() & 1u) != 0; }

    /// Number of bytes not yet read.
    std::size_t remaining() const { return size_ - position_; }

private:
    std::uint8_t next_byte() { return position_ < size_ ? data_[position_++] : 0; }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

} // namespace pairmend_fuzz

#endif
