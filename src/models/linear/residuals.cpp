#include "models/linear/residuals.hpp"

#include <cmath>
#include <limits>

#include "linalg/double_double.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"

namespace ordinata::models::linear {

using linalg::index_t;

namespace {

// y - Xd beta, formed in one buffer.
Vector residuals_in_place(MatrixView x, VectorView y, VectorView beta, bool intercept) {
    if (!intercept) {
        Vector e = linalg::dot(x, beta);
        for (index_t i = 0; i < e.size(); ++i) e[i] = y[i] - e[i];
        return e;
    }
    Vector e = linalg::dot(x, beta.sub(1, beta.size() - 1));
    const double b0 = beta[0];
    for (index_t i = 0; i < e.size(); ++i) e[i] = y[i] - (e[i] + b0);
    return e;
}

// Bound on the rounding of the product's terms relative to || e ||: (p + 2)
// eps (|| y || + |b0| sqrt(n) + sum_j |b_j| || x_j ||) / || e ||.
double residual_rounding_bound(const ResidualFit& fit, VectorView beta, bool intercept, VectorView column_lengths,
                               double y_length) {
    const index_t n = fit.e.size(), off = intercept ? 1 : 0;
    double terms = y_length + (intercept ? std::fabs(beta[0]) * std::sqrt(static_cast<double>(n)) : 0.0);
    for (index_t j = 0; j < column_lengths.size(); ++j) terms += std::fabs(beta[j + off]) * column_lengths[j];
    const double eps = std::numeric_limits<double>::epsilon();
    return static_cast<double>(column_lengths.size() + 2) * eps * terms / std::sqrt(fit.ssr);
}

// y - Xd beta with every row's sum in twice the working precision, in
// place of e; the sum of squares of the re-formed residuals.
double extended_residuals(MatrixView x, VectorView y, VectorView beta, bool intercept, Vector& e) {
    const index_t p = x.cols(), off = intercept ? 1 : 0;
    const auto parts = linalg::map_row_chunks(x.rows(), p, [&](index_t first, index_t rows) {
        long double part = 0.0L;
        for (index_t i = first; i < first + rows; ++i) {
            const VectorView r = x.row(i);
            linalg::DoubleDouble ei;
            ei.add(y[i]);
            if (intercept) ei.add(-beta[0]);
            for (index_t j = 0; j < p; ++j) ei.add_product(-r[j], beta[j + off]);
            e[i] = ei.hi + ei.lo;
            part += static_cast<long double>(e[i]) * e[i];
        }
        return part;
    });
    long double ssr = 0.0L;
    for (const long double part : parts) ssr += part;
    return static_cast<double>(ssr);
}

}  // namespace

ResidualFit accurate_residuals(MatrixView x, VectorView y, VectorView beta, bool intercept, VectorView column_lengths,
                               double y_length) {
    ResidualFit fit{residuals_in_place(x, y, beta, intercept), 0.0};
    fit.ssr = linalg::dot(fit.e.view(), fit.e.view());
    // 2^-33: a residual mean square steady to ten digits on any kernel.
    if (std::isfinite(fit.ssr) && !(residual_rounding_bound(fit, beta, intercept, column_lengths, y_length) < 0x1p-33))
        fit.ssr = extended_residuals(x, y, beta, intercept, fit.e);
    return fit;
}

CentredTarget::CentredTarget(VectorView y, bool intercept) : given_(y), centred_(intercept && y.size() > 0) {
    if (!centred_) return;
    const index_t n = y.size();
    mean_ = linalg::sum(y) / static_cast<double>(n);
    // A sum past the double range: the target as it is (its columns are
    // rescaled before a fit where that matters).
    centred_ = std::isfinite(mean_);
    if (!centred_) return;
    values_ = Vector(n);
    for (index_t i = 0; i < n; ++i) values_[i] = y[i] - mean_;
}

}  // namespace ordinata::models::linear
