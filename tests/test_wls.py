import numpy as np
import pytest
import statsmodels.api as sm

import ordinata

RTOL = 1e-10


def data(n=80, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    w = rng.uniform(0.2, 5.0, size=n)
    y = x @ np.arange(1.0, p + 1) - 1.0 + rng.normal(size=n) / np.sqrt(w)
    return x, y, w


@pytest.mark.parametrize(
    "x,y,w,msg",
    [
        (np.ones((3, 1)), np.ones(2), np.ones(3), "Input arrays must have consistent dimensions"),
        (np.ones((3, 1)), np.ones(3), np.ones(4), "Input arrays must have consistent dimensions"),
        (np.empty((0, 2)), np.empty(0), np.empty(0), "Input arrays cannot be empty"),
        (np.empty((3, 0)), np.ones(3), np.ones(3), "Input arrays cannot be empty"),
        (np.ones((2, 1)), np.ones(2), np.zeros(2), "Number of samples must be greater than number of parameters"),
    ]
    + [
        (np.ones((3, 1)), np.ones(3), np.array([1.0, bad, 1.0]), "All weights must be positive and finite")
        for bad in (0.0, -0.0, -1.0, np.nan, np.inf)
    ],
)
def test_fit_validation_order(x, y, w, msg):
    m = ordinata.WLS()
    with pytest.raises(ValueError) as exc:
        m.fit(x, y, w)
    assert str(exc.value) == msg
    assert m.n_samples is None and not m.is_fitted()


def test_tiny_weight_accepted_and_unfitted_predict():
    m = ordinata.WLS()
    with pytest.raises(ValueError, match="^Model must be fitted before making predictions$"):
        m.predict(np.ones((1, 3)))
    assert m.standard_errors() is None and m.r_squared_adj is None
    x, y, w = data()
    w[0] = 5e-324
    m.fit(x, y, w)
    assert m.is_fitted()
    with pytest.raises(ValueError, match="^Number of features doesn't match training data$"):
        m.predict(np.ones((1, 2)))


@pytest.mark.parametrize("args,text", [((), "WLS(fit_intercept=True)"), ((False,), "WLS(fit_intercept=False)")])
def test_repr(args, text):
    assert repr(ordinata.WLS(*args)) == text


def ols_oracle(x, y, intercept):
    xd = sm.add_constant(x) if intercept else x
    return sm.OLS(y, xd).fit()


# n = 3k uses the SVD, n = 3k + 1 the LU normal equations.
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("n", [12, 13, 80])
def test_unit_weights_are_ols(n, intercept):
    x, y, _ = data(n=n)
    m = ordinata.WLS(intercept)
    m.fit(x, y, np.ones(n))
    ref = ols_oracle(x, y, intercept)
    coef = ref.params[1:] if intercept else ref.params
    np.testing.assert_allclose(m.coefficients, coef, rtol=RTOL)
    np.testing.assert_allclose(m.residuals, ref.resid, rtol=1e-8, atol=1e-12)
    assert m.mse == pytest.approx(ref.mse_resid, rel=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:] if intercept else ref.bse, rtol=1e-9)
    e = ref.resid
    assert m.r_squared == pytest.approx(1 - e @ e / ((y - y.mean()) ** 2).sum(), rel=RTOL)


@pytest.mark.parametrize("n", [12, 13, 80])
def test_matches_statsmodels(n):
    x, y, w = data(n=n)
    m = ordinata.WLS()
    m.fit(x, y, w)
    ref = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    assert m.intercept == pytest.approx(ref.params[0], rel=RTOL)
    np.testing.assert_allclose(m.coefficients, ref.params[1:], rtol=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=1e-9)
    np.testing.assert_allclose(m.residuals, ref.resid, rtol=1e-8, atol=1e-12)
    assert m.r_squared == pytest.approx(ref.rsquared, rel=RTOL)
    # mse is the unweighted mean square, not the variance behind the errors.
    assert m.mse == pytest.approx(ref.resid @ ref.resid / ref.df_resid, rel=RTOL)
    assert m.mse != pytest.approx(ref.scale, rel=1e-3)
    np.testing.assert_allclose(m.t_statistics(), ref.tvalues[1:], rtol=1e-9)


@pytest.mark.parametrize("c", [1e-3, 7.0])
def test_scaled_weights_change_nothing(c):
    x, y, w = data()
    a, b = ordinata.WLS(), ordinata.WLS()
    a.fit(x, y, w)
    b.fit(x, y, c * w)
    for attr in ("coefficients", "residuals"):
        np.testing.assert_allclose(getattr(b, attr), getattr(a, attr), rtol=1e-9, atol=1e-12)
    for attr in ("intercept", "mse", "r_squared"):
        assert getattr(b, attr) == pytest.approx(getattr(a, attr), rel=1e-9)
    np.testing.assert_allclose(b.standard_errors(), a.standard_errors(), rtol=1e-9)


@pytest.mark.parametrize("n", [12, 13])
def test_singular_design_fails_without_storing(n):
    x, y, w = data(n=n)
    x[:, 1] = 0.0
    m = ordinata.WLS()
    with pytest.raises(RuntimeError, match="^Cannot compute standard errors: design matrix is singular$"):
        m.fit(x, y, w)
    assert not m.is_fitted() and m.n_samples is None and m.coefficients is None


def test_r_squared_unclamped_and_constant_y():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(40, 1))
    y = 100.0 + 0.01 * rng.normal(size=40)
    m = ordinata.WLS(False)
    m.fit(x, y, np.ones(40))
    assert m.r_squared < -1.0
    m.fit(x, np.full(40, 3.0), rng.uniform(1, 2, 40))
    assert m.r_squared == 0.0


def test_predict_and_summary():
    x, y, w = data()
    m = ordinata.WLS()
    m.fit(x, y, w)
    np.testing.assert_allclose(m.predict(x), y - m.residuals, rtol=1e-9)
    text = m.summary()
    assert text.startswith(" " * 28 + "WLS Regression Results\n")
    assert "Durbin-Watson" not in text


def test_report_has_no_diagnostics():
    x, y, w = data()
    m = ordinata.WLS()
    m.fit(x, y, w)
    lines = m.summary().splitlines()
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
    np.testing.assert_allclose(m.coefficients, ref[1:], rtol=1e-8)
    assert m.intercept == pytest.approx(ref[0], rel=1e-8)
