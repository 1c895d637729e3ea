#include "models/linear/normal_equations.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "linalg/ops.hpp"
#include "linalg/parallel.hpp"

namespace ordinata::models::linear {

using linalg::index_t;
using linalg::stride_t;
using linalg::Triangle;

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

namespace {

// Row i of x as a contiguous pointer: in place when the columns are
// adjacent, otherwise gathered into tmp (which must hold cols(x) values).
const double* contiguous_row(MatrixView x, index_t i, Vector& tmp) {
    const VectorView r = x.row(i);
    if (r.stride == 1) return r.base;
    for (index_t j = 0; j < r.size(); ++j) tmp[j] = r[j];
    return tmp.data();
}

}  // namespace

CrossProducts cross_products(MatrixView x, VectorView y, bool intercept) {
    const index_t p = x.cols();
    Matrix xtx = linalg::gram(x);
    Vector xty = linalg::dot(x.t(), y);
    if (!intercept) return {std::move(xtx), std::move(xty)};
    const index_t k = p + 1;
    Matrix g(k, k);
    Vector c(k);
    const Vector sums = linalg::column_sums(x);
    g(0, 0) = static_cast<double>(x.rows());
    c[0] = linalg::sum(y);
    for (index_t j = 0; j < p; ++j) {
        g(0, j + 1) = g(j + 1, 0) = sums[j];
        c[j + 1] = xty[j];
        for (index_t l = 0; l < p; ++l) g(j + 1, l + 1) = xtx(j, l);
    }
    return {std::move(g), std::move(c)};
}

namespace {

// Finite sums, and column lengths well inside the range where their squares
// are represented.
bool plausible_sums(const CentredCrossProducts& cc, index_t n) {
    const index_t p = cc.s.rows();
    const double root_n = std::sqrt(static_cast<double>(n));
    for (index_t j = 0; j < p; ++j) {
        for (index_t l = 0; l < p; ++l)
            if (!std::isfinite(cc.s(j, l))) return false;
        if (!std::isfinite(cc.sxy[j]) || !std::isfinite(cc.x_mean[j])) return false;
        // The squared length against the squared bounds: no hypot needed,
        // as a square that overflows is out of bounds anyway.
        const double b = root_n * cc.x_mean[j];
        const double squared = std::fabs(cc.s(j, j)) + b * b;
        // A zero length too: squares that underflow to zero hide a column
        // of tiny values (only an all-zero column pays the scan for nothing).
        if (!(squared <= 0x1p900) || squared < 0x1p-900) return false;
    }
    return true;
}

// The centred cross-products from the shifted sums acc (row-major
// (p + 2) x (p + 2), upper triangle) of the rows [x - c | y - cy | 1].
CentredCrossProducts centred_from_shifted(const double* acc, const double* c, double cy, index_t n, index_t p,
                                          Matrix* copy) {
    const index_t w = p + 2;
    const auto at = [&](index_t i, index_t j) { return acc[i * w + j]; };
    const double nd = static_cast<double>(n);
    const double dy = at(p, p + 1);
    Matrix s(p, p);
    Vector sxy(p), mean(p);
    for (index_t j = 0; j < p; ++j) {
        const double dj = at(j, p + 1);
        for (index_t l = j; l < p; ++l) s(j, l) = at(j, l) - dj * at(l, p + 1) / nd;
        sxy[j] = at(j, p) - dj * dy / nd;
        mean[j] = c[j] + dj / nd;
    }
    linalg::mirror_upper(s);
    CentredCrossProducts out{std::move(mean), cy + dy / nd, std::move(s), std::move(sxy)};
    // NaN or infinity in x always reaches the sums; so does a magnitude
    // whose square leaves the double range. Only then is the copy scanned
    // element by element: well-scaled data pay nothing for the checks.
    if (copy && !plausible_sums(out, n)) {
        const linalg::MagnitudeRange range = linalg::magnitudes(VectorView{copy->data(), n * p, 1});
        out.x_finite = range.finite();
        out.x_extreme = range.extreme();
    }
    return out;
}

// Rows [x - c | y - cy | 1] of at most this width, all in one block, are
// summed by the register-blocked pass below.
constexpr index_t kSmallWidth = 8;

// The shifted sums of the rows d_i = [x_i - c | y_i - cy | 1] into acc
// (W x W, upper triangle), each entry summed over the rows in order from
// zero: the same sums in the same order as the plain loop of
// gram_accumulate_upper on the buffered rows, without the buffer. The
// running sums advance side by side in registers, two entries of a row of
// the triangle per vector (each lane rounds as the scalar sum would),
// instead of one dependent chain after another. Copies x into keep when
// given. Unit: x's columns are adjacent (the usual C-ordered array).
template <index_t W, bool Unit>
void small_shifted_sums(MatrixView x, VectorView y, double* c, double& cy, double* keep, double* acc) {
    using Pair = double __attribute__((vector_size(16)));
    constexpr index_t p = W - 2, H = (W + 1) / 2;
    const index_t n = x.rows();
    const stride_t cs = Unit ? 1 : x.col_stride;
    // The shift: the means, as the buffered pass takes them from its one block.
    double mean[p] = {};
    double mean_y = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double* r = x.row(i).base;
        for (index_t j = 0; j < p; ++j) mean[j] += r[static_cast<stride_t>(j) * cs];
        mean_y += y[i];
    }
    for (index_t j = 0; j < p; ++j) c[j] = mean[j] /= static_cast<double>(n);
    cy = mean_y /= static_cast<double>(n);
    Pair sums[W][H] = {};
    for (index_t i = 0; i < n; ++i) {
        const double* r = x.row(i).base;
        double d[2 * H];
        for (index_t j = 0; j < p; ++j) {
            const double v = r[static_cast<stride_t>(j) * cs];
            if (keep) keep[i * p + j] = v;
            d[j] = v - mean[j];
        }
        d[p] = y[i] - mean_y;
        d[p + 1] = 1.0;
        if constexpr (2 * H > W) d[W] = 0.0;
        Pair pairs[H];
        for (index_t h = 0; h < H; ++h) pairs[h] = Pair{d[2 * h], d[2 * h + 1]};
        for (index_t a = 0; a < W; ++a) {
            const Pair da = Pair{d[a], d[a]};
            for (index_t h = a / 2; h < H; ++h) sums[a][h] += da * pairs[h];
        }
    }
    for (index_t a = 0; a < W; ++a)
        for (index_t b = a; b < W; ++b) acc[a * W + b] = sums[a][b / 2][b % 2];
}

template <index_t... P>
void small_shifted_sums_for(std::integer_sequence<index_t, P...>, MatrixView x, VectorView y, double* c, double& cy,
                            double* keep, double* acc) {
    const bool unit = x.col_stride == 1;
    ((x.cols() == P + 1 ? (unit ? small_shifted_sums<P + 3, true>(x, y, c, cy, keep, acc)
                                : small_shifted_sums<P + 3, false>(x, y, c, cy, keep, acc))
                        : void()),
     ...);
}

// centred_cross_products for data that fit one block and whose buffered
// rows the rank-k update would sum with its plain loop: the same results,
// bit for bit, without the buffer or the k x k allocations of the sums.
std::optional<CentredCrossProducts> small_centred_cross_products(MatrixView x, VectorView y, Matrix* copy) {
    const index_t n = x.rows(), p = x.cols(), w = p + 2;
    const index_t block = std::min(n, std::max<index_t>(64, 16384 / std::max<index_t>(p, 1)));
    if (p == 0 || w > kSmallWidth || block != n || n * w * w > linalg::kSmallProduct) return std::nullopt;
    double c[kSmallWidth] = {};
    double cy = 0.0;
    double acc[kSmallWidth * kSmallWidth];
    small_shifted_sums_for(std::make_integer_sequence<index_t, kSmallWidth - 2>{}, x, y, c, cy,
                           copy ? copy->data() : nullptr, acc);
    return centred_from_shifted(acc, c, cy, n, p, copy);
}

}  // namespace

