"""Tables and pictures of results: ETable cells against statsmodels', pyfixest's and
linearmodels' fits of the same models, etable's options and outputs, the notebook's
HTML and Markdown against the report, coefplot's and iplot's artists."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import warnings
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of
from frames_data import mroz
from ordinata_frames import _covariance

mt = pytest.importorskip("maketables")
pytest.importorskip("great_tables")

ROOT = Path(__file__).parents[1]
MROZ_OLS = "lwage ~ educ + exper + I(exper**2) + C(city)"
MROZ_TSLS = "lwage ~ exper + I(exper**2) + [educ ~ fatheduc + motheduc]"
# Every number a cell can hold, to more digits than the default table shows.
RICH = "b:.4f* \\n (se:.4f) \\n t:.3f p:.3f [ci95l:.4f, ci95u:.4f] [ci90l:.4f, ci90u:.4f]"


def panel(n: int = 1100, seed: int = 3) -> pd.DataFrame:
    """1,100 rows (two 512-row blocks and a partial one), 40 entities, an offset regressor."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"entity": rng.integers(0, 40, n), "x": 1e3 + rng.normal(size=n),
                          "t": rng.integers(-3, 4, n), "region": rng.choice(["east", "north", "west"], n)})
    frame["treated"] = (frame["entity"] % 2).astype(float)
    frame["y"] = (0.5 * frame["x"] + 0.1 * frame["entity"] + 0.3 * frame["t"] * frame["treated"]
                  + (frame["region"] == "west") + rng.normal(size=n) * (1 + (frame["entity"] % 3)))
    return frame


def _peer(package, fit):
    """A peer's fit, skipped without the package (and pyfixest's under the sanitizer)."""
    if package == "pyfixest" and os.environ.get("ORDINATA_SANITIZED"):
        pytest.skip("pyfixest's numba compilation is left out of the sanitizer runs")
    module = pytest.importorskip(package)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(module)


FE2 = "y ~ x | entity + t"                # two absorbed factors
PF_FE = lambda: _peer("pyfixest", lambda pf: pf.feols("y ~ x | entity", panel(), vcov={"CRV1": "entity"}))
PF_TSLS = lambda vcov: lambda: _peer("pyfixest", lambda pf: pf.feols(
    "lwage ~ exper + I(exper**2) | educ ~ fatheduc + motheduc", mroz().dropna(subset=["lwage"]), vcov=vcov))
# (ours, the peer's fit of the same model, the statistics rows); the robust first-stage
# F is the Wald statistic over the two excluded instruments.
CASES = {
    "ols-HC1-statsmodels": (lambda: of.ols(MROZ_OLS, mroz(), vcov="HC1"), lambda: _peer(
        "statsmodels.formula.api", lambda smf: smf.ols(MROZ_OLS, mroz()).fit(cov_type="HC1", use_t=True)),
        ["N", "r2", "adj_r2", "fvalue", "f_pvalue", "df_resid", "df_model", "se_type"]),
    "fe-CRV1-pyfixest": (lambda: of.fe("y ~ x | entity", panel(), vcov={"CRV1": "entity"}), PF_FE,
                         ["N", "r2", "adj_r2", "r2_within", "se_type", "n_clusters"]),
    "fe-absorbed-pyfixest": (lambda: of.fe(FE2, panel(), vcov={"CRV1": "entity"}), lambda: _peer(
        "pyfixest", lambda pf: pf.feols(FE2, panel(), vcov={"CRV1": "entity"}, fixef_rm="none")),
        ["N", "r2", "adj_r2", "r2_within", "se_type", "n_clusters"]),
    "tsls-linearmodels": (lambda: of.tsls(MROZ_TSLS, mroz()), lambda: _peer("linearmodels.iv", lambda lm: (
        lm.IV2SLS.from_formula(MROZ_TSLS.replace("~ ", "~ 1 + ", 1), mroz().dropna(subset=["lwage"]))
        .fit(cov_type="unadjusted", debiased=True))), ["N", "r2", "adj_r2", "fvalue", "f_pvalue"]),
    "tsls-pyfixest": (lambda: of.tsls(MROZ_TSLS, mroz()), PF_TSLS("iid"), ["N", "se_type", "f_statistic"]),
    "tsls-HC1-pyfixest": (lambda: of.tsls(MROZ_TSLS, mroz(), vcov="HC1"), PF_TSLS("hetero"), ["N", "f_statistic"]),
}


