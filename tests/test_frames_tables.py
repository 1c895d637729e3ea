"""Results in regression tables and pictures: maketables.ETable over ordinata_frames
results equals, cell for cell, the same table over the same models fitted by
statsmodels, pyfixest and linearmodels; etable's options and output types; the
notebook's HTML and Markdown against the text report; coefplot's and iplot's
artists against the estimates and intervals."""

from __future__ import annotations

import html.parser
import os
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of
from frames_data import mroz
from ordinata_frames import _covariance

mt = pytest.importorskip("maketables")
pytest.importorskip("great_tables")

DATA = Path(__file__).parent / "data" / "tables"
MROZ_OLS = "lwage ~ educ + exper + I(exper**2) + C(city)"
MROZ_IV = "lwage ~ [educ ~ fatheduc]"
MROZ_TSLS = "lwage ~ exper + I(exper**2) + [educ ~ fatheduc + motheduc]"
# Every number a cell can hold, to more digits than the default table shows.
RICH = "b:.4f* \\n (se:.4f) \\n t:.3f p:.3f [ci95l:.4f, ci95u:.4f]"


def panel(n: int = 1100, seed: int = 3) -> pd.DataFrame:
    """1,100 rows (two 512-row blocks and a partial one), 40 entities, an offset regressor."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"entity": rng.integers(0, 40, n), "x": 1e3 + rng.normal(size=n),
                          "t": rng.integers(-3, 4, n), "region": rng.choice(["east", "north", "west"], n)})
    frame["treated"] = (frame["entity"] % 2).astype(float)
    frame["y"] = (0.5 * frame["x"] + 0.1 * frame["entity"] + 0.3 * frame["t"] * frame["treated"]
                  + (frame["region"] == "west") + rng.normal(size=n) * (1 + (frame["entity"] % 3)))
    return frame


def _quiet(fit):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit()


def _pyfixest():
    if os.environ.get("ORDINATA_SANITIZED"):
        pytest.skip("pyfixest's numba compilation is left out of the sanitizer runs")
    return pytest.importorskip("pyfixest")


def _statsmodels_hc1():
    smf = pytest.importorskip("statsmodels.formula.api")
    return smf.ols(MROZ_OLS, mroz()).fit(cov_type="HC1", use_t=True)


def _linearmodels_tsls():
    iv2sls = pytest.importorskip("linearmodels.iv").IV2SLS
    formula = MROZ_TSLS.replace("~ ", "~ 1 + ", 1)
    return _quiet(lambda: iv2sls.from_formula(formula, mroz().dropna(subset=["lwage"])).fit(
        cov_type="unadjusted", debiased=True))


def _pyfixest_fe():
    return _quiet(lambda: _pyfixest().feols("y ~ x | entity", panel(), vcov={"CRV1": "entity"}))


def _pyfixest_tsls(vcov):
    formula = "lwage ~ exper + I(exper**2) | educ ~ fatheduc + motheduc"
    return lambda: _quiet(lambda: _pyfixest().feols(formula, mroz().dropna(subset=["lwage"]), vcov=vcov))


# (ours, the peer's fit of the same model, the statistics rows, the cell format)
CASES = {
    "ols-HC1-statsmodels": (lambda: of.ols(MROZ_OLS, mroz(), vcov="HC1"), _statsmodels_hc1,
                            ["N", "r2", "adj_r2", "fvalue", "f_pvalue", "df_resid", "df_model", "se_type"],
                            RICH + " [ci90l:.4f, ci90u:.4f]"),
    "fe-CRV1-pyfixest": (lambda: of.fe("y ~ x | entity", panel(), vcov={"CRV1": "entity"}), _pyfixest_fe,
                         ["N", "r2", "adj_r2", "r2_within", "se_type", "n_clusters"], RICH),
    "tsls-linearmodels": (lambda: of.tsls(MROZ_TSLS, mroz()), _linearmodels_tsls,
                          ["N", "r2", "adj_r2", "fvalue", "f_pvalue"], RICH + " [ci90l:.4f, ci90u:.4f]"),
    "tsls-pyfixest": (lambda: of.tsls(MROZ_TSLS, mroz()), _pyfixest_tsls("iid"), ["N", "se_type", "f_statistic"],
                      RICH),
    # The robust first-stage F: the Wald statistic over the two excluded instruments.
    "tsls-HC1-pyfixest": (lambda: of.tsls(MROZ_TSLS, mroz(), vcov="HC1"), _pyfixest_tsls("hetero"),
                          ["N", "f_statistic"], RICH),
}


@pytest.mark.parametrize("case", list(CASES))
def test_etable_equals_the_peers_table_cell_for_cell(case):
    ours, peer, stats, fmt = CASES[case]
    mine = mt.ETable([ours()], model_stats=stats, coef_fmt=fmt).df
    theirs = mt.ETable([peer()], model_stats=stats, coef_fmt=fmt).df
    # The peers may order the terms otherwise (patsy puts categorical terms first).
    assert sorted(mine.index) == sorted(theirs.index)
    pd.testing.assert_frame_equal(mine.astype(str), theirs.loc[mine.index].astype(str))
    assert mine.loc["stats"].to_numpy().ravel().tolist().count("-") == 0


def test_a_table_mixing_ordinata_and_pyfixest_fits_renders():
    data = panel()
    ours_ols = of.ols("y ~ x", data, vcov="HC1")
    ours_fe = of.fe("y ~ x | entity", data, vcov={"CRV1": "entity"})
    table = mt.ETable([ours_ols, _pyfixest_fe(), ours_fe])
    frame = table.df
    assert frame.loc[("fe", "entity")].tolist() == ["-", "x", "x"]
    assert frame.loc[("coef", "x")].iloc[1] == frame.loc[("coef", "x")].iloc[2]
    assert frame.loc[("stats", "S.E. type")].tolist() == ["HC1", "by: entity", "by: entity"]
    assert frame.loc[("stats", "Within R²")].tolist()[1:] == [frame.loc[("stats", "Within R²")].iloc[2]] * 2
    for kind in ("tex", "html"):
        assert "by: entity" in of.etable([ours_ols, _pyfixest_fe(), ours_fe], type=kind)


def test_variable_labels_of_the_frame_name_the_rows_and_the_header():
    data = mroz()
    data.attrs["variable_labels"] = {"educ": "Education", "lwage": "log wage", "city": "City", "unused": "-"}
    result = of.ols(MROZ_OLS, data)
    assert result.__maketables_var_labels__ == {"educ": "Education", "lwage": "log wage", "city": "City"}
    frame = of.etable(result, type="df")
    assert {"Education", "City=1"} <= set(frame.loc["coef"].index)
    assert frame.columns[0][0] == "log wage"
    assert of.ols(MROZ_OLS, mroz()).__maketables_var_labels__ is None


# ---------------------------------------------------------------------------
# The statistics by key.

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


def _report_figures(text: str) -> dict[str, str]:
    """Label -> text of the report's header figures."""
    found = dict(re.findall(r"(R-squared|Adj\. R-squared|F-statistic|Within R-squared|No\. Observations|"
                            r"Df Residuals):\s+(\S+)", text))
    found["Covariance Type"] = re.search(r"Covariance Type:\s+(.*\S)", text).group(1)
    return found


