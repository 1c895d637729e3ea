#include <cmath>

#include "linalg/ops.hpp"
#include "linalg/cross_products.hpp"
#include "models/linear/ols/ols.hpp"

namespace ordinata::models {

Vector compute_robust_standard_errors(MatrixView x, bool intercept, VectorView e, const Matrix& m) {
    // sum_i e_i^2 x_i x_i' as the Gram matrix of the rows scaled by |e_i|.
    Vector abs_e(e.size());
    for (index_t i = 0; i < e.size(); ++i) abs_e[i] = std::fabs(e[i]);
    const Matrix b = linalg::scaled_gram(x, abs_e, intercept);
    const Matrix v = linalg::dot(linalg::dot(m, b), m);
    Vector s(v.rows());
    for (index_t j = 0; j < v.rows(); ++j) s[j] = v(j, j) >= 0.0 ? std::sqrt(v(j, j)) : 0.0;
    return s;
}

}  // namespace ordinata::models