CentredCrossProducts centred_cross_products(MatrixView x, VectorView y, Matrix* copy) {
    if (auto small = small_centred_cross_products(x, y, copy)) return std::move(*small);
    const index_t n = x.rows(), p = x.cols();
    // Blocks of about 32 KiB keep the centred buffer in the first-level cache
    // while staying large enough for the rank-k update to run at full speed.
    const index_t block = std::min(n, std::max<index_t>(64, 16384 / std::max<index_t>(p, 1)));
    // One pass with a shift: centre on the first block's means c, accumulate
    // the shifted cross-products and sums d, then correct with -d d'/n. The
    // shift is close to the means, so the correction cancels little.
    Vector c(p, 0.0);
    double cy = 0.0;
    for (index_t i = 0; i < block; ++i) {
        const VectorView r = x.row(i);
        for (index_t j = 0; j < p; ++j) c[j] += r[j];
        cy += y[i];
    }
    for (index_t j = 0; j < p; ++j) c[j] /= static_cast<double>(block);
    cy /= static_cast<double>(block);

    // Each buffered row is [x - c | y - cy | 1], so one rank-k update per
    // block yields the shifted cross-products, X'y, the sums d and dy and n.
    const index_t w = p + 2;
    const double* __restrict cp = c.data();
    const Matrix acc = linalg::row_block_gram_upper(n, w, block, [&](index_t first, index_t rows, double* buf) {
        Vector row_tmp(x.col_stride == 1 ? 0 : p);
        for (index_t i = 0; i < rows; ++i) {
            const double* __restrict r = contiguous_row(x, first + i, row_tmp);
            double* __restrict dst = buf + i * w;
            if (copy) {
                // The same pass keeps the caller's copy.
                double* __restrict keep = copy->data() + (first + i) * p;
                for (index_t j = 0; j < p; ++j) {
                    const double v = r[j];
                    keep[j] = v;
                    dst[j] = v - cp[j];
                }
            } else {
                for (index_t j = 0; j < p; ++j) dst[j] = r[j] - cp[j];
            }
            dst[p] = y[first + i] - cy;
            dst[p + 1] = 1.0;
        }
    });
    return centred_from_shifted(acc.data(), c.data(), cy, n, p, copy);
}

