"""Accuracy on the NIST StRD linear least-squares datasets: the minimum log
relative error (digits) of every coefficient and standard error against the
certified values, dataset by dataset."""

import numpy as np
import pytest

from ordinata import OLS

import nist

# Minimum digits achieved by the solver routes (coefficients, standard errors).
MIN_LRE = {
    "Norris": (12.0, 13.0),
    "Pontius": (12.0, 13.0),
    "NoInt1": (14.0, 14.5),
    "NoInt2": (14.5, 14.5),
    "Longley": (10.5, 12.0),
    "Wampler1": (10.0, 10.0),
    "Wampler2": (12.5, 13.5),
    "Wampler3": (10.0, 10.5),
    "Wampler4": (8.0, 10.5),
    # Its noise is so large that the slopes' certified digits outrun what
    # double-precision cross-products of x^5 can keep.
    "Wampler5": (5.5, 10.5),
}


def fit(name):
    x, y, beta, se, intercept = nist.load(name)
    m = OLS(fit_intercept=intercept)
    m.fit(x, y)
    if intercept:
        est = np.concatenate([[m.intercept], m.coefficients])
        with np.errstate(invalid="ignore"):
            ses = np.sqrt(np.diag(m.covariance_matrix()))
    else:
        est, ses = m.coefficients, m.standard_errors()
    return nist.lre(est, beta).min(), nist.lre(ses, se).min()


@pytest.mark.parametrize("name", sorted(MIN_LRE))
def test_certified_digits(name):
    b_digits, se_digits = fit(name)
    want_b, want_se = MIN_LRE[name]
    assert b_digits >= want_b, f"{name}: coefficients {b_digits:.2f} digits"
    assert se_digits >= want_se, f"{name}: standard errors {se_digits:.2f} digits"


def test_filip_is_beyond_the_normal_equations():
    # Degree-10 polynomial: X'X has a condition number near 1e30, past what any
    # normal-equations route can resolve in double precision.
    b_digits, _ = fit("Filip")
    assert b_digits < 7
