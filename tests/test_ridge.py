"""Ridge: the penalised normal equations on every route and the unpenalised
intercept; Ridge and WLS keep their digits under large column offsets."""

from fractions import Fraction

import numpy as np
import pytest

import exact
import ordinata


def data(n=60, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    return x, x @ np.arange(1.0, p + 1) + 2.0 + rng.normal(size=n)


# n = 2k and 2k + 1 sit on either side of the Cholesky threshold; 4k and
# 4k + 1 on either side of the SVD threshold for alpha = 0.
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("alpha, n", [(0.7, 8), (0.7, 9), (2.5, 200), (0.0, 16), (0.0, 17), (0.0, 200)])
def test_matches_closed_form(alpha, n, intercept):
    x, y = data(n=n)
    xd = np.column_stack([np.ones(n), x]) if intercept else x
    inv = np.linalg.inv(xd.T @ xd + alpha * np.diag([0.0] * intercept + [1.0] * 3))
    beta = inv @ xd.T @ y
    e = y - xd @ beta
    mse = e @ e / (n - xd.shape[1])
    m = ordinata.Ridge(alpha, intercept)
    m.fit(x, y)
    np.testing.assert_allclose(np.r_[[m.intercept] if intercept else [], m.coefficients], beta, rtol=1e-10)
    np.testing.assert_allclose(m.residuals, e, rtol=1e-9, atol=1e-12)
    assert m.mse == pytest.approx(mse, rel=1e-10)
    # alpha = 0 on the SVD route uses a 1e-12 ridge, invisible at this scale.
    np.testing.assert_allclose(m.covariance_matrix(), mse * inv, rtol=1e-9)
    np.testing.assert_allclose(m.standard_errors(), np.sqrt(mse * np.diag(inv))[int(intercept):], rtol=1e-9)
    assert m.r_squared == pytest.approx(1 - (e @ e) / ((y - y.mean()) ** 2).sum(), rel=1e-10)
    np.testing.assert_allclose(m.predict(x), y - e, rtol=1e-10)


@pytest.mark.parametrize("offset", [1e4, 1e6])
@pytest.mark.parametrize("alpha", [1e-6, 1.0, None])  # None: WLS
def test_large_column_offsets_keep_their_digits(offset, alpha):
    # Oracle: least squares on [S Xd; sqrt(alpha) D] against [S y; 0], which
    # never forms the cross-products.
    x, y = data(n=200)
    x += offset
    w = np.random.default_rng(1).uniform(0.2, 5.0, 200) if alpha is None else np.ones(200)
    s = np.sqrt(w)[:, None]
    aug = np.vstack([np.column_stack([np.ones(200), x]) * s, np.sqrt(alpha or 0.0) * np.eye(4)[1:]])
    ref = np.linalg.lstsq(aug, np.concatenate([y * s[:, 0], np.zeros(3)]), rcond=None)[0]
    m = ordinata.WLS() if alpha is None else ordinata.Ridge(alpha)
    m.fit(x, y, *([w] if alpha is None else []))
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref, rtol=1e-8)


# The short-design route: the errors come from OLS's inverse, whatever the
# regressors' scale (an absolute safeguard on X'X would dominate tiny columns).
@pytest.mark.parametrize("scale", [1.0, 1e-6, 1e-8, 1e6])
@pytest.mark.parametrize("intercept", [True, False])
def test_unpenalised_short_design_errors_equal_ols(scale, intercept):
    rng = np.random.default_rng(2)
    x = rng.normal(size=(10, 3)) * scale
    y = 1.0 + x @ [1.0, 2.0, 3.0] / scale + rng.normal(size=10)
    ridge, ols = ordinata.Ridge(alpha=0.0, fit_intercept=intercept), ordinata.OLS(fit_intercept=intercept)
    ridge.fit(x, y)
    ols.fit(x, y)
    np.testing.assert_allclose(ridge.standard_errors(), ols.standard_errors(), rtol=1e-10)


# A penalty small beside columns offset by 1e12, without an intercept: the
# normal equations carry no digit (they gave NaN errors), the penalised
# design [X; sqrt(alpha) I] is conditioned like 1e13. Against the exact
# rational solution, to that conditioning.
def test_penalised_system_too_ill_conditioned_for_its_normal_equations():
    rng = np.random.default_rng(0)
    n = 50
    x = rng.normal(size=(n, 2))
    y = x @ [1.0, 2.0] + rng.normal(size=n)
    x = x + 1e12
    X, Y = [[Fraction(v) for v in row] for row in x], [Fraction(v) for v in y]
    g = [[sum(r[a] * r[b] for r in X) + (a == b) for b in range(2)] for a in range(2)]
    sol = exact.solve(g, [[sum(r[a] * v for r, v in zip(X, Y)), a == 0, a == 1] for a in range(2)])
    b = [row[0] for row in sol]
    mse = sum((v - r[0] * b[0] - r[1] * b[1]) ** 2 for r, v in zip(X, Y)) / (n - 2)
    m = ordinata.Ridge(alpha=1.0, fit_intercept=False)
    m.fit(x, y)
    np.testing.assert_allclose(m.coefficients, [float(v) for v in b], rtol=1e-3)
    np.testing.assert_allclose(m.standard_errors(), [float(mse * sol[j][1 + j]) ** 0.5 for j in range(2)], rtol=1e-3)
