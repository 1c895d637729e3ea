import numpy as np
import pytest
import scipy.linalg
import statsmodels.api as sm

import ordinata
from report_parsing import rows, stable, values

RTOL = 1e-10


def ar1(n, rho=0.6, scale=1.5):
    i = np.arange(n)
    return scale * rho ** np.abs(i[:, None] - i[None, :])


def data(n=60, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    sigma = ar1(n)
    y = x @ np.arange(1.0, p + 1) + 0.5 + np.linalg.cholesky(sigma) @ rng.normal(size=n)
    return x, y, sigma


@pytest.mark.parametrize(
    "x,y,sigma,kind,msg",
    [
        (np.ones((100, 3)), np.ones(99), np.eye(100), ValueError, "Shape mismatch: X(100,3), y(99), sigma(100,100)"),
        (np.ones((100, 3)), np.ones(100), np.ones((100, 101)), ValueError,
         "Shape mismatch: X(100,3), y(100), sigma(100,101)"),
        (np.ones((5, 2)), np.ones(5), np.eye(4), ValueError, "Shape mismatch: X(5,2), y(5), sigma(4,4)"),
        (np.empty((0, 2)), np.empty(0), np.empty((0, 0)), ValueError, "Empty input arrays"),
        (np.ones((3, 2)), np.ones(3), np.eye(3), ValueError, "Insufficient samples"),
        (np.ones((4, 1)), np.ones(4), np.diag([1.0, 1.0, 0.0, 1.0]), RuntimeError,
         "Covariance matrix is not positive definite"),
        (np.ones((4, 1)), np.ones(4), np.diag([1.0, -2.0, 1.0, 1.0]), RuntimeError,
         "Covariance matrix is not positive definite"),
    ],
)
def test_fit_failures_in_order(x, y, sigma, kind, msg):
    m = ordinata.GLS()
    with pytest.raises(kind) as exc:
        m.fit(x, y, sigma)
    assert str(exc.value) == msg
    assert not m.is_fitted()


@pytest.mark.parametrize("args,text", [((), "GLS(fit_intercept=true)"), ((False,), "GLS(fit_intercept=false)")])
def test_repr(args, text):
    assert repr(ordinata.GLS(*args)) == text


def test_predict():
    m = ordinata.GLS()
    with pytest.raises(RuntimeError, match="^Model not fitted$"):
        m.predict(np.ones((1, 3)))
    assert m.t_statistics() is None and m.residuals is None
    x, y, sigma = data()
    m.fit(x, y, sigma)
    with pytest.raises(ValueError, match="^Feature mismatch: expected 3, got 2$"):
        m.predict(np.ones((1, 2)))
    np.testing.assert_allclose(m.predict(x), x @ m.coefficients + m.intercept, rtol=1e-13)


# n = 3k uses the SVD, n = 3k + 1 Cholesky on the normal equations.
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("n", [12, 13, 60])
def test_identity_sigma_is_ols(n, intercept):
    x, y, _ = data(n=n)
    m = ordinata.GLS(intercept)
    m.fit(x, y, np.eye(n))
    ref = sm.OLS(y, sm.add_constant(x) if intercept else x).fit()
    np.testing.assert_allclose(m.coefficients, ref.params[1:] if intercept else ref.params, rtol=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:] if intercept else ref.bse, rtol=1e-9)
    np.testing.assert_allclose(m.residuals, ref.resid, rtol=1e-8, atol=1e-12)
    e = ref.resid
    assert m.r_squared == pytest.approx(1 - e @ e / ((y - y.mean()) ** 2).sum(), rel=RTOL)


def test_scaled_identity():
    x, y, _ = data()
    a, b = ordinata.GLS(), ordinata.GLS()
    a.fit(x, y, np.eye(60))
    b.fit(x, y, 4.0 * np.eye(60))
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=RTOL)
    np.testing.assert_allclose(b.residuals, a.residuals / 2.0, rtol=1e-9, atol=1e-13)
    assert b.mse == pytest.approx(a.mse / 4.0, rel=RTOL)
    assert b.r_squared == pytest.approx(a.r_squared, rel=RTOL)
    np.testing.assert_allclose(b.standard_errors(), a.standard_errors(), rtol=1e-9)


