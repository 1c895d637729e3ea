"""Every message a fit or a prediction raises, class by class, in the order
the checks run; a refused refit keeps the previous fit. And the reprs."""

import re

import numpy as np
import pytest

import ordinata
from problems import fitted

E, nan = np.empty, np.nan
ONES = np.ones
Z3 = np.random.default_rng(1).normal(size=(6, 2))
R = np.random.default_rng(2).normal(size=(50, 3))
NOT_PD = RuntimeError("Covariance matrix is not positive definite")
IV_NOT_ENOUGH = "Number of samples must be greater than number of regressors"

EMPTY, MISMATCH = "Input arrays cannot be empty", "X and y shape mismatch: 5 vs 4"
FEW, WLS_DIMS = "Insufficient samples for the number of parameters", "Input arrays must have consistent dimensions"
FE_DF = "Insufficient degrees of freedom"
FE_LENGTHS = "Array length mismatch: X has 3 rows, y has {} elements, entity_id has {} elements"
# (class, fit arguments, message or exception): plain messages are ValueErrors;
# the shape checks come before the finiteness checks.
FIT = [
    ("OLS", (E((0, 2)), E(0)), EMPTY), ("OLS", (E((5, 0)), ONES(5)), EMPTY), ("OLS", (ONES((5, 2)), E(0)), EMPTY),
    ("OLS", (ONES((5, 2)), ONES(4)), MISMATCH), ("OLS", (ONES((3, 2)), ONES(3)), FEW),
    ("OLS", (np.full((5, 2), nan), ONES(4)), MISMATCH), ("OLS", (np.full((3, 2), nan), ONES(3)), FEW),
    ("Ridge", (E((0, 2)), E(0)), EMPTY), ("Ridge", (ONES((3, 2)), E(0)), EMPTY),
    ("Ridge", (ONES((5, 2)), ONES(4)), MISMATCH), ("Ridge", (ONES((3, 2)), ONES(3)), FEW),
    ("WLS", (ONES((3, 1)), ONES(2), ONES(3)), WLS_DIMS), ("WLS", (ONES((3, 1)), ONES(3), ONES(4)), WLS_DIMS),
    ("WLS", (E((0, 2)), E(0), E(0)), EMPTY), ("WLS", (E((3, 0)), ONES(3), ONES(3)), EMPTY),
    ("WLS", (ONES((2, 1)), ONES(2), np.zeros(2)), "Number of samples must be greater than number of parameters"),
    *[("WLS", (ONES((3, 1)), ONES(3), np.array([1.0, bad, 1.0])), "All weights must be positive and finite")
      for bad in (0.0, -0.0, -1.0, nan, np.inf)],
    ("GLS", (ONES((100, 3)), ONES(99), np.eye(100)), "Shape mismatch: X(100,3), y(99), sigma(100,100)"),
    ("GLS", (ONES((100, 3)), ONES(100), ONES((100, 101))), "Shape mismatch: X(100,3), y(100), sigma(100,101)"),
    ("GLS", (E((0, 2)), E(0), E((0, 0))), "Empty input arrays"),
    ("GLS", (ONES((3, 2)), ONES(3), np.eye(3)), "Insufficient samples"),
    ("GLS", (ONES((4, 1)), ONES(4), np.diag([1.0, 1.0, 0.0, 1.0])), NOT_PD),
    ("GLS", (ONES((4, 1)), ONES(4), np.diag([1.0, -2.0, 1.0, 1.0])), NOT_PD),
    ("IV", (Z3, Z3[:5], ONES(5)), "Instruments and targets must have the same number of samples"),
    ("IV", (Z3, Z3[:5], ONES(6)), "Regressors and targets must have the same number of samples"),
    ("IV", (ONES((6, 3)), Z3, ONES(6)), "IV estimator requires exactly the same number of instruments as regressors "
     "(exact identification). For overidentified cases, use TSLS estimator."),
    ("IV", (Z3[:2], Z3[:2], ONES(2)), IV_NOT_ENOUGH), ("IV", (E((0, 0)), E((0, 0)), E(0)), IV_NOT_ENOUGH),
    ("IV", (np.column_stack([Z3[:, 0], np.zeros(6)]), Z3, ONES(6)),
     "Z'X matrix is singular. Check instrument-regressor correlation."),
    ("IV", (Z3[:3], Z3[:3], ONES(3)), "Insufficient degrees of freedom for covariance estimation"),
    ("TSLS", (R, R[:49], R[:, 0]), "All inputs must have the same number of samples"),
    ("TSLS", (R, R, R[:49, 0]), "All inputs must have the same number of samples"),
    ("TSLS", (R[:, :1], R[:, :2], R[:, 0]), "TSLS requires at least as many instruments as regressors"),
    ("TSLS", (R[:3], R[:3], R[:3, 0]), IV_NOT_ENOUGH), ("TSLS", (E((0, 0)), E((0, 0)), E(0)), IV_NOT_ENOUGH),
    ("TSLS", (R[:4, :3], R[:4, :3], R[:4, 0]), "Insufficient degrees of freedom for covariance estimation"),
    ("TSLS", (R, np.column_stack([R[:, 0], np.zeros(50)]), R[:, 1]), "X\u0302'X\u0302 matrix is singular"),
    ("FE", (ONES((0, 1)), ONES(0), ONES(0)), EMPTY), ("FE", (ONES((3, 0)), ONES(3), ONES(3)), EMPTY),
    ("FE", (ONES((3, 1)), ONES(0), ONES(4)), EMPTY),
    ("FE", (np.full((3, 1), nan), ONES(4), ONES(3)), FE_LENGTHS.format(4, 3)),
    ("FE", (ONES((3, 1)), ONES(3), ONES(2)), FE_LENGTHS.format(3, 2)),
    ("FE", (ONES((3, 1)), np.array([1.0, np.inf, 2.0]), np.arange(3)), "Input contains NaN or infinite values"),
    ("FE", (ONES((3, 2)), ONES(3), np.arange(3)),
     f"{FE_DF}: number of entities must be less than number of observations"),
    ("FE", (ONES((5, 2)), ONES(5), [1, 1, 2, 3, 3]), f"{FE_DF} for Fixed Effects estimation"),  # N = n - k
]


