"""Formulas on data frames for ordinata's estimators.

`ols`, `wls`, `ridge`, `gls`, `iv`, `tsls` and `fe` take a Wilkinson formula
and a pandas, polars or pyarrow table (or a dict of arrays), fit with the
native classes of `ordinata`, and return a frozen `Results` with named
coefficients, the chosen covariance type and, for IV, the first-stage and
Sargan and Wu-Hausman statistics. Rows with a missing value in any column used are
dropped; the results say how many.
"""

try:
    import formulaic  # type: ignore[import-untyped]  # noqa: F401
    import narwhals  # noqa: F401
    import pandas  # noqa: F401
except ImportError as error:
    raise ImportError(f"ordinata_frames needs pandas, narwhals and formulaic ({error}): "
                      "install them with pip install 'ordinata[frames]'") from error

from ordinata_frames._bootstrap import WildBootstrap
from ordinata_frames._estimators import fe, gls, iv, ols, ridge, tsls, wls
from ordinata_frames._results import Results, TestResult

__all__ = ["Results", "TestResult", "WildBootstrap", "fe", "gls", "iv", "ols", "ridge", "tsls", "wls"]
