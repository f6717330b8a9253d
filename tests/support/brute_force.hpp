#ifndef PAIRMEND_TESTS_BRUTE_FORCE_HPP
#define PAIRMEND_TESTS_BRUTE_FORCE_HPP

// Exhaustive k-nearest-neighbour search: the oracle against which the indices are tested
// and the baseline against which they are benchmarked.

#include "knncolle/Base.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace pairmend_test {

/// Brute-force index over a copy of the points; equal distances are ordered by index.
class BruteForce : public knncolle::Base<int, double, double> {
public:
    BruteForce(int ndim, int nobs, const double* data)
        : ndim_(ndim), nobs_(nobs),
          data_(data, data + static_cast<size_t>(ndim) * static_cast<size_t>(nobs)) {}

    int nobs() const override { return nobs_; }
    int ndim() const override { return ndim_; }

    using knncolle::Base<int, double, double>::observation;
    const double* observation(int index, double*) const override {
        return data_.data() + static_cast<size_t>(index) * static_cast<size_t>(ndim_);
    }

    knncolle::NeighborList<int, double> find_nearest_neighbors(int index, int k) const override {
        return search(observation(index, nullptr), k, index);
    }

    knncolle::NeighborList<int, double> find_nearest_neighbors(const double* query, int k) const override {
        return search(query, k, -1);
    }

private:
    knncolle::NeighborList<int, double> search(const double* query, int k, int skip) const {
        knncolle::NeighborList<int, double> all;
        all.reserve(static_cast<size_t>(nobs_));
        for (int i = 0; i < nobs_; ++i) {
            if (i == skip) {
                continue;
            }
            const double* point = data_.data() + static_cast<size_t>(i) * static_cast<size_t>(ndim_);
            double sum = 0;
            for (int d = 0; d < ndim_; ++d) {
                const double delta = point[d] - query[d];
                sum += delta * delta;
            }
            all.emplace_back(i, std::sqrt(sum));
        }
        std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
            return a.second < b.second || (a.second == b.second && a.first < b.first);
        });
        all.resize(std::min(all.size(), static_cast<size_t>(std::max(k, 0))));
        return all;
    }

    int ndim_;
    int nobs_;
    std::vector<double> data_;
};

/// Builder with the engine's builder signature, for driving the engine with the oracle.
inline std::shared_ptr<knncolle::Base<int, double, double>> build_brute_force(int ndim, size_t nobs,
                                                                              const double* data) {
    return std::make_shared<BruteForce>(ndim, static_cast<int>(nobs), data);
}

} // namespace pairmend_test

#endif
