// Weighted least squares: every observation scaled by the square root of
// its weight, then ordinary least squares on the scaled data.
#pragma once

#include <optional>
#include <string>

#include "models/linear/fit_results.hpp"

namespace ordinata::models {

class WLS {
public:
    explicit WLS(bool fit_intercept) : fit_intercept_(fit_intercept) {}

    Result<void> fit(MatrixView x, VectorView y, VectorView weights, bool may_rescale = true);
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
    std::uint64_t dof() const { return r_.dof(fit_intercept_); }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y, VectorView weights);
    bool fit_intercept_;
    FitResults r_;
};

}  // namespace ordinata::models
