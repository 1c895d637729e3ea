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

}  // namespace

double chi2_2_sf(double x) {
    if (std::isnan(x) || std::isinf(x)) return nan;
    return 1.0 - chi2_2_cdf(x);
}

ResidualSums ResidualSums::of(linalg::VectorView e) {
    ResidualSums s;
    const linalg::index_t n = e.size();
    if (n == 0) return s;
    s.n = static_cast<double>(n);
    double total = 0.0;
    for (linalg::index_t i = 0; i < n; ++i) total += e[i];
    s.mean = total / s.n;
    s.first = e[0];
    s.last = e[n - 1];
    s.sum_sq = e[0] * e[0];
    for (linalg::index_t i = 0; i < n; ++i) {
        const double d = e[i] - s.mean;
        const double d2 = d * d;
        s.m2 += d2;
        s.m3 += d * d2;
        s.m4 += d2 * d2;
        if (i > 0) {
            const double step = e[i] - e[i - 1];
            s.squared_steps += step * step;
            s.sum_sq += e[i] * e[i];
        }
    }
    return s;
}

ResidualSums ResidualSums::merge(const ResidualSums& a, const ResidualSums& b) {
    if (a.n == 0.0) return b;
    if (b.n == 0.0) return a;
    ResidualSums s;
    const double na = a.n, nb = b.n, n = na + nb, d = b.mean - a.mean, d2 = d * d;
    s.n = n;
    s.mean = a.mean + d * (nb / n);
    s.m2 = a.m2 + b.m2 + d2 * (na * nb / n);
    s.m3 = a.m3 + b.m3 + d * d2 * (na * nb * (na - nb) / (n * n)) + 3.0 * d * (na * b.m2 - nb * a.m2) / n;
    s.m4 = a.m4 + b.m4 + d2 * d2 * (na * nb * (na * na - na * nb + nb * nb) / (n * n * n)) +
           6.0 * d2 * (na * na * b.m2 + nb * nb * a.m2) / (n * n) + 4.0 * d * (na * b.m3 - nb * a.m3) / n;
    s.sum_sq = a.sum_sq + b.sum_sq;
    const double join = b.first - a.last;
    s.squared_steps = a.squared_steps + b.squared_steps + join * join;
    s.first = a.first;
    s.last = b.last;
    return s;
}

DiagnosticStats DiagnosticStats::compute(linalg::VectorView e, linalg::MatrixView matrix) {
    return from_sums(ResidualSums::of(e), linalg::scaled_condition_number(matrix));
}

DiagnosticStats DiagnosticStats::from_sums(const ResidualSums& sums, double condition_number) {
    DiagnosticStats out{nan, nan, nan, nan, nan, nan, nan, condition_number};
    const double count = sums.n;
    if (count < 2.0) return out;
    out.durbin_watson = sums.sum_sq > 0.0 ? sums.squared_steps / sums.sum_sq : nan;
    if (count < 3.0) return out;

    // Moment estimators with divisor n; a zero (or NaN) second moment gives 0 for both.
    const double m2 = sums.m2 / count, m3 = sums.m3 / count, m4 = sums.m4 / count;
    double skew = 0.0, kurtosis = 0.0;
    if (m2 > 0.0) {
        const double s = std::sqrt(m2);
        skew = m3 / (s * (s * s));
        kurtosis = m4 / (m2 * m2) - 3.0;
    }
    out.skew = skew;
    if (count >= 4.0) out.kurtosis = kurtosis;
    if (count < 20.0 || std::isnan(skew) || std::isnan(kurtosis)) return out;

    out.jarque_bera = (count / 6.0) * (skew * skew + (kurtosis * kurtosis) * 0.25);
    out.jarque_bera_p_value = chi2_2_sf(out.jarque_bera);

    // Large-sample standard errors of skewness and kurtosis; plain z-scores.
    const double v = (6.0 * count * (count - 1.0)) / ((count + 3.0) * ((count - 2.0) * (count + 1.0)));
    if (!(v > 0.0)) return out;
    const double se_s = std::sqrt(v);
    const double se_k = std::sqrt((count * count - 1.0) / ((count - 3.0) * (count + 5.0))) * (2.0 * se_s);
    if (!(se_k > 0.0)) return out;
    const double zs = skew / se_s, zk = kurtosis / se_k;
    out.omnibus = zs * zs + zk * zk;
    out.omnibus_p_value = chi2_2_sf(out.omnibus);
    return out;
}

}  // namespace ordinata::stats
