#include "stats/diagnostics.hpp"

#include "stats/boost_policy.hpp"

#include <cmath>
#include <limits>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"

#include <boost/math/special_functions/gamma.hpp>

namespace ordinata::stats {

namespace {

namespace bm = boost::math;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Chi-squared(2) distribution function: the gamma distribution with shape 1
// and rate 0.5, i.e. P(1, x/2); 0 for x <= 0.
double chi2_2_cdf(double x) {
    if (!(x > 0.0)) return 0.0;
    return bm::gamma_p(1.0, x / 2.0, quiet_policy());
}

struct Moments {
    double skew;
    double kurtosis;
};

// Moment estimators with divisor n; a zero (or NaN) second moment gives 0 for both.
Moments moments(linalg::VectorView e) {
    const linalg::index_t n = e.size();
    const double count = static_cast<double>(n);
    double total = 0.0;
    for (linalg::index_t i = 0; i < n; ++i) total += e[i];
    const double mean = total / count;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;
    for (linalg::index_t i = 0; i < n; ++i) {
        const double d = e[i] - mean;
        const double d2 = d * d;
        s2 += d2;
        s3 += d * d2;
        s4 += d2 * d2;
    }
    const double m2 = s2 / count, m3 = s3 / count, m4 = s4 / count;
    if (!(m2 > 0.0)) return {0.0, 0.0};
    const double s = std::sqrt(m2);
    return {m3 / (s * (s * s)), m4 / (m2 * m2) - 3.0};
}

}  // namespace

double chi2_2_sf(double x) {
    if (std::isnan(x) || std::isinf(x)) return nan;
    return 1.0 - chi2_2_cdf(x);
}

DiagnosticStats DiagnosticStats::compute(linalg::VectorView e, linalg::MatrixView matrix) {
    DiagnosticStats out{nan, nan, nan, nan, nan, nan, nan, linalg::scaled_condition_number(matrix)};
    const linalg::index_t n = e.size();
    if (n < 2) return out;

    double d = 0.0, q = e[0] * e[0];
    for (linalg::index_t i = 1; i < n; ++i) {
        const double diff = e[i] - e[i - 1];
        d += diff * diff;
        q += e[i] * e[i];
    }
    out.durbin_watson = q > 0.0 ? d / q : nan;
    if (n < 3) return out;

    const Moments m = moments(e);
    out.skew = m.skew;
    if (n >= 4) out.kurtosis = m.kurtosis;
    if (n < 20 || std::isnan(m.skew) || std::isnan(m.kurtosis)) return out;

    const double count = static_cast<double>(n);
    out.jarque_bera = (count / 6.0) * (m.skew * m.skew + (m.kurtosis * m.kurtosis) * 0.25);
    out.jarque_bera_p_value = chi2_2_sf(out.jarque_bera);

    // Large-sample standard errors of skewness and kurtosis; plain z-scores.
    const double v = (6.0 * count * (count - 1.0)) / ((count + 3.0) * ((count - 2.0) * (count + 1.0)));
    if (!(v > 0.0)) return out;
    const double se_s = std::sqrt(v);
    const double se_k = std::sqrt((count * count - 1.0) / ((count - 3.0) * (count + 5.0))) * (2.0 * se_s);
    if (!(se_k > 0.0)) return out;
    const double zs = m.skew / se_s, zk = m.kurtosis / se_k;
    out.omnibus = zs * zs + zk * zk;
    out.omnibus_p_value = chi2_2_sf(out.omnibus);
    return out;
}

}  // namespace ordinata::stats
