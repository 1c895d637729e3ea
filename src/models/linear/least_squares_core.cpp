#include "models/linear/least_squares_core.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "linalg/double_double.hpp"
#include "linalg/extended_qr.hpp"
#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "models/linear/design_system.hpp"

namespace ordinata::models::linear {

using linalg::SquareFactor;
using linalg::Triangle;

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// std::ldexp(1.0, e) and std::frexp, read off and written as the bits of
// normal doubles: the library calls cost a small solve more than its
// arithmetic. Subnormals and the rest go to the library.
constexpr std::uint64_t kFractionBits = (std::uint64_t{1} << 52) - 1;
double power_of_two(int e) {
    if (e < -1022 || e > 1023) return std::ldexp(1.0, e);
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
}
double fraction_and_exponent(double v, int* e) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const auto biased = static_cast<int>(bits >> 52);  // with the sign: negative v goes to frexp
    if (biased == 0 || biased >= 2047) return std::frexp(v, e);
    *e = biased - 1022;
    return std::bit_cast<double>((bits & kFractionBits) | (std::uint64_t{1022} << 52));
}

// The power of two nearest to v (v itself when 0 or not finite): scaling by
// it is exact, so equilibration adds no rounding to an ill-conditioned g.
double power_of_two_near(double v) {
    if (!(v > 0.0) || !std::isfinite(v)) return v;
    // v = f 2^e with f in [1/2, 1): log2 v rounds down to e - 1 below f = 1/sqrt(2).
    int e = 0;
    const double f = fraction_and_exponent(v, &e);
    return power_of_two(f < 0.70710678118654752 ? e - 1 : e);
}

// Up to this many parameters the solve's scratch (the column scales and the
// scaled system) lives on the stack: a heap allocation costs more than the
// arithmetic of such a system.
constexpr index_t kStackOrder = 8;

// g scaled to a diagonal within [1/2, 2], D^-1 g D^-1 with D the powers of
// two nearest to sqrt(diag g), into out (p x p, row-major).
MatrixView equilibrate(const Matrix& g, const double* d, double* out) {
    const index_t p = g.rows();
    for (index_t i = 0; i < p; ++i)
        for (index_t j = 0; j < p; ++j) out[i * p + j] = g(i, j) / d[i] / d[j];
    return {out, p, p, static_cast<linalg::stride_t>(p), 1};
}

std::optional<SquareFactor> factor(MatrixView gs, Factorisation route) {
    if (route != Factorisation::Lu) {
        if (auto f = linalg::factor_cholesky(gs)) return std::move(*f);
        if (route == Factorisation::Cholesky) return std::nullopt;
    }
    if (auto f = linalg::factor_lu(gs)) return std::move(*f);
    return std::nullopt;
}

// D^-1 M D^-1: the inverse of g from the inverse of its scaled form.
Matrix unscale_inverse(Matrix m, const double* d) {
    for (index_t i = 0; i < m.rows(); ++i)
        for (index_t j = 0; j < m.cols(); ++j) m(i, j) = m(i, j) / d[i] / d[j];
    return m;
}

Vector unscale(Vector z, const double* d) {
    for (index_t j = 0; j < z.size(); ++j) z[j] = z[j] / d[j];
    return z;
}

LeastSquaresSolution from_factor(SquareFactor&& f, const LeastSquaresProblem& pr, const double* d) {
    LeastSquaresSolution s;
    s.rcond = f.rcond;
    if (pr.c) {
        s.beta = unscale(*pr.c, d);
        linalg::factor_solve_in_place(f, s.beta);
        s.beta = unscale(std::move(s.beta), d);
    }
    s.inverse = unscale_inverse(std::move(f.inverse), d);
    return s;
}

// sigma_min / sigma_max of a square triangular factor, 0 when it cannot be
// computed (a non-finite entry).
double singular_value_ratio(const Matrix& r) {
    auto sv = linalg::singular_values(r);
    if (!sv || sv->size() == 0) return 0.0;
    const double top = (*sv)[0], bottom = (*sv)[sv->size() - 1];
    if (!(top > 0.0)) return 0.0;
    return bottom / top;
}