@pytest.fixture(scope="module")
def fitted():
    data = panel()
    return {name: fit(data) for name, fit in FITS.items()}


@pytest.mark.parametrize("name", list(FITS))
def test_statistics_are_the_reports_figures(fitted, name):
    result = fitted[name]
    stat = result.__maketables_stat__
    printed = _report_figures(result.summary())
    assert stat("N") == int(printed["No. Observations"]) and stat("df_resid") == int(printed["Df Residuals"])
    assert f"{stat('r2'):.3f}" == printed["R-squared"] and f"{stat('adj_r2'):.3f}" == printed["Adj. R-squared"]
    assert f"{stat('fvalue'):.3f}" == printed["F-statistic"]
    assert (stat("r2_within") is None) == ("Within R-squared" not in printed)
    if stat("r2_within") is not None:
        assert f"{stat('r2_within'):.3f}" == printed["Within R-squared"]
    assert stat("no such key") is None
    request = _covariance.VcovRequest.from_label(printed["Covariance Type"])
    info = result.__maketables_vcov_info__
    assert info == {"vcov_type": request.kind, "clustervar": list(request.clusters) or None}
    assert stat("se_type") == ("by: " + "+".join(request.clusters) if request.clusters else request.kind)
    assert (stat("fstat_1st") is None) == (result.first_stage is None)
    assert result.__maketables_fixef_string__ == ("entity" if name.startswith("fe") else None)


