#include "linalg/factor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/lapack.hpp"
#include "linalg/ops.hpp"
#include "linalg/parallel.hpp"

namespace ordinata::linalg {

using lapack::lapack_int;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool fits_int(index_t v) { return v <= static_cast<index_t>(std::numeric_limits<lapack_int>::max()); }

LinalgResult<void> check_square(MatrixView a) {
    if (a.rows() != a.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(a.rows()),
                                           static_cast<std::int64_t>(a.cols())});
    if (!fits_int(a.rows())) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    return {};
}

std::vector<double> col_major(MatrixView a, index_t ld) {
    std::vector<double> out(ld * a.cols(), 0.0);
    for (index_t j = 0; j < a.cols(); ++j)
        for (index_t i = 0; i < a.rows(); ++i) out[j * ld + i] = a(i, j);
    return out;
}

// Largest absolute column sum: the 1-norm the condition estimators take.
double one_norm(const std::vector<double>& a, index_t n) {
    double best = 0.0;
    for (index_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (index_t i = 0; i < n; ++i) s += std::fabs(a[j * n + i]);
        best = std::max(best, s);
    }
    return best;
}

}  // namespace

namespace {

// A^-1 from the factors by solving against the identity, and the exact
// reciprocal condition number it gives (0 when the inverse overflows).
void complete(SquareFactor& f, double anorm) {
    const index_t n = f.n;
    std::vector<double> b(n * n, 0.0);
    for (index_t i = 0; i < n; ++i) b[i * n + i] = 1.0;
    const lapack_int N = static_cast<lapack_int>(n);
    lapack_int info = 0;
    if (f.is_cholesky())
        lapack::dpotrs_("L", &N, &N, f.factors.data(), &N, b.data(), &N, &info, 1);
    else
        lapack::dgetrs_("N", &N, &N, f.factors.data(), &N, f.ipiv.data(), b.data(), &N, &info, 1);
    f.inverse = Matrix(n, n);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < n; ++j) f.inverse(i, j) = b[j * n + i];
    // The inverse of a symmetric matrix is symmetric: drop the rounding skew.
    if (f.is_cholesky())
        for (index_t i = 0; i < n; ++i)
            for (index_t j = 0; j < i; ++j)
                f.inverse(i, j) = f.inverse(j, i) = 0.5 * (f.inverse(i, j) + f.inverse(j, i));
    const double inorm = one_norm(b, n);
    f.rcond = std::isfinite(inorm) && inorm > 0.0 && anorm > 0.0 ? 1.0 / (anorm * inorm) : 0.0;
}

}  // namespace

