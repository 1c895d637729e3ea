"""WLS: its weight rules, messages, report and digits under large offsets
(the agreement with statsmodels is in test_reference_agreement)."""

import numpy as np
import pytest

import ordinata


def data(n=80, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    w = rng.uniform(0.2, 5.0, size=n)
    return x, x @ np.arange(1.0, p + 1) - 1.0 + rng.normal(size=n) / np.sqrt(w), w


@pytest.mark.parametrize("x, y, w, msg", [
    (np.ones((3, 1)), np.ones(2), np.ones(3), "Input arrays must have consistent dimensions"),
    (np.ones((3, 1)), np.ones(3), np.ones(4), "Input arrays must have consistent dimensions"),
    (np.empty((0, 2)), np.empty(0), np.empty(0), "Input arrays cannot be empty"),
    (np.empty((3, 0)), np.ones(3), np.ones(3), "Input arrays cannot be empty"),
    (np.ones((2, 1)), np.ones(2), np.zeros(2), "Number of samples must be greater than number of parameters"),
] + [(np.ones((3, 1)), np.ones(3), np.array([1.0, bad, 1.0]), "All weights must be positive and finite")
     for bad in (0.0, -0.0, -1.0, np.nan, np.inf)])
def test_fit_messages(x, y, w, msg):
    with pytest.raises(ValueError) as exc:
        ordinata.WLS().fit(x, y, w)
    assert str(exc.value) == msg


def test_tiny_weight_accepted_and_predict_checks_columns():
    x, y, w = data()
    w[0] = 5e-324
    m = ordinata.WLS()
    m.fit(x, y, w)
    with pytest.raises(ValueError, match="^Number of features doesn't match training data$"):
        m.predict(np.ones((1, 2)))


@pytest.mark.parametrize("args, text", [((), "WLS(fit_intercept=True)"), ((False,), "WLS(fit_intercept=False)")])
def test_repr(args, text):
    assert repr(ordinata.WLS(*args)) == text


@pytest.mark.parametrize("c", [1e-3, 7.0])
def test_scaled_weights_change_nothing(c):
    x, y, w = data()
    a, b = ordinata.WLS(), ordinata.WLS()
    a.fit(x, y, w)
    b.fit(x, y, c * w)
    for attr in ("coefficients", "residuals", "intercept", "mse", "r_squared"):
        np.testing.assert_allclose(getattr(b, attr), getattr(a, attr), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(b.standard_errors(), a.standard_errors(), rtol=1e-9)


def test_r_squared_is_unclamped():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(40, 1))
    m = ordinata.WLS(False)
    m.fit(x, 100.0 + 0.01 * rng.normal(size=40), np.ones(40))
    assert m.r_squared < -1.0


def test_report_ends_after_the_mean_square():
    m = ordinata.WLS()
    m.fit(*data())
    lines = m.summary().splitlines()
    assert lines[0] == " " * 28 + "WLS Regression Results"
    assert lines[4].startswith("Method:                   Weighted Least Squares")
    assert lines[-2].startswith("Mean Squared Error:") and lines[-1] == "=" * 78


@pytest.mark.parametrize("offset", [1e4, 1e6])
def test_large_column_offsets_keep_their_digits(offset):
    x, y, w = data(n=200)
    x += offset
    s = np.sqrt(w)
    ref = np.linalg.lstsq(np.column_stack([s, x * s[:, None]]), y * s, rcond=None)[0]
    m = ordinata.WLS()
    m.fit(x, y, w)
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref, rtol=1e-8)
