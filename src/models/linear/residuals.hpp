// Residuals of a linear fit, the one way every estimator forms them.
#pragma once

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Residuals y - Xd beta and their sum of squares, beta including the
// intercept at index 0 when intercept is set. The transformed-design
// estimators pass their explicit design with intercept = false.
struct ResidualFit {
    Vector e;
    double ssr;
};

// Accurate to about 2^-33 relative whatever BLAS kernel forms the
// product: where the rounding of y - Xd beta could reach that (the terms
// cancel, as on a near-perfect fit), the residuals are formed again in
// twice the working precision. column_lengths holds || x_j ||, y_length
// || y ||: with beta they bound the terms that cancel.
ResidualFit accurate_residuals(MatrixView x, VectorView y, VectorView beta, bool intercept, VectorView column_lengths,
                               double y_length);

// The target a fit with an intercept solves for: y less its mean. An offset
// of y is the intercept's alone, and kept out of every sum with y it would
// otherwise round (the slopes' digits); the intercept gets the mean back.
class CentredTarget {
public:
    CentredTarget(VectorView y, bool intercept);
    VectorView view() const { return centred_ ? values_.view() : given_; }
    double mean() const { return centred_ ? mean_ : 0.0; }
    // beta[0] is the intercept of the fit of view().
    void restore_intercept(Vector& beta) const {
        if (centred_) beta[0] += mean_;
    }

private:
    VectorView given_;
    Vector values_;
    double mean_ = 0.0;
    bool centred_ = false;
};

}  // namespace ordinata::models::linear
