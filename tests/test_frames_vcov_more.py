"""CR2, CR3, HAC and Driscoll-Kraay covariances against first-principles numpy (explicit
per-cluster matrix roots), pyfixest, statsmodels and linearmodels; dask against memory."""

from __future__ import annotations

import os

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of

N = 1100   # three 512-row chunks, the last partial


def _data(seed: int = 0, offset: float = 3.0, scale: float = 1.0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, 110, N)
    df = pd.DataFrame({"x1": offset + scale * rng.normal(size=N), "x2": rng.normal(size=N) + 0.3 * (firm % 7),
                       "firm": firm, "g": firm // 5, "h": rng.integers(0, 30, N), "w": rng.uniform(0.5, 2.0, N),
                       "t": rng.permutation(N) * 3 + 7, "period": rng.integers(0, 25, N)})
    shock = rng.normal(size=50)[df["g"]]
    df["y"] = 1.0 + 0.5 * df.x1 / scale - df.x2 + 0.2 * (firm % 11) + shock + rng.standard_t(5, size=N)
    return df


# ---------------------------------------------------------------------------
# The oracle: explicit n_g x n_g blocks of the hat matrix and their roots by eigh.

def _root(m: np.ndarray, power: float) -> np.ndarray:
    """m^power on m's range (the Moore-Penrose power where m is singular)."""
    lam, v = np.linalg.eigh(m)
    keep = lam > 1e-10
    return (v[:, keep] * lam[keep] ** power) @ v[:, keep].T


def _oracle(x: np.ndarray, e: np.ndarray, clusters: np.ndarray, kind: str, slopes: slice = slice(None)):
    """V and the Bell-McCaffrey degrees of freedom of each coefficient, from the whitened design x and
    residuals e; `slopes` the coefficients reported (a dummy-variable fit's others left out). Formed
    from x = QR, whose H = QQ' and (X'X)^-1 X' = R^-1 Q' keep the digits of an offset design."""
    q, r = np.linalg.qr(x)
    r_inv = np.linalg.inv(r)
    keys = np.unique(clusters)
    power = -0.5 if kind == "CR2" else -1.0
    meat = np.zeros((x.shape[1], x.shape[1]))
    roots = {}
    for key in keys:
        rows = clusters == key
        qg = q[rows]
        a = _root(np.eye(rows.sum()) - qg @ qg.T, power)
        roots[key] = (rows, a)
        s = qg.T @ a @ e[rows]
        meat += np.outer(s, s)
    v = r_inv @ meat @ r_inv.T * ((len(keys) - 1) / len(keys) if kind == "CR3" else 1.0)
    residual_maker = np.eye(len(e)) - q @ q.T
    dfs = []
    for j in range(x.shape[1])[slopes]:
        columns = []
        for rows, a in roots.values():
            omega = np.zeros(len(e))
            omega[rows] = a @ q[rows] @ r_inv[j]
            columns.append(residual_maker @ omega)
        w = np.column_stack(columns)
        ww = w.T @ w
        dfs.append(np.trace(ww) ** 2 / np.sum(ww * ww))
    return v[slopes, slopes], np.array(dfs)


def _ols_design(df: pd.DataFrame, weights: bool = False):
    x = np.column_stack([np.ones(len(df)), df.x1, df.x2])
    y = df.y.to_numpy()
    root = np.sqrt(df.w.to_numpy()) if weights else np.ones(len(df))
    xw, yw = x * root[:, None], y * root
    q, _ = np.linalg.qr(xw)
    return xw, yw - q @ (q.T @ yw)


def _within(df: pd.DataFrame, entity: str):
    cols = df[["x1", "x2", "y"]]
    demeaned = (cols - cols.groupby(df[entity]).transform("mean")).to_numpy()
    x, y = demeaned[:, :2], demeaned[:, 2]
    return x, y - x @ np.linalg.lstsq(x, y, rcond=None)[0]


def _dummies(df: pd.DataFrame, entity: str):
    d = pd.get_dummies(df[entity]).to_numpy(dtype=float)
    x = np.column_stack([df.x1, df.x2, d])
    y = df.y.to_numpy()
    return x, y - x @ np.linalg.lstsq(x, y, rcond=None)[0]