// The QR of the design A D^-1 (unit columns): in extended precision for
// small designs, whose digits are then kept and do not depend on the CPU's
// BLAS kernels; by LAPACK in working precision otherwise. r() is null when
// the factorisation failed.
struct DesignQr {
    std::optional<linalg::ExtendedQr> extended;
    std::optional<linalg::QrFactor> working;
    const Matrix* r() const { return extended ? &extended->r : working ? &working->r : nullptr; }
};
DesignQr factor_design(const LeastSquaresProblem& pr, const double* d) {
    const index_t p = pr.g->rows();
    DesignQr out;
    if (pr.n * p * p <= linalg::kExtendedQrWork) {
        std::optional<std::pair<Matrix, Vector>> rows;
        if (!pr.extended_row) rows = pr.materialise();
        // The means on the scaled columns' scale: m_j / d_j.
        linalg::Scratch<kStackOrder> border(pr.x_mean ? p : 0);
        for (index_t j = 0; pr.x_mean && j < p; ++j) border[j] = (*pr.x_mean)[j] / d[j];
        out.extended = linalg::extended_qr(
            pr.n, p,
            [&](index_t i, long double* row) {
                if (rows) {
                    for (index_t j = 0; j < p; ++j) row[j] = rows->first(i, j);
                    row[p] = rows->second[i];
                } else {
                    pr.extended_row(i, row);
                }
                for (index_t j = 0; j < p; ++j) row[j] /= d[j];
            },
            pr.x_mean ? border.data() : nullptr);
        return out;
    }
    auto [a, t] = pr.materialise();
    for (index_t i = 0; i < a.rows(); ++i)
        for (index_t j = 0; j < p; ++j) a(i, j) /= d[j];
    if (auto q = linalg::qr(a.view(), t.view())) out.working = std::move(*q);
    return out;
}

// The penalised system by QR of [A D^-1; diag(sqrt(penalty) / d)] on
// [t; 0]: conditioned like the design, where g squares it.
std::expected<LeastSquaresSolution, SolveFailure> solve_penalised_by_qr(const LeastSquaresProblem& pr,
                                                                        const double* d) {
    const index_t p = pr.g->rows();
    auto [a, t] = pr.materialise();
    const index_t n = a.rows();
    Matrix stacked(n + p, p, 0.0);
    Vector target(n + p, 0.0);
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < p; ++j) stacked(i, j) = a(i, j) / d[j];
        target[i] = t[i];
    }
    for (index_t j = 0; j < p; ++j) stacked(n + j, j) = std::sqrt((*pr.penalty)[j]) / d[j];
    auto q = linalg::qr(stacked.view(), target.view());
    if (!q || !(singular_value_ratio(q->r) > rank_tolerance(n + p, p))) return std::unexpected(SolveFailure::Singular);
    LeastSquaresSolution s;
    s.by_qr = true;
    if (pr.c) {
        auto z = linalg::solve_triangular(q->r, Triangle::Upper, q->qtb.view());
        if (!z) return std::unexpected(SolveFailure::Singular);
        s.beta = unscale(std::move(*z), d);
    }
    auto r_inv = linalg::solve_triangular(q->r, Triangle::Upper, linalg::identity(p));
    if (!r_inv) return std::unexpected(SolveFailure::Singular);
    s.inverse = unscale_inverse(linalg::dot(r_inv->view(), r_inv->t()), d);
    return s;
}

}  // namespace

Matrix bordered_factor(const Matrix& r, VectorView scale, const Vector* row) {
    const index_t p = r.rows(), off = row ? 1 : 0;
    Matrix out(p + off, p + off, 0.0);
    if (row) {
        out(0, 0) = 1.0;
        for (index_t j = 0; j < p; ++j) out(0, j + 1) = (*row)[j];
    }
    for (index_t i = 0; i < p; ++i)
        for (index_t j = i; j < p; ++j) out(i + off, j + off) = r(i, j) * scale[j];
    return out;
}

