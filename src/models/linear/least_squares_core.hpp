// The least-squares core every estimator solves through: the normal
// equations of its (centred, weighted, whitened or demeaned) design, scaled
// to unit diagonal, factored by the route's factorisation, with their
// condition estimate deciding whether the design must be looked at itself.
//
// Singularity is decided as numpy's matrix_rank does, on the design with
// every column scaled to unit Euclidean length: singular when
// sigma_min / sigma_max < max(n, k) * eps. Well-conditioned systems are
// solved from their k x k factorisation; ill-conditioned but full-rank
// designs by Householder QR, which keeps the digits the normal equations
// square away.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <utility>

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::index_t;
using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// max(n, k) * eps: the relative singular-value cut-off.
double rank_tolerance(index_t n, index_t k);

// Below this reciprocal condition estimate of the unit-diagonal normal
// equations (a design condition number above about 1e4) the design itself is
// examined, and the fit solved by QR when it is not singular: the normal
// equations would keep fewer than about eight digits.
inline constexpr double kExamineBelowRcond = 1e-4;
// A column whose centred (or demeaned) part is below this fraction of its
// raw length lies close to the intercept (or the entity effects).
inline constexpr double kOffsetColumnBelow = 1e-4;

enum class Factorisation {
    CholeskyThenLu,  // Cholesky; LU silently when not positive definite
    Cholesky,        // Cholesky only
    Lu,              // LU with partial pivoting
};

// A vector the problem reads: borrowed from whoever built the problem (who
// outlives the solve), or held by the problem itself when assigned one.
class ProblemVector {
public:
    ProblemVector() = default;
    static ProblemVector borrow(const Vector* v) {
        ProblemVector out;
        out.borrowed_ = v;
        return out;
    }
    ProblemVector& operator=(Vector v) {
        owned_ = std::move(v);
        borrowed_ = nullptr;
        return *this;
    }
    const Vector* get() const { return owned_ ? &*owned_ : borrowed_; }
    explicit operator bool() const { return get() != nullptr; }
    const Vector& operator*() const { return *get(); }

private:
    std::optional<Vector> owned_;
    const Vector* borrowed_ = nullptr;
};

// min || t - A b || seen through its normal equations g = A'A, c = A't,
// A the design after whatever centring, weighting, whitening or demeaning
// the estimator applies.
struct LeastSquaresProblem {
    const Matrix* g = nullptr;  // p x p
    const Vector* c = nullptr;  // p; null when only g^-1 is wanted
    index_t n = 0;              // rows of the design
    index_t k = 0;              // parameters, intercept included
    // Lengths of the design columns before centring or demeaning: the scale
    // on which singularity is judged. Empty: the columns of A themselves.
    ProblemVector raw_norms;
    // With an intercept (A centred at the (weighted) means m):
    // sqrt(W) m_j / raw_j, the ones column's row of the R factor of the
    // scaled uncentred design, so its rank and condition can be read off.
    ProblemVector intercept_row;
    // A and t, formed only when the conditioning calls for them.
    std::function<std::pair<Matrix, Vector>()> materialise;
    // Row i of [A | t] in extended precision, for the small designs the
    // core factors that way; without it the rows of materialise are used.
    std::function<void(index_t, long double*)> extended_row;
    // A penalised system (ridge, alpha > 0) is well posed by construction.
    bool penalised = false;
};

struct LeastSquaresSolution {
    Vector beta;     // p; empty when c was null
    Matrix inverse;  // g^-1
    double rcond = 0.0;
    bool by_qr = false;
    // || t - A beta ||^2 at the minimum, when the QR was carried out in
    // extended precision (small ill-conditioned designs).
    std::optional<double> ssr;
};

enum class SolveFailure { Singular };

std::expected<LeastSquaresSolution, SolveFailure> solve(const LeastSquaresProblem& problem, Factorisation route);

// The exactly identified system A b = c with A = Zd'Xd (k x k), scaled to
// unit-length columns of Zd and Xd. When its condition number says A may be
// singular, Zd, Xd and the scaled A are examined: a rank-deficient set of
// instruments or regressors, or instruments orthogonal to a regressor
// direction, make it singular. An ill-conditioned but regular system is
// solved through the QR factors of Zd = QR: (Q'Xd) b = Q'y, whose matrix is
// conditioned like the designs rather than like their product.
struct SquareProblem {
    const Matrix* a = nullptr;
    const Vector* c = nullptr;
    VectorView y;    // the target, for the QR solve of an ill-conditioned system
    Vector z_norms;  // column lengths of Zd
    Vector x_norms;  // column lengths of Xd
    index_t n = 0;
    std::function<std::pair<Matrix, Matrix>()> materialise;  // Zd and Xd
};
struct SquareSolution {
    Vector beta;
    Matrix inverse;  // A^-1
};
std::expected<SquareSolution, SolveFailure> solve_square(const SquareProblem& problem);

// sigma_min / sigma_max of a matrix with unit-length columns, 0 when a column
// is zero or the ratio cannot be computed.
double scaled_singular_ratio(MatrixView a);

// The R factor of a design, from its QR, with the columns then scaled by
// scale (R diag(scale)) and, when given, bordered by an intercept row:
// [[1, row'], [0, R diag(scale)]].
Matrix bordered_factor(const Matrix& r, VectorView scale, const Vector* row);

}  // namespace ordinata::models::linear