def _close(a, b, rtol):
    np.testing.assert_allclose(a, b, rtol=rtol, atol=rtol * np.abs(b).max())


@pytest.mark.parametrize("kind", ["CR2", "CR3"])
@pytest.mark.parametrize("case", ["ols", "ols-shifted", "wls", "fe-nested-dummies", "fe-by-entity",
                                  "fe-crossed-within"])
def test_leverage_adjusted_clusters_equal_the_explicit_roots(kind, case):
    df = _data(seed=1, offset=1e4 if case == "ols-shifted" else 3.0, scale=1e-2 if case == "ols-shifted" else 1.0)
    if case.startswith("ols"):
        res = of.ols("y ~ x1 + x2", df, vcov={kind: "g"})
        v, dfs = _oracle(*_ols_design(df), df.g.to_numpy(), kind)
    elif case == "wls":
        res = of.wls("y ~ x1 + x2", df, weights="w", vcov={kind: "g"})
        v, dfs = _oracle(*_ols_design(df, weights=True), df.g.to_numpy(), kind)
    elif case == "fe-nested-dummies":
        # Firms within clusters: the dummy-variable fit, its I - H_gg singular on the firms'
        # indicators, with the Moore-Penrose root, gives the slopes the within design's numbers.
        res = of.fe("y ~ x1 + x2 | firm", df, vcov={kind: "g"})
        v, dfs = _oracle(*_dummies(df, "firm"), df.g.to_numpy(), kind, slopes=slice(0, 2))
    elif case == "fe-by-entity":
        res = of.fe("y ~ x1 + x2 | firm", df, vcov={kind: "firm"})
        v, dfs = _oracle(*_dummies(df, "firm"), df.firm.to_numpy(), kind, slopes=slice(0, 2))
    else:
        # Firms across clusters: the leverage is that of the demeaned design.
        res = of.fe("y ~ x1 + x2 | firm", df, vcov={kind: "h"})
        v, dfs = _oracle(*_within(df, "firm"), df.h.to_numpy(), kind)
    _close(res.cov, v, 1e-10)
    groups = df[{"fe-crossed-within": "h", "fe-by-entity": "firm"}.get(case, "g")].nunique()
    assert res.df_inference == groups - 1
    if kind == "CR2":
        np.testing.assert_allclose(res.df_per_term, dfs, rtol=1e-10)
        assert all(d < groups - 1 for d in res.df_per_term)
    else:
        assert res.df_per_term is None


@pytest.mark.parametrize("kind", ["CR2", "CR3"])
def test_cluster_grams_summed_over_many_waves_equal_those_of_separate_blocks(kind, monkeypatch):
    # 600k rows: the native pass sums the clusters' Gram matrices over several waves of blocks;
    # cut into blocks of 70001 rows, each is its own pass and the sums are merged by key.
    from ordinata_frames import _pipeline

    rng = np.random.default_rng(14)
    n = 600_000
    df = pd.DataFrame({"x1": 50.0 + rng.normal(size=n), "x2": rng.normal(size=n), "g": rng.integers(0, 2000, n)})
    df["y"] = df.x1 - df.x2 + rng.normal(size=2000)[df.g] + rng.normal(size=n)
    whole = of.ols("y ~ x1 + x2", df, vcov={kind: "g"})
    monkeypatch.setattr(_pipeline.InMemory, "sized", lambda self, plan: setattr(self, "_rows", 70_001))
    blocked = of.ols("y ~ x1 + x2", df, vcov={kind: "g"})
    _close(blocked.cov, whole.cov, 1e-12)
    if kind == "CR2":
        np.testing.assert_allclose(blocked.df_per_term, whole.df_per_term, rtol=1e-12)


def test_cr3_is_the_jackknife_of_leaving_each_cluster_out():
    # Firms nested in the clusters: leaving a cluster out drops its firms; the refit with dummies.
    df = _data(seed=2)
    x, _ = _dummies(df, "firm")
    y = df.y.to_numpy()
    full = np.linalg.lstsq(x, y, rcond=None)[0][:2]
    deltas = []
    for key in np.unique(df.g):
        keep = df.g.to_numpy() != key
        deltas.append(np.linalg.lstsq(x[keep], y[keep], rcond=None)[0][:2] - full)
    deltas = np.array(deltas)
    groups = len(deltas)
    res = of.fe("y ~ x1 + x2 | firm", df, vcov={"CR3": "g"})
    _close(res.cov, (groups - 1) / groups * deltas.T @ deltas, 1e-9)