Matrix bordered_factor(const Matrix& r, VectorView scale, const Matrix& b) {
    const index_t p = r.rows(), off = b.rows();
    Matrix out(p + off, p + off, 0.0);
    for (index_t i = 0; i < off; ++i) {
        out(i, i) = 1.0;
        for (index_t j = 0; j < p; ++j) out(i, off + j) = b(i, j);
    }
    for (index_t i = 0; i < p; ++i)
        for (index_t j = i; j < p; ++j) out(i + off, j + off) = r(i, j) * scale[j];
    return out;
}

std::expected<LeastSquaresSolution, SolveFailure> solve(const LeastSquaresProblem& pr, Factorisation route) {
    const Matrix& g = *pr.g;
    const index_t p = g.rows();
    const double tol = rank_tolerance(pr.n, pr.k);

    // Column lengths of A, and each as a fraction of its raw length. A
    // column that is zero, or nothing but rounding noise once centred, makes
    // the design singular whatever the others hold.
    linalg::Scratch<kStackOrder> d(p), to_raw(p);
    double ratio_min = 1.0;
    for (index_t j = 0; j < p; ++j) {
        const double length = std::sqrt(g(j, j));
        const double raw = pr.raw_norms ? (*pr.raw_norms)[j] : length;
        double ratio = raw > 0.0 ? length / raw : 0.0;
        d[j] = power_of_two_near(length);
        to_raw[j] = raw > 0.0 ? d[j] / raw : 0.0;
        if (!(d[j] > 0.0) || !(ratio > tol)) {
            if (!pr.penalised) return std::unexpected(SolveFailure::Singular);
            d[j] = 1.0;  // the penalty alone carries this column
            ratio = to_raw[j] = 1.0;
        }
        ratio_min = std::min(ratio_min, ratio);
    }

    linalg::Scratch<kStackOrder * kStackOrder> gs(p * p);
    std::optional<SquareFactor> f = factor(equilibrate(g, d.data(), gs.data()), route);
    if (pr.penalised) {
        if (f && (normal_equations_trusted(f->rcond) || !pr.penalty)) return from_factor(std::move(*f), pr, d.data());
        if (!pr.penalty) return std::unexpected(SolveFailure::Singular);
        return solve_penalised_by_qr(pr, d.data());
    }
    const double rcond = f ? f->rcond : 0.0;
    const bool ill = !normal_equations_trusted(rcond);
    if (!ill && ratio_min >= kOffsetColumnBelow) return from_factor(std::move(*f), pr, d.data());

    // Look at the design itself: QR of A with unit columns gives its
    // singular values through R (and those of the uncentred design through
    // the bordered R), and, when the normal equations are ill-conditioned,
    // the solution.
    DesignQr qr = factor_design(pr, d.data());
    if (!qr.r()) return std::unexpected(SolveFailure::Singular);
    const VectorView scale{to_raw.data(), p, 1};
    Matrix rank_factor = !pr.intercept_row && pr.border ? bordered_factor(*qr.r(), scale, pr.border())
                                                        : bordered_factor(*qr.r(), scale, pr.intercept_row);
    // A T's first row: R_0j d_j + m_j R_00 d_0, over the unshifted length.
    for (index_t j = 1; pr.shift && j < p; ++j)
        rank_factor(0, j) += (*pr.shift)[j - 1] * (*qr.r())(0, 0) * d[0] * to_raw[j] / d[j];
    if (!(singular_value_ratio(rank_factor) > tol)) return std::unexpected(SolveFailure::Singular);
    if (!ill) return from_factor(std::move(*f), pr, d.data());

    LeastSquaresSolution s;
    s.rcond = rcond;
    s.by_qr = true;
    if (qr.extended) {
        if (pr.c) s.beta = unscale(std::move(qr.extended->solution), d.data());
        s.inverse = unscale_inverse(std::move(qr.extended->inverse), d.data());
        s.ssr = qr.extended->ssr;
        if (pr.x_mean) {
            s.mean_quadratic = qr.extended->border_quadratic;
            s.inverse_mean = unscale(std::move(qr.extended->border_solution), d.data());
        }
        return s;
    }
    if (pr.c) {
        auto z = linalg::solve_triangular(*qr.r(), Triangle::Upper, qr.working->qtb.view());
        if (!z) return std::unexpected(SolveFailure::Singular);
        s.beta = unscale(std::move(*z), d.data());
    }
    // (A'A)^-1 = R^-1 R^-T, back on the original column scale.
    auto r_inv = linalg::solve_triangular(*qr.r(), Triangle::Upper, linalg::identity(p));
    if (!r_inv) return std::unexpected(SolveFailure::Singular);
    s.inverse = unscale_inverse(linalg::dot(r_inv->view(), r_inv->t()), d.data());
    if (pr.x_mean) {
        // The intercept's entries from w = R^-T (m / d): m'g^-1 m = w'w and
        // g^-1 m = D^-1 R^-1 w, whose terms do not cancel as those of the
        // rounded g^-1 do on a near-collinear design.
        Vector w(p);
        for (index_t j = 0; j < p; ++j) w[j] = (*pr.x_mean)[j] / d[j];
        auto solved = linalg::solve_triangular(qr.r()->t(), Triangle::Lower, w.view());
        if (!solved) return std::unexpected(SolveFailure::Singular);
        s.mean_quadratic = linalg::dot(solved->view(), solved->view());
        s.inverse_mean = unscale(linalg::dot(r_inv->view(), solved->view()), d.data());
    }
    return s;
}

