#include "models/linear/sandwich.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "linalg/extended_qr.hpp"
#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"
#include "models/linear/routes.hpp"

namespace ordinata::models::linear {

namespace {

using Real = long double;

// The power of two nearest to v > 0 (v = f 2^e, f in [1/2, 1)): scaling by
// it is exact, so the scaled design carries no rounding of its own.
double power_of_two_near(double v) {
    int e = 0;
    const double f = std::frexp(v, &e);
    return std::ldexp(1.0, f < 0.70710678118654752 ? e - 1 : e);
}

// Rows per block of the meat's pass (about 64 KiB): the block stays in the
// cache between its filling, the triangular solve and the rank-k update.
index_t block_rows(index_t k) { return std::max<index_t>(64, 8192 / std::max<index_t>(k, 1)); }

// A variance that rounding took below zero (a meat that is zero up to
// rounding) gives a zero error, as NaN does.
double root(double v) { return v >= 0.0 ? std::sqrt(v) : 0.0; }

// The mean of v, its sum taken in four running parts.
double mean(VectorView v) {
    double part[4] = {};
    const index_t n = v.size(), whole = n / 4 * 4;
    for (index_t i = 0; i < whole; i += 4)
        for (index_t j = 0; j < 4; ++j) part[j] += v[i + j];
    for (index_t i = whole; i < n; ++i) part[i - whole] += v[i];
    return ((part[0] + part[1]) + (part[2] + part[3])) / static_cast<double>(n);
}

// row' := row' R^-1 for an upper-triangular R (k x k, row-major), in place:
// the forward substitution R' q = row.
void to_coordinates(const Real* r, index_t k, Real* row) {
    for (index_t j = 0; j < k; ++j) {
        Real v = row[j];
        for (index_t l = 0; l < j; ++l) v -= r[l * k + j] * row[l];
        row[j] = v / r[j * k + j];
    }
}

// c += w q q' on the upper triangle (k x k, row-major).
void add_outer_upper(Real* c, const Real* q, Real w, index_t k) {
    for (index_t a = 0; a < k; ++a) {
        const Real qa = w * q[a];
        for (index_t b = a; b < k; ++b) c[a * k + b] += qa * q[b];
    }
}

void mirror_upper(std::vector<Real>& c, index_t k) {
    for (index_t a = 0; a < k; ++a)
        for (index_t b = 0; b < a; ++b) c[a * k + b] = c[b * k + a];
}

}  // namespace

std::optional<SandwichFactor> SandwichFactor::of(const SandwichDesign& design) {
    SandwichFactor f(design, Kind::Cholesky);
    f.n_ = design.x.rows();
    f.p_ = design.x.cols();
    f.off_ = design.pivot ? 1 : 0;
    f.k_ = f.p_ + f.off_;
    if (f.n_ <= f.k_ || f.p_ == 0) return std::nullopt;
    f.pivot_ = design.pivot ? Vector::from(design.pivot->view()) : Vector(f.p_, 0.0);
    f.inv_d_ = Vector(f.k_);
    if (f.off_) f.inv_d_[0] = 1.0 / power_of_two_near(std::sqrt(static_cast<double>(f.n_)));
    for (index_t j = 0; j < f.p_; ++j) {
        const double g = (*design.gram)(j, j);
        if (!(g > 0.0) || !std::isfinite(g)) return std::nullopt;
        f.inv_d_[f.off_ + j] = 1.0 / power_of_two_near(std::sqrt(g));
    }
    if (f.try_cholesky() || f.factor_by_qr()) return f;
    return std::nullopt;
}

template <bool Intercept>
void SandwichFactor::centred_rows(index_t first, index_t rows, VectorView e, double shift, double* out) const {
    const index_t p = p_, k = k_;
    const double* __restrict m = pivot_.data();
    for (index_t i = 0; i < rows; ++i) {
        const VectorView x = design_.x.row(first + i);
        const double ae = std::fabs(e[first + i] - shift);
        double* __restrict dst = out + i * k;
        if constexpr (Intercept) dst[0] = ae;
        double* __restrict slopes = dst + (Intercept ? 1 : 0);
        if (x.stride == 1) {
            const double* __restrict r = x.base;
            for (index_t j = 0; j < p; ++j) slopes[j] = ae * (r[j] - m[j]);
        } else {
            for (index_t j = 0; j < p; ++j) slopes[j] = ae * (x[j] - m[j]);
        }
    }
}

long double SandwichFactor::scaled(index_t i, index_t j) const {
    if (j < off_) return inv_d_[0];
    const index_t c = j - off_;
    return (static_cast<Real>(design_.x(i, c)) - pivot_[c]) * inv_d_[j];
}

bool SandwichFactor::try_cholesky() {
    // The normal equations' own digits suffice where they are well
    // conditioned, as the core decides for the fit.
    const Matrix& g = *design_.gram;
    Matrix gs(p_, p_);
    for (index_t i = 0; i < p_; ++i)
        for (index_t j = 0; j < p_; ++j) gs(i, j) = g(i, j) * inv_d_[off_ + i] * inv_d_[off_ + j];
    auto f = linalg::factor_cholesky(gs.view());
    if (!f || !(f->rcond >= kExamineBelowRcond)) return false;
    kind_ = Kind::Cholesky;
    // (A'A)^-1 of the scaled design A = [1 | X - 1m'] D^-1. The pivot m is
    // the means only up to their rounding delta, so the centred columns keep
    // a part along the ones column: small beside their spread, but far above
    // the digits wanted once the offsets are large. With b = d_0 D^-1 delta,
    // the columns' coefficients on the scaled ones column (squared length
    // nu = n / d_0^2), and S^-1 the inverse of the scaled cross-products
    // about the exact means:
    //   (A'A)^-1 = [[1/nu + b'S^-1 b, -b'S^-1], [-S^-1 b, S^-1]].
    Vector b(p_, 0.0), sb(p_, 0.0);
    if (off_ && design_.pivot_error)
        for (index_t j = 0; j < p_; ++j) b[j] = (*design_.pivot_error)[j] * inv_d_[off_ + j] / inv_d_[0];
    for (index_t i = 0; i < p_; ++i)
        for (index_t j = 0; j < p_; ++j) sb[i] += f->inverse(i, j) * b[j];
    inverse_ = Matrix(k_, k_);
    for (index_t i = 0; i < p_; ++i)
        for (index_t j = 0; j < p_; ++j) inverse_(off_ + i, off_ + j) = f->inverse(i, j);
    if (off_) {
        const double nu = static_cast<double>(n_) * inv_d_[0] * inv_d_[0];
        inverse_(0, 0) = 1.0 / nu + linalg::dot(b.view(), sb.view());
        for (index_t j = 0; j < p_; ++j) inverse_(0, 1 + j) = inverse_(1 + j, 0) = -sb[j];
    }
    return true;
}

bool SandwichFactor::factor_by_qr() {
    if (n_ * k_ * k_ <= linalg::kExtendedQrWork) {
        auto qr = linalg::extended_qr(n_, k_, [&](index_t i, long double* row) {
            for (index_t j = 0; j < k_; ++j) row[j] = scaled(i, j);
            row[k_] = 0.0L;
        });
        if (!qr) return false;
        kind_ = Kind::ExtendedQr;
        r_extended_ = std::move(qr->r_extended);
        return true;
    }
    Matrix a(n_, k_);
    for (index_t i = 0; i < n_; ++i) {
        const VectorView x = design_.x.row(i);
        double* dst = a.data() + i * k_;
        if (off_) dst[0] = inv_d_[0];
        for (index_t j = 0; j < p_; ++j) dst[off_ + j] = (x[j] - pivot_[j]) * inv_d_[off_ + j];
    }
    auto qr = linalg::qr(a.view(), Vector(n_, 0.0).view());
    if (!qr) return false;
    for (index_t j = 0; j < k_; ++j)
        if (!(std::fabs(qr->r(j, j)) > 0.0) || !std::isfinite(qr->r(j, j))) return false;
    kind_ = Kind::Qr;
    r_ = std::move(qr->r);
    return true;
}

Vector SandwichFactor::hc0_errors(VectorView e) const {
    const index_t k = k_;
    // With an intercept the least-squares residuals sum to zero. Those of
    // the rounded parameters are off them by nearly a constant: the
    // intercept's rounding, which beside large offsets is large itself
    // (ulp(m'b)), and which the squares would carry into the meat.
    const double shift = off_ ? mean(e) : 0.0;
    if (kind_ == Kind::ExtendedQr) {
        // Small designs: the residuals made orthogonal to the design, the
        // coordinates and the meat, all in extended precision.
        const std::vector<Real> v = residual_correction(e);
        std::vector<Real> c(k * k, 0.0L), q(k);
        for (index_t i = 0; i < n_; ++i) {
            const Real ei = orthogonal_residual(i, e, v, q.data());
            to_coordinates(r_extended_.data(), k, q.data());
            add_outer_upper(c.data(), q.data(), ei * ei, k);
        }
        mirror_upper(c, k);
        return errors(c);
    }
    // Rows |e_i| a_i / D, block by block, summed by one rank-k update. An
    // ill-conditioned design's rows are first turned into |e_i| q_i by one
    // triangular solve. A well-conditioned one, centred and scaled, loses no
    // more to the meat of its own rows than the fit loses to its normal
    // equations (about its condition squared, at most 1e4, times eps): its
    // meat is turned into the coordinates after the pass, as a k x k
    // product, and the pass costs what the rank-k update costs.
    const bool solve_rows = kind_ == Kind::Qr;
    const index_t block = block_rows(k);
    const linalg::RowChunks chunks = linalg::row_chunks(n_, k, block);
    const Matrix total = linalg::sum_over_chunks(chunks, n_, k, k, [&](index_t first, index_t count, Matrix& part) {
        Matrix buf(std::min(block, count), k);
        for (index_t start = first; start < first + count; start += block) {
            const index_t rows = std::min(block, first + count - start);
            if (off_)
                centred_rows<true>(start, rows, e, shift, buf.data());
            else
                centred_rows<false>(start, rows, e, shift, buf.data());
            if (solve_rows) {
                for (index_t i = 0; i < rows; ++i)
                    for (index_t j = 0; j < k; ++j) buf(i, j) *= inv_d_[j];
                linalg::solve_rows_upper_in_place(r_, buf.data(), rows, k);
            }
            linalg::gram_accumulate_upper(buf.view().row_range(0, rows), part);
        }
    });
    Matrix c(k, k);
    for (index_t a = 0; a < k; ++a)
        for (index_t b = a; b < k; ++b) {
            // Without the solve the rows went unscaled: D^-1 B D^-1, exact.
            const double v = solve_rows ? total(a, b) : total(a, b) * inv_d_[a] * inv_d_[b];
            c(a, b) = c(b, a) = v;
        }
    return solve_rows ? errors(r_, c) : errors_from_inverse(c);
}

Vector SandwichFactor::clustered_errors(Matrix sums) const {
    const index_t groups = sums.rows();
    for (index_t g = 0; g < groups; ++g)
        for (index_t j = 0; j < p_; ++j) sums(g, j) *= inv_d_[j];
    if (kind_ == Kind::Cholesky) return errors_from_inverse(linalg::gram(sums.view()));
    // s_g = R^-T t_g / D for every cluster at once, then sum s_g s_g'.
    linalg::solve_rows_upper_in_place(r_, sums.data(), groups, p_);
    return errors(r_, linalg::gram(sums.view()));
}

Vector SandwichFactor::clustered_errors(VectorView e, const std::uint64_t* group, index_t groups) const {
    const index_t k = k_;
    const std::vector<Real> v = residual_correction(e);
    std::vector<Real> sums(groups * k, 0.0L), a(k);
    for (index_t i = 0; i < n_; ++i) {
        const Real ei = orthogonal_residual(i, e, v, a.data());
        Real* dst = sums.data() + group[i] * k;
        for (index_t j = 0; j < k; ++j) dst[j] += ei * a[j];
    }
    std::vector<Real> c(k * k, 0.0L);
    for (index_t g = 0; g < groups; ++g) {
        to_coordinates(r_extended_.data(), k, sums.data() + g * k);
        add_outer_upper(c.data(), sums.data() + g * k, 1.0L, k);
    }
    mirror_upper(c, k);
    return errors(c);
}

std::vector<long double> SandwichFactor::residual_correction(VectorView e) const {
    // v = (A'A)^-1 A'e = R^-1 R^-T A'e, for the scaled rows a_i.
    const index_t k = k_;
    std::vector<Real> v(k, 0.0L);
    for (index_t i = 0; i < n_; ++i) {
        const Real ei = e[i];
        for (index_t j = 0; j < k; ++j) v[j] += ei * scaled(i, j);
    }
    to_coordinates(r_extended_.data(), k, v.data());
    const Real* r = r_extended_.data();
    for (index_t ii = k; ii-- > 0;) {
        Real t = v[ii];
        for (index_t l = ii + 1; l < k; ++l) t -= r[ii * k + l] * v[l];
        v[ii] = t / r[ii * k + ii];
    }
    return v;
}

long double SandwichFactor::orthogonal_residual(index_t i, VectorView e, const std::vector<long double>& v,
                                                long double* row) const {
    Real ei = e[i];
    for (index_t j = 0; j < k_; ++j) {
        row[j] = scaled(i, j);
        ei -= row[j] * v[j];
    }
    return ei;
}

Vector SandwichFactor::errors(const Matrix& r, const Matrix& c) const {
    // R^-1 as I R^-1.
    Matrix a = linalg::identity(k_);
    linalg::solve_rows_upper_in_place(r, a.data(), k_, k_);
    return quadratic_diagonal(std::move(a), c);
}

Vector SandwichFactor::errors_from_inverse(const Matrix& b) const { return quadratic_diagonal(inverse_, b); }

Vector SandwichFactor::quadratic_diagonal(Matrix a, const Matrix& c) const {
    const index_t k = k_;
    // T^-1 D^-1 a, T^-1 = [[1, -m'], [0, I]].
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) a(i, j) *= inv_d_[i];
    for (index_t j = 0; j < p_ && off_; ++j)
        for (index_t l = 0; l < k; ++l) a(0, l) -= pivot_[j] * a(1 + j, l);
    // diag(A C A'): one product of BLAS for many parameters, plain sums for
    // the few of most fits.
    Vector s(k);
    if (k * k * k > linalg::kSmallProduct) {
        const Matrix ac = linalg::dot(a.view(), c.view());
        for (index_t i = 0; i < k; ++i) {
            double v = 0.0;
            for (index_t l = 0; l < k; ++l) v += ac(i, l) * a(i, l);
            s[i] = root(v);
        }
        return s;
    }
    for (index_t i = 0; i < k; ++i) {
        double v = 0.0;
        for (index_t x = 0; x < k; ++x) {
            double row = 0.0;
            for (index_t y = 0; y < k; ++y) row += c(x, y) * a(i, y);
            v += a(i, x) * row;
        }
        s[i] = root(v);
    }
    return s;
}