LinalgResult<SquareFactor> factor_cholesky(MatrixView a) {
    if (auto ok = check_square(a); !ok) return std::unexpected(ok.error());
    SquareFactor f{col_major(a, a.rows()), {}, a.rows(), Matrix(), 1.0};
    if (f.n == 0) return f;
    const lapack_int N = static_cast<lapack_int>(f.n);
    // The full symmetric 1-norm, from the lower triangle the factor reads.
    for (index_t j = 0; j < f.n; ++j)
        for (index_t i = 0; i < j; ++i) f.factors[j * f.n + i] = f.factors[i * f.n + j];
    const double anorm = one_norm(f.factors, f.n);
    lapack_int info = 0;
    lapack::dpotrf_("L", &N, f.factors.data(), &N, &info, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    complete(f, anorm);
    return f;
}

LinalgResult<SquareFactor> factor_lu(MatrixView a) {
    if (auto ok = check_square(a); !ok) return std::unexpected(ok.error());
    SquareFactor f{col_major(a, a.rows()), std::vector<std::int32_t>(a.rows()), a.rows(), Matrix(), 1.0};
    if (f.n == 0) return f;
    const lapack_int N = static_cast<lapack_int>(f.n);
    const double anorm = one_norm(f.factors, f.n);
    lapack_int info = 0;
    lapack::dgetrf_(&N, &N, f.factors.data(), &N, f.ipiv.data(), &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    complete(f, anorm);
    return f;
}

Vector factor_solve(const SquareFactor& f, VectorView b) {
    Vector x = Vector::from(b);
    if (f.n == 0) return x;
    const lapack_int N = static_cast<lapack_int>(f.n), one = 1;
    lapack_int info = 0;
    if (f.is_cholesky())
        lapack::dpotrs_("L", &N, &one, f.factors.data(), &N, x.data(), &N, &info, 1);
    else
        lapack::dgetrs_("N", &N, &one, f.factors.data(), &N, f.ipiv.data(), x.data(), &N, &info, 1);
    return x;
}

LinalgResult<QrFactorMany> qr(MatrixView a, MatrixView b) {
    const index_t m = a.rows(), n = a.cols(), nrhs = b.cols();
    if (b.rows() != m || m < n || !fits_int(m) || !fits_int(n) || !fits_int(nrhs))
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    QrFactorMany out{Matrix(n, n, 0.0), Matrix(n, nrhs, 0.0)};
    if (n == 0) return out;
    std::vector<double> abuf = col_major(a, m);  // overwritten by dgeqrf
    std::vector<double> c = col_major(b, m);     // overwritten by Q'B
    std::vector<double> tau(n);
    const lapack_int M = static_cast<lapack_int>(m), N = static_cast<lapack_int>(n);
    const lapack_int NRHS = static_cast<lapack_int>(std::max<index_t>(nrhs, 1));
    lapack_int info = 0, lwork = -1;
    double q1 = 0.0, q2 = 0.0;
    lapack::dgeqrf_(&M, &N, abuf.data(), &M, tau.data(), &q1, &lwork, &info);
    lapack::dormqr_("L", "T", &M, &NRHS, &N, abuf.data(), &M, tau.data(), c.data(), &M, &q2, &lwork, &info, 1, 1);
    lwork = std::max<lapack_int>({static_cast<lapack_int>(q1), static_cast<lapack_int>(q2), N, NRHS, 1});
    std::vector<double> work(static_cast<std::size_t>(lwork));
    lapack::dgeqrf_(&M, &N, abuf.data(), &M, tau.data(), work.data(), &lwork, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    if (nrhs > 0) {
        lapack::dormqr_("L", "T", &M, &NRHS, &N, abuf.data(), &M, tau.data(), c.data(), &M, work.data(), &lwork, &info,
                        1, 1);
        if (info != 0) return std::unexpected(LinalgError::from_info(info));
    }
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = i; j < n; ++j) out.r(i, j) = abuf[j * m + i];
        for (index_t j = 0; j < nrhs; ++j) out.qtb(i, j) = c[j * m + i];
    }
    return out;
}

LinalgResult<QrFactor> qr(MatrixView a, VectorView b) {
    auto f = qr(a, MatrixView{b.base, b.size(), 1, b.stride, 1});
    if (!f) return std::unexpected(f.error());
    return QrFactor{std::move(f->r), Vector::from(f->qtb.view().col(0))};
}

LinalgResult<Vector> singular_values(MatrixView a) {
    const index_t m = a.rows(), n = a.cols(), k = std::min(m, n);
    Vector s(k);
    if (k == 0) return s;
    if (!fits_int(m) || !fits_int(n)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    std::vector<double> abuf = col_major(a, m);
    const lapack_int M = static_cast<lapack_int>(m), N = static_cast<lapack_int>(n), one = 1;
    lapack_int info = 0, lwork = -1;
    double query = 0.0, dummy = 0.0;
    lapack::dgesvd_("N", "N", &M, &N, abuf.data(), &M, s.data(), &dummy, &one, &dummy, &one, &query, &lwork, &info, 1,
                    1);
    lwork = std::max<lapack_int>(static_cast<lapack_int>(query), 1);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    lapack::dgesvd_("N", "N", &M, &N, abuf.data(), &M, s.data(), &dummy, &one, &dummy, &one, work.data(), &lwork, &info,
                    1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    return s;
}

LinalgResult<Vector> symmetric_eigenvalues(MatrixView a) {
    if (auto ok = check_square(a); !ok) return std::unexpected(ok.error());
    const index_t n = a.rows();
    Vector w(n);
    if (n == 0) return w;
    std::vector<double> abuf = col_major(a, n);
    const lapack_int N = static_cast<lapack_int>(n);
    lapack_int info = 0, lwork = -1;
    double query = 0.0;
    lapack::dsyev_("N", "L", &N, abuf.data(), &N, w.data(), &query, &lwork, &info, 1, 1);
    lwork = std::max<lapack_int>(static_cast<lapack_int>(query), 3 * N);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    lapack::dsyev_("N", "L", &N, abuf.data(), &N, w.data(), work.data(), &lwork, &info, 1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    return w;
}

Vector column_norms(MatrixView a) {
    // One pass over the rows for the plain sums of squares; only a column
    // whose sum overflows, underflows or holds NaN is measured again with
    // the scaling of the reference dnrm2.
    const index_t n = a.rows(), p = a.cols();
    const auto parts = map_row_chunks(n, p, [&](index_t first, index_t rows) {
        Vector part(p, 0.0);
        for (index_t i = first; i < first + rows; ++i) {
            const VectorView r = a.row(i);
            for (index_t j = 0; j < p; ++j) part[j] += r[j] * r[j];
        }
        return part;
    });
    Vector ss(p, 0.0), out(p);
    for (const Vector& part : parts)
        for (index_t j = 0; j < p; ++j) ss[j] += part[j];
    for (index_t j = 0; j < p; ++j) {
        const double v = ss[j];
        if (std::isfinite(v) && (v == 0.0 || v >= 0x1p-900)) {
            out[j] = std::sqrt(v);
            continue;
        }
        const VectorView c = a.col(j);
        double big = 0.0;
        for (index_t i = 0; i < n; ++i) {
            const double x = std::fabs(c[i]);
            if (x > big || x != x) big = x;  // a NaN, once taken, stays
        }
        if (big == 0.0 || !std::isfinite(big)) {
            out[j] = big;
            continue;
        }
        const double inv_big = 1.0 / big;
        double s2 = 0.0;
        for (index_t i = 0; i < n; ++i) {
            const double x = c[i] * inv_big;
            s2 += x * x;
        }
        out[j] = big * std::sqrt(s2);
    }
    return out;
}

double scaled_condition_number(MatrixView design) {
    const index_t r = design.rows(), c = design.cols();
    if (r == 0 || c == 0) return kNaN;
    const Vector norms = column_norms(design);
    for (index_t j = 0; j < c; ++j)
        if (!std::isfinite(norms[j])) return kNaN;
    for (index_t j = 0; j < c; ++j)
        if (norms[j] == 0.0) return kInf;
    // The Gram matrix of the unit columns carries the answer to about eight
    // digits while its eigenvalue ratio stays below 1e8; beyond that the
    // singular values come from the scaled design itself.
    if (r >= c) {
        Matrix g = gram(design);
        bool finite = true;
        for (index_t i = 0; i < c; ++i)
            for (index_t j = 0; j < c; ++j) {
                g(i, j) = g(i, j) / norms[i] / norms[j];
                finite = finite && std::isfinite(g(i, j));
            }
        if (finite) {
            if (auto ev = symmetric_eigenvalues(g.view())) {
                const double lo = (*ev)[0], hi = (*ev)[c - 1];
                if (lo > 0.0 && hi < 1e8 * lo) return std::sqrt(hi / lo);
            }
        }
    }
    Matrix scaled(r, c);
    for (index_t i = 0; i < r; ++i)
        for (index_t j = 0; j < c; ++j) scaled(i, j) = design(i, j) / norms[j];
    auto sv = singular_values(scaled.view());
    if (!sv) return kNaN;
    const double top = (*sv)[0], bottom = (*sv)[sv->size() - 1];
    return bottom > 0.0 ? top / bottom : kInf;
}

}  // namespace ordinata::linalg
