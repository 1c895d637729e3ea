"""Regression tables: what a result hands to maketables' plug-in extractor (its
coefficient table, statistics by key, covariance, absorbed effects and labels,
read without maketables being imported here) and `etable`, a thin layer over
maketables.ETable with the common options and the output types, Markdown among
them."""

from __future__ import annotations

import html
import math
import re
from collections.abc import Mapping, Sequence
from typing import Any, Literal, Protocol, TypedDict, Unpack, overload

import numpy as np
import pandas as pd

from ordinata_frames import _covariance, _report


class Tabled(_report.Reported, Protocol):
    """What the tables and the notebook display read of a result: the report's fields and these."""

    @property
    def formula(self) -> str: ...
    @property
    def nobs(self) -> int: ...
    @property
    def dropped_rows(self) -> int: ...
    @property
    def r_squared(self) -> float: ...
    @property
    def first_stage(self) -> pd.DataFrame | None: ...
    @property
    def sargan(self) -> Any: ...
    @property
    def predict_state(self) -> Any: ...
    def _figures(self) -> _report.ReportStats | None: ...

TableType = Literal["df", "md", "tex", "html", "gt", "typst"]
Statistic = Literal["se", "t", "p", "interval"]

# The interval levels every extractor gives (statsmodels', linearmodels' and these
# results' tables all carry ci95 and ci90), so a table mixing them fills each cell.
LEVELS = {0.95: "ci95", 0.90: "ci90"}


# ---------------------------------------------------------------------------
# The plug-in attributes' contents.

def coef_table(result: Tabled) -> pd.DataFrame:
    """One row per term: b, se, t, p and the 95% and 90% interval bounds."""
    rows = _report.coefficient_rows(result, 0.05)
    table = pd.DataFrame([row[1:] for row in rows], columns=["b", "se", "t", "p", "ci95l", "ci95u"],
                         index=pd.Index([row[0] for row in rows], name="Coefficient"), dtype=np.float64)
    bounds = np.array([row[5:] for row in _report.coefficient_rows(result, 0.10)], dtype=np.float64)
    table["ci90l"], table["ci90u"] = bounds[:, 0], bounds[:, 1]
    return table


def vcov_request(result: Tabled) -> _covariance.VcovRequest:
    return _covariance.VcovRequest.from_label(result.vcov_type)


def se_type(result: Tabled) -> str:
    """"iid", the heteroskedasticity-robust type ("HC1") or "by: g1+g2", as the
    tables of pyfixest's clustered fits write it."""
    request = vcov_request(result)
    if request.clusters:
        return "by: " + "+".join(request.clusters)
    return request.kind


def vcov_info(result: Tabled) -> dict[str, Any]:
    request = vcov_request(result)
    return {"vcov_type": request.kind, "clustervar": list(request.clusters) or None}


def first_stage_f(result: Tabled) -> float | str | None:
    """The F of the excluded instruments in each first stage, under the fit's covariance:
    the iid F as it stands, the robust and clustered Wald statistic divided by the
    number of excluded instruments (pyfixest's first-stage F). One endogenous regressor
    gives a number, several a text naming each."""
    first = result.first_stage
    if first is None:
        return None
    # Sargan's degrees of freedom are the instruments beyond the endogenous regressors.
    overidentifying = result.sargan.df if result.sargan is not None else 0.0
    excluded = len(first) + int(overidentifying[0] if isinstance(overidentifying, tuple) else overidentifying)
    values = first["f_stat"].to_numpy(dtype=np.float64)
    if result.vcov_type != "nonrobust":
        values = values / excluded
    if len(values) == 1:
        return float(values[0])
    return ", ".join(f"{name}: {value:.3f}" for name, value in zip(first.index, values.tolist()))


