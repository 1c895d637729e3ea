// Every LAPACK driver of the library: factorisations that also say how well
// they can be trusted (square factors with their exact condition number,
// Householder QR for least squares, the spectra the rank decisions read),
// triangular solves and minimum-norm least squares. LAPACK's scratch comes
// from Vector, so that a factorisation too large for memory fails with
// AllocationError naming it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "linalg/error.hpp"
#include "linalg/matrix.hpp"
#include "linalg/ops.hpp"

namespace ordinata::linalg {

// A factored square matrix: Cholesky (ipiv empty) or LU with partial
// pivoting, stored column-major, with its inverse (which every caller needs
// for the standard errors) and the exact reciprocal 1-norm condition number
// 1 / (||A||_1 ||A^-1||_1) read from it: for the small systems here that is
// cheaper than LAPACK's estimate, and never an underestimate of the
// condition.
struct SquareFactor {
    Vector factors;
    std::vector<std::int32_t> ipiv;
    index_t n = 0;
    Matrix inverse;
    double rcond = 0.0;

    bool is_cholesky() const { return ipiv.empty(); }
};

// dpotrf on the lower triangle; fails with INFO = i when the leading minor
// of order i is not positive.
LinalgResult<SquareFactor> factor_cholesky(MatrixView a);
// dgetrf; an exactly zero pivot fails with INFO = i.
LinalgResult<SquareFactor> factor_lu(MatrixView a);
// A^-1 b from the factors.
Vector factor_solve(const SquareFactor& f, VectorView b);
// The same, overwriting b.
void factor_solve_in_place(const SquareFactor& f, Vector& b);

// Householder QR of a tall m x n matrix (m >= n) applied to right-hand
// sides: R (n x n, upper) and the first n rows of Q'b (or Q'B).
struct QrFactor {
    Matrix r;
    Vector qtb;
};
LinalgResult<QrFactor> qr(MatrixView a, VectorView b);
struct QrFactorMany {
    Matrix r;
    Matrix qtb;
};
LinalgResult<QrFactorMany> qr(MatrixView a, MatrixView b);

// The R factor of a column-major m x n block, left in place: the upper
// triangle of its first min(m, n) rows holds R and everything below it is
// zeroed, so that more rows can be written below R and the block factored
// again, as a stacked QR folds in rows chunk by chunk. work holds at least
// triangularise_work(n) doubles.
LinalgResult<void> triangularise_in_place(double* a, index_t m, index_t n, index_t lda, double* work);
inline index_t triangularise_work(index_t n) { return n * 33 + 1; }

// Singular values in descending order (dgesvd without vectors).
LinalgResult<Vector> singular_values(MatrixView a);
// Singular values in descending order and the right singular vectors, the
// rows of vt (n x n): the directions along which the columns depend.
struct SingularDecomposition {
    Vector values;
    Matrix vt;
};
LinalgResult<SingularDecomposition> singular_decomposition(MatrixView a);
// Eigenvalues of a symmetric matrix in ascending order, from its lower triangle.
LinalgResult<Vector> symmetric_eigenvalues(MatrixView a);

// The 2-norm condition number sigma_max / sigma_min of a matrix with every
// column first scaled to unit length; independent of the row order. NaN
// when empty or not finite, +inf when a column is zero or it is singular.
double scaled_condition_number(MatrixView a);

// Column 2-norms that neither overflow nor underflow in the squares.
Vector column_norms(MatrixView a);

// Solves T x = b (dtrtrs, non-unit diagonal). A transposed view of a lower
// factor passed as Upper solves with L'.
LinalgResult<Vector> solve_triangular(MatrixView t, Triangle tri, VectorView b);
LinalgResult<Matrix> solve_triangular(MatrixView t, Triangle tri, MatrixView b);

template <class Solution>
struct LeastSquaresResult {
    Solution solution;
    Vector singular_values;
    std::int32_t rank = 0;
    std::optional<Vector> residual_sum_of_squares;
};

// Minimum-norm least squares by SVD (dgelsd): singular values below
// rcond * sigma_max are treated as zero (RCOND = -1: machine precision).
LinalgResult<LeastSquaresResult<Vector>> least_squares(MatrixView a, VectorView b, double rcond = -1.0);
LinalgResult<LeastSquaresResult<Matrix>> least_squares(MatrixView a, MatrixView b, double rcond = -1.0);

}  // namespace ordinata::linalg
