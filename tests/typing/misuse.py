"""Every marked line is a mistake the stubs must make mypy report."""

import numpy as np

import ordinata

ols = ordinata.OLS()
ols.mse = 1.0  # E: read-only property
ols.coefficients.sum()  # E: Optional not narrowed
ordinata.OLS(alpha=1.0)  # E: no such argument
ordinata.IV().covariance_matrix()  # E: a property on IV, not a method
ordinata.TSLS().p_values()  # E: TSLS has no p-values
ordinata.FE().intercept  # E: FE has no common intercept
ordinata.GLS().fit(np.eye(3), np.ones(3))  # E: sigma is required
n: str = ordinata.WLS().summary() + ordinata.Ridge().n_samples  # E: int | None is not str


class Sub(ordinata.OLS):  # E: the classes cannot be subclassed
    pass
