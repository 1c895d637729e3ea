// Coefficient inference shared by every estimator: the intercept split,
// t statistics, two-sided p-values and confidence intervals.
#pragma once

#include <cstdint>
#include <optional>

#include "linalg/matrix.hpp"
#include <expected>
#include <string>

namespace ordinata::stats {

using linalg::Matrix;
using linalg::Vector;
using linalg::VectorView;

struct SplitParams {
    std::optional<double> intercept;
    Vector coefficients;
    Vector coef_std_errors;
    std::optional<double> intercept_std_error;
};

SplitParams split_intercept_and_coefs(VectorView params, VectorView std_errors, bool fit_intercept);

// Standard normal distribution function and quantile.
double normal_cdf(double x);
double normal_quantile(double p);
// Student t distribution function, nu > 0.
double student_t_cdf(double x, double nu);

// Two-sided p-value: Student t for 1 <= nu <= 30, normal for nu >= 31, 1 for nu = 0.
double p_value(double t, std::uint64_t nu);
// Critical value for a two-sided interval at level alpha (the 1 - alpha/2 quantile).
std::expected<double, std::string> critical_value(double alpha, std::uint64_t nu);

Vector t_statistics(VectorView coefficients, VectorView std_errors);
Vector p_values(VectorView coefficients, VectorView std_errors, std::uint64_t nu);
// p x 2 matrix of (lower, upper) bounds.
std::expected<Matrix, std::string> confidence_intervals(VectorView coefficients, VectorView std_errors,
                                                        std::uint64_t nu, double alpha);

// Upper-tail probability of the F distribution with (d1, d2) degrees of freedom.
double f_sf(double f, std::uint64_t d1, std::uint64_t d2);

}  // namespace ordinata::stats
