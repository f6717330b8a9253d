#include "internal/principal_components.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace pairmend::report {

namespace {

/// Sweeps stop when the off-diagonal mass is this small compared with the diagonal.
constexpr double kOffDiagonalTolerance = 1e-22;
/// Cyclic Jacobi converges quadratically; this bound is never reached for symmetric input.
constexpr int kMaxSweeps = 100;

double off_diagonal_mass(const std::vector<double>& a, std::size_t n) {
    double sum = 0;
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = p + 1; q < n; ++q) {
            sum += a[p * n + q] * a[p * n + q];
        }
    }
    return sum;
}

double diagonal_mass(const std::vector<double>& a, std::size_t n) {
    double sum = 0;
    for (std::size_t p = 0; p < n; ++p) {
        sum += a[p * n + p] * a[p * n + p];
    }
    return sum;
}

} // namespace

SymmetricEigen symmetric_eigen(std::vector<double> a, std::size_t n) {
    if (a.size() != n * n) {
        throw std::invalid_argument("A symmetric eigen-decomposition needs a square matrix.");
    }
    // Mirror the upper triangle, so that the lower one may hold anything.
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = p + 1; q < n; ++q) {
            a[q * n + p] = a[p * n + q];
        }
    }
    // v holds the accumulated rotations; its columns become the eigenvectors.
    std::vector<double> v(n * n, 0.0);
    for (std::size_t p = 0; p < n; ++p) {
        v[p * n + p] = 1.0;
    }

    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        if (off_diagonal_mass(a, n) <= kOffDiagonalTolerance * diagonal_mass(a, n)) {
            break;
        }
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) {
                    continue;
                }
                // The rotation angle that zeroes a[p][q], in the numerically stable form.
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t =
                    (theta >= 0 ? 1.0 : -1.0) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p];
                    const double akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k];
                    const double aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p];
                    const double vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
        }
    }

    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Stable, so that equal eigenvalues keep the order of their columns.
    std::stable_sort(order.begin(), order.end(),
                     [&a, n](std::size_t x, std::size_t y) { return a[x * n + x] > a[y * n + y]; });

    SymmetricEigen result;
    result.values.reserve(n);
    result.vectors.reserve(n * n);
    for (const std::size_t column : order) {
        result.values.push_back(a[column * n + column]);
        std::size_t largest = 0;
        for (std::size_t k = 1; k < n; ++k) {
            if (std::abs(v[k * n + column]) > std::abs(v[largest * n + column])) {
                largest = k;
            }
        }
        const double sign = n > 0 && v[largest * n + column] < 0 ? -1.0 : 1.0;
        for (std::size_t k = 0; k < n; ++k) {
            result.vectors.push_back(sign * v[k * n + column] + 0.0);
        }
    }
    return result;
}

PrincipalAxes principal_axes(const std::vector<double>& rows, int ndim, std::size_t n, int count) {
    const auto width = static_cast<std::size_t>(std::max(ndim, 0));
    PrincipalAxes result;
    result.mean.assign(width, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < width; ++d) {
            result.mean[d] += rows[i * width + d];
        }
    }
    for (double& m : result.mean) {
        m = n > 0 ? m / static_cast<double>(n) : 0.0;
    }

    std::vector<double> covariance(width * width, 0.0);
    std::vector<double> centred(width);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < width; ++d) {
            centred[d] = rows[i * width + d] - result.mean[d];
        }
        for (std::size_t p = 0; p < width; ++p) {
            for (std::size_t q = p; q < width; ++q) {
                covariance[p * width + q] += centred[p] * centred[q];
            }
        }
    }
    const SymmetricEigen eigen = symmetric_eigen(std::move(covariance), width);

    const double total = std::accumulate(eigen.values.begin(), eigen.values.end(), 0.0);
    const std::size_t kept = std::min(width, static_cast<std::size_t>(std::max(count, 0)));
    result.axes.assign(eigen.vectors.begin(),
                       eigen.vectors.begin() + static_cast<std::ptrdiff_t>(kept * width));
    for (std::size_t a = 0; a < kept; ++a) {
        // Rounding can leave a tiny negative eigenvalue for a constant parameter.
        result.variance_share.push_back(total > 0 ? std::max(eigen.values[a], 0.0) / total : 0.0);
    }
    return result;
}

std::vector<double> project_onto_axes(const std::vector<double>& rows, const PrincipalAxes& axes) {
    const std::size_t width = axes.mean.size();
    const std::size_t count = width == 0 ? 0 : axes.axes.size() / width;
    const std::size_t n = width == 0 ? 0 : rows.size() / width;
    std::vector<double> coordinates(n * count, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t a = 0; a < count; ++a) {
            double sum = 0;
            for (std::size_t d = 0; d < width; ++d) {
                sum += (rows[i * width + d] - axes.mean[d]) * axes.axes[a * width + d];
            }
            coordinates[i * count + a] = sum;
        }
    }
    return coordinates;
}

} // namespace pairmend::report