@pytest.mark.parametrize("label", ["nonrobust", "HC3", "CRV1: firm", "CRV1: firm + year", "CRV1: a: b", "robust",
                                   "CRV1", "HC1: firm"])
def test_covariance_labels_read_back_and_no_other_text_does(label):
    if label in ("robust", "CRV1", "HC1: firm"):
        with pytest.raises(ValueError, match="not a covariance type's label"):
            _covariance.VcovRequest.from_label(label)
    else:
        assert _covariance.VcovRequest.from_label(label).label == label


# ---------------------------------------------------------------------------
# etable's options and output types.

@pytest.fixture(scope="module")
def mroz_models():
    data = mroz()
    return [of.ols(MROZ_OLS, data, vcov="HC1"), of.iv(MROZ_IV, data), of.tsls(MROZ_TSLS, data)]


def _second_line(cell: str) -> str:
    return cell.split("\n")[1].strip()


@pytest.mark.parametrize(("options", "expected"), [
    ({}, lambda r: f"({r.standard_errors['educ']:.3f})"),
    ({"statistic": "t", "digits": 2}, lambda r: f"({r.t_statistics['educ']:.2f})"),
    ({"statistic": "p", "digits": 4}, lambda r: f"({r.p_values['educ']:.4f})"),
    ({"statistic": "interval"}, lambda r: "[{:.3f}, {:.3f}]".format(*r.confidence_intervals(0.05).loc["educ"])),
    ({"statistic": "interval", "level": 0.90},
     lambda r: "[{:.3f}, {:.3f}]".format(*r.confidence_intervals(0.10).loc["educ"])),
])
def test_statistic_under_the_estimate(mroz_models, options, expected):
    frame = of.etable(mroz_models, type="df", **options)
    cells = frame.loc[("coef", "educ")].tolist()
    assert [_second_line(c) for c in cells] == [expected(r) for r in mroz_models]


def test_stars_keep_drop_heads_stats_and_notes(mroz_models):
    ols = mroz_models[0]
    frame = of.etable(mroz_models, type="df", keep=["exper", "educ"], drop=r"\*\*", heads=["OLS", "IV", "2SLS"],
                      stats=["N", "fstat_1st"], stat_labels={"N": "n"}, signif=[0.001, 0.01, 0.5])
    assert list(frame.loc["coef"].index) == ["exper", "educ"]
    assert [c[1] for c in frame.columns] == ["OLS", "IV", "2SLS"]
    assert list(frame.loc["stats"].index) == ["n", "First-stage F"]
    first = [f"{r.first_stage['f_stat'].iloc[0]:.3f}" for r in mroz_models[1:]]
    assert frame.loc[("stats", "First-stage F")].tolist() == ["-", *first]
    # p of educ in the OLS is below 0.001, of exper between 0.001 and 0.01.
    assert frame.loc[("coef", "educ")].iloc[0].split("\n")[0].strip() == f"{ols.coefficients['educ']:.3f}***"
    assert frame.loc[("coef", "exper")].iloc[0].split("\n")[0].strip() == f"{ols.coefficients['exper']:.3f}**"
    plain = of.etable(mroz_models, type="df", stars=False, notes="By hand.")
    assert "*" not in "".join(plain.loc["coef"].to_numpy().ravel())
    assert of.etable(mroz_models, stars=False, notes="By hand.").notes == "By hand."
    named = of.etable(dict(zip(["a", "b", "c"], mroz_models)), type="df")
    assert [c[1] for c in named.columns] == ["a", "b", "c"]
    pd.testing.assert_frame_equal(named.droplevel(1, axis=1), of.etable(mroz_models, type="df"))
    assert of.etable(mroz_models, type="df", options={"cat_template": "{value}"}).loc["coef"].index[-2] == "1"


