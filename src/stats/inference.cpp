#include "stats/inference.hpp"

#include "stats/boost_policy.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include <boost/math/special_functions/beta.hpp>
#include <boost/math/special_functions/erf.hpp>

namespace ordinata::stats {

namespace {

namespace bm = boost::math;

constexpr double sqrt2 = 1.4142135623730951;
constexpr double inf = std::numeric_limits<double>::infinity();

double erfc_inv(double v) {
    if (v <= 0.0) return inf;
    if (v >= 2.0) return -inf;
    return bm::erfc_inv(v, quiet_policy());
}

// Regularised incomplete beta I_x(a, b) for x in [0, 1].
double ibeta(double a, double b, double x) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    return bm::ibeta(a, b, x, quiet_policy());
}

double ibeta_inv(double a, double b, double y) {
    if (y <= 0.0) return 0.0;
    if (y >= 1.0) return 1.0;
    return bm::ibeta_inv(a, b, y, quiet_policy());
}

// The process-wide standard normal distribution; a function-local static is
// initialised exactly once, even under concurrent first use.
struct StandardNormal {
    double mean = 0.0;
    double sd = 1.0;

    double cdf(double x) const {
        const double z = (mean - x) / (sd * sqrt2);
        if (std::isnan(z)) return std::numeric_limits<double>::quiet_NaN();
        if (z == inf) return 0.0;
        if (z == -inf) return 1.0;
        return 0.5 * bm::erfc(z, quiet_policy());
    }
    double quantile(double p) const { return mean - sd * sqrt2 * erfc_inv(2.0 * p); }
};

const StandardNormal& standard_normal() {
    static const StandardNormal STANDARD_NORMAL{};
    return STANDARD_NORMAL;
}

std::string shortest(double v) {
    std::array<char, 64> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v);
    return std::string(buf.data(), end);
}

}  // namespace

SplitParams split_intercept_and_coefs(VectorView params, VectorView std_errors, bool fit_intercept) {
    if (!fit_intercept || params.size() == 0 || std_errors.size() == 0)
        return {std::nullopt, Vector::from(params), Vector::from(std_errors), std::nullopt};
    return {params[0], Vector::from(params.sub(1, params.size() - 1)),
            Vector::from(std_errors.sub(1, std_errors.size() - 1)), std_errors[0]};
}

double normal_cdf(double x) { return standard_normal().cdf(x); }
double normal_quantile(double p) { return standard_normal().quantile(p); }

double student_t_cdf(double x, double nu) {
    if (std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
    const double h = nu / (nu + x * x);
    const double b = ibeta(nu / 2.0, 0.5, h);
    return x <= 0.0 ? 0.5 * b : 1.0 - 0.5 * b;
}

double p_value(double t, std::uint64_t nu) {
    if (nu == 0) return 1.0;
    const double a = std::fabs(t);
    if (nu >= 31) return 2.0 * (1.0 - normal_cdf(a));
    return 2.0 * (1.0 - student_t_cdf(a, static_cast<double>(nu)));
}

std::expected<double, std::string> critical_value(double alpha, std::uint64_t nu) {
    if (!(alpha >= 0.0 && alpha <= 2.0))
        return std::unexpected("alpha must be between 0 and 2, got " + shortest(alpha));
    const double p = alpha * -0.5 + 1.0;
    if (nu >= 1 && nu <= 30) {
        const double v = static_cast<double>(nu);
        const double y = p >= 0.5 ? 2.0 * (1.0 - p) : 2.0 * p;
        const double b = ibeta_inv(v / 2.0, 0.5, y);
        const double q = std::sqrt(v * (1.0 - b) / b);
        return p >= 0.5 ? q : -q;
    }
    return normal_quantile(p);
}

Vector t_statistics(VectorView coefficients, VectorView std_errors) { return linalg::div(coefficients, std_errors); }

Vector p_values(VectorView coefficients, VectorView std_errors, std::uint64_t nu) {
    Vector out(coefficients.size());
    for (linalg::index_t i = 0; i < coefficients.size(); ++i) out[i] = p_value(coefficients[i] / std_errors[i], nu);
    return out;
}

std::expected<Matrix, std::string> confidence_intervals(VectorView coefficients, VectorView std_errors,
                                                        std::uint64_t nu, double alpha) {
    auto q = critical_value(alpha, nu);
    if (!q) return std::unexpected(q.error());
    Matrix out(coefficients.size(), 2);
    for (linalg::index_t i = 0; i < coefficients.size(); ++i) {
        const double margin = *q * std_errors[i];
        out(i, 0) = coefficients[i] - margin;
        out(i, 1) = margin + coefficients[i];
    }
    return out;
}

double f_sf(double f, std::uint64_t d1, std::uint64_t d2) {
    if (d1 == 0 || d2 == 0 || std::isnan(f) || f <= 0.0) return 1.0;
    if (f == inf) return 0.0;
    const double k = static_cast<double>(d1), v = static_cast<double>(d2);
    return ibeta(v / 2.0, k / 2.0, v / (v + k * f));
}

}  // namespace ordinata::stats
