"""The figures a fit hands to its report, beside what Results already holds
(names, estimates, covariance, its type and degrees of freedom): the report is
rendered from these, never from another report's text."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any


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
