"""Mroz (1987): the return to education of 428 working married women.

Published figures: Wooldridge, Introductory Econometrics, Example 15.1 (simple
IV with father's education) and Example 15.5 (2SLS with both parents' education).
"""

import numpy as np

import ordinata
from common import banner, compare, needs
from datasets import mroz_working_women

# Example 15.1: log(wage) on educ, father's education as the instrument.
PUBLISHED_OLS = {"const": ("-0.185", "0.185"), "educ": ("0.109", "0.014")}
PUBLISHED_IV = {"const": ("0.441", "0.446"), "educ": ("0.059", "0.035")}
PUBLISHED_IV_R2 = "0.093"
# Example 15.5: educ instrumented by motheduc and fatheduc; exper, expersq exogenous.
PUBLISHED_TSLS = {
    "const": ("0.048", "0.400"),
    "educ": ("0.061", "0.031"),
    "exper": ("0.044", "0.013"),
    "expersq": ("-0.0009", "0.0004"),
}


def rows(published, intercept, intercept_se, coefficients, std_errors):
    ours = [(intercept, intercept_se)] + list(zip(coefficients, std_errors))
    return [(name, b, se, *published[name]) for name, (b, se) in zip(published, ours)]


@needs("IV", "OLS")
def iv():
    w = mroz_working_women()
    banner("Mroz: IV estimate of the return to education (instrument: father's education)")
    educ, fatheduc, lwage = w["educ"][:, None], w["fatheduc"][:, None], w["lwage"]
    ols = ordinata.OLS()
    ols.fit(educ, lwage)
    se_const = float(np.sqrt(ols.covariance_matrix()[0, 0]))
    compare("Wooldridge Example 15.1, OLS", rows(PUBLISHED_OLS, ols.intercept, se_const, ols.coefficients, ols.standard_errors()))

    model = ordinata.IV()
    model.fit(fatheduc, educ, lwage)
    print(model.summary())
    se_const = float(np.sqrt(model.covariance_matrix[0, 0]))
    compare("Wooldridge Example 15.1, IV", rows(PUBLISHED_IV, model.intercept, se_const, model.coefficients, model.standard_errors()))
    print(f"  {'R-squared':10}{model.r_squared:>16.6g}{'':16}{PUBLISHED_IV_R2:>16}")
    return model


@needs("TSLS")
def tsls():
    w = mroz_working_women()
    banner("Mroz: 2SLS with both parents' education as instruments for educ")
    print("x1 = educ (endogenous), x2 = exper, x3 = expersq")
    regressors = np.column_stack([w["educ"], w["exper"], w["expersq"]])
    # The first stage uses the instruments as given, so the constant and the
    # exogenous regressors are passed among them.
    instruments = np.column_stack([np.ones(len(w["educ"])), w["exper"], w["expersq"], w["motheduc"], w["fatheduc"]])
    model = ordinata.TSLS()
    model.fit(instruments, regressors, w["lwage"])
    print(model.summary())
    se_const = float(np.sqrt(model.covariance_matrix[0, 0]))
    compare("Wooldridge Example 15.5", rows(PUBLISHED_TSLS, model.intercept, se_const, model.coefficients, model.standard_errors()))
    print(f"  {'R-squared':10}{model.r_squared:>16.6g}{'':16}{'0.136':>16}")
    return model
