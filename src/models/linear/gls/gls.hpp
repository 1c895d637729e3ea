// Generalised least squares with a full error covariance Sigma = L L':
// y, X and the ones column are whitened by L^-1 in one blocked triangular solve,
// then fitted by ordinary least squares on the whitened scale.
#pragma once

#include <optional>
#include <string>

#include "models/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

// One pass over Sigma: every entry finite and Sigma symmetric up to rounding,
// its lower triangle copied into `lower` (n x n) on the way; the fit's own
// refusals otherwise.
Result<void> check_and_copy_sigma(MatrixView sigma, Matrix& lower);
// The same check into a new matrix.
Result<Matrix> checked_sigma_lower(MatrixView sigma);
// s with 2^(2s) max |Sigma_ii| near 1 when that maximum lies outside
// [2^-480, 2^480); 0 otherwise. lower holds Sigma's lower triangle.
int sigma_scale_exponent(const Matrix& lower);

class GLS : public FittedModel {
public:
    explicit GLS(bool fit_intercept) : FittedModel(fit_intercept) {}

    Result<void> fit(MatrixView x, VectorView y, MatrixView sigma, bool may_rescale = true);
    Result<Vector> predict(MatrixView x) const;

    std::string repr() const;
    std::string summary() const;

    // The whitened design of the latest fit, rebuilt from the kept factor;
    // null when that fit did not get as far as whitening.
    const Matrix* design() const;

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y, MatrixView sigma);
    std::optional<Matrix> training_x_;
    // Lower Cholesky factor of the latest fit's Sigma. It replaces a copy of
    // Sigma: the report's whitened design needs L, not Sigma, and keeping the
    // factor avoids both a second n x n copy and a second factorisation.
    std::optional<Matrix> sigma_factor_;
    OnceCell<Matrix> design_cache_;
};

}  // namespace ordinata::models
