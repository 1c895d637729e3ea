// Generalised least squares with a full error covariance Sigma = L L':
// y, X and the ones column are whitened by L^-1 through triangular solves,
// then fitted by ordinary least squares on the whitened scale.
#pragma once

#include <optional>
#include <string>

#include "models/linear/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

class GLS {
public:
    explicit GLS(bool fit_intercept) : fit_intercept_(fit_intercept) {}

    Result<void> fit(MatrixView x, VectorView y, MatrixView sigma, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

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
    const FitResults& results() const { return r_; }
    // The whitened design of the latest fit, rebuilt from the kept factor;
    // null when that fit did not get as far as whitening.
    const Matrix* design() const;
    std::uint64_t dof() const { return r_.dof(fit_intercept_); }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y, MatrixView sigma);
    bool fit_intercept_;
    FitResults r_;
    std::optional<Matrix> training_x_;
    // Lower Cholesky factor of the latest fit's Sigma. It replaces a copy of
    // Sigma: the report's whitened design needs L, not Sigma, and keeping the
    // factor avoids both a second n x n copy and a second factorisation.
    std::optional<Matrix> sigma_factor_;
    OnceCell<Matrix> design_cache_;
};

}  // namespace ordinata::models