@pytest.mark.parametrize("case", list(CASES))
def test_etable_equals_the_peers_table_cell_for_cell(case):
    ours, peer, stats = CASES[case]
    # pyfixest's extractor carries no 90% interval.
    fmt = RICH if "pyfixest" not in case else RICH.rsplit(" [", 1)[0]
    mine, theirs = (mt.ETable([fit()], model_stats=stats, coef_fmt=fmt).df for fit in (ours, peer))
    assert sorted(mine.index) == sorted(theirs.index)     # patsy puts categorical terms first
    if case == "fe-absorbed-pyfixest":
        # maketables matches pyfixest's "entity + t" against the names without their spaces: its
        # rows of several effects read "-"; ours mark each absorbed factor.
        assert (mine.loc["fe"] == "x").all().all()
        mine, theirs = mine.drop(index="fe"), theirs.drop(index="fe")
    pd.testing.assert_frame_equal(mine.astype(str), theirs.loc[mine.index].astype(str))
    assert "-" not in mine.loc["stats"].to_numpy().ravel().tolist()


def test_a_table_mixing_ordinata_and_pyfixest_fits_renders():
    data = panel()
    models = [of.ols("y ~ x", data, vcov="HC1"), PF_FE(), of.fe("y ~ x | entity", data, vcov={"CRV1": "entity"})]
    frame = mt.ETable(models).df
    assert frame.loc[("fe", "entity")].tolist() == ["-", "x", "x"]
    assert frame.loc[("stats", "S.E. type")].tolist() == ["HC1", "by: entity", "by: entity"]
    assert all(frame.loc[row].iloc[1] == frame.loc[row].iloc[2] for row in (("coef", "x"), ("stats", "Within R²")))
    assert all("by: entity" in of.etable(models, type=kind) for kind in ("tex", "html"))


def test_variable_labels_of_the_frame_name_the_rows_and_the_header():
    data = mroz()
    data.attrs["variable_labels"] = {"educ": "Education", "lwage": "log wage", "city": "City", "unused": "-"}
    result = of.ols(MROZ_OLS, data)
    assert result.__maketables_var_labels__ == {"educ": "Education", "lwage": "log wage", "city": "City"}
    frame = of.etable(result, type="df")
    assert {"Education", "City=1"} <= set(frame.loc["coef"].index) and frame.columns[0][0] == "log wage"
    assert of.ols(MROZ_OLS, mroz()).__maketables_var_labels__ is None


# One result: its statistics by key, its HTML and Markdown, all against its report.

FITS = {
    "ols": lambda d: of.ols("y ~ x + C(region)", d),
    "ols-HC3": lambda d: of.ols("y ~ x + C(region)", d, vcov="HC3"),
    "wls": lambda d: of.wls("y ~ x", d.assign(w=1.0 + d["t"] ** 2), weights="w"),
    "ridge": lambda d: of.ridge("y ~ x + t", d, alpha=3.0),
    "gls": lambda d: of.gls("y ~ x", d.iloc[:300], sigma=np.eye(300) * (1 + np.arange(300) % 4)),
    "iv": lambda d: of.iv("y ~ t + [x ~ treated]", d),
    "tsls-CRV1": lambda d: of.tsls("y ~ [x ~ treated + t]", d, vcov={"CRV1": "entity"}),
    "fe": lambda d: of.fe("y ~ x + t | entity", d, vcov="HC1"),
    "fe-two-way": lambda d: of.fe("y ~ x + t | entity", d, vcov={"CRV1": "entity + region"}),
}
KEYS = {"N": "No. Observations", "df_resid": "Df Residuals", "r2": "R-squared", "adj_r2": "Adj. R-squared",
        "fvalue": "F-statistic", "r2_within": "Within R-squared"}


@pytest.fixture(scope="module")
def fitted():
    data = panel()
    return {name: fit(data) for name, fit in FITS.items()}


def _cells(text: str) -> list[str]:
    """The cells' text of markup that parses strictly (every element closed in order)."""
    return ["".join(cell.itertext()).strip() for cell in ET.fromstring(text).iter() if cell.tag in ("td", "th")]