namespace {

// One step of iterative refinement of the factored system's solution b
// (the slopes with an intercept), with g_inv the inverse of sys.g: b += g_inv
// A'e for the residuals e of the design the system describes. With an
// intercept those are formed in centred form, (y - y_mean) - (X - 1m')b,
// which keeps the digits a large intercept would cancel away.
void refine(MatrixView x, VectorView y, const DesignSystem& sys, const Matrix& g_inv, Vector& b) {
    const index_t n = x.rows(), p = x.cols();
    const Vector zero(p, 0.0);
    const Vector& m = sys.x_mean ? *sys.x_mean : zero;
    // The residuals and A'e in twice the working precision, the centred
    // values exact: refinement can only recover the digits A'e carries, and
    // at the solution A'e is what is left of terms that cancel.
    std::vector<linalg::DoubleDouble> ate(p);
    std::vector<linalg::DoubleDouble> centred(p);
    for (index_t i = 0; i < n; ++i) {
        const VectorView r = x.row(i);
        linalg::DoubleDouble e = linalg::DoubleDouble::difference(y[i], sys.y_mean);
        for (index_t j = 0; j < p; ++j) {
            centred[j] = linalg::DoubleDouble::difference(r[j], m[j]);
            if (sys.x_mean_error) centred[j].add(-(*sys.x_mean_error)[j]);
            e.add_product(centred[j], -b[j]);
        }
        for (index_t j = 0; j < p; ++j) {
            ate[j].add_product(centred[j].hi, e.hi);
            ate[j].add_product(centred[j].hi, e.lo);
            ate[j].add_product(centred[j].lo, e.hi);
        }
    }
    Vector ate_d(p);
    for (index_t j = 0; j < p; ++j) ate_d[j] = ate[j].value();
    const Vector delta = linalg::dot(g_inv.view(), ate_d.view());
    for (index_t j = 0; j < p; ++j) b[j] += delta[j];
}

// mean(y - X b) in extended precision: the intercept for the slopes b
// without the cancellation of y_mean - m'b when the means are large.
double mean_offset(MatrixView x, VectorView y, VectorView b) {
    long double total = 0.0L;
    for (index_t i = 0; i < x.rows(); ++i) {
        const VectorView r = x.row(i);
        long double e = y[i];
        for (index_t j = 0; j < x.cols(); ++j) e -= static_cast<long double>(r[j]) * b[j];
        total += e;
    }
    return static_cast<double>(total / static_cast<long double>(x.rows()));
}

// ||A||_F * ||A^-1||_F, an upper bound of the 2-norm condition number.
double frobenius_condition(const Matrix& a, const Matrix& a_inv) {
    double fa = 0.0, fi = 0.0;
    for (index_t i = 0; i < a.size(); ++i) {
        fa += a.data()[i] * a.data()[i];
        fi += a_inv.data()[i] * a_inv.data()[i];
    }
    return std::sqrt(fa) * std::sqrt(fi);
}

// Whether refinement provably converges, from the exact reciprocal 1-norm
// condition of the scaled system.
bool refinement_converges(double rcond, index_t p) {
    return static_cast<double>(p) * kEps < kRefineContractionBelow * rcond;
}

// The explicit design of a system stated by its rows, formed on demand:
// whole, or row by row in extended precision.
struct RowsOfSystem {
    const RoutedProblem& rp;
    const DesignSystem& sys;
    std::pair<Matrix, Vector> operator()() const { return explicit_design(rp.x, rp.y, sys, rp.s); }
    void operator()(index_t i, long double* row) const { explicit_design_row(rp.x, rp.y, sys, rp.s, i, row); }
};

// The problem borrows rows, which must outlive its solve.
LeastSquaresProblem routed_problem(const RoutedProblem& rp, const DesignSystem& sys, const RowsOfSystem& rows,
                                   bool with_rhs) {
    LeastSquaresProblem pr = sys.problem(rp.n, with_rhs);
    if (rp.materialise) {
        pr.materialise = rp.materialise;
    } else {
        pr.materialise = rows;
        pr.extended_row = rows;
    }
    pr.penalised = rp.penalised;
    pr.penalty = rp.penalty;
    pr.border = rp.border;
    return pr;
}

}  // namespace

