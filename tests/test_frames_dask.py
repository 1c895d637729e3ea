"""ordinata_frames on dask frames, on a real two-worker LocalCluster: every fit
equals the in-memory fit of the same rows, whatever the partitioning."""

from __future__ import annotations

import functools
import itertools
import os
import pickle
import re

import numpy as np
import pandas as pd
import pytest

if os.environ.get("ORDINATA_SANITIZED"):
    # The sanitizer runs rebuild the core module only, and dask's worker processes would inherit its runtime.
    pytest.skip("the dask fits run on the uninstrumented private extension", allow_module_level=True)

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

import exact  # noqa: E402
import ordinata_frames as of  # noqa: E402


def _data(n: int = 3000, offset: float = 3.0, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": offset + rng.normal(size=n), "x2": rng.normal(size=n), "z": rng.normal(size=n),
                       "g": rng.integers(0, 30, n), "h": rng.integers(0, 12, n), "w": rng.uniform(0.5, 2.0, n),
                       "c": rng.choice(["a", "b", "c"], n)})
    df["e"] = df.z + 0.5 * rng.normal(size=n)
    df["y"] = 1.0 + 0.5 * df.x1 - df.x2 + df.e + (df.c == "b") + 0.1 * df.g + rng.standard_t(5, size=n)
    return df


