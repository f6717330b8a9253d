#include "byte_codec.hpp"

#include <cstring>
#include <stdexcept>

namespace pairmend::model::internal {

namespace {

// The unsigned number stored in the `width` bytes at `bytes`, least significant byte first.
std::uint64_t little_endian(const unsigned char* bytes, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The double whose bits are the eight bytes at `bytes`, least significant byte first.
double double_at(const unsigned char* bytes) {
    const std::uint64_t bits = little_endian(bytes, 8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

void ByteWriter::unsigned_value(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes_.push_back(static_cast<unsigned char>((value >> (8 * i)) & 0xFFU));
    }
}

void ByteWriter::f64(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    u64(bits);
}

void ByteWriter::text(const std::string& value) {
    u32(static_cast<std::uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
}

void ByteWriter::f64s(const std::vector<double>& values) {
    bytes_.reserve(bytes_.size() + 8 * values.size());
    for (const double value : values) {
        f64(value);
    }
}

void ByteWriter::patch_u64(std::size_t offset, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        bytes_[offset + static_cast<std::size_t>(i)] = static_cast<unsigned char>((value >> (8 * i)) & 0xFFU);
    }
}

const unsigned char* ByteReader::take(std::size_t size, const char* what) {
    if (size > remaining_) {
        throw std::runtime_error(source_ + " is corrupt: its " + what + " needs " + std::to_string(size) +
                                 " bytes, but only " + std::to_string(remaining_) + " remain.");
    }
    const unsigned char* start = bytes_;
    bytes_ += size;
    remaining_ -= size;
    return start;
}

std::uint8_t ByteReader::u8() {
    return *take(1, "value");
}

std::uint32_t ByteReader::u32() {
    return static_cast<std::uint32_t>(little_endian(take(4, "value"), 4));
}

std::uint64_t ByteReader::u64() {
    return little_endian(take(8, "value"), 8);
}

double ByteReader::f64() {
    return double_at(take(8, "value"));
}

std::string ByteReader::text(const char* what) {
    const std::size_t size = room(u32(), 1, what);
    const unsigned char* bytes = take(size, what);
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

std::vector<double> ByteReader::f64s(std::uint64_t count, const char* what) {
    std::vector<double> values(room(count, 8, what));
    const unsigned char* bytes = take(values.size() * 8, what);
    for (double& value : values) {
        value = double_at(bytes);
        bytes += 8;
    }
    return values;
}

std::size_t ByteReader::room(std::uint64_t count, std::uint64_t item_size, const char* what) const {
    if (item_size != 0 && count > remaining_ / item_size) {
        throw std::runtime_error(source_ + " is corrupt: it declares " + std::to_string(count) + " " + what +
                                 ", more than the " + std::to_string(remaining_) +
                                 " bytes that remain can hold.");
    }
    return static_cast<std::size_t>(count);
}

ByteReader ByteReader::section(std::uint64_t size, const char* what) {
    const std::size_t checked = room(size, 1, what);
    const unsigned char* start = take(checked, what);
    return ByteReader(start, checked, source_);
}

} // namespace pairmend::model::internal
