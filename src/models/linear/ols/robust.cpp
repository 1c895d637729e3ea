#include "models/linear/ols/ols.hpp"
#include "models/linear/sandwich.hpp"

namespace ordinata::models {

std::optional<Vector> compute_robust_standard_errors(MatrixView x, VectorView e, const linear::DesignSystem& sys) {
    const linear::SandwichDesign design{x, &sys.g, sys.x_mean ? &*sys.x_mean : nullptr,
                                        sys.x_mean_error ? &*sys.x_mean_error : nullptr};
    auto factor = linear::SandwichFactor::of(design);
    if (!factor) return std::nullopt;
    return factor->hc0_errors(e);
}

}  // namespace ordinata::models