std::unexpected<EstimatorError> singular_refusal(const RoutePolicy& policy, Route route,
                                                 const char* identified_singular) {
    const char* message = identified_singular   ? identified_singular
                          : route == Route::Svd ? policy.svd_singular
                                                : policy.singular;
    return policy.value_errors ? value_error(message) : runtime_error(message);
}

Result<RoutedSolution> solve_routed(const RoutedProblem& rp, const RoutePolicy& policy) {
    const Route route = choose_route(policy, rp.n, rp.q, rp.columns);
    std::optional<DesignSystem> formed;
    const DesignSystem& sys = rp.sys ? *rp.sys : formed.emplace(rp.system());
    const RowsOfSystem rows{rp, sys};
    // A short design is solved as any other: its rank decided on the unit
    // columns, its solution from the centred, equilibrated system (by QR of
    // the design when ill-conditioned). Only a full-rank design is fitted,
    // and its least-squares solution is unique: the minimum-norm solution of
    // the raw design is the same one, with the digits an offset or a column
    // scale would cost it.
    const Factorisation by = route == Route::Factored ? policy.factored : Factorisation::Lu;
    auto s = solve(routed_problem(rp, sys, rows, true), by);
    if (!s) return singular_refusal(policy, route);
    const bool refine_it = policy.refine && refinement_converges(s->rcond, sys.g.rows()) &&
                           (s->by_qr || frobenius_condition(sys.g, s->inverse) > kRefineAboveFrobeniusCondition);
    for (int step = 0; refine_it && step < kRefinementSteps; ++step) refine(rp.x, rp.y, sys, s->inverse, s->beta);
    Matrix inverse = s->mean_quadratic
                         ? sys.expand_inverse(std::move(s->inverse), *s->mean_quadratic, s->inverse_mean->view())
                         : sys.expand_inverse(std::move(s->inverse));
    RoutedSolution out{route, sys.expand_beta(s->beta), std::move(inverse), s->ssr};
    // The intercept of slopes that are not the normal equations' own,
    // without the cancellation of y_mean - m'b.
    if (policy.refine && (refine_it || s->by_qr) && sys.x_mean) out.beta[0] = mean_offset(rp.x, rp.y, s->beta);
    return out;
}

