#include "models/linear/fit_results.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/ops.hpp"

namespace ordinata::models {

Vector FitResults::linear_prediction(MatrixView x) const {
    Vector yhat = linalg::dot(x, coefficients->view());
    if (intercept)
        for (index_t i = 0; i < yhat.size(); ++i) yhat[i] += *intercept;
    return yhat;
}

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

}  // namespace ordinata::models
