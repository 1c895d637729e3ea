"""CR2, CR3, HAC and Driscoll-Kraay covariances against first-principles numpy (explicit
per-cluster matrix roots), pyfixest, statsmodels and linearmodels; dask against memory."""

from __future__ import annotations

from functools import partial
from itertools import product

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of

N, F, FE = 1100, "y ~ x1 + x2", "y ~ x1 + x2 | firm"   # 1100 rows: three 512-row chunks, the last partial


def _data(seed: int = 1) -> pd.DataFrame:
    """Firms nested in 22 clusters g, crossed with h; at most one row per (firm, period) and one per t, all
    out of order; shocks per cluster and per period; instruments z of d."""
    rng = np.random.default_rng(seed)
    firm, period = np.divmod(rng.choice(110 * 25, N, replace=False), 25)
    common = rng.normal(size=25)[period]
    df = pd.DataFrame({"firm": firm, "period": period, "g": firm // 5, "h": rng.integers(0, 30, N),
                       "w": rng.uniform(0.5, 2.0, N), "t": rng.permutation(N) * 3 + 7, "z1": rng.normal(size=N),
                       "z2": rng.normal(size=N), "x1": 3.0 + rng.normal(size=N) + common,
                       "x2": rng.normal(size=N) + 0.3 * (firm % 7)})
    df["y"] = 0.5 * df.x1 - df.x2 + 0.2 * (firm % 11) + rng.normal(size=22)[df.g] + common + rng.standard_t(5, N)
    df["d"] = df.z1 + 0.5 * df.z2 + 0.3 * rng.normal(size=N) + 0.1 * df.y
    return df


def _roots(df: pd.DataFrame, kind: str, by: str, how: str):
    """CR2/CR3 from explicit n_g x n_g blocks of I - H and their (Moore-Penrose) powers by eigh, and the
    Bell-McCaffrey df of each reported coefficient; the design whitened (wls), demeaned (within) or with
    the firms' dummies (the slopes reported); via x = QR: H = QQ', (X'X)^-1 X' = R^-1 Q'."""
    m = df.assign(one=1.0)[["y", "one", "x1", "x2"]].mul(np.sqrt(df.w) if how == "wls" else 1.0, axis=0)
    if how in ("within", "dummies"):
        m = m.drop(columns="one")
        m = m - m.groupby(df.firm).transform("mean") if how == "within" else m.join(pd.get_dummies(df.firm, dtype=float))
    (q, r), y, keys = np.linalg.qr(m.to_numpy()[:, 1:]), m.y.to_numpy(), np.unique(df[by])
    e, r_inv, reported, G = y - q @ (q.T @ y), np.linalg.inv(r), slice(0, 2) if how == "dummies" else slice(None), len(keys)
    meat, w = 0.0, np.zeros((len(r_inv[reported]), N, G))     # w: per coefficient, (I - H)_{.,g} A_g X_g (X'X)^-1 c
    for g, key in enumerate(keys):
        rows = (df[by] == key).to_numpy()
        lam, v = np.linalg.eigh(np.eye(rows.sum()) - q[rows] @ q[rows].T)
        a = (v[:, lam > 1e-10] * lam[lam > 1e-10] ** (-0.5 if kind == "CR2" else -1.0)) @ v[:, lam > 1e-10].T
        meat = meat + np.outer(q[rows].T @ a @ e[rows], q[rows].T @ a @ e[rows])
        w[:, rows, g] = (a @ q[rows] @ r_inv[reported].T).T
    ww = (w - q @ (q.T @ w)).transpose(0, 2, 1) @ (w - q @ (q.T @ w))
    dfs = list(np.trace(ww, axis1=1, axis2=2) ** 2 / (ww * ww).sum(axis=(1, 2)))
    v = r_inv @ meat @ r_inv.T * ((G - 1) / G if kind == "CR3" else 1.0)
    return v[reported, reported], {"df_inference": G - 1, "df_per_term": dfs if kind == "CR2" else None}


def _statsmodels(df: pd.DataFrame, lags: int | str, weighted: bool, panel: bool = False):
    sm = pytest.importorskip("statsmodels.api")
    d = df.sort_values("period" if panel else "t", kind="stable")
    x, y = sm.add_constant(d[["x1", "x2"]]), d.y
    if lags == "auto":    # Newey and West (1994) on the slopes' OLS score sum, by linearmodels' rule
        scores = x.to_numpy()[:, 1:] * sm.OLS(y, x).fit().resid.to_numpy()[:, None]
        lags = pytest.importorskip("linearmodels.iv.covariance").kernel_optimal_bandwidth(scores.sum(1), "bartlett")
    kind, kw = ("hac-groupsum", {"time": d.period.to_numpy(), "use_correction": "hac"}) if panel else ("HAC", {})
    fit = (sm.WLS(y, x, weights=d.w) if weighted else sm.OLS(y, x)).fit(
        cov_type=kind, cov_kwds={"maxlags": lags, "use_correction": True, **kw})
    return fit.cov_params().to_numpy(), {"df_inference": 24} if panel else {"vcov_type": f"HAC: t, {lags} lags"}


