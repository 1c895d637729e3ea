// Level-3 triangular solve and the tiled Cholesky.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "linalg/tiled_cholesky.hpp"

namespace {

using namespace ordinata::linalg;

Matrix spd(index_t n) {
    Matrix a(n, n);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < n; ++j) a(i, j) = 1.0 / static_cast<double>(1 + i + j) + (i == j ? 2.0 : 0.0);
    return a;
}

// L L' = a by the textbook recurrence in long double, row by row from the
// lower triangle: the oracle for the factors LAPACK's kernels build.
Matrix textbook_cholesky(const Matrix& a) {
    const index_t n = a.rows();
    Matrix l(n, n, 0.0);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j <= i; ++j) {
            long double s = a(i, j);
            for (index_t k = 0; k < j; ++k) s -= static_cast<long double>(l(i, k)) * l(j, k);
            l(i, j) = static_cast<double>(i == j ? std::sqrt(s) : s / l(j, j));
        }
    return l;
}

Matrix rhs(index_t n, index_t r) {
    Matrix b(n, r);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < r; ++j) b(i, j) = std::sin(static_cast<double>(3 * i + j + 1));
    return b;
}

// Sizes below, at and across the tile size, the last tile partial.
class TiledCholesky : public ::testing::TestWithParam<index_t> {};

TEST_P(TiledCholesky, MatchesTheTextbookFactorAndReadsLowerTriangleOnly) {
    const index_t n = GetParam();
    Matrix a = spd(n);
    const Matrix ref = textbook_cholesky(a);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = i + 1; j < n; ++j) a(i, j) = std::nan("");
    auto l = cholesky_tiled_in_place(std::move(a));
    ASSERT_TRUE(l);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < n; ++j) ASSERT_NEAR((*l)(i, j), ref(i, j), 1e-13) << i << ", " << j;
}

TEST_P(TiledCholesky, NamesTheFirstMinorThatIsNotPositive) {
    const index_t n = GetParam(), bad = n / 2 + 3;
    Matrix a = spd(n);
    a(bad - 1, bad - 1) = -1.0;
    auto l = cholesky_tiled_in_place(std::move(a));
    ASSERT_FALSE(l);
    EXPECT_EQ(l.error(), LinalgError::computational(bad));
}

// A leading minor of exactly zero (4 * 1 - 2 * 2) is not positive either.
TEST(TiledCholeskyZeroMinor, NamesItsOrder) {
    Matrix a(3, 3, 0.0);
    a(0, 0) = 4, a(0, 1) = a(1, 0) = 2, a(1, 1) = 1, a(2, 2) = 1;
    auto l = cholesky_tiled_in_place(std::move(a));
    ASSERT_FALSE(l);
    EXPECT_EQ(l.error(), LinalgError::computational(2));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TiledCholesky, ::testing::Values(5, 256, 300, 700));

TEST(SolveTriangularMany, AgreesWithDtrtrsForBothTrianglesAndLeavesInputs) {
    const Matrix l = textbook_cholesky(spd(6));
    const Matrix b = rhs(6, 4);
    const Matrix b_before = b;
    for (Triangle tri : {Triangle::Lower, Triangle::Upper}) {
        const MatrixView t = tri == Triangle::Lower ? l.view() : l.t();
        auto want = solve_triangular(t, tri, b);
        auto got = solve_triangular_many(t, tri, b);
        ASSERT_TRUE(want && got);
        for (index_t i = 0; i < 6; ++i)
            for (index_t j = 0; j < 4; ++j) EXPECT_NEAR((*got)(i, j), (*want)(i, j), 1e-12);
    }
    for (index_t i = 0; i < b.size(); ++i) EXPECT_EQ(b.data()[i], b_before.data()[i]);
}

TEST(SolveTriangularMany, StridedFactorAndVectorRightHandSide) {
    const Matrix l = textbook_cholesky(spd(5));
    // Every other column of a wider buffer: BLAS cannot read it in place.
    Matrix wide(5, 10, 0.0);
    for (index_t i = 0; i < 5; ++i)
        for (index_t j = 0; j < 5; ++j) wide(i, 2 * j) = l(i, j);
    const MatrixView strided{wide.data(), 5, 5, 10, 2};
    const Vector y(5, 1.0);
    auto got = solve_triangular_many(strided, Triangle::Lower, y.view());
    auto want = solve_triangular(l, Triangle::Lower, y.view());
    ASSERT_TRUE(got && want);
    for (index_t i = 0; i < 5; ++i) EXPECT_NEAR((*got)[i], (*want)[i], 1e-13);
}

TEST(SolveTriangularMany, ZeroDiagonalAndShapeErrors) {
    Matrix t = identity(4);
    t(2, 2) = 0.0;
    auto r = solve_triangular_many(t, Triangle::Lower, rhs(4, 2));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LinalgError::computational(3));
    EXPECT_FALSE(solve_triangular_many(identity(4), Triangle::Lower, rhs(3, 2)));
    EXPECT_EQ(solve_triangular_many(Matrix(2, 3), Triangle::Lower, rhs(2, 1)).error().kind,
              LinalgError::Kind::NotSquare);
}

}  // namespace
