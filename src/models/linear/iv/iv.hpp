// Instrumental variables for exactly identified models: beta = (Z'X)^-1 Z'y
// with the sandwich covariance s^2 (Z'X)^-1 (Z'Z) (Z'X)^-T.
#pragma once

#include <optional>
#include <string>

#include "models/linear/fit_results.hpp"

namespace ordinata::models {

class IV {
public:
    explicit IV(bool fit_intercept) : fit_intercept_(fit_intercept) {}

    Result<void> fit(MatrixView instruments, MatrixView regressors, VectorView targets, bool may_rescale = true);
    Result<Vector> predict(MatrixView regressors) const;

    std::optional<Vector> standard_errors() const { return r_.coef_std_errors; }
    std::optional<Vector> t_statistics() const { return r_.t_statistics(); }
    std::optional<Vector> p_values() const { return r_.p_values(dof()); }
    Result<std::optional<Matrix>> confidence_intervals(double alpha) const {
        return r_.confidence_intervals(dof(), alpha);
    }
    std::optional<double> r_squared_adj() const { return r_.r_squared_adj(fit_intercept_); }
    std::string summary() const;

    bool fit_intercept() const { return fit_intercept_; }
    bool is_fitted() const { return fitted_; }
    const FitResults& results() const { return r_; }
    const std::optional<Matrix>& covariance() const { return covariance_; }
    std::uint64_t dof() const { return r_.dof(fit_intercept_); }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView z, MatrixView x, VectorView y);
    bool fit_intercept_;
    // Set by the last step of a successful fit and never reset: a fit that
    // fails late leaves new coefficients without changing it.
    bool fitted_ = false;
    FitResults r_;
    std::optional<Matrix> covariance_;
};

}  // namespace ordinata::models