def _linearmodels(df: pd.DataFrame, lags: int | str, formula: str):
    if "[" in formula:
        peer = pytest.importorskip("linearmodels.iv").IV2SLS.from_formula(formula.replace("~", "~ 1 +", 1), df.sort_values("t")).fit(
            cov_type="kernel", kernel="bartlett", bandwidth=None if lags == "auto" else lags, debiased=True)
        return peer.cov.to_numpy(), {"vcov_type": f"HAC: t, {peer.cov_config['bandwidth']} lags"}
    lm, p = pytest.importorskip("linearmodels.panel"), df.set_index(["firm", "period"]).sort_index()
    fit = (lm.PanelOLS(p.y, p[["x1", "x2"]], entity_effects=True) if formula == FE
           else lm.PooledOLS(p.y, p.assign(const=1.0)[["const", "x1", "x2"]]))
    return fit.fit(cov_type="kernel", kernel="bartlett", bandwidth=lags, debiased=True).cov.to_numpy(), {}


def _pyfixest(df: pd.DataFrame, formula: str):     # CRV3 without its (G-1)/G
    pf, G = pytest.importorskip("pyfixest"), df.g.nunique()
    return pf.feols(formula, df, vcov={"CRV3": "g"}, ssc=pf.ssc(k_adj=False, G_adj=False))._vcov * (G - 1) / G, {}


def _cases():
    """(id, fit, formula, vcov, columns changed for the fit and its oracle, oracle of the changed frame)."""
    # Firms nested in the clusters: the dummy-variable fit's leverage (with its singular I - H_gg); crossing
    # them: the demeaned design's.
    for kind, (how, fit, formula, by, change) in product(("CR2", "CR3"), (
            ("ols", of.ols, F, "g", {}), ("ols", of.ols, F, "g", {"x1": lambda d: 1e4 + 1e-2 * d.x1}),
            ("wls", of.wls, F, "g", {}), ("dummies", of.fe, FE, "g", {}), ("dummies", of.fe, FE, "firm", {}),
            ("within", of.fe, FE, "h", {}))):
        yield (f"{kind}-{how}-{by}{'-shifted' * bool(change)}", fit, formula, {kind: by}, change,
               partial(_roots, kind=kind, by=by, how=how))
    for fit, formula in ((of.ols, F), (of.fe, FE)):
        yield f"CR3-pyfixest-{fit.__name__}", fit, formula, {"CR3": "g"}, {}, partial(_pyfixest, formula=formula)
    # HAC with time columns of other types, in t's order: the rows are taken in the column's order.
    for fit, by, lags, retime in ((of.ols, "t", 0, {}), (of.ols, "t", 17, {}), (of.ols, "t", "auto", {}),
                                  (of.ols, "t", 1, {"t": lambda d: d.t.astype(str).str.zfill(6)}),
                                  (of.wls, "t", 2, {"t": lambda d: pd.Timestamp(0) + pd.to_timedelta(d.t, "D")}),
                                  (of.wls, "t", 5, {"t": lambda d: d.t * 0.25 - 100.0}),
                                  (of.ols, "period", 2, {}), (of.wls, "period", 2, {})):
        kind = "HAC" if by == "t" else "DK"
        yield (f"{kind}-{fit.__name__}-{lags}{'-retyped' * bool(retime)}-statsmodels", fit, F, {kind: by, "lags": lags}, retime,
               partial(_statsmodels, lags=lags, weighted=fit is of.wls, panel=by == "period"))
    for (fit, formula, by), lags in [*product(((of.iv, "y ~ x1 + [d ~ z1]", "t"), (of.tsls, "y ~ x1 + [d ~ z1 + z2]", "t")),
                                              (4, "auto")), *product(((of.ols, F, "period"), (of.fe, FE, "period")), (0, 3))]:
        kind = "HAC" if by == "t" else "DK"
        yield (f"{kind}-{fit.__name__}-{lags}-linearmodels", fit, formula, {kind: by, "lags": lags}, {},
               partial(_linearmodels, lags=lags, formula=formula))

CASES = {case[0]: case[1:] for case in _cases()}


