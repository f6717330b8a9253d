#ifndef PAIRMEND_TOOLS_RANDOM_HPP
#define PAIRMEND_TOOLS_RANDOM_HPP

// Seeded random numbers whose sequence is the same on every platform.

#include <cmath>
#include <cstdint>
#include <random>

namespace pairmend::tools {

/** A range of values from `lower` to `upper`. A plain value type. */
struct Interval {
    double lower;
    double upper;
};

/**
 * A seeded source of uniform and normal variates. The standard library's distributions may differ
 * between implementations, so only the engine (std::mt19937_64, whose output is fixed by the
 * standard) is borrowed and every distribution is computed here.
 *
 * Not thread-safe: each thread needs its own instance.
 */
class Random {
public:
    /// Starts the sequence for `seed`.
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    /// 64 random bits, for seeding further sequences.
    std::uint64_t bits() { return engine_(); }

    /// A uniform double in [0, 1) with 53 random bits.
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

    /// A uniform double in [lower, upper).
    double uniform(double lower, double upper) { return lower + (upper - lower) * uniform(); }

    /// A uniform double in [range.lower, range.upper).
    double uniform(const Interval& range) { return uniform(range.lower, range.upper); }

    /// A uniform integer in [0, bound), without modulo bias; `bound` must be positive.
    std::uint64_t below(std::uint64_t bound) {
        // Values under this threshold would make the low residues over-represented.
        const std::uint64_t threshold = (0 - bound) % bound;
        while (true) {
            const std::uint64_t draw = engine_();
            if (draw >= threshold) {
                return draw % bound;
            }
        }
    }

    /// A standard normal variate (Box-Muller; the second variate of each pair is kept for the next call).
    double normal() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        // 1 - uniform() lies in (0, 1], so the logarithm is finite.
        const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
        const double angle = 2.0 * kPi * uniform();
        spare_ = radius * std::sin(angle);
        has_spare_ = true;
        return radius * std::cos(angle);
    }

private:
    static constexpr double kPi = 3.14159265358979323846;
    std::mt19937_64 engine_;
    double spare_ = 0.0;
    bool has_spare_ = false;
};

} // namespace pairmend::tools

#endif
