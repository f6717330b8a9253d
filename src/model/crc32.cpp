#include "crc32.hpp"

#include <array>

namespace pairmend::model::internal {

namespace {

// One entry per byte value: the remainder of that byte shifted through the polynomial.
constexpr std::array<std::uint32_t, 256> make_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1U) != 0 ? 0xEDB88320U ^ (value >> 1) : value >> 1;
        }
        table[byte] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> table = make_table();

} // namespace

std::uint32_t crc32(const unsigned char* bytes, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ bytes[i]) & 0xFFU] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFU;
}

} // namespace pairmend::model::internal
