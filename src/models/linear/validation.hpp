// Input checks every estimator shares; the shape messages stay with each
// class, since each has its own texts.
#pragma once

#include "linalg/ops.hpp"
#include "models/estimator_error.hpp"

namespace ordinata::models::linear {

inline constexpr const char* kNotFinite = "Input contains NaN or infinite values";

inline bool finite(linalg::MatrixView a) { return linalg::all_finite(a); }
inline bool finite(linalg::VectorView v) { return linalg::all_finite(v); }

// Refuses NaN and infinity in any of the arrays, before any solve sees them.
template <class... Views>
Result<void> require_finite(const Views&... arrays) {
    if ((finite(arrays) && ...)) return {};
    return value_error(kNotFinite);
}

}  // namespace ordinata::models::linear