@pytest.mark.parametrize(("options", "error"), [
    ({"statistic": "ci"}, "statistic must be"),
    ({"statistic": "interval", "level": 0.99}, "level must be 0.95 or 0.90"),
    ({"digits": -1}, "digits must be"),
    ({"keep": "educ("}, "not a regular expression"),
    ({"type": "pdf"}, "type must be one of"),
    ({"model_stats": ["N"]}, "unknown option"),
    ({"options": {"keep": ["educ"]}}, "etable's own options"),
])
def test_bad_options_are_refused(mroz_models, options, error):
    with pytest.raises((ValueError, TypeError), match=error):
        of.etable(mroz_models, **options)


def _unescape_markdown(text: str) -> str:
    return re.sub(r"\\(.)", r"\1", text.replace("<br>", "\n"))


def test_markdown_holds_the_cells_of_the_table(mroz_models):
    text = of.etable(mroz_models, type="md", caption="Mroz | wages")
    frame = of.etable(mroz_models, type="df")
    lines = text.split("\n")
    assert lines[0] == r"Mroz \| wages"
    rows = [line for line in lines if line.startswith("| ")][2:]
    assert len(rows) == len(frame)
    for line, (key, cells) in zip(rows, frame.iterrows()):
        parsed = [_unescape_markdown(c.strip()) for c in re.split(r"(?<!\\)\|", line)[1:-1]]
        assert parsed == [key[1], *["\n".join(p.strip() for p in c.split("\n")) for c in cells]]


def test_latex_equals_the_stored_table(mroz_models):
    text = of.etable(mroz_models, type="tex", heads=["OLS", "IV", "2SLS"], statistic="interval",
                     stats=["N", "r2", "fstat_1st", "se_type"])
    assert text == (DATA / "mroz.tex").read_text()


# ---------------------------------------------------------------------------
# Notebook display.

class StrictHTML(html.parser.HTMLParser):
    """Every element closed in order; the text of the cells collected."""

    VOID = frozenset({"br", "hr", "img", "meta", "link", "input", "col"})

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open: list[str] = []
        self.cells: list[str] = []
        self._text: list[str] | None = None

    def handle_starttag(self, tag, attrs):
        if tag not in self.VOID:
            self.open.append(tag)
        if tag in ("td", "th"):
            self._text = []

    def handle_endtag(self, tag):
        assert self.open and self.open.pop() == tag, f"</{tag}> closes {self.open}"
        if tag in ("td", "th") and self._text is not None:
            self.cells.append("".join(self._text).strip())
            self._text = None

    def handle_data(self, data):
        if self._text is not None:
            self._text.append(data)


def _parsed(text: str) -> StrictHTML:
    parser = StrictHTML()
    parser.feed(text)
    parser.close()
    assert parser.open == []
    return parser


def _report_rows(text: str) -> list[list[str]]:
    lines = text.split("\n")
    at = lines.index("-" * 78)
    end = lines.index("=" * 78, at)
    return [line.rsplit(None, 6)[1:] for line in lines[at + 1:end]]


@pytest.mark.parametrize("name", list(FITS))
def test_html_is_valid_and_holds_every_estimate_of_the_report(fitted, name):
    result = fitted[name]
    parser = _parsed(result._repr_html_())
    numbers = _report_rows(result.summary())
    assert parser.cells[:7] == ["", "coef", "std err", "t", "P>|t|", "[0.025", "0.975]"]
    body = parser.cells[7:7 + 7 * len(numbers)]
    assert [body[i + 1:i + 7] for i in range(0, len(body), 7)] == numbers
    assert body[::7] == list(result.names)
    stats = dict(zip(parser.cells[7 + 7 * len(numbers)::2], parser.cells[8 + 7 * len(numbers)::2]))
    assert stats["Covariance Type"] == result.vcov_type and stats["Observations"] == str(result.nobs)
    markdown = result._repr_markdown_()
    for row in numbers:
        assert " | ".join(row) in markdown


