// Ordinary least squares with classical or HC0-robust standard errors.
#pragma once

#include <optional>
#include <string>

#include "models/linear/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

class OLS {
public:
    OLS(bool fit_intercept, bool robust) : fit_intercept_(fit_intercept), robust_(robust) {}

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

    bool fit_intercept() const { return fit_intercept_; }
    bool robust() const { return robust_; }
    const FitResults& results() const { return r_; }
    const std::optional<Matrix>& training_x() const { return training_x_; }
    const std::optional<Matrix>& xtx_inv() const { return xtx_inv_; }
    // Xd rebuilt from the training copy, kept for the report.
    const Matrix* design() const;
    std::uint64_t dof() const { return r_.dof(fit_intercept_); }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y);
    bool fit_intercept_;
    bool robust_;
    FitResults r_;
    std::optional<Matrix> xtx_inv_;
    std::optional<Matrix> training_x_;
    OnceCell<Matrix> covariance_cache_;
    OnceCell<Matrix> design_cache_;
};

// HC0: sqrt of diag(M Xd' diag(e^2) Xd M); negative or NaN variances give 0.
Vector compute_robust_standard_errors(MatrixView x, bool intercept, VectorView e, const Matrix& m);

}  // namespace ordinata::models
