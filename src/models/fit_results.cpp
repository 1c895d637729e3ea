#include "models/fit_results.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/ops.hpp"

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

}  // namespace ordinata::models
