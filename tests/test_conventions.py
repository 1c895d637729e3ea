"""The deliberate differences from the reference packages that the README's
Conventions section lists, one test each."""

import numpy as np
import pytest
from scipy import stats

import ordinata
from report_parsing import values

RNG = np.random.default_rng(42)
X = RNG.normal(size=(60, 2))
Y = 1.0 + X @ [1.0, -0.5] + RNG.normal(size=60) * (1 + np.abs(X[:, 0]))
IDS = np.repeat(np.arange(12), 5).astype(np.int64)


@pytest.mark.parametrize("cls, extra", [(ordinata.OLS, ()), (ordinata.FE, (IDS,))])
def test_robust_covariance_matrix_is_the_classical_one(cls, extra):
    plain, robust = cls(), cls(robust=True)
    plain.fit(X, Y, *extra)
    robust.fit(X, Y, *extra)
    np.testing.assert_array_equal(robust.covariance_matrix(), plain.covariance_matrix())
    np.testing.assert_array_equal(robust.coefficients, plain.coefficients)
    # only the standard errors are robust
    assert not np.allclose(robust.standard_errors(), plain.standard_errors(), rtol=1e-3)


@pytest.mark.parametrize("cls", [ordinata.OLS, ordinata.WLS])
def test_r_squared_without_intercept_is_centred_and_clamped_by_ols_only(cls):
    y = X @ [1.0, -0.5] + 0.3 + RNG.normal(size=60) * 0.5
    weights = [np.ones(60)] if cls is ordinata.WLS else []
    m = cls(fit_intercept=False)
    m.fit(X, y, *weights)
    e = m.residuals
    assert m.r_squared == pytest.approx(1 - e @ e / ((y - y.mean()) ** 2).sum(), rel=1e-12)
    assert m.r_squared != pytest.approx(1 - e @ e / (y @ y), rel=1e-3)  # the uncentred figure
    # A far-off fit's centred R^2 lies below -1: OLS reports -1, WLS the raw figure.
    m.fit(X, 100.0 + 0.01 * np.random.default_rng(1).normal(size=60), *weights)
    assert m.r_squared == -1.0 if cls is ordinata.OLS else m.r_squared < -1.0


# nu = n - 3 residual degrees of freedom: Student t up to 30, normal from 31.
@pytest.mark.parametrize("nu, dist", [(1, stats.t(1)), (30, stats.t(30)), (31, stats.norm), (200, stats.norm)])
def test_normal_distribution_from_31_degrees_of_freedom(nu, dist):
    x = RNG.normal(size=(nu + 3, 2))
    m = ordinata.OLS()
    m.fit(x, x[:, 0] + RNG.normal(size=nu + 3) * 3)
    np.testing.assert_allclose(m.p_values(), 2 * dist.sf(np.abs(m.t_statistics())), rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(m.confidence_intervals()[:, 1], m.coefficients + dist.ppf(0.975) * m.standard_errors(),
                               rtol=1e-10)


def test_normal_p_values_are_zero_beyond_about_8_3():
    # p = 2 (1 - Phi(|t|)): exact in the body, 0 once Phi(|t|) rounds to 1.
    x = RNG.normal(size=(100, 1))
    m = ordinata.OLS()
    for slope in (0.05, 0.1):  # |t| near 5 and near 10
        m.fit(x, slope * x[:, 0] + 0.1 * RNG.normal(size=100))
        p, t = m.p_values()[0], abs(m.t_statistics()[0])
        assert p == pytest.approx(2 * (1 - stats.norm.cdf(t)), rel=1e-9, abs=1e-16)
        assert (p == 0.0) == (t > 8.3) and stats.norm.sf(t) > 0


def test_tsls_adds_no_constant_to_the_instruments():
    z = RNG.normal(size=(60, 3)) + 2.0
    x = z[:, :2] @ [[1.0, 0.3], [0.2, 1.0]] + RNG.normal(size=(60, 2))
    m = ordinata.TSLS()
    m.fit(z, x, Y)

    def second_stage(zz):
        xhat = zz @ np.linalg.lstsq(zz, x, rcond=None)[0]
        return np.linalg.lstsq(np.column_stack([np.ones(60), xhat]), Y, rcond=None)[0]

    got = np.r_[m.intercept, m.coefficients]
    np.testing.assert_allclose(got, second_stage(z), rtol=1e-10)
    assert not np.allclose(got, second_stage(np.column_stack([np.ones(60), z])), rtol=1e-3)


def test_fe_df_residuals_is_n_minus_k():
    m = ordinata.FE()
    m.fit(X, Y, IDS)
    assert values(m.summary())["Df Residuals:"] == 60 - 2  # not n - k - N = 46


# alpha is the significance level, two-sided: 0 gives infinite intervals, 2 empty ones.
@pytest.mark.parametrize("alpha, q", [(0.05, None), (0.1, stats.norm.ppf(0.95)), (1.0, 0.0), (0.0, np.inf),
                                      (1.5, None), (2.0, -np.inf)])
def test_confidence_intervals_take_the_significance_level(alpha, q):
    m = ordinata.OLS()
    m.fit(X, Y)
    q = stats.norm.ppf(1 - alpha / 2) if q is None else q
    with np.errstate(invalid="ignore"):
        np.testing.assert_allclose(m.confidence_intervals(alpha)[:, 1], m.coefficients + q * m.standard_errors())
