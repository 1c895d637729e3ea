"""ordinata_frames' behaviour apart from the numbers: table kinds, missing rows,
errors, results that pickle and predict, the report, and the native module left alone."""

import dataclasses
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
of = pytest.importorskip("ordinata_frames")

import ordinata  # noqa: E402
from frames_data import grunfeld, mroz, random_problem  # noqa: E402

FITS = {
    "ols": lambda d: of.ols("y ~ x1 + I(x2**2) + C(region)", d, vcov="HC3"),
    "wls": lambda d: of.wls("y ~ x1 + x2:x1 + C(region)", d, weights="w", vcov={"CRV1": "firm + year"}),
    "tsls": lambda d: of.tsls("y ~ C(region) + [x1 ~ x2 + w]", d, vcov="HC1"),
    "fe": lambda d: of.fe("y ~ x1 + x2 | firm", d, vcov={"CRV1": "year"}),
}


def as_table(frame, kind):
    if kind == "pandas":
        return frame
    if kind == "dict":
        return {c: frame[c].to_numpy() for c in frame.columns}
    if kind == "polars":
        return pytest.importorskip("polars").from_pandas(frame)
    return pytest.importorskip("pyarrow").Table.from_pandas(frame, preserve_index=False)


@pytest.mark.parametrize("kind", ["polars", "pyarrow", "dict"])
@pytest.mark.parametrize("fit", list(FITS))
def test_table_kinds_give_bit_identical_results_and_leave_the_caller_frame_untouched(fit, kind):
    data = random_problem()
    before = data.copy(deep=True)
    reference = FITS[fit](data)
    pd.testing.assert_frame_equal(data, before)
    other = FITS[fit](as_table(data, kind))
    assert other.names == reference.names and other.dropped_rows == reference.dropped_rows
    assert np.array_equal(other.params, reference.params) and np.array_equal(other.cov, reference.cov)
    if fit == "tsls":
        assert other.first_stage.equals(reference.first_stage) and other.wu_hausman == reference.wu_hausman


def test_missing_rows_dropped_across_every_column_used():
    # (Cluster keys and columns no term reads: test_plain_columns_drop_missing_rows_and_refuse_infinite_ones.)
    data = random_problem()
    data.loc[10, "w"] = np.nan
    result = of.wls("y ~ x1 + C(region)", data, weights="w", vcov={"CRV1": "firm"})
    assert result.dropped_rows == 5 + 1
    # A transform's missing values drop their rows too (log of a negative).
    logged = of.ols("np.log(x1 + 3) ~ x2", data)
    assert logged.dropped_rows == int(data["x2"].isna().sum() + data["x1"].isna().sum() + (data["x1"] <= -3).sum())


@pytest.mark.parametrize("values, missing", [
    ([1.0, 2.0, 3.0], None),                                     # none: no mask
    ([1.0, np.nan, 3.0], [False, True, False]),
    ([1.7e308, 1.7e308, np.nan], [False, False, True]),          # a sum past the largest float
    ([1.7e308, 1.7e308, -1.0], [False, False, False]),
    ([np.inf, -np.inf, 2.0], [False, False, False]),             # infinities are refused elsewhere, not missing
])
def test_missing_values_found_in_float_columns(values, missing, recwarn):
    from ordinata_frames import _passes

    found = _passes._missing(pd.DataFrame({"a": values, "b": [1, 2, 3]}))
    assert (found is None and missing is None) or (found is not None and found.tolist() == missing) or \
        (found is not None and missing is None and not found.any())
    assert not recwarn.list


def test_formula_terms_and_intercept_rules():
    data = random_problem().dropna()
    assert of.ols("y ~ x1 * C(region)", data).names == (
        "Intercept", "x1", "C(region)[T.north]", "C(region)[T.south]", "C(region)[T.west]",
        "x1:C(region)[T.north]", "x1:C(region)[T.south]", "x1:C(region)[T.west]")
    for formula in ["y ~ x1 + x2 - 1", "y ~ 0 + x1 + x2"]:
        result = of.ols(formula, data)
        assert result.names == ("x1", "x2")
        np.testing.assert_allclose(result.coefficients, np.linalg.lstsq(data[["x1", "x2"]], data["y"])[0],
                                   rtol=1e-10)
    # fe: categorical terms lose a level to the entity effects, as with an intercept
    assert of.fe("y ~ x1 + C(region) | firm", data).names == (
        "x1", "C(region)[T.north]", "C(region)[T.south]", "C(region)[T.west]")


