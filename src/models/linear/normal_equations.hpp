// The pieces the least-squares estimators share: cross-products of the
// design matrix [1 | X] without materialising it, fitted values, and the
// Cholesky normal-equations solve.
#pragma once

#include <expected>

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// The design matrix Xd: a leading column of ones when intercept is set.
Matrix design_matrix(MatrixView x, bool intercept);

// G = Xd'Xd (k x k) and c = Xd'y (length k).
struct CrossProducts {
    Matrix g;
    Vector c;
};
CrossProducts cross_products(MatrixView x, VectorView y, bool intercept);

// Xd * beta, beta including the intercept at index 0 when intercept is set.
Vector fitted_values(MatrixView x, VectorView beta, bool intercept);

// Xd' diag(u) Xd, the middle of the heteroskedasticity-robust sandwich.
Matrix weighted_gram(MatrixView x, VectorView u, bool intercept);

// Which step of the Cholesky normal-equations solve failed.
enum class CholeskyStep { Factor, ForwardSolve, BackSolve, InverseForward, InverseBack };

struct NormalSolution {
    Vector beta;
    Matrix inverse;  // G^-1
};

// beta from L z = c, L' beta = z; G^-1 from L W = I, L' M = W.
std::expected<NormalSolution, CholeskyStep> cholesky_solve(const Matrix& g, VectorView c);

}  // namespace ordinata::models::linear
