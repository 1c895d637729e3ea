// Ordinary least squares with classical or HC0-robust standard errors.
#pragma once

#include <optional>
#include <string>

#include "models/linear/least_squares_model.hpp"

namespace ordinata::models {

class OLS : public LeastSquaresModel {
public:
    OLS(bool fit_intercept, bool robust) : LeastSquaresModel(fit_intercept), robust_(robust) {}

    Result<void> fit(MatrixView x, VectorView y, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::string repr() const;
    std::string summary() const;

    bool robust() const { return robust_; }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y);
    bool robust_;
};

// HC0: sqrt of diag(M Xd' diag(e^2) Xd M); negative or NaN variances give 0.
Vector compute_robust_standard_errors(MatrixView x, bool intercept, VectorView e, const Matrix& m);

}  // namespace ordinata::models
