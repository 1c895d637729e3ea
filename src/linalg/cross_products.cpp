#include "linalg/cross_products.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "linalg/magnitudes.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_blocks.hpp"

namespace ordinata::linalg {

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
    Vector sxy(p), mean(p), mean_error(p);
    for (index_t j = 0; j < p; ++j) {
        const double dj = at(j, p + 1);
        for (index_t l = j; l < p; ++l) s(j, l) = at(j, l) - dj * at(l, p + 1) / nd;
        sxy[j] = at(j, p) - dj * dy / nd;
        // c + d/n and the exact error of its rounding (TwoSum); d/n itself
        // rounds by eps times the offset of the shift, far below the spread.
        const double q = dj / nd, m = c[j] + q, back = m - c[j];
        mean[j] = m;
        mean_error[j] = (c[j] - (m - back)) + (q - back);
    }
    linalg::mirror_upper(s);
    CentredCrossProducts out{.x_mean = std::move(mean),
                             .y_mean = cy + dy / nd,
                             .s = std::move(s),
                             .sxy = std::move(sxy),
                             .x_mean_error = std::move(mean_error)};
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

ScaledCrossProducts scaled_cross_products(MatrixView x, VectorView y, VectorView scale, const Vector* c, double cy,
                                          bool exact_centre) {
    const bool sums = exact_centre && c;
    const index_t n = x.rows(), p = x.cols(), w = p + 1 + (sums ? 1 : 0);
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
            if (sums) dst[p + 1] = si;
        }
    });
    ScaledCrossProducts out{Matrix(p, p), Vector(p), Vector(), 0.0};
    for (index_t j = 0; j < p; ++j) {
        for (index_t l = j; l < p; ++l) out.s(j, l) = acc(j, l);
        out.sxy[j] = acc(j, p);
    }
    if (sums && acc(p + 1, p + 1) > 0.0) {
        // S = sum w (x - c)(x - c)' - W a a' with a = sum w (x - c) / W.
        const double total = acc(p + 1, p + 1);
        out.x_shift = Vector(p);
        for (index_t j = 0; j < p; ++j) out.x_shift[j] = acc(j, p + 1) / total;
        out.y_shift = acc(p, p + 1) / total;
        for (index_t j = 0; j < p; ++j) {
            for (index_t l = j; l < p; ++l) out.s(j, l) -= total * out.x_shift[j] * out.x_shift[l];
            out.sxy[j] -= total * out.x_shift[j] * out.y_shift;
        }
    }
    linalg::mirror_upper(out.s);
    return out;
}

}  // namespace ordinata::linalg
