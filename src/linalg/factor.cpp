#include "linalg/factor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/lapack.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"

namespace ordinata::linalg {

using lapack::as_int;
using lapack::fits_int;
using lapack::lapack_int;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

LinalgResult<void> check_square(MatrixView a) {
    if (a.rows() != a.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(a.rows()),
                                           static_cast<std::int64_t>(a.cols())});
    if (!fits_int(a.rows())) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    return {};
}

// Column-major copy of a view, with leading dimension ld >= rows (the
// padding rows zero).
Vector col_major(MatrixView a, index_t ld, Purpose purpose) {
    Vector out(ld * a.cols(), purpose);
    std::fill_n(out.data(), out.size(), 0.0);
    for (index_t j = 0; j < a.cols(); ++j)
        for (index_t i = 0; i < a.rows(); ++i) out[j * ld + i] = a(i, j);
    return out;
}

Matrix from_col_major(const double* buf, index_t rows, index_t cols, index_t ld) {
    Matrix out(rows, cols);
    for (index_t i = 0; i < rows; ++i)
        for (index_t j = 0; j < cols; ++j) out(i, j) = buf[j * ld + i];
    return out;
}

// What each driver's scratch holds, for the message when it cannot be had.
constexpr Purpose kSquareFactor{"the factorisation of the cross-product matrix"};
constexpr Purpose kQr{"the QR factorisation"};
constexpr Purpose kSvd{"the singular value decomposition"};
constexpr Purpose kEigen{"the eigenvalue decomposition"};
constexpr Purpose kTriangular{"the triangular solve"};
constexpr Purpose kLeastSquares{"the least-squares solve"};

// Largest absolute column sum: the 1-norm the condition estimators take.
double one_norm(const double* a, index_t n) {
    double best = 0.0;
    for (index_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (index_t i = 0; i < n; ++i) s += std::fabs(a[j * n + i]);
        best = std::max(best, s);
    }
    return best;
}

// Up to this order the factorisations and their solves run as plain loops
// over column-major storage, the unblocked algorithms LAPACK itself applies
// to small blocks: a library call costs more than such a problem (buffer
// allocation, locking, dispatch). Measured on an OLS fit, the loops save
// about 0.7 us at order 4, break even at 8 and lose from 12 on, where
// LAPACK's vector kernels win. Larger orders go to LAPACK.
constexpr index_t kSmallOrder = 8;

// dpotrf "L" for n <= kSmallOrder: the lower triangle of a overwritten by L,
// column by column; INFO = j when the leading minor of order j is not positive.
lapack_int small_potrf(index_t n, double* a) {
    for (index_t j = 0; j < n; ++j) {
        double ajj = a[j * n + j];
        for (index_t k = 0; k < j; ++k) ajj -= a[k * n + j] * a[k * n + j];
        if (!(ajj > 0.0)) {
            a[j * n + j] = ajj;
            return static_cast<lapack_int>(j + 1);
        }
        ajj = std::sqrt(ajj);
        a[j * n + j] = ajj;
        for (index_t i = j + 1; i < n; ++i) {
            double v = a[j * n + i];
            for (index_t k = 0; k < j; ++k) v -= a[k * n + i] * a[k * n + j];
            a[j * n + i] = v / ajj;
        }
    }
    return 0;
}

// dgetrf for n <= kSmallOrder: partial pivoting on the first largest
// magnitude, ipiv 1-based; INFO = j for the first exactly zero pivot (the
// factorisation is still completed, as LAPACK's is).
lapack_int small_getrf(index_t n, double* a, std::int32_t* ipiv) {
    lapack_int info = 0;
    for (index_t j = 0; j < n; ++j) {
        index_t p = j;
        double best = std::fabs(a[j * n + j]);
        for (index_t i = j + 1; i < n; ++i)
            if (std::fabs(a[j * n + i]) > best) {
                best = std::fabs(a[j * n + i]);
                p = i;
            }
        ipiv[j] = static_cast<std::int32_t>(p + 1);
        if (a[j * n + p] != 0.0) {
            if (p != j)
                for (index_t k = 0; k < n; ++k) std::swap(a[k * n + j], a[k * n + p]);
            const double pivot = a[j * n + j];
            for (index_t i = j + 1; i < n; ++i) a[j * n + i] /= pivot;
        } else if (info == 0) {
            info = static_cast<lapack_int>(j + 1);
        }
        for (index_t k = j + 1; k < n; ++k) {
            const double ajk = a[k * n + j];
            for (index_t i = j + 1; i < n; ++i) a[k * n + i] -= a[j * n + i] * ajk;
        }
    }
    return info;
}