@pytest.mark.parametrize("name", list(FITS))
def test_statistics_html_and_markdown_are_the_reports_figures(fitted, name):
    result = fitted[name]
    stat, text = result.__maketables_stat__, result.summary()
    printed = dict(re.findall(rf"({'|'.join(map(re.escape, KEYS.values()))}):\s+(\S+)", text))
    mine = {label: str(value) if key in ("N", "df_resid") else f"{value:.3f}"
            for key, label in KEYS.items() if (value := stat(key)) is not None}
    assert mine == printed and stat("no such key") is None
    request = _covariance.VcovRequest.from_label(re.search(r"Covariance Type:\s+(.*\S)", text).group(1))
    assert result.__maketables_vcov_info__ == {"vcov_type": request.kind, "clustervar": list(request.clusters) or None}
    assert stat("se_type") == ("by: " + "+".join(request.clusters) if request.clusters else request.kind)
    assert (stat("fstat_1st") is None) == (result.first_stage is None)
    assert result.__maketables_fixef_string__ == ("entity" if name.startswith("fe") else None)
    # The coefficient rows of the report, as the notebook shows them.
    lines = text.split("\n")
    at = lines.index("-" * 78)
    numbers = [line.rsplit(None, 6)[1:] for line in lines[at + 1:lines.index("=" * 78, at)]]
    cells = _cells(result._repr_html_())
    assert cells[:7] == ["", "coef", "std err", "t", "P>|t|", "[0.025", "0.975]"]
    assert [cells[i:i + 7] for i in range(7, 7 + 7 * len(numbers), 7)] == [[n, *r] for n, r in zip(result.names, numbers)]
    shown = dict(zip(cells[7 + 7 * len(numbers)::2], cells[8 + 7 * len(numbers)::2]))
    assert shown["Covariance Type"] == result.vcov_type and shown["Observations"] == str(result.nobs)
    assert all(" | ".join(row) in result._repr_markdown_() for row in numbers)


def test_names_are_escaped_in_html_and_markdown():
    result = of.ols("y ~ `a<b>&c` + x", panel().assign(**{"a<b>&c": np.arange(1100) % 7 * 1.0}))
    assert "a<b>&c" in _cells(result._repr_html_()) and r"a\<b\>&c" in result._repr_markdown_()
    assert "a&lt;b&gt;&amp;c" in of.etable(result, type="html")


# etable's options and output types.

@pytest.fixture(scope="module")
def mroz_models():
    data = mroz()
    return [of.ols(MROZ_OLS, data, vcov="HC1"), of.iv("lwage ~ [educ ~ fatheduc]", data), of.tsls(MROZ_TSLS, data)]


@pytest.mark.parametrize(("options", "expected"), [
    ({}, lambda r: f"({r.standard_errors['educ']:.3f})"),
    ({"statistic": "t", "digits": 2}, lambda r: f"({r.t_statistics['educ']:.2f})"),
    ({"statistic": "p", "digits": 4}, lambda r: f"({r.p_values['educ']:.4f})"),
    # The 95% interval is in the stored LaTeX table.
    ({"statistic": "interval", "level": 0.90}, lambda r: "[{:.3f}, {:.3f}]".format(*r.confidence_intervals(0.1).loc["educ"])),
])
def test_statistic_under_the_estimate(mroz_models, options, expected):
    cells = of.etable(mroz_models, type="df", **options).loc[("coef", "educ")].tolist()
    assert [c.split("\n")[1].strip() for c in cells] == [expected(r) for r in mroz_models]


