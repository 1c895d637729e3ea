"""Ridge: the penalised normal equations on every route, the unpenalised
intercept, messages, repr and the report."""

import numpy as np
import pytest

import ordinata
from report_parsing import rows, values


def data(n=60, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    return x, x @ np.arange(1.0, p + 1) + 2.0 + rng.normal(size=n)


@pytest.mark.parametrize("alpha, x, y, msg", [
    (-1.0, np.empty((0, 2)), np.empty(0), "Alpha must be non-negative"),  # before anything else
    (1.0, np.empty((0, 2)), np.empty(0), "Input arrays cannot be empty"),
    (1.0, np.ones((3, 2)), np.empty(0), "Input arrays cannot be empty"),
    (1.0, np.ones((5, 2)), np.ones(4), "X and y shape mismatch: 5 vs 4"),
    (1.0, np.ones((3, 2)), np.ones(3), "Insufficient samples for the number of parameters"),
])
def test_fit_messages(alpha, x, y, msg):
    with pytest.raises(ValueError) as exc:
        ordinata.Ridge(alpha=alpha).fit(x, y)
    assert str(exc.value) == msg


def test_predict_messages():
    m = ordinata.Ridge()
    m.fit(*data())
    with pytest.raises(ValueError, match="^Feature count mismatch: expected 3, got 2$"):
        m.predict(np.ones((2, 2)))
    with pytest.raises(ValueError, match="^Input contains NaN or infinite values$"):
        m.predict(np.array([[1.0, np.nan, 0.0]]))
    assert m.predict(np.empty((0, 3))).shape == (0,)


@pytest.mark.parametrize("args, text", [
    ((), "Ridge(alpha=1, fit_intercept=true)"),
    ((1e-5, False), "Ridge(alpha=0.00001, fit_intercept=false)"),
    ((float("nan"),), "Ridge(alpha=NaN, fit_intercept=true)"),
    ((-0.0,), "Ridge(alpha=-0, fit_intercept=true)"),
    ((0.1 + 0.2,), "Ridge(alpha=0.30000000000000004, fit_intercept=true)"),
])
def test_repr(args, text):
    assert repr(ordinata.Ridge(*args)) == text


# n = 2k and 2k + 1 sit on either side of the Cholesky threshold; 4k and
# 4k + 1 on either side of the SVD threshold for alpha = 0.
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("alpha, n", [(0.7, 8), (0.7, 9), (2.5, 200), (0.0, 16), (0.0, 17), (0.0, 200)])
def test_matches_closed_form(alpha, n, intercept):
    x, y = data(n=n)
    xd = np.column_stack([np.ones(n), x]) if intercept else x
    pen = alpha * np.diag([0.0] * intercept + [1.0] * 3)
    inv = np.linalg.inv(xd.T @ xd + pen)
    beta = inv @ xd.T @ y
    e = y - xd @ beta
    mse = e @ e / (n - xd.shape[1])
    m = ordinata.Ridge(alpha, intercept)
    m.fit(x, y)
    np.testing.assert_allclose(np.r_[[m.intercept] if intercept else [], m.coefficients], beta, rtol=1e-10)
    np.testing.assert_allclose(m.residuals, e, rtol=1e-9, atol=1e-12)
    assert m.mse == pytest.approx(mse, rel=1e-10)
    # alpha = 0 on the SVD route uses a 1e-12 ridge, invisible at this scale.
    np.testing.assert_allclose(m.covariance_matrix(), mse * inv, rtol=1e-9)
    np.testing.assert_allclose(m.standard_errors(), np.sqrt(mse * np.diag(inv))[int(intercept):], rtol=1e-9)
    assert m.r_squared == pytest.approx(1 - (e @ e) / ((y - y.mean()) ** 2).sum(), rel=1e-10)
    np.testing.assert_allclose(m.predict(x), y - e, rtol=1e-10)


def test_huge_alpha_shrinks_slopes_not_intercept():
    x, y = data()
    m = ordinata.Ridge(1e12)
    m.fit(x, y)
    assert np.abs(m.coefficients).max() < 1e-8
    assert m.intercept == pytest.approx(y.mean(), rel=1e-8)


def test_alpha_conversion():
    assert ordinata.Ridge(np.float32(2)).alpha == 2.0 and ordinata.Ridge(3).alpha == 3.0
    with pytest.raises(TypeError, match="^argument 'alpha'"):
        ordinata.Ridge(alpha=None)


def test_report():
    x, y = data()
    m = ordinata.Ridge(2.0)
    m.fit(x, y)
    text = m.summary()
    assert text.startswith(" " * 28 + "Ridge Regression Results\n")
    assert "Method:                   Ridge Regression" in text and "nonrobust" in text
    xd = np.column_stack([np.ones(60), x])
    assert values(text)["Cond. No.:"] == pytest.approx(np.linalg.cond(xd / np.linalg.norm(xd, axis=0)), abs=5.1e-4)
    assert rows(text)["const"][0] == pytest.approx(m.intercept, abs=5e-5)


@pytest.mark.parametrize("offset", [1e4, 1e6])
@pytest.mark.parametrize("alpha", [1e-6, 1.0])
def test_large_column_offsets_keep_their_digits(offset, alpha):
    # Oracle: least squares on [Xd; sqrt(alpha) D] against [y; 0], which
    # never forms the cross-products.
    x, y = data(n=200)
    x += offset
    aug = np.vstack([np.column_stack([np.ones(200), x]), np.sqrt(alpha) * np.eye(4)[1:]])
    ref = np.linalg.lstsq(aug, np.concatenate([y, np.zeros(3)]), rcond=None)[0]
    m = ordinata.Ridge(alpha)
    m.fit(x, y)
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref, rtol=1e-8)
