#include "models/linear/ols/ols.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

using linear::CholeskyStep;

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";

struct Solution {
    Vector beta;
    std::optional<Matrix> inverse;  // absent on the SVD route until after the residuals
};

Result<Solution> solve_cholesky(const linear::CrossProducts& cp) {
    auto s = linear::cholesky_solve(cp.g, cp.c);
    if (s) return Solution{std::move(s->beta), std::move(s->inverse)};
    switch (s.error()) {
        case CholeskyStep::Factor: {
            // G not positive definite: fall back to the LU inverse silently.
            auto m = linalg::inv(cp.g);
            if (!m) return runtime_error("Matrix is singular");
            Vector beta = linalg::dot(*m, cp.c);
            return Solution{std::move(beta), std::move(*m)};
        }
        case CholeskyStep::ForwardSolve: return runtime_error("Cholesky forward solve failed");
        case CholeskyStep::BackSolve: return runtime_error("Cholesky back solve failed");
        case CholeskyStep::InverseForward:
            return runtime_error("Failed to compute triangular solve for matrix inverse");
        case CholeskyStep::InverseBack: return runtime_error("Failed to compute matrix inverse from Cholesky");
    }
    return runtime_error("Matrix is singular");
}

Result<Solution> solve_svd(MatrixView x, VectorView y, bool intercept) {
    const Matrix xd = linear::design_matrix(x, intercept);
    auto ls = linalg::least_squares(xd, y);
    if (!ls) return runtime_error("SVD failed: " + ls.error().debug());
    return Solution{std::move(ls->solution), std::nullopt};
}

Result<Solution> solve_inverse(const linear::CrossProducts& cp) {
    auto m = linalg::inv(cp.g);
    if (!m) return runtime_error("Matrix is singular");
    Vector beta = linalg::dot(*m, cp.c);
    return Solution{std::move(beta), std::move(*m)};
}

}  // namespace

Result<void> OLS::fit(MatrixView x, VectorView y) {
    const index_t n = x.rows(), p = x.cols(), m = y.size();
    if (n * p == 0 || m == 0) return value_error("Input arrays cannot be empty");
    if (n != m)
        return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(m));
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples for the number of parameters");
    if (!linalg::all_finite(x) || !linalg::all_finite(y)) return value_error("Input contains NaN or infinite values");

    r_.n_samples = n;
    r_.n_features = p;
    training_x_ = Matrix::from(x);
    covariance_cache_.reset();
    design_cache_.reset();
    const MatrixView xs = training_x_->view();

    const bool cholesky_route = n > 2 * k && k <= 999;
    const bool svd_route = !cholesky_route && n <= 4 * k;
    Result<Solution> sol = [&]() -> Result<Solution> {
        if (svd_route) return solve_svd(xs, y, fit_intercept_);
        const linear::CrossProducts cp = linear::cross_products(xs, y, fit_intercept_);
        return cholesky_route ? solve_cholesky(cp) : solve_inverse(cp);
    }();
    if (!sol) return std::unexpected(sol.error());

    Vector fitted = linear::fitted_values(xs, sol->beta, fit_intercept_);
    Vector e = linalg::sub(y, fitted);
    const double ssr = linalg::dot(e.view(), e.view());
    const double ybar = linalg::sum(y) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(y, ybar), true);
    const double mse = ssr / static_cast<double>(n - k);

    if (!sol->inverse) {
        const linear::CrossProducts cp = linear::cross_products(xs, y, fit_intercept_);
        auto inv = linalg::inv(cp.g);
        if (!inv) return runtime_error("Cannot compute standard errors: matrix is singular");
        sol->inverse = std::move(*inv);
    }
    const Matrix& inv = *sol->inverse;

    Vector s(k);
    if (robust_) {
        s = compute_robust_standard_errors(xs, fit_intercept_, e, inv);
    } else {
        for (index_t i = 0; i < k; ++i) s[i] = std::sqrt(mse * inv(i, i));
    }

    r_.store_split(stat_utils::split_intercept_and_coefs(sol->beta, s, fit_intercept_));
    r_.residuals = std::move(e);
    r_.mse = mse;
    r_.r_squared = r2;
    xtx_inv_ = std::move(sol->inverse);
    return {};
}

Result<Vector> OLS::predict(MatrixView x) const {
    if (!r_.coefficients) return runtime_error(kNotFitted);
    const Vector& coef = *r_.coefficients;
    if (x.cols() != coef.size())
        return value_error("Feature count mismatch: expected " + std::to_string(coef.size()) + ", got " +
                           std::to_string(x.cols()));
    Vector yhat = linalg::dot(x, coef.view());
    if (r_.intercept)
        for (index_t i = 0; i < yhat.size(); ++i) yhat[i] += *r_.intercept;
    return yhat;
}

std::optional<Matrix> OLS::covariance_matrix() {
    if (const Matrix* v = covariance_cache_.get()) return *v;
    if (!xtx_inv_ || !r_.mse) return std::nullopt;
    return covariance_cache_.get_or_init([&] { return linalg::scale(*xtx_inv_, *r_.mse); });
}

const Matrix* OLS::design() const {
    if (!training_x_) return nullptr;
    return &design_cache_.get_or_init([&] { return linear::design_matrix(*training_x_, fit_intercept_); });
}

std::string OLS::summary() const {
    report::ReportInput in;
    in.title = "OLS Regression Results";
    in.model_text = in.title;
    in.method_text = "Least Squares";
    in.covariance_text = robust_ ? "HC0" : "nonrobust";
    in.fit_intercept = fit_intercept_;
    in.results = &r_;
    if (r_.residuals && training_x_) in.diagnostics_design = design();
    return report::render(in);
}

std::string OLS::repr() const {
    return std::string("OLS(fit_intercept=") + (fit_intercept_ ? "true" : "false") +
           ", robust=" + (robust_ ? "true" : "false") + ")";
}

}  // namespace ordinata::models
