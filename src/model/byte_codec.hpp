#ifndef PAIRMEND_MODEL_BYTE_CODEC_HPP
#define PAIRMEND_MODEL_BYTE_CODEC_HPP

// Little-endian encoding of the model file's values, whatever the host's byte order, and a reader
// that refuses to read or allocate past the bytes it holds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::model::internal {

/// Appends values to a byte buffer, little-endian.
class ByteWriter {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u32(std::uint32_t value) { unsigned_value(value, 4); }
    void u64(std::uint64_t value) { unsigned_value(value, 8); }
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }
    /// The IEEE 754 bits of `value`.
    void f64(double value);
    /// Length (u32) then the bytes.
    void text(const std::string& value);
    void f64s(const std::vector<double>& values);
    /// Overwrites 8 bytes at `offset` with `value`.
    void patch_u64(std::size_t offset, std::uint64_t value);
    std::size_t size() const { return bytes_.size(); }
    std::vector<unsigned char>& bytes() { return bytes_; }

private:
    void unsigned_value(std::uint64_t value, int width);
    std::vector<unsigned char> bytes_;
};

/**
 * Reads little-endian values from a range of bytes. Every read checks the bytes remaining first;
 * `room` checks a declared count before anything is allocated for it.
 *
 * Messages name the file through `source` ("The model file x.pmm").
 */
class ByteReader {
public:
    ByteReader(const unsigned char* bytes, std::size_t size, std::string source)
        : bytes_(bytes), remaining_(size), source_(std::move(source)) {}

    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    double f64();
    std::string text(const char* what);
    /// `count` values read after `room(count, 8, what)`.
    std::vector<double> f64s(std::uint64_t count, const char* what);

    /**
     * Refuses `count` items of `item_size` bytes (what: "paired events") that do not fit the bytes
     * remaining, with a sentence naming the file; returns the count as a size.
     */
    std::size_t room(std::uint64_t count, std::uint64_t item_size, const char* what) const;

    /// A reader over the next `size` bytes, which this reader skips.
    ByteReader section(std::uint64_t size, const char* what);

    std::size_t remaining() const { return remaining_; }
    const std::string& source() const { return source_; }

private:
    const unsigned char* take(std::size_t size, const char* what);

    const unsigned char* bytes_;
    std::size_t remaining_;
    std::string source_;
};

} // namespace pairmend::model::internal

#endif
