"""OLS: fitted values against independent computations on every route, the
HC0 errors and the refinement step."""

import numpy as np
import pytest

import nist
from ordinata import OLS


def make(n, p, seed=0, intercept=3.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    return x, x @ rng.normal(size=p) + intercept + rng.normal(size=n)


# The Cholesky route stops at k = 999 parameters; beyond it the same fit
# goes to the SVD. n just above 2k keeps it cheap.
@pytest.mark.parametrize("p", [999, 1000])
def test_both_sides_of_the_cholesky_cutoff(p):
    x, y = make(2 * p + 4, p, seed=p, intercept=0.0)
    m = OLS(fit_intercept=False)
    m.fit(x, y)
    np.testing.assert_allclose(m.coefficients, np.linalg.solve(x.T @ x, x.T @ y), rtol=1e-8, atol=1e-10)


def test_intercept_over_several_blocks_of_the_centred_pass():
    # 20,000 rows of 2 columns span three blocks; large means make the first
    # block's shift differ from the overall means, which the pass corrects.
    x, y = make(20_000, 2, seed=11)
    x = x + [3e4, -7e3] + np.linspace(0, 50, 20_000)[:, None]
    y = y + 1e3
    m = OLS()
    m.fit(x, y)
    beta = np.linalg.lstsq(np.column_stack([np.ones(len(y)), x]), y, rcond=None)[0]
    assert m.intercept == pytest.approx(beta[0], rel=1e-9)
    np.testing.assert_allclose(m.coefficients, beta[1:], rtol=1e-9)


@pytest.mark.parametrize("icpt", [True, False])
def test_refined_solution_leaves_residuals_orthogonal_to_the_design(icpt):
    # Wampler1 (a degree-5 polynomial, scaled condition number near 1e6)
    # goes through the normal equations and their refinement; the exact
    # answer gives X'e = 0, and an unrefined solve leaves it near 1e-9.
    x, y, beta, _, _ = nist.load("Wampler1")
    m = OLS(fit_intercept=icpt)
    m.fit(x, y + 1.0)
    xd = np.column_stack([np.ones(len(y)), x]) if icpt else x
    e = (y + 1.0) - xd @ np.r_[[m.intercept] if icpt else [], m.coefficients]
    scale = np.linalg.norm(xd, axis=0) * np.linalg.norm(y + 1.0)
    assert np.all(np.abs(xd.T @ e) / scale < 1e-13)
    if icpt:  # Wampler1 is y = 1 + x + ... + x^5 exactly: the intercept is 2 here
        assert m.intercept == pytest.approx(2.0, rel=1e-11)
        np.testing.assert_allclose(m.coefficients, beta[1:], rtol=1e-11)


def test_robust_errors_of_an_exact_fit_vanish():
    # (The HC0 values themselves are checked against statsmodels and exact
    # arithmetic in test_reference_agreement and test_sandwich.)
    x, _ = make(30, 1, seed=2)
    exact = OLS(robust=True)
    exact.fit(x, 2 * x[:, 0] + 1.0)
    assert np.all(np.abs(exact.standard_errors()) < 1e-6)


def test_one_residual_degree_of_freedom_is_enough():
    x, y = make(4, 2)
    for m, rows in ((OLS(), 4), (OLS(fit_intercept=False), 3)):
        m.fit(x[:rows], y[:rows])
        # n - k = 1: the residual mean square is the residual sum of squares.
        assert m.mse == pytest.approx(np.sum(m.residuals**2), rel=1e-12)
        assert np.all(np.isfinite(m.standard_errors()))


def test_covariance_describes_latest_fit():
    m = OLS()
    m.fit(*make(30, 2, seed=1))
    assert m.covariance_matrix().shape == (3, 3)
    x, y = make(50, 3, seed=2)
    m.fit(x, y)
    xd = np.column_stack([np.ones(50), x])
    np.testing.assert_allclose(m.covariance_matrix(), m.mse * np.linalg.inv(xd.T @ xd), rtol=1e-9)


# Up to six regressors in one block, the centred pass keeps its sums in
# registers, one instance per width and memory layout; seven take the
# buffered pass. Every layout must give the same fit, equal to lstsq.
@pytest.mark.parametrize("p", range(1, 8))
def test_small_designs_of_every_width_and_layout(p):
    x, y = make(40, p, seed=p)
    x = x * 1e3 + 5e3
    beta = np.linalg.lstsq(np.column_stack([np.ones(len(y)), x]), y, rcond=None)[0]
    fits = []
    for xv in (x, np.asfortranarray(x), np.repeat(x, 2, axis=1)[:, ::2]):
        m = OLS()
        m.fit(xv, y)
        fits.append((m.intercept, m.coefficients, m.standard_errors(), m.residuals))
    assert fits[0][0] == pytest.approx(beta[0], rel=1e-9)
    np.testing.assert_allclose(fits[0][1], beta[1:], rtol=1e-9)
    for other in fits[1:]:
        assert other[0] == fits[0][0]
        for a, b in zip(other[1:], fits[0][1:]):
            np.testing.assert_array_equal(a, b)
