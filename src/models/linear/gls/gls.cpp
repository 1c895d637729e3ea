#include "models/linear/gls/gls.hpp"

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

using linalg::Triangle;
using linear::CholeskyStep;

std::string num(index_t v) { return std::to_string(v); }

// [L^-1 1 | L^-1 X] with an intercept, else L^-1 X. X is whitened in one
// level-3 solve; the ones column gets its own solve (and its own message).
Result<Matrix> whitened_design(const Matrix& l, MatrixView x, bool intercept) {
    auto xw = linalg::solve_triangular_many(l, Triangle::Lower, x);
    if (!xw) return runtime_error("Whitening X failed");
    if (!intercept) return std::move(*xw);
    const index_t n = x.rows(), p = x.cols(), k = p + 1;
    auto ones = linalg::solve_triangular_many(l, Triangle::Lower, Vector(n, 1.0).view());
    if (!ones) return runtime_error("Whitening intercept failed");
    Matrix d(n, k);
    for (index_t i = 0; i < n; ++i) {
        double* row = d.data() + i * k;
        row[0] = (*ones)[i];
        const double* src = xw->data() + i * p;
        for (index_t j = 0; j < p; ++j) row[j + 1] = src[j];
    }
    return d;
}

}  // namespace

Result<void> GLS::fit(MatrixView x, VectorView y, MatrixView sigma) {
    const index_t n = x.rows(), p = x.cols();
    if (sigma.rows() != n || sigma.rows() != sigma.cols() || y.size() != n)
        return value_error("Shape mismatch: X(" + num(n) + "," + num(p) + "), y(" + num(y.size()) + "), sigma(" +
                           num(sigma.rows()) + "," + num(sigma.cols()) + ")");
    if (n == 0 || p == 0) return value_error("Empty input arrays");
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples");

    r_.n_samples = n;
    r_.n_features = p;
    training_x_.reset();
    training_x_ = Matrix::from(x);
    design_cache_.reset();
    // Drop the previous factor before copying the new Sigma, so a refit
    // never holds two n x n buffers of its own.
    sigma_factor_.reset();

    // One copy of Sigma, factorised in place; Sigma^-1 is never formed.
    auto l = linalg::cholesky_in_place(Matrix::from(sigma));
    if (!l) return runtime_error("Covariance matrix is not positive definite");
    auto yw = linalg::solve_triangular_many(*l, Triangle::Lower, y);
    if (!yw) return runtime_error("Whitening y failed");
    auto d = whitened_design(*l, training_x_->view(), fit_intercept_);
    if (!d) return std::unexpected(d.error());
    sigma_factor_ = std::move(*l);

    Vector beta;
    Matrix g_inv;
    if (n <= 3 * k) {
        auto ls = linalg::least_squares(*d, *yw);
        if (!ls) return runtime_error("SVD failed: " + ls.error().debug());
        beta = std::move(ls->solution);
    } else {
        const linear::CrossProducts cp = linear::cross_products(*d, *yw, false);
        // The factor of D'D also yields (D'D)^-1 for the standard errors,
        // so it is computed once.
        auto s = linear::cholesky_solve(cp.g, cp.c);
        if (!s) {
            switch (s.error()) {
                case CholeskyStep::Factor: return runtime_error("XTX not positive definite");
                case CholeskyStep::ForwardSolve:
                case CholeskyStep::BackSolve: return runtime_error("Cholesky solve failed");
                case CholeskyStep::InverseForward: return runtime_error("Forward solve failed");
                case CholeskyStep::InverseBack: return runtime_error("Back solve failed");
            }
        }
        beta = std::move(s->beta);
        g_inv = std::move(s->inverse);
    }

    auto [e, ssr] = linear::residuals(*d, *yw, beta, false);
    const double ybar = linalg::sum(*yw) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(*yw, ybar), true);
    const double mse = ssr / static_cast<double>(n - k);

    if (n <= 3 * k) {
        auto m = linalg::inv(linalg::gram(*d));
        if (!m) return runtime_error("Cannot compute standard errors");
        g_inv = std::move(*m);
    }
    Vector se(k);
    for (index_t i = 0; i < k; ++i) se[i] = std::sqrt(mse * g_inv(i, i));

    r_.store_split(stat_utils::split_intercept_and_coefs(beta, se, fit_intercept_));
    r_.residuals = std::move(e);
    r_.mse = mse;
    r_.r_squared = r2;
    return {};
}

Result<Vector> GLS::predict(MatrixView x) const {
    if (!r_.coefficients) return runtime_error("Model not fitted");
    const Vector& coef = *r_.coefficients;
    if (x.cols() != coef.size())
        return value_error("Feature mismatch: expected " + num(coef.size()) + ", got " + num(x.cols()));
    return r_.linear_prediction(x);
}

const Matrix* GLS::design() const {
    if (const Matrix* d = design_cache_.get()) return d;
    if (!training_x_ || !sigma_factor_) return nullptr;
    auto d = whitened_design(*sigma_factor_, training_x_->view(), fit_intercept_);
    if (!d) return nullptr;
    return &design_cache_.get_or_init([&] { return std::move(*d); });
}

std::string GLS::summary() const {
    report::ReportInput in;
    in.title = "GLS Regression Results";
    in.model_text = in.title;
    in.method_text = "Generalized Least Squares";
    in.covariance_text = "nonrobust";
    in.fit_intercept = fit_intercept_;
    in.results = &r_;
    // No factor after a fit that failed before whitening finished: then
    // there is no whitened design and the report has no diagnostics.
    if (r_.residuals && training_x_ && sigma_factor_) in.diagnostics_design = design();
    return report::render(in);
}

std::string GLS::repr() const {
    return std::string("GLS(fit_intercept=") + (fit_intercept_ ? "true" : "false") + ")";
}

}  // namespace ordinata::models
