#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stats/diagnostics.hpp"

using ordinata::linalg::Matrix;
using ordinata::linalg::Vector;
using ordinata::stats::chi2_2_sf;
using ordinata::stats::DiagnosticStats;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A skewed, non-constant sequence of length n.
Vector ramp(std::size_t n) {
    Vector out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(static_cast<double>(i % 7) - 2.0, 3) + 0.1 * i;
    return out;
}

const Matrix kEye = [] {
    Matrix m(2, 2, 0.0);
    m(0, 0) = m(1, 1) = 1.0;
    return m;
}();

// Which of the seven residual fields are finite.
std::vector<bool> finite_fields(const DiagnosticStats& d) {
    return {std::isfinite(d.durbin_watson), std::isfinite(d.jarque_bera),     std::isfinite(d.jarque_bera_p_value),
            std::isfinite(d.omnibus),       std::isfinite(d.omnibus_p_value), std::isfinite(d.skew),
            std::isfinite(d.kurtosis)};
}

}  // namespace

struct CountCase {
    std::size_t n;
    std::vector<bool> finite;
};

class DiagnosticsByCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(DiagnosticsByCount, NaNRulesFollowTheResidualCount) {
    const auto& c = GetParam();
    const auto d = DiagnosticStats::compute(ramp(c.n), kEye);
    EXPECT_EQ(finite_fields(d), c.finite);
    EXPECT_DOUBLE_EQ(d.condition_number, 1.0);  // the matrix alone decides
}

INSTANTIATE_TEST_SUITE_P(Counts, DiagnosticsByCount,
                         ::testing::Values(CountCase{0, {0, 0, 0, 0, 0, 0, 0}}, CountCase{1, {0, 0, 0, 0, 0, 0, 0}},
                                           CountCase{2, {1, 0, 0, 0, 0, 0, 0}}, CountCase{3, {1, 0, 0, 0, 0, 1, 0}},
                                           CountCase{4, {1, 0, 0, 0, 0, 1, 1}}, CountCase{19, {1, 0, 0, 0, 0, 1, 1}},
                                           CountCase{20, {1, 1, 1, 1, 1, 1, 1}}, CountCase{500, {1, 1, 1, 1, 1, 1, 1}}),
                         [](const auto& info) { return "n" + std::to_string(info.param.n); });

TEST(Diagnostics, ConstantAndZeroResiduals) {
    const auto ones = DiagnosticStats::compute(Vector(25, 1.0), kEye);
    const auto zeros = DiagnosticStats::compute(Vector(25, 0.0), kEye);
    for (const auto& d : {ones, zeros})
        EXPECT_EQ((std::vector<double>{d.skew, d.kurtosis, d.jarque_bera, d.omnibus, d.jarque_bera_p_value,
                                       d.omnibus_p_value}),
                  (std::vector<double>{0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(ones.durbin_watson, 0.0);
    EXPECT_TRUE(std::isnan(zeros.durbin_watson));
}

TEST(Diagnostics, OverflowingMomentsGiveNaNTests) {
    Vector e(30);
    for (std::size_t i = 0; i < 30; ++i) e[i] = (i % 3 ? 1e200 : -2e200);
    const auto d = DiagnosticStats::compute(e, kEye);
    EXPECT_TRUE(std::isnan(d.skew));
    EXPECT_TRUE(std::isnan(d.jarque_bera) && std::isnan(d.jarque_bera_p_value));
    EXPECT_TRUE(std::isnan(d.omnibus) && std::isnan(d.omnibus_p_value));
}

TEST(Diagnostics, ChiSquaredTwoTail) {
    for (double x : {0.0, 0.5, 5.991464547107979, 40.0}) EXPECT_NEAR(chi2_2_sf(x), std::exp(-x / 2), 1e-15);
    EXPECT_TRUE(std::isnan(chi2_2_sf(kInf)));
    EXPECT_TRUE(std::isnan(chi2_2_sf(kNaN)));
}