def test_names_are_escaped_in_html_and_markdown():
    data = panel().assign(**{"a<b>&c": np.arange(1100) % 7 * 1.0})
    result = of.ols("y ~ `a<b>&c` + x", data)
    text = result._repr_html_()
    assert "a&lt;b&gt;&amp;c" in text and "<b>" not in text
    assert "a<b>&c" in _parsed(text).cells
    assert r"a\<b\>&c" in result._repr_markdown_()
    assert "a<b>&c" in _parsed(of.etable(result, type="html")).cells


def test_dask_fit_gives_the_in_memory_table():
    distributed = pytest.importorskip("distributed")
    dd = pytest.importorskip("dask.dataframe")
    if os.environ.get("ORDINATA_SANITIZED"):
        pytest.skip("the dask fits run on the uninstrumented private extension")
    data = panel()
    fits = [lambda d: of.ols("y ~ x + C(region)", d, vcov="HC1"), lambda d: of.fe("y ~ x | entity", d),
            lambda d: of.tsls("y ~ t + [x ~ treated]", d, vcov={"CRV1": "entity"})]
    stats = ["N", "r2", "adj_r2", "r2_within", "fvalue", "fstat_1st", "se_type", "df_resid"]
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address=None, memory_limit="1GiB") as cluster,
          distributed.Client(cluster)):
        on_dask = [fit(dd.from_pandas(data, npartitions=3)) for fit in fits]
    in_memory = [fit(data) for fit in fits]
    pd.testing.assert_frame_equal(mt.ETable(on_dask, model_stats=stats, coef_fmt=RICH).df,
                                  mt.ETable(in_memory, model_stats=stats, coef_fmt=RICH).df)


# ---------------------------------------------------------------------------
# Pictures.

@pytest.fixture
def plt():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot

    yield pyplot
    pyplot.close("all")


def _by_gid(ax, prefix):
    artists = [*ax.get_lines(), *ax.collections]
    return {a.get_gid(): a for a in artists if (a.get_gid() or "").startswith(prefix)}


@pytest.mark.parametrize("orientation", ["horizontal", "vertical"])
@pytest.mark.parametrize("alpha", [0.05, 0.1])
def test_coefplot_draws_the_estimates_and_interval_ends(plt, fitted, orientation, alpha):
    models = {"OLS": fitted["ols"], "FE": fitted["fe"]}
    ax = of.coefplot(models, alpha=alpha, drop="Intercept", orientation=orientation)
    terms = ["x", "C(region)[T.north]", "C(region)[T.west]", "t"]
    ticks = ax.get_yticklabels() if orientation == "horizontal" else ax.get_xticklabels()
    assert [t.get_text() for t in ticks] == terms
    estimates, intervals = _by_gid(ax, "estimate:"), _by_gid(ax, "interval:")
    for j, (name, result) in enumerate(models.items()):
        present = [t for t in terms if t in result.names]
        ci = result.confidence_intervals(alpha).loc[present]
        line, bars = estimates[f"estimate:{name}"], intervals[f"interval:{name}"]
        values, at = (line.get_xdata(), line.get_ydata()) if orientation == "horizontal" else \
            (line.get_ydata(), line.get_xdata())
        np.testing.assert_array_equal(values, result.coefficients[present].to_numpy())
        np.testing.assert_allclose(at, [terms.index(t) + (j - 0.5) * 0.35 for t in present], rtol=1e-15)
        axis = 0 if orientation == "horizontal" else 1
        ends = np.array([[s[0][axis], s[1][axis]] for s in bars.get_segments()])
        np.testing.assert_array_equal(ends, ci[["lower", "upper"]].to_numpy())
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["OLS", "FE"]


