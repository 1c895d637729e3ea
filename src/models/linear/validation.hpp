// Input checks every estimator shares; the shape messages stay with each
// class, since each has its own texts.
#pragma once

#include <optional>

#include "linalg/cross_products.hpp"
#include "linalg/magnitudes.hpp"
#include "linalg/ops.hpp"
#include "models/estimator_error.hpp"
#include "models/fit_results.hpp"
#include "models/linear/design_system.hpp"

namespace ordinata::models::linear {

inline constexpr const char* kNotFinite = "Input contains NaN or infinite values";
inline constexpr const char* kOverflow =
    "Results overflow the range of double precision: rescale the data before fitting";
inline constexpr const char* kUnderflow =
    "Results underflow the range of double precision: rescale the data before fitting";

// Refuses NaN and infinity in any of the arrays, before any solve sees them;
// otherwise tells whether some magnitude would leave the double range once
// squared, so that the caller fits on rescaled columns instead.
template <class... Views>
Result<bool> check_magnitudes(const Views&... arrays) {
    linalg::MagnitudeRange range;
    (range.add(linalg::magnitudes(arrays)), ...);
    if (!range.finite()) return value_error(kNotFinite);
    return range.extreme();
}

// The training copy of x, absent when an element is NaN or infinite, and,
// when centre is set, the centred cross-products formed in the same pass.
struct CheckedCopy {
    std::optional<linalg::Matrix> x;
    std::optional<linalg::CentredCrossProducts> centred;
    bool extreme = false;  // x holds magnitudes whose squares leave the double range
};
CheckedCopy copy_checked(linalg::MatrixView x, linalg::VectorView y, bool centre);
// Whether y holds no NaN or infinity. Either always reaches the mean of y,
// so a finite centred mean from the same pass spares the scan.
bool finite_target(const CheckedCopy& checked, linalg::VectorView y);

// The training copy of x and the system of y on it (centred at the means
// with an intercept), checked for NaN and infinity; one pass over x makes
// the copy, the checks and the centred cross-products.
// Empty when x or y hold magnitudes that call for a fit on rescaled copies
// (and may_rescale allows one).
struct TrainingSystem {
    linalg::Matrix x;
    DesignSystem sys;
    TotalSum tss;  // of y, for R^2; its sum of squares also judged y's scale
};
Result<std::optional<TrainingSystem>> training_system(linalg::MatrixView x, linalg::VectorView y, bool intercept,
                                                      bool may_rescale);

// x with every column multiplied by the power of two that brings its largest
// magnitude into [1/2, 1): exact, and reversible on the results by the same
// factors (a slope of the scaled model is the original slope over its factor).
struct ColumnScaling {
    linalg::Vector factor;
    linalg::Matrix x;
    explicit ColumnScaling(linalg::MatrixView a);
};

// y multiplied by the power of two that brings its largest magnitude into
// [1/2, 1) when its magnitudes are extreme as a column's would be (factor 1
// and no copy otherwise): the residual sum of squares then neither
// overflows nor underflows while the fit runs.
struct TargetScaling {
    double factor = 1.0;
    linalg::Vector y;
    explicit TargetScaling(linalg::VectorView original);
    linalg::VectorView view(linalg::VectorView original) const { return factor == 1.0 ? original : y.view(); }
};
// Whether y, whose squares sum to sum_sq, calls for a TargetScaling: a sum
// beyond 2^900 (or not finite), or below 2^-900 while y is not all zero
// (squares that underflow to zero are looked at element by element).
bool target_is_extreme(double sum_sq, linalg::VectorView y);

// Back from a fit on x's columns multiplied by column_factor and y by
// target_factor: every result on the original scale, or the overflow
// (underflow) error when one leaves the range of normal doubles.
Result<void> unscale_results(FitResults& r, linalg::VectorView column_factor, double target_factor);

// A covariance of a fit on y multiplied by target_factor, on y's own scale
// (its standard errors passed unscale_results, so its diagonal fits).
void rescale_covariance(linalg::Matrix& m, double target_factor);

// M_ij f_i f_j for the inverse cross-product matrix of a design whose
// columns were multiplied by f (the intercept, when present, by 1).
void rescale_inverse(linalg::Matrix& m, linalg::VectorView f, bool intercept);

}  // namespace ordinata::models::linear
