#ifndef PAIRMEND_FCS_INTERNAL_BYTE_SOURCE_HPP
#define PAIRMEND_FCS_INTERNAL_BYTE_SOURCE_HPP

// Where the reader's bytes come from: a file read range by range, or bytes already in memory.
// Not part of the public interface.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

namespace pairmend::fcs::detail {

/**
 * The bytes of one FCS file, fetched one range at a time. The reader checks every range against
 * size() before it asks for it. Not thread-safe: one reader uses a source at a time.
 */
class ByteSource {
public:
    explicit ByteSource(std::uint64_t size) : size_(size) {}
    virtual ~ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    /** The number of bytes of the file. */
    std::uint64_t size() const { return size_; }

    /**
     * Bytes [offset, offset + length), which lie inside the file; the view stays valid until the
     * next call.
     * @throws std::runtime_error naming the file when they cannot be read.
     */
    virtual std::string_view bytes(std::uint64_t offset, std::size_t length) = 0;

private:
    std::uint64_t size_;
};

/** Bytes already in memory; they must outlive the source. */
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : ByteSource(bytes.size()), bytes_(bytes) {}
    std::string_view bytes(std::uint64_t offset, std::size_t length) override;

private:
    std::string_view bytes_;
};

/**
 * A file read range by range into one reused buffer: the DATA segment is read in blocks and
 * decoded as it comes, so that a file is never held in memory twice.
 */
class FileSource final : public ByteSource {
public:
    /**
     * Opens the file at `path`, which also names it in messages.
     * @throws std::runtime_error "The file <path> cannot be read: ..." when its size cannot be
     *         learned (it does not exist, ...), "... cannot be opened: ..." when it cannot be opened.
     */
    explicit FileSource(const std::string& path);

    /** @throws std::runtime_error naming the file when fewer bytes than asked could be read. */
    std::string_view bytes(std::uint64_t offset, std::size_t length) override;

private:
    std::string path_;
    std::ifstream stream_;
    std::string buffer_;
};

} // namespace pairmend::fcs::detail

#endif
