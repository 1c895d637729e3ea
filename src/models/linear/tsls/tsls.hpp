// Two-stage least squares: the regressors are replaced by their projection
// on the instruments, then y is regressed on that projection. Inference uses
// the structural residuals y - X b - b0 of the observed regressors.
#pragma once

#include <optional>
#include <string>

#include "models/linear/fit_results.hpp"

namespace ordinata::models {

class TSLS {
public:
    explicit TSLS(bool fit_intercept) : fit_intercept_(fit_intercept) {}

    Result<void> fit(MatrixView instruments, MatrixView regressors, VectorView targets, bool may_rescale = true);
    Result<Vector> predict(MatrixView regressors) const;

    std::optional<Vector> standard_errors() const { return r_.coef_std_errors; }
    std::optional<double> r_squared_adj() const { return r_.r_squared_adj(fit_intercept_); }
    std::string summary() const;

    bool fit_intercept() const { return fit_intercept_; }
    bool is_fitted() const { return fitted_; }
    const FitResults& results() const { return r_; }
    const std::optional<Matrix>& covariance_matrix() const { return covariance_; }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView z, MatrixView x, VectorView y);
    // Fills coef_std_errors and intercept_std_error from the diagonal of v.

    bool fit_intercept_;
    // Set at the very end of a successful fit and never reset.
    bool fitted_ = false;
    FitResults r_;
    std::optional<Matrix> covariance_;
};

}  // namespace ordinata::models
