#include "models/linear/tsls/tsls.hpp"

#include <cmath>
#include <functional>
#include <optional>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "models/linear/instrumental.hpp"
#include "linalg/cross_products.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/projected.hpp"
#include "models/linear/residuals.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

struct Stages {
    Vector b;
    Matrix gram_inverse;  // (Xhd'Xhd)^-1
};

// Whether g, scaled to a unit diagonal, is well enough conditioned for its
// normal equations to keep the digits the fit needs.
bool well_conditioned(const Matrix& g) {
    const index_t k = g.rows();
    Matrix gs(k, k);
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) {
            const double d = std::sqrt(g(i, i) * g(j, j));
            if (!(d > 0.0)) return false;
            gs(i, j) = g(i, j) / d;
        }
    auto f = linalg::factor_lu(gs.view());
    return f && f->rcond >= linear::kExamineBelowRcond;
}

// Both stages on their normal equations from one pass over [1 | Z | X | y]:
// with Pi = (Z'Z)^-1 Z'X, the second stage needs Xh'Xh = Pi'(Z'Z)Pi,
// Xh'y = Pi'Z'y and the column sums Pi'(Z'1), so Xh is never formed unless
// the core must look at it. Empty when the first stage is not on its
// well-conditioned normal equations, or when the second stage's are not
// (near-collinear, or offset beside the intercept): the caller then fits
// the formed projection.
std::optional<Result<Stages>> stacked_stages(MatrixView z, MatrixView x, VectorView y, bool intercept) {
    const index_t n = z.rows(), q = z.cols(), p = x.cols(), k = p + (intercept ? 1 : 0);
    if (!linear::first_stage_by_normal_equations(n, q) ||
        linear::choose_route(linear::kTslsSecondStageRoute, n, k, k) == linear::Route::Svd)
        return std::nullopt;
    const linear::StackedCrossProducts cross(z, x, y);
    const Matrix zz1 = cross.zz(true);  // [n, sums'; sums, Z'Z]
    const Matrix zz = Matrix::from(zz1.view().row_range(1, q).col_range(1, q));
    auto pi_opt = linear::first_stage_from_moments(zz, cross.zx(false));
    if (!pi_opt) return std::nullopt;
    const Matrix& pi = *pi_opt;
    const Matrix xhx = linalg::dot(pi.t(), linalg::dot(zz.view(), pi.view()).view());
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
    if (!well_conditioned(g)) return std::nullopt;
    const linear::DesignSystem sys = linear::given_system(std::move(g), std::move(c));
    const auto design = [&] {
        return std::pair(linear::design_matrix(linalg::dot(z, pi.view()), intercept), Vector::from(y));
    };
    linear::RoutedProblem problem{.n = n, .q = k, .columns = k};
    problem.sys = &sys;
    problem.materialise = design;
    auto s = linear::solve_routed(problem, linear::kTslsSecondStageRoute);
    if (!s) return std::unexpected(s.error());
    return Stages{std::move(s->beta), std::move(s->inverse)};
}

}  // namespace

Result<void> TSLS::fit(MatrixView z, MatrixView x, VectorView y, bool may_rescale) {
    if (z.rows() != x.rows() || z.rows() != y.size())
        return value_error("All inputs must have the same number of samples");
    const index_t n = z.rows(), q = z.cols(), p = x.cols();
    if (q < p) return value_error("TSLS requires at least as many instruments as regressors");
    if (n <= p) return value_error("Number of samples must be greater than number of regressors");
    // Without regressors and without an intercept there is nothing to estimate.
    if (p == 0 && !fit_intercept_) return value_error("At least one regressor is required when fit_intercept is False");
    const index_t k = p + (fit_intercept_ ? 1 : 0);
    if (n - k == 0) return value_error("Insufficient degrees of freedom for covariance estimation");
    // The residuals' buffer first: an input too large for memory fails here
    // at once instead of after a scan of all of it.
    Vector e(n);
    auto extreme = linear::check_magnitudes(z, x, y);
    if (!extreme) return std::unexpected(extreme.error());
    if (*extreme && may_rescale) return fit_rescaled(z, x, y);
    // The second stage has the ones column of its own: the fit of y less
    // its mean differs in the intercept alone.
    const TotalSum tss = total_sum_of_squares(y);
    const linear::CentredTarget target(y, fit_intercept_);
    const VectorView yc = target.view();

    Result<Stages> stages = [&]() -> Result<Stages> {
        if (auto fast = stacked_stages(z, x, yc, fit_intercept_)) return std::move(*fast);
        auto fit = linear::projected_fit(z, x, yc, fit_intercept_, false, linear::kProjectedRoute);
        if (!fit) return std::unexpected(fit.error());
        return Stages{std::move(fit->beta), std::move(fit->inverse)};
    }();
    if (!stages) return std::unexpected(stages.error());
    Vector& b = stages->b;

    // Structural residuals: the observed regressors, not their projection.
    // The residuals of the reported coefficients, against y as given.
    target.restore_intercept(b);
    linear::ResidualFit fit =
        linear::accurate_residuals(x, y, b, fit_intercept_, linalg::column_norms(x).view(), std::sqrt(tss.sum_sq));
    e = std::move(fit.e);
    const double ssr = fit.ssr;
    const double sigma2 = ssr / static_cast<double>(n - k);
    if (!std::isfinite(sigma2)) return value_error(linear::kOverflow);
    Matrix v = linalg::scale(stages->gram_inverse, sigma2);

    Vector s(k);
    for (index_t j = 0; j < k; ++j) s[j] = std::sqrt(v(j, j));
    r_ = FitResults::of_fit(n, p, b, s, fit_intercept_, std::move(e), sigma2,
                            r_squared_from(ssr, tss.tss, tss.noise, false));
    covariance_ = std::move(v);
    return {};
}

std::string TSLS::summary() const { return render_summary("TSLS", "Two-Stage Least Squares"); }

}  // namespace ordinata::models
