// The pieces the least-squares estimators share: cross-products of the
// design matrix [1 | X] without materialising it, fitted values, and the
// Cholesky normal-equations solve.
#pragma once

#include <expected>
#include <optional>

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

// With an intercept: column means, y mean, S = X~'X~ and X~'y~ for the
// centred X~ = X - 1 x_mean' and y~ = y - y_mean. Centring keeps the
// condition number of the slope problem from being squared by the ones
// column. The centred data are never materialised: each block of rows is
// centred into a small buffer and accumulated with the rank-k update.
struct CentredCrossProducts {
    Vector x_mean;
    double y_mean = 0.0;
    Matrix s;
    Vector sxy;
    bool x_finite = true;  // checked only when a copy was requested
};
// When copy is given (an n x p matrix), the same pass also copies x into it
// and checks that every element of x is finite.
CentredCrossProducts centred_cross_products(MatrixView x, VectorView y, Matrix* copy = nullptr);

// S = sum_i s_i^2 (x_i - c)(x_i - c)' and sum_i s_i^2 (x_i - c)(y_i - cy),
// accumulated block by block without an n-row copy (c empty: no centring).
struct ScaledCrossProducts {
    Matrix s;
    Vector sxy;
};
ScaledCrossProducts scaled_cross_products(MatrixView x, VectorView y, VectorView scale, const Vector* c, double cy);

// The training copy of x, absent when an element is NaN or infinite, and,
// when centre is set, the centred cross-products formed in the same pass.
struct CheckedCopy {
    std::optional<Matrix> x;
    std::optional<CentredCrossProducts> centred;
};
CheckedCopy copy_checked(MatrixView x, VectorView y, bool centre);

// The full (Xd'Xd)^-1 of the model with intercept from S^-1:
// [1/n + m'S^-1 m, -m'S^-1; -S^-1 m, S^-1] with m the column means.
Matrix inverse_from_centred(const Matrix& s_inv, VectorView x_mean, linalg::index_t n);
// The same for weighted observations centred at their weighted means, with
// total_weight the sum of the weights in place of n.
Matrix inverse_from_weighted_centred(const Matrix& s_inv, VectorView x_mean, double total_weight);

// Full parameter vector [y_mean - m'b, b] from the slopes b.
Vector with_intercept(VectorView slopes, VectorView x_mean, double y_mean);

// One step of iterative refinement from the residuals e of beta, with M the
// full (Xd'Xd)^-1. With an intercept (x_mean given) the correction is solved
// in centred form, S^-1 X~'e, which is where the accuracy is.
void refine(MatrixView x, const Vector* x_mean, const Matrix& m, VectorView e, Vector& beta);

// Xd * beta, beta including the intercept at index 0 when intercept is set.
Vector fitted_values(MatrixView x, VectorView beta, bool intercept);

// Residuals y - Xd beta and their sum of squares. The transformed-design
// estimators pass their explicit design with intercept = false.
struct ResidualFit {
    Vector e;
    double ssr;
};
ResidualFit residuals(MatrixView x, VectorView y, VectorView beta, bool intercept);

// Xd' diag(s)^2 Xd, the middle of the heteroskedasticity-robust sandwich
// when s holds the absolute residuals.
Matrix scaled_gram(MatrixView x, VectorView s, bool intercept);

// Which step of the Cholesky normal-equations solve failed.
enum class CholeskyStep { Factor, ForwardSolve, BackSolve, InverseForward, InverseBack };

struct NormalSolution {
    Vector beta;
    Matrix inverse;  // G^-1
};

// beta from L z = c, L' beta = z; G^-1 from L W = I, L' M = W.
std::expected<NormalSolution, CholeskyStep> cholesky_solve(const Matrix& g, VectorView c);

}  // namespace ordinata::models::linear
