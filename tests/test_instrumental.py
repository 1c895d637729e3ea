"""IV and TSLS: the textbook two-stage estimator on every route (exact
identification included) and the structural-residual R² (the agreement
with statsmodels and linearmodels is in test_reference_agreement)."""

import numpy as np
import pytest

import ordinata


def endogenous(n, p=2, q=3, seed=0):
    """Instruments (with a column of ones, as the textbook estimator wants,
    unless exactly identified), endogenous regressors, target."""
    rng = np.random.default_rng(seed)
    zr = rng.normal(size=(n, q))
    u = rng.normal(size=n)
    x = zr @ rng.normal(size=(q, p)) + 0.7 * u[:, None] + rng.normal(size=(n, p))
    y = 0.5 + x @ np.arange(1.0, p + 1) + u
    return (zr if p == q else np.column_stack([np.ones(n), zr])), x, y


def two_stage_oracle(z, x, y, intercept):
    """Textbook 2SLS: structural residuals, sigma^2 (Xhat_d' Xhat_d)^-1."""
    xhat = z @ np.linalg.lstsq(z, x, rcond=None)[0]
    if intercept:
        xhat = np.column_stack([np.ones(len(y)), xhat])
        x = np.column_stack([np.ones(len(y)), x])
    b = np.linalg.lstsq(xhat, y, rcond=None)[0]
    e = y - x @ b
    with np.errstate(divide="ignore", invalid="ignore"):  # n = k has no covariance
        s2 = e @ e / (len(y) - x.shape[1])
        cov = s2 * np.linalg.inv(xhat.T @ xhat)
    r2 = 1 - e @ e / np.sum((y - y.mean()) ** 2)
    return b, cov, e, s2, r2


# TSLS: n = 8 both stages by SVD; n = 12 SVD first stage, normal equations
# second; n = 400 normal equations. IV (q = p) adds the intercept to the
# instruments itself, as the oracle's [1 | Z] does.
@pytest.mark.parametrize("n, q", [(8, 3), (12, 3), (400, 3), (300, 2)])
@pytest.mark.parametrize("intercept", [True, False])
def test_against_textbook_2sls(n, q, intercept):
    z, x, y = endogenous(n, q=q)
    m = (ordinata.IV if q == 2 else ordinata.TSLS)(fit_intercept=intercept)
    m.fit(z, x, y)
    zo = np.column_stack([np.ones(n), z]) if q == 2 and intercept else z
    b, cov, e, s2, r2 = two_stage_oracle(zo, x, y, intercept)
    np.testing.assert_allclose(m.coefficients, b[1:] if intercept else b, rtol=1e-10)
    np.testing.assert_allclose(m.covariance_matrix, cov, rtol=1e-10)
    np.testing.assert_allclose(m.residuals, e, rtol=1e-10, atol=1e-12)
    assert m.mse == pytest.approx(s2, rel=1e-10)
    assert m.r_squared == pytest.approx(r2, rel=1e-10)
    se = np.sqrt(np.diag(cov))
    np.testing.assert_allclose(m.standard_errors(), se[1:] if intercept else se, rtol=1e-10)
    np.testing.assert_allclose(m.residuals, y - m.predict(x), rtol=1e-10, atol=1e-12)
    k = 3 if intercept else 2
    assert m.r_squared_adj == pytest.approx(1 - (1 - r2) * (n - 1) / (n - k), rel=1e-10)
    assert m.intercept == pytest.approx(b[0], rel=1e-10) if intercept else m.intercept is None


@pytest.mark.parametrize("cls", [ordinata.IV, ordinata.TSLS])
@pytest.mark.parametrize("intercept", [True, False])
def test_instruments_equal_to_regressors_is_ols(cls, intercept):
    _, x, y = endogenous(40, seed=4)
    m, ols = cls(fit_intercept=intercept), ordinata.OLS(fit_intercept=intercept)
    m.fit(x, x, y)
    ols.fit(x, y)
    for name in ["coefficients", "residuals", "mse", "r_squared", "r_squared_adj"]:
        np.testing.assert_allclose(getattr(m, name), getattr(ols, name), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(m.standard_errors(), ols.standard_errors(), rtol=1e-9)
    np.testing.assert_allclose(m.covariance_matrix, ols.covariance_matrix(), rtol=1e-9)


@pytest.mark.parametrize("seed", [1, 3, 5])
def test_weak_instrument_gives_negative_r_squared(seed):
    rng = np.random.default_rng(seed)
    z = np.column_stack([np.ones(100), rng.normal(size=100)])
    x = (0.05 * z[:, 1] + rng.normal(size=100))[:, None]
    y = rng.normal(size=100)
    m = ordinata.TSLS()
    m.fit(z, x, y)
    assert m.r_squared < 0
    assert m.r_squared == pytest.approx(two_stage_oracle(z, x, y, True)[4], rel=1e-10)


@pytest.mark.parametrize("cls", [ordinata.IV, ordinata.TSLS])
def test_no_regressors_gives_the_mean(cls):
    z, _, y = endogenous(30)
    m = cls()
    m.fit(z[:, :0] if cls is ordinata.IV else z, np.empty((30, 0)), y)
    assert m.intercept == pytest.approx(y.mean(), rel=1e-12)
    assert m.coefficients.size == 0 and m.standard_errors().size == 0
    np.testing.assert_allclose(m.covariance_matrix, [[y.var(ddof=1) / 30]], rtol=1e-12)
    assert m.r_squared == 0.0
    np.testing.assert_allclose(m.predict(np.empty((2, 0))), [y.mean()] * 2)
