// Cross-products of a design matrix [1 | X] with its target, formed block by
// block without materialising the design: plain, centred at the column
// means, and row-scaled (weights, residuals).
#pragma once

#include "linalg/matrix.hpp"

namespace ordinata::linalg {

// G = Xd'Xd (k x k) and c = Xd'y (length k), Xd = [1 | X] with an intercept.
struct CrossProducts {
    Matrix g;
    Vector c;
};
CrossProducts cross_products(MatrixView x, VectorView y, bool intercept);

// With an intercept: column means, y mean, S = X~'X~ and X~'y~ for the
// centred X~ = X - 1 x_mean' and y~ = y - y_mean. Centring keeps the
// condition number of the slope problem from being squared by the ones
// column. The centred data are never materialised: each block of rows is
// centred into a small buffer and accumulated with the rank-k update.
struct CentredCrossProducts {
    Vector x_mean;
    double y_mean = 0.0;
    Matrix s;
    Vector sxy;
    bool x_finite = true;    // checked only when a copy was requested
    bool x_extreme = false;  // likewise: magnitudes whose squares leave the double range
    // The exact means less x_mean (their rounding), to about eps times the
    // columns' spread: x - 1 x_mean' is not quite orthogonal to the ones,
    // and where the offsets are large that matters to a robust sandwich.
    Vector x_mean_error;
};
// When copy is given (an n x p matrix), the same pass also copies x into it
// and checks that every element of x is finite.
CentredCrossProducts centred_cross_products(MatrixView x, VectorView y, Matrix* copy = nullptr);

// S = sum_i s_i^2 (x_i - c)(x_i - c)' and sum_i s_i^2 (x_i - c)(y_i - cy),
// accumulated block by block without an n-row copy (c empty: no centring).
struct ScaledCrossProducts {
    Matrix s;
    Vector sxy;
    // With exact_centre: what the rows still sum to once centred at c and cy,
    // over the weight, sum s^2 (x - c) / sum s^2: c plus it is the exact
    // weighted mean, and s and sxy are centred there.
    Vector x_shift;
    double y_shift = 0.0;
};
// exact_centre (with c given): s and sxy centred at the exact weighted means
// rather than at c, by the sums of the centred rows taken in the same pass
// (one more column in the update). Where a column is mostly offset, the
// rounding of its mean c is a share of its spread that would otherwise
// enter s as W (m - c)(m - c)'.
ScaledCrossProducts scaled_cross_products(MatrixView x, VectorView y, VectorView scale, const Vector* c, double cy,
                                          bool exact_centre = false);

}  // namespace ordinata::linalg
