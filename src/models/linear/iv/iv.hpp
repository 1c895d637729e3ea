// Instrumental variables for exactly identified models: beta = (Z'X)^-1 Z'y
// with the sandwich covariance s^2 (Z'X)^-1 (Z'Z) (Z'X)^-T.
#pragma once

#include <optional>
#include <string>

#include "models/linear/instrumental_model.hpp"

namespace ordinata::models {

class IV : public InstrumentalModel<IV> {
public:
    explicit IV(bool fit_intercept) : InstrumentalModel(fit_intercept) {}

    Result<void> fit(MatrixView instruments, MatrixView regressors, VectorView targets, bool may_rescale = true);

    std::string summary() const;
};

}  // namespace ordinata::models
