// Cross-products of two design matrices [1 | A] and [1 | B] (or A and B
// without an intercept) formed from A and B directly, so the instrumental
// estimators never copy their n-row inputs to prepend a column of ones.
#pragma once

#include <vector>

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Ad'Ad.
Matrix design_gram(MatrixView a, bool intercept);
// Column lengths of Ad = [1 | A] (or A).
Vector design_column_norms(MatrixView a, bool intercept);

// Every cross-product of the instrumental estimators from one blocked pass:
// [1 | Z]'[1 | Z | X | y], from which Zd'Xd, Zd'y, Zd'Zd, the column sums
// and n are read off without another look at the n rows. A general product
// (not the symmetric update) keeps exactly repeated instruments giving
// exactly repeated rows, so collinearity still shows as an exact zero pivot.
class StackedCrossProducts {
public:
    StackedCrossProducts(MatrixView z, MatrixView x, VectorView y);

    Matrix zx(bool intercept) const;  // Zd'Xd
    Vector zy(bool intercept) const;  // Zd'y
    Matrix zz(bool intercept) const;  // Zd'Zd

private:
    std::vector<linalg::index_t> z_cols(bool intercept) const;
    std::vector<linalg::index_t> x_cols(bool intercept) const;
    Matrix block(const std::vector<linalg::index_t>& rows, const std::vector<linalg::index_t>& cols) const;

    linalg::index_t q_, p_;
    Matrix g_;
};

}  // namespace ordinata::models::linear
