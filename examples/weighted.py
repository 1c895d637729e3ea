"""WLS with a known heteroskedastic variance, and GLS with an AR(1) error covariance."""

import numpy as np

import ordinata
from common import banner, compare, needs
from datasets import longley, mroz_working_women

# statsmodels' GLS documentation example: Longley with an AR(1) covariance, rho
# estimated from the lag-1 regression of the OLS residuals.
PUBLISHED_GLS = ["-3.797855e+06", "-1.276565e+01", "-3.800132e-02", "-2.186949e+00", "-1.151776e+00", "-6.805356e-02", "1.993953e+03"]


@needs("WLS", "OLS")
def wls_group_means():
    w = mroz_working_women()
    banner("WLS: mean log wage by years of schooling, weighted by group size")
    levels, counts = np.unique(w["educ"], return_counts=True)
    means = np.array([w["lwage"][w["educ"] == e].mean() for e in levels])
    print(f"{len(levels)} schooling levels from {counts.sum()} women. The mean of n_g wages has")
    print("variance sigma^2 / n_g, a known heteroskedasticity: weights = n_g.")
    model = ordinata.WLS()
    model.fit(levels[:, None], means, counts.astype(np.float64))
    print(model.summary())
    # Regressing group means with count weights reproduces the individual-level
    # least-squares line exactly (Wooldridge Example 15.1, OLS column).
    individual = ordinata.OLS()
    individual.fit(w["educ"][:, None], w["lwage"])
    print(f"  {'':10}{'WLS, 13 means':>16}{'OLS, 428 women':>16}{'published':>12}")
    print(f"  {'const':10}{model.intercept:>16.6f}{individual.intercept:>16.6f}{'-0.185':>12}")
    print(f"  {'educ':10}{model.coefficients[0]:>16.6f}{individual.coefficients[0]:>16.6f}{'0.109':>12}")
    unweighted = ordinata.OLS()
    unweighted.fit(levels[:, None], means)
    print(f"Unweighted OLS on the means instead gives educ = {unweighted.coefficients[0]:.6f}.")
    return model


def ar1_covariance(rho, n):
    lags = np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
    return rho**lags


@needs("GLS", "OLS")
def gls_ar1():
    x, y = longley()
    banner("GLS: Longley with AR(1) errors")
    ols = ordinata.OLS()
    ols.fit(x, y)
    e = ols.residuals
    lag = ordinata.OLS()
    lag.fit(e[:-1, None], e[1:])
    rho = float(lag.coefficients[0])
    print(f"rho = {rho:.6f}, slope of the OLS residuals on their own lag; Sigma_ij = rho^|i-j|")
    model = ordinata.GLS()
    model.fit(x, y, ar1_covariance(rho, len(y)))
    print(model.summary())
    ours = [model.intercept, *model.coefficients]
    ses = [None, *model.standard_errors()]  # the intercept's is in the report
    compare(
        "statsmodels' GLS documentation example",
        [(f"B{i}", b, se, p, None) for i, (b, se, p) in enumerate(zip(ours, ses, PUBLISHED_GLS))],
        digits=7,
    )
    return model
