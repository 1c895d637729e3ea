#include "models/linear/ridge/ridge.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

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

Result<void> Ridge::fit(MatrixView x, VectorView y, bool may_rescale) {
    if (!(alpha_ >= 0.0)) return value_error("Alpha must be non-negative");  // NaN too
    // An infinite penalty is no model: its slopes would be 0 with 0 errors.
    if (std::isinf(alpha_)) return value_error("Alpha must be finite");
    const index_t n = x.rows(), p = x.cols(), m = y.size();
    if (n * p == 0 || m == 0) return value_error("Input arrays cannot be empty");
    if (n != m) return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(m));
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples for the number of parameters");
    const bool positive = alpha_ > 0.0;
    const linear::RoutePolicy& policy = positive ? linear::kRidgeRoute : linear::kUnpenalisedRidgeRoute;
    auto prepared = linear::training_system(x, y, fit_intercept_, may_rescale);
    if (!prepared) return std::unexpected(prepared.error());
    if (!*prepared) return fit_rescaled(x, y);
    Matrix& x_copy = (*prepared)->x;
    const MatrixView xs = x_copy.view();
    // With an intercept the penalised system is the centred one, S +
    // alpha I with X~'y~: the unpenalised intercept drops out exactly
    // (S + alpha I is the Schur complement of n in X'X + alpha D).
    linear::DesignSystem& sys = (*prepared)->sys;
    Vector penalty(sys.g.rows(), 0.0);
    if (positive)
        for (index_t i = 0; i < sys.g.rows(); ++i) {
            penalty[i] = alpha_ * (penalty_weights_ ? (*penalty_weights_)[i] : 1.0);
            sys.g(i, i) += penalty[i];
        }
    linear::RoutedProblem problem{.n = n, .q = k, .columns = k, .x = xs, .y = y, .penalised = positive};
    problem.sys = &sys;
    problem.penalty = &penalty;
    auto sol = linear::solve_routed(problem, policy);
    if (!sol) return std::unexpected(sol.error());

    const TotalSum& tss = (*prepared)->tss;
    auto [e, ssr] = linear::accurate_residuals(xs, y, sol->beta, fit_intercept_, sys.column_lengths().view(),
                                               std::sqrt(tss.sum_sq));
    const double mse = ssr / static_cast<double>(n - k);
    if (!std::isfinite(mse)) return value_error(linear::kOverflow);
    Vector s(k);
    for (index_t i = 0; i < k; ++i) s[i] = std::sqrt(mse * sol->inverse(i, i));

    commit(FitResults::of_fit(n, p, sol->beta, s, fit_intercept_, std::move(e), mse,
                              r_squared_from(ssr, tss.tss, tss.noise, true)),
           std::move(sol->inverse), std::move(x_copy));
    return {};
}

Result<void> Ridge::fit_rescaled(MatrixView x, VectorView y) {
    const linear::ColumnScaling scaled(x);
    const linear::TargetScaling target(y);
    Ridge inner(alpha_, fit_intercept_);
    // The penalty on the original slopes b = f b_s is alpha f^2 b_s^2.
    Vector weights(scaled.factor.size());
    // A weight past 2^1000 pins its slope at zero as surely as an infinite one.
    for (index_t j = 0; j < weights.size(); ++j)
        weights[j] = std::fmin(scaled.factor[j] * scaled.factor[j], std::ldexp(1.0, 1000));
    inner.penalty_weights_ = std::move(weights);
    if (auto ok = inner.fit(scaled.x, target.view(y), false); !ok) return ok;
    return commit_rescaled(std::move(inner), scaled.factor, target.factor, x);
}

Result<Vector> Ridge::predict(MatrixView x) const {
    if (!r_.coefficients) return runtime_error(kNotFitted);
    if (auto ok = r_.check_feature_count(x); !ok) return std::unexpected(ok.error());
    // Checked block by block while predicting, so that a strided input is
    // never read as a whole before the output exists.
    auto yhat = r_.finite_linear_prediction(x);
    if (!yhat) return value_error(linear::kNotFinite);
    return std::move(*yhat);
}

std::string Ridge::summary() const {
    return render_summary("Ridge Regression Results", "Ridge Regression", "nonrobust");
}

std::string plain_decimal(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; they are
    // then placed around the decimal point and padded with zeros.
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    if (ec != std::errc{}) return std::to_string(v);
    const std::string_view sci(buf, static_cast<std::size_t>(end - buf));
    const std::size_t e_pos = sci.find('e');
    std::string out, digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c == '-')
            out += c;
        else if (c != '.')
            digits += c;
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
    const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string Ridge::repr() const {
    return "Ridge(alpha=" + plain_decimal(alpha_) + ", fit_intercept=" + (fit_intercept_ ? "true" : "false") + ")";
}

}  // namespace ordinata::models
