"""fe with absorbed factors on dask frames, on a real two-worker LocalCluster: the effects
solved in the levels' space equal the in-memory fit of the same rows (whatever the
partitioning), and the dense dummy regression."""

from __future__ import annotations

import os
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

if os.environ.get("ORDINATA_SANITIZED"):
    pytest.skip("the dask fits run on the uninstrumented private extension", allow_module_level=True)

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

import ordinata_frames as of  # noqa: E402
from absorbed import oracle, outputs_by_thread_count  # noqa: E402

TIGHT = 1e-13


def _data(n: int = 1900, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    levels = {"f1": 60, "f2": 15, "f3": 7}
    d = pd.DataFrame({f: rng.integers(0, size, n) for f, size in levels.items()})
    d["x1"] = rng.normal(size=n) + 0.05 * d.f1
    d["x2"] = rng.normal(size=n) * 3 + 1e3        # an offset the level sums must not lose digits to
    d["w"] = rng.uniform(0.5, 2.0, n)
    d["g"] = d.f1 // 4                             # a cluster f1 is nested in
    d["h"] = rng.integers(0, 12, n)
    effects = sum(rng.normal(size=size)[d[f]] for f, size in levels.items())
    d["y"] = 1.5 * d.x1 - 0.5 * d.x2 + effects + rng.normal(size=n)
    d["z1"], d["z2"] = rng.normal(size=n), rng.normal(size=n)
    d["e"] = d.z1 - 0.5 * d.z2 + 0.3 * d.x1 + rng.normal(size=n)      # an endogenous regressor
    d["y"] += 0.7 * d.e
    d["f2"] = d.f2.astype(float)
    d.loc[rng.choice(n, 25, replace=False), "f2"] = np.nan    # missing factor values, dropped and counted
    return d.sample(frac=1.0, random_state=seed)                # the rows shuffled, their index kept


def _partitioned(d: pd.DataFrame, parts: int, seed: int = 1):
    """Partitions of uneven sizes, the last a partial one."""
    if parts == 1:
        pieces = [d]
    else:
        rng = np.random.default_rng(seed)
        cuts = np.sort(rng.choice(np.arange(1, len(d) - 10), parts - 1, replace=False))
        pieces = [d.iloc[a:b] for a, b in zip([0, *cuts], [*cuts, len(d)])]
    return dd.from_map(lambda piece: piece, pieces, meta=d.iloc[:0], enforce_metadata=False)


CASES = [
    ("y ~ x1 + x2 | f1 + f2", {}),
    ("y ~ x1 + x2 | f1 + f2 + f3", {"weights": "w", "vcov": "HC1"}),
    ("y ~ x1 + x2 | f1^f3 + f2", {"vcov": {"CRV1": "h"}, "drop_singletons": True}),
    ("y ~ x1 + x2 | f1 + f2 + f3", {"weights": "w", "vcov": {"CRV1": "g + h"}, "drop_singletons": True}),
    ("y ~ x1 + x2 | f1 + f3", {"vcov": {"CRV1": "g"}}),     # f1 nested in the cluster
    ("y ~ x1 | f1 + f2 + f3 | e ~ z1 + z2", {"weights": "w", "vcov": "HC1"}),
    ("y ~ x1 + x2 | f1 + g", {"vcov": "HC1"}),              # g redundant: f1 nested in it
    # integer factors only: the levels keyed by their keys in one pass
    ("y ~ x2 | f1 + f3 + h | e ~ z1 + z2", {"weights": "w", "vcov": {"CRV1": "g + h"}}),
]


def _same_residual_sums(partitioned, memory) -> None:
    """The report's residual diagnostics (count, mean, central moments, sum of squares, of steps, first
    and last), taken on dask with the fit (for iid errors from the rows and the residual's own effects
    in one native pass) and in memory when first rendered."""
    got, want = partitioned._stats().residual_sums, memory._stats().residual_sums
    if want is None:        # with instruments: no residual diagnostics
        assert got is None
        return
    assert got[0] == want[0]
    scale = np.sqrt(want[5] / want[0])
    powers = np.array([1, 2, 3, 4, 2, 2, 1, 1])        # of the residuals' scale, entry by entry
    got, want = np.array(got[1:], dtype=float), np.array(want[1:], dtype=float)
    assert np.all(np.abs(got - want) <= 1e-9 * (np.abs(want) + scale**powers)), (got, want)


@pytest.mark.parametrize("parts", [1, 7, 64])
@pytest.mark.parametrize(("formula", "options"), CASES)
def test_dask_equals_memory(client, formula, options, parts):
    d = _data()
    memory = of.fe(formula, d, tol=TIGHT, **options)
    partitioned = of.fe(formula, _partitioned(d, parts), tol=TIGHT, **options)
    np.testing.assert_allclose(partitioned.params, memory.params, rtol=1e-9, atol=0)
    np.testing.assert_allclose(partitioned.cov, memory.cov, rtol=1e-9, atol=1e-9 * np.abs(memory.cov).max())
    for name in ("r_squared", "r_squared_adj", "mse", "df_inference"):
        assert getattr(partitioned, name) == pytest.approx(getattr(memory, name), rel=1e-9), name
    for name in ("nobs", "df_resid", "dropped_rows", "singletons_dropped", "absorbed_df", "names", "n_levels"):
        assert getattr(partitioned, name) == getattr(memory, name), name
    assert partitioned.solver.convergence <= TIGHT
    _same_residual_sums(partitioned, memory)
    for name, frame in memory.fixed_effects.items():
        got = partitioned.fixed_effects[name]
        assert got.index.equals(frame.index)
        np.testing.assert_allclose(got.to_numpy(), frame.to_numpy(), rtol=0, atol=1e-9)
    if not options.get("drop_singletons"):     # singleton levels are not predicted
        complete = d.dropna()
        lazy = partitioned.predict(_partitioned(complete, parts))
        assert isinstance(lazy, dd.Series)
        np.testing.assert_allclose(lazy.compute().sort_index().to_numpy(),
                                   memory.predict(complete).sort_index().to_numpy(), rtol=1e-10, atol=1e-10)
    assert memory.dropped_rows >= (25 if "f2" in formula else 0)


@pytest.mark.parametrize("parts", [1, 7])
def test_integer_keys_of_any_width_and_spread(client, parts):
    """Keys far apart and negative (hashed, then found by bisection), of 16 and 32 bits, and a partition
    without one of the levels: the same fit and the same keys as in memory."""
    d = _data(1900, seed=4).drop(columns="f2")
    d["f1"] = d.f1.astype(np.int64) * 10**13 - 5 * 10**15
    d["f3"] = d.f3.astype(np.uint16)
    d["h"] = d.h.astype(np.int32)
    d = pd.concat([d[d.h != 5], d[d.h == 5]])          # level 5 of h only in the last partitions
    formula = "y ~ x1 + x2 | f1 + f3 + h"
    memory = of.fe(formula, d, vcov={"CRV1": "g"}, tol=TIGHT)
    partitioned = of.fe(formula, _partitioned(d, parts), vcov={"CRV1": "g"}, tol=TIGHT)
    np.testing.assert_allclose(partitioned.params, memory.params, rtol=1e-9)
    np.testing.assert_allclose(partitioned.cov, memory.cov, rtol=1e-9)
    assert partitioned.absorbed_df == memory.absorbed_df
    for name, frame in memory.fixed_effects.items():
        got = partitioned.fixed_effects[name]
        assert got.index.equals(frame.index) and got.index.dtype == frame.index.dtype
        np.testing.assert_allclose(got.to_numpy(), frame.to_numpy(), rtol=0, atol=1e-9)
    np.testing.assert_allclose(partitioned.predict(d.iloc[:50]), memory.predict(d.iloc[:50]), rtol=1e-10)


def test_dense_dummy_regression(client):
    """The weighted slopes and their iid covariance of the regression on every dummy (numpy lstsq)."""
    d = _data(1100, seed=3).dropna()
    fit = of.fe("y ~ x1 + x2 | f1 + f2 + f3", _partitioned(d, 7), weights="w", tol=TIGHT)
    o = oracle(d, ["x1", "x2"], ["f1", "f2", "f3"], "w")
    np.testing.assert_allclose(fit.params, o["beta"], rtol=1e-9)
    np.testing.assert_allclose(fit.cov, o["iid"], rtol=1e-8)
    assert fit.absorbed_df == o["rank"]


def test_refusals(client):
    d = _data(1100)
    with pytest.raises(ValueError, match=r"fixed effects f1 \+ f2 \+ f3 did not converge in 2 iterations"):
        of.fe("y ~ x1 + x2 | f1 + f2 + f3", _partitioned(d, 7), max_iterations=2)
    with pytest.raises((ValueError, KeyError), match="nope"):
        of.fe("y ~ x1 + x2 | f1 + nope", _partitioned(d, 7))
    with pytest.raises(ValueError, match="'x3' is collinear with the fixed effects f1 \\+ f2"):
        of.fe("y ~ x1 + x3 | f1 + f2", _partitioned(d.assign(x3=d.f1 * 2.0 + 1e3), 7))


def _level_system(seed: int):
    """A random three-factor design's level system D'WD, D'W v and the dense D, W, v."""
    rng = np.random.default_rng(seed)
    n, levels = 400, (9, 5, 4)
    codes = [rng.permutation(np.arange(n) % size) for size in levels]
    w = rng.uniform(0.5, 2.0, n)
    dense = np.hstack([np.eye(size)[c] for c, size in zip(codes, levels)])
    v = rng.normal(size=(2, n)) + np.array([[0.0], [50.0]])
    return codes, levels, w, dense, v


def _level_stats(codes, levels, w, dense, v):
    from ordinata_frames import _absorb_levels, _passes

    stats = _absorb_levels.LevelStats(levels, rows=len(w))
    stats.weights = [np.bincount(c, weights=w, minlength=size) for c, size in zip(codes, levels)]
    stats.pivot = v[:, 0].copy()
    stats.sums = (dense * w[:, None]).T @ (v - stats.pivot[:, None]).T
    stats.crosstabs = {(f, g): _absorb_levels._pair_sums(codes[f], codes[g], w, levels[f], levels[g])
                       for f in range(3) for g in range(f + 1, 3)}
    stats.columns = [_passes_target(col, w) for col in v]
    stats.high, stats.low = v.max(axis=1), v.min(axis=1)
    stats.own = _passes.moments(list(v), w, True)
    return stats


def test_level_kernel_against_the_dense_projection(monkeypatch):
    """The kernel's effects give the projection of the dense weighted least squares on every dummy;
    the Gram of the demeaned columns from the statistics is that of the rows demeaned by the effects
    solved, however far from converged; a column the effects explain almost wholly, whose digits
    the subtraction would cancel, is left to the rows."""
    from ordinata_frames import _absorb_levels, _native

    codes, levels, w, dense, v = _level_system(5)
    offsets = np.cumsum((0, *levels))
    stats = _level_stats(codes, levels, w, dense, v)
    solved = _absorb_levels.solve(stats, ["a", "b", "c"], tol=1e-14, max_iterations=500)
    sw = np.sqrt(w)
    fitted = dense @ np.linalg.lstsq(dense * sw[:, None], (v * sw).T, rcond=None)[0]
    np.testing.assert_allclose(dense @ solved.effects.T + solved.means, fitted, rtol=0,
                               atol=1e-10 * np.abs(v).max())
    assert solved.info.iterations > 1 and solved.info.convergence <= 1e-14
    assert offsets[-1] == solved.effects.shape[1]
    for tol in (1e-14, 0.3):
        solved = _absorb_levels.solve(stats, ["a", "b", "c"], tol=tol, max_iterations=500)
        z = v.T - solved.means - dense @ solved.effects.T
        moments = _absorb_levels.demeaned_moments(stats, solved)
        assert moments is not None and not moments.intercept
        np.testing.assert_allclose(moments.r.T @ moments.r, (z * w[:, None]).T @ z, rtol=1e-13, atol=0)
    rng = np.random.default_rng(6)
    explained = 100.0 * dense @ rng.normal(size=offsets[-1]) + rng.normal(size=len(w))
    stats = _level_stats(codes, levels, w, dense, np.vstack([v, explained]))
    solved = _absorb_levels.solve(stats, ["a", "b", "c"], tol=1e-14, max_iterations=500)
    assert _absorb_levels.demeaned_moments(stats, solved) is None
    monkeypatch.setattr(_absorb_levels, "LOSS", np.inf)
    assert _absorb_levels.demeaned_moments(stats, solved) is not None
    within = np.array([0], dtype=np.int64), np.array([1], dtype=np.int64)    # two levels of one factor
    outside = np.array([0], dtype=np.int64), np.array([99], dtype=np.int64)
    for bounds in (offsets, offsets[[0, 1, 3]]):       # three factors; two (the last two as one)
        for a, b in (within, outside):
            with pytest.raises(ValueError, match="outside the levels, a pair within one factor"):
                _native.absorb_levels(np.zeros((1, offsets[-1])), np.zeros((1, offsets[-1])), np.ones(offsets[-1]), a,
                                      b, np.ones(1), bounds.astype(np.int64), np.ones(1), 0, 1, 1e-8, 10)


def _passes_target(col, w):
    weight = sum(map(Fraction, w.tolist()))
    mean = float(sum(Fraction(a) * Fraction(b) for a, b in zip(w.tolist(), col.tolist())) / weight)
    return (float(weight), mean, float(w @ (col - mean) ** 2))


@pytest.mark.parametrize(("change", "message"), [
    ({"x1": np.inf}, "not finite"),
    ({"w": 0.0}, "All weights must be positive and finite"),
])
def test_bad_values_are_refused(client, change, message):
    d = _data(1100)
    column, value = next(iter(change.items()))
    d.loc[d.index[700], column] = value
    with pytest.raises(ValueError, match=message):
        of.fe("y ~ x1 + x2 | f1 + f2", _partitioned(d, 7), weights="w")


def test_singletons_dropped_round_after_round(client):
    """A chain: dropping the rows alone in a level leaves new singletons, round after round. The
    rows kept are those of the dense block (counted by hand): the 7 chain rows go, one a round."""
    rng = np.random.default_rng(9)
    dense = pd.DataFrame({"a": rng.integers(0, 20, 1200), "b": rng.integers(0, 10, 1200)})
    # a: 100, 101, ... each in two rows except the chain's end; b: 50, 51, ... linking them.
    chain = pd.DataFrame({"a": [100, 100, 101, 101, 102, 102, 103], "b": [0, 50, 50, 51, 51, 52, 52]})
    d = pd.concat([dense, chain], ignore_index=True)
    d["x"] = rng.normal(size=len(d))
    d["y"] = d.x + 0.1 * d.a + rng.normal(size=len(d))
    d = d.sample(frac=1.0, random_state=2)
    fit = of.fe("y ~ x | a + b", _partitioned(d, 7), drop_singletons=True, tol=TIGHT)
    assert fit.singletons_dropped == 7
    memory = of.fe("y ~ x | a + b", d, drop_singletons=True, tol=TIGHT)
    np.testing.assert_allclose(fit.params, memory.params, rtol=1e-10)
    np.testing.assert_allclose(fit.cov, memory.cov, rtol=1e-9)
    _same_residual_sums(fit, memory)        # the partitions holding a chain row take the demeaned columns


def test_any_thread_count_gives_the_same_bits():
    out = outputs_by_thread_count(
        "import numpy as np, dask, dask.dataframe as dd, ordinata_frames as of; "
        "from tests.test_frames_absorb_dask import _data; dask.config.set(scheduler='synchronous'); "
        "r = of.fe('y ~ x1 + x2 | f1 + f2 + f3', dd.from_pandas(_data(1100), npartitions=3), weights='w'); "
        "print(np.concatenate([r.params, r.cov.ravel()]).tobytes().hex())")
    assert len(out) == 1 and len(next(iter(out))) > 10


def _paired_levels(i: int) -> pd.DataFrame:
    """Partition i of 470,000 rows: two rows a level of g, the partition's own levels."""
    rng = np.random.default_rng(i)
    rows = 470_000
    x = rng.normal(size=rows)
    return pd.DataFrame({"x": x, "g": i * rows // 2 + np.arange(rows) // 2, "t": rng.integers(0, 10, rows),
                         "y": x + rng.normal(size=rows)})


def test_large_level_state_is_shipped_without_a_warning(client):
    # 705,000 levels: the levels' keys and effects (some 30 MB) go to the workers once,
    # never inside the graph, which distributed warns of; the library prints nothing.
    import warnings

    ddf = dd.from_map(_paired_levels, range(3))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = of.fe("y ~ x | g + t", ddf)
    assert r.n_levels == {"g": 705_000, "t": 10}
    assert [str(w.message) for w in caught] == []


@pytest.mark.parametrize("vcov", ["iid", "HC1"])
def test_columns_the_effects_explain_almost_wholly(client, vcov):
    """y and x1 whose effects are 10^3 times their residual spread: the Gram the level statistics
    give would lose six digits, so the rows are demeaned and read, and the fit is the in-memory
    one."""
    d = _data(1300, seed=3)
    rng = np.random.default_rng(4)
    big = sum(1e3 * rng.normal(size=size)[d[f].fillna(0).astype(int)] for f, size in (("f1", 60), ("f3", 7)))
    d = d.assign(x1=d.x1 + big, y=d.y + 3.0 * big)
    memory = of.fe("y ~ x1 + x2 | f1 + f3", d, tol=TIGHT, vcov=vcov)
    partitioned = of.fe("y ~ x1 + x2 | f1 + f3", _partitioned(d, 7), tol=TIGHT, vcov=vcov)
    np.testing.assert_allclose(partitioned.params, memory.params, rtol=1e-9, atol=0)
    np.testing.assert_allclose(partitioned.standard_errors, memory.standard_errors, rtol=1e-9, atol=0)
    _same_residual_sums(partitioned, memory)


@pytest.mark.parametrize("links", [0, 1, 40])
def test_the_smaller_factors_exact_solve_starts_the_iterations(client, links):
    """Two factors, the second of few levels: the iterations go on from the exact solve of its Schur
    complement, on graphs of two components (a level's effect set at each), of one weak link and of
    many, with either factor first (the crosstab's entries then in runs of the small factor's levels);
    the fit is the in-memory one, the effects to 1e-10."""
    rng = np.random.default_rng(links)
    n = 1500
    f1 = rng.integers(0, 60, n)
    f3 = np.where(f1 < 30, rng.integers(0, 3, n), rng.integers(3, 7, n))
    f3[:links] = rng.integers(0, 3, links) if links else f3[:0]
    f1[:links] = 30 + np.arange(links) % 30
    d = pd.DataFrame({"f1": f1, "f3": f3, "x1": rng.normal(size=n) + 0.1 * f3})
    d["y"] = 1.5 * d.x1 + rng.normal(size=60)[f1] + 5.0 * rng.normal(size=7)[f3] + rng.normal(size=n)
    for formula in ("y ~ x1 | f1 + f3", "y ~ x1 | f3 + f1"):
        memory = of.fe(formula, d, tol=TIGHT)
        partitioned = of.fe(formula, _partitioned(d, 7), tol=TIGHT)
        assert partitioned.solver.method.endswith("from the smaller factor's exact solve")
        assert partitioned.solver.iterations <= 3
        np.testing.assert_allclose(partitioned.params, memory.params, rtol=1e-10, atol=0)
        np.testing.assert_allclose(partitioned.cov, memory.cov, rtol=1e-9, atol=0)
        assert partitioned.absorbed_df == memory.absorbed_df
        for name, frame in memory.fixed_effects.items():
            np.testing.assert_allclose(partitioned.fixed_effects[name].to_numpy(), frame.to_numpy(), rtol=0,
                                       atol=1e-10)
