#include "models/linear/iv/iv.hpp"

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/instrumental.hpp"
#include "report/report.hpp"

namespace ordinata::models {

Result<void> IV::fit(MatrixView z, MatrixView x, VectorView y) {
    if (z.rows() != y.size()) return value_error("Instruments and targets must have the same number of samples");
    if (x.rows() != z.rows()) return value_error("Regressors and targets must have the same number of samples");
    if (z.cols() != x.cols())
        return value_error(
            "IV estimator requires exactly the same number of instruments as regressors (exact identification). "
            "For overidentified cases, use TSLS estimator.");
    const index_t n = z.rows(), k = z.cols();
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    // Without regressors and without an intercept there is nothing to estimate.
    if (k == 0 && !fit_intercept_)
        return value_error("At least one regressor is required when fit_intercept is False");
    const index_t kd = k + (fit_intercept_ ? 1 : 0);

    const linear::StackedCrossProducts cross(z, x, y);
    const Matrix a = cross.zx(fit_intercept_);
    const Vector c = cross.zy(fit_intercept_);
    auto a_inv = linalg::inv(a);
    if (!a_inv) return value_error("Z'X matrix is singular. Check instrument-regressor correlation.");
    const Vector beta = linalg::dot(*a_inv, c.view());

    const VectorView slopes = fit_intercept_ ? beta.view().sub(1, k) : beta.view();
    Vector e = linalg::dot(x, slopes);
    const double b0 = fit_intercept_ ? beta[0] : 0.0;
    for (index_t i = 0; i < n; ++i) e[i] = y[i] - (e[i] + b0);

    // From here on a failure leaves the new estimates beside the old inference.
    r_.coefficients = Vector::from(slopes);
    r_.intercept = fit_intercept_ ? std::optional<double>(b0) : std::nullopt;
    r_.n_samples = n;
    r_.n_features = k;
    r_.residuals = std::move(e);
    const std::uint64_t nu = n - kd;
    if (nu == 0) return value_error("Insufficient degrees of freedom for covariance estimation");

    const VectorView res = r_.residuals->view();
    const double ssr = linalg::dot(res, res);
    const double sigma2 = ssr / static_cast<double>(nu);
    // Sandwich A^-1 (Z'Z) A^-T; A^-1 is the inverse found above on the same data.
    const Matrix b = cross.zz(fit_intercept_);
    Matrix v = linalg::dot(linalg::dot(*a_inv, b).view(), a_inv->t());
    v = linalg::scale(v, sigma2);

    const double ybar = linalg::sum(y) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(y, ybar), false);

    Vector s(kd);
    for (index_t i = 0; i < kd; ++i) s[i] = std::sqrt(v(i, i));
    const stat_utils::SplitParams split = stat_utils::split_intercept_and_coefs(beta, s, fit_intercept_);
    r_.coef_std_errors = split.coef_std_errors;
    r_.intercept_std_error = split.intercept_std_error;
    r_.mse = sigma2;
    r_.r_squared = r2;
    covariance_ = std::move(v);
    fitted_ = true;
    return {};
}

Result<Vector> IV::predict(MatrixView x) const {
    if (!fitted_ || !r_.coefficients) return value_error("Model not fitted");
    if (auto ok = r_.check_feature_count(x); !ok) return std::unexpected(ok.error());
    return r_.linear_prediction(x);
}

std::string IV::summary() const {
    report::ReportInput in;
    in.title = "IV";
    in.model_text = "IV";
    in.method_text = "Instrumental Variables";
    in.covariance_text = "nonrobust";
    in.fit_intercept = fit_intercept_;
    in.results = &r_;
    return report::render(in);
}

}  // namespace ordinata::models
