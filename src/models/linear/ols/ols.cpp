#include "models/linear/ols/ols.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "linalg/ops.hpp"
#include "linalg/cross_products.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/residuals.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";

}  // namespace

Result<void> OLS::fit(MatrixView x, VectorView y, bool may_rescale) {
    const index_t n = x.rows(), p = x.cols(), m = y.size();
    if (n * p == 0 || m == 0) return value_error("Input arrays cannot be empty");
    if (n != m) return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(m));
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples for the number of parameters");
    auto prepared = linear::training_system(x, y, fit_intercept_, may_rescale);
    if (!prepared) return std::unexpected(prepared.error());
    if (!*prepared) return fit_rescaled(x, y);
    Matrix& x_copy = (*prepared)->x;
    const MatrixView xs = x_copy.view();
    const linear::DesignSystem& sys = (*prepared)->sys;
    linear::RoutedProblem problem{.n = n, .q = k, .columns = k, .x = xs, .y = y};
    problem.sys = &sys;
    auto sol = linear::solve_routed(problem, linear::kOlsRoute);
    if (!sol) return std::unexpected(sol.error());

    const TotalSum& tss = (*prepared)->tss;
    auto [e, ssr] = linear::accurate_residuals(xs, y, sol->beta, fit_intercept_, sys.column_lengths().view(),
                                               std::sqrt(tss.sum_sq));
    // The minimum itself where the extended-precision QR gave it: the
    // residuals of the rounded coefficients lie a little above it.
    if (sol->ssr) ssr = std::min(ssr, *sol->ssr);
    const double mse = ssr / static_cast<double>(n - k);
    if (!std::isfinite(mse)) return value_error(linear::kOverflow);

    Vector s(k);
    if (robust_) {
        auto robust = compute_robust_standard_errors(xs, e, sys);
        if (!robust) return runtime_error(linear::kOlsRoute.svd_singular);
        s = std::move(*robust);
    } else {
        for (index_t i = 0; i < k; ++i) s[i] = std::sqrt(mse * sol->inverse(i, i));
    }

    // Nothing above touched the model: it changes only now, all at once.
    commit(FitResults::of_fit(n, p, sol->beta, s, fit_intercept_, std::move(e), mse,
                              r_squared_from(ssr, tss.tss, tss.noise, true)),
           std::move(sol->inverse), std::move(x_copy));
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
