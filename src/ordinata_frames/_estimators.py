"""The seven formula-first functions: the arguments read and checked, the source
picked (a dask frame's partitions, else the table in memory) and the fit handed
to the pipeline."""

from __future__ import annotations

import dataclasses
import re
from typing import Any

import ordinata
from ordinata_frames import _covariance, _dask, _formula, _pipeline
from ordinata_frames._results import Results

VcovArg = str | dict[str, str] | dict[str, str | int]

_HC01 = ("iid", "HC0", "HC1", "CRV1")
_IV = (*_HC01, "HAC")
_FE = (*_HC01, "CR2", "CR3", "DK")


def _source(data: Any, pieces: _formula.Pieces, extra_columns: list[str]) -> tuple[Any, _formula.Pieces, dict[str, str]]:
    if _dask.is_dask_frame(data):
        return _dask.Partitioned(data), pieces, {}
    return _pipeline.in_memory(data, pieces, extra_columns)


def _labelled(result: Results, data: Any) -> Results:
    """The result with the display names a pandas (or dask) frame keeps for the
    formula's variables in attrs["variable_labels"], as maketables sets them."""
    attrs = getattr(data, "attrs", None)
    labels = attrs.get("variable_labels") if isinstance(attrs, dict) else None
    if not isinstance(labels, dict) or not labels:
        return result
    words = set(re.findall(r"[^\W\d]\w*", result.formula))
    kept = tuple((key, str(value)) for key, value in labels.items()
                 if isinstance(key, str) and key in words and value)
    return dataclasses.replace(result, variable_labels=kept) if kept else result


