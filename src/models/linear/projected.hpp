// Two-stage least squares as a least-squares problem of its own: the
// regressors' projection on the instruments formed, then the target
// regressed on it by the core, with every care an ordinary least-squares
// fit gets (centring, equilibration, QR in extended precision when small
// and ill-conditioned, refinement). The instrumental estimators take this
// route when their normal equations would lose digits: near-collinear
// regressors or instruments, and columns with a large offset.
#pragma once

#include "linalg/matrix.hpp"
#include "models/estimator_error.hpp"
#include "models/linear/routes.hpp"

namespace ordinata::models::linear {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

struct ProjectedFit {
    Vector beta;     // the intercept first, when fitted
    Matrix inverse;  // (Xh_d'Xh_d)^-1, Xh_d = [1 | Xh] (or Xh), Xh = P_Z X
};

// y on [1 | P_Z X] (or P_Z X without an intercept). ones_in_instruments:
// the ones column belongs to the instruments too (the exactly identified
// estimator adds it to both sides); otherwise an instrument column that is
// one constant stands for it. With the ones among the instruments,
// P_Z X = 1 xbar' + P_Zc Xc with Zc and Xc the centred columns, which keeps
// the digits an offset would cancel; without them the projection is
// centred after it is formed.
Result<ProjectedFit> projected_fit(MatrixView z, MatrixView x, VectorView y, bool intercept, bool ones_in_instruments,
                                   const RoutePolicy& policy);

}  // namespace ordinata::models::linear
