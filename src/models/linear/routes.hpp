// Every route decision of the least-squares estimators, as data: which
// solve a fit of n rows and q parameters takes, when the design itself is
// examined, when a solution is refined, and what a singular system says.
// The least-squares core alone reads them; no estimator holds a threshold.
#pragma once

#include <cstddef>
#include <limits>

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::index_t;

enum class Factorisation {
    CholeskyThenLu,  // Cholesky; LU silently when not positive definite
    Cholesky,        // Cholesky only
    Lu,              // LU with partial pivoting
};

// max(n, k) * eps: the relative singular-value cut-off, as numpy's
// matrix_rank takes it, on the design with unit-length columns.
inline double rank_tolerance(index_t n, index_t k) {
    return static_cast<double>(n > k ? n : k) * std::numeric_limits<double>::epsilon();
}

// Below this reciprocal condition estimate of the unit-diagonal normal
// equations (a design condition number above about 1e2) the design itself is
// examined, and the fit solved by QR when it is not singular: the normal
// equations would keep fewer than about eight digits.
inline constexpr double kExamineBelowRcond = 1e-4;
// Whether normal equations whose unit-diagonal form has this reciprocal
// condition are solved from their own factorisation, without a look at the
// design: every route that forms a Gram asks this.
inline bool normal_equations_trusted(double rcond) { return rcond >= kExamineBelowRcond; }
// A column whose centred (or demeaned) part is below this fraction of its
// raw length lies close to the intercept (or the entity effects).
inline constexpr double kOffsetColumnBelow = 1e-4;
// Residual refinement, b += G^-1 A'e with e and A'e in extended precision,
// recovers the digits the normal equations lose on a factored system so
// badly scaled that ||G||_F ||G^-1||_F exceeds the first bound, and those a
// QR solution loses to a large residual (its error grows with cond^2). Each
// step shrinks the error by about p eps cond(G), so it is taken only where
// that is below the second bound: on a design conditioned like 1e8 or worse
// G^-1 carries no correct digit and the step would wreck the fit.
inline constexpr double kRefineAboveFrobeniusCondition = 1e7;
inline constexpr double kRefineContractionBelow = 1e-3;
inline constexpr int kRefinementSteps = 2;
// TSLS's first stage takes its q x q normal equations when n > this * q
// (and they are well conditioned), the SVD of Z otherwise.
inline constexpr double kFirstStageNormalAbove = 3.0;

inline constexpr double kNever = std::numeric_limits<double>::infinity();

// How one estimator chooses among the routes for n rows, q parameters
// (the thresholds' count) and k columns of its design:
// - n > factor_above * q and k <= max_factored_columns: the normal
//   equations by `factored`;
// - otherwise n <= svd_at_most * q: the short-design route, solved as the
//   next but with its own message for a singular design (these fits once
//   took the minimum-norm SVD solution; a full-rank design has only one
//   least-squares solution, and a singular one is refused);
// - otherwise the normal equations by LU.
// The core examines the design on every route when the system is
// ill-conditioned, and solves it by QR then.
struct RoutePolicy {
    double factor_above = kNever;
    index_t max_factored_columns = 999;
    Factorisation factored = Factorisation::CholeskyThenLu;
    double svd_at_most = 0.0;
    bool refine = false;            // OLS's extended-precision refinement
    bool value_errors = false;      // the failures below raise ValueError (else RuntimeError)
    const char* singular = "";      // a singular system on a normal-equation route
    const char* svd_singular = "";  // a singular system on the short-design route
};

enum class Route { Factored, Svd, Lu };

inline Route choose_route(const RoutePolicy& policy, index_t n, index_t q, index_t k) {
    const double rows = static_cast<double>(n), params = static_cast<double>(q);
    if (rows > policy.factor_above * params && k <= policy.max_factored_columns) return Route::Factored;
    if (rows <= policy.svd_at_most * params) return Route::Svd;
    return Route::Lu;
}

inline constexpr RoutePolicy kOlsRoute{.factor_above = 2.0,
                                       .svd_at_most = 4.0,
                                       .refine = true,
                                       .singular = "Matrix is singular",
                                       .svd_singular = "Cannot compute standard errors: matrix is singular"};
inline constexpr RoutePolicy kRidgeRoute{.factor_above = 2.0, .singular = "Regularized matrix is singular"};
inline constexpr RoutePolicy kUnpenalisedRidgeRoute{.svd_at_most = 4.0,
                                                    .singular = "Regularized matrix is singular",
                                                    .svd_singular = "Cannot compute inverse for standard errors"};
inline constexpr RoutePolicy kWlsRoute{.svd_at_most = 3.0,
                                       .singular = "Cannot compute standard errors: design matrix is singular",
                                       .svd_singular = "Cannot compute standard errors: design matrix is singular"};
inline constexpr RoutePolicy kGlsRoute{.factor_above = 3.0,
                                       .max_factored_columns = std::numeric_limits<index_t>::max(),
                                       .factored = Factorisation::Cholesky,
                                       .svd_at_most = 3.0,
                                       .singular = "XTX not positive definite",
                                       .svd_singular = "Cannot compute standard errors"};
// q counts the entity effects; every fit the normal equations do not take
// goes to the SVD of the demeaned design.
inline constexpr RoutePolicy kFeRoute{.factor_above = 2.0,
                                      .svd_at_most = kNever,
                                      .singular = "Matrix is singular",
                                      .svd_singular = "Cannot compute standard errors: matrix is singular"};
inline constexpr RoutePolicy kTslsSecondStageRoute{.svd_at_most = 3.0,
                                                   .value_errors = true,
                                                   .singular = "X\u0302'X\u0302 matrix is singular",
                                                   .svd_singular = "X\u0302'X\u0302 matrix is singular"};
// The second stage fitted on the formed projection: the same messages,
// with an ordinary least-squares fit's refinement.
inline constexpr RoutePolicy kProjectedRoute{.svd_at_most = 3.0,
                                             .refine = true,
                                             .value_errors = true,
                                             .singular = "X\u0302'X\u0302 matrix is singular",
                                             .svd_singular = "X\u0302'X\u0302 matrix is singular"};

}  // namespace ordinata::models::linear
