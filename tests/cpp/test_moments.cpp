// A fit from merged sufficient statistics, which no Python call reaches yet:
// it must equal the fit from the rows, whatever the split, and refuse what
// the rows' fit refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "models/linear/least_squares_core.hpp"
#include "models/linear/ols/ols.hpp"

using namespace ordinata;
using linalg::index_t;
using linalg::Matrix;
using linalg::Vector;

namespace {

struct Data {
    Matrix x;
    Vector y;
};

// Regressors with large offsets, where uncentred sums would lose digits.
Data make_data(index_t n, double offset, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    Data d{Matrix(n, 3), Vector(n)};
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < 3; ++j) d.x(i, j) = offset + normal(gen) * (j + 1);
        d.y[i] = 2.0 + d.x(i, 0) - 0.5 * d.x(i, 1) + 0.25 * d.x(i, 2) + normal(gen);
    }
    return d;
}

models::linear::Moments moments_of(const Data& d, index_t first, index_t count) {
    return models::linear::moments_of_rows(d.x.view().row_range(first, count), d.y.view().sub(first, count), nullptr,
                                           true);
}

double relative(double a, double b) { return std::fabs(a - b) / std::fmax(std::fabs(b), 1e-300); }

}  // namespace

// Splits with an empty part and a one-row part among them, merged in a tree.
TEST(Moments, MergedSplitsEqualTheFitOfTheRows) {
    for (const double offset : {0.0, 1e6}) {
        const Data d = make_data(200, offset, 3);
        models::OLS ols(true, false);
        ASSERT_TRUE(ols.fit(d.x.view(), d.y.view()).has_value());
        models::linear::Moments left = models::linear::merge_moments(moments_of(d, 0, 0), moments_of(d, 0, 1));
        models::linear::Moments right = models::linear::merge_moments(moments_of(d, 1, 120), moments_of(d, 121, 79));
        const auto merged = models::linear::merge_moments(left, right);
        EXPECT_EQ(merged.n, 200u);
        auto fit = models::linear::solve_from_moments(merged, models::linear::kOlsRoute);
        ASSERT_TRUE(fit.has_value());
        const auto& r = ols.results();
        // The intercept, y_mean - m'b, carries the slopes' rounding times
        // the offset over the spread.
        EXPECT_LT(relative(fit->beta[0], *r.intercept), 1e-10 * std::fmax(1.0, offset));
        for (index_t j = 0; j < 3; ++j) EXPECT_LT(relative(fit->beta[j + 1], (*r.coefficients)[j]), 1e-10);
        EXPECT_LT(relative(fit->ssr / 196.0, *r.mse), 1e-10);
        for (index_t j = 0; j < 4; ++j) EXPECT_LT(relative(fit->inverse(j, j), (*ols.inverse())(j, j)), 1e-9);
    }
}

// A column that is a combination of the others, and one constant beside the
// intercept: refused with the route's message, as the rows' fit refuses them.
TEST(Moments, SingularDesignsRaiseTheRoutesMessage) {
    Data d = make_data(50, 0.0, 5);
    for (index_t i = 0; i < 50; ++i) d.x(i, 2) = d.x(i, 0) - 2.0 * d.x(i, 1);
    auto fit = models::linear::solve_from_moments(moments_of(d, 0, 50), models::linear::kOlsRoute);
    ASSERT_FALSE(fit.has_value());
    EXPECT_EQ(fit.error().message, "Matrix is singular");
    for (index_t i = 0; i < 50; ++i) d.x(i, 2) = 7.0;
    EXPECT_FALSE(models::linear::solve_from_moments(moments_of(d, 0, 50), models::linear::kOlsRoute).has_value());
}
