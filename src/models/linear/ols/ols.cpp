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
    double condition = 0.0;         // estimate for the factored system; 0 on the SVD route
    std::optional<Vector> x_mean;   // column means when the centred system was factored
};

// ||A||_F * ||A^-1||_F, an upper bound of the 2-norm condition number.
double condition_estimate(const Matrix& a, const Matrix& a_inv) {
    double fa = 0.0, fi = 0.0;
    for (index_t i = 0; i < a.size(); ++i) {
        fa += a.data()[i] * a.data()[i];
        fi += a_inv.data()[i] * a_inv.data()[i];
    }
    return std::sqrt(fa) * std::sqrt(fi);
}

// Normal equations lose digits in proportion to the condition number of the
// factored system; past this, residual-based refinement recovers them.
constexpr double kRefineAbove = 1e7;

// The normal equations the Cholesky and inverse routes factor: G = Xd'Xd
// and c = Xd'y, or with an intercept the centred S and X~'y~, from which
// the intercept and the full inverse are recovered afterwards.
struct NormalSystem {
    Matrix g;
    Vector c;
    std::optional<linear::CentredCrossProducts> centred;
    index_t n = 0;

    static NormalSystem build(MatrixView x, VectorView y, bool intercept) {
        if (!intercept) {
            linear::CrossProducts cp = linear::cross_products(x, y, false);
            return {std::move(cp.g), std::move(cp.c), std::nullopt, x.rows()};
        }
        return from_centred(linear::centred_cross_products(x, y), x.rows());
    }
    static NormalSystem from_centred(linear::CentredCrossProducts cc, index_t n) {
        Matrix g = cc.s;
        Vector c = cc.sxy;
        return {std::move(g), std::move(c), std::move(cc), n};
    }

    // Maps a solution of the factored system back to the full parameters.
    Solution expand(Vector beta, Matrix inverse) const {
        const double cond = condition_estimate(g, inverse);
        if (!centred) return {std::move(beta), std::move(inverse), cond, std::nullopt};
        return {linear::with_intercept(beta, centred->x_mean, centred->y_mean),
                linear::inverse_from_centred(inverse, centred->x_mean, n), cond, centred->x_mean};
    }
    Matrix expand_inverse(Matrix inverse) const {
        if (!centred) return inverse;
        return linear::inverse_from_centred(inverse, centred->x_mean, n);
    }
};

Result<Solution> solve_cholesky(const NormalSystem& sys) {
    auto s = linear::cholesky_solve(sys.g, sys.c);
    if (s) return sys.expand(std::move(s->beta), std::move(s->inverse));
    switch (s.error()) {
        case CholeskyStep::Factor: {
            // Not positive definite: fall back to the LU inverse silently.
            auto m = linalg::inv(sys.g);
            if (!m) return runtime_error("Matrix is singular");
            Vector beta = linalg::dot(*m, sys.c);
            return sys.expand(std::move(beta), std::move(*m));
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
    return Solution{std::move(ls->solution), std::nullopt, 0.0, std::nullopt};
}

Result<Solution> solve_inverse(const NormalSystem& sys) {
    auto m = linalg::inv(sys.g);
    if (!m) return runtime_error("Matrix is singular");
    Vector beta = linalg::dot(*m, sys.c);
    return sys.expand(std::move(beta), std::move(*m));
}

}  // namespace

Result<void> OLS::fit(MatrixView x, VectorView y) {
    const index_t n = x.rows(), p = x.cols(), m = y.size();
    if (n * p == 0 || m == 0) return value_error("Input arrays cannot be empty");
    if (n != m)
        return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(m));
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples for the number of parameters");
    const bool cholesky_route = n > 2 * k && k <= 999;
    const bool svd_route = !cholesky_route && n <= 4 * k;
    // With an intercept on the normal-equations routes, one pass over x both
    // copies and checks it and forms the centred cross-products.
    linear::CheckedCopy checked = linear::copy_checked(x, y, fit_intercept_ && !svd_route);
    std::optional<Matrix>& x_copy = checked.x;
    std::optional<linear::CentredCrossProducts>& centred = checked.centred;
    if (!x_copy || !linalg::all_finite(y)) return value_error("Input contains NaN or infinite values");

    r_.n_samples = n;
    r_.n_features = p;
    training_x_ = std::move(x_copy);
    covariance_cache_.reset();
    design_cache_.reset();
    const MatrixView xs = training_x_->view();

    Result<Solution> sol = [&]() -> Result<Solution> {
        if (svd_route) return solve_svd(xs, y, fit_intercept_);
        const NormalSystem sys = centred ? NormalSystem::from_centred(std::move(*centred), n)
                                         : NormalSystem::build(xs, y, fit_intercept_);
        return cholesky_route ? solve_cholesky(sys) : solve_inverse(sys);
    }();
    if (!sol) return std::unexpected(sol.error());

    Vector fitted = linear::fitted_values(xs, sol->beta, fit_intercept_);
    Vector e = linalg::sub(y, fitted);
    for (int step = 0; step < 2 && sol->condition > kRefineAbove; ++step) {
        linear::refine(xs, sol->x_mean ? &*sol->x_mean : nullptr, *sol->inverse, e, sol->beta);
        fitted = linear::fitted_values(xs, sol->beta, fit_intercept_);
        e = linalg::sub(y, fitted);
    }
    const double ssr = linalg::dot(e.view(), e.view());
    const double ybar = linalg::sum(y) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(y, ybar), true);
    const double mse = ssr / static_cast<double>(n - k);

    if (!sol->inverse) {
        const NormalSystem sys = NormalSystem::build(xs, y, fit_intercept_);
        auto inv = linalg::inv(sys.g);
        if (!inv) return runtime_error("Cannot compute standard errors: matrix is singular");
        sol->inverse = sys.expand_inverse(std::move(*inv));
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
    if (auto ok = r_.check_feature_count(x); !ok) return std::unexpected(ok.error());
    return r_.linear_prediction(x);
}

std::optional<Matrix> OLS::covariance_matrix() {
    return cached_covariance(covariance_cache_, xtx_inv_, r_.mse);
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