def test_stars_keep_drop_heads_and_stats(mroz_models):
    frame = of.etable(mroz_models, type="df", keep=["exper", "educ"], drop=r"\*\*", heads=["OLS", "IV", "2SLS"],
                      stats=["N", "fstat_1st"], stat_labels={"N": "n"}, signif=[0.001, 0.01, 0.5])
    assert list(frame.loc["coef"].index) == ["exper", "educ"] and [c[1] for c in frame.columns] == ["OLS", "IV", "2SLS"]
    assert list(frame.loc["stats"].index) == ["n", "First-stage F"]
    first = [f"{r.first_stage['f_stat'].iloc[0]:.3f}" for r in mroz_models[1:]]
    assert frame.loc[("stats", "First-stage F")].tolist() == ["-", *first]
    # p of educ in the OLS is below 0.001, of exper between 0.001 and 0.01.
    assert [frame.loc[("coef", t)].iloc[0].split("\n")[0].strip() for t in ("educ", "exper")] == \
        [f"{mroz_models[0].coefficients['educ']:.3f}***", f"{mroz_models[0].coefficients['exper']:.3f}**"]
    assert "*" not in "".join(of.etable(mroz_models, type="df", stars=False).loc["coef"].to_numpy().ravel())
    named = of.etable(dict(zip(["a", "b", "c"], mroz_models)), type="df")
    assert [c[1] for c in named.columns] == ["a", "b", "c"]
    pd.testing.assert_frame_equal(named.droplevel(1, axis=1), of.etable(mroz_models, type="df"))
    assert of.etable(mroz_models, type="df", options={"cat_template": "{value}"}).loc["coef"].index[-2] == "1"


@pytest.mark.parametrize(("call", "error"), [
    (lambda m: of.etable(m, statistic="ci"), "statistic must be"),
    (lambda m: of.etable(m, statistic="interval", level=0.99), "level must be 0.95 or 0.90"),
    (lambda m: of.etable(m, digits=-1), "digits must be"),
    (lambda m: of.etable(m, keep="educ("), "not a regular expression"),
    (lambda m: of.etable(m, type="pdf"), "type must be one of"),
    (lambda m: of.etable(m, model_stats=["N"]), "unknown option"),
    (lambda m: of.etable(m, options={"keep": ["educ"]}), "etable's own options"),
    (lambda m: of.coefplot(m[0], keep="nothing"), "leave none of the terms"),
    (lambda m: of.coefplot(m[0], alpha=1.5), "alpha must be"),
    (lambda m: of.iplot(of.ols("lwage ~ C(city) + C(kidslt6)", mroz()), "C(year)"),
     r"no coefficient is a level of 'C\(year\)': the categorical terms are C\(city\), C\(kidslt6\)$"),
])
def test_bad_calls_are_refused(mroz_models, call, error):
    with pytest.raises((ValueError, TypeError), match=error):
        call(mroz_models)


def test_markdown_holds_the_cells_and_latex_is_the_stored_table(mroz_models):
    lines = of.etable(mroz_models, type="md", caption="Mroz | wages").split("\n")
    frame = of.etable(mroz_models, type="df")
    rows = [line for line in lines if line.startswith("| ")][2:]
    assert lines[0] == r"Mroz \| wages" and len(rows) == len(frame)
    for line, (key, cells) in zip(rows, frame.iterrows()):
        parsed = [re.sub(r"\\(.)", r"\1", c.strip().replace("<br>", "\n")) for c in re.split(r"(?<!\\)\|", line)[1:-1]]
        assert parsed == [key[1], *["\n".join(p.strip() for p in c.split("\n")) for c in cells]]
    assert of.etable(mroz_models, type="tex", heads=["OLS", "IV", "2SLS"], statistic="interval",
                     stats=["N", "r2", "fstat_1st", "se_type"]) == (ROOT / "tests/data/tables/mroz.tex").read_text()


# Pictures.

@pytest.fixture
def plt():
    pytest.importorskip("matplotlib").use("Agg")
    import matplotlib.pyplot as pyplot

    yield pyplot
    pyplot.close("all")


def _by_gid(ax):
    return {a.get_gid(): a for a in [*ax.get_lines(), *ax.collections]}


def _ends(bars, axis):
    return np.array([[s[0][axis], s[1][axis]] for s in bars.get_segments()])


