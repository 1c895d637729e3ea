#include "models/linear/ols/ols.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";

// Residual refinement, b += G^-1 A'e with e and A'e in extended precision,
// recovers the digits the normal equations lose on a factored system so
// badly scaled that ||G||_F ||G^-1||_F exceeds the first bound, and those a
// QR solution loses to a large residual (its error grows with cond^2). Each
// step shrinks the error by about p eps cond(G), so it is taken only where
// that is below the second bound: on a design conditioned like 1e8 or worse
// G^-1 carries no correct digit and the step would wreck the fit.
constexpr double kRefineAboveFrobeniusCondition = 1e7;
constexpr double kRefineContractionBelow = 1e-3;

// Whether refinement provably converges, from the exact reciprocal 1-norm
// condition of the scaled system.
bool refinement_converges(double rcond, index_t p) {
    return static_cast<double>(p) * std::numeric_limits<double>::epsilon() < kRefineContractionBelow * rcond;
}

struct Solution {
    Vector beta;
    Matrix inverse;  // full (Xd'Xd)^-1
};

// ||A||_F * ||A^-1||_F, an upper bound of the 2-norm condition number.
double frobenius_condition(const Matrix& a, const Matrix& a_inv) {
    double fa = 0.0, fi = 0.0;
    for (index_t i = 0; i < a.size(); ++i) {
        fa += a.data()[i] * a.data()[i];
        fi += a_inv.data()[i] * a_inv.data()[i];
    }
    return std::sqrt(fa) * std::sqrt(fi);
}

// The SVD route's minimum-norm solution; singular designs are refused when
// the standard errors need (Xd'Xd)^-1.
Result<Vector> svd_solution(MatrixView x, VectorView y, bool intercept) {
    const Matrix xd = linear::design_matrix(x, intercept);
    auto ls = linalg::least_squares(xd, y);
    if (!ls) return runtime_error("SVD failed: " + ls.error().debug());
    return std::move(ls->solution);
}

}  // namespace

Result<void> OLS::fit(MatrixView x, VectorView y, bool may_rescale) {
    const index_t n = x.rows(), p = x.cols(), m = y.size();
    if (n * p == 0 || m == 0) return value_error("Input arrays cannot be empty");
    if (n != m) return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(m));
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples for the number of parameters");
    const bool cholesky_route = n > 2 * k && k <= 999;
    const bool svd_route = !cholesky_route && n <= 4 * k;
    // With an intercept on the normal-equations routes, one pass over x both
    // copies and checks it and forms the centred cross-products.
    linear::CheckedCopy checked = linear::copy_checked(x, y, fit_intercept_ && !svd_route);
    if (!checked.x || !linear::finite_target(checked, y)) return value_error(linear::kNotFinite);
    if (may_rescale && (checked.extreme || linear::target_is_extreme(y))) return fit_rescaled(x, y);
    Matrix x_copy = std::move(*checked.x);
    const MatrixView xs = x_copy.view();

    const linear::DesignSystem sys = checked.centred  ? linear::centred_system(std::move(*checked.centred), n)
                                     : fit_intercept_ ? linear::centred_system(linear::centred_cross_products(xs, y), n)
                                                      : linear::plain_system(xs, y);
    // One captured pointer: small enough for std::function to hold without allocating.
    const auto inputs = std::tie(xs, y, sys);
    const auto materialise = [&inputs] {
        const auto& [xv, yv, s] = inputs;
        return linear::explicit_design(xv, yv, s, nullptr);
    };

    Solution sol;
    std::optional<double> qr_ssr;
    if (svd_route) {
        auto beta = svd_solution(xs, y, fit_intercept_);
        if (!beta) return std::unexpected(beta.error());
        linear::LeastSquaresProblem pr = sys.problem(n, false, materialise);
        pr.extended_row = linear::explicit_design_row(xs, y, sys, nullptr);
        auto inv = linear::solve(pr, linear::Factorisation::Lu);
        if (!inv) return runtime_error("Cannot compute standard errors: matrix is singular");
        sol = {std::move(*beta), sys.expand_inverse(std::move(inv->inverse))};
    } else {
        linear::LeastSquaresProblem pr = sys.problem(n, true, materialise);
        pr.extended_row = linear::explicit_design_row(xs, y, sys, nullptr);
        auto s = linear::solve(pr, cholesky_route ? linear::Factorisation::CholeskyThenLu : linear::Factorisation::Lu);
        if (!s) return runtime_error("Matrix is singular");
        const bool refine = refinement_converges(s->rcond, sys.g.rows()) &&
                            (s->by_qr || frobenius_condition(sys.g, s->inverse) > kRefineAboveFrobeniusCondition);
        for (int step = 0; refine && step < 2; ++step) linear::refine(xs, y, sys, s->inverse, s->beta);
        sol = {sys.expand_beta(s->beta), sys.expand_inverse(std::move(s->inverse))};
        // The intercept of slopes that are not the normal equations' own,
        // without the cancellation of y_mean - m'b.
        if ((refine || s->by_qr) && fit_intercept_) sol.beta[0] = linear::mean_offset(xs, y, s->beta);
        qr_ssr = s->ssr;
    }

    const linear::TotalSum tss = linear::total_sum_of_squares(y);
    auto [e, ssr] =
        linear::accurate_residuals(xs, y, sol.beta, fit_intercept_, sys.column_lengths().view(), std::sqrt(tss.sum_sq));
    // The minimum itself where the extended-precision QR gave it: the
    // residuals of the rounded coefficients lie a little above it.
    if (qr_ssr) ssr = std::min(ssr, *qr_ssr);
    const double mse = ssr / static_cast<double>(n - k);
    if (!std::isfinite(mse)) return value_error(linear::kOverflow);

    Vector s(k);
    if (robust_) {
        s = compute_robust_standard_errors(xs, fit_intercept_, e, sol.inverse);
    } else {
        for (index_t i = 0; i < k; ++i) s[i] = std::sqrt(mse * sol.inverse(i, i));
    }

    // Nothing above touched the model: it changes only now, all at once.
    commit(FitResults::of_fit(n, p, sol.beta, s, fit_intercept_, std::move(e), mse,
                              r_squared_from(ssr, tss.tss, tss.noise, true)),
           std::move(sol.inverse), std::move(x_copy));
    return {};
}

Result<void> OLS::fit_rescaled(MatrixView x, VectorView y) {
    const linear::ColumnScaling scaled(x);
    const linear::TargetScaling target(y);
    OLS inner(fit_intercept_, robust_);
    if (auto ok = inner.fit(scaled.x, target.view(y), false); !ok) return ok;
    return commit_rescaled(std::move(inner), scaled.factor, target.factor, x);
}

Result<Vector> OLS::predict(MatrixView x) const {
    if (!r_.coefficients) return runtime_error(kNotFitted);
    if (auto ok = r_.check_feature_count(x); !ok) return std::unexpected(ok.error());
    return r_.linear_prediction(x);
}

std::string OLS::summary() const {
    return render_summary("OLS Regression Results", "Least Squares", robust_ ? "HC0" : "nonrobust");
}

std::string OLS::repr() const {
    return std::string("OLS(fit_intercept=") + (fit_intercept_ ? "true" : "false") +
           ", robust=" + (robust_ ? "true" : "false") + ")";
}

}  // namespace ordinata::models
