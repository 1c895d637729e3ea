"""Agreement with the reference implementations on many random,
well-conditioned problems: statsmodels, linearmodels (FE) and scikit-learn.

Tolerances are relative, stated per quantity. Where conventions differ by
design, the conversion is made explicitly next to the comparison.
"""

import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import ordinata

sm = pytest.importorskip("statsmodels.api")
lm = pytest.importorskip("linearmodels")
from statsmodels.sandbox.regression.gmm import IV2SLS as SMIV2SLS  # noqa: E402

RTOL_COEF = 1e-9
RTOL_SE = 1e-9
SEEDS = range(4)
SHAPES = [(6, 2), (60, 2), (200, 5), (1000, 8)]  # (6, 2): the SVD routes
CASES = [(seed, n, p, icpt) for seed in SEEDS for n, p in SHAPES for icpt in (True, False)]


def problem(seed, n, p, hetero=False):
    rng = np.random.default_rng(1000 + seed)
    x = rng.normal(size=(n, p)) * rng.uniform(0.5, 3.0, size=p) + rng.normal(size=p)
    scale = 1.0 + np.abs(x[:, 0]) if hetero else 1.0
    y = x @ rng.normal(size=p) + 2.0 + scale * rng.normal(size=n)
    return rng, x, y


def design(x, icpt):
    return sm.add_constant(x, has_constant="add") if icpt else x


def split(params, icpt):
    params = np.asarray(params)
    return (params[0], params[1:]) if icpt else (None, params)


def close(a, b, rtol):
    np.testing.assert_allclose(a, b, rtol=rtol, atol=rtol * np.max(np.abs(b)))


def agree(m, ref, x, icpt, fitted_rtol=1e-12):
    """Estimates (the intercept too), standard errors and predictions against a statsmodels fit."""
    b0, b = split(ref.params, icpt)
    close(m.coefficients, b, RTOL_COEF)
    assert m.intercept == (b0 if b0 is None else pytest.approx(b0, rel=RTOL_COEF))
    close(m.standard_errors(), split(ref.bse, icpt)[1], RTOL_SE)
    close(m.predict(x), ref.fittedvalues, fitted_rtol)


@pytest.mark.parametrize("seed, n, p, icpt", CASES)
@pytest.mark.parametrize("robust", [False, True])
def test_ols(seed, n, p, icpt, robust):
    _, x, y = problem(seed, n, p, hetero=True)
    ref = sm.OLS(y, design(x, icpt)).fit(cov_type="HC0" if robust else "nonrobust", use_t=False)
    m = ordinata.OLS(fit_intercept=icpt, robust=robust)
    m.fit(x, y)
    agree(m, ref, x, icpt)
    close(m.residuals, ref.resid, 1e-8)
    assert (m.n_samples, m.n_features) == (n, p)
    if icpt:
        assert m.r_squared_adj == pytest.approx(ref.rsquared_adj, rel=1e-9)
    if n - p - icpt >= 31:  # both use the normal distribution here
        np.testing.assert_allclose(m.p_values(), split(ref.pvalues, icpt)[1], rtol=1e-8, atol=1e-14)
        close(m.confidence_intervals(), np.asarray(ref.conf_int())[int(icpt):], 1e-10)
    if not robust:
        close(m.covariance_matrix(), np.asarray(ref.cov_params()), 1e-9)


# GLS on the shapes up to 200 rows, Sigma an AR(1) matrix.
@pytest.mark.parametrize("model, seed, n, p, icpt", [(m, *c) for m in ("WLS", "GLS") for c in CASES
                                                     if m == "WLS" or c[1] <= 200])
def test_wls_and_gls(model, seed, n, p, icpt):
    _, x, y = problem(seed, n, p, hetero=model == "WLS")
    if model == "WLS":
        w = 1.0 / (1.0 + np.abs(x[:, 0])) ** 2
        ref, m, extra = sm.WLS(y, design(x, icpt), weights=w).fit(), ordinata.WLS(fit_intercept=icpt), w
    else:
        extra = 0.6 ** np.abs(np.subtract.outer(np.arange(n), np.arange(n))) / (1 - 0.6**2)
        ref, m = sm.GLS(y, design(x, icpt), sigma=extra).fit(), ordinata.GLS(fit_intercept=icpt)
    m.fit(x, y, extra)
    agree(m, ref, x, icpt)
    if model == "WLS":
        close(m.t_statistics(), split(ref.tvalues, icpt)[1], RTOL_SE)
        # mse is the unweighted mean square, not the variance behind the errors.
        assert m.mse == pytest.approx(ref.resid @ ref.resid / ref.df_resid, rel=1e-10)
        return
    assert m.mse == pytest.approx(ref.scale, rel=1e-9)
    # Residuals and R^2 on the whitened scale: L^-1 (y - X beta) with Sigma = L L'.
    l = np.linalg.cholesky(extra)
    close(m.residuals, np.linalg.solve(l, y - design(x, icpt) @ ref.params), 1e-8)
    yw = np.linalg.solve(l, y)
    assert m.r_squared == pytest.approx(1 - m.residuals @ m.residuals / ((yw - yw.mean()) ** 2).sum(), rel=1e-9)


