"""Formulas on data frames for ordinata's estimators.

`ols`, `wls`, `ridge`, `gls`, `iv`, `tsls` and `fe` take a Wilkinson formula
and a pandas, polars or pyarrow table (or a dict of arrays), fit with the
native classes of `ordinata`, and return a frozen `Results` with named
coefficients, the chosen covariance type and, for IV, the first-stage and
Sargan and Wu-Hausman statistics. Rows with a missing value in any column used are
dropped; the results say how many.

`etable` sets results side by side in a regression table (maketables, the
"tables" extra; the results are maketables plug-ins, so its ETable takes them
beside pyfixest, statsmodels and linearmodels fits); `coefplot` and `iplot`
draw estimates with their intervals (matplotlib, the "plots" extra). Neither
package is imported before a table or a picture is asked for.
"""

try:
    import formulaic  # type: ignore[import-untyped]  # noqa: F401
    import narwhals  # noqa: F401
    import pandas  # noqa: F401
except ImportError as error:
    raise ImportError(f"ordinata_frames needs pandas, narwhals and formulaic ({error}): "
                      "install them with pip install 'ordinata[frames]'") from error

from ordinata_frames import _bootstrap  # noqa: F401  (registers the engine of Results.wildboottest)
from ordinata_frames._estimators import fe, gls, iv, ols, ridge, tsls, wls
from ordinata_frames._plots import coefplot, iplot
from ordinata_frames._results import Results, TestResult, WildBootstrap
from ordinata_frames._tables import TableOptions, etable

__all__ = ["Results", "TableOptions", "TestResult", "WildBootstrap", "coefplot", "etable", "fe", "gls", "iplot", "iv",
           "ols", "ridge", "tsls", "wls"]