def stat(result: Tabled, key: str) -> float | int | str | None:
    """A statistic by maketables' key; None for a key these results do not have."""
    figures = result._figures()
    if key == "N":
        return result.nobs
    if key == "r2":
        return result.r_squared
    if key == "adj_r2":
        return result.r_squared_adj
    if key == "r2_within":
        return figures.within_r_squared if figures is not None else None
    if key == "df_resid":
        return result.df_resid
    if key == "df_model":
        if figures is not None:
            return figures.df_model
        return len(result.names) - (1 if "Intercept" in result.names else 0)
    if key in ("fvalue", "f_pvalue"):
        test = _report.f_test(figures, result) if figures is not None else None
        return None if test is None else test[0 if key == "fvalue" else 1]
    if key in ("fstat_1st", "f_statistic"):     # maketables' key, and pyfixest's for the same figure
        return first_stage_f(result)
    if key == "se_type":
        return se_type(result)
    if key == "n_clusters":
        request = vcov_request(result)
        # One-way: the t's degrees of freedom are G - 1.
        return int(result.df_inference) + 1 if len(request.clusters) == 1 else None
    return None


def default_stat_keys(result: Tabled) -> list[str]:
    keys = ["N", "r2"]
    if result.model == "FE":
        keys.append("r2_within")
    if result.first_stage is not None:
        keys.append("fstat_1st")
    return [*keys, "se_type"]


def fixef_string(result: Tabled) -> str | None:
    """The absorbed effects as pyfixest writes them: "firm+year", an interaction "firm^year"."""
    if result.model != "FE":
        return None
    state = result.predict_state
    if state.entity is not None:
        return str(state.entity)
    return "+".join("^".join(a.columns) for a in state.absorbed) or None


# ---------------------------------------------------------------------------
# etable.

class TableOptions(TypedDict, total=False):
    """The options of `etable` besides the models and the output type."""

    statistic: Statistic              # under the estimate: "se", "t", "p" or "interval"
    level: float                      # the interval's level: 0.95 or 0.90
    digits: int                       # decimals of the estimate and its statistic
    stars: bool                       # significance stars after the estimate
    signif: Sequence[float]           # the stars' three ascending p-value thresholds
    keep: str | Sequence[str]         # regular expressions of the terms kept (in their order)
    drop: str | Sequence[str]         # regular expressions of the terms dropped
    labels: Mapping[str, str]         # display names of variables and terms
    heads: Sequence[str]              # one heading per model
    stats: Sequence[str]              # the statistics rows, by maketables' keys
    stat_labels: Mapping[str, str]    # display names of the statistics rows
    notes: str                        # the note under the table ("" for maketables' own)
    caption: str
    options: Mapping[str, Any]        # further keyword arguments of maketables.ETable


@overload
def etable(models: Any, *, type: None = None, **options: Unpack[TableOptions]) -> Any: ...
@overload
def etable(models: Any, *, type: Literal["df"], **options: Unpack[TableOptions]) -> pd.DataFrame: ...
@overload
def etable(models: Any, *, type: Literal["md", "tex", "html", "typst"], **options: Unpack[TableOptions]) -> str: ...
@overload
def etable(models: Any, *, type: Literal["gt"], **options: Unpack[TableOptions]) -> Any: ...


def etable(models: Any, *, type: TableType | None = None, **options: Unpack[TableOptions]) -> Any:
    """A regression table of one or several models side by side, by maketables.ETable:
    these results, and pyfixest, statsmodels and linearmodels fits among them. A
    dict's keys head its models' columns.

    `type` None gives the ETable itself (shown as HTML in a notebook); "df" its cells
    as a DataFrame; "md" Markdown; "tex" LaTeX; "html" HTML text; "gt" the
    great_tables object; "typst" Typst. See TableOptions for the options."""
    maketables = _maketables()
    if type is not None and type not in ("df", "md", "tex", "html", "gt", "typst"):
        raise ValueError(f"type must be one of 'df', 'md', 'tex', 'html', 'gt', 'typst' or None, not {type!r}")
    if isinstance(models, Mapping):
        # A mapping's keys head the models' columns, unless heads are given.
        options = {"heads": [str(k) for k in models], **options}
        models = list(models.values())
    listed = list(models) if isinstance(models, (list, tuple)) else [models]
    if not listed:
        raise ValueError("etable needs at least one model")
    table = maketables.ETable(listed, **_etable_arguments(options))
    if type is None:
        return table
    if type == "df":
        return table.df
    if type == "md":
        return markdown(table.df, notes=table.notes, caption=table.caption)
    return table.make(type)


