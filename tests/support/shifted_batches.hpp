#ifndef PAIRMEND_TESTS_SHIFTED_BATCHES_HPP
#define PAIRMEND_TESTS_SHIFTED_BATCHES_HPP

// Synthetic batches for the correction engine: every batch holds the same Gaussian
// populations, moved by a batch-specific shift vector; plus an exhaustive count of the
// mutual nearest-neighbour pairs between two point sets, as an oracle for the drivers.

#include "brute_force.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace pairmend_test {

/**
 * `nobs` events in `centres.size() / ndim` populations (event i belongs to population
 * i % npops), each value drawn around its population centre plus `shift` with standard
 * deviation `sd`, from the fixed `seed`.
 */
inline std::vector<double> shifted_batch(int ndim, size_t nobs, const std::vector<double>& centres,
                                         const std::vector<double>& shift, double sd, std::uint64_t seed) {
    const size_t stride = static_cast<size_t>(ndim);
    const size_t npops = centres.size() / stride;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, sd);
    std::vector<double> out(stride * nobs);
    for (size_t i = 0; i < nobs; ++i) {
        const double* centre = centres.data() + (i % npops) * stride;
        for (size_t d = 0; d < stride; ++d) {
            out[i * stride + d] = centre[d] + shift[d] + noise(rng);
        }
    }
    return out;
}

/**
 * Number of mutual nearest-neighbour pairs between a reference and a target: pairs (r, t)
 * where t is among the `k` nearest targets of r and r among the `k` nearest reference events
 * of t, found by exhaustive search.
 */
inline size_t count_mutual_pairs(int ndim, size_t nref, const double* ref, size_t ntarget,
                                 const double* target, int k) {
    if (nref == 0 || ntarget == 0) {
        return 0;
    }
    const BruteForce ref_index(ndim, static_cast<int>(nref), ref);
    const BruteForce target_index(ndim, static_cast<int>(ntarget), target);
    const size_t stride = static_cast<size_t>(ndim);

    std::vector<std::vector<int>> targets_of_ref(nref);
    for (size_t r = 0; r < nref; ++r) {
        for (const auto& entry : target_index.find_nearest_neighbors(ref + r * stride, k)) {
            targets_of_ref[r].push_back(entry.first);
        }
    }

    size_t count = 0;
    for (size_t t = 0; t < ntarget; ++t) {
        for (const auto& entry : ref_index.find_nearest_neighbors(target + t * stride, k)) {
            const auto& back = targets_of_ref[static_cast<size_t>(entry.first)];
            if (std::find(back.begin(), back.end(), static_cast<int>(t)) != back.end()) {
                ++count;
            }
        }
    }
    return count;
}

} // namespace pairmend_test

#endif
