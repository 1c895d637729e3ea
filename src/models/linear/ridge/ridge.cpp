#include "models/linear/ridge/ridge.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

using linear::CholeskyStep;

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";
constexpr const char* kNotFinite = "Input contains NaN or infinite values";

struct Solution {
    Vector beta;
    Matrix inverse;  // (X'X + alpha D)^-1, or its stand-in on the SVD route
};

// The penalised system that the Cholesky and inverse routes factor. With an
// intercept it is the centred one, S + alpha I with X~'y~: the unpenalised
// intercept drops out exactly (S + alpha I is the Schur complement of n in
// X'X + alpha D), and centring keeps a column offset from squaring the
// condition number. The intercept and the full inverse are recovered after.
struct PenalisedSystem {
    Matrix a;
    Vector c;
    std::optional<linear::CentredCrossProducts> centred;
    index_t n = 0;

    static PenalisedSystem build(MatrixView x, VectorView y, double alpha, bool intercept,
                                 std::optional<linear::CentredCrossProducts> centred) {
        PenalisedSystem sys{{}, {}, std::nullopt, x.rows()};
        if (intercept) {
            sys.centred = centred ? std::move(centred) : linear::centred_cross_products(x, y);
            sys.a = sys.centred->s;
            sys.c = sys.centred->sxy;
        } else {
            linear::CrossProducts cp = linear::cross_products(x, y, false);
            sys.a = std::move(cp.g);
            sys.c = std::move(cp.c);
        }
        for (index_t i = 0; i < sys.a.rows(); ++i) sys.a(i, i) += alpha;
        return sys;
    }

    Solution expand(Vector beta, Matrix inverse) const {
        if (!centred) return {std::move(beta), std::move(inverse)};
        return {linear::with_intercept(beta, centred->x_mean, centred->y_mean),
                linear::inverse_from_centred(inverse, centred->x_mean, n)};
    }
};

Result<Solution> solve_inverse(const PenalisedSystem& sys) {
    auto m = linalg::inv(sys.a);
    if (!m) return runtime_error("Regularized matrix is singular");
    Vector beta = linalg::dot(*m, sys.c);
    return sys.expand(std::move(beta), std::move(*m));
}

Result<Solution> solve_cholesky(const PenalisedSystem& sys) {
    auto s = linear::cholesky_solve(sys.a, sys.c);
    if (s) return sys.expand(std::move(s->beta), std::move(s->inverse));
    switch (s.error()) {
        case CholeskyStep::Factor: return solve_inverse(sys);  // not positive definite: LU silently
        case CholeskyStep::ForwardSolve: return runtime_error("Cholesky forward solve failed");
        case CholeskyStep::BackSolve: return runtime_error("Cholesky back solve failed");
        case CholeskyStep::InverseForward:
            return runtime_error("Failed to compute triangular solve for matrix inverse");
        case CholeskyStep::InverseBack: return runtime_error("Failed to compute matrix inverse from Cholesky");
    }
    return runtime_error("Regularized matrix is singular");
}

Result<Solution> solve_svd(MatrixView x, VectorView y, double alpha, bool intercept) {
    const Matrix xd = linear::design_matrix(x, intercept);
    auto ls = linalg::least_squares(xd, y);
    if (!ls) return runtime_error("SVD failed: " + ls.error().debug());
    // With no penalty X'X may be singular; a 1e-12 ridge on every diagonal
    // entry keeps the covariance finite. Only a NaN alpha gets here otherwise.
    Matrix a = linalg::gram(xd);
    if (alpha == 0.0) {
        a = linalg::add(a, linalg::scale(linalg::identity(a.rows()), 1e-12));
    } else {
        for (index_t i = intercept ? 1 : 0; i < a.rows(); ++i) a(i, i) += alpha;
    }
    auto m = linalg::inv(a);
    if (!m) return runtime_error("Cannot compute inverse for standard errors");
    return Solution{std::move(ls->solution), std::move(*m)};
}

}  // namespace

Result<void> Ridge::fit(MatrixView x, VectorView y) {
    if (alpha_ < 0.0) return value_error("Alpha must be non-negative");
    const index_t n = x.rows(), p = x.cols(), m = y.size();
    if (n * p == 0 || m == 0) return value_error("Input arrays cannot be empty");
    if (n != m)
        return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(m));
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples for the number of parameters");
    const bool positive = alpha_ > 0.0;
    const bool svd_route = !positive && n <= 4 * k;
    // The finiteness check, the training copy and (with an intercept) the
    // centred cross-products share one pass over x.
    linear::CheckedCopy checked = linear::copy_checked(x, y, fit_intercept_ && !svd_route);
    std::optional<Matrix>& x_copy = checked.x;
    if (!x_copy || !linalg::all_finite(y)) return value_error(kNotFinite);

    r_.n_samples = n;
    r_.n_features = p;
    training_x_ = std::move(x_copy);
    covariance_cache_.reset();
    design_cache_.reset();
    const MatrixView xs = training_x_->view();

    Result<Solution> sol = [&]() -> Result<Solution> {
        if (svd_route) return solve_svd(xs, y, alpha_, fit_intercept_);
        const PenalisedSystem sys =
            PenalisedSystem::build(xs, y, alpha_, fit_intercept_, std::move(checked.centred));
        return n > 2 * k && k <= 999 && positive ? solve_cholesky(sys) : solve_inverse(sys);
    }();
    if (!sol) return std::unexpected(sol.error());

    auto [e, ssr] = linear::residuals(xs, y, sol->beta, fit_intercept_);
    const double ybar = linalg::sum(y) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(y, ybar), true);
    const double mse = ssr / static_cast<double>(n - k);
    Vector s(k);
    for (index_t i = 0; i < k; ++i) s[i] = std::sqrt(mse * sol->inverse(i, i));

    r_.store_split(stat_utils::split_intercept_and_coefs(sol->beta, s, fit_intercept_));
    r_.residuals = std::move(e);
    r_.mse = mse;
    r_.r_squared = r2;
    regularized_inverse_ = std::move(sol->inverse);
    return {};
}

Result<Vector> Ridge::predict(MatrixView x) const {
    if (!r_.coefficients) return runtime_error(kNotFitted);
    if (auto ok = r_.check_feature_count(x); !ok) return std::unexpected(ok.error());
    // Checked block by block while predicting, so that a strided input is
    // never read as a whole before the output exists.
    auto yhat = r_.finite_linear_prediction(x);
    if (!yhat) return value_error(kNotFinite);
    return std::move(*yhat);
}

std::optional<Matrix> Ridge::covariance_matrix() {
    return cached_covariance(covariance_cache_, regularized_inverse_, r_.mse);
}

const Matrix* Ridge::design() const {
    if (!training_x_) return nullptr;
    return &design_cache_.get_or_init([&] { return linear::design_matrix(*training_x_, fit_intercept_); });
}

std::string Ridge::summary() const {
    report::ReportInput in;
    in.title = "Ridge Regression Results";
    in.model_text = in.title;
    in.method_text = "Ridge Regression";
    in.covariance_text = "nonrobust";
    in.fit_intercept = fit_intercept_;
    in.results = &r_;
    if (r_.residuals && training_x_) in.diagnostics_design = design();
    return report::render(in);
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
        if (c == '-') out += c;
        else if (c != '.') digits += c;
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
