// L2-penalised least squares with an unpenalised intercept.
#pragma once

#include <optional>
#include <string>

#include "models/linear/least_squares_model.hpp"

namespace ordinata::models {

class Ridge : public LeastSquaresModel {
public:
    Ridge(double alpha, bool fit_intercept) : LeastSquaresModel(fit_intercept), alpha_(alpha) {}

    Result<void> fit(MatrixView x, VectorView y, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::string repr() const;
    std::string summary() const;

    double alpha() const { return alpha_; }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y);
    // Per-column multipliers of the penalty while fitting rescaled columns.
    std::optional<Vector> penalty_weights_;
    double alpha_;
};

// Shortest decimal that reads back as v, never in exponent form ("1", "0.00001",
// "NaN", "inf", "-0").
std::string plain_decimal(double v);

}  // namespace ordinata::models
