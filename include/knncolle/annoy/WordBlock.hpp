#ifndef ANNOY_WORD_BLOCK_HPP
#define ANNOY_WORD_BLOCK_HPP

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace Annoy {

/**
 * A block of words that keeps its contents when it grows or shrinks, and zero-fills the words
 * it gains.
 *
 * The forest's node records live in one such block, which grows record by record while the trees
 * are built and is cut to size at the end. It is resized with realloc rather than by a vector's
 * copy: for a block this large the C library moves or trims its pages in place, so a resize never
 * holds the old and the new block at the same time. With several forests of a million points
 * being built side by side, that copy was a whole forest more memory per build.
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
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    WordBlock& operator=(WordBlock&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~WordBlock() { std::free(data_); }

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
            std::free(data_);
            data_ = nullptr;
            size_ = 0;
            return;
        }
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* grown = std::realloc(data_, n * sizeof(T));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(grown);
        if (n > size_) {
            std::memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
        }
        size_ = n;
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace Annoy

#endif
