// The least-squares core every estimator solves through. An estimator
// transforms its data (centres, weights, whitens, demeans or projects them),
// states the system, and hands it over with its route policy; the core
// chooses the route, decides the rank, and gives the parameters and the
// inverse of the normal equations.
//
// Singularity is decided as numpy's matrix_rank does, on the design with
// every column scaled to unit Euclidean length: singular when
// sigma_min / sigma_max < max(n, k) * eps. Well-conditioned systems are
// solved from their k x k factorisation; ill-conditioned but full-rank
// designs by Householder QR (in extended precision when small), which keeps
// the digits the normal equations square away.
#pragma once

#include <expected>
#include <optional>
#include <utility>
#include <vector>

#include "linalg/matrix.hpp"
#include "models/estimator_error.hpp"
#include "models/linear/design_system.hpp"
#include "models/linear/least_squares_problem.hpp"
#include "models/linear/routes.hpp"

namespace ordinata::models::linear {

// A fit stated for the router: its sizes, the data its system was formed
// from, and how to form the system and the explicit designs the routes may
// need.
struct RoutedProblem {
    index_t n = 0;        // rows
    index_t q = 0;        // parameters, as the route thresholds count them
    index_t columns = 0;  // columns of the design, intercept included
    // The rows the system describes: x (weighted by s when given) on y,
    // with an intercept when the system is centred.
    MatrixView x = {};
    VectorView y = {};
    const VectorView* s = nullptr;
    bool penalised = false;
    const Vector* penalty = nullptr;  // see LeastSquaresProblem::penalty
    // See LeastSquaresProblem::border.
    Borrowed<Matrix()> border = {};
    // The normal equations: formed already, or formed on demand.
    const DesignSystem* sys = nullptr;
    Borrowed<DesignSystem()> system = {};
    // The system's design [A | t] for the QR of an ill-conditioned fit;
    // empty: formed from x, y and s (and then in extended precision when small).
    Borrowed<std::pair<Matrix, Vector>()> materialise = {};
};

struct RoutedSolution {
    Route route = Route::Lu;
    Vector beta;     // intercept first when the system has one
    Matrix inverse;  // (Xd'Xd)^-1, intercept first likewise
    // The residual sum of squares at the minimum, when the route computed it
    // more accurately than the residuals of the rounded beta give it.
    std::optional<double> ssr;
};

Result<RoutedSolution> solve_routed(const RoutedProblem& problem, const RoutePolicy& policy);

// The normal equations alone: g^-1 and, when c is given, g^-1 c.
std::expected<LeastSquaresSolution, SolveFailure> solve(const LeastSquaresProblem& problem, Factorisation route);

std::expected<SquareSolution, SolveFailure> solve_square(const SquareProblem& problem);

// A least-squares problem stated by a few rows whose Gram is the design's:
// the R factor of the centred (weighted) rows merged from partitions, or the
// projected design in the instruments' coordinates. Solved from their QR,
// never from the Gram, so that the inverse is conditioned like the design.
struct FactoredProblem {
    MatrixView a = {};  // rows x p, with a'a the design's Gram
    VectorView t = {};  // the target in the same coordinates
    index_t n = 0;      // rows of the design
    index_t k = 0;      // parameters, intercept included
    // The design's column lengths, on which the decisions scale it, and
    // their lengths before centring: the same rank rule as solve().
    VectorView lengths = {};
    VectorView raw_norms = {};
    // As in LeastSquaresProblem: the intercept's row of the scaled
    // uncentred factor, and the means the design was centred at.
    const Vector* intercept_row = nullptr;
    const Vector* x_mean = nullptr;
    double alpha = 0.0;  // the ridge penalty, stacked as sqrt(alpha) I below a
};
struct FactoredSolution {
    LeastSquaresSolution solution;  // with mean_quadratic and inverse_mean when x_mean is given
    // F = R^-1 of the design's R factor, so that g^-1 = F F' and F' x is a
    // row's orthonormal coordinates; and F' m when x_mean is given.
    Matrix factor_inverse;
    Vector mean_coordinates;
    // sigma_min / sigma_max of the design with unit columns (penalty rows
    // included): how far the rounding of a's rows carries into the inverse.
    double singular_ratio = 0.0;
};
std::expected<FactoredSolution, SolveFailure> solve_factored(const FactoredProblem& problem);
// The same with the route a fit of q parameters takes by policy, and its
// refusal of a singular system (or, given, the refusal of an exactly
// identified system whose cross-products are singular).
Result<FactoredSolution> solve_factored(const FactoredProblem& problem, const RoutePolicy& policy, index_t q,
                                        const char* identified_singular = nullptr);
// The refusal of a singular system on a route, as the policy words it.
std::unexpected<EstimatorError> singular_refusal(const RoutePolicy& policy, Route route,
                                                 const char* identified_singular = nullptr);

// The projection of the columns cols of a design onto its first z columns,
// in the coordinates of its R factor's first z rows: Pi with the projected
// columns equal to Z~ Pi, Z~ the first z columns of the design whose R
// factor r is. Instruments of full rank solve the triangle; collinear ones
// keep the span they have (as first_stage does from rows) unless the system
// is exactly identified. Empty when the projection cannot be formed.
std::optional<Matrix> first_stage_from_factor(const Matrix& r, index_t z, const std::vector<index_t>& cols, double tol,
                                              bool identified);

// The first stage of two-stage least squares, Pi with X ~ Z Pi.
// Whether its q x q normal equations are worth forming for n rows.
inline bool first_stage_by_normal_equations(index_t n, index_t q) {
    return static_cast<double>(n) > kFirstStageNormalAbove * static_cast<double>(q);
}
// Pi = (Z'Z)^-1 Z'X from the moments, when the unit-diagonal Z'Z is well
// conditioned; empty otherwise.
std::optional<Matrix> first_stage_from_moments(const Matrix& zz, const Matrix& zx);
// Pi from the normal equations when clearly over-determined and well
// conditioned; otherwise the SVD of Z with unit columns, keeping only the
// directions above the rank tolerance, so that collinear instruments still
// give the projection onto the span they have.
Result<Matrix> first_stage(MatrixView z, MatrixView x);

// The Cholesky factor R (R'R = g) of a Gram matrix whose normal equations
// solve() would take as they are: positive definite, the unit-diagonal
// form's reciprocal condition trusted. Empty otherwise.
std::optional<Matrix> trusted_cholesky(const Matrix& g);
// The same factor of the equilibrated g wherever its reciprocal condition
// reaches min_rcond.
std::optional<Matrix> equilibrated_cholesky(const Matrix& g, double min_rcond);

// sigma_min / sigma_max of a matrix with unit-length columns, 0 when a column
// is zero or the ratio cannot be computed.
double scaled_singular_ratio(MatrixView a);

// The R factor of a design, from its QR, with the columns then scaled by
// scale (R diag(scale)) and, when given, bordered by an intercept row:
// [[1, row'], [0, R diag(scale)]].
Matrix bordered_factor(const Matrix& r, VectorView scale, const Vector* row);
// The same bordered by the rows b (r x p): [[I, b], [0, R diag(scale)]].
Matrix bordered_factor(const Matrix& r, VectorView scale, const Matrix& b);

}  // namespace ordinata::models::linear
