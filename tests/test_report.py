"""The summary() report of OLS: layout, header statistics, coefficient rows and residual
diagnostics against numpy/scipy computed from the fit."""

import re

import numpy as np
import pytest
from scipy import stats

import ordinata
import problems
from report_parsing import rows, values

RULE = "=" * 78


def fitted(n=60, k=3, fit_intercept=True, robust=False, seed=0, scale=1.0, noise=1.0, errors="normal"):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k)) + (2.0 if errors != "normal" else 0.0)
    eps = {"normal": rng.normal, "student": lambda size: rng.standard_t(3, size), "exponential": rng.exponential}
    y = (x @ np.linspace(1.0, 0.1, k) + 0.7 + noise * eps[errors](size=n)) * scale
    model = ordinata.OLS(fit_intercept=fit_intercept, robust=robust)
    model.fit(x, y)
    return model, x, y


def test_layout_of_a_fitted_report():
    model, _, _ = fitted()
    lines = model.summary().splitlines()
    assert lines[0] == " " * 28 + "OLS Regression Results"
    assert [lines[i] for i in (1, 11, 18, 24, 29)] == [RULE] * 5 and lines[13] == "-" * 78
    assert lines[12] == " " * 15 + "       coef    std err          t      P>|t| [0.025      0.975]"
    assert [len(l) for l in lines[2:11] + lines[14:24] if l != RULE] == [90] * 7 + [51] * 2 + [75] * 4 + [77] * 5
    assert [l.split()[0] for l in lines[14:18]] == ["const", "x1", "x2", "x3"]
    assert re.fullmatch(r"Date: {21}(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
                        r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} +Prob.*", lines[5])
    assert re.fullmatch(r"Time: {21}([01]\d|2[0-3]):[0-5]\d:[0-6]\d +Log-Likelihood: +-?\d+\.\d\d", lines[6])
    assert lines[25] == "Diagnostic Notes:" and lines[26].startswith("- Durbin-Watson suggests ")
    assert re.fullmatch(r"- Jarque-Bera test: (fail to )?reject normality hypothesis \(α=0\.05\)", lines[27])
    assert lines[28].startswith("- Condition number indicates: ") and len(lines) == 30


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize("robust", [True, False])
def test_unfitted_report_has_only_the_fixed_lines(fit_intercept, robust):
    lines = ordinata.OLS(fit_intercept=fit_intercept, robust=robust).summary().splitlines()
    assert len(lines) == 16 and lines[14:] == [RULE, RULE]
    assert lines[8].startswith("Df Residuals:             0 ")
    assert lines[5].endswith("Prob (F-statistic):             1.00e0")
    assert lines[10] == f"{'Covariance Type:':25} {'HC0' if robust else 'nonrobust':25}"


def diagnostics(e, xd):
    n = len(e)
    skew = stats.skew(e, bias=True)
    kurt = stats.kurtosis(e, fisher=True, bias=True)
    jb = n / 6 * (skew**2 + kurt**2 / 4)
    var_s = 6 * n * (n - 1) / ((n + 3) * (n - 2) * (n + 1))
    se_k = np.sqrt((n * n - 1) / ((n - 3) * (n + 5))) * 2 * np.sqrt(var_s)
    omnibus = skew**2 / var_s + (kurt / se_k) ** 2
    # scipy's own JB, as a further independent check
    assert stats.jarque_bera(e).statistic == pytest.approx(jb)
    return {"Durbin-Watson:": np.sum(np.diff(e) ** 2) / np.sum(e**2), "Skew:": skew, "Kurtosis:": kurt,
            "Jarque-Bera (JB):": jb, "Prob(JB):": stats.chi2.sf(jb, 2), "Omnibus:": omnibus,
            "Prob(Omnibus):": stats.chi2.sf(omnibus, 2), "Cond. No.:": np.linalg.cond(xd / np.linalg.norm(xd, axis=0))}


@pytest.mark.parametrize("n, k, fit_intercept, noise, errors", [
    (14, 3, True, 1.0, "normal"),    # nu = 10, Student t rows
    (40, 8, True, 1.0, "normal"),    # nu = 31, normal rows
    (25, 2, False, 1.0, "normal"),
    (200, 5, True, 30.0, "normal"),  # weak fit, large p-value
    (5000, 2, True, 1e-3, "normal"), # p-value underflows to 0
    # Residual moments of other shapes, on columns of mean 2.
    *[(n, 3, i, 1.0, e) for n in (20, 57, 400) for e in ("normal", "student", "exponential") for i in (True, False)]])