ScaledCrossProducts scaled_cross_products(MatrixView x, VectorView y, VectorView scale, const Vector* c, double cy) {
    const index_t n = x.rows(), p = x.cols(), w = p + 1;
    const index_t block = std::max<index_t>(64, 16384 / w);
    // Rows [(x - c) s | (y - cy) s]: one rank-k update gives S and the
    // cross-products with y together.
    const Matrix acc = linalg::row_block_gram_upper(n, w, block, [&](index_t first, index_t rows, double* buf) {
        for (index_t i = 0; i < rows; ++i) {
            const VectorView r = x.row(first + i);
            const double si = scale[first + i];
            double* dst = buf + i * w;
            if (c)
                for (index_t j = 0; j < p; ++j) dst[j] = (r[j] - (*c)[j]) * si;
            else
                for (index_t j = 0; j < p; ++j) dst[j] = r[j] * si;
            dst[p] = (y[first + i] - cy) * si;
        }
    });
    ScaledCrossProducts out{Matrix(p, p), Vector(p)};
    for (index_t j = 0; j < p; ++j) {
        for (index_t l = j; l < p; ++l) out.s(j, l) = acc(j, l);
        out.sxy[j] = acc(j, p);
    }
    linalg::mirror_upper(out.s);
    return out;
}

CheckedCopy copy_checked(MatrixView x, VectorView y, bool centre) {
    if (!centre) {
        linalg::MagnitudeRange range;
        auto copy = linalg::copy_if_finite(x, &range);
        return {std::move(copy), std::nullopt, range.extreme()};
    }
    Matrix copy(x.rows(), x.cols());
    CentredCrossProducts cc = centred_cross_products(x, y, &copy);
    if (!cc.x_finite) return {};
    const bool extreme = cc.x_extreme;
    return {std::move(copy), std::move(cc), extreme};
}

