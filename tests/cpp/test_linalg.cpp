// What Python cannot reach: the linear-algebra layer's failures and the
// solutions it returns on degenerate inputs.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <new>
#include <string>

#include "linalg/error.hpp"
#include "linalg/ops.hpp"

using namespace ordinata::linalg;

namespace {

Matrix make(index_t rows, index_t cols, std::initializer_list<double> values) {
    Matrix m(rows, cols);
    index_t i = 0;
    for (double v : values) m.data()[i++] = v;
    return m;
}

}  // namespace

TEST(Cholesky, ReportsOrderOfFirstNonPositiveMinor) {
    // Leading minors 4, then 4*1 - 2*2 = 0: the second is not positive.
    const Matrix a = make(3, 3, {4, 2, 0, 2, 1, 0, 0, 0, 1});
    auto l = cholesky(a);
    ASSERT_FALSE(l.has_value());
    EXPECT_EQ(l.error(), LinalgError::computational(2));
}

TEST(Inv, ExactZeroPivotFailsNearSingularSucceeds) {
    auto singular = inv(make(2, 2, {1, 2, 2, 4}));
    ASSERT_FALSE(singular.has_value());
    EXPECT_EQ(singular.error().kind, LinalgError::Kind::LapackComputationalFailure);

    auto near = inv(make(2, 2, {1, 1, 1, 1 + 1e-12}));
    ASSERT_TRUE(near.has_value());
    EXPECT_GT(std::fabs((*near)(0, 0)), 1e11);
}

TEST(SolveTriangular, ZeroDiagonalFails) {
    const Matrix t = make(2, 2, {1, 0, 3, 0});
    const Vector b(2, 1.0);
    auto x = solve_triangular(t, Triangle::Lower, b);
    ASSERT_FALSE(x.has_value());
    EXPECT_EQ(x.error(), LinalgError::computational(2));
}

TEST(LeastSquares, RankDeficientGivesMinimumNorm) {
    // An exactly zero column: its singular value is 0 on any machine, and the
    // minimum-norm solution gives it no weight.
    const std::array<double, 3> y{2, 4, 6};
    auto zero = least_squares(make(3, 2, {1, 0, 2, 0, 3, 0}), VectorView{y.data(), 3, 1});
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(zero->rank, 1);
    EXPECT_NEAR(zero->solution[0], 2.0, 1e-12);
    EXPECT_EQ(zero->solution[1], 0.0);
    EXPECT_FALSE(zero->residual_sum_of_squares.has_value());
    // Two identical columns with a cut-off far above rounding: the weight is split evenly.
    auto twin = least_squares(make(3, 2, {1, 1, 2, 2, 3, 3}), VectorView{y.data(), 3, 1}, 1e-10);
    ASSERT_TRUE(twin.has_value());
    EXPECT_EQ(twin->rank, 1);
    EXPECT_NEAR(twin->solution[0], 1.0, 1e-12);
    EXPECT_NEAR(twin->solution[1], 1.0, 1e-12);
}

TEST(Allocation, FailureNamesWhatAndHowLarge) {
    // Both sizes fail before reaching the allocator: they exceed size_t.
    const auto message = [](auto make) -> std::string {
        try {
            make();
        } catch (const AllocationError& e) {
            const std::bad_alloc& generic = e;  // what generic handlers see
            return generic.what();
        }
        return "allocated";
    };
    EXPECT_EQ(message([] { Vector(index_t{1} << 61, Purpose{"the predictions"}); }),
              "Cannot allocate 18.4 EB for the predictions (2305843009213693952 x 1 doubles)");
    // 2^40 * 2^40 wraps to exactly 0 in 64 bits.
    EXPECT_EQ(message([] { Matrix(index_t{1} << 40, index_t{1} << 40); }),
              "Cannot allocate 9.7 YB for a matrix (1099511627776 x 1099511627776 doubles)");
}
