#include "linalg/ops.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "linalg/lapack.hpp"
#include "linalg/magnitudes.hpp"
#include "linalg/row_chunks.hpp"

namespace ordinata::linalg {

using lapack::as_int;
using lapack::fits_int;
using lapack::lapack_int;

namespace {

// Shape mismatches inside products are programming errors, never user input.
[[noreturn]] void internal_error(const char* what) { throw std::logic_error(what); }

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

void dot_into(MatrixView a, MatrixView b, double* c, index_t ldc) {
    if (a.cols() != b.rows() || ldc < b.cols()) internal_error("dot_into: shape mismatch");
    const index_t m = a.rows(), n = b.cols(), k = a.cols();
    if (m * n == 0) return;
    if (k == 0) {
        for (index_t i = 0; i < m; ++i) std::fill_n(c + i * ldc, n, 0.0);
        return;
    }
    if (!fits_int(m) || !fits_int(n) || !fits_int(k) || !fits_int(ldc)) internal_error("dot_into: dimension too large");
    const HeldOperand oa = hold_operand(a), ob = hold_operand(b);
    lapack::cblas_dgemm(lapack::RowMajor, oa.op.trans, ob.op.trans, as_int(m), as_int(n), as_int(k), 1.0, oa.op.data,
                        oa.op.ld, ob.op.data, ob.op.ld, 0.0, c, as_int(ldc));
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

void solve_rows_upper_in_place(const Matrix& u, double* b, index_t rows, index_t ld) {
    const index_t n = u.rows();
    if (u.cols() != n || ld < n) internal_error("solve_rows_upper_in_place: shape mismatch");
    if (rows == 0 || n == 0) return;
    if (rows * n * n <= kSmallProduct) {
        for (index_t i = 0; i < rows; ++i) {
            double* r = b + i * ld;
            for (index_t j = 0; j < n; ++j) {
                double v = r[j];
                for (index_t l = 0; l < j; ++l) v -= u(l, j) * r[l];
                r[j] = v / u(j, j);
            }
        }
        return;
    }
    if (!fits_int(rows) || !fits_int(n) || !fits_int(ld))
        internal_error("solve_rows_upper_in_place: dimension too large");
    lapack::cblas_dtrsm(lapack::RowMajor, lapack::Right, lapack::Upper, lapack::NoTrans, lapack::NonUnit, as_int(rows),
                        as_int(n), 1.0, u.data(), as_int(n), b, as_int(ld));
}

LinalgResult<Vector> solve_triangular_many(MatrixView t, Triangle tri, VectorView b) {
    auto x = solve_triangular_many(t, tri, MatrixView{b.base, b.size(), 1, b.stride, 1});
    if (!x) return std::unexpected(x.error());
    return Vector::from(VectorView{x->data(), x->rows(), 1});
}

}  // namespace ordinata::linalg
