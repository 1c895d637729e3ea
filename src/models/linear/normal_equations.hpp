// The pieces the least-squares estimators share: cross-products of the
// design matrix [1 | X] without materialising it, fitted values, and the
// Cholesky normal-equations solve.
#pragma once

#include <expected>
#include <optional>

#include "linalg/matrix.hpp"
#include "models/linear/least_squares_core.hpp"

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
    bool x_finite = true;    // checked only when a copy was requested
    bool x_extreme = false;  // likewise: magnitudes whose squares leave the double range
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
    bool extreme = false;  // x holds magnitudes whose squares leave the double range
};
CheckedCopy copy_checked(MatrixView x, VectorView y, bool centre);
// Whether y holds no NaN or infinity. Either always reaches the mean of y,
// so a finite centred mean from the same pass spares the scan.
bool finite_target(const CheckedCopy& checked, VectorView y);

// The full (Xd'Xd)^-1 of the model with intercept from S^-1:
// [1/n + m'S^-1 m, -m'S^-1; -S^-1 m, S^-1] with m the column means.
Matrix inverse_from_centred(const Matrix& s_inv, VectorView x_mean, linalg::index_t n);
// The same for weighted observations centred at their weighted means, with
// total_weight the sum of the weights in place of n.
Matrix inverse_from_weighted_centred(const Matrix& s_inv, VectorView x_mean, double total_weight);

// Full parameter vector [y_mean - m'b, b] from the slopes b.
Vector with_intercept(VectorView slopes, VectorView x_mean, double y_mean);

// Xd * beta, beta including the intercept at index 0 when intercept is set.
Vector fitted_values(MatrixView x, VectorView beta, bool intercept);

// y - Xd beta in one buffer, as y - fitted_values(x, beta, intercept) is,
// element for element.
Vector residuals_in_place(MatrixView x, VectorView y, VectorView beta, bool intercept);

// Residuals y - Xd beta and their sum of squares. The transformed-design
// estimators pass their explicit design with intercept = false.
struct ResidualFit {
    Vector e;
    double ssr;
};
ResidualFit residuals(MatrixView x, VectorView y, VectorView beta, bool intercept);

// The same, accurate to about 2^-33 relative whatever BLAS kernel forms the
// product: where the rounding of y - Xd beta could reach that (the terms
// cancel, as on a near-perfect polynomial fit), the residuals are formed
// again in extended precision. column_lengths holds || x_j ||, y_length
// || y ||: with beta they bound the terms that cancel.
ResidualFit accurate_residuals(MatrixView x, VectorView y, VectorView beta, bool intercept, VectorView column_lengths,
                               double y_length);

// Xd' diag(s)^2 Xd, the middle of the heteroskedasticity-robust sandwich
// when s holds the absolute residuals.
Matrix scaled_gram(MatrixView x, VectorView s, bool intercept);

// The normal equations of y on [1 | X] in centred form, or of y on X, with
// what the core needs to judge their rank on the uncentred design. With
// weights the centring is at the weighted means and total_weight is their
// sum; otherwise it is n.
struct DesignSystem {
    Matrix g;
    Vector c;
    std::optional<Vector> x_mean;
    double y_mean = 0.0;
    double total_weight = 0.0;
    std::optional<Vector> raw_norms;
    std::optional<Vector> intercept_row;

    // The full parameters and (Xd'Xd)^-1 from those of the factored system.
    Vector expand_beta(VectorView b) const;
    // || x_j ||, the lengths of the uncentred (weighted) columns.
    Vector column_lengths() const;
    Matrix expand_inverse(Matrix m) const;
    // The problem the core solves; with_rhs false asks for the inverse only.
    LeastSquaresProblem problem(index_t n, bool with_rhs, std::function<std::pair<Matrix, Vector>()> materialise) const;
};
DesignSystem centred_system(CentredCrossProducts cc, index_t n);
DesignSystem plain_system(MatrixView x, VectorView y);
// The weighted system of sqrt(w) [1 | X] on sqrt(w) y, centred at the weighted
// means when intercept is set.
DesignSystem weighted_system(MatrixView x, VectorView y, VectorView w, VectorView s, bool intercept);

// The design the system describes, made explicit: rows (x_i - m) s_i and
// targets (y_i - y_mean) s_i (m and y_mean zero without an intercept, s one
// without weights).
std::pair<Matrix, Vector> explicit_design(MatrixView x, VectorView y, const DesignSystem& sys, const VectorView* s);
// Row i of the same design and target, [(x_i - m) s_i | (y_i - y_mean) s_i],
// formed in extended precision (every argument must outlive the function).
std::function<void(index_t, long double*)> explicit_design_row(MatrixView x, VectorView y, const DesignSystem& sys,
                                                               const VectorView* s);

// One step of iterative refinement of the factored system's solution b
// (the slopes with an intercept), with g_inv the inverse of sys.g: b += g_inv
// A'e for the residuals e of the design the system describes. With an
// intercept those are formed in centred form, (y - y_mean) - (X - 1m')b,
// which keeps the digits a large intercept would cancel away.
void refine(MatrixView x, VectorView y, const DesignSystem& sys, const Matrix& g_inv, Vector& b);

// mean(y - X b) in extended precision: the intercept for the slopes b
// without the cancellation of y_mean - m'b when the means are large.
double mean_offset(MatrixView x, VectorView y, VectorView b);

// R^2 with a cut-off relative to the data: a total sum of squares at the
// level of the rounding noise of the mean, (n eps)^2 sum w y^2, counts as a
// constant target and gives 0.
struct TotalSum {
    double tss = 0.0;
    double noise = 0.0;
    double sum_sq = 0.0;  // sum w y^2
};
TotalSum total_sum_of_squares(VectorView y, const VectorView* w = nullptr);

}  // namespace ordinata::models::linear
