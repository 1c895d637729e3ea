#include "models/linear/instrumental.hpp"

#include "linalg/ops.hpp"

namespace ordinata::models::linear {

using linalg::index_t;

namespace {

Vector column_sums(MatrixView x) {
    Vector s(x.cols(), 0.0);
    for (index_t i = 0; i < x.rows(); ++i) {
        const VectorView r = x.row(i);
        for (index_t j = 0; j < x.cols(); ++j) s[j] += r[j];
    }
    return s;
}

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

Matrix design_cross(MatrixView a, MatrixView b, bool intercept) {
    Matrix m = linalg::dot(a.t(), b);
    if (!intercept) return m;
    return bordered(m, static_cast<double>(a.rows()), column_sums(a), column_sums(b));
}

Vector design_cross(MatrixView a, VectorView y, bool intercept) {
    Vector c = linalg::dot(a.t(), y);
    if (!intercept) return c;
    Vector out(c.size() + 1);
    out[0] = linalg::sum(y);
    for (index_t j = 0; j < c.size(); ++j) out[j + 1] = c[j];
    return out;
}

Matrix design_gram(MatrixView a, bool intercept) {
    Matrix m = linalg::gram(a);
    if (!intercept) return m;
    const Vector sums = column_sums(a);
    return bordered(m, static_cast<double>(a.rows()), sums, sums);
}

}  // namespace ordinata::models::linear