ERRORS = [
    (lambda d: of.ols("y ~ x1 + missing_one", d), ValueError, "column 'missing_one' is not in data"),
    (lambda d: of.ols("y ~ x1 + region", d), ValueError, r"column 'region' .* not numeric: write C\(region\)"),
    (lambda d: of.ols("region ~ x1", d), ValueError, "dependent variable 'region' is not numeric"),
    (lambda d: of.ols("y ~ x1", d.assign(one=1), vcov={"CRV1": "one"}), ValueError, "cluster column 'one' has 1 group"),
    (lambda d: of.ols("y ~ x1 + I(2 * x1)", d), RuntimeError, r"Matrix is singular \(fitting .*I\(2 \* x1\)"),
    (lambda d: of.ols("y ~ x1", d.assign(y=np.nan)), ValueError, r"no rows left .* 'y' \(400\)"),
    (lambda d: of.ols("y ~ np.log(x2)", d.assign(x2=0.0)), ValueError, "not finite: np.log"),
    (lambda d: of.ols("y ~ x1", d, vcov="HC4"), ValueError, "unknown covariance type 'HC4'"),
    (lambda d: of.ols("y ~ x1", d, vcov="CRV1"), ValueError, "CRV1 needs the cluster column"),
    (lambda d: of.fe("y ~ x1 | firm", d, vcov="HC3"), ValueError, "fe offers the covariance types"),
    (lambda d: of.fe("y ~ x1", d), ValueError, "names no entity"),
    (lambda d: of.iv("y ~ [x1 ~ x2 + w]", d), ValueError, "exactly identified models: 2 instruments"),
    (lambda d: of.tsls("y ~ x1 + x2", d), ValueError, r"one bracketed part"),
    (lambda d: of.ols("y ~ x1", list(d.columns)), TypeError, "pandas, polars or pyarrow table or a dict"),
    (lambda d: of.wls("y ~ x1", d, weights="region"), ValueError, "weights column 'region' is not numeric"),
    (lambda d: of.gls("y ~ x1", d, sigma=np.eye(3)), ValueError, r"sigma must be \(400, 400\)"),
    (lambda d: of.ols("y ~ 1", d), ValueError, "'y ~ 1' has no regressor besides the intercept"),
    (lambda d: of.ols("y ~ x1", pd.concat([d, d["x1"]], axis=1)), ValueError,
     r"more than one column named 'x1' \(2 columns\)"),
    # pandas would align these by label, a pairing by position would be silently wrong
    (lambda d: of.ols("y ~ x1", {"y": d["y"], "x1": d["x1"].sort_values()}), ValueError,
     "Series 'x1' and 'y' of data have different indexes"),
]


@pytest.mark.parametrize(("call", "error", "message"), ERRORS, ids=[e[2][:30] for e in ERRORS])
def test_errors_name_the_column_or_cause(call, error, message):
    with pytest.raises(error, match=message):
        call(random_problem())


def _unclocked(report: str) -> list[str]:
    """The report's lines from the time on, the clock blanked (two renderings may straddle a second)."""
    return [re.sub(r"^Time: +\d\d:\d\d:\d\d", "Time:", line) for line in report.split("\n")[6:]]


@pytest.mark.parametrize("fit", list(FITS))
def test_pickles_without_the_data_and_predicts(fit):
    data = random_problem(n=200_000, seed=3)
    result = FITS[fit](data)
    blob = pickle.dumps(result)
    assert len(blob) < 64 * 1024
    restored = pickle.loads(blob)
    new = data.dropna().iloc[:50]
    expected = restored.predict(new)
    pd.testing.assert_series_equal(result.predict(new), expected)
    assert _unclocked(restored.summary()) == _unclocked(result.summary())
    pd.testing.assert_frame_equal(restored.to_frame(), result.to_frame())


