// What Python cannot reach: the linear-algebra layer's failures and the
// solutions it returns on degenerate inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <string>

#include "linalg/error.hpp"
#include "linalg/factor.hpp"
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

// Orders on both sides of the cut-over between the plain loops and LAPACK:
// the inverse, the solve and the exact condition number from either route.
class SquareFactors : public ::testing::TestWithParam<index_t> {};

TEST_P(SquareFactors, InverseSolveAndConditionAgree) {
    const index_t n = GetParam();
    // Symmetric positive definite, with a first column that forces LU to pivot.
    Matrix a(n, n);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < n; ++j) a(i, j) = 1.0 / static_cast<double>(i + j + 1) + (i == j ? 1.0 : 0.0);
    Matrix b = a;
    b(0, 0) = 1e-3;
    Vector rhs(n);
    for (index_t i = 0; i < n; ++i) rhs[i] = static_cast<double>(i) - 1.5;
    for (const bool chol : {true, false}) {
        const Matrix& m = chol ? a : b;
        auto f = chol ? factor_cholesky(m) : factor_lu(m);
        ASSERT_TRUE(f.has_value());
        const Matrix prod = dot(m.view(), f->inverse.view());
        const Vector x = factor_solve(*f, rhs);
        const Vector back = dot(m.view(), x.view());
        double anorm = 0.0, inorm = 0.0;
        for (index_t j = 0; j < n; ++j) {
            double sa = 0.0, si = 0.0;
            for (index_t i = 0; i < n; ++i) {
                EXPECT_NEAR(prod(i, j), i == j ? 1.0 : 0.0, 1e-12) << "order " << n << " cholesky " << chol;
                sa += std::fabs(m(i, j));
                si += std::fabs(f->inverse(i, j));
            }
            anorm = std::max(anorm, sa);
            inorm = std::max(inorm, si);
            EXPECT_NEAR(back[j], rhs[j], 1e-12);
        }
        EXPECT_NEAR(f->rcond * anorm * inorm, 1.0, 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, SquareFactors, ::testing::Values(1, 2, 4, 8, 9, 17));

TEST(SquareFactors, FirstZeroPivotAndNonPositiveMinorAreReported) {
    auto lu = factor_lu(make(3, 3, {1, 2, 3, 2, 4, 6, 0, 0, 1}));
    ASSERT_FALSE(lu.has_value());
    EXPECT_EQ(lu.error(), LinalgError::computational(2));
    auto ch = factor_cholesky(make(3, 3, {4, 2, 0, 2, 1, 0, 0, 0, 1}));
    ASSERT_FALSE(ch.has_value());
    EXPECT_EQ(ch.error(), LinalgError::computational(2));
}