def test_coefplot_keeps_by_pattern_and_draws_on_the_given_axes(plt, fitted):
    _, given = plt.subplots()
    ax = of.coefplot(fitted["ols"], keep=r"^C\(region\)", ax=given)
    assert ax is given and ax.get_legend() is None
    assert [t.get_text() for t in ax.get_yticklabels()] == ["C(region)[T.north]", "C(region)[T.west]"]
    with pytest.raises(ValueError, match="leave none of the terms"):
        of.coefplot(fitted["ols"], keep="nothing")
    with pytest.raises(ValueError, match="alpha must be"):
        of.coefplot(fitted["ols"], alpha=1.5)


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
    ax = of.iplot(result, term, alpha=0.1)
    names = [n for n in result.names if n not in ("Intercept", "x", "treated")]
    ci = result.confidence_intervals(0.1).loc[names]
    artists = _by_gid(ax, "")
    numeric = isinstance(reference, int)
    order = sorted([*levels, reference])
    x = [float(v) if numeric else float(order.index(v)) for v in levels]
    np.testing.assert_array_equal(artists["estimate"].get_xdata(), x)
    np.testing.assert_array_equal(artists["estimate"].get_ydata(), result.coefficients[names].to_numpy())
    ends = np.array([[s[0][1], s[1][1]] for s in artists["interval"].get_segments()])
    np.testing.assert_array_equal(ends, ci[["lower", "upper"]].to_numpy())
    at = float(reference) if numeric else float(order.index(reference))
    assert list(artists["reference"].get_xdata()) == [at] and list(artists["reference"].get_ydata()) == [0.0]
    if not numeric:
        assert [t.get_text() for t in ax.get_xticklabels()] == order


def test_iplot_names_the_categorical_terms_of_a_model_without_the_asked_one(plt):
    result = of.ols("y ~ x + C(t) + C(region)", panel())
    with pytest.raises(ValueError, match=r"no coefficient is a level of 'C\(year\)': the categorical terms are "
                                         r"C\(t\), C\(region\)"):
        of.iplot(result, "C(year)")


# ---------------------------------------------------------------------------
# What is imported, and when.

def _run(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "MPLBACKEND": "Agg"})


def test_importing_the_package_imports_neither_maketables_nor_matplotlib():
    done = _run("import sys, ordinata_frames; "
                "print(sorted(m for m in sys.modules if m.split('.')[0] in ('maketables', 'matplotlib', 'great_tables')))")
    assert done.stdout.strip() == "[]", done.stderr


@pytest.mark.parametrize(("hidden", "call", "extra"), [
    ("maketables", "of.etable(r)", "tables"),
    ("great_tables", "of.etable(r, type='df')", "tables"),
    ("matplotlib", "of.coefplot(r)", "plots"),
    ("matplotlib", "of.iplot(r, 'C(g)')", "plots"),
])
def test_without_the_extra_the_function_says_what_to_install(hidden, call, extra):
    done = _run(f"import sys; sys.modules[{hidden!r}] = None\n"
                "import ordinata_frames as of, numpy as np\n"
                "r = of.ols('y ~ x + C(g)', {'y': np.arange(9.0) ** 2, 'x': np.arange(9.0), 'g': np.arange(9) % 3})\n"
                f"try:\n    {call}\nexcept ImportError as e:\n    print(e)")
    assert f"pip install 'ordinata[{extra}]'" in done.stdout, done.stderr


def test_the_extras_pin_what_the_tests_run_with():
    import tomllib

    root = Path(__file__).parents[1]
    extras = tomllib.loads((root / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    tested = set((root / "requirements-test.txt").read_text().splitlines())
    assert set(extras["tables"]) - tested == {"ordinata[frames]"} == set(extras["plots"]) - tested
    assert {"maketables==0.2.0", "great-tables>=1.1,<1.2"} <= set(extras["tables"])
    assert "matplotlib>=3.10,<3.12" in extras["plots"]
