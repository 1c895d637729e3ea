#include "models/linear/validation.hpp"

#include <cmath>

namespace ordinata::models::linear {

using linalg::index_t;

ColumnScaling::ColumnScaling(linalg::MatrixView a) : factor(a.cols(), 1.0), x(a.rows(), a.cols()) {
    const index_t n = a.rows(), p = a.cols();
    linalg::Vector big(p, 0.0);
    for (index_t i = 0; i < n; ++i) {
        const linalg::VectorView r = a.row(i);
        for (index_t j = 0; j < p; ++j) big[j] = std::fmax(big[j], std::fabs(r[j]));
    }
    for (index_t j = 0; j < p; ++j)
        if (big[j] > 0.0) factor[j] = std::ldexp(1.0, -std::ilogb(big[j]) - 1);
    for (index_t i = 0; i < n; ++i) {
        const linalg::VectorView r = a.row(i);
        for (index_t j = 0; j < p; ++j) x(i, j) = r[j] * factor[j];
    }
}

void rescale_inverse(linalg::Matrix& m, linalg::VectorView f, bool intercept) {
    const index_t off = intercept ? 1 : 0;
    const auto fi = [&](index_t i) { return i < off ? 1.0 : f[i - off]; };
    for (index_t i = 0; i < m.rows(); ++i)
        for (index_t j = 0; j < m.cols(); ++j) m(i, j) *= fi(i) * fi(j);
}

}  // namespace ordinata::models::linear
