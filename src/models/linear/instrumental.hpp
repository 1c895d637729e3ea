// Cross-products of two design matrices [1 | A] and [1 | B] (or A and B
// without an intercept) formed from A and B directly, so the instrumental
// estimators never copy their n-row inputs to prepend a column of ones.
#pragma once

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Ad'Bd; a and b have the same number of rows.
Matrix design_cross(MatrixView a, MatrixView b, bool intercept);
// Ad'y.
Vector design_cross(MatrixView a, VectorView y, bool intercept);
// Ad'Ad.
Matrix design_gram(MatrixView a, bool intercept);

}  // namespace ordinata::models::linear
