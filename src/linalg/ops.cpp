#include "linalg/ops.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "linalg/lapack.hpp"
#include "linalg/parallel.hpp"

namespace ordinata::linalg {

using lapack::lapack_int;

namespace {

// Shape mismatches inside products are programming errors, never user input.
[[noreturn]] void internal_error(const char* what) { throw std::logic_error(what); }

bool fits_int(index_t v) { return v <= static_cast<index_t>(std::numeric_limits<lapack_int>::max()); }
lapack_int as_int(index_t v) { return static_cast<lapack_int>(v); }

// An operand BLAS can read in place: row-major with unit column stride, or
// column-major (read as the transpose of a row-major buffer).
struct BlasOperand {
    const double* data;
    int trans;
    lapack_int ld;
};

std::optional<BlasOperand> blas_operand(MatrixView a) {
    const auto ld_ok = [](stride_t s) { return s >= 1 && s <= std::numeric_limits<lapack_int>::max(); };
    if (a.col_stride == 1 && ld_ok(std::max<stride_t>(a.row_stride, 1)) &&
        (a.row_stride >= static_cast<stride_t>(a.cols()) || a.rows() <= 1))
        return BlasOperand{
            a.base, lapack::NoTrans,
            static_cast<lapack_int>(std::max<stride_t>({a.row_stride, static_cast<stride_t>(a.cols()), 1}))};
    if (a.row_stride == 1 && ld_ok(std::max<stride_t>(a.col_stride, 1)) &&
        (a.col_stride >= static_cast<stride_t>(a.rows()) || a.cols() <= 1))
        return BlasOperand{
            a.base, lapack::Trans,
            static_cast<lapack_int>(std::max<stride_t>({a.col_stride, static_cast<stride_t>(a.rows()), 1}))};
    return std::nullopt;
}

// A BLAS-readable operand for any view: the view itself where BLAS can read
// it, otherwise a row-major copy owned by the holder.
struct HeldOperand {
    Matrix copy;
    BlasOperand op;
};

HeldOperand hold_operand(MatrixView a) {
    if (auto op = blas_operand(a)) return {Matrix(), *op};
    HeldOperand held{Matrix::from(a), {}};
    held.op = *blas_operand(held.copy.view());
    return held;
}

// Contiguous elements of x, copied into holder only when x is strided.
const double* contiguous(VectorView x, Vector& holder) {
    if (x.stride == 1) return x.base;
    holder = Vector::from(x);
    return holder.data();
}

// y = A x + beta y through dgemv, for any strides of A and x.
void gemv(MatrixView a, VectorView x, double beta, double* y) {
    const index_t m = a.rows(), n = a.cols();
    if (!fits_int(m) || !fits_int(n)) internal_error("gemv: dimension too large");
    Vector x_holder;
    const double* xp = contiguous(x, x_holder);
    const HeldOperand oa = hold_operand(a);
    // A transposed operand is read as its row-major transpose, so the
    // logical (rows, cols) of the stored buffer swap.
    if (oa.op.trans == lapack::NoTrans)
        lapack::cblas_dgemv(lapack::RowMajor, lapack::NoTrans, as_int(m), as_int(n), 1.0, oa.op.data, oa.op.ld, xp, 1,
                            beta, y, 1);
    else
        lapack::cblas_dgemv(lapack::RowMajor, lapack::Trans, as_int(n), as_int(m), 1.0, oa.op.data, oa.op.ld, xp, 1,
                            beta, y, 1);
}

constexpr index_t kGemvRowGroup = 8;

// y = A x by chunks of rows on the library's threads. Chunks of whole
// 8-row groups give each row the same kernel path as a single call would.
void chunked_gemv(MatrixView a, VectorView x, double* y) {
    const index_t m = a.rows();
    const RowChunks chunks = row_chunks(m, a.cols(), kGemvRowGroup);
    for_each_chunk(chunks, [&](std::size_t c) {
        const index_t first = chunks.first(c);
        gemv(a.row_range(first, chunks.size(c, m)), x, 0.0, y + first);
    });
}

// Column-major copy of a view, with leading dimension ld >= rows.
std::vector<double> col_major(MatrixView a, index_t ld) {
    std::vector<double> out(ld * a.cols(), 0.0);
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

}  // namespace

Matrix dot(MatrixView a, MatrixView b) {
    if (a.cols() != b.rows()) internal_error("dot: inner dimensions differ");
    const index_t m = a.rows(), n = b.cols(), k = a.cols();
    Matrix c(m, n);
    if (m * n == 0) return c;
    if (k == 0) {
        std::fill_n(c.data(), m * n, 0.0);
        return c;
    }
    if (!fits_int(m) || !fits_int(n) || !fits_int(k)) internal_error("dot: dimension too large");
    // A long inner dimension (the rows of the data in X'Z) is cut into
    // chunks with their own partial products; many rows of A are cut into
    // chunks of rows of C.
    if (k >= m && k >= n) {
        const RowChunks chunks = row_chunks(k, m + n, 1);
        if (chunks.count > 1)
            return sum_over_chunks(chunks, k, m, n, [&](index_t first, index_t count, Matrix& part) {
                dot_accumulate(a.col_range(first, count), b.row_range(first, count), part);
            });
    } else if (m > n) {
        const RowChunks chunks = row_chunks(m, k + n, 1);
        if (chunks.count > 1) {
            for_each_chunk(chunks, [&](std::size_t ch) {
                const index_t first = chunks.first(ch), count = chunks.size(ch, m);
                const HeldOperand oa = hold_operand(a.row_range(first, count)), ob = hold_operand(b);
                lapack::cblas_dgemm(lapack::RowMajor, oa.op.trans, ob.op.trans, as_int(count), as_int(n), as_int(k),
                                    1.0, oa.op.data, oa.op.ld, ob.op.data, ob.op.ld, 0.0, c.data() + first * n,
                                    as_int(std::max<index_t>(n, 1)));
            });
            return c;
        }
    }
    const HeldOperand oa = hold_operand(a), ob = hold_operand(b);
    lapack::cblas_dgemm(lapack::RowMajor, oa.op.trans, ob.op.trans, as_int(m), as_int(n), as_int(k), 1.0, oa.op.data,
                        oa.op.ld, ob.op.data, ob.op.ld, 0.0, c.data(), as_int(std::max<index_t>(n, 1)));
    return c;
}

Vector dot(MatrixView a, VectorView x) {
    if (a.cols() != x.size()) internal_error("dot: matrix columns and vector length differ");
    const index_t m = a.rows(), n = a.cols();
    Vector y(m);
    if (m == 0) return y;
    if (n == 0) {
        std::fill_n(y.data(), m, 0.0);
        return y;
    }
    if (n > m) {
        // A'x for a long A: chunks of its rows (the columns here) with their
        // own partial sums.
        const RowChunks chunks = row_chunks(n, m, 1);
        if (chunks.count > 1) {
            const Matrix total = sum_over_chunks(chunks, n, 1, m, [&](index_t first, index_t count, Matrix& part) {
                gemv(a.col_range(first, count), x.sub(first, count), 1.0, part.data());
            });
            std::copy_n(total.data(), m, y.data());
            return y;
        }
    }
    chunked_gemv(a, x, y.data());
    return y;
}

bool dot_rows(MatrixView a, VectorView x, double* y, bool check_finite) {
    if (a.cols() != x.size()) internal_error("dot_rows: matrix columns and vector length differ");
    const index_t m = a.rows(), n = a.cols();
    if (m == 0) return true;
    if (n == 0) {
        std::fill_n(y, m, 0.0);
        return true;
    }
    if (blas_operand(a)) {
        if (!check_finite) {
            chunked_gemv(a, x, y);
            return true;
        }
        // The chunks of dot(), so that results match it; each checks its rows.
        const RowChunks chunks = row_chunks(m, n, kGemvRowGroup);
        std::vector<char> finite(chunks.count, 1);
        for_each_chunk(chunks, [&](std::size_t c) {
            const MatrixView rows = a.row_range(chunks.first(c), chunks.size(c, m));
            if (!all_finite(rows)) {
                finite[c] = 0;
                return;
            }
            gemv(rows, x, 0.0, y + chunks.first(c));
        });
        return std::ranges::all_of(finite, [](char f) { return f != 0; });
    }
    if (!fits_int(n)) internal_error("dot_rows: dimension too large");
    Vector x_holder;
    const double* xp = contiguous(x, x_holder);
    // 32 KiB: within L1, and below the size at which OpenBLAS splits a dgemv
    // over threads, whose start-up would cost more than the block itself.
    constexpr index_t block_elements = index_t{1} << 12;
    const index_t block_rows = std::min(m, std::max<index_t>(1, block_elements / n));
    Matrix block(block_rows, n);
    for (index_t start = 0; start < m; start += block_rows) {
        const index_t rows = std::min(block_rows, m - start);
        for (index_t i = 0; i < rows; ++i) {
            const VectorView r = a.row(start + i);
            double* dst = block.data() + i * n;
            if (r.stride == 1)
                std::copy_n(r.base, n, dst);
            else
                for (index_t j = 0; j < n; ++j) dst[j] = r[j];
        }
        const MatrixView b{block.data(), rows, n, static_cast<stride_t>(n), 1};
        if (check_finite && !all_finite(b)) return false;
        lapack::cblas_dgemv(lapack::RowMajor, lapack::NoTrans, as_int(rows), as_int(n), 1.0, b.base, as_int(n), xp, 1,
                            0.0, y + start, 1);
    }
    return true;
}

namespace {

double dot_block(VectorView a, VectorView b) {
    const index_t n = a.size();
    if (n >= 64 && a.stride == 1 && b.stride == 1 && fits_int(n))
        return lapack::cblas_ddot(as_int(n), a.base, 1, b.base, 1);
    double s = 0.0;
    for (index_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

}  // namespace

double dot(VectorView a, VectorView b) {
    if (a.size() != b.size()) internal_error("dot: vector lengths differ");
    const index_t n = a.size();
    const RowChunks chunks = row_chunks(n, 2, 1);
    // Short vectors skip the partial's allocation: the small fits' path.
    if (chunks.count <= 1) return dot_block(a, b);
    const Matrix total = sum_over_chunks(chunks, n, 1, 1, [&](index_t first, index_t count, Matrix& part) {
        part(0, 0) = dot_block(a.sub(first, count), b.sub(first, count));
    });
    return total(0, 0);
}

Matrix gram(MatrixView x) {
    const index_t n = x.rows(), k = x.cols();
    Matrix g = sum_over_chunks(row_chunks(n, k, 1), n, k, k, [&](index_t first, index_t count, Matrix& part) {
        gram_accumulate_upper(x.row_range(first, count), part);
    });
    mirror_upper(g);
    return g;
}

void dot_accumulate(MatrixView a, MatrixView b, Matrix& c) {
    if (a.cols() != b.rows() || c.rows() != a.rows() || c.cols() != b.cols())
        internal_error("dot_accumulate: shape mismatch");
    const index_t m = a.rows(), n = b.cols(), k = a.cols();
    if (m * n == 0 || k == 0) return;
    if (!fits_int(m) || !fits_int(n) || !fits_int(k)) internal_error("dot_accumulate: dimension too large");
    const HeldOperand oa = hold_operand(a), ob = hold_operand(b);
    lapack::cblas_dgemm(lapack::RowMajor, oa.op.trans, ob.op.trans, as_int(m), as_int(n), as_int(k), 1.0, oa.op.data,
                        oa.op.ld, ob.op.data, ob.op.ld, 1.0, c.data(), as_int(n));
}

void gram_accumulate_upper(MatrixView a, Matrix& c) {
    const index_t n = a.rows(), k = a.cols();
    if (c.rows() != k || c.cols() != k) internal_error("gram_accumulate_upper: shape mismatch");
    if (k == 0 || n == 0) return;
    if (n * k * k <= kSmallProduct) {
        // One running dot product per entry of the upper triangle: no
        // stores inside the loop over rows.
        for (index_t i = 0; i < k; ++i) {
            for (index_t j = i; j < k; ++j) {
                const double* pi = a.col(i).base;
                const double* pj = a.col(j).base;
                double acc = 0.0;
                for (index_t r = 0; r < n; ++r, pi += a.row_stride, pj += a.row_stride) acc += *pi * *pj;
                c(i, j) += acc;
            }
        }
        return;
    }
    if (!fits_int(n) || !fits_int(k)) internal_error("gram_accumulate_upper: dimension too large");
    // Row-major A (n x k) gives A'A = A^T A: dsyrk with TRANS = 'T'.
    const HeldOperand oa = hold_operand(a);
    const int trans = oa.op.trans == lapack::NoTrans ? lapack::Trans : lapack::NoTrans;
    lapack::cblas_dsyrk(lapack::RowMajor, lapack::Upper, trans, as_int(k), as_int(n), 1.0, oa.op.data, oa.op.ld, 1.0,
                        c.data(), as_int(k));
}

void dot_t_accumulate(MatrixView a, VectorView x, Vector& y) {
    const index_t n = a.rows(), k = a.cols();
    if (x.size() != n || y.size() != k) internal_error("dot_t_accumulate: shape mismatch");
    if (n == 0 || k == 0) return;
    if (n * k <= kSmallProduct) {
        for (index_t j = 0; j < k; ++j) {
            const VectorView cj = a.col(j);
            double acc = 0.0;
            for (index_t r = 0; r < n; ++r) acc += cj[r] * x[r];
            y[j] += acc;
        }
        return;
    }
    gemv(a.t(), x, 1.0, y.data());
}

Vector column_sums(MatrixView x) {
    Vector s(x.cols(), 0.0);
    for (index_t i = 0; i < x.rows(); ++i) {
        const VectorView r = x.row(i);
        for (index_t j = 0; j < x.cols(); ++j) s[j] += r[j];
    }
    return s;
}

void mirror_upper(Matrix& c) {
    for (index_t i = 0; i < c.rows(); ++i)
        for (index_t j = 0; j < i; ++j) c(i, j) = c(j, i);
}

Matrix identity(index_t n) {
    Matrix m(n, n, 0.0);
    for (index_t i = 0; i < n; ++i) m(i, i) = 1.0;
    return m;
}

LinalgResult<Matrix> inv(MatrixView a) {
    if (a.rows() != a.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(a.rows()),
                                           static_cast<std::int64_t>(a.cols())});
    const index_t n = a.rows();
    if (n == 0) return Matrix(0, 0);
    if (!fits_int(n)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    std::vector<double> buf = col_major(a, n);
    const lapack_int N = as_int(n);
    std::vector<lapack_int> ipiv(n);
    lapack_int info = 0;
    lapack::dgetrf_(&N, &N, buf.data(), &N, ipiv.data(), &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    double work_query = 0.0;
    lapack_int lwork = -1;
    lapack::dgetri_(&N, buf.data(), &N, ipiv.data(), &work_query, &lwork, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>(static_cast<lapack_int>(work_query), std::max<lapack_int>(N, 1));
    std::vector<double> work(lwork);
    lapack::dgetri_(&N, buf.data(), &N, ipiv.data(), work.data(), &lwork, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    return from_col_major(buf.data(), n, n, n);
}

LinalgResult<Matrix> cholesky(MatrixView a) {
    if (a.rows() != a.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(a.rows()),
                                           static_cast<std::int64_t>(a.cols())});
    const index_t n = a.rows();
    if (n == 0) return Matrix(0, 0);
    if (!fits_int(n)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    std::vector<double> buf = col_major(a, n);
    const lapack_int N = as_int(n);
    lapack_int info = 0;
    lapack::dpotrf_("L", &N, buf.data(), &N, &info, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    Matrix l = from_col_major(buf.data(), n, n, n);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = i + 1; j < n; ++j) l(i, j) = 0.0;
    return l;
}

LinalgResult<Matrix> cholesky_in_place(Matrix&& a) {
    Matrix m = std::move(a);
    if (m.rows() != m.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(m.rows()),
                                           static_cast<std::int64_t>(m.cols())});
    const index_t n = m.rows();
    if (n == 0) return m;
    if (!fits_int(n)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    // The row-major lower triangle is the column-major upper one, so 'U'
    // factors the same matrix and leaves L in the row-major lower triangle.
    const lapack_int N = as_int(n);
    lapack_int info = 0;
    lapack::dpotrf_("U", &N, m.data(), &N, &info, 1);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    for (index_t i = 0; i < n; ++i) std::fill_n(m.data() + i * n + i + 1, n - i - 1, 0.0);
    return m;
}

LinalgResult<Matrix> solve_triangular_many(MatrixView t, Triangle tri, MatrixView b) {
    if (t.rows() != t.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(t.rows()),
                                           static_cast<std::int64_t>(t.cols())});
    if (b.rows() != t.rows()) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    const index_t n = b.rows(), r = b.cols();
    Matrix x = Matrix::from(b);
    if (n == 0 || r == 0) return x;
    if (!fits_int(n) || !fits_int(r)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    // dtrsm does not test for singularity; dtrtrs does, and so do we.
    for (index_t i = 0; i < n; ++i)
        if (t(i, i) == 0.0) return std::unexpected(LinalgError::computational(static_cast<std::int64_t>(i + 1)));
    Matrix t_copy;
    auto ot = blas_operand(t);
    if (!ot) {
        t_copy = Matrix::from(t);
        ot = blas_operand(t_copy.view());
    }
    // A transposed operand stores T' row-major: the other triangle, transposed.
    const bool lower = (tri == Triangle::Lower) == (ot->trans == lapack::NoTrans);
    lapack::cblas_dtrsm(lapack::RowMajor, lapack::Left, lower ? lapack::Lower : lapack::Upper, ot->trans,
                        lapack::NonUnit, as_int(n), as_int(r), 1.0, ot->data, ot->ld, x.data(), as_int(r));
    return x;
}

LinalgResult<Vector> solve_triangular_many(MatrixView t, Triangle tri, VectorView b) {
    auto x = solve_triangular_many(t, tri, MatrixView{b.base, b.size(), 1, b.stride, 1});
    if (!x) return std::unexpected(x.error());
    return Vector::from(VectorView{x->data(), x->rows(), 1});
}

namespace {

// Solves in place on a column-major right-hand side of n rows and nrhs columns.
LinalgResult<std::vector<double>> trtrs(MatrixView t, Triangle tri, std::vector<double> rhs, index_t nrhs) {
    if (t.rows() != t.cols())
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(t.rows()),
                                           static_cast<std::int64_t>(t.cols())});
    const index_t n = t.rows();
    if (n == 0 || nrhs == 0) return rhs;
    if (!fits_int(n) || !fits_int(nrhs)) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    std::vector<double> tbuf = col_major(t, n);
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
    std::vector<double> rhs(b.size());
    for (index_t i = 0; i < b.size(); ++i) rhs[i] = b[i];
    auto x = trtrs(t, tri, std::move(rhs), 1);
    if (!x) return std::unexpected(x.error());
    return Vector::from(VectorView{x->data(), x->size(), 1});
}

LinalgResult<Matrix> solve_triangular(MatrixView t, Triangle tri, MatrixView b) {
    if (b.rows() != t.rows()) return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    const index_t n = b.rows(), r = b.cols();
    auto x = trtrs(t, tri, col_major(b, n), r);
    if (!x) return std::unexpected(x.error());
    return from_col_major(x->data(), n, r, n);
}

namespace {

struct GelsdOutput {
    std::vector<double> b;  // column-major, ldb rows
    index_t ldb;
    Vector singular_values;
    lapack_int rank;
};

LinalgResult<GelsdOutput> gelsd(MatrixView a, std::vector<double> b, index_t ldb, index_t nrhs, double rcond) {
    const index_t m = a.rows(), n = a.cols();
    GelsdOutput out{std::move(b), ldb, Vector(std::min(m, n)), 0};
    if (m == 0 || n == 0 || nrhs == 0) {
        // Nothing to factor: the minimum-norm solution is zero.
        std::fill(out.b.begin(), out.b.end(), 0.0);
        return out;
    }
    if (!fits_int(m) || !fits_int(n) || !fits_int(nrhs) || !fits_int(ldb))
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    std::vector<double> abuf = col_major(a, m);
    const lapack_int M = as_int(m), N = as_int(n), NRHS = as_int(nrhs), LDB = as_int(ldb);
    lapack_int info = 0, rank = 0, lwork = -1;
    double work_query = 0.0;
    lapack_int iwork_query = 0;
    lapack::dgelsd_(&M, &N, &NRHS, abuf.data(), &M, out.b.data(), &LDB, out.singular_values.data(), &rcond, &rank,
                    &work_query, &lwork, &iwork_query, &info);
    if (info != 0) return std::unexpected(LinalgError::from_info(info));
    lwork = std::max<lapack_int>(static_cast<lapack_int>(work_query), 1);
    std::vector<double> work(lwork);
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
    std::vector<double> rhs(ldb, 0.0);
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
    auto g = gelsd(a, col_major(b, ldb), ldb, r, rcond);
    if (!g) return std::unexpected(g.error());
    LeastSquaresResult<Matrix> res;
    res.solution = from_col_major(g->b.data(), n, r, ldb);
    res.singular_values = std::move(g->singular_values);
    res.rank = g->rank;
    res.residual_sum_of_squares = residual_ss(*g, m, n, r);
    return res;
}

}  // namespace ordinata::linalg