def _dask_frame(df: pd.DataFrame, layout: str | list[int]):
    """The frame cut into partitions: at the given rows, evenly into a count, or unevenly with empty and
    one-row ones among them."""
    if layout == "uneven":
        layout = [0, 0, 1, 1, 2, 500, 500, 1700, len(df) - 1, len(df)]
    elif isinstance(layout, str):
        layout = [len(df) * i // int(layout) for i in range(int(layout) + 1)]
    return dd.from_map(lambda piece: piece, [df.iloc[a:b] for a, b in itertools.pairwise(layout)], meta=df.iloc[:0],
                       enforce_metadata=False)


def _same(a, b, rtol: float) -> None:
    np.testing.assert_allclose(a.params, b.params, rtol=rtol, atol=0)
    np.testing.assert_allclose(a.cov, b.cov, rtol=rtol, atol=rtol * np.abs(b.cov).max())
    for name in ("r_squared", "r_squared_adj", "mse", "df_inference"):
        assert getattr(a, name) == pytest.approx(getattr(b, name), rel=rtol, abs=rtol), name
    assert (a.nobs, a.df_resid, a.dropped_rows, a.names) == (b.nobs, b.df_resid, b.dropped_rows, b.names)
    if b.first_stage is not None:
        np.testing.assert_allclose(a.first_stage.to_numpy(), b.first_stage.to_numpy(), rtol=1e-9)
        assert a.wu_hausman.stat == pytest.approx(b.wu_hausman.stat, rel=1e-9)
        assert (a.sargan is None) == (b.sargan is None)
        if b.sargan is not None:
            assert a.sargan.stat == pytest.approx(b.sargan.stat, rel=1e-9)


CASES = [
    (of.ols, "y ~ x1 + x2 + C(c)", {}),
    (of.ols, "y ~ x1 + x2", {"vcov": "HC1"}),
    (of.ols, "y ~ x1 + x2", {"vcov": "HC3"}),
    (of.ols, "y ~ 0 + x1 + x2", {"vcov": "HC2"}),
    (of.ols, "y ~ x1 + x2", {"vcov": {"CRV1": "g"}}),
    (of.ols, "y ~ x1 + x2", {"vcov": {"CRV1": "g + h"}}),
    (of.wls, "y ~ x1 + x2", {"weights": "w", "vcov": "HC0"}),
    (of.wls, "y ~ x1 + x2", {"weights": "w", "vcov": {"CRV1": "g"}}),
    (of.ridge, "y ~ x1 + x2", {"alpha": 3.0}),
    (of.iv, "y ~ x2 + [e ~ z]", {"vcov": "HC1"}),
    (of.tsls, "y ~ x2 + [e ~ z + h]", {}),
    (of.tsls, "y ~ x2 + [e ~ z + h]", {"vcov": {"CRV1": "g"}}),
    (of.fe, "y ~ x1 + x2 | g", {}),
    (of.fe, "y ~ x1 + x2 | g", {"vcov": {"CRV1": "g"}}),
    (of.fe, "y ~ x1 + x2 | h", {"vcov": "HC1"}),
]


@pytest.mark.parametrize("layout", ["1", "2", "7", "64", "uneven"])
@pytest.mark.parametrize(("fit", "formula", "kwargs"), CASES, ids=lambda v: v if isinstance(v, str) else None)
def test_the_fit_of_any_partitioning_equals_the_fit_in_memory(client, fit, formula, kwargs, layout):
    df = _data()
    if layout == "uneven":
        df = df.sample(frac=1.0, random_state=1).reset_index(drop=True)
    expected = fit(formula, df, **kwargs)
    got = fit(formula, _dask_frame(df, layout), **kwargs)
    _same(got, expected, 1e-12)


def _lines(report: str) -> list[str]:
    return [line for line in report.split("\n") if not line.startswith(("Date:", "Time:", "Partitions merged:"))]


@pytest.mark.parametrize("fit, formula", [(of.ols, "y ~ x1 + x2 + C(c)"), (of.ridge, "y ~ x1 + x2"),
                                          (of.fe, "y ~ x1 + x2 | g"), (of.tsls, "y ~ x2 + [e ~ z + h]")])
def test_the_report_is_the_in_memory_one_and_reads_no_data_after_the_fit(client, tmp_path, fit, formula):
    # Fitted from files deleted before the report and the pickle are made.
    df = _data(n=1300, seed=23)
    for i, rows in enumerate(np.array_split(np.arange(len(df)), 3)):
        df.iloc[rows].to_parquet(tmp_path / f"part{i}.parquet")
    got = fit(formula, dd.read_parquet(str(tmp_path)))
    for path in tmp_path.iterdir():
        path.unlink()
    report = got.summary()
    assert re.search(r"^Partitions merged: +3$", report, re.M)
    assert _lines(report) == _lines(fit(formula, df).summary())
    # The same report but for its clock: two renderings may straddle a second.
    clock = re.compile(r"^(Date|Time):( +)\S.*?(?=  |$)", re.M)
    assert clock.sub(r"\1:", pickle.loads(pickle.dumps(got)).summary()) == clock.sub(r"\1:", report)


def test_large_offsets_keep_their_digits_where_uncentred_sums_lose_them(client):
    offset = 1e6
    df = _data(n=20000, offset=offset, seed=5)
    got = of.ols("y ~ x1 + x2", _dask_frame(df, "8"))
    expected = of.ols("y ~ x1 + x2", df)
    slopes = slice(1, None)
    np.testing.assert_allclose(got.params[slopes], expected.params[slopes], rtol=1e-12 * offset)
    np.testing.assert_allclose(got.standard_errors, expected.standard_errors, rtol=1e-12 * offset)
    # The same data summed without centring, partition by partition, as a normal-equation solver merges it.
    x = np.column_stack([np.ones(len(df)), df.x1, df.x2])
    xtx = sum(x[p].T @ x[p] for p in np.array_split(np.arange(len(df)), 8))
    xty = sum(x[p].T @ df.y.to_numpy()[p] for p in np.array_split(np.arange(len(df)), 8))
    uncentred = np.linalg.solve(xtx, xty)
    assert abs(uncentred[1] / expected.params[1] - 1) > 1e3 * abs(got.params[1] / expected.params[1] - 1)


@pytest.mark.parametrize("fit, formula, kwargs", [
    (of.ols, "y ~ x1 + x2 + x3", {}), (of.wls, "y ~ x1 + x2 + x3", {"weights": "w"}),
    (of.ridge, "y ~ x1 + x2 + x3", {"alpha": 0.0}), (of.fe, "y ~ x1 + x3 | g", {}),
    (of.iv, "y ~ x1 + [e ~ x3]", {}), (of.tsls, "y ~ x1 + x3 + [e ~ z]", {})])
def test_a_collinear_design_raises_the_in_memory_error(client, fit, formula, kwargs):
    df = _data(seed=7)
    df["x3"] = 2.0 * df.x1 if "| g" not in formula else df.g * 0.5
    with pytest.raises((ValueError, RuntimeError)) as memory:
        fit(formula, df, **kwargs)
    with pytest.raises(type(memory.value)) as partitioned:
        fit(formula, _dask_frame(df, "7"), **kwargs)
    assert str(partitioned.value) == str(memory.value)


def test_missing_rows_are_dropped_and_infinite_values_refused_as_in_memory(client):
    df = _data(seed=9)
    df.loc[[3, 700, 2999], "x2"] = np.nan
    df.loc[5, "c"] = None
    got = of.ols("y ~ x1 + x2 + C(c)", _dask_frame(df, "uneven"))
    _same(got, of.ols("y ~ x1 + x2 + C(c)", df), 1e-12)
    assert got.dropped_rows == 4
    df.loc[1000, "x1"] = np.inf
    refused = re.escape("Input contains NaN or infinite values (fitting 'y ~ x1 + x2'; not finite: x1)")
    for data in (df, _dask_frame(df, "7")):
        with pytest.raises(ValueError, match=f"^{refused}$"):
            of.ols("y ~ x1 + x2", data)


@pytest.mark.parametrize("fit, formula", [(of.ols, "y ~ x1 + C(c)"), (of.fe, "y ~ x1 + x2 | g")])
def test_predict_is_lazy_and_equals_the_in_memory_predictions(client, fit, formula):
    df = _data(seed=11)
    ddf = _dask_frame(df, "7")
    predicted = fit(formula, ddf).predict(ddf)
    assert isinstance(predicted, dd.Series)
    np.testing.assert_allclose(predicted.compute().to_numpy(), fit(formula, df).predict(df).to_numpy(),
                               rtol=1e-11, atol=1e-11)


def test_the_local_scheduler_fits_without_a_client_and_prints_nothing(capsys):
    from dask.diagnostics import ProgressBar

    df = _data(seed=13)
    with dask.config.set(scheduler="threads"):
        got = of.ols("y ~ x1 + x2", _dask_frame(df, "7"), vcov="HC1")
        assert capsys.readouterr().out == ""
        with ProgressBar(minimum=0):
            of.ols("y ~ x1 + x2", _dask_frame(df, "7"))
        assert "100%" in capsys.readouterr().out
    _same(got, of.ols("y ~ x1 + x2", df, vcov="HC1"), 1e-12)


def _chunked(df: pd.DataFrame, layout: str):
    """One partition, or partitions of 512 rows with a partial last one."""
    ddf = dd.from_pandas(df, npartitions=1) if layout == "1" else dd.from_pandas(df, chunksize=512)
    assert ddf.npartitions == (1 if layout == "1" else -(-len(df) // 512))
    return ddf


def _unreadable(df: pd.DataFrame):
    """A dask frame whose every read fails: a refusal made before any pass is the only error it can give."""
    def read(_: int) -> pd.DataFrame:
        raise RuntimeError("a pass over the data was made")
    return dd.from_map(read, [0, 1, 2], meta=df.iloc[:0], enforce_metadata=False)


@pytest.mark.parametrize("formula, part", [
    ("y ~ I(x1 - x1.mean()) + x2", ".mean()"), ("y ~ I(x1 / x1.std())", ".std()"),
    ("y ~ I(x1 > x1.median()) + C(c)", ".median()"), ("np.log(y - y.min() + 1) ~ x1", ".min()"),
    ("y ~ I(x1.rank())", ".rank()"), ("y ~ I(x1.cumsum())", ".cumsum()"), ("y ~ I(x1.shift(1))", ".shift()"),
    ("y ~ np.mean(x1) + x2", "np.mean()"), ("y ~ standardize(x1)", "standardize()"), ("y ~ C(x1 > 3)", "C(x1 > 3)"),
    ("y ~ center(x1) + x2", "center()"), ("y ~ scale(x1)", "scale()"), ("y ~ lag(x1)", "lag()"),
    ("y ~ poly(x1, 2)", "poly()")])
def test_terms_not_known_to_work_row_by_row_are_refused_before_any_pass(formula, part):
    df = _data(n=1300)
    refused = f"needs the whole column at once, or is not known to work row by row: .*{re.escape(part)}.* is not offered"
    with pytest.raises(ValueError, match=f"{refused} on dask frames.* or fit the pandas frame in memory$"):
        of.ols(formula, _unreadable(df))


def _levels_data(case: str | None) -> pd.DataFrame:
    df = _data(n=1300, seed=19)
    df["v"] = df["x 1"] = df.x1
    if case == "own order":
        df["c"] = pd.Categorical(df.c, categories=["c", "a", "b"])
    elif case == "unused category":
        df["c"] = pd.Categorical(df.c, categories=["a", "b", "c", "d"])
    elif case == "level only where a term is missing":
        df.loc[df.c == "c", "v"] = -1.0
    elif case == "category only where a term is missing":
        df["c"] = pd.Categorical(df.c, categories=["c", "b", "a"])
        df.loc[df.c == "c", "v"] = -1.0
    return df


# Row-wise terms on plain data; then categoricals whose levels or categories are seen only on dropped
# rows, which make no column, in memory as on dask.
@pytest.mark.parametrize("layout", ["1", "512"])
@pytest.mark.parametrize("fit, formula, kwargs, case", [
    (of.ols, "np.log(y + 10) ~ I(x1 - 3) + np.sqrt(np.abs(x2)) + I(x1 ** 2) + x1:x2 + I(x2 > 0) + exp(x2 / 4)", {}, None),
    (of.ols, "y ~ Q('x 1') + I(`x 1` ** 2) + np.maximum(x2, 0) + C(c, contr.treatment('b')) + I((c == 'a') * x2)",
     {"vcov": "HC1"}, None),
    (of.ols, "y ~ I(c) + x2", {}, None),
    (of.tsls, "y ~ I(x2 * 2) + [e ~ I(z * 2) + np.sqrt(h)]", {}, None),
    (of.fe, "y ~ x2 + C(c) + I(x1 ** 2) | g", {}, None),
    *[(fit, formula, {}, case) for case in ("own order", "unused category", "level only where a term is missing",
                                            "category only where a term is missing")
      for fit, formula in [(of.ols, "y ~ x2 + C(c) + np.log(v)"), (of.fe, "y ~ x2 + C(c) + np.log(v) | h")]]],
    ids=lambda v: v if isinstance(v, str) else None)
def test_row_wise_terms_and_categorical_levels_equal_the_in_memory_fit(client, fit, formula, kwargs, case, layout):
    df = _levels_data(case)
    _same(fit(formula, _chunked(df, layout), **kwargs), fit(formula, df, **kwargs), 1e-12)


MISSING = "no rows left in data after dropping the 1300 rows with a missing value (missing per column: {})"
XY_MISSING = MISSING.format("'x1' (650), 'y' (650)")
TERM_MISSING = "no rows left after dropping those where a formula term is missing (1300 rows had every column present)"


@pytest.mark.parametrize("fit, formula, message", [
    (of.ols, "y ~ x1 + x2", XY_MISSING), (of.ols, "y ~ x1 + C(c)", MISSING.format("'c' (100), 'x1' (650), 'y' (650)")),
    (of.fe, "y ~ x1 + x2 | g", XY_MISSING), (of.ols, "y ~ np.log(x2 - 10) + C(c)", TERM_MISSING),
    (of.ols, "y ~ np.log(x2 - 10)", TERM_MISSING)])
def test_no_rows_left_gives_the_in_memory_message(client, fit, formula, message):
    df = _data(n=1300, seed=29)
    if "log" not in formula:
        df.loc[::2, "x1"] = np.nan
        df.loc[1::2, "y"] = np.nan
        df.loc[:99, "c"] = None
    for data in (df, _chunked(df, "512")):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            fit(formula, data)


def _near_collinear(n: int = 3400, seed: int = 21) -> pd.DataFrame:
    """x3 = x1 + 7e-8 noise, a scaled condition near 1e8, with weights spanning 1e-8..1e8."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": 3.0 + rng.normal(size=n), "x2": rng.normal(size=n), "z": rng.normal(size=n),
                       "h": rng.normal(size=n), "g": rng.integers(0, 30, n), "w": 10.0 ** rng.uniform(-8, 8, n)})
    df["x3"] = df.x1 + 7e-8 * rng.normal(size=n)
    df["e"] = df.z + 0.5 * df.h + 0.5 * rng.normal(size=n)
    df["y"] = 1.0 + 0.5 * df.x1 - df.x2 + df.x3 + df.e + rng.standard_t(5, size=n)
    return df


NEAR_COLLINEAR = {
    "ols": (of.ols, "y ~ x1 + x2 + x3", {}, ["x1", "x2", "x3"], None),
    "wls": (of.wls, "y ~ x1 + x2 + x3", {"weights": "w"}, ["x1", "x2", "x3"], None),
    "iv": (of.iv, "y ~ x1 + x3 + [e ~ z]", {}, ["x1", "x3", "e"], ["x1", "x3", "z"]),
    "tsls": (of.tsls, "y ~ x1 + x3 + [e ~ z + h]", {}, ["x1", "x3", "e"], ["x1", "x3", "z", "h"]),
}


@functools.cache
def _near_collinear_exact(model: str) -> dict[str, np.ndarray]:
    """iid, HC1 and CRV1 standard errors in exact arithmetic (a condition of 1e8, squared, would
    swamp a double oracle)."""
    df = _near_collinear()
    _, _, kwargs, x, z = NEAR_COLLINEAR[model]
    unit = np.column_stack([np.ones(len(df)), df[x]])
    assert 5e7 < np.linalg.cond(unit / np.linalg.norm(unit, axis=0)) < 2e8
    kinds = ("iid", "HC1", "CRV1")
    return dict(zip(kinds, exact.standard_errors(unit.T, df.y, kinds, df.g.tolist(), df.w if kwargs else None,
                                                 np.column_stack([np.ones(len(df)), df[z]]).T if z else None)))


# count 0: the in-memory fit of the same rows, against the same oracle.
@pytest.mark.parametrize("count", [0, 1, 2, 7])
@pytest.mark.parametrize("vcov", ["iid", "HC1", {"CRV1": "g"}], ids=str)
@pytest.mark.parametrize("model", list(NEAR_COLLINEAR))
def test_near_collinear_standard_errors_lose_digits_like_the_condition_not_its_square(client, model, vcov, count):
    # The intercept's variance 1/W + m'g^-1 m formed from an explicit g^-1 cancels ~cond^2 eps (1e-2
    # here); the sandwich's bread from the rounded merged R alone is ~cond eps off (7e-9).
    df = _near_collinear()
    fit, formula, kwargs, _, _ = NEAR_COLLINEAR[model]
    # count partitions, every one of 512 rows but the last, which takes the rest
    got = fit(formula, _dask_frame(df, [512 * i for i in range(count)] + [len(df)]) if count else df, vcov=vcov, **kwargs)
    want = _near_collinear_exact(model)[vcov if isinstance(vcov, str) else "CRV1"]
    np.testing.assert_allclose(got.standard_errors.to_numpy(), want, rtol=5e-9)


def test_partitions_whose_merged_gram_is_not_trusted_are_fitted_again_from_their_rows(client):
    # Each partition's x1, x2 are independent, so each takes its Gram's Cholesky factor; their means,
    # 1e4 apart on both, make the merged columns nearly collinear, which the fast moments cannot carry:
    # the fit makes its first pass again from the rows' QR. Against least squares in rational arithmetic.
    rng = np.random.default_rng(5)
    x = rng.normal(size=(2000, 2))
    x[1000:] += 1e4
    df = pd.DataFrame({"x1": x[:, 0], "x2": x[:, 1], "y": x @ [1.0, -2.0] + rng.normal(size=2000)})
    got = of.ols("y ~ x1 + x2", _dask_frame(df, "2"))
    want = [float(b) for b in exact.lstsq(np.column_stack([np.ones(2000), x]), df.y)[0]]
    np.testing.assert_allclose(got.params[1:], want[1:], rtol=1e-11)
    # The intercept is the means' (1e4) difference: to eps times them.
    assert got.params[0] == pytest.approx(want[0], abs=1e-10)
