#include "models/linear/instrumental.hpp"

#include <algorithm>

#include <cmath>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_blocks.hpp"

namespace ordinata::models::linear {

using linalg::index_t;

namespace {

// Borders the cross-product block m (rows: columns of a, cols: columns of b)
// with the intercept row (column sums of b) and column (column sums of a).
Matrix bordered(const Matrix& m, double n, const Vector& a_sums, const Vector& b_sums) {
    const index_t ra = m.rows(), cb = m.cols();
    Matrix out(ra + 1, cb + 1);
    out(0, 0) = n;
    for (index_t j = 0; j < cb; ++j) out(0, j + 1) = b_sums[j];
    for (index_t i = 0; i < ra; ++i) {
        out(i + 1, 0) = a_sums[i];
        for (index_t j = 0; j < cb; ++j) out(i + 1, j + 1) = m(i, j);
    }
    return out;
}

}  // namespace

Matrix design_gram(MatrixView a, bool intercept) {
    Matrix m = linalg::gram(a);
    if (!intercept) return m;
    const Vector sums = linalg::column_sums(a);
    return bordered(m, static_cast<double>(a.rows()), sums, sums);
}

Vector design_column_norms(MatrixView a, bool intercept) {
    const Vector norms = linalg::column_norms(a);
    if (!intercept) return norms;
    Vector out(a.cols() + 1);
    out[0] = std::sqrt(static_cast<double>(a.rows()));
    for (index_t j = 0; j < a.cols(); ++j) out[j + 1] = norms[j];
    return out;
}

StackedCrossProducts::StackedCrossProducts(MatrixView z, MatrixView x, VectorView y)
    : q_(z.cols()), p_(x.cols()), g_(z.cols() + 1, z.cols() + x.cols() + 2, 0.0) {
    const index_t n = z.rows(), m = q_ + p_ + 2;
    // Rows of [1 | Z | X | y] are gathered into a cache-sized buffer and
    // accumulated with one general product per block.
    const index_t block_rows = std::max<index_t>(64, 16384 / m);
    g_ = linalg::row_block_cross(n, m, q_ + 1, block_rows, [&](index_t first, index_t rows, double* buf) {
        for (index_t i = 0; i < rows; ++i) {
            double* dst = buf + i * m;
            dst[0] = 1.0;
            const VectorView zr = z.row(first + i), xr = x.row(first + i);
            for (index_t j = 0; j < q_; ++j) dst[1 + j] = zr[j];
            for (index_t j = 0; j < p_; ++j) dst[1 + q_ + j] = xr[j];
            dst[m - 1] = y[first + i];
        }
    });
}

std::vector<index_t> StackedCrossProducts::z_cols(bool intercept) const {
    std::vector<index_t> cols;
    if (intercept) cols.push_back(0);
    for (index_t j = 0; j < q_; ++j) cols.push_back(1 + j);
    return cols;
}

std::vector<index_t> StackedCrossProducts::x_cols(bool intercept) const {
    std::vector<index_t> cols;
    if (intercept) cols.push_back(0);
    for (index_t j = 0; j < p_; ++j) cols.push_back(1 + q_ + j);
    return cols;
}

Matrix StackedCrossProducts::block(const std::vector<index_t>& rows, const std::vector<index_t>& cols) const {
    Matrix out(rows.size(), cols.size());
    for (index_t i = 0; i < rows.size(); ++i)
        for (index_t j = 0; j < cols.size(); ++j) out(i, j) = g_(rows[i], cols[j]);
    return out;
}

Matrix StackedCrossProducts::zx(bool intercept) const { return block(z_cols(intercept), x_cols(intercept)); }

Vector StackedCrossProducts::zy(bool intercept) const {
    const Matrix b = block(z_cols(intercept), {q_ + p_ + 1});
    return Vector::from(b.view().col(0));
}

Matrix StackedCrossProducts::zz(bool intercept) const { return block(z_cols(intercept), z_cols(intercept)); }

}  // namespace ordinata::models::linear