bool finite_target(const CheckedCopy& checked, VectorView y) {
    return (checked.centred && std::isfinite(checked.centred->y_mean)) || linalg::all_finite(y);
}

Matrix inverse_from_centred(const Matrix& s_inv, VectorView x_mean, index_t n) {
    return inverse_from_weighted_centred(s_inv, x_mean, static_cast<double>(n));
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

void refine(MatrixView x, VectorView y, const DesignSystem& sys, const Matrix& g_inv, Vector& b) {
    const index_t n = x.rows(), p = x.cols();
    const Vector zero(p, 0.0);
    const Vector& m = sys.x_mean ? *sys.x_mean : zero;
    // The residuals and A'e in extended precision: refinement can only
    // recover the digits its residuals carry.
    std::vector<long double> ate(p, 0.0L);
    for (index_t i = 0; i < n; ++i) {
        const VectorView r = x.row(i);
        long double e = static_cast<long double>(y[i]) - sys.y_mean;
        for (index_t j = 0; j < p; ++j) e -= (static_cast<long double>(r[j]) - m[j]) * b[j];
        for (index_t j = 0; j < p; ++j) ate[j] += (static_cast<long double>(r[j]) - m[j]) * e;
    }
    Vector ate_d(p);
    for (index_t j = 0; j < p; ++j) ate_d[j] = static_cast<double>(ate[j]);
    const Vector delta = linalg::dot(g_inv.view(), ate_d.view());
    for (index_t j = 0; j < p; ++j) b[j] += delta[j];
}

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

Vector fitted_values(MatrixView x, VectorView beta, bool intercept) {
    if (!intercept) return linalg::dot(x, beta);
    Vector f = linalg::dot(x, beta.sub(1, beta.size() - 1));
    const double b0 = beta[0];
    for (index_t i = 0; i < f.size(); ++i) f[i] += b0;
    return f;
}

Vector residuals_in_place(MatrixView x, VectorView y, VectorView beta, bool intercept) {
    if (!intercept) {
        Vector e = linalg::dot(x, beta);
        for (index_t i = 0; i < e.size(); ++i) e[i] = y[i] - e[i];
        return e;
    }
    Vector e = linalg::dot(x, beta.sub(1, beta.size() - 1));
    const double b0 = beta[0];
    for (index_t i = 0; i < e.size(); ++i) e[i] = y[i] - (e[i] + b0);
    return e;
}

ResidualFit residuals(MatrixView x, VectorView y, VectorView beta, bool intercept) {
    Vector e = linalg::sub(y, fitted_values(x, beta, intercept));
    const double ssr = linalg::dot(e.view(), e.view());
    return {std::move(e), ssr};
}

namespace {

// Bound on the rounding of the product's terms relative to || e ||: (p + 2)
// eps (|| y || + |b0| sqrt(n) + sum_j |b_j| || x_j ||) / || e ||.
double residual_rounding_bound(const ResidualFit& fit, VectorView beta, bool intercept, VectorView column_lengths,
                               double y_length) {
    const index_t n = fit.e.size(), off = intercept ? 1 : 0;
    double terms = y_length + (intercept ? std::fabs(beta[0]) * std::sqrt(static_cast<double>(n)) : 0.0);
    for (index_t j = 0; j < column_lengths.size(); ++j) terms += std::fabs(beta[j + off]) * column_lengths[j];
    const double eps = std::numeric_limits<double>::epsilon();
    return static_cast<double>(column_lengths.size() + 2) * eps * terms / std::sqrt(fit.ssr);
}

// y - Xd beta with every row's sum in extended precision, in place of e.
double extended_residuals(MatrixView x, VectorView y, VectorView beta, bool intercept, Vector& e) {
    const index_t p = x.cols(), off = intercept ? 1 : 0;
    const auto parts = linalg::map_row_chunks(x.rows(), p, [&](index_t first, index_t rows) {
        long double part = 0.0L;
        for (index_t i = first; i < first + rows; ++i) {
            const VectorView r = x.row(i);
            long double f = intercept ? static_cast<long double>(beta[0]) : 0.0L;
            for (index_t j = 0; j < p; ++j) f += static_cast<long double>(r[j]) * beta[j + off];
            const long double ei = static_cast<long double>(y[i]) - f;
            e[i] = static_cast<double>(ei);
            part += ei * ei;
        }
        return part;
    });
    long double ssr = 0.0L;
    for (const long double part : parts) ssr += part;
    return static_cast<double>(ssr);
}

}  // namespace

ResidualFit accurate_residuals(MatrixView x, VectorView y, VectorView beta, bool intercept, VectorView column_lengths,
                               double y_length) {
    ResidualFit fit{residuals_in_place(x, y, beta, intercept), 0.0};
    fit.ssr = linalg::dot(fit.e.view(), fit.e.view());
    // 2^-33: a residual mean square steady to ten digits on any kernel.
    if (std::isfinite(fit.ssr) && !(residual_rounding_bound(fit, beta, intercept, column_lengths, y_length) < 0x1p-33))
        fit.ssr = extended_residuals(x, y, beta, intercept, fit.e);
    return fit;
}

Matrix scaled_gram(MatrixView x, VectorView s, bool intercept) {
    const index_t p = x.cols(), off = intercept ? 1 : 0, k = p + off;
    // Rows of diag(s) Xd are built block by block in a small buffer and
    // accumulated with the rank-k update: no n-row copy is ever made.
    const index_t block = std::max<index_t>(64, 8192 / std::max<index_t>(k, 1));
    Matrix b = linalg::row_block_gram_upper(x.rows(), k, block, [&](index_t first, index_t rows, double* buf) {
        for (index_t i = 0; i < rows; ++i) {
            const VectorView r = x.row(first + i);
            const double si = s[first + i];
            double* dst = buf + i * k;
            if (intercept) dst[0] = si;
            for (index_t j = 0; j < p; ++j) dst[j + off] = r[j] * si;
        }
    });
    linalg::mirror_upper(b);
    return b;
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

Vector DesignSystem::column_lengths() const {
    if (raw_norms) return *raw_norms;
    Vector out(g.rows());
    for (index_t j = 0; j < g.rows(); ++j) out[j] = std::sqrt(std::max(g(j, j), 0.0));
    return out;
}

Matrix DesignSystem::expand_inverse(Matrix m) const {
    return x_mean ? inverse_from_weighted_centred(m, *x_mean, total_weight) : std::move(m);
}

LeastSquaresProblem DesignSystem::problem(index_t n, bool with_rhs,
                                          std::function<std::pair<Matrix, Vector>()> materialise) const {
    LeastSquaresProblem pr;
    pr.g = &g;
    pr.c = with_rhs ? &c : nullptr;
    pr.n = n;
    pr.k = g.rows() + (x_mean ? 1 : 0);
    // Borrowed: the system outlives every solve of its problem.
    pr.raw_norms = ProblemVector::borrow(raw_norms ? &*raw_norms : nullptr);
    pr.intercept_row = ProblemVector::borrow(intercept_row ? &*intercept_row : nullptr);
    pr.materialise = std::move(materialise);
    return pr;
}

DesignSystem centred_system(CentredCrossProducts cc, index_t n) {
    DesignSystem sys;
    sys.g = std::move(cc.s);
    sys.c = std::move(cc.sxy);
    sys.x_mean = std::move(cc.x_mean);
    sys.y_mean = cc.y_mean;
    sys.total_weight = static_cast<double>(n);
    add_raw_scale(sys);
    return sys;
}

DesignSystem plain_system(MatrixView x, VectorView y) {
    CrossProducts cp = cross_products(x, y, false);
    DesignSystem sys;
    sys.g = std::move(cp.g);
    sys.c = std::move(cp.c);
    sys.total_weight = static_cast<double>(x.rows());
    return sys;
}

DesignSystem weighted_system(MatrixView x, VectorView y, VectorView w, VectorView s, bool intercept) {
    const index_t n = x.rows(), p = x.cols();
    DesignSystem sys;
    // Per chunk [sum w x | sum w | sum w y], added in chunk order.
    const auto parts = linalg::map_row_chunks(n, p, [&](index_t first, index_t rows) {
        Vector part(p + 2, 0.0);
        for (index_t i = first; i < first + rows; ++i) {
            if (intercept) {
                const VectorView r = x.row(i);
                for (index_t j = 0; j < p; ++j) part[j] += w[i] * r[j];
            }
            part[p] += w[i];
            part[p + 1] += w[i] * y[i];
        }
        return part;
    });
    Vector m(p, 0.0);
    double total = 0.0, sum_wy = 0.0;
    for (const Vector& part : parts) {
        for (index_t j = 0; j < p; ++j) m[j] += part[j];
        total += part[p];
        sum_wy += part[p + 1];
    }
    sys.total_weight = total;
    if (intercept) {
        for (index_t j = 0; j < p; ++j) m[j] /= total;
        sys.y_mean = sum_wy / total;
    }
    ScaledCrossProducts sc = scaled_cross_products(x, y, s, intercept ? &m : nullptr, sys.y_mean);
    sys.g = std::move(sc.s);
    sys.c = std::move(sc.sxy);
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
        if (sys.x_mean)
            for (index_t j = 0; j < p; ++j) dst[j] = (r[j] - (*sys.x_mean)[j]) * si;
        else
            for (index_t j = 0; j < p; ++j) dst[j] = r[j] * si;
        t[i] = (y[i] - sys.y_mean) * si;
    }
    return {std::move(a), std::move(t)};
}

std::function<void(index_t, long double*)> explicit_design_row(MatrixView x, VectorView y, const DesignSystem& sys,
                                                               const VectorView* s) {
    return [x, y, &sys, s](index_t i, long double* row) {
        const index_t p = x.cols();
        const long double si = s ? (*s)[i] : 1.0;
        const VectorView r = x.row(i);
        for (index_t j = 0; j < p; ++j)
            row[j] = (static_cast<long double>(r[j]) - (sys.x_mean ? (*sys.x_mean)[j] : 0.0)) * si;
        row[p] = (static_cast<long double>(y[i]) - sys.y_mean) * si;
    };
}

TotalSum total_sum_of_squares(VectorView y, const VectorView* w) {
    const index_t n = y.size();
    // Two passes by chunks of rows, each chunk's sums added in chunk order.
    using Sums = std::array<double, 2>;
    const bool one_chunk = linalg::row_chunks(n, 1, 1).count <= 1;
    // A short pass is summed directly, without the chunks' result list.
    const auto add = [&](const auto& part) {
        if (one_chunk) return part(index_t{0}, n);
        Sums total{0.0, 0.0};
        for (const Sums& p : linalg::map_row_chunks(n, 1, part)) total = {total[0] + p[0], total[1] + p[1]};
        return total;
    };
    const Sums first = add([&](index_t lo, index_t count) {
        if (!w) return Sums{linalg::sum(y.sub(lo, count)), 0.0};
        Sums s{0.0, 0.0};
        for (index_t i = lo; i < lo + count; ++i) {
            s[0] += (*w)[i];
            s[1] += (*w)[i] * y[i];
        }
        return s;
    });
    const double mean = w ? first[1] / first[0] : first[0] / static_cast<double>(n);
    const Sums second = add([&](index_t lo, index_t count) {
        Sums s{0.0, 0.0};
        if (w) {
            for (index_t i = lo; i < lo + count; ++i) {
                const double d = y[i] - mean;
                s[0] += (*w)[i] * (d * d);
                s[1] += (*w)[i] * (y[i] * y[i]);
            }
        } else {
            for (index_t i = lo; i < lo + count; ++i) {
                const double d = y[i] - mean;
                s[0] += d * d;
                s[1] += y[i] * y[i];
            }
        }
        return s;
    });
    const double tss = second[0], swyy = second[1];
    // Recursive summation can round the mean by up to n eps |y|max, so every
    // deviation of a constant target stays below that and its sum of squares
    // below (n eps)^2 sum w y^2.
    const double neps = static_cast<double>(n) * std::numeric_limits<double>::epsilon();
    return {tss, neps * neps * swyy, swyy};
}

}  // namespace ordinata::models::linear