namespace {

// Zd Dz^-1 = Q Rs, M = Q'Xd: b = M^-1 Q'y and A^-1 = M^-1 Rs^-T Dz^-1.
std::expected<SquareSolution, SolveFailure> solve_square_by_qr(Matrix zd, const Matrix& xd, const SquareProblem& pr) {
    const index_t n = zd.rows(), k = zd.cols();
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < k; ++j) zd(i, j) /= pr.z_norms[j];
    Matrix rhs(n, k + 1);
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < k; ++j) rhs(i, j) = xd(i, j);
        rhs(i, k) = pr.y[i];
    }
    auto q = linalg::qr(zd.view(), rhs.view());
    if (!q) return std::unexpected(SolveFailure::Singular);
    // Singular when Q'Xd, with Xd's columns at unit length, is: conditioned
    // like the designs, where Zd'Xd squares the condition of Z = X.
    Matrix m(k, k);
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) m(i, j) = q->qtb(i, j) / pr.x_norms[j];
    // Not rescaled again: a column of Q'Xd near zero is a regressor the
    // instruments do not reach.
    auto sv = linalg::singular_values(m.view());
    if (!sv || !((*sv)[k - 1] > rank_tolerance(pr.n, k) * (*sv)[0])) return std::unexpected(SolveFailure::Singular);
    auto f = linalg::factor_lu(q->qtb.view().col_range(0, k));
    if (!f) return std::unexpected(SolveFailure::Singular);
    SquareSolution s;
    s.beta = linalg::factor_solve(*f, q->qtb.view().col(k));
    auto rt_inv = linalg::solve_triangular(q->r.t(), Triangle::Lower, linalg::identity(k));
    if (!rt_inv) return std::unexpected(SolveFailure::Singular);
    s.inverse = linalg::dot(f->inverse.view(), rt_inv->view());
    s.sandwich = linalg::dot(f->inverse.view(), f->inverse.t());
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) s.inverse(i, j) /= pr.z_norms[j];
    return s;
}

}  // namespace