def test_predict_reapplies_the_formula():
    data = random_problem().dropna()
    result = of.ols("y ~ x1 + I(x2**2) + C(region)", data)
    # Levels in another order, and only some of them: the encoding is the fitted one.
    new = pd.DataFrame({"x1": [0.5, -1.0], "x2": [2.0, 1.0], "region": ["west", "east"]})
    b = result.coefficients
    np.testing.assert_allclose(result.predict(new), [b["Intercept"] + 0.5 * b["x1"] + 4 * b["I(x2 ** 2)"]
                                                     + b["C(region)[T.west]"], b["Intercept"] - b["x1"] + b["I(x2 ** 2)"]])
    with pytest.raises(ValueError, match="column 'region' of newdata has levels not seen in fitting: 'middle'"):
        result.predict(new.assign(region=["west", "middle"]))
    with pytest.raises(ValueError, match=r"missing values in column\(s\) \['x1'\]"):
        result.predict(new.assign(x1=[np.nan, 1.0]))


def test_fe_predict_adds_the_entity_effect():
    data = grunfeld()
    result = of.fe("inv ~ value + capital | firm", data)
    native = ordinata.FE()
    native.fit(data[["value", "capital"]].to_numpy(), data["inv"].to_numpy(), data["firm"].to_numpy())
    np.testing.assert_allclose(result.predict(data), native.predict(data[["value", "capital"]].to_numpy(),
                                                                    data["firm"].to_numpy()), rtol=1e-12)
    with pytest.raises(ValueError, match="entity column 'firm' of newdata has entities not seen in fitting: 99"):
        result.predict(data.iloc[:2].assign(firm=[1, 99]))


def test_iv_predicts_from_exogenous_and_endogenous_regressors():
    data = mroz().dropna(subset=["lwage"])
    result = of.tsls("lwage ~ exper + [educ ~ fatheduc + motheduc]", data)
    b = result.coefficients
    np.testing.assert_allclose(result.predict(data), b["Intercept"] + b["exper"] * data["exper"] + b["educ"] * data["educ"])


@pytest.mark.parametrize("pickled", [False, True])
def test_results_frozen_and_read_only(pickled):
    result = of.fe("y ~ x1 | firm", random_problem())
    if pickled:
        result = pickle.loads(pickle.dumps(result))
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.nobs = 3
    for array in (result.params, result.cov, result.predict_state.fixed_effects):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 1.0
    coefficients = result.coefficients
    coefficients.iloc[0] = 99.0
    assert result.params[0] != 99.0 and result.coefficients.iloc[0] != 99.0


def test_report_is_the_native_layout_with_names():
    data = random_problem().dropna()
    data = data.rename(columns={"x1": "years_of_schooling_completed"})
    result = of.ols("y ~ years_of_schooling_completed + x2", data, vcov={"CRV1": "firm"})
    native = ordinata.OLS()
    native.fit(data[["years_of_schooling_completed", "x2"]].to_numpy(), data["y"].to_numpy())
    ours, theirs = result.summary().split("\n"), native.summary().split("\n")
    assert len(ours) == len(theirs)
    for a, b in zip(ours, theirs):
        if b.startswith(("Date:", "Time:", "Covariance Type:", "const", "x1", "x2")):
            continue
        # The clustered fit's F is the Wald F under its covariance, in the native field.
        assert (a[:-12], len(a)) == (b[:-12], len(b)) if "F-statistic" in b else a == b
    rows = [line for line in ours if line.startswith(("Intercept", "years_of", "x2 "))]
    assert [r[:16] for r in rows] == ["Intercept       ", "years_of_schoo\u2026 ", "x2              "]
    # every field lands in the native row's columns
    native_row = next(line for line in theirs if line.startswith("x2 "))
    assert [m.end() for m in re.finditer(r"\S+", rows[2])] == [m.end() for m in re.finditer(r"\S+", native_row)]
    assert "Covariance Type:          CRV1: firm" in [line.rstrip() for line in ours]
    frame = result.to_frame()
    assert list(frame.columns) == ["estimate", "std_err", "t", "p", "lower", "upper"]
    assert rows[1].split()[1:] == [f"{frame.iloc[1, 0]:.4f}", *(f"{v:.3f}" for v in frame.iloc[1, 1:])]


def test_printing_nothing(capfd):
    data = random_problem()
    for fit in FITS.values():
        fit(data).summary()
    of.ols("y ~ np.log(x1)", data.assign(x1=data["x1"].abs() + 1))
    assert capfd.readouterr() == ("", "")


