#include "models/linear/validation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ordinata::models::linear {

using linalg::index_t;

CheckedCopy copy_checked(linalg::MatrixView x, linalg::VectorView y, bool centre) {
    if (!centre) {
        linalg::MagnitudeRange range;
        auto copy = linalg::copy_if_finite(x, &range);
        return {std::move(copy), std::nullopt, range.extreme()};
    }
    linalg::Matrix copy(x.rows(), x.cols());
    linalg::CentredCrossProducts cc = linalg::centred_cross_products(x, y, &copy);
    if (!cc.x_finite) return {};
    const bool extreme = cc.x_extreme;
    return {std::move(copy), std::move(cc), extreme};
}

bool finite_target(const CheckedCopy& checked, linalg::VectorView y) {
    return (checked.centred && std::isfinite(checked.centred->y_mean)) || linalg::all_finite(y);
}

Result<std::optional<TrainingSystem>> training_system(linalg::MatrixView x, linalg::VectorView y, bool intercept,
                                                      bool may_rescale) {
    CheckedCopy checked = copy_checked(x, y, intercept);
    if (!checked.x || !finite_target(checked, y)) return value_error(kNotFinite);
    const TotalSum tss = total_sum_of_squares(y);
    if (may_rescale && (checked.extreme || target_is_extreme(tss.sum_sq, y))) return std::nullopt;
    const index_t n = x.rows();
    // Moving the copy into the result keeps its buffer where it is, so the
    // cross-products below may read it there.
    const linalg::MatrixView copy = checked.x->view();
    // Each part built in its place in the result: a small fit feels every move.
    return TrainingSystem{std::move(*checked.x),
                          checked.centred ? centred_system(std::move(*checked.centred), n)
                          : intercept     ? centred_system(linalg::centred_cross_products(copy, y), n)
                                          : plain_system(copy, y),
                          tss};
}

namespace {

// The power of two that brings the largest magnitude m into [1/2, 1), or as
// near as a double factor goes: below 2^-1024 (subnormal) m is brought up by
// 2^1023 only, which still leaves it far inside the range fitted as it is.
double unit_factor(double m) { return m > 0.0 ? std::ldexp(1.0, std::min(-std::ilogb(m) - 1, 1023)) : 1.0; }

}  // namespace

ColumnScaling::ColumnScaling(linalg::MatrixView a) : factor(a.cols(), 1.0), x(a.rows(), a.cols()) {
    const index_t n = a.rows(), p = a.cols();
    linalg::Vector big(p, 0.0);
    for (index_t i = 0; i < n; ++i) {
        const linalg::VectorView r = a.row(i);
        for (index_t j = 0; j < p; ++j) big[j] = std::fmax(big[j], std::fabs(r[j]));
    }
    for (index_t j = 0; j < p; ++j) factor[j] = unit_factor(big[j]);
    for (index_t i = 0; i < n; ++i) {
        const linalg::VectorView r = a.row(i);
        for (index_t j = 0; j < p; ++j) x(i, j) = r[j] * factor[j];
    }
}

void rescale_inverse(linalg::Matrix& m, linalg::VectorView f, bool intercept) {
    const index_t off = intercept ? 1 : 0;
    const auto fi = [&](index_t i) { return i < off ? 1.0 : f[i - off]; };
    for (index_t i = 0; i < m.rows(); ++i)
        for (index_t j = 0; j < m.cols(); ++j) m(i, j) *= fi(i) * fi(j);
}

namespace {

constexpr double kSmallest = 0x1p-1022;  // the smallest normal double

// Where a scaled result v lands once multiplied by 2^e: fine, beyond the
// largest double, or below the smallest normal one although v is not 0.
enum class Landing { Fine, Over, Under };
Landing land(double v, int e) {
    const double out = std::ldexp(v, e);
    if (!std::isfinite(out)) return Landing::Over;
    if (v != 0.0 && std::fabs(out) < kSmallest) return Landing::Under;
    return Landing::Fine;
}
// Estimates only overflow: one that underflows is zero at the precision of
// its standard error.
Landing land_estimate(double v, int e) { return land(v, e) == Landing::Over ? Landing::Over : Landing::Fine; }

}  // namespace

