"""GLS: Σ checks, messages, its relation to WLS and the report's whitened
diagnostics (the agreement with statsmodels is in test_reference_agreement)."""

import numpy as np
import pytest
import scipy.linalg

import ordinata
from report_parsing import rows, values


def data(n=60, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    i = np.arange(n)
    sigma = 1.5 * 0.6 ** np.abs(i[:, None] - i[None, :])
    return x, x @ np.arange(1.0, p + 1) + 0.5 + np.linalg.cholesky(sigma) @ rng.normal(size=n), sigma


@pytest.mark.parametrize("x, y, sigma, kind, msg", [
    (np.ones((100, 3)), np.ones(99), np.eye(100), ValueError, "Shape mismatch: X(100,3), y(99), sigma(100,100)"),
    (np.ones((100, 3)), np.ones(100), np.ones((100, 101)), ValueError,
     "Shape mismatch: X(100,3), y(100), sigma(100,101)"),
    (np.empty((0, 2)), np.empty(0), np.empty((0, 0)), ValueError, "Empty input arrays"),
    (np.ones((3, 2)), np.ones(3), np.eye(3), ValueError, "Insufficient samples"),
    (np.ones((4, 1)), np.ones(4), np.diag([1.0, 1.0, 0.0, 1.0]), RuntimeError,
     "Covariance matrix is not positive definite"),
    (np.ones((4, 1)), np.ones(4), np.diag([1.0, -2.0, 1.0, 1.0]), RuntimeError,
     "Covariance matrix is not positive definite"),
])
def test_fit_messages(x, y, sigma, kind, msg):
    with pytest.raises(kind) as exc:
        ordinata.GLS().fit(x, y, sigma)
    assert str(exc.value) == msg


def test_predict_and_repr():
    x, y, sigma = data()
    m = ordinata.GLS()
    m.fit(x, y, sigma)
    with pytest.raises(ValueError, match="^Feature mismatch: expected 3, got 2$"):
        m.predict(np.ones((1, 2)))
    np.testing.assert_allclose(m.predict(x), x @ m.coefficients + m.intercept, rtol=1e-13)
    assert (repr(m), repr(ordinata.GLS(False))) == ("GLS(fit_intercept=true)", "GLS(fit_intercept=false)")


def test_diagonal_sigma_gives_wls_coefficients_and_scaled_sigma_changes_nothing():
    x, y, _ = data()
    d = np.random.default_rng(2).uniform(0.5, 3.0, 60)
    g, g4, w = ordinata.GLS(), ordinata.GLS(), ordinata.WLS()
    g.fit(x, y, np.diag(d))
    g4.fit(x, y, 4.0 * np.diag(d))
    w.fit(x, y, 1.0 / d)
    np.testing.assert_allclose(np.r_[g.intercept, g.coefficients], np.r_[w.intercept, w.coefficients], rtol=1e-10)
    np.testing.assert_allclose(g4.coefficients, g.coefficients, rtol=1e-10)
    np.testing.assert_allclose(g4.standard_errors(), g.standard_errors(), rtol=1e-9)
    assert g4.mse == pytest.approx(g.mse / 4.0, rel=1e-10)


def test_sigma_symmetry_allows_rounding_noise_only():
    x, y, sigma = data()
    a, b = ordinata.GLS(), ordinata.GLS()
    a.fit(x, y, sigma)
    noisy = sigma * (1 + 1e-13 * np.random.default_rng(1).normal(size=sigma.shape))
    b.fit(x, y, np.asfortranarray(noisy))
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=1e-9)
    for bump in (1e3, 1e-6):  # far off, and just beyond 1e-9 of the diagonal scale
        junk = sigma.copy()
        junk[0, 5] += bump
        with pytest.raises(ValueError, match="^Covariance matrix must be symmetric$"):
            b.fit(x, y, junk)


def whitened_condition(x, sigma):
    d = scipy.linalg.solve_triangular(np.linalg.cholesky(sigma), np.column_stack([np.ones(len(x)), x]), lower=True)
    return np.linalg.cond(d / np.linalg.norm(d, axis=0))


def test_report_diagnostics_use_the_whitened_design_of_the_latest_fit():
    x, y, sigma = data()
    m = ordinata.GLS()
    m.fit(x, y, sigma)
    text = m.summary()
    assert text.startswith(" " * 28 + "GLS Regression Results\n")
    assert "Method:                   Generalized Least Squares" in text and "nonrobust" in text
    assert values(text)["Cond. No.:"] == pytest.approx(whitened_condition(x, sigma), rel=1e-3)
    assert rows(text)["x2"][0] == pytest.approx(m.coefficients[1], abs=5e-5)
    x2, y2, _ = data(n=40, seed=5)
    s2 = np.diag(np.linspace(1, 3, 40))
    m.fit(x2, y2, s2)
    assert values(m.summary())["Cond. No.:"] == pytest.approx(whitened_condition(x2, s2), rel=1e-3)
