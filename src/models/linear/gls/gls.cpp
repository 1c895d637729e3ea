#include "models/linear/gls/gls.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "linalg/ops.hpp"
#include "linalg/blas_threads.hpp"
#include "linalg/thread_pool.hpp"
#include "linalg/tiled_cholesky.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/residuals.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

using linalg::Triangle;

std::string num(index_t v) { return std::to_string(v); }

// L^-1 [1 | X - 1 m' | y]: the ones column only with an intercept, the pivot
// m only when given, y only when given. One blocked solve for all the columns reads L once, on one BLAS
// thread: a threaded solve splits its sums by the BLAS's thread count.
linalg::LinalgResult<Matrix> whiten(const Matrix& l, MatrixView x, const VectorView* y, bool intercept,
                                    const Vector* pivot = nullptr) {
    const linalg::SingleThreadedBlas blas;
    const index_t n = x.rows(), p = x.cols(), off = intercept ? 1 : 0, width = off + p + (y ? 1 : 0);
    Matrix b(n, width);
    for (index_t i = 0; i < n; ++i) {
        double* row = b.data() + i * width;
        if (intercept) row[0] = 1.0;
        if (pivot)
            for (index_t j = 0; j < p; ++j) row[off + j] = x(i, j) - (*pivot)[j];
        else
            for (index_t j = 0; j < p; ++j) row[off + j] = x(i, j);
        if (y) row[off + p] = (*y)[i];
    }
    return linalg::solve_triangular_many(l, Triangle::Lower, b.view());
}

// Which part of a failed joint whitening fails alone, in the order they
// were once solved one by one; only ever called on failure.
std::string whitening_failure(const Matrix& l, MatrixView x, VectorView y) {
    if (!linalg::solve_triangular_many(l, Triangle::Lower, y)) return "Whitening y failed";
    if (!linalg::solve_triangular_many(l, Triangle::Lower, x)) return "Whitening X failed";
    return "Whitening intercept failed";
}

// Entries of Sigma that differ from their mirror image by more than this
// fraction of their scale, sqrt(|S_ii S_jj|), are not rounding noise.
constexpr double kSymmetryTolerance = 1e-9;

// Whether the finite a = S_ij and b = S_ji are mirror images up to rounding.
bool within_tolerance(double a, double b, double s_ii, double s_jj) {
    const double scale = std::sqrt(std::fabs(s_ii * s_jj));
    const double bound = kSymmetryTolerance * std::max({scale, std::fabs(a), std::fabs(b)});
    return std::fabs(a - b) <= bound;
}

}  // namespace

// s with 2^(2s) max |Sigma_ii| near 1 when that maximum lies outside
// [2^-480, 2^480); 0 otherwise. lower holds Sigma's lower triangle.
int sigma_scale_exponent(const Matrix& lower) {
    double top = 0.0;
    for (index_t i = 0; i < lower.rows(); ++i) top = std::fmax(top, std::fabs(lower(i, i)));
    if (!(top > 0.0) || (top >= 0x1p-480 && top < 0x1p480)) return 0;
    return -(std::ilogb(top) / 2);
}

// One pass over Sigma in square tiles, so that each entry meets its mirror
// image while both are in cache: every entry finite, and S symmetric. The
// lower triangle goes into `lower` on the way, the only part the Cholesky
// factorisation reads: Sigma is read once, not once to check and once to copy.
Result<void> check_and_copy_sigma(MatrixView sigma, Matrix& lower) {
    const index_t n = sigma.rows();
    // The diagonal first: it sets the scale of every symmetry test.
    for (index_t i = 0; i < n; ++i)
        if (!std::isfinite(sigma(i, i))) return value_error(linear::kNotFinite);
    constexpr index_t tile = 64;
    enum class Found : char { nothing, not_finite, asymmetric };
    // One task per row of tiles, on all cores; the error reported is the
    // first in tile order, as a single pass would find it.
    const index_t tile_rows = (n + tile - 1) / tile;
    std::vector<Found> found(tile_rows, Found::nothing);
    double* out = lower.data();
    linalg::parallel_for(tile_rows, [&](std::size_t t) {
        const index_t bi = static_cast<index_t>(t) * tile;
        for (index_t bj = 0; bj <= bi; bj += tile) {
            for (index_t i = bi; i < std::min(n, bi + tile); ++i) {
                for (index_t j = bj; j < std::min(i + 1, bj + tile); ++j) {
                    const double a = sigma(i, j), b = sigma(j, i);
                    if (!std::isfinite(a) || !std::isfinite(b)) {
                        found[t] = Found::not_finite;
                        return;
                    }
                    // Exact mirrors, the usual case, pass any bound: no square root for them.
                    if (a != b && !within_tolerance(a, b, sigma(i, i), sigma(j, j))) {
                        found[t] = Found::asymmetric;
                        return;
                    }
                    out[i * n + j] = a;
                }
            }
        }
    });
    for (const Found f : found) {
        if (f == Found::not_finite) return value_error(linear::kNotFinite);
        if (f == Found::asymmetric) return value_error("Covariance matrix must be symmetric");
    }
    return {};
}