std::expected<FactoredSolution, SolveFailure> solve_factored(const FactoredProblem& pr) {
    const index_t rows = pr.a.rows(), p = pr.a.cols();
    const bool penalised = pr.alpha > 0.0;
    const double tol = rank_tolerance(pr.n, pr.k);
    // The decisions of solve(): a column that is zero, or nothing but
    // rounding noise once centred, is singular; the rest are scaled to unit
    // length by powers of two, which add no rounding.
    Vector d(p), to_raw(p);
    for (index_t j = 0; j < p; ++j) {
        const double length = pr.lengths[j], raw = pr.raw_norms[j];
        const double ratio = raw > 0.0 ? length / raw : 0.0;
        d[j] = power_of_two_near(length);
        to_raw[j] = raw > 0.0 ? d[j] / raw : 0.0;
        if (!(d[j] > 0.0) || !(ratio > tol)) {
            if (!penalised) return std::unexpected(SolveFailure::Singular);
            d[j] = to_raw[j] = 1.0;  // the penalty alone carries this column
        }
    }
    const index_t stacked = rows + (penalised ? p : 0);
    if (stacked < p) return std::unexpected(SolveFailure::Singular);
    Matrix as(stacked, p, 0.0);
    Vector ts(stacked, 0.0);
    for (index_t i = 0; i < rows; ++i) {
        for (index_t j = 0; j < p; ++j) as(i, j) = pr.a(i, j) / d[j];
        ts[i] = pr.t[i];
    }
    for (index_t j = 0; penalised && j < p; ++j) as(rows + j, j) = std::sqrt(pr.alpha) / d[j];
    // An upper-triangular a (least squares from a merged R) is its own
    // factor: LAPACK's reflectors of its zero subdiagonals are the identity.
    auto qr = linalg::qr(as.view(), ts.view());
    if (!qr) return std::unexpected(SolveFailure::Singular);
    if (!penalised && !(singular_value_ratio(bordered_factor(qr->r, to_raw.view(), pr.intercept_row)) > tol))
        return std::unexpected(SolveFailure::Singular);
    auto z = linalg::solve_triangular(qr->r.view(), Triangle::Upper, qr->qtb.view());
    auto rs_inv = linalg::solve_triangular(qr->r.view(), Triangle::Upper, linalg::identity(p).view());
    if (!z || !rs_inv) return std::unexpected(SolveFailure::Singular);
    FactoredSolution out;
    out.singular_ratio = singular_value_ratio(qr->r);
    out.factor_inverse = Matrix(p, p);
    for (index_t i = 0; i < p; ++i)
        for (index_t j = 0; j < p; ++j) out.factor_inverse(i, j) = (*rs_inv)(i, j) / d[i];
    LeastSquaresSolution& s = out.solution;
    s.by_qr = true;
    s.beta = unscale(std::move(*z), d.data());
    s.inverse = linalg::dot(out.factor_inverse.view(), out.factor_inverse.t());
    if (pr.x_mean) {
        // The intercept's entries from w = R^-T m by substitution: m'g^-1 m =
        // w'w and g^-1 m = F w, where the explicit inverse would cancel
        // digits like the square of the condition.
        Vector scaled(p);
        for (index_t j = 0; j < p; ++j) scaled[j] = (*pr.x_mean)[j] / d[j];
        auto w = linalg::solve_triangular(qr->r.t(), Triangle::Lower, scaled.view());
        if (!w) return std::unexpected(SolveFailure::Singular);
        s.mean_quadratic = linalg::dot(w->view(), w->view());
        s.inverse_mean = linalg::dot(out.factor_inverse.view(), w->view());
        out.mean_coordinates = std::move(*w);
    }
    return out;
}

std::optional<Matrix> trusted_cholesky(const Matrix& g) { return equilibrated_cholesky(g, kExamineBelowRcond); }

std::optional<Matrix> equilibrated_cholesky(const Matrix& g, double min_rcond) {
    const index_t p = g.rows();
    Vector d(p);
    for (index_t j = 0; j < p; ++j) {
        d[j] = power_of_two_near(std::sqrt(g(j, j)));
        if (!(d[j] > 0.0) || !std::isfinite(d[j])) return std::nullopt;
    }
    Matrix gs(p, p);
    equilibrate(g, d.data(), gs.data());
    auto f = linalg::factor_cholesky(gs.view());
    if (!f || !(f->rcond >= min_rcond)) return std::nullopt;
    // g = D L L' D: R = L' D, L held column-major in the factor.
    Matrix r(p, p, 0.0);
    for (index_t i = 0; i < p; ++i)
        for (index_t j = i; j < p; ++j) r(i, j) = f->factors[i * p + j] * d[j];
    return r;
}

Result<FactoredSolution> solve_factored(const FactoredProblem& pr, const RoutePolicy& policy, index_t q,
                                        const char* identified_singular) {
    const Route route = choose_route(policy, pr.n, q, pr.k);
    if (pr.n <= pr.k) return singular_refusal(policy, route, identified_singular);
    auto s = solve_factored(pr);
    if (!s) return singular_refusal(policy, route, identified_singular);
    return std::move(*s);
}

