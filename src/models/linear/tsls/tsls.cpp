#include "models/linear/tsls/tsls.hpp"

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/instrumental.hpp"
#include "models/linear/normal_equations.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

// Pi with X ~ Z Pi: the q x q normal equations when clearly over-determined,
// the SVD solve otherwise or when Z'Z cannot be inverted.
Result<Matrix> first_stage(MatrixView z, MatrixView x) {
    const index_t n = z.rows(), q = z.cols();
    if (3 * q < n) {
        auto p = linalg::inv(linalg::gram(z));
        if (p) return linalg::dot(p->view(), linalg::dot(z.t(), x).view());
    }
    auto ls = linalg::least_squares(z, x);
    if (!ls) return value_error("Failed to solve first stage regression");
    return std::move(ls->solution);
}

struct SecondStage {
    Vector b;
    std::optional<Matrix> gram_inverse;  // (Xd'Xd)^-1 when the normal equations were used
};

Result<SecondStage> second_stage(MatrixView xhat, VectorView y, bool intercept) {
    const index_t n = xhat.rows(), k = xhat.cols() + (intercept ? 1 : 0);
    if (3 * k < n) {
        const linear::CrossProducts cp = linear::cross_products(xhat, y, intercept);
        auto p = linalg::inv(cp.g);
        if (p) {
            Vector b = linalg::dot(p->view(), cp.c.view());
            return SecondStage{std::move(b), std::move(*p)};
        }
    }
    const Matrix xd = linear::design_matrix(xhat, intercept);
    auto ls = linalg::least_squares(xd, y);
    if (!ls) return value_error("Failed to solve second stage regression");
    return SecondStage{std::move(ls->solution), std::nullopt};
}

// Both stages on their normal equations from one pass over [1 | Z | X | y]:
// with Pi = (Z'Z)^-1 Z'X, the second stage needs Xh'Xh = Pi'(Z'Z)Pi,
// Xh'y = Pi'Z'y and the column sums Pi'(Z'1), so Xh is never formed. Empty
// when either stage is not on its normal equations or cannot be inverted;
// the caller then takes the general path.
std::optional<SecondStage> stacked_stages(MatrixView z, MatrixView x, VectorView y, bool intercept) {
    const index_t n = z.rows(), q = z.cols(), p = x.cols(), k = p + (intercept ? 1 : 0);
    if (!(3 * q < n && 3 * k < n)) return std::nullopt;
    const linear::StackedCrossProducts cross(z, x, y);
    const Matrix zz1 = cross.zz(true);  // [n, sums'; sums, Z'Z]
    const MatrixView zz = zz1.view().row_range(1, q).col_range(1, q);
    auto zz_inv = linalg::inv(zz);
    if (!zz_inv) return std::nullopt;
    const Matrix pi = linalg::dot(zz_inv->view(), cross.zx(false).view());
    const Matrix xhx = linalg::dot(pi.t(), linalg::dot(zz, pi.view()).view());
    const Vector zy1 = cross.zy(true);
    const Vector xhy = linalg::dot(pi.t(), zy1.view().sub(1, q));
    Matrix g(k, k);
    Vector c(k);
    const index_t off = intercept ? 1 : 0;
    if (intercept) {
        const Vector sums = linalg::dot(pi.t(), zz1.view().row(0).sub(1, q));
        g(0, 0) = zz1(0, 0);
        c[0] = zy1[0];
        for (index_t j = 0; j < p; ++j) g(0, j + 1) = g(j + 1, 0) = sums[j];
    }
    for (index_t i = 0; i < p; ++i) {
        c[i + off] = xhy[i];
        // Symmetric by construction; averaging removes the rounding skew.
        for (index_t j = 0; j < p; ++j) g(i + off, j + off) = 0.5 * (xhx(i, j) + xhx(j, i));
    }
    auto g_inv = linalg::inv(g);
    if (!g_inv) return std::nullopt;
    Vector b = linalg::dot(g_inv->view(), c.view());
    return SecondStage{std::move(b), std::move(*g_inv)};
}

}  // namespace

