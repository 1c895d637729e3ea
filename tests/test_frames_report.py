"""The named report rendered from a fit's figures: the fields where a fault in
the layout could hide (cut names, non-ASCII widths, NaN and infinite figures,
the partitions line, the date), against lines written out by hand."""

import dataclasses
import datetime
import math
import types

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of
from ordinata_frames import _report, _results

statsmodels_api = pytest.importorskip("statsmodels.api")

# A separating space, then fields 10 and 7 wide.
NAN_FIELDS = "        NaN" * 3 + "     NaN" * 2


def _frame(seed, n):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"x": rng.normal(size=n), "g": rng.integers(0, 3, n), "h": rng.integers(0, 3, n),
                         "e": rng.normal(size=n)})


def test_rows_cut_long_names_count_characters_and_spell_nan_and_inf():
    data = _frame(1, 30)
    data["dependent_variable_with_a_long_name"] = data["x"] + data["e"]
    data["a_really_long_regressor_name"] = data["e"] ** 2
    data["gr\u00f6\u00dfe"] = data["g"] * 1.0
    result = of.ols("dependent_variable_with_a_long_name ~ a_really_long_regressor_name + gr\u00f6\u00dfe + x", data)
    # Estimates and variances no fit gives, for the fields' every spelling; t at 10 degrees of
    # freedom: 2 P(T > 3) = 0.01334, the 0.975 quantile 2.228139.
    result = dataclasses.replace(result, params=np.array([1.5, math.nan, -2.25, -1.0]),
                                 cov=np.diag([0.25, 1.0, -4.0, 0.0]), df_inference=10.0,
                                 vcov_type="CRV1: a_long_cluster_column + year")
    lines = result.summary().split("\n")
    at = lines.index("-" * 78)
    assert lines[at + 1:at + 6] == [
        "Intercept           1.5000      0.500      3.000      0.013   0.386   2.614",
        "a_really_long_\u2026        NaN      1.000" + "        NaN" * 2 + "     NaN" * 2,
        "gr\u00f6\u00dfe              -2.2500" + NAN_FIELDS,
        "x                  -1.0000      0.000       -inf      0.000  -1.000  -1.000",
        "=" * 78,
    ]
    assert lines[2].startswith("Dep. Variable:            dependent_variable_with_\u2026 R-squared:")
    assert "Covariance Type:          CRV1: a_long_cluster_col\u2026" in lines
    # The Wald F of slopes with a NaN estimate is NaN, not the F of R-squared.
    assert [line[-12:] for line in lines if line.startswith(("Method:", "Date:"))] == [" " * 9 + "NaN"] * 2


def test_a_negative_two_way_clustered_variance_prints_nan_errors():
    data = _frame(0, 12)
    data["y"] = data["x"] + data["e"]
    result = of.ols("y ~ x", data, vcov={"CRV1": "g + h"})
    assert result.cov[1, 1] < 0
    estimate = statsmodels_api.OLS(data["y"], statsmodels_api.add_constant(data["x"])).fit().params["x"]
    row = next(line for line in result.summary().split("\n") if line.startswith("x "))
    assert row == f"x               {estimate:10.4f}" + NAN_FIELDS


def test_partitions_line_follows_the_covariance_type_and_the_report_is_dated_now(monkeypatch):
    data = _frame(2, 40)
    data["y"] = data["x"] + data["e"]
    result = of.ols("y ~ x + C(g)", data, vcov="HC1")
    when = datetime.datetime(2026, 2, 28, 23, 5, 9)    # a Saturday
    monkeypatch.setattr(_results, "_dt", types.SimpleNamespace(datetime=types.SimpleNamespace(now=lambda: when)))
    plain = result.summary().split("\n")
    assert plain[5].startswith("Date:                     Sat, 28 Feb 2026          Prob (F-statistic):")
    assert plain[6].startswith("Time:                     23:05:09                  Log-Likelihood:")

    stats = dataclasses.replace(result._report_stats, partitions=12)
    merged = _report.render(stats, result, when).split("\n")
    at = merged.index("Covariance Type:          HC1" + " " * 22)
    assert merged[at + 1] == "Partitions merged:        12"
    assert merged[:at + 1] + merged[at + 2:] == plain
