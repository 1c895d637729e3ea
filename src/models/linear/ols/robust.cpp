#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "models/linear/ols/ols.hpp"

namespace ordinata::models {

Vector compute_robust_standard_errors(MatrixView x, bool intercept, VectorView e, const Matrix& m) {
    Vector u(e.size());
    for (index_t i = 0; i < e.size(); ++i) u[i] = e[i] * e[i];
    const Matrix b = linear::weighted_gram(x, u, intercept);
    const Matrix v = linalg::dot(linalg::dot(m, b), m);
    Vector s(v.rows());
    for (index_t j = 0; j < v.rows(); ++j) s[j] = v(j, j) >= 0.0 ? std::sqrt(v(j, j)) : 0.0;
    return s;
}

}  // namespace ordinata::models