Result<Matrix> checked_sigma_lower(MatrixView sigma) {
    Matrix lower(sigma.rows(), sigma.rows());
    if (auto ok = check_and_copy_sigma(sigma, lower); !ok) return std::unexpected(ok.error());
    return lower;
}

Result<void> GLS::fit(MatrixView x, VectorView y, MatrixView sigma, bool may_rescale) {
    const index_t n = x.rows(), p = x.cols();
    if (sigma.rows() != n || sigma.rows() != sigma.cols() || y.size() != n)
        return value_error("Shape mismatch: X(" + num(n) + "," + num(p) + "), y(" + num(y.size()) + "), sigma(" +
                           num(sigma.rows()) + "," + num(sigma.cols()) + ")");
    if (n == 0 || p == 0) return value_error("Empty input arrays");
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n <= k) return value_error("Insufficient samples");
    // The training copy first: an input too large for memory fails here at
    // once instead of after a scan of all of it.
    Matrix x_copy(n, p);
    auto extreme = linear::check_magnitudes(x, y);
    if (!extreme) return std::unexpected(extreme.error());
    // The one n x n buffer of the fit: the checked lower triangle of Sigma,
    // factorised in place into the L the model keeps; Sigma^-1 is never formed.
    Matrix factor(n, n);
    if (auto ok = check_and_copy_sigma(sigma, factor); !ok) return std::unexpected(ok.error());
    if (*extreme && may_rescale) return fit_rescaled(x, y, sigma);

    linalg::copy_into(x, x_copy);
    // Only Sigma's shape enters the estimates and their errors: a Sigma
    // whose products would leave the double range (1e-310 I) is factored as
    // 2^(2s) Sigma, near 1, and the whitened figures (residuals, their mean
    // square, L) are taken back to the given Sigma's scale at the end.
    const int s = sigma_scale_exponent(factor);
    if (s != 0)
        for (index_t i = 0; i < n; ++i)
            for (index_t j = 0; j <= i; ++j) factor(i, j) = std::ldexp(factor(i, j), 2 * s);
    // The n x n factorisation by tiles on the library's threads.
    auto l = linalg::cholesky_tiled_in_place(std::move(factor));
    if (!l) return runtime_error("Covariance matrix is not positive definite");
    // [D | y~] = L^-1 [1 | X - 1m' | y]: with an intercept the columns are
    // whitened about their means, so that an offset in a column (a date,
    // a level) costs the slopes no digits; the fit is taken back to the
    // given columns below.
    // The target is whitened about its mean too: L^-1 y would carry an
    // offset of y into every whitened value, and its rounding into the slopes.
    std::optional<Vector> pivot;
    if (fit_intercept_) {
        pivot = linalg::column_sums(x_copy.view());
        for (index_t j = 0; j < p; ++j) (*pivot)[j] /= static_cast<double>(n);
    }
    const linear::CentredTarget target(y, fit_intercept_);
    const VectorView y_centred = target.view();
    auto w = whiten(*l, x_copy.view(), &y_centred, fit_intercept_, pivot ? &*pivot : nullptr);
    if (!w) return runtime_error(whitening_failure(*l, x_copy.view(), y));
    const MatrixView d = w->view().col_range(0, k);
    const VectorView yw = w->view().col(k);

    linear::DesignSystem sys = linear::plain_system(d, yw);
    if (pivot) {
        // The rank is judged on the given columns, L^-1 [1 | X]: their
        // lengths from the Gram of the shifted ones, |w_j + m_j u|.
        Vector raw(k);
        raw[0] = std::sqrt(sys.g(0, 0));
        for (index_t j = 1; j < k; ++j) {
            const double m = (*pivot)[j - 1];
            raw[j] = std::sqrt(std::max(sys.g(j, j) + m * (2.0 * sys.g(0, j) + m * sys.g(0, 0)), 0.0));
        }
        sys.raw_norms = std::move(raw);
        sys.shift = *pivot;
    }
    linear::RoutedProblem problem{.n = n, .q = k, .columns = k, .x = d, .y = yw};
    problem.sys = &sys;
    auto sol = linear::solve_routed(problem, linear::kGlsRoute);
    if (!sol) return std::unexpected(sol.error());
    Vector& beta = sol->beta;
    Matrix& g_inv = sol->inverse;

    const TotalSum centred = total_sum_of_squares(yw);
    auto [e, ssr] =
        linear::accurate_residuals(d, yw, beta, false, sys.column_lengths().view(), std::sqrt(centred.sum_sq));
    // R^2 is that of the whitened target itself, L^-1 y = yw + mean L^-1 1.
    TotalSum tss = centred;
    if (target.mean() != 0.0) {
        Vector whitened_y(n);
        for (index_t i = 0; i < n; ++i) whitened_y[i] = yw[i] + target.mean() * d(i, 0);
        tss = total_sum_of_squares(whitened_y.view());
    }
    target.restore_intercept(beta);
    if (pivot) linear::unshift(beta, g_inv, pivot->view());
    const double mse = ssr / static_cast<double>(n - k);
    if (!std::isfinite(mse)) return value_error(linear::kOverflow);
    Vector se(k);
    for (index_t i = 0; i < k; ++i) se[i] = std::sqrt(mse * g_inv(i, i));
    // Back to the given Sigma's scale: whitened values by 2^s, L by 2^-s.
    const double given_mse = std::ldexp(mse, 2 * s);
    if (!std::isfinite(given_mse)) return value_error(linear::kOverflow);
    if (given_mse != 0.0 && given_mse < std::numeric_limits<double>::min()) return value_error(linear::kUnderflow);
    if (s != 0) {
        for (index_t i = 0; i < n; ++i) e[i] = std::ldexp(e[i], s);
        for (index_t i = 0; i < l->size(); ++i) l->data()[i] = std::ldexp(l->data()[i], -s);
    }

    r_ = FitResults::of_fit(n, p, beta, se, fit_intercept_, std::move(e), given_mse,
                            r_squared_from(ssr, tss.tss, tss.noise, true));
    training_x_ = std::move(x_copy);
    sigma_factor_ = std::move(*l);
    design_cache_.reset();
    return {};
}

Result<void> GLS::fit_rescaled(MatrixView x, VectorView y, MatrixView sigma) {
    const linear::ColumnScaling scaled(x);
    const linear::TargetScaling target(y);
    GLS inner(fit_intercept_);
    if (auto ok = inner.fit(scaled.x, target.view(y), sigma, false); !ok) return ok;
    if (auto ok = linear::unscale_results(inner.r_, scaled.factor, target.factor); !ok) return ok;
    Matrix original = Matrix::from(x);
    r_ = std::move(inner.r_);
    training_x_ = std::move(original);
    sigma_factor_ = std::move(inner.sigma_factor_);
    design_cache_.reset();
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
    auto d = whiten(*sigma_factor_, training_x_->view(), nullptr, fit_intercept_);
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
    in.fit = r_.report_fit();
    if (r_.is_fitted()) in.diagnostics_design = design();
    return report::render(in);
}

std::string GLS::repr() const { return std::string("GLS(fit_intercept=") + (fit_intercept_ ? "true" : "false") + ")"; }

}  // namespace ordinata::models