// L y = b (unit diagonal when unit is set), then U x = y, for each of the
// nrhs columns of the column-major b; L and U read from the n x n factors.
void small_lower_solve(index_t n, const double* l, bool unit, double* b) {
    for (index_t i = 0; i < n; ++i) {
        double v = b[i];
        for (index_t k = 0; k < i; ++k) v -= l[k * n + i] * b[k];
        b[i] = unit ? v : v / l[i * n + i];
    }
}

// dpotrs "L": L L' x = b, with L' read from the lower triangle.
void small_potrs(index_t n, index_t nrhs, const double* l, double* b) {
    for (index_t r = 0; r < nrhs; ++r) {
        double* x = b + r * n;
        small_lower_solve(n, l, false, x);
        for (index_t i = n; i-- > 0;) {
            double v = x[i];
            for (index_t k = i + 1; k < n; ++k) v -= l[i * n + k] * x[k];
            x[i] = v / l[i * n + i];
        }
    }
}

// dgetrs "N": P L U x = b.
void small_getrs(index_t n, index_t nrhs, const double* lu, const std::int32_t* ipiv, double* b) {
    for (index_t r = 0; r < nrhs; ++r) {
        double* x = b + r * n;
        for (index_t i = 0; i < n; ++i) {
            const index_t p = static_cast<index_t>(ipiv[i] - 1);
            if (p != i) std::swap(x[i], x[p]);
        }
        small_lower_solve(n, lu, true, x);
        for (index_t i = n; i-- > 0;) {
            double v = x[i];
            for (index_t k = i + 1; k < n; ++k) v -= lu[k * n + i] * x[k];
            x[i] = v / lu[i * n + i];
        }
    }
}

// The factor solve, by the plain loops or by LAPACK.
void solve_in_place(const SquareFactor& f, index_t nrhs, double* b) {
    const lapack_int N = static_cast<lapack_int>(f.n), NRHS = static_cast<lapack_int>(nrhs);
    lapack_int info = 0;
    if (f.is_cholesky()) {
        if (f.n <= kSmallOrder)
            small_potrs(f.n, nrhs, f.factors.data(), b);
        else
            lapack::dpotrs_("L", &N, &NRHS, f.factors.data(), &N, b, &N, &info, 1);
    } else {
        if (f.n <= kSmallOrder)
            small_getrs(f.n, nrhs, f.factors.data(), f.ipiv.data(), b);
        else
            lapack::dgetrs_("N", &N, &NRHS, f.factors.data(), &N, f.ipiv.data(), b, &N, &info, 1);
    }
}

}  // namespace

namespace {

// A^-1 from the factors by solving against the identity, and the exact
// reciprocal condition number it gives (0 when the inverse overflows).
void complete(SquareFactor& f, double anorm) {
    const index_t n = f.n;
    // Solved in the inverse's own buffer, column-major, then transposed in place.
    f.inverse = Matrix(n, n, 0.0);
    double* b = f.inverse.data();
    for (index_t i = 0; i < n; ++i) b[i * n + i] = 1.0;
    solve_in_place(f, n, b);
    const double inorm = one_norm(b, n);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < i; ++j) std::swap(b[i * n + j], b[j * n + i]);
    // The inverse of a symmetric matrix is symmetric: drop the rounding skew.
    if (f.is_cholesky())
        for (index_t i = 0; i < n; ++i)
            for (index_t j = 0; j < i; ++j)
                f.inverse(i, j) = f.inverse(j, i) = 0.5 * (f.inverse(i, j) + f.inverse(j, i));
    f.rcond = std::isfinite(inorm) && inorm > 0.0 && anorm > 0.0 ? 1.0 / (anorm * inorm) : 0.0;
}

}  // namespace