def test_diagonal_sigma_matches_wls_coefficients():
    x, y, _ = data()
    d = np.random.default_rng(2).uniform(0.5, 3.0, 60)
    g, w = ordinata.GLS(), ordinata.WLS()
    g.fit(x, y, np.diag(d))
    w.fit(x, y, 1.0 / d)
    np.testing.assert_allclose(g.coefficients, w.coefficients, rtol=RTOL)
    assert g.intercept == pytest.approx(w.intercept, rel=RTOL)
    # ... but residuals are whitened: divided by the standard deviations.
    np.testing.assert_allclose(g.residuals, w.residuals / np.sqrt(d), rtol=1e-9, atol=1e-13)


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("n", [12, 60])
def test_full_sigma_matches_statsmodels(n, intercept):
    x, y, sigma = data(n=n)
    m = ordinata.GLS(intercept)
    m.fit(x, y, sigma)
    xd = sm.add_constant(x) if intercept else x
    ref = sm.GLS(y, xd, sigma=sigma).fit()
    np.testing.assert_allclose(m.coefficients, ref.params[1:] if intercept else ref.params, rtol=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:] if intercept else ref.bse, rtol=1e-9)
    assert m.mse == pytest.approx(ref.scale, rel=1e-9)
    # Residuals on the whitened scale: L^-1 (y - X beta) with Sigma = L L'.
    l = np.linalg.cholesky(sigma)
    whitened = scipy.linalg.solve_triangular(l, y - xd @ ref.params, lower=True)
    np.testing.assert_allclose(m.residuals, whitened, rtol=1e-8, atol=1e-12)
    yw = scipy.linalg.solve_triangular(l, y, lower=True)
    assert m.r_squared == pytest.approx(1 - whitened @ whitened / ((yw - yw.mean()) ** 2).sum(), rel=1e-9)


def test_never_writes_inputs_and_refuses_an_asymmetric_sigma():
    x, y, sigma = data()
    before = sigma.copy()
    a, b = ordinata.GLS(), ordinata.GLS()
    a.fit(x, y, sigma)
    b.fit(x, y, np.asfortranarray(sigma))
    np.testing.assert_array_equal(sigma, before)
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=1e-12)
    # Rounding noise in a computed Sigma passes; a real asymmetry does not.
    noisy = sigma * (1 + 1e-13 * np.random.default_rng(1).normal(size=sigma.shape))
    b.fit(x, y, noisy)
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=1e-9)
    junk = sigma.copy()
    junk[np.triu_indices(60, 1)] = 1e3
    with pytest.raises(ValueError, match="^Covariance matrix must be symmetric$"):
        b.fit(x, y, junk)


@pytest.mark.parametrize("n,msg", [(12, "Cannot compute standard errors"), (13, "XTX not positive definite")])
def test_singular_design_by_route(n, msg):
    x, y, sigma = data(n=n)
    x[:, 1] = 0.0
    m = ordinata.GLS()
    with pytest.raises(RuntimeError) as exc:
        m.fit(x, y, sigma)
    assert str(exc.value) == msg
    assert not m.is_fitted() and m.n_samples is None


def whitened_condition(x, sigma):
    l = np.linalg.cholesky(sigma)
    d = scipy.linalg.solve_triangular(l, np.column_stack([np.ones(len(x)), x]), lower=True)
    return np.linalg.cond(d / np.linalg.norm(d, axis=0))


def test_report_diagnostics_use_the_whitened_design_of_the_latest_fit():
    x, y, sigma = data()
    m = ordinata.GLS()
    m.fit(x, y, sigma)
    text = m.summary()
    assert "Method:                   Generalized Least Squares" in text
    assert "Covariance Type:          nonrobust" in text
    assert values(text)["Cond. No.:"] == pytest.approx(whitened_condition(x, sigma), rel=1e-3)
    assert rows(text)["x2"][0] == pytest.approx(m.coefficients[1], abs=5e-5)
    x2, y2, _ = data(n=40, seed=5)
    m.fit(x2, y2, np.diag(np.linspace(1, 3, 40)))
    assert values(m.summary())["Cond. No.:"] == pytest.approx(
        whitened_condition(x2, np.diag(np.linspace(1, 3, 40))), rel=1e-3)
    # A failed fit leaves the report exactly as it was.
    text = m.summary()
    with pytest.raises(RuntimeError):
        m.fit(x2, y2, -np.eye(40))
    assert stable(m.summary()) == stable(text)