@pytest.mark.parametrize("orientation", ["horizontal", "vertical"])
@pytest.mark.parametrize("alpha", [0.05, 0.1])
def test_coefplot_draws_the_estimates_and_interval_ends(plt, fitted, orientation, alpha):
    models = {"OLS": fitted["ols"], "FE": fitted["fe"]}
    ax = of.coefplot(models, alpha=alpha, drop="Intercept", orientation=orientation)
    terms = ["x", "C(region)[T.north]", "C(region)[T.west]", "t"]
    axis = 0 if orientation == "horizontal" else 1
    assert [t.get_text() for t in (ax.get_xticklabels, ax.get_yticklabels)[1 - axis]()] == terms
    artists = _by_gid(ax)
    for j, (name, result) in enumerate(models.items()):
        present = [t for t in terms if t in result.names]
        line = artists[f"estimate:{name}"]
        values, at = (line.get_xdata(), line.get_ydata())[::1 - 2 * axis]
        np.testing.assert_array_equal(values, result.coefficients[present].to_numpy())
        np.testing.assert_allclose(at, [terms.index(t) + (j - 0.5) * 0.35 for t in present], rtol=1e-15)
        np.testing.assert_array_equal(_ends(artists[f"interval:{name}"], axis),
                                      result.confidence_intervals(alpha).loc[present, ["lower", "upper"]].to_numpy())
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["OLS", "FE"]
    _, given = plt.subplots()
    assert of.coefplot(fitted["ols"], keep=r"^C\(region\)", ax=given) is given and given.get_legend() is None
    assert [t.get_text() for t in given.get_yticklabels()] == ["C(region)[T.north]", "C(region)[T.west]"]


@pytest.mark.parametrize(("formula", "term", "reference", "levels"), [
    ("y ~ x + C(t)", "C(t)", -3, [-2, -1, 0, 1, 2, 3]),
    ("y ~ x + C(t, Treatment(reference=-1))", "C(t, Treatment(reference=-1))", -1, [-3, -2, 0, 1, 2, 3]),
    ("y ~ treated + C(t, Treatment(reference=-1)):treated", "C(t, Treatment(reference = -1)):treated", -1,
     [-3, -2, 0, 1, 2, 3]),
    ("y ~ x + C(region, Treatment(reference='north'))", "C(region, Treatment(reference='north'))", "north",
     ["east", "west"]),
])
def test_iplot_draws_the_levels_and_the_reference_at_zero(plt, formula, term, reference, levels):
    result = of.ols(formula, panel(), vcov="HC1")
    artists = _by_gid(ax := of.iplot(result, term, alpha=0.1))
    names = [n for n in result.names if n not in ("Intercept", "x", "treated")]
    order = sorted([*levels, reference])
    position = (lambda v: float(v)) if isinstance(reference, int) else (lambda v: float(order.index(v)))
    np.testing.assert_array_equal(artists["estimate"].get_xdata(), [position(v) for v in levels])
    np.testing.assert_array_equal(artists["estimate"].get_ydata(), result.coefficients[names].to_numpy())
    np.testing.assert_array_equal(_ends(artists["interval"], 1),
                                  result.confidence_intervals(0.1).loc[names, ["lower", "upper"]].to_numpy())
    assert artists["reference"].get_xydata().tolist() == [[position(reference), 0.0]]
    if isinstance(reference, str):
        assert [t.get_text() for t in ax.get_xticklabels()] == order


# What is imported, and when.

@pytest.mark.parametrize(("hidden", "call", "says"), [
    ("", "print(sorted(m for m in sys.modules if m.split('.')[0] in ('maketables', 'matplotlib', 'great_tables')))",
     "[]"),
    ("maketables", "of.etable(r)", "pip install 'ordinata[tables]'"),
    ("great_tables", "of.etable(r, type='df')", "pip install 'ordinata[tables]'"),
    ("matplotlib", "of.coefplot(r)", "pip install 'ordinata[plots]'"),
    ("matplotlib", "of.iplot(r, 'C(g)')", "pip install 'ordinata[plots]'"),
])
def test_the_extras_are_imported_on_use_and_named_when_missing(hidden, call, says):
    code = (f"import sys; sys.modules[{hidden!r}] = None\n" if hidden else "import sys\n") + (
        "import ordinata_frames as of, numpy as np\n"
        "r = of.ols('y ~ x + C(g)', {'y': np.arange(9.0) ** 2, 'x': np.arange(9.0), 'g': np.arange(9) % 3})\n"
        f"try:\n    {call}\nexcept ImportError as e:\n    print(e)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "MPLBACKEND": "Agg"})
    assert done.stdout.rstrip().endswith(says), done.stderr
