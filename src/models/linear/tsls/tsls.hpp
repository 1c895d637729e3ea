// Two-stage least squares: the regressors are replaced by their projection
// on the instruments, then y is regressed on that projection. Inference uses
// the structural residuals y - X b - b0 of the observed regressors.
#pragma once

#include <optional>
#include <string>

#include "models/fit_results.hpp"

namespace ordinata::models {

class TSLS : public FittedModel {
public:
    explicit TSLS(bool fit_intercept) : FittedModel(fit_intercept) {}

    Result<void> fit(MatrixView instruments, MatrixView regressors, VectorView targets, bool may_rescale = true);
    Result<Vector> predict(MatrixView regressors) const;

    std::string summary() const;

    const std::optional<Matrix>& covariance_matrix() const { return covariance_; }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView z, MatrixView x, VectorView y);
    // Fills coef_std_errors and intercept_std_error from the diagonal of v.

    // Set at the very end of a successful fit and never reset.
    std::optional<Matrix> covariance_;
};

}  // namespace ordinata::models