@pytest.mark.parametrize("fixed", [False, True])
def test_cr3_equals_pyfixest_crv3_without_its_factor_times_g_minus_one_over_g(fixed):
    pf = pytest.importorskip("pyfixest")
    df = _data(seed=3)
    formula = "y ~ x1 + x2 | firm" if fixed else "y ~ x1 + x2"
    peer = pf.feols(formula, df, vcov={"CRV3": "g"}, ssc=pf.ssc(k_adj=False, G_adj=False))
    res = (of.fe if fixed else of.ols)(formula, df, vcov={"CR3": "g"})
    groups = df.g.nunique()
    _close(res.cov, peer._vcov * (groups - 1) / groups, 1e-9)


def test_cr2_inference_uses_each_coefficients_degrees_of_freedom():
    stats = pytest.importorskip("scipy.stats")
    res = of.ols("y ~ x1 + x2", _data(seed=4), vcov={"CR2": "g"})
    t = res.params / np.sqrt(np.diag(res.cov))
    df = np.array(res.df_per_term)
    np.testing.assert_allclose(res.p_values, 2 * stats.t.sf(np.abs(t), df), rtol=1e-9)
    ci = res.confidence_intervals(0.1)
    np.testing.assert_allclose(ci["upper"] - res.params, stats.t.ppf(0.95, df) * np.sqrt(np.diag(res.cov)),
                               rtol=1e-9)
    assert len(set(res.df_per_term)) == 3
    row = next(line for line in res.summary().splitlines() if line.startswith("x1"))
    assert f"{res.to_frame(0.05)['upper'].iloc[1]:.3f}" in row


# ---------------------------------------------------------------------------
# HAC and Driscoll-Kraay.