Vector SandwichFactor::errors(const std::vector<long double>& c) const {
    const index_t k = k_;
    const Real* r = r_extended_.data();
    // R^-1 by back substitution, column by column.
    std::vector<Real> a(k * k, 0.0L);
    for (index_t col = 0; col < k; ++col)
        for (index_t i = col + 1; i-- > 0;) {
            Real v = i == col ? 1.0L : 0.0L;
            for (index_t l = i + 1; l <= col; ++l) v -= r[i * k + l] * a[l * k + col];
            a[i * k + col] = v / r[i * k + i];
        }
    for (index_t i = 0; i < k; ++i)
        for (index_t j = 0; j < k; ++j) a[i * k + j] *= inv_d_[i];
    for (index_t j = 0; j < p_ && off_; ++j)
        for (index_t l = 0; l < k; ++l) a[l] -= pivot_[j] * a[(1 + j) * k + l];
    Vector s(k);
    for (index_t i = 0; i < k; ++i) {
        Real v = 0.0L;
        for (index_t x = 0; x < k; ++x) {
            Real row = 0.0L;
            for (index_t y = 0; y < k; ++y) row += c[x * k + y] * a[i * k + y];
            v += a[i * k + x] * row;
        }
        s[i] = root(static_cast<double>(v));
    }
    return s;
}

}  // namespace ordinata::models::linear
