#include "internal/byte_source.hpp"

#include "internal/refusal.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace pairmend::fcs::detail {

namespace {

/// The size of the file at `path`, learned before it is opened so that every offset it declares
/// can be checked against it.
std::uint64_t size_of(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        refuse(path, "cannot be read: " + error.message() + ".");
    }
    return size;
}

} // namespace

std::string_view MemorySource::bytes(std::uint64_t offset, std::size_t length) {
    return bytes_.substr(static_cast<std::size_t>(offset), length);
}

FileSource::FileSource(const std::string& path)
    : ByteSource(size_of(path)), path_(path), stream_(path, std::ios::binary) {
    if (!stream_) {
        refuse(path_, "cannot be opened: " + std::string(std::strerror(errno)) + ".");
    }
}

std::string_view FileSource::bytes(std::uint64_t offset, std::size_t length) {
    buffer_.resize(length);
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(buffer_.data(), static_cast<std::streamsize>(length));
    if (static_cast<std::size_t>(stream_.gcount()) != length) {
        std::ostringstream message;
        message << "cannot be read completely: reading " << length << " bytes at byte offset " << offset
                << " failed (was the file changed while it was read?).";
        refuse(path_, message.str());
    }
    return std::string_view(buffer_.data(), length);
}

} // namespace pairmend::fcs::detail