@pytest.mark.parametrize("lags", [0, 1, 5, 17])
@pytest.mark.parametrize("weighted", [False, True])
def test_hac_equals_statsmodels_with_its_correction(lags, weighted):
    sm = pytest.importorskip("statsmodels.api")
    df = _data(seed=5)
    ordered = df.sort_values("t")
    x = sm.add_constant(ordered[["x1", "x2"]])
    model = sm.WLS(ordered.y, x, weights=ordered.w) if weighted else sm.OLS(ordered.y, x)
    peer = model.fit(cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": True})
    vcov = {"HAC": "t", "lags": lags}
    # The rows as the table holds them, out of time order: they are taken in the time column's order.
    res = (of.wls("y ~ x1 + x2", df, weights="w", vcov=vcov) if weighted else of.ols("y ~ x1 + x2", df, vcov=vcov))
    _close(res.cov, peer.cov_params().to_numpy(), 1e-9)
    assert res.df_inference == N - 3 and res.vcov_type == f"HAC: t, {lags} lags"


@pytest.mark.parametrize("as_time", [lambda t: pd.Timestamp("2001-01-01") + pd.to_timedelta(t, "D"),
                                     lambda t: t * 0.25 - 100.0, lambda t: t.astype(str).str.zfill(6)],
                         ids=["datetime", "float", "string"])
def test_hac_orders_any_sortable_time_column(as_time):
    df = _data(seed=13)
    plain = of.ols("y ~ x1 + x2", df, vcov={"HAC": "t", "lags": 3})
    other = of.ols("y ~ x1 + x2", df.assign(t=as_time(df.t)), vcov={"HAC": "t", "lags": 3})
    np.testing.assert_allclose(other.cov, plain.cov, rtol=1e-13)


def test_hac_automatic_lags_are_newey_west_1994_as_linearmodels():
    lm_cov = pytest.importorskip("linearmodels.iv.covariance")
    df = _data(seed=6)
    ordered = df.sort_values("t")
    x = np.column_stack([np.ones(N), ordered.x1, ordered.x2])
    e = ordered.y.to_numpy() - x @ np.linalg.lstsq(x, ordered.y.to_numpy(), rcond=None)[0]
    expected = lm_cov.kernel_optimal_bandwidth((x[:, 1:] * e[:, None]).sum(axis=1), "bartlett")
    res = of.ols("y ~ x1 + x2", df, vcov={"HAC": "t", "lags": "auto"})
    assert res.vcov_type == f"HAC: t, {expected} lags"
    fixed = of.ols("y ~ x1 + x2", df, vcov={"HAC": "t", "lags": expected})
    np.testing.assert_array_equal(res.cov, fixed.cov)


@pytest.mark.parametrize("lags", [4, "auto"])
@pytest.mark.parametrize("fit", [of.iv, of.tsls])
def test_hac_of_instrumental_fits_equals_linearmodels_kernel(fit, lags):
    lm = pytest.importorskip("linearmodels.iv")
    rng = np.random.default_rng(7)
    df = _data(seed=7)
    df["z1"], df["z2"] = rng.normal(size=N), rng.normal(size=N)
    df["d"] = df.z1 + 0.5 * df.z2 + 0.3 * rng.normal(size=N) + df.y * 0.1
    instruments = "z1" if fit is of.iv else "z1 + z2"
    ordered = df.sort_values("t").reset_index(drop=True)
    peer = lm.IV2SLS.from_formula(f"y ~ 1 + x1 + [d ~ {instruments}]", ordered).fit(
        cov_type="kernel", kernel="bartlett", bandwidth=None if lags == "auto" else lags, debiased=True)
    res = fit(f"y ~ x1 + [d ~ {instruments}]", df, vcov={"HAC": "t", "lags": lags})
    assert res.vcov_type == f"HAC: t, {peer.cov_config['bandwidth']} lags"
    order = [list(peer.params.index).index(name) for name in res.names]
    _close(res.cov, peer.cov.to_numpy()[np.ix_(order, order)], 1e-9)


def _panel(seed: int = 8) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    entities, periods = 60, 20
    df = pd.DataFrame({"firm": np.repeat(np.arange(entities), periods),
                       "year": np.tile(2000 + np.arange(periods), entities)})
    df = df.iloc[np.sort(rng.choice(len(df), N, replace=False))].sample(frac=1.0, random_state=seed)
    common = rng.normal(size=periods)[df.year - 2000]
    df["x1"] = 5.0 + rng.normal(size=N) + common
    df["x2"] = rng.normal(size=N) + 0.1 * df.firm
    df["y"] = 1.0 + df.x1 - 0.5 * df.x2 + 0.05 * df.firm + common + rng.normal(size=N)
    return df.reset_index(drop=True)


@pytest.mark.parametrize("lags", [0, 3])
@pytest.mark.parametrize("fixed", [False, True])
def test_driscoll_kraay_equals_linearmodels_kernel_debiased(lags, fixed):
    lm = pytest.importorskip("linearmodels.panel")
    df = _panel()
    panel = df.set_index(["firm", "year"]).sort_index()
    if fixed:
        peer = lm.PanelOLS(panel.y, panel[["x1", "x2"]], entity_effects=True)
        res = of.fe("y ~ x1 + x2 | firm", df, vcov={"DK": "year", "lags": lags})
    else:
        peer = lm.PooledOLS(panel.y, panel.assign(const=1.0)[["const", "x1", "x2"]])
        res = of.ols("y ~ x1 + x2", df, vcov={"DK": "year", "lags": lags})
    fitted = peer.fit(cov_type="kernel", kernel="bartlett", bandwidth=lags, debiased=True)
    _close(res.cov, fitted.cov.to_numpy(), 1e-9)
    assert res.df_inference == 19


@pytest.mark.parametrize("weighted", [False, True])
def test_driscoll_kraay_equals_statsmodels_hac_groupsum(weighted):
    sm = pytest.importorskip("statsmodels.api")
    df = _panel(seed=9).sort_values("year", kind="stable")
    df["w"] = np.random.default_rng(9).uniform(0.5, 2.0, len(df))
    x = sm.add_constant(df[["x1", "x2"]])
    model = sm.WLS(df.y, x, weights=df.w) if weighted else sm.OLS(df.y, x)
    peer = model.fit(cov_type="hac-groupsum", cov_kwds={"time": (df.year - 2000).to_numpy(), "maxlags": 2,
                                                        "use_correction": "hac"})
    shuffled = df.sample(frac=1.0, random_state=1)
    vcov = {"DK": "year", "lags": 2}
    res = (of.wls("y ~ x1 + x2", shuffled, weights="w", vcov=vcov) if weighted
           else of.ols("y ~ x1 + x2", shuffled, vcov=vcov))
    _close(res.cov, peer.cov_params().to_numpy(), 1e-9)


# ---------------------------------------------------------------------------
# Refusals.

@pytest.mark.parametrize("call, match", [
    (lambda d: of.ols("y ~ x1", d.assign(g=1), vcov={"CR2": "g"}), "has 1 group: clustering needs at least two"),
    (lambda d: of.ols("y ~ x1", d, vcov={"CR3": "g + h"}), "CR3 clusters by one column"),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": "period", "lags": 2}), "repeats values .* for a panel use"),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": "t", "lags": -1}), "non-negative integer or \"auto\""),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": "t", "lags": 1.5}), "non-negative integer"),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": "t", "lags": True}), "non-negative integer"),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": "t", "lags": "4"}), "non-negative integer"),
    (lambda d: of.ols("y ~ x1", d, vcov={"DK": "period", "lags": 25}), "lags=25 must be below the number of times"),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": "t", "lag": 2}), "HAC takes the key 'lags', not 'lag'"),
    (lambda d: of.ols("y ~ x1", d, vcov={"CR2": "g", "lags": 2}), "CR2 takes no other key"),
    (lambda d: of.ols("y ~ x1", d, vcov="HAC"), "HAC needs the time column"),
    (lambda d: of.ols("y ~ x1", d, vcov={"HAC": 3}), "a kernel one as"),
    (lambda d: of.fe("y ~ x1 | firm", d, vcov={"HAC": "t"}), "fe offers the covariance types"),
    (lambda d: of.iv("y ~ [x1 ~ x2]", d, vcov={"DK": "period"}), "iv offers the covariance types"),
    (lambda d: of.ols("y ~ x1 + only", d.assign(only=(d.g == 3) * d.x2), vcov={"CR2": "g"}), "has a leverage of 1"),
    (lambda d: of.ols("y ~ x1", d.assign(t=d.t.astype(object).where(d.index != 5, "x")), vcov={"HAC": "t"}),
     "cannot be ordered"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_bad_requests_are_refused_with_their_cause(call, match):
    with pytest.raises(ValueError, match=match):
        call(_data(seed=10))


# ---------------------------------------------------------------------------
# Dask: the same sums merged by key, whatever the partitions and the rows' order.

@pytest.fixture(scope="module")
def client():
    if os.environ.get("ORDINATA_SANITIZED"):
        pytest.skip("the dask fits run on the uninstrumented private extension")
    distributed = pytest.importorskip("distributed")
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address=None, memory_limit="1GiB") as cluster,
          distributed.Client(cluster) as c):
        yield c


