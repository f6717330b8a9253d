#ifndef ANNOY_KISS64RANDOM_HPP
#define ANNOY_KISS64RANDOM_HPP

#include <cstddef>
#include <cstdint>

namespace Annoy {

/**
 * The 64-bit KISS generator: a linear congruential, a xorshift and a multiply-with-carry
 * generator combined by addition. It is small, fast and gives the same sequence on every
 * platform, which is what makes the forest reproducible.
 *
 * Thread safety: an instance is not safe to share between threads; each build owns its own.
 */
class Kiss64Random {
public:
    /// Seed used when none is given.
    static constexpr std::uint64_t default_seed = 1234567890987654321ULL;

    /// Creates a generator seeded with `seed`.
    explicit Kiss64Random(std::uint64_t seed = default_seed) { set_seed(seed); }

    /// Restarts the sequence from `seed`.
    void set_seed(std::uint64_t seed) {
        x = seed;
        y = 362436362436362436ULL;
        z = 1066149217761810ULL;
        c = 123456123456123456ULL;
    }

    /// Next 64-bit output; all arithmetic wraps modulo 2^64.
    std::uint64_t kiss() {
        // Linear congruential part.
        z = 6906969069ULL * z + 1234567ULL;

        // Xorshift part.
        y ^= (y << 13);
        y ^= (y >> 17);
        y ^= (y << 43);

        // Multiply-with-carry part.
        const std::uint64_t t = (x << 58) + c;
        c = (x >> 6);
        x += t;
        c += (x < t);

        return x + y + z;
    }

    /// A fair coin: the lowest bit of the next output.
    int flip() { return static_cast<int>(kiss() & 1ULL); }

    /// An index below `n` (which must be positive): the next output modulo `n`.
    std::size_t index(std::size_t n) { return static_cast<std::size_t>(kiss() % n); }

private:
    std::uint64_t x;
    std::uint64_t y;
    std::uint64_t z;
    std::uint64_t c;
};

} // namespace Annoy

#endif
