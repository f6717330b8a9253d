#ifndef PAIRMEND_REPORT_PRINCIPAL_COMPONENTS_HPP
#define PAIRMEND_REPORT_PRINCIPAL_COMPONENTS_HPP

// Principal components of a small number of parameters (the report's 2-D view): a symmetric
// eigen-decomposition by Jacobi rotations and the projection of events onto the leading axes.
// Pure functions without shared state; safe to call from several threads.

#include <cstddef>
#include <vector>

namespace pairmend::report {

/** Eigenvalues and eigenvectors of a symmetric matrix. A plain value; safe to read from several threads. */
struct SymmetricEigen {
    std::vector<double> values;  ///< the eigenvalues in decreasing order.
    std::vector<double> vectors; ///< eigenvector i in values [i * n, (i + 1) * n), of unit length.
};

/**
 * Eigen-decomposition of a symmetric n x n matrix by cyclic Jacobi rotations: exact to rounding for
 * the small matrices of the report (up to about 64 rows), and the same on every machine. Each
 * eigenvector's sign is fixed so that its largest-magnitude entry (the first of equal ones) is
 * positive, so that a figure built from it never flips between runs.
 *
 * @param matrix the n x n values, row after row; only the upper triangle is read.
 * @param n      the number of rows and columns.
 * @return the decomposition.
 * @throws std::invalid_argument when matrix does not hold n * n values.
 */
SymmetricEigen symmetric_eigen(std::vector<double> matrix, std::size_t n);

/** The leading principal axes of a set of events. A plain value; safe to read from several threads. */
struct PrincipalAxes {
    std::vector<double> mean;           ///< one value per parameter: where the axes cross.
    std::vector<double> axes;           ///< axis a in values [a * ndim, (a + 1) * ndim), of unit length.
    std::vector<double> variance_share; ///< per axis, its share of the total variance (0 to 1).
};

/**
 * The `count` leading principal axes of `n` events (covariance about the mean, computed in one
 * fixed order). Fewer axes are returned when there are fewer parameters.
 *
 * @param rows  n events of ndim values each, event after event; finite values only.
 * @param ndim  the number of parameters.
 * @param n     the number of events; with none, the mean is 0 and the axes are the first unit vectors.
 * @param count the number of axes wanted.
 * @return the axes.
 */
PrincipalAxes principal_axes(const std::vector<double>& rows, int ndim, std::size_t n, int count);

/**
 * Coordinates of events on principal axes.
 *
 * @param rows  events of axes.mean.size() values each, event after event.
 * @param axes  from principal_axes.
 * @return per event, one coordinate per axis, event after event.
 */
std::vector<double> project_onto_axes(const std::vector<double>& rows, const PrincipalAxes& axes);

} // namespace pairmend::report

#endif