def test_native_module_imports_nothing_of_the_package():
    code = ("import sys, ordinata; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('pandas', 'ordinata_frames', 'narwhals', "
            "'formulaic')), sorted(n for n in dir(ordinata) if not n.startswith('__')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[] ['FE', 'GLS', 'IV', 'OLS', 'Ridge', 'TSLS', 'WLS']"


@pytest.mark.parametrize("fit", ["ols", "wls", "tsls", "fe"])
def test_blocks_with_a_partial_last_one_equal_the_one_block_fit(fit, monkeypatch):
    # 1,300 rows with missing values among them, in blocks of 512, 512 and 276 rows.
    from ordinata_frames import _pipeline

    data = random_problem(n=1300, seed=8)
    whole = FITS[fit](data)
    rows = 512
    monkeypatch.setattr(_pipeline.InMemory, "sized", lambda self, plan: setattr(self, "_rows", rows))
    blocked = FITS[fit](data)
    np.testing.assert_allclose(blocked.params, whole.params, rtol=1e-12)
    np.testing.assert_allclose(blocked.cov, whole.cov, rtol=1e-12, atol=1e-12 * np.abs(whole.cov).max())
    assert (blocked.nobs, blocked.dropped_rows, blocked.df_inference) == (whole.nobs, whole.dropped_rows,
                                                                           whole.df_inference)
    assert _unclocked(blocked.summary()) == _unclocked(whole.summary())


def test_a_registered_covariance_type_is_offered_and_used(monkeypatch):
    from ordinata_frames import _covariance

    class HC1Scaled(_covariance.HC0):
        # HC0 with the small-sample factor n / (n - k): statsmodels' HC1.
        def scale(self, n, df_k, sums):
            return n / (n - df_k)

    monkeypatch.setitem(_covariance.TYPES, "HC0n", HC1Scaled)
    sm = pytest.importorskip("statsmodels.formula.api")
    data = random_problem(n=300, seed=4).dropna()
    ours = of.ols("y ~ x1 + x2", data, vcov="HC0n")
    peer = sm.ols("y ~ x1 + x2", data).fit(cov_type="HC1")
    np.testing.assert_allclose(ours.cov, peer.cov_params().to_numpy(), rtol=1e-10)
    assert ours.vcov_type == "HC0n" and "HC0n" in ours.summary()
    with pytest.raises(ValueError, match="fe offers the covariance types"):
        of.fe("y ~ x1 | firm", data, vcov="HC0n")


@pytest.mark.parametrize("column, value", [("x1", np.nan), ("y", np.nan), ("g", np.nan), ("x2", np.inf)])
@pytest.mark.parametrize("vcov", ["iid", "HC1", {"CRV1": "g"}], ids=str)
def test_plain_columns_drop_missing_rows_and_refuse_infinite_ones(column, value, vcov):
    # Plain numeric terms are read as they are, their missing values found by the native pass:
    # a missing value anywhere drops its row, in the first pass and the second alike.
    rng = np.random.default_rng(7)
    n = 1300
    data = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n) + 1e6, "g": rng.integers(0, 40, n)})
    data["y"] = 1.0 + data["x1"] - 2.0 * (data["x2"] - 1e6) + rng.normal(size=n)
    data["g"] = data["g"].astype(float)
    data.loc[[5, 700, n - 1], column] = value
    if np.isinf(value):
        with pytest.raises(ValueError, match=r"NaN or infinite.*not finite: x2"):
            of.ols("y ~ x1 + x2", data, vcov=vcov)
        return
    ours = of.ols("y ~ x1 + x2", data, vcov=vcov)
    read = column != "g" or isinstance(vcov, dict)      # a column no term nor cluster reads drops nothing
    complete = (data.dropna() if read else data).reset_index(drop=True)
    assert ours.dropped_rows == n - len(complete) == (3 if read else 0)
    x = np.column_stack([np.ones(len(complete)), complete["x1"], complete["x2"] - 1e6])
    beta = np.linalg.lstsq(x, complete["y"], rcond=None)[0]
    np.testing.assert_allclose(ours.params, [beta[0] - 1e6 * beta[2], beta[1], beta[2]], rtol=1e-9)
    np.testing.assert_allclose(ours.standard_errors, of.ols("y ~ x1 + x2", complete, vcov=vcov).standard_errors,
                               rtol=1e-12)
