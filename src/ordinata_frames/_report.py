"""The figures a fit hands to its report, beside what Results already holds
(names, estimates, covariance, its type and degrees of freedom): the report is
rendered from these, never from another report's text."""

from __future__ import annotations

import datetime as _dt
import math
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import Any, Protocol

import numpy as np

from ordinata_frames import _linalg, _native


class Reported(Protocol):
    """What the report reads of a result besides its ReportStats."""

    @property
    def model(self) -> str: ...
    @property
    def dependent(self) -> str: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def params(self) -> np.ndarray: ...
    @property
    def cov(self) -> np.ndarray: ...
    @property
    def df_inference(self) -> float: ...
    @property
    def df_resid(self) -> int: ...
    @property
    def r_squared_adj(self) -> float: ...
    @property
    def vcov_type(self) -> str: ...


# Each model's title and "Method:", as the native classes print them.
TITLES = {
    "OLS": ("OLS Regression Results", "Least Squares"),
    "WLS": ("WLS Regression Results", "Weighted Least Squares"),
    "Ridge": ("Ridge Regression Results", "Ridge Regression"),
    "GLS": ("GLS Regression Results", "Generalized Least Squares"),
    "IV": ("IV", "Instrumental Variables"),
    "TSLS": ("TSLS", "Two-Stage Least Squares"),
    "FE": ("Fixed Effects Regression Results", "Within Estimator (Fixed Effects)"),
}


@dataclass(frozen=True)
class ReportStats:
    title: str                          # "OLS Regression Results"
    method: str                         # "Least Squares"
    nobs: int
    df_model: int                       # the slopes: terms less the intercept
    intercept: bool
    r_squared: float
    mse: float
    residual_sums: Any = None           # the merged residual sums of the second pass; None: no diagnostics
    design_factor: Any = None           # the design's R factor, for the condition number
    within_r_squared: float | None = None   # fixed effects
    partitions: int | None = None           # a dask fit: the partitions merged
    condition_number: float | None = None   # in place of design_factor, where the design itself was at hand


@dataclass(frozen=True)
class Deferred:
    """The figures of an in-memory fit, whose residual diagnostics wait for the first
    rendering: `base` holds everything else, at hand without a pass over the rows."""

    base: ReportStats
    residuals: Callable[[], Any]

    def __call__(self) -> ReportStats:
        return replace(self.base, residual_sums=self.residuals())


CoefficientRow = tuple[str, float, float, float, float, float, float]


def coefficient_rows(result: Reported, alpha: float = 0.05) -> list[CoefficientRow]:
    """(name, estimate, std error, t, p, lower, upper) per term, as the report prints
    them: Student's t with the result's degrees of freedom, bounds at level 1 - alpha."""
    with np.errstate(invalid="ignore", divide="ignore"):
        # A two-way clustered variance can come out negative: its error is NaN.
        se = np.sqrt(np.diag(result.cov))
    df = result.df_inference
    # A covariance whose t has its own degrees of freedom per coefficient (CR2) gives them.
    per_term = getattr(result, "df_per_term", None) or [df] * len(result.names)
    rows = []
    for name, b, s, df_t in zip(result.names, result.params.tolist(), se.tolist(), per_term):
        with np.errstate(invalid="ignore", divide="ignore"):
            t = float(np.float64(b) / np.float64(s))
        margin = _native.t_critical(alpha, df_t) * s
        rows.append((name, b, s, t, _native.t_pvalue(t, df_t), b - margin, margin + b))
    return rows


def _wald_header(result: Reported) -> bool:
    """Whether the header's F is the Wald F of the slopes under the fit's covariance."""
    return result.model in ("FE", "IV", "TSLS") or result.vcov_type != "nonrobust"


def f_test(stats: ReportStats, result: Reported) -> tuple[float, float] | None:
    """The F-statistic of the report's header and its p-value: the Wald F of the slopes
    where the report prints it, else the F of R-squared with (slopes, n - p) degrees of
    freedom, as the native report forms it. None where the report has none to give."""
    if _wald_header(result):
        return wald_f(result.names, result.params, result.cov, result.df_inference)
    k = stats.df_model
    v = stats.nobs - k - (1 if stats.intercept else 0)
    if k == 0 or v <= 0:
        return None
    r2 = stats.r_squared
    with np.errstate(divide="ignore", invalid="ignore"):
        stat = float(np.float64(r2 / k) / np.float64((1.0 - r2) / v))
    return stat, _native.f_sf(stat, k, v)


def render(stats: ReportStats, result: Reported, now: _dt.datetime) -> str:
    """The report of a fit: the native layout, with the result's names, estimates
    and inference under its covariance, dated `now`."""
    df = result.df_inference
    rows = coefficient_rows(result)
    fields: dict[str, Any] = {
        "title": stats.title, "method": stats.method, "nobs": int(stats.nobs), "df_model": int(stats.df_model),
        "intercept": bool(stats.intercept), "r_squared": float(stats.r_squared), "mse": float(stats.mse),
        "dependent": result.dependent, "covariance": result.vcov_type, "rows": rows,
        "residual_sums": stats.residual_sums, "design_factor": stats.design_factor,
        "condition_number": stats.condition_number, "within_r_squared": stats.within_r_squared,
        "partitions": stats.partitions,
        "time": (now.year, now.month, now.day, now.hour, now.minute, now.second, now.weekday()),
    }
    fe = result.model == "FE"
    if _wald_header(result):
        # The header's F from R-squared holds for a classical covariance only, and
        # not for IV (whose R-squared can be negative) nor for FE (within, on
        # n - k - G degrees of freedom): there the F of the slopes under the fit's covariance.
        test = wald_f(result.names, result.params, result.cov, df)
        if test is not None:
            fields["f_statistic"], fields["f_p_value"] = test
    if fe:
        fields["df_residuals"] = int(result.df_resid)
        fields["r_squared_adj"] = float(result.r_squared_adj)
    return _native.report(fields)


def wald_f(names: tuple[str, ...], params: np.ndarray, cov: np.ndarray, df: float) -> tuple[float, float] | None:
    """The F of the slopes (every term but the intercept) under the fit's covariance,
    b' V^-1 b / q, and its upper tail with (q, df) degrees of freedom: statsmodels'
    robust fvalue and f_pvalue, linearmodels' debiased f_statistic. None without slopes."""
    slopes = [i for i, name in enumerate(names) if name != "Intercept"]
    if not slopes:
        return None
    b = params[slopes]
    try:
        stat = float(b @ _linalg.solve(cov[np.ix_(slopes, slopes)], b)) / len(slopes)
    except ValueError:
        stat = math.nan
    return stat, _native.f_sf(stat, len(slopes), df) if math.isfinite(stat) else math.nan
