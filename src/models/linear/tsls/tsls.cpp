#include "models/linear/tsls/tsls.hpp"

#include <cmath>
#include <functional>
#include <optional>

#include "linalg/ops.hpp"
#include "models/linear/instrumental.hpp"
#include "models/linear/normal_equations.hpp"
#include "models/linear/validation.hpp"
#include "linalg/factor.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

constexpr const char* kSingular = "X\u0302'X\u0302 matrix is singular";

// Pi from the unit-diagonal normal equations of Z when they are well
// conditioned; empty otherwise.
std::optional<Matrix> first_stage_normal(const Matrix& zz, const Matrix& zx) {
    const index_t q = zz.rows();
    Vector d(q);
    for (index_t j = 0; j < q; ++j) {
        d[j] = std::sqrt(zz(j, j));
        if (!(d[j] > 0.0)) return std::nullopt;
    }
    Matrix zs(q, q);
    for (index_t i = 0; i < q; ++i)
        for (index_t j = 0; j < q; ++j) zs(i, j) = zz(i, j) / d[i] / d[j];
    auto f = linalg::factor_lu(zs.view());
    if (!f || f->rcond < linear::kExamineBelowRcond) return std::nullopt;
    Matrix m = f->inverse;
    for (index_t i = 0; i < q; ++i)
        for (index_t j = 0; j < q; ++j) m(i, j) = m(i, j) / d[i] / d[j];
    return linalg::dot(m.view(), zx.view());
}

// Pi with X ~ Z Pi: the q x q normal equations when clearly over-determined
// and well conditioned; otherwise the SVD of Z with unit columns, keeping
// only the directions above the rank tolerance, so that collinear
// instruments still give the projection onto the span they have.
Result<Matrix> first_stage(MatrixView z, MatrixView x) {
    const index_t n = z.rows(), q = z.cols();
    if (3 * q < n) {
        if (auto pi = first_stage_normal(linalg::gram(z), linalg::dot(z.t(), x))) return std::move(*pi);
    }
    Vector d = linalg::column_norms(z);
    Matrix zs(n, q);
    for (index_t j = 0; j < q; ++j)
        if (!(d[j] > 0.0)) d[j] = 1.0;  // a zero instrument stays zero and is dropped
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < q; ++j) zs(i, j) = z(i, j) / d[j];
    auto ls = linalg::least_squares(zs.view(), x, linear::rank_tolerance(n, q));
    if (!ls) return value_error("Failed to solve first stage regression");
    Matrix pi = std::move(ls->solution);
    for (index_t j = 0; j < q; ++j)
        for (index_t c = 0; c < pi.cols(); ++c) pi(j, c) /= d[j];
    return pi;
}

// The second stage through the core: g = Xhd'Xhd and c = Xhd'y, examined on
// Xhd (formed from Z Pi only then) when ill-conditioned.
Result<linear::LeastSquaresSolution> second_stage(const Matrix& g, const Vector* c, index_t n,
                                                  std::function<Matrix()> design, VectorView y) {
    linear::LeastSquaresProblem pr;
    pr.g = &g;
    pr.c = c;
    pr.n = n;
    pr.k = g.rows();
    pr.materialise = [&] { return std::pair<Matrix, Vector>(design(), Vector::from(y)); };
    auto s = linear::solve(pr, linear::Factorisation::Lu);
    if (!s) return value_error(kSingular);
    return std::move(*s);
}

struct Stages {
    Vector b;
    Matrix gram_inverse;  // (Xhd'Xhd)^-1
};

// Both stages on their normal equations from one pass over [1 | Z | X | y]:
// with Pi = (Z'Z)^-1 Z'X, the second stage needs Xh'Xh = Pi'(Z'Z)Pi,
// Xh'y = Pi'Z'y and the column sums Pi'(Z'1), so Xh is never formed unless
// the core must look at it. Empty when the first stage is not on its
// well-conditioned normal equations; the caller then takes the general path.
std::optional<Result<Stages>> stacked_stages(MatrixView z, MatrixView x, VectorView y, bool intercept) {
    const index_t n = z.rows(), q = z.cols(), p = x.cols(), k = p + (intercept ? 1 : 0);
    if (!(3 * q < n && 3 * k < n)) return std::nullopt;
    const linear::StackedCrossProducts cross(z, x, y);
    const Matrix zz1 = cross.zz(true);  // [n, sums'; sums, Z'Z]
    const Matrix zz = Matrix::from(zz1.view().row_range(1, q).col_range(1, q));
    auto pi_opt = first_stage_normal(zz, cross.zx(false));
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
    auto s = second_stage(g, &c, n, [&] { return linear::design_matrix(linalg::dot(z, pi.view()), intercept); }, y);
    if (!s) return std::unexpected(s.error());
    return Stages{std::move(s->beta), std::move(s->inverse)};
}

// The general path: Xh formed, the second stage on its normal equations when
// clearly over-determined, by SVD otherwise (then the core for (Xhd'Xhd)^-1).
Result<Stages> general_stages(MatrixView z, MatrixView x, VectorView y, bool intercept) {
    const index_t n = z.rows(), k = x.cols() + (intercept ? 1 : 0);
    auto pi = first_stage(z, x);
    if (!pi) return std::unexpected(pi.error());
    const Matrix xhat = linalg::dot(z, pi->view());
    const auto design = [&] { return linear::design_matrix(xhat, intercept); };
    if (3 * k < n) {
        const linear::CrossProducts cp = linear::cross_products(xhat, y, intercept);
        auto s = second_stage(cp.g, &cp.c, n, design, y);
        if (!s) return std::unexpected(s.error());
        return Stages{std::move(s->beta), std::move(s->inverse)};
    }
    const Matrix xd = design();
    auto ls = linalg::least_squares(xd, y);
    if (!ls) return value_error("Failed to solve second stage regression");
    auto s = second_stage(linear::design_gram(xhat, intercept), nullptr, n, design, y);
    if (!s) return std::unexpected(s.error());
    return Stages{std::move(ls->solution), std::move(s->inverse)};
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

    Result<Stages> stages = [&]() -> Result<Stages> {
        if (auto fast = stacked_stages(z, x, y, fit_intercept_)) return std::move(*fast);
        return general_stages(z, x, y, fit_intercept_);
    }();
    if (!stages) return std::unexpected(stages.error());
    const Vector& b = stages->b;

    // Structural residuals: the observed regressors, not their projection.
    const VectorView slopes = fit_intercept_ ? b.view().sub(1, p) : b.view();
    const double b0 = fit_intercept_ ? b[0] : 0.0;
    e = linalg::dot(x, slopes);
    for (index_t i = 0; i < n; ++i) e[i] = y[i] - (e[i] + b0);
    const double ssr = linalg::dot(e.view(), e.view());
    const double sigma2 = ssr / static_cast<double>(n - k);
    if (!std::isfinite(sigma2)) return value_error(linear::kOverflow);
    Matrix v = linalg::scale(stages->gram_inverse, sigma2);
    const linear::TotalSum tss = linear::total_sum_of_squares(y);

    Vector s(k);
    for (index_t j = 0; j < k; ++j) s[j] = std::sqrt(v(j, j));
    r_ = FitResults::of_fit(n, p, b, s, fit_intercept_, std::move(e), sigma2,
                            r_squared_from(ssr, tss.tss, tss.noise, false));
    covariance_ = std::move(v);
    return {};
}

std::string TSLS::summary() const { return render_summary("TSLS", "Two-Stage Least Squares"); }

}  // namespace ordinata::models
