#ifndef ANNOY_WORD_BLOCK_HPP
#define ANNOY_WORD_BLOCK_HPP

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace Annoy {

/**
 * A block of words that keeps its contents when it grows or shrinks, and zero-fills the words
 * it gains.
 *
 * The forest's node records live in one such block, which grows by a factor while the trees are
 * built and is cut to size at the end. A vector's growth copies the block, so for a moment the old
 * and the new block were both alive: with several forests of a million points built side by side,
 * a whole forest more per build. On Linux the block is a private anonymous mapping that mremap
 * grows or trims in place (pages move, nothing is copied) and whose added pages are the kernel's
 * zero pages, so the room a block grows ahead of its records takes no memory until it is written.
 * Elsewhere realloc, which does the same for large blocks on common C libraries.
 *
 * Copies copy the words. Thread safety: none; one owner.
 */
template <typename T>
class WordBlock {
    static_assert(std::is_trivially_copyable<T>::value, "the words are moved as bytes");

public:
    WordBlock() = default;

    /// `n` zero-filled words.
    explicit WordBlock(std::size_t n) { resize(n); }

    WordBlock(const WordBlock& other) : WordBlock(other.size_) {
        if (size_ > 0) {
            std::memcpy(static_cast<void*>(data_), other.data_, size_ * sizeof(T));
        }
    }
    WordBlock& operator=(const WordBlock& other) {
        if (this != &other) {
            WordBlock copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    WordBlock(WordBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          mapped_(std::exchange(other.mapped_, 0)) {}
    WordBlock& operator=(WordBlock&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            mapped_ = std::exchange(other.mapped_, 0);
        }
        return *this;
    }
    ~WordBlock() { release(); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }

    /**
     * Changes the number of words to `n`, keeping the first min(n, size()) and zero-filling the
     * rest. On failure the block is unchanged.
     * @throws std::bad_alloc when the memory cannot be had.
     */
    void resize(std::size_t n) {
        if (n == size_) {
            return;
        }
        if (n == 0) {
            release();
            return;
        }
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - page_bytes()) {
            throw std::bad_alloc();
        }
        const std::size_t old_bytes = size_ * sizeof(T);
        const std::size_t new_bytes = n * sizeof(T);
#if defined(__linux__)
        // Pages the kernel adds are zero, so only the part of the old mapping that is used again
        // needs zeroing; untouched pages of a block that grew ahead take no memory.
        const std::size_t length = round_to_pages(new_bytes);
        void* moved = data_ == nullptr
                          ? mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                          : mremap(static_cast<void*>(data_), mapped_, length, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) {
            throw std::bad_alloc();
        }
        const std::size_t reused_end = std::min(new_bytes, mapped_);
        data_ = static_cast<T*>(moved);
        mapped_ = length;
#else
        void* moved = std::realloc(static_cast<void*>(data_), new_bytes);
        if (moved == nullptr) {
            throw std::bad_alloc();
        }
        const std::size_t reused_end = new_bytes;
        data_ = static_cast<T*>(moved);
#endif
        if (reused_end > old_bytes) {
            std::memset(reinterpret_cast<unsigned char*>(data_) + old_bytes, 0, reused_end - old_bytes);
        }
        size_ = n;
    }

private:
    void release() {
        if (data_ != nullptr) {
#if defined(__linux__)
            munmap(static_cast<void*>(data_), mapped_);
#else
            std::free(static_cast<void*>(data_));
#endif
        }
        data_ = nullptr;
        size_ = 0;
        mapped_ = 0;
    }

    static std::size_t page_bytes() {
#if defined(__linux__)
        static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return bytes;
#else
        return 1;
#endif
    }

    static std::size_t round_to_pages(std::size_t bytes) {
        const std::size_t page = page_bytes();
        return (bytes + page - 1) / page * page;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0; // bytes of the mapping (Linux only)
};

} // namespace Annoy

#endif