Result<void> TSLS::fit(MatrixView z, MatrixView x, VectorView y) {
    if (z.rows() != x.rows() || z.rows() != y.size())
        return value_error("All inputs must have the same number of samples");
    const index_t n = z.rows(), q = z.cols(), p = x.cols();
    if (q < p) return value_error("TSLS requires at least as many instruments as regressors");
    if (n <= p) return value_error("Number of samples must be greater than number of regressors");
    // Without regressors and without an intercept there is nothing to estimate.
    if (p == 0 && !fit_intercept_)
        return value_error("At least one regressor is required when fit_intercept is False");
    const index_t k = p + (fit_intercept_ ? 1 : 0);

    // The general path forms Xh; it is only needed when the stacked one
    // does not apply, and again for the covariance if the second stage
    // went through the SVD.
    std::optional<Matrix> xhat;
    Result<SecondStage> stage2 = [&]() -> Result<SecondStage> {
        if (auto fast = stacked_stages(z, x, y, fit_intercept_)) return std::move(*fast);
        auto pi = first_stage(z, x);
        if (!pi) return std::unexpected(pi.error());
        xhat = linalg::dot(z, pi->view());
        return second_stage(*xhat, y, fit_intercept_);
    }();
    if (!stage2) return std::unexpected(stage2.error());
    const Vector& b = stage2->b;

    // Structural residuals: the observed regressors, not their projection.
    const VectorView slopes = fit_intercept_ ? b.view().sub(1, p) : b.view();
    const double b0 = fit_intercept_ ? b[0] : 0.0;
    Vector e = linalg::dot(x, slopes);
    for (index_t i = 0; i < n; ++i) e[i] = y[i] - (e[i] + b0);

    // From here on a failure leaves the new estimates beside the old inference.
    r_.coefficients = Vector::from(slopes);
    r_.intercept = fit_intercept_ ? std::optional<double>(b0) : std::nullopt;
    r_.residuals = std::move(e);
    r_.n_samples = n;
    r_.n_features = p;
    const std::uint64_t df = n - k;
    if (df == 0) return value_error("Insufficient degrees of freedom for covariance estimation");

    const VectorView res = r_.residuals->view();
    const double ssr = linalg::dot(res, res);
    const double sigma2 = ssr / static_cast<double>(df);
    if (!stage2->gram_inverse) {
        auto m = linalg::inv(linear::design_gram(*xhat, fit_intercept_));
        if (!m) return value_error("X\u0302'X\u0302 matrix is singular");
        stage2->gram_inverse = std::move(*m);
    }
    Matrix v = linalg::scale(*stage2->gram_inverse, sigma2);

    const double ybar = linalg::sum(y) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(y, ybar), false);

    compute_standard_errors(v);
    covariance_ = std::move(v);
    r_.mse = sigma2;
    r_.r_squared = r2;
    fitted_ = true;
    return {};
}

void TSLS::compute_standard_errors(const Matrix& v) {
    Vector s(v.rows());
    for (index_t j = 0; j < v.rows(); ++j) s[j] = std::sqrt(v(j, j));
    if (fit_intercept_) {
        r_.intercept_std_error = s[0];
        r_.coef_std_errors = Vector::from(s.view().sub(1, s.size() - 1));
    } else {
        r_.intercept_std_error.reset();
        r_.coef_std_errors = std::move(s);
    }
}

Result<Vector> TSLS::predict(MatrixView x) const {
    if (!fitted_ || !r_.coefficients) return value_error("Model not fitted");
    if (auto ok = r_.check_feature_count(x); !ok) return std::unexpected(ok.error());
    return r_.linear_prediction(x);
}

std::string TSLS::summary() const {
    report::ReportInput in;
    in.title = "TSLS";
    in.model_text = "TSLS";
    in.method_text = "Two-Stage Least Squares";
    in.covariance_text = "nonrobust";
    in.fit_intercept = fit_intercept_;
    in.results = &r_;
    return report::render(in);
}

}  // namespace ordinata::models
