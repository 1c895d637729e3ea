// L2-penalised least squares with an unpenalised intercept.
#pragma once

#include <optional>
#include <string>

#include "models/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

class Ridge : public FittedModel {
public:
    Ridge(double alpha, bool fit_intercept) : FittedModel(fit_intercept), alpha_(alpha) {}

    Result<void> fit(MatrixView x, VectorView y, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::optional<Matrix> covariance_matrix();
    std::string repr() const;
    std::string summary() const;

    double alpha() const { return alpha_; }
    const std::optional<Matrix>& regularized_inverse() const { return regularized_inverse_; }
    // Xd rebuilt from the training copy, kept for the report.
    const Matrix* design() const;

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y);
    // Per-column multipliers of the penalty while fitting rescaled columns.
    std::optional<Vector> penalty_weights_;
    double alpha_;
    std::optional<Matrix> regularized_inverse_;
    std::optional<Matrix> training_x_;
    OnceCell<Matrix> covariance_cache_;
    OnceCell<Matrix> design_cache_;
};

// Shortest decimal that reads back as v, never in exponent form ("1", "0.00001",
// "NaN", "inf", "-0").
std::string plain_decimal(double v);

}  // namespace ordinata::models