@pytest.mark.parametrize("seed, n, p, icpt", CASES)
@pytest.mark.parametrize("alpha", [0.1, 10.0])
def test_ridge(seed, n, p, icpt, alpha):
    linear_model = pytest.importorskip("sklearn.linear_model")
    _, x, y = problem(seed, n, p)
    ref = linear_model.Ridge(alpha=alpha, fit_intercept=icpt, solver="cholesky").fit(x, y)
    m = ordinata.Ridge(alpha=alpha, fit_intercept=icpt)
    m.fit(x, y)
    close(m.coefficients, ref.coef_, RTOL_COEF)
    assert (m.intercept or 0.0) == pytest.approx(ref.intercept_, rel=RTOL_COEF, abs=1e-12)
    close(m.predict(x), ref.predict(x), 1e-12)


def iv_problem(seed, n, p, q):
    rng = np.random.default_rng(2000 + seed)
    z = rng.normal(size=(n, q))
    u = rng.normal(size=n)
    x = z @ rng.normal(size=(q, p)) + 0.5 * u[:, None] + rng.normal(size=(n, p))
    y = x @ rng.normal(size=p) + 1.5 + u
    return x, y, z


@pytest.mark.parametrize("seed, n", [(s, n) for s in SEEDS for n in (80, 500)])
@pytest.mark.parametrize("p, q", [(2, 2), (3, 3), (2, 4), (3, 5)])
def test_iv_and_tsls(seed, n, p, q):
    x, y, z = iv_problem(seed, n, p, q)
    ref = SMIV2SLS(y, sm.add_constant(x), sm.add_constant(z)).fit()
    est = ordinata.IV() if p == q else ordinata.TSLS()
    # TSLS runs its first stage on the instruments as given, without adding a
    # constant, so the textbook instrument set [1 | Z] is passed explicitly.
    est.fit(z if p == q else np.column_stack([np.ones(n), z]), x, y)
    agree(est, ref, x, True, fitted_rtol=1e-9)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("n_entities, per", [(10, 20), (50, 7), (200, 3)])
@pytest.mark.parametrize("robust", [False, True])
def test_fe(seed, n_entities, per, robust):
    rng = np.random.default_rng(3000 + seed)
    n, k = n_entities * per, 3
    ids = rng.permutation(np.repeat(rng.choice(10**9, n_entities, replace=False), per)).astype(np.int64)
    x = rng.normal(size=(n, k)) + (ids % 7)[:, None]
    y = x @ rng.normal(size=k) + (ids % 13) + rng.normal(size=n)
    m = ordinata.FE(robust=robust)
    m.fit(x, y, ids)
    index = pd.MultiIndex.from_arrays([ids, np.arange(n)], names=["entity", "time"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mod = lm.PanelOLS(pd.Series(y, index=index), pd.DataFrame(x, index=index), entity_effects=True)
        if robust:
            # Entity clustering with no small-sample factors is the plain sandwich.
            ref = mod.fit(cov_type="clustered", cluster_entity=True, debiased=False, group_debias=False)
        else:
            # The classical covariance divides by n - k - N, as ours does.
            ref = mod.fit(cov_type="unadjusted", debiased=True)
    close(m.coefficients, np.asarray(ref.params), RTOL_COEF)
    close(m.standard_errors(), np.asarray(ref.std_errors), RTOL_SE)
    # Our p-values use nu = n - k (entities not subtracted), hence the normal
    # distribution at these sizes, not linearmodels' own t with n - k - N.
    t = np.asarray(ref.params) / np.asarray(ref.std_errors)
    np.testing.assert_allclose(m.p_values(), 2 * stats.norm.sf(np.abs(t)), rtol=1e-8, atol=1e-14)
