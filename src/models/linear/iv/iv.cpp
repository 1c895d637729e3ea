#include "models/linear/iv/iv.hpp"

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/instrumental.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/projected.hpp"
#include "models/linear/residuals.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

Result<void> IV::fit(MatrixView z, MatrixView x, VectorView y, bool may_rescale) {
    if (z.rows() != y.size()) return value_error("Instruments and targets must have the same number of samples");
    if (x.rows() != z.rows()) return value_error("Regressors and targets must have the same number of samples");
    if (z.cols() != x.cols())
        return value_error(
            "IV estimator requires exactly the same number of instruments as regressors (exact identification). "
            "For overidentified cases, use TSLS estimator.");
    const index_t n = z.rows(), k = z.cols();
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    // Without regressors and without an intercept there is nothing to estimate.
    if (k == 0 && !fit_intercept_) return value_error("At least one regressor is required when fit_intercept is False");
    const index_t kd = k + (fit_intercept_ ? 1 : 0);
    if (n - kd == 0) return value_error("Insufficient degrees of freedom for covariance estimation");
    // The residuals' buffer first: an input too large for memory fails here
    // at once instead of after a scan of all of it.
    Vector e(n);
    auto extreme = linear::check_magnitudes(z, x, y);
    if (!extreme) return std::unexpected(extreme.error());
    if (*extreme && may_rescale) return fit_rescaled(z, x, y);
    // The ones are among both the instruments and the regressors: the fit
    // of y less its mean differs in the intercept alone.
    const TotalSum tss = total_sum_of_squares(y);
    const linear::CentredTarget target(y, fit_intercept_);
    const VectorView yc = target.view();

    const linear::StackedCrossProducts cross(z, x, yc);
    const Matrix a = cross.zx(fit_intercept_);
    const Vector c = cross.zy(fit_intercept_);
    const Matrix b = cross.zz(fit_intercept_);
    linear::SquareProblem pr;
    pr.a = &a;
    pr.c = &c;
    pr.y = yc;
    pr.n = n;
    pr.z_norms = Vector(kd);
    for (index_t j = 0; j < kd; ++j) pr.z_norms[j] = std::sqrt(b(j, j));
    pr.x_norms = linear::design_column_norms(x, fit_intercept_);
    pr.materialise = [&] {
        return std::pair<Matrix, Matrix>(linear::design_matrix(z, fit_intercept_),
                                         linear::design_matrix(x, fit_intercept_));
    };
    pr.refer_ill_conditioned = true;
    constexpr const char* kSingular = "Z'X matrix is singular. Check instrument-regressor correlation.";
    auto sol = linear::solve_square(pr);
    if (!sol && sol.error() == linear::SolveFailure::Singular) return value_error(kSingular);
    // Ill-conditioned: the exactly identified two-stage fit of the formed
    // projection (with the ones among the instruments), whose second stage
    // is solved as an ordinary least-squares fit; its (Xh'Xh)^-1 is the
    // sandwich A^-1 (Zd'Zd) A^-T.
    std::optional<linear::ProjectedFit> projected;
    if (!sol) {
        auto fit = linear::projected_fit(z, x, yc, fit_intercept_, fit_intercept_, linear::kProjectedRoute);
        if (!fit) return value_error(kSingular);
        projected = std::move(*fit);
    }
    Vector beta = projected ? std::move(projected->beta) : std::move(sol->beta);

    const VectorView x_lengths = fit_intercept_ ? pr.x_norms.view().sub(1, k) : pr.x_norms.view();
    // The residuals of the reported coefficients, against y as given.
    target.restore_intercept(beta);
    linear::ResidualFit fit = linear::accurate_residuals(x, y, beta, fit_intercept_, x_lengths, std::sqrt(tss.sum_sq));
    e = std::move(fit.e);
    const double ssr = fit.ssr;
    const double sigma2 = ssr / static_cast<double>(n - kd);
    if (!std::isfinite(sigma2)) return value_error(linear::kOverflow);
    // Sandwich A^-1 (Z'Z) A^-T; A^-1 is the inverse found above on the same data.
    Matrix v = projected       ? std::move(projected->inverse)
               : sol->sandwich ? std::move(*sol->sandwich)
                               : linalg::dot(linalg::dot(sol->inverse, b).view(), sol->inverse.t());
    v = linalg::scale(v, sigma2);

    Vector s(kd);
    for (index_t i = 0; i < kd; ++i) s[i] = std::sqrt(v(i, i));
    r_ = FitResults::of_fit(n, k, beta, s, fit_intercept_, std::move(e), sigma2,
                            r_squared_from(ssr, tss.tss, tss.noise, false));
    covariance_ = std::move(v);
    return {};
}

std::string IV::summary() const { return render_summary("IV", "Instrumental Variables"); }

}  // namespace ordinata::models
