#include "models/linear/wls/wls.hpp"

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

constexpr const char* kSolveFailed = "Failed to solve the weighted least squares system";

// D = diag(s) [1 | X] (or diag(s) X), built row by row: the weight matrix
// itself is never formed.
Matrix weighted_design(MatrixView x, VectorView s, bool intercept) {
    const index_t n = x.rows(), p = x.cols(), k = p + (intercept ? 1 : 0);
    Matrix d(n, k);
    for (index_t i = 0; i < n; ++i) {
        double* row = d.data() + i * k;
        const double si = s[i];
        if (intercept) *row++ = si;
        const VectorView src = x.row(i);
        for (index_t j = 0; j < p; ++j) row[j] = src[j] * si;
    }
    return d;
}

// The normal equations of the LU route. With an intercept they are solved in
// centred form: the rows are centred at their weighted means before the
// sqrt(w) scaling, so a column offset does not square the condition number;
// the intercept and the full (D'D)^-1 are recovered afterwards.
struct WeightedSystem {
    Matrix g;
    Vector c;
    std::optional<Vector> x_mean;
    double y_mean = 0.0, total_weight = 0.0;

    static WeightedSystem build(MatrixView x, VectorView y, VectorView w, VectorView s, bool intercept) {
        const index_t n = x.rows(), p = x.cols();
        WeightedSystem sys;
        Vector m(p, 0.0);
        if (intercept) {
            double sum_wy = 0.0;
            for (index_t i = 0; i < n; ++i) {
                const VectorView r = x.row(i);
                for (index_t j = 0; j < p; ++j) m[j] += w[i] * r[j];
                sys.total_weight += w[i];
                sum_wy += w[i] * y[i];
            }
            for (index_t j = 0; j < p; ++j) m[j] /= sys.total_weight;
            sys.y_mean = sum_wy / sys.total_weight;
        }
        linear::ScaledCrossProducts sc =
            linear::scaled_cross_products(x, y, s, intercept ? &m : nullptr, sys.y_mean);
        sys.g = std::move(sc.s);
        sys.c = std::move(sc.sxy);
        if (intercept) sys.x_mean = std::move(m);
        return sys;
    }

    Vector expand_beta(VectorView b) const {
        return x_mean ? linear::with_intercept(b, *x_mean, y_mean) : Vector::from(b);
    }
    Matrix expand_inverse(Matrix m) const {
        return x_mean ? linear::inverse_from_weighted_centred(m, *x_mean, total_weight) : std::move(m);
    }
};

}  // namespace

Result<void> WLS::fit(MatrixView x, VectorView y, VectorView weights) {
    const index_t n = x.rows(), p = x.cols();
    if (y.size() != n || weights.size() != n) return value_error("Input arrays must have consistent dimensions");
    if (n == 0 || p == 0) return value_error("Input arrays cannot be empty");
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Number of samples must be greater than number of parameters");
    for (index_t i = 0; i < n; ++i) {
        const double w = weights[i];
        if (!(w > 0.0) || std::isinf(w)) return value_error("All weights must be positive and finite");
    }

    r_.n_samples = n;
    r_.n_features = p;

    Vector s(n), yw(n);
    for (index_t i = 0; i < n; ++i) {
        s[i] = std::sqrt(weights[i]);
        yw[i] = y[i] * s[i];
    }
    // D = diag(s) Xd, built only where the SVD or the covariance needs it.
    std::optional<Matrix> d;
    const auto design = [&]() -> const Matrix& {
        if (!d) d = weighted_design(x, s, fit_intercept_);
        return *d;
    };
    const auto svd = [&]() -> Result<Vector> {
        auto ls = linalg::least_squares(design(), yw);
        if (!ls) return runtime_error(kSolveFailed);
        return std::move(ls->solution);
    };

    // Short, wide problems go straight to the SVD; otherwise the normal
    // equations by LU, with the SVD as a silent fall-back.
    std::optional<Matrix> g_inv;  // full (D'D)^-1 once known
    Vector beta;
    if (n > 3 * k) {
        const WeightedSystem sys = WeightedSystem::build(x, y, weights, s, fit_intercept_);
        if (auto m = linalg::inv(sys.g)) {
            beta = sys.expand_beta(linalg::dot(*m, sys.c));
            g_inv = sys.expand_inverse(std::move(*m));
        }
    }
    if (!g_inv) {
        auto b = svd();
        if (!b) return std::unexpected(b.error());
        beta = std::move(*b);
    }

    // Residuals on the untransformed scale.
    Vector r = linalg::sub(y, linear::fitted_values(x, beta, fit_intercept_));

    double ssr_w = 0.0, sum_w = 0.0, sum_wy = 0.0;
    for (index_t i = 0; i < n; ++i) {
        ssr_w += weights[i] * (r[i] * r[i]);
        sum_w += weights[i];
        sum_wy += weights[i] * y[i];
    }
    const double ybar_w = sum_wy / sum_w;
    double tss_w = 0.0;
    for (index_t i = 0; i < n; ++i) tss_w += weights[i] * ((y[i] - ybar_w) * (y[i] - ybar_w));
    const double r2 = r_squared_from(ssr_w, tss_w, false);

    // The standard errors always need (D'D)^-1; the LU inverse above is
    // reused when that route produced it.
    if (!g_inv) {
        auto m = linalg::inv(linalg::gram(design()));
        if (!m) return runtime_error("Cannot compute standard errors: design matrix is singular");
        g_inv = std::move(*m);
    }
    const double dof = static_cast<double>(n - k);
    const double sigma2_w = ssr_w / dof;
    Vector se(k);
    for (index_t i = 0; i < k; ++i) se[i] = std::sqrt(sigma2_w * (*g_inv)(i, i));
    // The reported mse is the unweighted residual mean square.
    const double mse = linalg::dot(r.view(), r.view()) / dof;

    r_.store_split(stat_utils::split_intercept_and_coefs(beta, se, fit_intercept_));
    r_.residuals = std::move(r);
    r_.mse = mse;
    r_.r_squared = r2;
    return {};
}

Result<Vector> WLS::predict(MatrixView x) const {
    if (!r_.coefficients) return value_error("Model must be fitted before making predictions");
    const Vector& coef = *r_.coefficients;
    // A refit that failed numerically updates n_features but keeps the old
    // coefficients, so both must agree with x.
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
    in.results = &r_;
    return report::render(in);
}

std::string WLS::repr() const {
    return std::string("WLS(fit_intercept=") + (fit_intercept_ ? "True" : "False") + ")";
}

}  // namespace ordinata::models
