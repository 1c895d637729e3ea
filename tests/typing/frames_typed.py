"""Typed use of ordinata_frames: mypy --strict must accept it and infer these types."""

import pickle
from typing import assert_type

import numpy as np
import pandas as pd

import ordinata_frames as of

rng = np.random.default_rng(0)
data = pd.DataFrame({"y": rng.normal(size=80), "x": rng.normal(size=80), "z": rng.normal(size=80),
                     "g": rng.integers(0, 8, size=80), "w": rng.uniform(0.5, 2.0, size=80)})
data["x2"] = data["x"] + 0.5 * data["z"] + rng.normal(size=80)

ols: of.Results = of.ols("y ~ x + C(g)", data, vcov="HC1")
assert_type(ols.coefficients, "pd.Series[float]")
assert_type(ols.standard_errors, "pd.Series[float]")
assert_type(ols.p_values, "pd.Series[float]")
assert_type(ols.confidence_intervals(alpha=0.1), pd.DataFrame)
assert_type(ols.covariance_matrix, pd.DataFrame)
assert_type(ols.to_frame(), pd.DataFrame)
assert_type(ols.predict(data), "pd.Series[float]")
assert_type(ols.summary(), str)
assert_type(ols.nobs, int)
assert_type(ols.r_squared, float)
assert_type(ols.dropped_rows, int)
assert_type(ols.vcov_type, str)

wls = of.wls("y ~ x", data, weights="w", vcov={"CRV1": "g"})
ridge = of.ridge("y ~ x", {"y": data["y"].to_numpy(), "x": data["x"].to_numpy()}, alpha=2.0)
gls = of.gls("y ~ x", data, sigma=np.eye(80))
fe = of.fe("y ~ x | g", data, vcov={"CRV1": "g"})
tsls = of.tsls("y ~ z + [x ~ x2 + w]", data, vcov="HC0")
assert_type(tsls.first_stage, pd.DataFrame | None)
assert_type(tsls.sargan, of.TestResult | None)
if tsls.wu_hausman is not None:
    assert_type(tsls.wu_hausman.pvalue, float)
restored = pickle.loads(pickle.dumps(fe))
assert isinstance(restored, of.Results)

# Tables and pictures (the "tables" and "plots" extras).
assert_type(of.etable([ols, fe, tsls], type="md", statistic="t", keep=["x"]), str)
assert_type(of.etable([ols, fe], type="df", heads=["OLS", "FE"], stats=["N", "r2"]), pd.DataFrame)
assert_type(of.etable([ols, fe], type="tex", stars=False, signif=[0.01, 0.05, 0.1]), str)
assert_type(ols.__maketables_coef_table__, pd.DataFrame)
assert_type(ols._repr_html_(), str)
import matplotlib  # noqa: E402

matplotlib.use("Agg")
from matplotlib.axes import Axes  # noqa: E402

assert_type(of.coefplot({"OLS": ols, "FE": fe}, alpha=0.1, drop="Intercept"), Axes)
assert_type(of.iplot(ols, "C(g)"), Axes)
