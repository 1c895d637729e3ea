"""GLS and WLS: the weight and Σ rules, their relation to each other and
GLS's whitened report diagnostics (the agreement with statsmodels is in
test_reference_agreement)."""

import numpy as np
import pytest
import scipy.linalg

import ordinata
from report_parsing import values


def data(n=60, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    i = np.arange(n)
    sigma = 1.5 * 0.6 ** np.abs(i[:, None] - i[None, :])
    return x, x @ np.arange(1.0, p + 1) + 0.5 + np.linalg.cholesky(sigma) @ rng.normal(size=n), sigma


def test_diagonal_sigma_gives_wls_coefficients():
    # (Scaled weights and Sigma, subnormal ones too: test_inputs.test_scaled_inputs_transform_every_output.)
    x, y, _ = data()
    d = np.random.default_rng(2).uniform(0.5, 3.0, 60)
    g, w = ordinata.GLS(), ordinata.WLS()
    g.fit(x, y, np.diag(d))
    w.fit(x, y, 1.0 / d)
    np.testing.assert_allclose(np.r_[g.intercept, g.coefficients], np.r_[w.intercept, w.coefficients], rtol=1e-10)
    np.testing.assert_allclose(g.predict(x), x @ g.coefficients + g.intercept, rtol=1e-13)
    w.fit(x, y, np.r_[5e-324, 1.0 / d[1:]])  # the smallest subnormal is a weight too


# Σ is scanned in 64 x 64 tiles, a row of tiles per task, each entry beside
# its mirror: entries in the first, a middle and the last (partial) row of
# tiles, on both sides of tile edges, below and above the diagonal.
@pytest.mark.parametrize("i, j", [(1, 0), (63, 62), (64, 63), (64, 0), (127, 64), (128, 127), (199, 198),
                                  (199, 0), (0, 199), (150, 199)])
def test_sigma_is_checked_to_its_last_tile(i, j):
    (x, y, sigma), a, b = data(n=200), ordinata.GLS(), ordinata.GLS()
    a.fit(x, y, sigma)
    # The tolerance is 1e-9 of sqrt(S_ii S_jj) = 1.5: a third of it is
    # rounding noise, three times it is not. Σ's condition number is 4, so
    # the accepted change of one entry moves the coefficients by about 2e-9.
    for rel, accepted in [(3e-10, True), (3e-9, False)]:
        s = sigma.copy()
        s[i, j] += rel * 1.5
        if accepted:
            b.fit(x, y, s)
            np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=2e-8)
        else:
            with pytest.raises(ValueError, match=r"^Covariance matrix must be symmetric$"):
                b.fit(x, y, s)
    s = sigma.copy()
    s[i, j] = np.nan
    with pytest.raises(ValueError, match=r"^Input contains NaN or infinite values$"):
        b.fit(x, y, s)


def whitened_condition(x, sigma):
    d = scipy.linalg.solve_triangular(np.linalg.cholesky(sigma), np.column_stack([np.ones(len(x)), x]), lower=True)
    return np.linalg.cond(d / np.linalg.norm(d, axis=0))


def test_report_condition_number_is_the_whitened_design_of_the_latest_fit():
    x, y, sigma = data()
    m = ordinata.GLS()
    m.fit(x, y, sigma)
    assert values(m.summary())["Cond. No.:"] == pytest.approx(whitened_condition(x, sigma), rel=1e-3)
    x2, y2, _ = data(n=40, seed=5)
    s2 = np.diag(np.linspace(1, 3, 40))
    m.fit(x2, y2, s2)
    assert values(m.summary())["Cond. No.:"] == pytest.approx(whitened_condition(x2, s2), rel=1e-3)
