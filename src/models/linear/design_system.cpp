#include "models/linear/design_system.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "linalg/cross_products.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"

namespace ordinata::models::linear {

using linalg::index_t;

Matrix design_matrix(MatrixView x, bool intercept) {
    if (!intercept) return Matrix::from(x);
    const index_t n = x.rows(), p = x.cols();
    Matrix d(n, p + 1);
    for (index_t i = 0; i < n; ++i) {
        double* row = d.data() + i * (p + 1);
        row[0] = 1.0;
        const VectorView src = x.row(i);
        for (index_t j = 0; j < p; ++j) row[j + 1] = src[j];
    }
    return d;
}

Matrix inverse_from_weighted_centred(const Matrix& s_inv, VectorView x_mean, double total_weight) {
    const index_t p = s_inv.rows(), k = p + 1;
    linalg::Scratch<8> qm(p);  // S^-1 m, a plain product: p is the number of regressors
    for (index_t j = 0; j < p; ++j) {
        double v = 0.0;
        for (index_t l = 0; l < p; ++l) v += s_inv(j, l) * x_mean[l];
        qm[j] = v;
    }
    Matrix m(k, k);
    m(0, 0) = 1.0 / total_weight + linalg::dot(x_mean, VectorView{qm.data(), p, 1});
    for (index_t j = 0; j < p; ++j) {
        m(0, j + 1) = m(j + 1, 0) = -qm[j];
        for (index_t l = 0; l < p; ++l) m(j + 1, l + 1) = s_inv(j, l);
    }
    return m;
}

Vector with_intercept(VectorView slopes, VectorView x_mean, double y_mean) {
    Vector beta(slopes.size() + 1);
    beta[0] = y_mean - linalg::dot(x_mean, slopes);
    for (index_t j = 0; j < slopes.size(); ++j) beta[j + 1] = slopes[j];
    return beta;
}

void unshift(Vector& beta, Matrix& inverse, VectorView pivot) {
    const index_t p = pivot.size();
    beta[0] -= linalg::dot(pivot, beta.view().sub(1, p));
    // Rows first (T^-1 G^-1), then columns: row 0 -= m' rows 1..p.
    Matrix& m = inverse;
    for (index_t c = 0; c <= p; ++c) {
        double shift = 0.0;
        for (index_t j = 0; j < p; ++j) shift += pivot[j] * m(j + 1, c);
        m(0, c) -= shift;
    }
    for (index_t r = 0; r <= p; ++r) {
        double shift = 0.0;
        for (index_t j = 0; j < p; ++j) shift += m(r, j + 1) * pivot[j];
        m(r, 0) -= shift;
    }
}

namespace {

// sqrt(s + b^2): from the squares where they are well inside the double
// range, otherwise by hypot, which keeps the length finite where the squares
// alone would overflow (or exact where they would underflow).
double raw_length(double s, double b) {
    const double squared = s + b * b;
    if (squared < 0x1p1000 && squared > 0x1p-1000) return std::sqrt(squared);
    return std::hypot(std::sqrt(s), b);
}

// sqrt(W) m_j / raw_j with raw_j^2 = S_jj + W m_j^2, the length of the
// uncentred column: what the core needs to see the ones column.
void add_raw_scale(DesignSystem& sys) {
    if (!sys.x_mean) return;
    const index_t p = sys.g.rows();
    Vector raw(p), row(p);
    const double root_w = std::sqrt(sys.total_weight);
    for (index_t j = 0; j < p; ++j) {
        const double m = (*sys.x_mean)[j];
        raw[j] = raw_length(std::max(sys.g(j, j), 0.0), root_w * m);
        row[j] = raw[j] > 0.0 ? root_w * m / raw[j] : 0.0;
    }
    sys.raw_norms = std::move(raw);
    sys.intercept_row = std::move(row);
}

}  // namespace

Vector DesignSystem::expand_beta(VectorView b) const {
    return x_mean ? with_intercept(b, *x_mean, y_mean) : Vector::from(b);
}

ColumnLengths DesignSystem::column_lengths() const {
    if (raw_norms) return ColumnLengths(&*raw_norms);
    Vector out(g.rows());
    for (index_t j = 0; j < g.rows(); ++j) out[j] = std::sqrt(std::max(g(j, j), 0.0));
    return ColumnLengths(std::move(out));
}

Matrix DesignSystem::expand_inverse(Matrix m, double mean_quadratic, VectorView inverse_mean) const {
    if (!x_mean) return m;
    const index_t p = m.rows();
    Matrix out(p + 1, p + 1);
    out(0, 0) = 1.0 / total_weight + mean_quadratic;
    for (index_t j = 0; j < p; ++j) {
        out(0, j + 1) = out(j + 1, 0) = -inverse_mean[j];
        for (index_t l = 0; l < p; ++l) out(j + 1, l + 1) = m(j, l);
    }
    return out;
}

Matrix DesignSystem::expand_inverse(Matrix m) const {
    return x_mean ? inverse_from_weighted_centred(m, *x_mean, total_weight) : std::move(m);
}

LeastSquaresProblem DesignSystem::problem(index_t n, bool with_rhs) const {
    LeastSquaresProblem pr;
    pr.g = &g;
    pr.c = with_rhs ? &c : nullptr;
    pr.n = n;
    pr.k = g.rows() + (x_mean ? 1 : 0);
    // Borrowed: the system outlives every solve of its problem.
    pr.raw_norms = raw_norms ? &*raw_norms : nullptr;
    pr.x_mean = x_mean ? &*x_mean : nullptr;
    pr.intercept_row = intercept_row ? &*intercept_row : nullptr;
    pr.shift = shift ? &*shift : nullptr;
    return pr;
}

DesignSystem centred_system(linalg::CentredCrossProducts&& cc, index_t n) {
    DesignSystem sys{.g = std::move(cc.s),
                     .c = std::move(cc.sxy),
                     .x_mean = std::move(cc.x_mean),
                     .x_mean_error = std::move(cc.x_mean_error),
                     .y_mean = cc.y_mean,
                     .total_weight = static_cast<double>(n),
                     .raw_norms = {},
                     .intercept_row = {},
                     .shift = {},
                     .unweighted_lengths = {}};
    add_raw_scale(sys);
    return sys;
}

DesignSystem plain_system(MatrixView x, VectorView y) {
    linalg::CrossProducts cp = linalg::cross_products(x, y, false);
    DesignSystem sys;
    sys.g = std::move(cp.g);
    sys.c = std::move(cp.c);
    sys.total_weight = static_cast<double>(x.rows());
    return sys;
}

DesignSystem given_system(Matrix g, Vector c, std::optional<Vector> raw_norms) {
    DesignSystem sys;
    sys.g = std::move(g);
    sys.c = std::move(c);
    sys.raw_norms = std::move(raw_norms);
    return sys;
}

DesignSystem weighted_system(MatrixView x, VectorView y, VectorView w, VectorView s, bool intercept) {
    const index_t n = x.rows(), p = x.cols();
    DesignSystem sys;
    // Per chunk [sum w x | sum w | sum w y | sum x^2], added in chunk order;
    // the columns are read only for the means, and their lengths come along.
    const index_t width = p + 2 + (intercept ? p : 0);
    const auto parts = linalg::map_row_chunks(n, p, [&](index_t first, index_t rows) {
        Vector part(width, 0.0);
        double* __restrict acc = part.data();
        for (index_t i = first; i < first + rows; ++i) {
            if (intercept) {
                const VectorView r = x.row(i);
                const double wi = w[i];
                for (index_t j = 0; j < p; ++j) {
                    acc[j] += wi * r[j];
                    acc[p + 2 + j] += r[j] * r[j];
                }
            }
            acc[p] += w[i];
            acc[p + 1] += w[i] * y[i];
        }
        return part;
    });
    Vector m(p, 0.0), squares(intercept ? p : 0, 0.0);
    double total = 0.0, sum_wy = 0.0;
    for (const Vector& part : parts) {
        for (index_t j = 0; j < p; ++j) m[j] += part[j];
        total += part[p];
        sum_wy += part[p + 1];
        for (index_t j = 0; j < squares.size(); ++j) squares[j] += part[p + 2 + j];
    }
    sys.total_weight = total;
    if (intercept) {
        for (index_t j = 0; j < p; ++j) squares[j] = std::sqrt(squares[j]);
        sys.unweighted_lengths = std::move(squares);
    }
    if (intercept) {
        for (index_t j = 0; j < p; ++j) m[j] /= total;
        sys.y_mean = sum_wy / total;
    }
    // A column mostly offset (its mean's square carries more than 1 - 2^-8 of
    // its squared length) is centred at its exact weighted mean.
    bool offset = false;
    for (index_t j = 0; intercept && j < p; ++j)
        offset = offset || static_cast<double>(n) * m[j] * m[j] >
                               (1.0 - 0x1p-8) * (*sys.unweighted_lengths)[j] * (*sys.unweighted_lengths)[j];
    linalg::ScaledCrossProducts sc =
        linalg::scaled_cross_products(x, y, s, intercept ? &m : nullptr, sys.y_mean, offset);
    sys.g = std::move(sc.s);
    sys.c = std::move(sc.sxy);
    if (sc.x_shift.size() > 0) {
        // m + shift, and the rounding of that sum (TwoSum), which the explicit
        // design takes off its rows too.
        Vector error(p);
        for (index_t j = 0; j < p; ++j) {
            const double sum = m[j] + sc.x_shift[j], back = sum - m[j];
            error[j] = (m[j] - (sum - back)) + (sc.x_shift[j] - back);
            m[j] = sum;
        }
        sys.x_mean_error = std::move(error);
        sys.y_mean += sc.y_shift;
    }
    if (intercept) sys.x_mean = std::move(m);
    add_raw_scale(sys);
    return sys;
}

std::pair<Matrix, Vector> explicit_design(MatrixView x, VectorView y, const DesignSystem& sys, const VectorView* s) {
    const index_t n = x.rows(), p = x.cols();
    Matrix a(n, p);
    Vector t(n);
    for (index_t i = 0; i < n; ++i) {
        const VectorView r = x.row(i);
        const double si = s ? (*s)[i] : 1.0;
        double* dst = a.data() + i * p;
        if (sys.x_mean && sys.x_mean_error)
            for (index_t j = 0; j < p; ++j) dst[j] = ((r[j] - (*sys.x_mean)[j]) - (*sys.x_mean_error)[j]) * si;
        else if (sys.x_mean)
            for (index_t j = 0; j < p; ++j) dst[j] = (r[j] - (*sys.x_mean)[j]) * si;
        else
            for (index_t j = 0; j < p; ++j) dst[j] = r[j] * si;
        t[i] = (y[i] - sys.y_mean) * si;
    }
    return {std::move(a), std::move(t)};
}

void explicit_design_row(MatrixView x, VectorView y, const DesignSystem& sys, const VectorView* s, index_t i,
                         long double* row) {
    const index_t p = x.cols();
    const long double si = s ? (*s)[i] : 1.0;
    const VectorView r = x.row(i);
    // Centred at the exact mean, m plus its rounding where that is known, so
    // that the columns are orthogonal to the ones as the centred system
    // takes them to be (beside an offset the rounding of m is a share of the
    // spread).
    for (index_t j = 0; j < p; ++j)
        row[j] = (static_cast<long double>(r[j]) - (sys.x_mean ? (*sys.x_mean)[j] : 0.0) -
                  (sys.x_mean_error ? (*sys.x_mean_error)[j] : 0.0)) *
                 si;
    row[p] = (static_cast<long double>(y[i]) - sys.y_mean) * si;
}

}  // namespace ordinata::models::linear
