// The stacked and bordered cross-products must equal the products of the
// materialised design matrices, for strided inputs and with no columns at all.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "linalg/ops.hpp"
#include "models/linear/instrumental.hpp"
#include "models/linear/normal_equations.hpp"

namespace {

using namespace ordinata;
using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;

Matrix filled(linalg::index_t r, linalg::index_t c, double seed) {
    Matrix m(r, c);
    for (linalg::index_t i = 0; i < r; ++i)
        for (linalg::index_t j = 0; j < c; ++j) m(i, j) = std::sin(seed + 1.7 * i + 0.31 * j * j);
    return m;
}

void expect_near(const Matrix& a, const Matrix& b) {
    ASSERT_EQ(a.rows(), b.rows());
    ASSERT_EQ(a.cols(), b.cols());
    for (linalg::index_t i = 0; i < a.rows(); ++i)
        for (linalg::index_t j = 0; j < a.cols(); ++j) EXPECT_NEAR(a(i, j), b(i, j), 1e-12) << i << "," << j;
}

class DesignCross : public ::testing::TestWithParam<std::tuple<bool, linalg::index_t>> {};

TEST_P(DesignCross, MatchesMaterialisedDesign) {
    const auto [intercept, cols] = GetParam();
    const Matrix z = filled(9, cols + 1, 0.2), x = filled(cols, 9, 1.3);  // x read transposed: strided
    const MatrixView zv = z.view().col_range(1, cols), xv = x.t();
    const Vector y = linalg::diagonal(filled(9, 9, 2.0));
    const Matrix zd = models::linear::design_matrix(zv, intercept);
    const Matrix xd = models::linear::design_matrix(xv, intercept);

    const models::linear::StackedCrossProducts stacked(zv, xv, y.view());
    expect_near(stacked.zx(intercept), linalg::dot(zd.t(), xd.view()));
    expect_near(stacked.zz(intercept), linalg::dot(zd.t(), zd.view()));
    expect_near(models::linear::design_gram(zv, intercept), linalg::dot(zd.t(), zd.view()));
    const Vector c = stacked.zy(intercept);
    const Vector ref = linalg::dot(zd.t(), y.view());
    ASSERT_EQ(c.size(), ref.size());
    for (linalg::index_t i = 0; i < c.size(); ++i) EXPECT_NEAR(c[i], ref[i], 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Shapes, DesignCross,
                         ::testing::Combine(::testing::Bool(), ::testing::Values<linalg::index_t>(0, 1, 4)));

}  // namespace