bool target_is_extreme(double sum_sq, linalg::VectorView y) {
    if (!(sum_sq <= 0x1p900) || (sum_sq != 0.0 && sum_sq < 0x1p-900)) return true;
    if (sum_sq != 0.0) return false;
    for (index_t i = 0; i < y.size(); ++i)
        if (y[i] != 0.0) return true;
    return false;
}

TargetScaling::TargetScaling(linalg::VectorView original) {
    if (!target_is_extreme(total_sum_of_squares(original).sum_sq, original)) return;
    double big = 0.0;
    for (index_t i = 0; i < original.size(); ++i) big = std::fmax(big, std::fabs(original[i]));
    factor = unit_factor(big);
    y = linalg::Vector(original.size());
    for (index_t i = 0; i < original.size(); ++i) y[i] = original[i] * factor;
}

void rescale_covariance(linalg::Matrix& m, double target_factor) {
    const int back = -std::ilogb(target_factor);
    for (index_t i = 0; i < m.size(); ++i) m.data()[i] = std::ldexp(m.data()[i], 2 * back);
}

Result<void> unscale_results(FitResults& r, linalg::VectorView column_factor, double target_factor) {
    // Powers of two throughout, applied as exponents: exact, whatever the
    // factors' product would be.
    const int back = -std::ilogb(target_factor);
    const auto slope_exponent = [&](index_t j) { return std::ilogb(column_factor[j]) + back; };
    // Checked before anything changes: standard errors and the residual
    // mean square must stay normal doubles, the estimates finite.
    Landing worst = Landing::Fine;
    const auto note = [&](Landing l) {
        if (worst == Landing::Fine) worst = l;
    };
    if (r.mse) note(land(*r.mse, 2 * back));
    if (r.intercept) note(land_estimate(*r.intercept, back));
    if (r.intercept_std_error) note(land(*r.intercept_std_error, back));
    for (index_t j = 0; j < column_factor.size(); ++j) {
        if (r.coefficients) note(land_estimate((*r.coefficients)[j], slope_exponent(j)));
        if (r.coef_std_errors) note(land((*r.coef_std_errors)[j], slope_exponent(j)));
    }
    if (worst == Landing::Over) return value_error(kOverflow);
    // The scaled target lies within [-1, 1]: a residual mean square below
    // (n eps)^2 is the rounding noise of a perfect fit, whose errors are 0
    // in exact arithmetic, so their underflow loses nothing.
    const double n_eps = static_cast<double>(r.n_samples.value_or(0)) * std::numeric_limits<double>::epsilon();
    const bool noise = r.mse && *r.mse <= n_eps * n_eps;
    if (worst == Landing::Under && !noise) return value_error(kUnderflow);
    for (index_t j = 0; j < column_factor.size(); ++j) {
        if (r.coefficients) (*r.coefficients)[j] = std::ldexp((*r.coefficients)[j], slope_exponent(j));
        if (r.coef_std_errors) (*r.coef_std_errors)[j] = std::ldexp((*r.coef_std_errors)[j], slope_exponent(j));
    }
    if (back == 0) return {};
    if (r.mse) *r.mse = std::ldexp(*r.mse, 2 * back);
    if (r.intercept) *r.intercept = std::ldexp(*r.intercept, back);
    if (r.intercept_std_error) *r.intercept_std_error = std::ldexp(*r.intercept_std_error, back);
    if (r.residuals)
        for (index_t i = 0; i < r.residuals->size(); ++i) (*r.residuals)[i] = std::ldexp((*r.residuals)[i], back);
    return {};
}

}  // namespace ordinata::models::linear
