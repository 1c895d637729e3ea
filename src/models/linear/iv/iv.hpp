// Instrumental variables for exactly identified models: beta = (Z'X)^-1 Z'y
// with the sandwich covariance s^2 (Z'X)^-1 (Z'Z) (Z'X)^-T.
#pragma once

#include <optional>
#include <string>

#include "models/fit_results.hpp"

namespace ordinata::models {

class IV : public FittedModel {
public:
    explicit IV(bool fit_intercept) : FittedModel(fit_intercept) {}

    Result<void> fit(MatrixView instruments, MatrixView regressors, VectorView targets, bool may_rescale = true);
    Result<Vector> predict(MatrixView regressors) const;

    std::string summary() const;

    const std::optional<Matrix>& covariance() const { return covariance_; }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView z, MatrixView x, VectorView y);
    std::optional<Matrix> covariance_;
};

}  // namespace ordinata::models
