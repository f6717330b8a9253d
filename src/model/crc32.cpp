#include "crc32.hpp"

#include <array>

namespace pairmend::model::internal {

namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0][b] is the remainder of byte b shifted through the polynomial; tables[k][b] that of
// byte b followed by k zero bytes, so that eight bytes are folded in with eight lookups at once.
constexpr Tables make_tables() {
    Tables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1U) != 0 ? 0xEDB88320U ^ (value >> 1) : value >> 1;
        }
        tables[0][byte] = value;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const std::uint32_t before = tables[k - 1][byte];
            tables[k][byte] = tables[0][before & 0xFFU] ^ (before >> 8);
        }
    }
    return tables;
}

constexpr Tables tables = make_tables();

// The 32-bit number in the four bytes at `bytes`, least significant first.
std::uint32_t word(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

std::uint32_t crc32(const unsigned char* bytes, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFU;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint32_t low = word(bytes + i) ^ crc;
        const std::uint32_t high = word(bytes + i + 4);
        crc = tables[7][low & 0xFFU] ^ tables[6][(low >> 8) & 0xFFU] ^ tables[5][(low >> 16) & 0xFFU] ^
              tables[4][low >> 24] ^ tables[3][high & 0xFFU] ^ tables[2][(high >> 8) & 0xFFU] ^
              tables[1][(high >> 16) & 0xFFU] ^ tables[0][high >> 24];
    }
    for (; i < size; ++i) {
        crc = tables[0][(crc ^ bytes[i]) & 0xFFU] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFU;
}

} // namespace pairmend::model::internal
