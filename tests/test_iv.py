import numpy as np
import pytest
from scipy import stats
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


def test_unfitted_state():
    m = ordinata.IV()
    assert m.fit_intercept is True and m.is_fitted() is False
    for name in ["coefficients", "intercept", "covariance_matrix", "mse", "r_squared", "r_squared_adj",
                 "residuals", "n_samples", "n_features"]:
        assert getattr(m, name) is None, name
    for meth in ["standard_errors", "t_statistics", "p_values", "confidence_intervals"]:
        assert getattr(m, meth)() is None, meth
    with pytest.raises(ValueError, match="^Model not fitted$"):
        m.predict(np.ones((2, 1)))
    assert m.summary().startswith(" " * 28 + "IV\n")
    assert repr(m).startswith("<ordinata.IV object at 0x")


def test_class_interface():
    doc = ordinata.IV.__doc__
    assert doc.splitlines()[0] == "Instrumental Variables (IV) regression estimator for exactly identified models."
    assert "The IV estimator solves: \u03b2\u0302 = (Z'X)\u207b\u00b9Z'y\n" in doc
    assert len(doc.split("\n")) == 11 and not doc.endswith("\n")
    assert ordinata.IV.__text_signature__ == "(fit_intercept=True)"
    assert ordinata.IV.fit.__text_signature__ == "($self, instruments, regressors, targets)"
    assert ordinata.IV.predict.__text_signature__ == "($self, regressors)"
    assert isinstance(ordinata.IV.__dict__["covariance_matrix"], type(ordinata.IV.mse))
    with pytest.raises(TypeError, match="'instruments', 'regressors', and 'targets'"):
        ordinata.IV().fit()


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
    t = m.coefficients / m.standard_errors()
    np.testing.assert_allclose(m.t_statistics(), t, rtol=1e-12)
    np.testing.assert_allclose(m.p_values(), 2 * (1 - stats.norm.cdf(np.abs(t))), rtol=1e-9, atol=1e-15)
    q = stats.norm.ppf(0.95)
    np.testing.assert_allclose(m.confidence_intervals(0.1),
                               np.column_stack([m.coefficients - q * m.standard_errors(),
                                                m.coefficients + q * m.standard_errors()]), rtol=1e-10)
    x_new = x[:4] * 2
    np.testing.assert_allclose(m.predict(x_new), x_new @ m.coefficients + (m.intercept or 0.0), rtol=1e-12)


@pytest.mark.parametrize("intercept", [True, False])
def test_instruments_equal_to_regressors_is_ols(intercept):
    _, x, y = endogenous_data(n=40, seed=3)
    iv, ols = ordinata.IV(fit_intercept=intercept), ordinata.OLS(fit_intercept=intercept)
    iv.fit(x, x, y)
    ols.fit(x, y)
    for name in ["coefficients", "residuals", "mse", "r_squared", "r_squared_adj"]:
        np.testing.assert_allclose(getattr(iv, name), getattr(ols, name), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(iv.standard_errors(), ols.standard_errors(), rtol=1e-9)
    np.testing.assert_allclose(iv.covariance_matrix, ols.covariance_matrix(), rtol=1e-9)
    np.testing.assert_allclose(iv.p_values(), ols.p_values(), rtol=1e-8)


def test_no_regressors_gives_the_mean():
    y = np.arange(7.0) ** 2
    m = ordinata.IV()
    m.fit(np.empty((7, 0)), np.empty((7, 0)), y)
    assert m.intercept == pytest.approx(y.mean())
    assert m.coefficients.size == 0 and m.standard_errors().size == 0
    np.testing.assert_allclose(m.covariance_matrix, [[y.var(ddof=1) / 7]], rtol=1e-12)
    assert m.r_squared == 0.0
    np.testing.assert_allclose(m.predict(np.empty((2, 0))), [y.mean()] * 2)