DASK_CASES = [
    (of.ols, "y ~ x1 + x2", {"CR2": "g"}),
    (of.ols, "y ~ x1 + x2", {"CR3": "g"}),
    (of.fe, "y ~ x1 + x2 | firm", {"CR2": "h"}),
    (of.ols, "y ~ x1 + x2", {"HAC": "t", "lags": 6}),
    (of.ols, "y ~ x1 + x2", {"HAC": "t", "lags": "auto"}),
    (of.ols, "y ~ x1 + x2", {"DK": "period", "lags": 2}),
    (of.fe, "y ~ x1 + x2 | firm", {"DK": "period", "lags": 3}),
]


@pytest.mark.parametrize("partitions", [1, 7])
@pytest.mark.parametrize("fit, formula, vcov", DASK_CASES, ids=str)
def test_dask_equals_memory(client, partitions, fit, formula, vcov):
    dd = pytest.importorskip("dask.dataframe")
    df = _data(seed=12)
    whole = fit(formula, df, vcov=vcov)
    part = fit(formula, dd.from_pandas(df, npartitions=partitions, sort=False), vcov=vcov)
    _close(part.cov, whole.cov, 1e-12)
    np.testing.assert_allclose(part.params, whole.params, rtol=1e-12)
    assert (part.df_inference, part.vcov_type) == (whole.df_inference, whole.vcov_type)
    if whole.df_per_term is not None:
        np.testing.assert_allclose(part.df_per_term, whole.df_per_term, rtol=1e-12)
