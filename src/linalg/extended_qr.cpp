#include "linalg/extended_qr.hpp"

#include <cmath>
#include <vector>

namespace ordinata::linalg {

namespace {

using Real = long double;

// Column-major m x (n + 1) copy of [A | b] in extended precision.
struct Work {
    index_t m, n;
    std::vector<Real> v;
    Real& operator()(index_t i, index_t j) { return v[j * m + i]; }
};

// Reflects columns first.. of w by the Householder vector held in column j
// below the diagonal (v_j = w(j, j) before the diagonal is written).
void reflect(Work& w, index_t j, Real beta) {
    for (index_t l = j + 1; l <= w.n; ++l) {
        Real s = 0.0L;
        for (index_t i = j; i < w.m; ++i) s += w(i, j) * w(i, l);
        const Real f = s / beta;
        for (index_t i = j; i < w.m; ++i) w(i, l) -= f * w(i, j);
    }
}

// Solves R X = B in place for upper-triangular R (n x n, column-major in w)
// and the n x c right-hand sides in rhs (column-major, n rows).
void back_substitute(Work& w, std::vector<Real>& rhs, index_t c) {
    const index_t n = w.n;
    for (index_t col = 0; col < c; ++col) {
        Real* x = rhs.data() + col * n;
        for (index_t ii = n; ii-- > 0;) {
            Real s = x[ii];
            for (index_t l = ii + 1; l < n; ++l) s -= w(ii, l) * x[l];
            x[ii] = s / w(ii, ii);
        }
    }
}

}  // namespace

std::optional<ExtendedQr> extended_qr(index_t m, index_t n, const ExtendedRow& fill, const double* border) {
    if (m <= n || n == 0) return std::nullopt;
    Work w{m, n, std::vector<Real>(m * (n + 1))};
    std::vector<Real> row(n + 1);
    for (index_t i = 0; i < m; ++i) {
        fill(i, row.data());
        for (index_t j = 0; j <= n; ++j) w(i, j) = row[j];
    }
    for (index_t j = 0; j < n; ++j) {
        Real norm2 = 0.0L;
        for (index_t i = j; i < m; ++i) norm2 += w(i, j) * w(i, j);
        const Real norm = std::sqrt(norm2);
        if (!(norm > 0.0L) || !std::isfinite(static_cast<double>(norm))) return std::nullopt;
        // The sign that keeps v_j = a_jj - alpha free of cancellation.
        const Real alpha = w(j, j) < 0.0L ? norm : -norm;
        w(j, j) -= alpha;
        reflect(w, j, norm2 - alpha * (w(j, j) + alpha));  // v'v / 2 = norm2 - alpha a_jj
        w(j, j) = alpha;
    }
    ExtendedQr out{Matrix(n, n, 0.0), Vector(n), Matrix(n, n), 0.0, 0.0, Vector(), std::vector<Real>(n * n, 0.0L)};
    Real tail = 0.0L;
    for (index_t i = n; i < m; ++i) tail += w(i, n) * w(i, n);
    out.ssr = static_cast<double>(tail);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = i; j < n; ++j) {
            out.r_extended[i * n + j] = w(i, j);
            out.r(i, j) = static_cast<double>(w(i, j));
        }

    // x = R^-1 Q'b and R^-1 (columns of the identity) side by side.
    std::vector<Real> rhs((n + 1) * n, 0.0L);
    for (index_t i = 0; i < n; ++i) {
        rhs[i] = w(i, n);
        rhs[(i + 1) * n + i] = 1.0L;
    }
    back_substitute(w, rhs, n + 1);
    for (index_t i = 0; i < n; ++i) out.solution[i] = static_cast<double>(rhs[i]);
    const Real* r_inv = rhs.data() + n;  // column-major n x n
    for (index_t i = 0; i < n; ++i)
        for (index_t j = i; j < n; ++j) {
            Real s = 0.0L;
            for (index_t l = j; l < n; ++l) s += r_inv[l * n + i] * r_inv[l * n + j];
            out.inverse(i, j) = out.inverse(j, i) = static_cast<double>(s);
        }
    if (border) {
        // w = R^-T u by forward substitution; then u'(R'R)^-1 u = w'w and
        // (R'R)^-1 u = R^-1 w.
        std::vector<Real> wv(n);
        Real quadratic = 0.0L;
        for (index_t i = 0; i < n; ++i) {
            Real v = border[i];
            for (index_t l = 0; l < i; ++l) v -= w(l, i) * wv[l];
            wv[i] = v / w(i, i);
            quadratic += wv[i] * wv[i];
        }
        out.border_quadratic = static_cast<double>(quadratic);
        out.border_solution = Vector(n);
        for (index_t i = 0; i < n; ++i) {
            Real v = 0.0L;
            for (index_t l = i; l < n; ++l) v += r_inv[l * n + i] * wv[l];
            out.border_solution[i] = static_cast<double>(v);
        }
    }
    return out;
}

}  // namespace ordinata::linalg
