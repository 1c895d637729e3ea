// Ordinary least squares with classical or HC0-robust standard errors.
#pragma once

#include <optional>
#include <string>

#include "models/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

class OLS : public FittedModel {
public:
    OLS(bool fit_intercept, bool robust) : FittedModel(fit_intercept), robust_(robust) {}

    Result<void> fit(MatrixView x, VectorView y, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::optional<Matrix> covariance_matrix();
    std::string repr() const;
    std::string summary() const;

    bool robust() const { return robust_; }
    const std::optional<Matrix>& training_x() const { return training_x_; }
    const std::optional<Matrix>& xtx_inv() const { return xtx_inv_; }
    // Xd rebuilt from the training copy, kept for the report.
    const Matrix* design() const;

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y);
    bool robust_;
    std::optional<Matrix> xtx_inv_;
    std::optional<Matrix> training_x_;
    OnceCell<Matrix> covariance_cache_;
    OnceCell<Matrix> design_cache_;
};

// HC0: sqrt of diag(M Xd' diag(e^2) Xd M); negative or NaN variances give 0.
Vector compute_robust_standard_errors(MatrixView x, bool intercept, VectorView e, const Matrix& m);

}  // namespace ordinata::models
