// Ordinary least squares with classical or HC0-robust standard errors.
#pragma once

#include <optional>
#include <string>

#include "models/linear/design_system.hpp"
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

// HC0: sqrt of diag(M Xd' diag(e^2) Xd M), M = (Xd'Xd)^-1, formed from a
// factor of the design the system describes (see linear/sandwich.hpp);
// negative or NaN variances give 0. Empty when the design cannot be factored.
std::optional<Vector> compute_robust_standard_errors(MatrixView x, VectorView e, const linear::DesignSystem& sys);

}  // namespace ordinata::models