@pytest.mark.parametrize("name, args, error", FIT)
def test_fit_messages(name, args, error):
    cls = getattr(ordinata, name)
    error = error if isinstance(error, Exception) else ValueError(error)
    if name == "FE":
        args = (*args[:2], np.asarray(args[2], np.int64))
    fresh, refit = cls(), fitted(cls)
    before = refit.coefficients
    for m in (fresh, refit):
        with pytest.raises(type(error)) as exc:
            m.fit(*args)
        assert str(exc.value) == str(error)
    assert not fresh.is_fitted() and refit.n_samples == 40
    np.testing.assert_array_equal(refit.coefficients, before)


def test_no_regressors_without_intercept():
    for cls in (ordinata.IV, ordinata.TSLS):
        with pytest.raises(ValueError, match=r"^At least one regressor is required when fit_intercept is False$"):
            cls(fit_intercept=False).fit(R[:, :0] if cls is ordinata.IV else R, R[:, :0], R[:, 0])


UNKNOWN = "Unknown entity ID: {}. This entity was not present in training data."


# Fitted on three regressors (FE: entities 0 to 9).
@pytest.mark.parametrize("name, args, message", [
    ("OLS", (ONES((3, 2)),), "Feature count mismatch: expected 3, got 2"),
    ("Ridge", (ONES((3, 2)),), "Feature count mismatch: expected 3, got 2"),
    ("Ridge", (np.array([[1.0, nan, 0.0]]),), "Input contains NaN or infinite values"),
    ("WLS", (ONES((1, 2)),), "Number of features doesn't match training data"),
    ("GLS", (ONES((1, 2)),), "Feature mismatch: expected 3, got 2"),
    ("FE", (ONES((3, 2)), [1, 2]), "Feature count mismatch: expected 3, got 2"),  # before the row count
    ("FE", (ONES((3, 3)), [1, 2]), "Row count mismatch between X and entity_id: 3 vs 2"),
    ("FE", (ONES((3, 3)), [1, 42, -5]), UNKNOWN.format(42)),
    ("FE", (ONES((2, 3)), [-5, 42]), UNKNOWN.format(-5)),
])
def test_predict_messages(name, args, message):
    m = fitted(getattr(ordinata, name))
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        m.predict(*args[:1], *[np.asarray(a, np.int64) for a in args[1:]])


@pytest.mark.parametrize("cls", [ordinata.OLS, ordinata.Ridge, ordinata.FE])
def test_predict_on_no_rows(cls):
    m = fitted(cls)
    assert m.predict(E((0, 3)), *([E(0, np.int64)] if cls is ordinata.FE else [])).shape == (0,)


@pytest.mark.parametrize("alpha, text", [(-0.1, "-0.1"), (2.5, "2.5"), (nan, "nan")])
def test_confidence_level_out_of_range(alpha, text):
    with pytest.raises(ValueError, match=f"^alpha must be between 0 and 2, got {text}$"):
        fitted(ordinata.OLS).confidence_intervals(alpha)


@pytest.mark.parametrize("model, text", [
    (ordinata.OLS(), "OLS(fit_intercept=true, robust=false)"), (ordinata.OLS(False, True), "OLS(fit_intercept=false, robust=true)"),
    (ordinata.Ridge(), "Ridge(alpha=1, fit_intercept=true)"), (ordinata.Ridge(1e-5, False), "Ridge(alpha=0.00001, fit_intercept=false)"),
    (ordinata.Ridge(nan), "Ridge(alpha=NaN, fit_intercept=true)"), (ordinata.Ridge(-0.0), "Ridge(alpha=-0, fit_intercept=true)"),
    (ordinata.Ridge(0.1 + 0.2), "Ridge(alpha=0.30000000000000004, fit_intercept=true)"),
    (ordinata.WLS(), "WLS(fit_intercept=True)"), (ordinata.WLS(False), "WLS(fit_intercept=False)"),
    (ordinata.GLS(), "GLS(fit_intercept=true)"), (ordinata.GLS(False), "GLS(fit_intercept=false)"),
    (ordinata.FE(), "FE(robust=False)"), (ordinata.FE(True), "FE(robust=True)")])
def test_repr(model, text):
    assert repr(model) == text
