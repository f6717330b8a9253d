#ifndef PAIRMEND_TESTS_POINT_SETS_HPP
#define PAIRMEND_TESTS_POINT_SETS_HPP

// Seeded point sets for tests and benchmarks.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace pairmend_test {

/// `nobs` points in `ndim` dimensions, uniform in [0, 1), from a fixed seed.
inline std::vector<double> uniform_points(int ndim, int nobs, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    std::vector<double> out(static_cast<size_t>(ndim) * static_cast<size_t>(nobs));
    for (auto& x : out) {
        x = unif(rng);
    }
    return out;
}

/**
 * `nobs` points from a mixture of `nclusters` Gaussian clusters with standard deviation
 * `sd`, centres uniform in [0, 10)^ndim, points assigned to clusters in turn.
 */
inline std::vector<double> clustered_points(int ndim, int nobs, int nclusters, double sd,
                                            std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unif(0.0, 10.0);
    std::normal_distribution<double> noise(0.0, sd);
    std::vector<double> centres(static_cast<size_t>(ndim) * static_cast<size_t>(nclusters));
    for (auto& c : centres) {
        c = unif(rng);
    }
    std::vector<double> out(static_cast<size_t>(ndim) * static_cast<size_t>(nobs));
    for (int i = 0; i < nobs; ++i) {
        const double* centre =
            centres.data() + static_cast<size_t>(i % nclusters) * static_cast<size_t>(ndim);
        for (int d = 0; d < ndim; ++d) {
            out[static_cast<size_t>(i) * static_cast<size_t>(ndim) + static_cast<size_t>(d)] =
                centre[d] + noise(rng);
        }
    }
    return out;
}

} // namespace pairmend_test

#endif
