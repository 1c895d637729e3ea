"""Accuracy on the NIST StRD linear least-squares datasets: the minimum log
relative error (digits) of every coefficient and standard error against the
certified values, dataset by dataset."""

import numpy as np
import pytest

from ordinata import OLS

import nist

# Minimum digits (coefficients, standard errors), each about half a digit
# below what the default routes achieve, so that another CPU's BLAS
# rounding cannot flip them.
MIN_LRE = {
    "Norris": (12.0, 13.0), "Pontius": (12.0, 13.0), "NoInt1": (14.0, 14.5), "NoInt2": (14.5, 14.5),
    "Longley": (13.5, 12.0), "Wampler1": (11.0, 11.0), "Wampler2": (12.5, 13.5), "Wampler3": (11.0, 11.5),
    "Wampler4": (10.0, 11.5), "Wampler5": (8.5, 11.5),
    # Degree-10 polynomial: the scaled design's condition number is about
    # 4e9, so its cross-products lose every digit; only QR keeps seven.
    "Filip": (7.0, 6.0),
}


@pytest.mark.parametrize("name", sorted(MIN_LRE))
def test_certified_digits(name):
    x, y, beta, se, intercept = nist.load(name)
    m = OLS(fit_intercept=intercept)
    m.fit(x, y)
    with np.errstate(invalid="ignore"):  # the intercept's error comes from the covariance
        ses = np.sqrt(np.diag(m.covariance_matrix()))
    est = np.r_[[m.intercept] if intercept else [], m.coefficients]
    b_digits, se_digits = nist.lre(est, beta).min(), nist.lre(ses, se).min()
    want_b, want_se = MIN_LRE[name]
    assert b_digits >= want_b, f"{name}: coefficients {b_digits:.2f} digits"
    assert se_digits >= want_se, f"{name}: standard errors {se_digits:.2f} digits"
