#include "models/linear/fit_results.hpp"

#include <algorithm>
#include <cmath>

namespace ordinata::models {

double r_squared_from(double ssr, double tss, bool clamp) {
    if (std::fabs(tss) < 2.220446049250313e-16) return 0.0;
    const double r2 = 1.0 - ssr / tss;
    if (!clamp) return r2;
    // max/min that return the other operand for NaN: a NaN ratio gives -1.
    const double lo = std::isnan(r2) ? -1.0 : std::max(r2, -1.0);
    return std::isnan(lo) ? 1.0 : std::min(lo, 1.0);
}

}  // namespace ordinata::models
