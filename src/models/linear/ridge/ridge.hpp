// L2-penalised least squares with an unpenalised intercept.
#pragma once

#include <optional>
#include <string>

#include "models/linear/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

class Ridge {
public:
    Ridge(double alpha, bool fit_intercept) : alpha_(alpha), fit_intercept_(fit_intercept) {}

    Result<void> fit(MatrixView x, VectorView y, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::optional<Matrix> covariance_matrix();
    std::optional<Vector> standard_errors() const { return r_.coef_std_errors; }
    std::optional<Vector> t_statistics() const { return r_.t_statistics(); }
    std::optional<Vector> p_values() const { return r_.p_values(dof()); }
    Result<std::optional<Matrix>> confidence_intervals(double alpha) const {
        return r_.confidence_intervals(dof(), alpha);
    }
    std::optional<double> r_squared_adj() const { return r_.r_squared_adj(fit_intercept_); }
    std::string repr() const;
    std::string summary() const;

    double alpha() const { return alpha_; }
    bool fit_intercept() const { return fit_intercept_; }
    const FitResults& results() const { return r_; }
    const std::optional<Matrix>& regularized_inverse() const { return regularized_inverse_; }
    // Xd rebuilt from the training copy, kept for the report.
    const Matrix* design() const;
    std::uint64_t dof() const { return r_.dof(fit_intercept_); }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y);
    // Per-column multipliers of the penalty while fitting rescaled columns.
    std::optional<Vector> penalty_weights_;
    double alpha_;
    bool fit_intercept_;
    FitResults r_;
    std::optional<Matrix> regularized_inverse_;
    std::optional<Matrix> training_x_;
    OnceCell<Matrix> covariance_cache_;
    OnceCell<Matrix> design_cache_;
};

// Shortest decimal that reads back as v, never in exponent form ("1", "0.00001",
// "NaN", "inf", "-0").
std::string plain_decimal(double v);

}  // namespace ordinata::models
