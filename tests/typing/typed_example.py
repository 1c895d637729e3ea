"""Typed use of every class: mypy --strict must accept it and infer these types."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import ordinata

Array = NDArray[np.float64]

rng = np.random.default_rng(0)
x: Array = rng.normal(size=(60, 2))
y: Array = x @ np.array([1.0, -0.5]) + rng.normal(size=60)
ids: NDArray[np.int64] = np.repeat(np.arange(6, dtype=np.int64), 10)

ols = ordinata.OLS(fit_intercept=True, robust=True)
ols.fit(x, y)
assert_type(ols.coefficients, Array | None)
assert_type(ols.intercept, float | None)
assert_type(ols.predict(x), Array)
assert_type(ols.confidence_intervals(alpha=0.1), Array | None)
assert_type(ols.covariance_matrix(), Array | None)
assert_type(ols.summary(), str)

ridge = ordinata.Ridge(alpha=0.5)
ridge.fit(x, y)
assert_type(ridge.alpha, float)
assert_type(ridge.covariance_matrix(), Array | None)

wls = ordinata.WLS()
wls.fit(x, y, weights=np.ones(60))
assert_type(wls.p_values(), Array | None)

gls = ordinata.GLS(fit_intercept=False)
gls.fit(x, y, sigma=np.eye(60))
assert_type(gls.r_squared_adj, float | None)

iv = ordinata.IV()
iv.fit(instruments=x, regressors=x, targets=y)
assert_type(iv.covariance_matrix, Array | None)
assert_type(iv.predict(regressors=x), Array)

tsls = ordinata.TSLS()
tsls.fit(np.column_stack([x, x**2]), x, y)
assert_type(tsls.covariance_matrix, Array | None)

fe = ordinata.FE(robust=True)
fe.fit(x, y, entity_id=ids)
assert_type(fe.fixed_effects, Array | None)
assert_type(fe.within_r_squared, float | None)
assert_type(fe.predict(x, ids), Array)

coefficients = ols.coefficients
if coefficients is not None:
    print(float(coefficients.sum()))
