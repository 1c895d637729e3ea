// Two-stage least squares: the regressors are replaced by their projection
// on the instruments, then y is regressed on that projection. Inference uses
// the structural residuals y - X b - b0 of the observed regressors.
#pragma once

#include <optional>
#include <string>

#include "models/linear/instrumental_model.hpp"

namespace ordinata::models {

class TSLS : public InstrumentalModel<TSLS> {
public:
    explicit TSLS(bool fit_intercept) : InstrumentalModel(fit_intercept) {}

    Result<void> fit(MatrixView instruments, MatrixView regressors, VectorView targets, bool may_rescale = true);

    std::string summary() const;
};

}  // namespace ordinata::models
