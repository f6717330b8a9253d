#ifndef PAIRMEND_MODEL_CRC32_HPP
#define PAIRMEND_MODEL_CRC32_HPP

#include <cstddef>
#include <cstdint>

namespace pairmend::model::internal {

/**
 * The CRC-32 of `size` bytes as zlib's crc32() computes it (reflected polynomial 0xEDB88320,
 * initial value and final xor 0xFFFFFFFF): crc32("123456789") is 0xCBF43926.
 */
std::uint32_t crc32(const unsigned char* bytes, std::size_t size);

} // namespace pairmend::model::internal

#endif