std::optional<Matrix> first_stage_from_factor(const Matrix& r, index_t z, const std::vector<index_t>& cols, double tol,
                                              bool identified) {
    // Z~'s factor with unit columns: the instruments' rank is judged there.
    Vector dz(z);
    Matrix rz(z, z, 0.0);
    for (index_t j = 0; j < z; ++j) {
        double sum = 0.0;
        for (index_t i = 0; i <= j; ++i) sum += r(i, j) * r(i, j);
        dz[j] = sum > 0.0 ? std::sqrt(sum) : 1.0;
        for (index_t i = 0; i <= j; ++i) rz(i, j) = r(i, j) / dz[j];
    }
    Matrix rhs(z, cols.size());
    for (index_t i = 0; i < z; ++i)
        for (index_t s = 0; s < cols.size(); ++s) rhs(i, s) = r(i, cols[s]);
    std::optional<Matrix> pi;
    if (singular_value_ratio(rz) > tol) {
        auto solved = linalg::solve_triangular(rz.view(), Triangle::Upper, rhs.view());
        if (solved) pi = std::move(*solved);
    } else if (!identified) {
        auto ls = linalg::least_squares(rz.view(), rhs.view(), tol);
        if (ls) pi = std::move(ls->solution);
    }
    if (!pi) return std::nullopt;
    for (index_t i = 0; i < z; ++i)
        for (index_t s = 0; s < cols.size(); ++s) (*pi)(i, s) /= dz[i];
    return pi;
}

double scaled_singular_ratio(MatrixView a) {
    const double c = linalg::scaled_condition_number(a);
    return c > 0.0 && std::isfinite(c) ? 1.0 / c : 0.0;
}

std::expected<SquareSolution, SolveFailure> solve_square(const SquareProblem& pr) {
    const Matrix& a = *pr.a;
    const index_t k = a.rows();
    for (index_t j = 0; j < k; ++j)
        if (!(pr.z_norms[j] > 0.0) || !(pr.x_norms[j] > 0.0)) return std::unexpected(SolveFailure::Singular);
    Matrix as(k, k);
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) as(i, j) = a(i, j) / pr.z_norms[i] / pr.x_norms[j];
    auto f = linalg::factor_lu(as.view());
    if (!f || f->rcond < kExamineBelowRcond) {
        const double tol = rank_tolerance(pr.n, k);
        auto [zd, xd] = pr.materialise();
        if (!(scaled_singular_ratio(zd.view()) > tol) || !(scaled_singular_ratio(xd.view()) > tol))
            return std::unexpected(SolveFailure::Singular);
        if (pr.refer_ill_conditioned) return std::unexpected(SolveFailure::IllConditioned);
        return solve_square_by_qr(std::move(zd), xd, pr);
    }
    // A^-1 = Dx^-1 As^-1 Dz^-1.
    const Matrix m = f->inverse;
    SquareSolution s{Vector(k), Matrix(k, k)};
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) s.inverse(i, j) = m(i, j) / pr.x_norms[i] / pr.z_norms[j];
    s.beta = linalg::dot(s.inverse.view(), pr.c->view());
    return s;
}

std::optional<Matrix> first_stage_from_moments(const Matrix& zz, const Matrix& zx) {
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
    if (!f || f->rcond < kExamineBelowRcond) return std::nullopt;
    Matrix m = f->inverse;
    for (index_t i = 0; i < q; ++i)
        for (index_t j = 0; j < q; ++j) m(i, j) = m(i, j) / d[i] / d[j];
    return linalg::dot(m.view(), zx.view());
}

Result<Matrix> first_stage(MatrixView z, MatrixView x) {
    const index_t n = z.rows(), q = z.cols();
    if (first_stage_by_normal_equations(n, q)) {
        if (auto pi = first_stage_from_moments(linalg::gram(z), linalg::dot(z.t(), x))) return std::move(*pi);
    }
    Vector d = linalg::column_norms(z);
    Matrix zs(n, q);
    for (index_t j = 0; j < q; ++j)
        if (!(d[j] > 0.0)) d[j] = 1.0;  // a zero instrument stays zero and is dropped
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < q; ++j) zs(i, j) = z(i, j) / d[j];
    auto ls = linalg::least_squares(zs.view(), x, rank_tolerance(n, q));
    if (!ls) return value_error("Failed to solve first stage regression");
    Matrix pi = std::move(ls->solution);
    for (index_t j = 0; j < q; ++j)
        for (index_t c = 0; c < pi.cols(); ++c) pi(j, c) /= d[j];
    return pi;
}

}  // namespace ordinata::models::linear
