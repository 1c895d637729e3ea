"""Longley (1967): total employment on six collinear macroeconomic series, 1947-1962.

A classic accuracy test: NIST certifies the least-squares coefficients and
standard errors to 15 digits.
"""

import numpy as np

import ordinata
from common import banner, compare, needs
from datasets import LONGLEY_NAMES, longley, nist_certified


def legend():
    print("Regressors: " + ", ".join(f"x{i} = {name}" for i, name in enumerate(LONGLEY_NAMES, 1)))


@needs("OLS")
def ols():
    x, y = longley()
    banner("Longley: OLS against the NIST certified values")
    legend()
    model = ordinata.OLS()
    model.fit(x, y)
    print(model.summary())
    cert = nist_certified("Longley.dat")
    se_intercept = float(np.sqrt(model.covariance_matrix()[0, 0]))
    ours = [(model.intercept, se_intercept)] + list(zip(model.coefficients, model.standard_errors()))
    compare(
        "NIST StRD certified values",
        [(f"B{i}", b, se, cert[i, 0], cert[i, 1]) for i, (b, se) in enumerate(ours)],
        digits=12,
    )
    print(f"  {'R-squared':10}{model.r_squared:>22.12g}{'':22}{0.995479004577296:>22.12g}")
    return model


@needs("OLS")
def robust_ols():
    x, y = longley()
    banner("Longley: OLS with heteroskedasticity-robust (HC0) standard errors")
    classical, robust = ordinata.OLS(), ordinata.OLS(robust=True)
    classical.fit(x, y)
    robust.fit(x, y)
    print(robust.summary())
    print(f"  {'':4}{'estimate':>16}{'classical se':>16}{'HC0 se':>16}")
    for i, (b, se, rse) in enumerate(zip(robust.coefficients, classical.standard_errors(), robust.standard_errors()), 1):
        print(f"  x{i:<3}{b:>16.6g}{se:>16.6g}{rse:>16.6g}")
    print("95% intervals from the robust errors:")
    print(np.array2string(robust.confidence_intervals(), precision=5))
    return robust


@needs("OLS", "Ridge")
def ridge():
    x, y = longley()
    banner("Longley: Ridge on standardised regressors (the intercept is not penalised)")
    legend()
    z = (x - x.mean(axis=0)) / x.std(axis=0)
    alphas = [0.0, 0.1, 1.0, 10.0]
    fits = []
    for alpha in alphas:
        model = ordinata.Ridge(alpha=alpha)
        model.fit(z, y)
        fits.append(model)
    print(fits[2].summary())
    print("Coefficient path (alpha = 0 is least squares):")
    print(f"  {'':4}" + "".join(f"{f'alpha={a:g}':>14}" for a in alphas))
    for j in range(z.shape[1]):
        print(f"  x{j + 1:<3}" + "".join(f"{m.coefficients[j]:>14.2f}" for m in fits))
    print(f"  {'R2':4}" + "".join(f"{m.r_squared:>14.6f}" for m in fits))
    ols = ordinata.OLS()
    ols.fit(z, y)
    gap = np.max(np.abs(fits[0].coefficients - ols.coefficients))
    print(f"Ridge(alpha=0) vs OLS on the same data: largest coefficient difference {gap:.2e}")
    return fits