LinalgResult<SquareFactor> factor_cholesky(MatrixView a) {
    if (auto ok = check_square(a); !ok) return std::unexpected(ok.error());
    SquareFactor f{col_major(a, a.rows(), kSquareFactor), {}, a.rows(), Matrix(), 1.0};
    if (f.n == 0) return f;
    const lapack_int N = static_cast<lapack_int>(f.n);
    // The full symmetric 1-norm, from the lower triangle the factor reads.
    for (index_t j = 0; j < f.n; ++j)
        for (index_t i = 0; i < j; ++i) f.factors[j * f.n + i] = f.factors[i * f.n + j];
    const double anorm = one_norm(f.factors.data(), f.n);
    lapack_int info = 0;
    if (f.n <= kSmallOrder)
        info = small_potrf(f.n, f.factors.data());
    else
        lapack::dpotrf_("L", &N, f.factors.data(), &N, &info, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    complete(f, anorm);
    return f;
}

LinalgResult<SquareFactor> factor_lu(MatrixView a) {
    if (auto ok = check_square(a); !ok) return std::unexpected(ok.error());
    SquareFactor f{col_major(a, a.rows(), kSquareFactor), std::vector<std::int32_t>(a.rows()), a.rows(), Matrix(), 1.0};
    if (f.n == 0) return f;
    const lapack_int N = static_cast<lapack_int>(f.n);
    const double anorm = one_norm(f.factors.data(), f.n);
    lapack_int info = 0;
    if (f.n <= kSmallOrder)
        info = small_getrf(f.n, f.factors.data(), f.ipiv.data());
    else
        lapack::dgetrf_(&N, &N, f.factors.data(), &N, f.ipiv.data(), &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    complete(f, anorm);
    return f;
}

Vector factor_solve(const SquareFactor& f, VectorView b) {
    Vector x = Vector::from(b);
    factor_solve_in_place(f, x);
    return x;
}

void factor_solve_in_place(const SquareFactor& f, Vector& b) {
    if (f.n != 0) solve_in_place(f, 1, b.data());
}

LinalgResult<QrFactorMany> qr(MatrixView a, MatrixView b) {
    const index_t m = a.rows(), n = a.cols(), nrhs = b.cols();
    if (b.rows() != m || m < n || !fits_int(m) || !fits_int(n) || !fits_int(nrhs))
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    QrFactorMany out{Matrix(n, n, 0.0), Matrix(n, nrhs, 0.0)};
    if (n == 0) return out;
    Vector abuf = col_major(a, m, kQr);  // overwritten by dgeqrf
    Vector c = col_major(b, m, kQr);     // overwritten by Q'B
    Vector tau(n, kQr);
    const lapack_int M = as_int(m), N = as_int(n);
    const lapack_int NRHS = as_int(std::max<index_t>(nrhs, 1));
    lapack_int info = 0, lwork = -1;
    double q1 = 0.0, q2 = 0.0;
    lapack::dgeqrf_(&M, &N, abuf.data(), &M, tau.data(), &q1, &lwork, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lapack::dormqr_("L", "T", &M, &NRHS, &N, abuf.data(), &M, tau.data(), c.data(), &M, &q2, &lwork, &info, 1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>({static_cast<lapack_int>(q1), static_cast<lapack_int>(q2), N, NRHS, 1});
    Vector work(static_cast<index_t>(lwork), kQr);
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

LinalgResult<void> triangularise_in_place(double* a, index_t m, index_t n, index_t lda, double* work) {
    if (!fits_int(m) || !fits_int(n) || !fits_int(lda) || lda < m)
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    if (m == 0 || n == 0) return {};
    const lapack_int M = as_int(m), N = as_int(n), LDA = as_int(lda);
    // tau first, then dgeqrf's blocked workspace (32 columns a block).
    const lapack_int lwork = as_int(triangularise_work(n) - std::min(m, n));
    lapack_int info = 0;
    lapack::dgeqrf_(&M, &N, a, &LDA, work, work + std::min(m, n), &lwork, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    for (index_t j = 0; j < n; ++j)
        for (index_t i = j + 1; i < m; ++i) a[j * lda + i] = 0.0;
    return {};
}

LinalgResult<Vector> singular_values(MatrixView a) {
    const index_t m = a.rows(), n = a.cols(), k = std::min(m, n);
    Vector s(k);
    if (k == 0) return s;
    if (!fits_int(m) || !fits_int(n)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    Vector abuf = col_major(a, m, kSvd);
    const lapack_int M = as_int(m), N = as_int(n), one = 1;
    lapack_int info = 0, lwork = -1;
    double query = 0.0, dummy = 0.0;
    lapack::dgesvd_("N", "N", &M, &N, abuf.data(), &M, s.data(), &dummy, &one, &dummy, &one, &query, &lwork, &info, 1,
                    1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>(static_cast<lapack_int>(query), 1);
    Vector work(static_cast<index_t>(lwork), kSvd);
    lapack::dgesvd_("N", "N", &M, &N, abuf.data(), &M, s.data(), &dummy, &one, &dummy, &one, work.data(), &lwork, &info,
                    1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    return s;
}

LinalgResult<SingularDecomposition> singular_decomposition(MatrixView a) {
    const index_t m = a.rows(), n = a.cols(), k = std::min(m, n);
    SingularDecomposition out{Vector(k), Matrix(n, n, 0.0)};
    if (n == 0) return out;
    if (!fits_int(m) || !fits_int(n) || m == 0)
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    Vector abuf = col_major(a, m, kSvd);
    Vector vt(n * n, kSvd);
    const lapack_int M = as_int(m), N = as_int(n), one = 1;
    lapack_int info = 0, lwork = -1;
    double query = 0.0, dummy = 0.0;
    lapack::dgesvd_("N", "A", &M, &N, abuf.data(), &M, out.values.data(), &dummy, &one, vt.data(), &N, &query, &lwork,
                    &info, 1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>(static_cast<lapack_int>(query), 1);
    Vector work(static_cast<index_t>(lwork), kSvd);
    lapack::dgesvd_("N", "A", &M, &N, abuf.data(), &M, out.values.data(), &dummy, &one, vt.data(), &N, work.data(),
                    &lwork, &info, 1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    for (index_t j = 0; j < n; ++j)
        for (index_t i = 0; i < n; ++i) out.vt(i, j) = vt[j * n + i];
    return out;
}

LinalgResult<Vector> symmetric_eigenvalues(MatrixView a) {
    if (auto ok = check_square(a); !ok) return std::unexpected(ok.error());
    const index_t n = a.rows();
    Vector w(n);
    if (n == 0) return w;
    Vector abuf = col_major(a, n, kEigen);
    const lapack_int N = as_int(n);
    lapack_int info = 0, lwork = -1;
    double query = 0.0;
    lapack::dsyev_("N", "L", &N, abuf.data(), &N, w.data(), &query, &lwork, &info, 1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>(static_cast<lapack_int>(query), 3 * N);
    Vector work(static_cast<index_t>(lwork), kEigen);
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
        double* __restrict acc = part.data();
        // Rows of adjacent values: the compiler keeps the sums in registers
        // and pairs the columns; each column's order of summation is the same.
        if (a.col_stride == 1 && p > 0) {
            for (index_t i = first; i < first + rows; ++i) {
                const double* __restrict r = a.base + static_cast<stride_t>(i) * a.row_stride;
                for (index_t j = 0; j < p; ++j) acc[j] += r[j] * r[j];
            }
            return part;
        }
        for (index_t i = first; i < first + rows; ++i) {
            const VectorView r = a.row(i);
            for (index_t j = 0; j < p; ++j) acc[j] += r[j] * r[j];
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

namespace {

// Solves in place on a column-major right-hand side of n rows and nrhs columns.
LinalgResult<Vector> trtrs(MatrixView t, Triangle tri, Vector rhs, index_t nrhs) {
    if (t.rows() != t.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(t.rows()),
                                           static_cast<std::int64_t>(t.cols())});
    const index_t n = t.rows();
    if (n == 0 || nrhs == 0) return rhs;
    if (!fits_int(n) || !fits_int(nrhs)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    Vector tbuf = col_major(t, n, kTriangular);
    const lapack_int N = as_int(n), NRHS = as_int(nrhs);
    lapack_int info = 0;
    lapack::dtrtrs_(tri == Triangle::Lower ? "L" : "U", "N", "N", &N, &NRHS, tbuf.data(), &N, rhs.data(), &N, &info, 1,
                    1, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    return rhs;
}

}  // namespace

LinalgResult<Vector> solve_triangular(MatrixView t, Triangle tri, VectorView b) {
    if (b.size() != t.rows()) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    Vector rhs(b.size(), kTriangular);
    for (index_t i = 0; i < b.size(); ++i) rhs[i] = b[i];
    auto x = trtrs(t, tri, std::move(rhs), 1);
    if (!x) return std::unexpected(x.error());
    return Vector::from(VectorView{x->data(), x->size(), 1});
}

LinalgResult<Matrix> solve_triangular(MatrixView t, Triangle tri, MatrixView b) {
    if (b.rows() != t.rows()) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    const index_t n = b.rows(), r = b.cols();
    auto x = trtrs(t, tri, col_major(b, n, kTriangular), r);
    if (!x) return std::unexpected(x.error());
    return from_col_major(x->data(), n, r, n);
}

namespace {

struct GelsdOutput {
    Vector b;  // column-major, ldb rows
    index_t ldb;
    Vector singular_values;
    lapack_int rank;
};

LinalgResult<GelsdOutput> gelsd(MatrixView a, Vector b, index_t ldb, index_t nrhs, double rcond) {
    const index_t m = a.rows(), n = a.cols();
    GelsdOutput out{std::move(b), ldb, Vector(std::min(m, n)), 0};
    if (m == 0 || n == 0 || nrhs == 0) {
        // Nothing to factor: the minimum-norm solution is zero.
        std::fill_n(out.b.data(), out.b.size(), 0.0);
        return out;
    }
    if (!fits_int(m) || !fits_int(n) || !fits_int(nrhs) || !fits_int(ldb))
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    Vector abuf = col_major(a, m, kLeastSquares);
    const lapack_int M = as_int(m), N = as_int(n), NRHS = as_int(nrhs), LDB = as_int(ldb);
    lapack_int info = 0, rank = 0, lwork = -1;
    double work_query = 0.0;
    lapack_int iwork_query = 0;
    lapack::dgelsd_(&M, &N, &NRHS, abuf.data(), &M, out.b.data(), &LDB, out.singular_values.data(), &rcond, &rank,
                    &work_query, &lwork, &iwork_query, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>(static_cast<lapack_int>(work_query), 1);
    Vector work(static_cast<index_t>(lwork), kLeastSquares);
    std::vector<lapack_int> iwork(std::max<lapack_int>(iwork_query, 1));
    lapack::dgelsd_(&M, &N, &NRHS, abuf.data(), &M, out.b.data(), &LDB, out.singular_values.data(), &rcond, &rank,
                    work.data(), &lwork, iwork.data(), &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    out.rank = rank;
    return out;
}

std::optional<Vector> residual_ss(const GelsdOutput& g, index_t m, index_t n, index_t nrhs) {
    if (!(m > n && g.rank == static_cast<lapack_int>(n))) return std::nullopt;
    Vector rss(nrhs);
    for (index_t r = 0; r < nrhs; ++r) {
        double s = 0.0;
        for (index_t i = n; i < m; ++i) s += g.b[r * g.ldb + i] * g.b[r * g.ldb + i];
        rss[r] = s;
    }
    return rss;
}

}  // namespace

LinalgResult<LeastSquaresResult<Vector>> least_squares(MatrixView a, VectorView b, double rcond) {
    if (b.size() != a.rows()) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    const index_t m = a.rows(), n = a.cols(), ldb = std::max<index_t>({m, n, 1});
    Vector rhs(ldb, kLeastSquares);
    std::fill_n(rhs.data(), ldb, 0.0);
    for (index_t i = 0; i < m; ++i) rhs[i] = b[i];
    auto g = gelsd(a, std::move(rhs), ldb, 1, rcond);
    if (!g) return std::unexpected(g.error());
    LeastSquaresResult<Vector> res;
    res.solution = Vector::from(VectorView{g->b.data(), n, 1});
    res.singular_values = std::move(g->singular_values);
    res.rank = g->rank;
    res.residual_sum_of_squares = residual_ss(*g, m, n, 1);
    return res;
}

LinalgResult<LeastSquaresResult<Matrix>> least_squares(MatrixView a, MatrixView b, double rcond) {
    if (b.rows() != a.rows()) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    const index_t m = a.rows(), n = a.cols(), r = b.cols(), ldb = std::max<index_t>({m, n, 1});
    auto g = gelsd(a, col_major(b, ldb, kLeastSquares), ldb, r, rcond);
    if (!g) return std::unexpected(g.error());
    LeastSquaresResult<Matrix> res;
    res.solution = from_col_major(g->b.data(), n, r, ldb);
    res.singular_values = std::move(g->singular_values);
    res.rank = g->rank;
    res.residual_sum_of_squares = residual_ss(*g, m, n, r);
    return res;
}

}  // namespace ordinata::linalg
