"""IV: the exactly identified estimator against direct computation, and its
messages."""

import numpy as np
import pytest
from statsmodels.sandbox.regression.gmm import IV2SLS

import ordinata

NOT_ENOUGH = "Number of samples must be greater than number of regressors"


def endogenous_data(n=300, k=2, seed=0):
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(n, k))
    u = rng.normal(size=n)
    x = z @ (np.eye(k) + 0.3) + 0.8 * u[:, None] + rng.normal(size=(n, k))
    y = 1.5 + x @ np.linspace(1.0, -1.0, k) + u
    return z, x, y


def sandwich_oracle(z, x, y, intercept):
    """beta = (Z'X)^-1 Z'y and s^2 (Z'X)^-1 Z'Z (Z'X)^-T computed directly."""
    if intercept:
        z = np.column_stack([np.ones(len(y)), z])
        x = np.column_stack([np.ones(len(y)), x])
    a_inv = np.linalg.inv(z.T @ x)
    beta = a_inv @ z.T @ y
    e = y - x @ beta
    s2 = e @ e / (len(y) - x.shape[1])
    cov = s2 * a_inv @ (z.T @ z) @ a_inv.T
    r2 = 1 - e @ e / np.sum((y - y.mean()) ** 2)
    return beta, cov, e, s2, r2


Z3 = np.random.default_rng(1).normal(size=(6, 2))


@pytest.mark.parametrize(
    "z, x, y, intercept, message",
    [
        (Z3, Z3[:5], np.ones(5), True, "Instruments and targets must have the same number of samples"),
        (Z3, Z3[:5], np.ones(6), True, "Regressors and targets must have the same number of samples"),
        (np.ones((6, 3)), Z3, np.ones(6), True,
         "IV estimator requires exactly the same number of instruments as regressors (exact identification). "
         "For overidentified cases, use TSLS estimator."),
        (Z3[:2], Z3[:2], np.ones(2), True, NOT_ENOUGH),
        (np.empty((0, 0)), np.empty((0, 0)), np.empty(0), True, NOT_ENOUGH),
        (np.column_stack([Z3[:, 0], np.zeros(6)]), Z3, np.ones(6), True,
         "Z'X matrix is singular. Check instrument-regressor correlation."),
        (np.empty((6, 0)), np.empty((6, 0)), np.ones(6), False,
         "At least one regressor is required when fit_intercept is False"),
        (Z3[:3], Z3[:3], np.ones(3), True, "Insufficient degrees of freedom for covariance estimation"),
    ],
)
def test_fit_errors(z, x, y, intercept, message):
    with pytest.raises(ValueError) as err:
        ordinata.IV(fit_intercept=intercept).fit(z, x, y)
    assert str(err.value) == message


@pytest.mark.parametrize("intercept", [True, False])
def test_exactly_identified_against_oracles(intercept):
    z, x, y = endogenous_data()
    m = ordinata.IV(fit_intercept=intercept)
    m.fit(z, x, y)
    beta, cov, e, s2, r2 = sandwich_oracle(z, x, y, intercept)
    slopes = beta[1:] if intercept else beta
    np.testing.assert_allclose(m.coefficients, slopes, rtol=1e-10)
    np.testing.assert_allclose(m.covariance_matrix, cov, rtol=1e-10)
    np.testing.assert_allclose(m.residuals, e, rtol=1e-10, atol=1e-12)
    assert m.mse == pytest.approx(s2, rel=1e-10)
    assert m.r_squared == pytest.approx(r2, rel=1e-10)
    se = np.sqrt(np.diag(cov))
    np.testing.assert_allclose(m.standard_errors(), se[1:] if intercept else se, rtol=1e-10)
    n, p = len(y), len(beta)
    assert m.r_squared_adj == pytest.approx(1 - (1 - r2) * (n - 1) / (n - p), rel=1e-10)
    if intercept:
        assert m.intercept == pytest.approx(beta[0], rel=1e-10)
        # Exact identification: the textbook 2SLS covariance is the same sandwich.
        ref = IV2SLS(y, np.column_stack([np.ones(n), x]), np.column_stack([np.ones(n), z])).fit()
        np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=1e-10)
        assert m.r_squared == pytest.approx(ref.rsquared, rel=1e-10)
    else:
        assert m.intercept is None
    x_new = x[:4] * 2
    np.testing.assert_allclose(m.predict(x_new), x_new @ m.coefficients + (m.intercept or 0.0), rtol=1e-12)
