// The whitened design that GLS keeps for its report comes from the factor
// of the latest fit, and disappears when that fit could not whiten.
#include <gtest/gtest.h>

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/gls/gls.hpp"

namespace {

using namespace ordinata::linalg;
using ordinata::models::GLS;

struct Problem {
    Matrix x, sigma;
    Vector y;
};

Problem problem(index_t n, double rho) {
    Problem p{Matrix(n, 2), Matrix(n, n), Vector(n)};
    for (index_t i = 0; i < n; ++i) {
        p.x(i, 0) = std::sin(static_cast<double>(i));
        p.x(i, 1) = std::cos(0.3 * static_cast<double>(i * i));
        p.y[i] = 1.0 + 2.0 * p.x(i, 0) - p.x(i, 1) + 0.1 * std::sin(7.0 * static_cast<double>(i));
        for (index_t j = 0; j < n; ++j) p.sigma(i, j) = std::pow(rho, std::fabs(static_cast<double>(i) - j));
    }
    return p;
}

TEST(GLSDesign, IsTheWhitenedDesignOfTheLatestFit) {
    GLS m(true);
    for (index_t n : {20u, 9u}) {
        const Problem p = problem(n, n == 20 ? 0.5 : 0.2);
        ASSERT_TRUE(m.fit(p.x, p.y, p.sigma));
        const Matrix* d = m.design();
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(d->rows(), n);
        ASSERT_EQ(d->cols(), 3u);
        auto l = cholesky(p.sigma);
        ASSERT_TRUE(l);
        // L D = [1 | X]
        const Matrix back = dot(*l, *d);
        for (index_t i = 0; i < n; ++i) {
            EXPECT_NEAR(back(i, 0), 1.0, 1e-12);
            for (index_t j = 0; j < 2; ++j) EXPECT_NEAR(back(i, j + 1), p.x(i, j), 1e-12);
        }
    }
}

TEST(GLSDesign, AbsentAfterFailedWhitening) {
    GLS m(false);
    const Problem p = problem(12, 0.4);
    ASSERT_TRUE(m.fit(p.x, p.y, p.sigma));
    ASSERT_NE(m.design(), nullptr);
    Matrix bad = p.sigma;
    bad(3, 3) = -1.0;
    auto r = m.fit(p.x, p.y, bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "Covariance matrix is not positive definite");
    EXPECT_EQ(m.design(), nullptr);
    EXPECT_TRUE(m.results().is_fitted());
}

}  // namespace