def ols(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Ordinary least squares; vcov "iid", "HC0".."HC3", {"CRV1": "g"} / {"CRV1": "g1 + g2"},
    {"CR2": "g"}, {"CR3": "g"}, {"HAC": "time", "lags": L} or {"DK": "time", "lags": L} (L a
    non-negative integer or "auto"; DK pools the rows of each time)."""
    request = _covariance.parse(vcov, allowed=tuple(_covariance.TYPES), model="ols")
    source, pieces, lags = _source(data, _formula.split(formula, kind="ols"), list(request.clusters))
    return _labelled(_pipeline.fit("OLS", formula, source, request=request, pieces=pieces, lags=lags), data)


def wls(formula: str, data: Any, *, weights: str, vcov: VcovArg = "iid") -> Results:
    """Weighted least squares with the weights in column `weights` (inverse variances);
    covariance types as ols, on the whitened design and residuals as statsmodels' WLS."""
    request = _covariance.parse(vcov, allowed=tuple(_covariance.TYPES), model="wls")
    if not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column, not {type(weights).__name__}")
    source, pieces, lags = _source(data, _formula.split(formula, kind="wls"), [weights, *request.clusters])
    return _labelled(_pipeline.fit("WLS", formula, source, request=request, pieces=pieces, weights=weights, lags=lags),
                     data)


def ridge(formula: str, data: Any, *, alpha: float = 1.0) -> Results:
    """Ridge regression, the intercept unpenalised; classical covariance mse (X'X + alpha I)^-1."""
    request = _covariance.VcovRequest("iid")
    ordinata.Ridge(alpha=alpha)   # the native class's checks of alpha
    source, pieces, lags = _source(data, _formula.split(formula, kind="ridge"), [])
    return _labelled(_pipeline.fit("Ridge", formula, source, request=request, pieces=pieces, alpha=float(alpha),
                                   lags=lags), data)


def gls(formula: str, data: Any, *, sigma: Any) -> Results:
    """Generalised least squares with error covariance `sigma`, an (n, n) array over the
    table's rows (rows dropped for missing values are dropped from it too)."""
    source, pieces, lags = _pipeline.in_memory(data, _formula.split(formula, kind="gls"), [])
    return _labelled(_pipeline.fit_gls(formula, source, pieces=pieces, sigma=sigma, lags=lags), data)


def iv(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Instrumental variables, exactly identified: 'y ~ exog + [endog ~ instruments]' with
    as many instruments as endogenous regressors. vcov "iid", "HC0", "HC1", CRV1 or HAC."""
    return _instrumental("IV", formula, data, vcov)


def tsls(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Two-stage least squares: 'y ~ exog + [endog ~ instruments]', at least as many
    instruments as endogenous regressors. vcov "iid", "HC0", "HC1", CRV1 or HAC."""
    return _instrumental("TSLS", formula, data, vcov)


def _instrumental(name: str, formula: str, data: Any, vcov: VcovArg) -> Results:
    request = _covariance.parse(vcov, allowed=_IV, model=name.lower())
    source, pieces, lags = _source(data, _formula.split(formula, kind="iv"), list(request.clusters))
    return _labelled(_pipeline.fit(name, formula, source, request=request, pieces=pieces, lags=lags), data)


def fe(formula: str, data: Any, *, vcov: VcovArg = "iid", weights: str | None = None, drop_singletons: bool = False,
       tol: float = 1e-8, max_iterations: int = 10_000) -> Results:
    """Fixed effects: 'y ~ x1 + x2 | entity' (one intercept per entity), or several absorbed
    factors, 'y ~ x1 + x2 | firm + year', 'f1^f2' their interaction. vcov "iid", "HC0",
    "HC1" or {"CRV1": ...}; with one entity also {"CR2": "g"}, {"CR3": "g"} or
    {"DK": "time", "lags": L}. Rows with a missing factor value are dropped; singleton levels are
    kept unless drop_singletons, which drops the rows alone in a level of some factor until
    none is left (results.singletons_dropped says how many). weights: a column of weights, as
    wls. Several factors (or weights, an interaction, dropped singletons) are solved by conjugate
    gradients: they stop once two iterations in a row move no value of a column by more than tol
    times its spread (its largest deviation from its mean); max_iterations is the iterations
    allowed (results.solver says how many were taken and the change reached). In memory each
    iteration is a pass over the rows; on a dask frame the system is formed in the levels' space
    from the partitions' level sums and crosstabs and solved on the client, the rows read a
    fixed number of times (once more per round of singletons dropped): a worker holds one
    partition and the levels' state (the keys and every column's effects, levels x columns)."""
    request = _covariance.parse(vcov, allowed=_FE, model="fe")
    pieces = _formula.split(formula, kind="fe")
    if weights is not None and not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column, not {type(weights).__name__}")
    if not isinstance(drop_singletons, bool):
        raise TypeError(f"drop_singletons must be True or False, not {drop_singletons!r}")
    if isinstance(tol, bool) or not isinstance(tol, (int, float)) or not 0.0 < tol < 1.0:
        raise ValueError(f"tol must be a number strictly between 0 and 1, not {tol!r}")
    if isinstance(max_iterations, bool) or not isinstance(max_iterations, int) or max_iterations < 1:
        raise ValueError(f"max_iterations must be a positive integer, not {max_iterations!r}")
    factor_columns = list(dict.fromkeys(c for f in pieces.factors for c in f))
    extra = [*factor_columns, *([weights] if weights else []), *request.clusters]
    if pieces.entity is not None and weights is None and not drop_singletons:
        source, pieces, lags = _source(data, pieces, extra)
        return _labelled(_pipeline.fit_fe(formula, source, request=request, pieces=pieces, lags=lags), data)
    if request.kind not in _HC01:
        raise ValueError(f"fe with several absorbed factors, an interaction, weights or drop_singletons offers "
                         f"the covariance types 'iid', 'HC0', 'HC1' and {{\"CRV1\": ...}}, not {vcov!r}")
    options = _pipeline.AbsorbOptions(weights=weights, drop_singletons=drop_singletons, tol=float(tol),
                                      max_iterations=max_iterations)
    if _dask.is_dask_frame(data):
        return _labelled(_pipeline.fit_absorbed_partitioned(formula, _dask.Partitioned(data), request=request,
                                                            pieces=pieces, options=options), data)
    source, pieces, lags = _pipeline.in_memory(data, pieces, extra)
    return _labelled(_pipeline.fit_absorbed(formula, source, request=request, pieces=pieces, options=options,
                                            lags=lags), data)