def _maketables() -> Any:
    try:
        import great_tables  # noqa: F401
        import maketables
    except ImportError as error:
        raise ImportError(f"etable needs maketables and great-tables ({error}): "
                          "install them with pip install 'ordinata[tables]'") from error
    return maketables


def _patterns(value: str | Sequence[str] | None, name: str) -> list[str]:
    patterns = [value] if isinstance(value, str) else list(value or [])
    for pattern in patterns:
        if not isinstance(pattern, str):
            raise TypeError(f"{name} takes regular expressions as strings, not {type(pattern).__name__}")
        try:
            re.compile(pattern)
        except re.error as error:
            raise ValueError(f"{name} pattern {pattern!r} is not a regular expression: {error}") from None
    return patterns


def _etable_arguments(options: TableOptions) -> dict[str, Any]:
    """maketables.ETable's keyword arguments for etable's options."""
    unknown = set(options) - set(TableOptions.__annotations__)
    if unknown:
        raise TypeError(f"etable got unknown option(s) {', '.join(sorted(unknown))}")
    statistic = options.get("statistic", "se")
    digits = options.get("digits", 3)
    if not isinstance(digits, int) or isinstance(digits, bool) or not 0 <= digits <= 12:
        raise ValueError(f"digits must be a whole number from 0 to 12, not {digits!r}")
    number = f".{digits}f"
    if statistic == "interval":
        level = options.get("level", 0.95)
        if level not in LEVELS:
            raise ValueError(f"level must be 0.95 or 0.90 (the intervals every table's models give), not {level!r}")
        below = f"[{LEVELS[level]}l:{number}, {LEVELS[level]}u:{number}]"
    elif statistic in ("se", "t", "p"):
        below = f"({statistic}:{number})"
    else:
        raise ValueError(f"statistic must be 'se', 't', 'p' or 'interval', not {statistic!r}")
    star = "*" if options.get("stars", True) else ""
    arguments: dict[str, Any] = {
        "coef_fmt": f"b:{number}{star} \\n {below}",
        "signif_code": [float(v) for v in options.get("signif", (0.01, 0.05, 0.10))],
        "keep": _patterns(options.get("keep"), "keep"),
        "drop": _patterns(options.get("drop"), "drop"),
        "notes": options.get("notes", ""),
    }
    if "labels" in options:
        arguments["labels"] = dict(options["labels"])
    if "heads" in options:
        arguments["model_heads"] = [str(h) for h in options["heads"]]
    if "stats" in options:
        arguments["model_stats"] = list(options["stats"])
    if "stat_labels" in options:
        arguments["model_stats_labels"] = dict(options["stat_labels"])
    if "caption" in options:
        arguments["caption"] = options["caption"]
    extra = dict(options.get("options", {}))
    clash = set(extra) & set(arguments)
    if clash:
        raise TypeError(f"give {', '.join(sorted(clash))} through etable's own options, not options=")
    return {**arguments, **extra}


# ---------------------------------------------------------------------------
# Markdown.

_MARKDOWN_SPECIAL = re.compile(r"([\\`*_{}\[\]<>|#])")


def escape_markdown(text: str) -> str:
    """Text that Markdown shows as it is: its markup characters backslashed, line
    breaks as <br>."""
    return "<br>".join(_MARKDOWN_SPECIAL.sub(r"\\\1", part.strip()) for part in str(text).split("\n"))


def markdown_table(header: Sequence[str], rows: Sequence[Sequence[str]], align: Sequence[str]) -> str:
    """A pipe table of cells already escaped; align holds "l" or "r" per column."""
    rule = ["---" if a == "l" else "--:" for a in align]
    lines = ["| " + " | ".join(cells) + " |" for cells in (header, rule, *rows)]
    return "\n".join(lines)