def test_header_rows_and_diagnostics_against_scipy(n, k, fit_intercept, noise, errors):
    model, x, _ = fitted(n, k, fit_intercept, noise=noise, errors=errors, seed=n)
    text = model.summary()
    got = values(text)
    p = k + fit_intercept
    nu = n - p
    r2, mse = model.r_squared, model.mse
    f = (r2 / k) / ((1 - r2) / nu)
    ll = -n / 2 * np.log(2 * np.pi * mse) - n / 2
    assert got["R-squared:"] == pytest.approx(r2, abs=5e-4)
    assert got["Adj. R-squared:"] == pytest.approx(1 - (1 - r2) * (n - 1) / nu, abs=5e-4)
    assert got["F-statistic:"] == pytest.approx(f, abs=5e-4, rel=1e-12)
    prob = stats.f.sf(f, k, nu)
    assert got["Prob (F-statistic):"] == pytest.approx(prob, rel=5e-3, abs=0)
    assert got["Log-Likelihood:"] == pytest.approx(ll, abs=5e-3)
    assert got["AIC:"] == pytest.approx(2 * p - 2 * ll, abs=5e-3)
    assert got["BIC:"] == pytest.approx(np.log(n) * p - 2 * ll, abs=5e-3)
    assert (got["No. Observations:"], got["Df Residuals:"], got["Df Model:"]) == (n, nu, k)
    assert got["Root MSE:"] == pytest.approx(np.sqrt(mse), abs=5e-4)

    table = rows(text)
    b = np.r_[[model.intercept] if fit_intercept else [], model.coefficients]
    xd = np.column_stack([np.ones(n), x]) if fit_intercept else x
    se = np.sqrt(mse * np.diag(np.linalg.inv(xd.T @ xd)))
    dist = stats.t(nu) if nu <= 30 else stats.norm()
    t = b / se
    q = dist.ppf(0.975)
    want = np.column_stack([b, se, t, 2 * dist.sf(np.abs(t)), b - q * se, b + q * se])
    names = (["const"] if fit_intercept else []) + [f"x{i + 1}" for i in range(k)]
    assert list(table) == names
    np.testing.assert_allclose(np.array([table[name] for name in names]), want, atol=5.1e-4, rtol=1e-9)
    for label, value in diagnostics(model.residuals, xd).items() if n >= 20 else ():  # (fewer: ctest)
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


def test_huge_values_are_printed_in_full():
    model, _, _ = fitted(scale=1e20)
    const = next(l for l in model.summary().splitlines() if l.startswith("const"))
    coef = const.split()[1]
    assert "e" not in const and re.fullmatch(r"-?\d{20,}\.\d{4}", coef)
    assert float(coef) == pytest.approx(model.intercept, rel=1e-15)
    assert len(const) > 75


@pytest.mark.parametrize("name, method", [("Ridge", "Ridge Regression"), ("WLS", "Weighted Least Squares"),
                                          ("GLS", "Generalized Least Squares")])
def test_reports_of_the_other_linear_classes(name, method):
    # WLS's ends after the mean square; Ridge's condition number is that of the unit-column design.
    m = problems.fitted(getattr(ordinata, name))
    text = m.summary()
    lines = text.splitlines()
    assert lines[0] == " " * 28 + f"{name} Regression Results" and lines[4].startswith(f"Method:{' ' * 19}{method}")
    assert lines[10] == f"{'Covariance Type:':25} {'nonrobust':25}"
    assert rows(text)["x2"][0] == pytest.approx(m.coefficients[1], abs=5e-5)
    assert (lines[-2].startswith("Mean Squared Error:") and lines[-1] == RULE) == (name == "WLS")
    if name == "Ridge":
        xd = np.column_stack([np.ones(40), problems.fit_kwargs(ordinata.Ridge)["x"]])
        assert values(text)["Cond. No.:"] == pytest.approx(np.linalg.cond(xd / np.linalg.norm(xd, axis=0)), abs=5.1e-4)
