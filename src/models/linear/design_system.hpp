// The normal equations of an estimator's design, in the form the
// least-squares core solves: y on [1 | X] in centred form, or y on X, with
// what the core needs to judge their rank on the uncentred design, and the
// explicit design the core forms when the conditioning calls for it.
#pragma once

#include <optional>
#include <utility>

#include "linalg/cross_products.hpp"
#include "linalg/matrix.hpp"
#include "models/linear/least_squares_problem.hpp"

namespace ordinata::models::linear {

// The design matrix Xd: a leading column of ones when intercept is set.
Matrix design_matrix(MatrixView x, bool intercept);

// The full (Xd'Xd)^-1 of the model with intercept from S^-1, for
// observations centred at their weighted means m, with total_weight the sum
// of the weights (n without weights):
// [1/W + m'S^-1 m, -m'S^-1; -S^-1 m, S^-1].
Matrix inverse_from_weighted_centred(const Matrix& s_inv, VectorView x_mean, double total_weight);

// Full parameter vector [y_mean - m'b, b] from the slopes b.
Vector with_intercept(VectorView slopes, VectorView x_mean, double y_mean);

// A fit of [1 | X - 1 m'] back on [1 | X]: the same model with the intercept
// b0 = g0 - m'g and (Xd'Xd)^-1 = T^-1 G^-1 T^-T, T^-1 = [1, -m'; 0, I]. Any
// pivot m will do (the columns need not be exactly centred): the fit on the
// shifted columns keeps the digits an offset would cancel, and the way back
// is exact up to the rounding of these few products.
void unshift(Vector& beta, Matrix& inverse, VectorView pivot);

// Column lengths read in place from the system that keeps them (its raw
// norms: no copy for a small fit to pay), or formed for the caller from the
// diagonal of g. Read while the system lives.
class ColumnLengths {
public:
    explicit ColumnLengths(const Vector* kept) : kept_(kept) {}
    explicit ColumnLengths(Vector&& formed) : formed_(std::move(formed)) {}
    VectorView view() const { return kept_ ? kept_->view() : formed_.view(); }

private:
    const Vector* kept_ = nullptr;
    Vector formed_;
};

// With weights the centring is at the weighted means and total_weight is
// their sum; otherwise it is n.
struct DesignSystem {
    Matrix g;
    Vector c;
    std::optional<Vector> x_mean;
    // The exact (unweighted) means less x_mean, where the centred
    // cross-products gave them.
    std::optional<Vector> x_mean_error;
    double y_mean = 0.0;
    double total_weight = 0.0;
    std::optional<Vector> raw_norms;
    std::optional<Vector> intercept_row;
    // The pivot the columns after the first were shifted by (see
    // LeastSquaresProblem::shift).
    std::optional<Vector> shift;
    // || x_j || of the columns before weighting, where the pass that formed
    // the system read them anyway: the residuals' rounding bound needs them.
    std::optional<Vector> unweighted_lengths;

    // The full parameters and (Xd'Xd)^-1 from those of the factored system.
    Vector expand_beta(VectorView b) const;
    // || x_j ||, the lengths of the uncentred (weighted) columns.
    ColumnLengths column_lengths() const;
    Matrix expand_inverse(Matrix m) const;
    // The same with m'g^-1 m and g^-1 m given (formed more accurately than
    // from the rounded g^-1).
    Matrix expand_inverse(Matrix m, double mean_quadratic, VectorView inverse_mean) const;
    // The problem the core solves, without its explicit design; with_rhs
    // false asks for the inverse only.
    LeastSquaresProblem problem(index_t n, bool with_rhs) const;
};
DesignSystem centred_system(linalg::CentredCrossProducts&& cc, index_t n);
// y on X, or on whatever design the estimator formed (whitened, demeaned).
DesignSystem plain_system(MatrixView x, VectorView y);
// The system of given normal equations g b = c, of a design with these
// column lengths (empty: g's own diagonal).
DesignSystem given_system(Matrix g, Vector c, std::optional<Vector> raw_norms = std::nullopt);
// The weighted system of sqrt(w) [1 | X] on sqrt(w) y, centred at the weighted
// means when intercept is set.
DesignSystem weighted_system(MatrixView x, VectorView y, VectorView w, VectorView s, bool intercept);

// The design the system describes, made explicit: rows (x_i - m) s_i and
// targets (y_i - y_mean) s_i (m and y_mean zero without an intercept, s one
// without weights).
std::pair<Matrix, Vector> explicit_design(MatrixView x, VectorView y, const DesignSystem& sys, const VectorView* s);
// Row i of the same design and target, [(x_i - m) s_i | (y_i - y_mean) s_i],
// formed in extended precision.
void explicit_design_row(MatrixView x, VectorView y, const DesignSystem& sys, const VectorView* s, index_t i,
                         long double* row);

}  // namespace ordinata::models::linear