def markdown(frame: pd.DataFrame, *, notes: str = "", caption: str | None = None) -> str:
    """An ETable's cells as a Markdown pipe table: the header levels stacked in one
    cell, a cell's lines joined by <br>, the row groups in their order."""
    columns = frame.columns
    header_levels = [list(map(str, column)) if isinstance(column, tuple) else [str(column)] for column in columns]
    header = [""] + ["<br>".join(escape_markdown(p) for p in parts if p.strip()) for parts in header_levels]
    rows = []
    for key, values in zip(frame.index, frame.itertuples(index=False)):
        name = key[-1] if isinstance(key, tuple) else key
        rows.append([escape_markdown(str(name))] + [escape_markdown(_cell(v)) for v in values])
    text = markdown_table(header, rows, ["l"] + ["r"] * len(columns))
    if caption:
        text = f"{escape_markdown(caption)}\n\n{text}"
    if notes:
        text = f"{text}\n\n{escape_markdown(notes)}"
    return text + "\n"


def _cell(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return str(value).strip()


# ---------------------------------------------------------------------------
# One result in a notebook: its coefficients and the report's statistics.

def number(value: float, digits: int) -> str:
    """A figure as the native report prints it: fixed digits, NaN, inf and -inf."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.{digits}f}"


def summary_rows(result: Tabled) -> list[tuple[str, str]]:
    """The report's statistics as (label, text) pairs."""
    figures = result._figures()
    rows = [("Dep. Variable", result.dependent), ("Model", result.model), ("Observations", str(result.nobs)),
            ("R-squared", number(result.r_squared, 3)), ("Adj. R-squared", number(result.r_squared_adj, 3))]
    if figures is not None and figures.within_r_squared is not None:
        rows.append(("Within R-squared", number(figures.within_r_squared, 3)))
    test = _report.f_test(figures, result) if figures is not None else None
    if test is not None:
        rows.append(("F-statistic", number(test[0], 3)))
        rows.append(("Prob (F-statistic)", f"{test[1]:.3g}"))
    first = first_stage_f(result)
    if first is not None:
        rows.append(("First-stage F", first if isinstance(first, str) else number(first, 3)))
    rows.append(("Df Residuals", str(result.df_resid)))
    if result.model == "FE" and result.predict_state.entity is not None:
        rows.append(("Entity effects", result.predict_state.entity))
    rows.append(("Covariance Type", result.vcov_type))
    if result.dropped_rows:
        rows.append(("Rows dropped", str(result.dropped_rows)))
    return rows


_COLUMNS = ("coef", "std err", "t", "P>|t|", "[0.025", "0.975]")


def _coefficient_cells(result: Tabled) -> list[list[str]]:
    return [[number(b, 4), number(s, 3), number(t, 3), number(p, 3), number(lo, 3), number(hi, 3)]
            for _, b, s, t, p, lo, hi in _report.coefficient_rows(result)]


def result_html(result: Tabled) -> str:
    """The coefficients with their 95% intervals and the report's statistics, every
    name escaped."""
    e = html.escape
    head = "".join(f"<th>{e(c)}</th>" for c in ("", *_COLUMNS))
    body = "".join("<tr><th>" + e(name) + "</th>" + "".join(f"<td>{e(c)}</td>" for c in cells) + "</tr>"
                   for name, cells in zip(result.names, _coefficient_cells(result)))
    stats = "".join(f"<tr><th>{e(label)}</th><td>{e(value)}</td></tr>" for label, value in summary_rows(result))
    caption = e(f"{result.model}: {result.formula}")
    return (f'<div class="ordinata-results">'
            f"<table><caption>{caption}</caption><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"
            f"<table><tbody>{stats}</tbody></table></div>")


def result_markdown(result: Tabled) -> str:
    m = escape_markdown
    coefficients = markdown_table(["", *map(m, _COLUMNS)],
                                  [[m(name), *cells] for name, cells in zip(result.names, _coefficient_cells(result))],
                                  ["l"] + ["r"] * len(_COLUMNS))
    stats = markdown_table(["", ""], [[m(label), m(value)] for label, value in summary_rows(result)], ["l", "r"])
    return f"**{m(result.model)}**: {m(result.formula)}\n\n{coefficients}\n\n{stats}\n"

