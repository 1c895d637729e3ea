#include "models/linear/wls/wls.hpp"

#include <cmath>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/residuals.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

Result<void> WLS::fit(MatrixView x, VectorView y, VectorView weights, bool may_rescale) {
    const index_t n = x.rows(), p = x.cols();
    if (y.size() != n || weights.size() != n) return value_error("Input arrays must have consistent dimensions");
    if (n == 0 || p == 0) return value_error("Input arrays cannot be empty");
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Number of samples must be greater than number of parameters");
    // The n-row buffer first: an input too large for memory fails here at
    // once instead of after a scan of all of it.
    Vector s(n);
    double heaviest = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double w = weights[i];
        if (!(w > 0.0) || std::isinf(w)) return value_error("All weights must be positive and finite");
        heaviest = std::fmax(heaviest, w);
    }
    // Only the weights' ratios enter the fit: weights whose products would
    // leave the double range (1e-310 each, or 1e300) are brought near 1 by
    // an even power of two, whose square root is exact too, so that every
    // result is the one of the given weights.
    if (heaviest < 0x1p-480 || heaviest >= 0x1p480) {
        const int e = -2 * (std::ilogb(heaviest) / 2);
        Vector scaled(n);
        for (index_t i = 0; i < n; ++i) scaled[i] = std::ldexp(weights[i], e);
        return fit(x, y, scaled.view(), may_rescale);
    }
    auto extreme = linear::check_magnitudes(x, y);
    if (!extreme) return std::unexpected(extreme.error());
    if (*extreme && may_rescale) return fit_rescaled(x, y, weights);

    for (index_t i = 0; i < n; ++i) s[i] = std::sqrt(weights[i]);
    // The normal equations, centred at the weighted means with an intercept;
    // the core judges their rank on the weighted design diag(s) [1 | X].
    const linear::DesignSystem sys = linear::weighted_system(x, y, weights, s, fit_intercept_);
    const VectorView sv = s.view();
    linear::RoutedProblem problem{.n = n, .q = k, .columns = k, .x = x, .y = y, .s = &sv};
    problem.sys = &sys;
    auto sol = linear::solve_routed(problem, linear::kWlsRoute);
    if (!sol) return std::unexpected(sol.error());
    const Vector& beta = sol->beta;
    const Matrix& g_inv = sol->inverse;

    // Residuals on the untransformed scale.
    const TotalSum tss = total_sum_of_squares(y, &weights);
    const TotalSum unweighted = total_sum_of_squares(y);
    const Vector measured = sys.unweighted_lengths ? Vector() : linalg::column_norms(x);
    const VectorView lengths = sys.unweighted_lengths ? sys.unweighted_lengths->view() : measured.view();
    auto [r, ssr] = linear::accurate_residuals(x, y, beta, fit_intercept_, lengths, std::sqrt(unweighted.sum_sq));
    double ssr_w = 0.0;
    for (index_t i = 0; i < n; ++i) ssr_w += weights[i] * (r[i] * r[i]);

    const double dof = static_cast<double>(n - k);
    const double sigma2_w = ssr_w / dof;
    Vector se(k);
    for (index_t i = 0; i < k; ++i) se[i] = std::sqrt(sigma2_w * g_inv(i, i));
    // The reported mse is the unweighted residual mean square.
    const double mse = ssr / dof;
    if (!std::isfinite(mse) || !std::isfinite(sigma2_w)) return value_error(linear::kOverflow);

    r_ = FitResults::of_fit(n, p, beta, se, fit_intercept_, std::move(r), mse,
                            r_squared_from(ssr_w, tss.tss, tss.noise, false));
    return {};
}

Result<void> WLS::fit_rescaled(MatrixView x, VectorView y, VectorView weights) {
    const linear::ColumnScaling scaled(x);
    const linear::TargetScaling target(y);
    WLS inner(fit_intercept_);
    if (auto ok = inner.fit(scaled.x, target.view(y), weights, false); !ok) return ok;
    if (auto ok = linear::unscale_results(inner.r_, scaled.factor, target.factor); !ok) return ok;
    r_ = std::move(inner.r_);
    return {};
}

Result<Vector> WLS::predict(MatrixView x) const {
    if (!r_.coefficients) return value_error("Model must be fitted before making predictions");
    const Vector& coef = *r_.coefficients;
    if (!r_.n_features || x.cols() != *r_.n_features || x.cols() != coef.size())
        return value_error("Number of features doesn't match training data");
    return r_.linear_prediction(x);
}

std::string WLS::summary() const {
    report::ReportInput in;
    in.title = "WLS Regression Results";
    in.model_text = in.title;
    in.method_text = "Weighted Least Squares";
    in.covariance_text = "nonrobust";
    in.fit_intercept = fit_intercept_;
    in.fit = r_.report_fit();
    return report::render(in);
}

std::string WLS::repr() const { return std::string("WLS(fit_intercept=") + (fit_intercept_ ? "True" : "False") + ")"; }

}  // namespace ordinata::models
