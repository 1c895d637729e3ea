"""The wild cluster bootstrap of ols, wls and fe results against the wildboottest
package (its WildboottestCL, "11"): the t statistic to rounding and the p-value
exactly under full enumeration, to the Monte Carlo error with random draws; its
size under the null; its refusals; the same bits on dask frames and threads."""

from __future__ import annotations

import math
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of
from absorbed import outputs_by_thread_count

wildboottest = pytest.importorskip("wildboottest.wildboottest")

TIE = 1e-9


def _oracle(x: np.ndarray, y: np.ndarray, cluster: np.ndarray, j: int, draws: int, impose_null: bool,
            weights: str = "rademacher", seed: int = 1) -> tuple[float, float, int]:
    """wildboottest's t, p-value and draws. Its ties (|t*| = |t| but for rounding: under the null imposed,
    the two draws whose weights are all equal) are decided by its rounding; here, as in the package
    tested, they are not counted."""
    r = np.zeros(x.shape[1])
    r[j] = 1.0
    boot = wildboottest.WildboottestCL(X=x, Y=y, cluster=cluster, R=r, B=draws, seed=seed, parallel=False)
    boot.get_scores(bootstrap_type="11", impose_null=impose_null)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        boot.get_weights(weights_type=weights)
    boot.get_numer()
    boot.get_denom()
    boot.get_tboot()
    boot.get_vcov()
    boot.get_tstat()
    t = float(np.ravel(boot.t_stat)[0])
    t_star = np.ravel(boot.t_boot)
    return t, float(np.mean(np.abs(t_star) > abs(t) * (1 + TIE))), int(boot.B)


