// Weighted least squares: every observation scaled by the square root of
// its weight, then ordinary least squares on the scaled data.
#pragma once

#include <optional>
#include <string>

#include "models/fit_results.hpp"

namespace ordinata::models {

class WLS : public FittedModel {
public:
    explicit WLS(bool fit_intercept) : FittedModel(fit_intercept) {}

    Result<void> fit(MatrixView x, VectorView y, VectorView weights, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::string repr() const;
    std::string summary() const;

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y, VectorView weights);
};

}  // namespace ordinata::models
