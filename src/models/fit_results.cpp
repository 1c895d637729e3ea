#include "models/fit_results.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"

namespace ordinata::models {

namespace {

std::optional<Vector> predict_rows(const FitResults& r, MatrixView x, bool check_finite) {
    Vector yhat(x.rows(), linalg::Purpose{"the predictions"});
    if (!linalg::dot_rows(x, r.coefficients->view(), yhat.data(), check_finite)) return std::nullopt;
    if (r.intercept)
        for (index_t i = 0; i < yhat.size(); ++i) yhat[i] += *r.intercept;
    return yhat;
}

}  // namespace

Vector FitResults::linear_prediction(MatrixView x) const { return *predict_rows(*this, x, false); }

std::optional<Vector> FitResults::finite_linear_prediction(MatrixView x) const { return predict_rows(*this, x, true); }

std::optional<Matrix> cached_covariance(OnceCell<Matrix>& cell, const std::optional<Matrix>& inverse,
                                        std::optional<double> mse) {
    if (const Matrix* v = cell.get()) return *v;
    if (!inverse || !mse) return std::nullopt;
    return cell.get_or_init([&] { return linalg::scale(*inverse, *mse); });
}

double r_squared_from(double ssr, double tss, double noise, bool clamp) {
    if (!(std::fabs(tss) > noise)) return 0.0;
    const double r2 = 1.0 - ssr / tss;
    if (!clamp) return r2;
    // max/min that return the other operand for NaN: a NaN ratio gives -1.
    const double lo = std::isnan(r2) ? -1.0 : std::max(r2, -1.0);
    return std::isnan(lo) ? 1.0 : std::min(lo, 1.0);
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

}  // namespace ordinata::models