def _clustered(n: int = 1100, groups: int = 8, seed: int = 0, offset: float = 3.0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    g = rng.integers(0, groups, n)
    df = pd.DataFrame({"x1": offset + rng.normal(size=n) + rng.normal(size=groups)[g], "x2": rng.normal(size=n),
                       "g": g, "w": rng.uniform(0.5, 2.0, n), "e": g * 5 + rng.integers(0, 5, n)})
    df["y"] = 1.0 + 0.05 * df.x1 - 0.3 * df.x2 + rng.normal(size=groups)[g] + rng.normal(size=n)
    return df


def _grunfeld() -> pd.DataFrame:
    datasets = pytest.importorskip("statsmodels.datasets")
    return datasets.grunfeld.load_pandas().data


def _design(df: pd.DataFrame, columns: list[str]) -> np.ndarray:
    return np.column_stack([np.ones(len(df))] + [df[c].to_numpy(float) for c in columns])


# ---------------------------------------------------------------------------
# Against wildboottest.

@pytest.mark.parametrize("dataset", ["synthetic", "grunfeld"])
@pytest.mark.parametrize("impose_null", [True, False])
@pytest.mark.parametrize("param", [0, 1, 2])
def test_enumeration_equals_wildboottest(dataset: str, impose_null: bool, param: int) -> None:
    if dataset == "synthetic":
        df, formula, y, cluster = _clustered(), "y ~ x1 + x2", "y", "g"
    else:
        df, formula, y, cluster = _grunfeld(), "invest ~ value + capital", "invest", "firm"
    fit = of.ols(formula, df, vcov={"CRV1": cluster})
    codes = pd.factorize(df[cluster], sort=True)[0]
    groups = len(np.unique(codes))
    got = fit.wildboottest(fit.names[param], df, B=2 ** groups, impose_null=impose_null)
    # wildboottest enumerates where 2^G < B
    t, p, draws = _oracle(_design(df, list(fit.names[1:])), df[y].to_numpy(), codes, param, 2 ** groups + 1,
                          impose_null)
    assert got.enumerated and got.draws == draws == 2 ** groups and got.seed is None
    assert got.clusters == groups
    assert got.statistic == pytest.approx(t, rel=1e-10)
    assert got.pvalue == p
    assert got.bootstrap_type == ("WCR" if impose_null else "WCU")


def _mroz() -> pd.DataFrame:
    from frames_data import mroz

    return mroz().dropna(subset=["lwage"]).reset_index(drop=True)


# (data, formula, cluster, draws): synthetic with 20 and 45 clusters; Grunfeld's 11 firms; Mroz's
# working women clustered by their 31 ages. The draws stay below 2^G: none is enumerated.
RANDOM_DRAWS = {"synthetic-20": (lambda: _clustered(groups=20, seed=20), "y ~ x1 + x2", "g", 4999),
                "synthetic-45": (lambda: _clustered(groups=45, seed=45), "y ~ x1 + x2", "g", 4999),
                "grunfeld": (_grunfeld, "invest ~ value + capital", "firm", 1999),
                "mroz": (_mroz, "lwage ~ educ + exper", "age", 4999)}


@pytest.mark.parametrize("weights", ["rademacher", "mammen", "webb", "norm"])
@pytest.mark.parametrize("impose_null", [True, False])
@pytest.mark.parametrize("dataset", list(RANDOM_DRAWS))
def test_random_draws_agree_with_wildboottest_to_monte_carlo_error(weights: str, impose_null: bool,
                                                                   dataset: str) -> None:
    """Both p-values estimate one probability from B independent draws: they differ by less than
    4.5 standard errors of the difference, sqrt(2 p (1 - p) / B), and 1/B."""
    make, formula, cluster, draws = RANDOM_DRAWS[dataset]
    df = make()
    fit = of.ols(formula, df, vcov={"CRV1": cluster})
    slope = fit.names[1]
    got = fit.wildboottest(slope, df, B=draws, weights=weights, impose_null=impose_null, seed=7)
    codes = pd.factorize(df[cluster], sort=True)[0]
    t, p, used = _oracle(_design(df, list(fit.names[1:])), df[fit.dependent].to_numpy(), codes, 1, draws,
                         impose_null, weights)
    assert not got.enumerated and got.draws == used == draws and got.seed == 7
    assert got.statistic == pytest.approx(t, rel=1e-10)
    # the fit's own CRV1 t, same small-sample factor
    assert got.statistic == pytest.approx(fit.t_statistics[slope], rel=1e-10)
    tolerance = 4.5 * math.sqrt(2 * max(p * (1 - p), 0.01 * 0.99) / draws) + 1 / draws
    assert abs(got.pvalue - p) < tolerance


@pytest.mark.parametrize("impose_null", [True, False])
@pytest.mark.parametrize("model", ["wls", "fe"])
def test_wls_and_fe_are_the_bootstraps_of_their_regressions(model: str, impose_null: bool) -> None:
    """wls: that of the rows whitened by sqrt(w). fe: the entities nest in the clusters, so the bootstrap
    of the demeaned rows is that of the design with the entity dummies; its t counts the dummies in k, as
    wildboottest given that design does."""
    df = _clustered()
    if model == "wls":
        fit, root = of.wls("y ~ x1 + x2", df, weights="w", vcov={"CRV1": "g"}), np.sqrt(df.w.to_numpy())
        x, j, name, rel = _design(df, ["x1", "x2"]) * root[:, None], 2, "x2", 1e-10
    else:
        fit, root = of.fe("y ~ x1 + x2 | e", df, vcov={"CRV1": "g"}), np.ones(len(df))
        x, j, name, rel = np.column_stack([df.x1, df.x2, pd.get_dummies(df.e).to_numpy(float)]), 0, "x1", 1e-9
    t, p, _ = _oracle(x, df.y.to_numpy() * root, df.g.to_numpy(), j, 257, impose_null)
    got = fit.wildboottest(name, df, B=256, impose_null=impose_null)
    assert got.statistic == pytest.approx(t, rel=rel) and got.pvalue == p


def test_offsets_leave_the_test_unchanged() -> None:
    """A column far from zero: the exact cluster sums keep the t of the centred design."""
    df = _clustered()
    shifted = df.assign(x2=df.x2 + 1e5)
    a = of.ols("y ~ x1 + x2", df, vcov={"CRV1": "g"}).wildboottest("x2", df, B=256)
    b = of.ols("y ~ x1 + x2", shifted, vcov={"CRV1": "g"}).wildboottest("x2", shifted, B=256)
    assert b.statistic == pytest.approx(a.statistic, rel=1e-7) and b.pvalue == a.pvalue


# ---------------------------------------------------------------------------
# The confidence interval.

@pytest.mark.parametrize("impose_null", [True, False])
def test_interval_bounds_are_where_the_test_starts_to_reject(impose_null: bool) -> None:
    """y - b0 x1 tests beta = b0: at each bound the p-value is at least alpha, a little beyond it below."""
    df = _clustered(groups=12, seed=3)
    fit = of.ols("y ~ x1 + x2", df, vcov={"CRV1": "g"})
    got = fit.wildboottest("x1", df, B=999, impose_null=impose_null, seed=11, conf_int=True, alpha=0.1)
    assert got.conf_int is not None and got.alpha == 0.1
    lower, upper = got.conf_int
    se = fit.standard_errors["x1"]
    assert lower < fit.params[1] < upper
    for bound, outward in ((lower, -1.0), (upper, 1.0)):
        for b0, accepted in ((bound - outward * 1e-6 * se, True), (bound + outward * 1e-3 * se, False)):
            shifted = df.assign(y=df.y - b0 * df.x1)
            p = of.ols("y ~ x1 + x2", shifted, vcov={"CRV1": "g"}).wildboottest(
                "x1", shifted, B=999, impose_null=impose_null, seed=11).pvalue
            assert (p >= 0.1) == accepted, (bound, b0, p)


# ---------------------------------------------------------------------------
# Size under the null.

def test_bootstrap_holds_its_size_where_crv1_does_not() -> None:
    """Ten clusters of very unequal size, the regressor varying mostly between clusters."""
    rng = np.random.default_rng(2024)
    sizes = np.array([3, 4, 5, 6, 8, 10, 14, 20, 40, 90])
    g = np.repeat(np.arange(10), sizes)
    crv1 = boot = 0
    replications = 200
    for _ in range(replications):
        x = rng.normal(size=10)[g] + 0.3 * rng.normal(size=len(g))
        y = rng.normal(size=10)[g] * (1 + np.abs(x)) + rng.normal(size=len(g))
        df = pd.DataFrame({"y": y, "x": x, "g": g})
        fit = of.ols("y ~ x", df, vcov={"CRV1": "g"})
        crv1 += fit.p_values["x"] < 0.05
        boot += fit.wildboottest("x", df, B=199, weights="webb", seed=int(rng.integers(2**32))).pvalue < 0.05
    assert crv1 / replications > 0.15             # 0.235 at this seed
    assert 0.02 <= boot / replications <= 0.09    # 0.07: 200 replications estimate 5 % to +-1.5 %


# ---------------------------------------------------------------------------
# Determinism, pickling and the refusals.

def test_same_seed_same_draws_and_the_record_is_frozen() -> None:
    df = _clustered(groups=30)
    fit = of.ols("y ~ x1 + x2", df, vcov={"CRV1": "g"})
    a = fit.wildboottest("x1", df, B=999, weights="norm", seed=5)
    assert a == fit.wildboottest("x1", df, B=999, weights="norm", seed=5)
    assert a.pvalue != fit.wildboottest("x1", df, B=999, weights="norm", seed=6).pvalue
    unseeded = fit.wildboottest("x1", df, B=99)
    assert unseeded.seed is not None
    assert unseeded == fit.wildboottest("x1", df, B=99, seed=unseeded.seed)
    with pytest.raises(AttributeError):
        a.pvalue = 0.5  # type: ignore[misc]


def test_thread_count_leaves_the_draws_unchanged() -> None:
    outputs = outputs_by_thread_count(
        "import numpy as np, pandas as pd, ordinata_frames as of\n"
        "rng = np.random.default_rng(1); g = rng.integers(0, 40, 3000)\n"
        "df = pd.DataFrame({'x': rng.normal(size=3000), 'g': g}); df['y'] = df.x + rng.normal(size=3000)\n"
        "b = of.ols('y ~ x', df, vcov={'CRV1': 'g'}).wildboottest('x', df, B=20001, weights='mammen', seed=3,"
        " impose_null=False, conf_int=True)\n"
        "print(b.pvalue.hex(), b.statistic.hex(), b.conf_int[0].hex(), b.conf_int[1].hex())\n", ("1", "2"))
    assert len(outputs) == 1 and outputs != {""}


def test_results_keep_no_data_and_bootstrap_after_pickling() -> None:
    small, large = _clustered(n=1100), _clustered(n=11000)
    fits = [of.ols("y ~ x1 + x2", d, vcov={"CRV1": "g"}) for d in (small, large)]
    sizes = [len(pickle.dumps(f)) for f in fits]
    assert abs(sizes[0] - sizes[1]) < 2000
    again = pickle.loads(pickle.dumps(fits[0]))
    assert again.wildboottest("x1", small, B=256) == fits[0].wildboottest("x1", small, B=256)


@pytest.mark.parametrize("kwargs, error, message", [
    *[({"B": b}, ValueError, "B must be") for b in (0, -5, 2.5, True)],
    ({"weights": "gamma"}, ValueError, "unknown weights 'gamma'"),
    ({"param": "x3"}, ValueError, "param 'x3' is not a term"),
    ({"cluster": "one"}, ValueError, "has 1 group"),
    ({"cluster": ["g"]}, TypeError, "one column"),
    ({"seed": -1}, ValueError, "seed must be"),
    ({"conf_int": True, "alpha": 1.5}, ValueError, "alpha must be"),
])
def test_bad_arguments_are_refused(kwargs: dict, error: type, message: str) -> None:
    df = _clustered().assign(one=1)
    fit = of.ols("y ~ x1 + x2", df, vcov={"CRV1": "g"})
    arguments = {"param": "x1", **kwargs}
    with pytest.raises(error, match=message):
        fit.wildboottest(arguments.pop("param"), df, **arguments)


def test_refusals_of_the_fit_and_its_data() -> None:
    df = _clustered()
    with pytest.raises(ValueError, match="name the bootstrap's cluster column"):
        of.ols("y ~ x1 + x2", df).wildboottest("x1", df)
    with pytest.raises(ValueError, match="not of ridge"):
        of.ridge("y ~ x1 + x2", df).wildboottest("x1", df, cluster="g")
    fit = of.ols("y ~ x1 + x2", df, vcov={"CRV1": "g"})
    with pytest.raises(ValueError, match="not those the model was fitted on"):
        fit.wildboottest("x1", df.iloc[:-3])
    with pytest.raises(ValueError, match="not those the model was fitted on"):
        fit.wildboottest("x1", df.assign(y=df.y + 0.1 * df.x2))
    with pytest.raises(ValueError, match="not nested in the clusters"):
        of.fe("y ~ x1 + x2 | e", df, vcov={"CRV1": "g"}).wildboottest("x1", df, cluster="x2")


# ---------------------------------------------------------------------------
# Dask frames.

dd = pytest.importorskip("dask.dataframe")


@pytest.mark.parametrize("model", ["ols", "fe"])
def test_dask_frames_give_the_same_bits_at_any_partitioning(client, model: str) -> None:
    df = _clustered(n=1100, groups=25, seed=4)
    formula = "y ~ x1 + x2" + (" | e" if model == "fe" else "")
    fit = getattr(of, model)(formula, df, vcov={"CRV1": "g"})
    expected = fit.wildboottest("x2", df, B=999, weights="webb", seed=9, conf_int=True)
    for parts in (1, 7):
        ddf = dd.from_pandas(df, npartitions=parts)
        assert ddf.npartitions == parts
        assert fit.wildboottest("x2", ddf, B=999, weights="webb", seed=9, conf_int=True) == expected


# ---------------------------------------------------------------------------
# Absorbed factors.

def _absorbed_frame(singletons: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(5)
    n, groups = 1100, 8
    g = rng.integers(0, groups, n)
    df = pd.DataFrame({"g": g, "firm": g * 6 + rng.integers(0, 6, n), "dept": g * 4 + rng.integers(0, 4, n),
                       "yr": rng.integers(0, 3, n), "x1": 2.0 + rng.normal(size=n), "x2": rng.normal(size=n),
                       "w": rng.uniform(0.5, 2.0, n), "z": rng.normal(size=n)})
    df.loc[: singletons - 1, "firm"] = 1000 + np.arange(singletons)     # firms of one row, each within its g
    df["y"] = 0.1 * df.x1 - 0.2 * df.x2 + rng.normal(size=groups)[g] + 0.3 * df.yr + rng.normal(size=n)
    return df


def _dummy_design(df: pd.DataFrame, factors: list[list[str]]) -> np.ndarray:
    """[x1, x2, every factor's dummies], those after the first less one level per cluster (full rank)."""
    blocks = [df[["x1", "x2"]].to_numpy(float)]
    for i, columns in enumerate(factors):
        level = pd.Series(pd.factorize(pd.MultiIndex.from_frame(df[columns]))[0], index=df.index)
        dummies = pd.get_dummies(level).drop(columns=level.groupby(df.g).min().to_numpy() if i else [])
        blocks.append(dummies.to_numpy(float))
    return np.column_stack(blocks)


@pytest.mark.parametrize("impose_null", [True, False])
@pytest.mark.parametrize("formula, factors, weights, singletons", [
    ("y ~ x1 + x2 | firm", [["firm"]], "w", 0),
    ("y ~ x1 + x2 | firm + dept", [["firm"], ["dept"]], None, 0),
    ("y ~ x1 + x2 | firm + dept", [["firm"], ["dept"]], "w", 0),
    ("y ~ x1 + x2 | g^yr + firm", [["g", "yr"], ["firm"]], "w", 5),
])
def test_absorbed_factors_are_the_bootstrap_with_their_dummies(formula: str, factors: list[list[str]],
                                                               weights: str | None, singletons: int,
                                                               impose_null: bool) -> None:
    """Every factor nested in the clusters: the bootstrap of the projected columns is that of the
    design with the dummies, whose rank the small-sample factor counts (rows whitened by sqrt(w))."""
    df = _absorbed_frame(singletons)
    fit = of.fe(formula, df, weights=weights, vcov={"CRV1": "g"}, drop_singletons=singletons > 0)
    kept = df.iloc[singletons:]
    assert fit.nobs == len(kept) and fit.singletons_dropped == singletons
    x = _dummy_design(kept, factors)
    assert np.linalg.matrix_rank(x) == x.shape[1] == 2 + fit.absorbed_df
    root = np.sqrt(kept.w.to_numpy()) if weights else np.ones(len(kept))
    for j, name in enumerate(["x1", "x2"]):
        t, p, _ = _oracle(x * root[:, None], kept.y.to_numpy() * root, kept.g.to_numpy(), j, 257, impose_null)
        got = fit.wildboottest(name, df, B=256, impose_null=impose_null)
        assert got.enumerated and got.statistic == pytest.approx(t, rel=1e-9) and got.pvalue == p


def test_absorbed_factors_refusals() -> None:
    df = _absorbed_frame()
    fit = of.fe("y ~ x1 + x2 | firm + yr", df, vcov={"CRV1": "g"})
    with pytest.raises(ValueError, match="factor 'yr' is not nested in the clusters of 'g'"):
        fit.wildboottest("x1", df)
    fit = of.fe("y ~ x1 + x2 | firm + dept", df, weights="w", vcov={"CRV1": "g"})
    with pytest.raises(ValueError, match="not those the model was fitted on"):
        fit.wildboottest("x1", df.assign(w=df.w[::-1].to_numpy()))
    with pytest.raises(ValueError, match="fitted in memory, and so is its bootstrap"):
        fit.wildboottest("x1", dd.from_pandas(df, npartitions=2))
    with pytest.raises(ValueError, match="no instrumented fe fit"):
        of.fe("y ~ x2 | firm | x1 ~ z", df, vcov={"CRV1": "g"}).wildboottest("x2", df)