@pytest.mark.parametrize("case", CASES)
def test_covariance_equals_its_oracle(case):
    fit, formula, vcov, change, oracle = CASES[case]
    df = _data().assign(**change)
    res = fit(formula, df, vcov=vcov, **({"weights": "w"} if fit is of.wls else {}))
    v, expected = oracle(df)
    np.testing.assert_allclose(res.cov, v, rtol=1e-9, atol=1e-9 * np.abs(v).max())
    dfs = expected.pop("df_per_term", False)
    assert {name: getattr(res, name) for name in expected} == expected
    assert dfs is not None or res.df_per_term is None
    if dfs:     # each coefficient's t with its own degrees of freedom
        stats, se = pytest.importorskip("scipy.stats"), np.sqrt(np.diag(res.cov))
        np.testing.assert_allclose(res.df_per_term, dfs, rtol=1e-10)
        np.testing.assert_allclose(res.p_values, 2 * stats.t.sf(np.abs(res.params / se), dfs), rtol=1e-9)
        np.testing.assert_allclose(res.to_frame(0.1)["upper"] - res.params, stats.t.ppf(0.95, dfs) * se, rtol=1e-9)


def _same(a, b, *names: str) -> None:
    for x, y in ((np.asarray(getattr(a, n), float), np.asarray(getattr(b, n), float)) for n in names):
        np.testing.assert_allclose(x, y, rtol=1e-12, atol=1e-12 * np.nanmax(np.abs(y), initial=0.0))


@pytest.mark.parametrize("kind", ["CR2", "CR3"])
def test_cluster_grams_of_many_waves_equal_those_of_blocks_merged_by_key(kind, monkeypatch):
    # 600k rows: one native pass sums the clusters' Gram matrices over several waves of chunks;
    # cut into 70001-row blocks, each is a pass of its own and their sums are merged by key.
    from ordinata_frames import _pipeline

    rng, n = np.random.default_rng(14), 600_000
    df = pd.DataFrame({"x1": 50.0 + rng.normal(size=n), "x2": rng.normal(size=n), "g": rng.integers(0, 2000, n)})
    df["y"] = df.x1 - df.x2 + rng.normal(size=2000)[df.g] + rng.normal(size=n)
    whole = of.ols(F, df, vcov={kind: "g"})
    monkeypatch.setattr(_pipeline.InMemory, "sized", lambda self, plan: setattr(self, "_rows", 70_001))
    _same(of.ols(F, df, vcov={kind: "g"}), whole, "cov", "df_per_term")


@pytest.mark.parametrize("formula, change, vcov, match", [
    (F, {"g": 1}, {"CR2": "g"}, "has 1 group: clustering needs at least two"),
    (F, {"x2": lambda d: (d.g == 3) * d.x2}, {"CR2": "g"}, "has a leverage of 1"),
    (F, {"t": lambda d: d.t.astype(object).where(d.index != 5, "x")}, {"HAC": "t"}, "cannot be ordered"),
    (FE, {}, {"HAC": "t"}, "fe offers the covariance types"), ("y ~ [x1 ~ x2]", {}, {"DK": "t"}, "iv offers the"),
    (F, {}, {"HAC": "period", "lags": 2}, "repeats values .* for a panel use"),
    *[(F, {}, {"HAC": "t", "lags": v}, "non-negative integer") for v in (-1, 1.5, True, "4")],
    (F, {}, {"DK": "period", "lags": 25}, "lags=25 must be below the number of times"),
    (F, {}, {"HAC": "t", "lag": 2}, "HAC takes the key 'lags', not 'lag'"), (F, {}, "HAC", "HAC needs the time column"),
    (F, {}, {"CR2": "g", "lags": 2}, "CR2 takes no other key"), (F, {}, {"CR3": "g + h"}, "CR3 clusters by one column"),
    (F, {}, {"HAC": 3}, "a kernel one as"),
])
def test_bad_requests_are_refused_with_their_cause(formula, change, vcov, match):
    fit = of.fe if "|" in formula else of.iv if "[" in formula else of.ols
    with pytest.raises(ValueError, match=match):
        fit(formula, _data().assign(**change), vcov=vcov)


@pytest.mark.parametrize("partitions", [1, 7])
@pytest.mark.parametrize("case", ["CR2-ols-g", "CR3-ols-g", "CR2-within-h", "HAC-ols-17-statsmodels",
                                  "HAC-ols-auto-statsmodels", "DK-ols-3-linearmodels", "DK-fe-3-linearmodels"])
def test_dask_equals_memory(client, partitions, case):
    fit, formula, vcov, _, _ = CASES[case]
    whole = fit(formula, _data(), vcov=vcov)
    part = fit(formula, pytest.importorskip("dask.dataframe").from_pandas(_data(), npartitions=partitions, sort=False),
               vcov=vcov)
    _same(part, whole, "cov", "params", "df_per_term")
    assert (part.df_inference, part.vcov_type) == (whole.df_inference, whole.vcov_type)
