#include "models/linear/projected.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "models/linear/design_system.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::models::linear {

namespace {

// The first column whose values are all one nonzero constant.
std::optional<index_t> constant_column(MatrixView z) {
    for (index_t j = 0; j < z.cols(); ++j) {
        const double v = z(0, j);
        bool constant = v != 0.0;
        for (index_t i = 1; constant && i < z.rows(); ++i) constant = z(i, j) == v;
        if (constant) return j;
    }
    return std::nullopt;
}

// P_Z X from each column's regression on Z (with an intercept when the
// ones are among the instruments) fitted as an ordinary least-squares fit,
// its fitted values summed in extended precision: Z = X, or instruments
// that span a regressor, give that regressor back to the last digit (its
// coefficients are off by about cond * 1e-19, its fitted values by far less
// than an ulp), and an offset column costs nothing. Empty when Z has not
// full column rank: the caller then projects on the span Z has.
std::optional<Matrix> projection_by_fits(MatrixView z, MatrixView x, bool with_ones) {
    const index_t n = x.rows(), p = x.cols(), qz = z.cols(), q = qz + (with_ones ? 1 : 0);
    if (n <= q) return std::nullopt;
    Matrix out(n, p);
    for (index_t j = 0; j < p; ++j) {
        const VectorView target = x.col(j);
        auto prepared = training_system(z, target, with_ones, false);
        if (!prepared) return std::nullopt;
        RoutedProblem problem{.n = n, .q = q, .columns = q, .x = (*prepared)->x.view(), .y = target};
        problem.sys = &(*prepared)->sys;
        auto s = solve_routed(problem, kOlsRoute);
        if (!s) return std::nullopt;
        const Vector& b = s->beta;
        const index_t off = with_ones ? 1 : 0;
        for (index_t i = 0; i < n; ++i) {
            long double v = with_ones ? static_cast<long double>(b[0]) : 0.0L;
            for (index_t l = 0; l < qz; ++l) v += static_cast<long double>(z(i, l)) * b[off + l];
            out(i, j) = static_cast<double>(v);
        }
    }
    return out;
}

// The rank of the second stage judged with each projected column against
// the length of the regressor it projects (as the unit columns of Xd are
// seen through the instruments' Q): a regressor the instruments reach only
// at the level of rounding leaves a projection of rounding noise, which
// scaled to its own length would look like any other column.
void judge_on_given_lengths(DesignSystem& sys, MatrixView x) {
    const index_t p = x.cols();
    const Vector given = linalg::column_norms(x);
    Vector raw(p);
    for (index_t j = 0; j < p; ++j) {
        const double own = sys.raw_norms ? (*sys.raw_norms)[j] : std::sqrt(std::max(sys.g(j, j), 0.0));
        raw[j] = std::max(own, given[j]);
        if (sys.intercept_row && raw[j] > 0.0) (*sys.intercept_row)[j] *= own / raw[j];
    }
    sys.raw_norms = std::move(raw);
}

// Z without its column skip (when given).
Matrix without_column(MatrixView z, std::optional<index_t> skip) {
    Matrix out(z.rows(), z.cols() - (skip ? 1 : 0));
    for (index_t i = 0; i < z.rows(); ++i) {
        index_t c = 0;
        for (index_t j = 0; j < z.cols(); ++j)
            if (!skip || j != *skip) out(i, c++) = z(i, j);
    }
    return out;
}

}  // namespace

Result<ProjectedFit> projected_fit(MatrixView z, MatrixView x, VectorView y, bool intercept, bool ones_in_instruments,
                                   const RoutePolicy& policy) {
    const index_t n = x.rows(), p = x.cols(), k = p + (intercept ? 1 : 0);
    const std::optional<index_t> constant = ones_in_instruments ? std::optional<index_t>{} : constant_column(z);
    const bool with_ones = ones_in_instruments || constant;
    const Matrix others = without_column(z, constant);
    std::optional<Matrix> xhat = projection_by_fits(others.view(), x, with_ones);
    if (!xhat) {
        // Instruments without full rank project on the span they have.
        const Matrix zd = design_matrix(others.view(), with_ones);
        auto pi = first_stage(zd.view(), x);
        if (!pi) return std::unexpected(pi.error());
        xhat = linalg::dot(zd.view(), pi->view());
    }
    // The second stage as an ordinary least-squares fit of y on the projection.
    auto prepared = training_system(xhat->view(), y, intercept, false);
    if (!prepared) return std::unexpected(prepared.error());
    DesignSystem& sys = (*prepared)->sys;
    judge_on_given_lengths(sys, x);
    RoutedProblem problem{.n = n, .q = k, .columns = k, .x = (*prepared)->x.view(), .y = y};
    problem.sys = &sys;
    auto s = solve_routed(problem, policy);
    if (!s) return std::unexpected(s.error());
    return ProjectedFit{std::move(s->beta), std::move(s->inverse)};
}

}  // namespace ordinata::models::linear
