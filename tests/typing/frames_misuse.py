"""Misuse of ordinata_frames that mypy --strict must report, one error per marked line."""

import numpy as np
import pandas as pd

import ordinata_frames as of

data = pd.DataFrame({"y": np.arange(5.0), "x": np.arange(5.0) ** 2})

of.ols(["y ~ x"], data)  # E: a formula is a string
of.ols("y ~ x", data, vcov=1)  # E: a covariance type is a string or a dict
of.ols("y ~ x", data, robust=True)  # E: no such keyword
of.wls("y ~ x", data)  # E: weights are required
of.ridge("y ~ x", data, alpha="big")  # E: alpha is a number
result = of.ols("y ~ x", data)
result.nobs = 3  # E: frozen
coefficients: float = result.coefficients  # E: a Series
result.confidence_intervals(alpha="0.05")  # E: alpha is a number
tsls = of.tsls("y ~ [x ~ y]", data)
tsls.sargan.stat  # E: Optional
of.etable([result], type="pdf")  # E: no such output type
of.etable([result], statistic="ci")  # E: se, t, p or interval
of.etable([result], stars="yes")  # E: stars is a bool
table: str = of.etable([result], type="df")  # E: a DataFrame
of.coefplot(result, orientation="diagonal")  # E: horizontal or vertical
of.iplot(result)  # E: the term is required
