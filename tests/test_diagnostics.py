"""Residual diagnostics of the report against numpy/scipy computed from the fit."""

import numpy as np
import pytest
from scipy import stats

import ordinata
from report_parsing import values


def expected(e, xd):
    n = len(e)
    skew = stats.skew(e, bias=True)
    kurt = stats.kurtosis(e, fisher=True, bias=True)
    jb = n / 6 * (skew**2 + kurt**2 / 4)
    var_s = 6 * n * (n - 1) / ((n + 3) * (n - 2) * (n + 1))
    se_k = np.sqrt((n * n - 1) / ((n - 3) * (n + 5))) * 2 * np.sqrt(var_s)
    omnibus = skew**2 / var_s + (kurt / se_k) ** 2
    return {
        "Durbin-Watson:": np.sum(np.diff(e) ** 2) / np.sum(e**2),
        "Skew:": skew,
        "Kurtosis:": kurt,
        "Jarque-Bera (JB):": jb,
        "Prob(JB):": stats.chi2.sf(jb, 2),
        "Omnibus:": omnibus,
        "Prob(Omnibus):": stats.chi2.sf(omnibus, 2),
        "Cond. No.:": np.linalg.cond(xd / np.linalg.norm(xd, axis=0)),
    }


@pytest.mark.parametrize("n", [20, 57, 400])
@pytest.mark.parametrize("noise", ["normal", "student", "exponential"])
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_diagnostics_match_independent_computation(n, noise, fit_intercept):
    rng = np.random.default_rng(n)
    x = rng.normal(2.0, 1.0, size=(n, 3))
    eps = {"normal": rng.normal, "student": lambda size: rng.standard_t(3, size),
           "exponential": rng.exponential}[noise](size=n)
    y = x @ [1.0, -0.5, 2.0] + 1.5 + eps
    model = ordinata.OLS(fit_intercept=fit_intercept)
    model.fit(x, y)
    got = values(model.summary())
    xd = np.column_stack([np.ones(n), x]) if fit_intercept else x
    # the stats ship with scipy's JB, as a further independent check
    assert stats.jarque_bera(model.residuals).statistic == pytest.approx(expected(model.residuals, xd)["Jarque-Bera (JB):"])
    for label, value in expected(model.residuals, xd).items():
        assert got[label] == pytest.approx(value, abs=5.1e-4, rel=1e-9), label


@pytest.mark.parametrize("collinearity", [1.0, 1e-2, 1e-4])
def test_condition_number_is_that_of_the_unit_column_design(collinearity):
    rng = np.random.default_rng(7)
    n = 300
    x = rng.normal(size=(n, 3)) * [1.0, 1e3, 1e-3] + [0.0, 5e3, 0.0]
    x[:, 2] = x[:, 0] * 1e-3 + collinearity * 1e-3 * rng.normal(size=n)
    y = x @ [1.0, 2.0, 3.0] + rng.normal(size=n)
    model, shuffled, perm = ordinata.OLS(), ordinata.OLS(), rng.permutation(n)
    model.fit(x, y)
    shuffled.fit(x[perm], y[perm])
    xd = np.column_stack([np.ones(n), x])
    # The report prints three decimals; well above 1000 that is 1e-6 relative.
    cond = values(model.summary())["Cond. No.:"]
    assert cond == pytest.approx(np.linalg.cond(xd / np.linalg.norm(xd, axis=0)), rel=1e-6, abs=5.1e-4)
    assert values(shuffled.summary())["Cond. No.:"] == cond
