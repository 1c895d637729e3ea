import math

import numpy as np
import pytest

import ordinata
from report_parsing import rows, values

RTOL = 1e-10


def data(n=60, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ np.arange(1.0, p + 1) + 2.0 + rng.normal(size=n)
    return x, y


def oracle(x, y, alpha, intercept):
    """Closed-form penalised normal equations with an unpenalised intercept."""
    xd = np.column_stack([np.ones(len(y)), x]) if intercept else x
    pen = np.eye(xd.shape[1]) * alpha
    if intercept:
        pen[0, 0] = 0.0
    m = np.linalg.inv(xd.T @ xd + pen)
    beta = m @ xd.T @ y
    e = y - xd @ beta
    mse = e @ e / (len(y) - xd.shape[1])
    return beta, m, e, mse


@pytest.mark.parametrize(
    "alpha,x,y,kind,msg",
    [
        (-1.0, np.empty((0, 2)), np.empty(0), ValueError, "Alpha must be non-negative"),
        (1.0, np.empty((0, 2)), np.empty(0), ValueError, "Input arrays cannot be empty"),
        (1.0, np.ones((3, 2)), np.empty(0), ValueError, "Input arrays cannot be empty"),
        (1.0, np.ones((5, 2)), np.ones(4), ValueError, "X and y shape mismatch: 5 vs 4"),
        (1.0, np.ones((3, 2)), np.ones(3), ValueError, "Insufficient samples for the number of parameters"),
        (1.0, np.array([[1.0], [np.nan], [2.0]]), np.ones(3), ValueError, "Input contains NaN or infinite values"),
        (1.0, np.ones((3, 1)), np.array([1.0, np.inf, 2.0]), ValueError, "Input contains NaN or infinite values"),
    ],
)
def test_fit_validation_order(alpha, x, y, kind, msg):
    m = ordinata.Ridge(alpha=alpha)
    with pytest.raises(kind) as exc:
        m.fit(x, y)
    assert str(exc.value) == msg
    assert not m.is_fitted() and m.n_samples is None


def test_unfitted_and_predict_errors():
    m = ordinata.Ridge()
    assert (m.alpha, m.fit_intercept) == (1.0, True)
    for v in (m.coefficients, m.intercept, m.mse, m.r_squared, m.r_squared_adj, m.residuals, m.n_samples,
              m.standard_errors(), m.t_statistics(), m.p_values(), m.confidence_intervals(), m.covariance_matrix()):
        assert v is None
    with pytest.raises(RuntimeError, match=r"^Model not fitted\. Call fit\(\) first\.$"):
        m.predict(np.ones((2, 3)))
    m.fit(*data())
    with pytest.raises(ValueError, match="^Feature count mismatch: expected 3, got 2$"):
        m.predict(np.ones((2, 2)))
    with pytest.raises(ValueError, match="^Input contains NaN or infinite values$"):
        m.predict(np.array([[1.0, np.nan, 0.0]]))
    assert m.predict(np.empty((0, 3))).shape == (0,)


@pytest.mark.parametrize(
    "args,text",
    [
        ((), "Ridge(alpha=1, fit_intercept=true)"),
        ((0.5, False), "Ridge(alpha=0.5, fit_intercept=false)"),
        ((1e-5,), "Ridge(alpha=0.00001, fit_intercept=true)"),
        ((float("nan"),), "Ridge(alpha=NaN, fit_intercept=true)"),
        ((float("inf"),), "Ridge(alpha=inf, fit_intercept=true)"),
        ((float("-inf"),), "Ridge(alpha=-inf, fit_intercept=true)"),
        ((-0.0,), "Ridge(alpha=-0, fit_intercept=true)"),
        ((1e22,), "Ridge(alpha=10000000000000000000000, fit_intercept=true)"),
        ((0.1 + 0.2, False), "Ridge(alpha=0.30000000000000004, fit_intercept=false)"),
    ],
)
def test_repr(args, text):
    assert repr(ordinata.Ridge(*args)) == text


# n = 2k and 2k + 1 sit on either side of the Cholesky threshold; 4k and
# 4k + 1 on either side of the SVD threshold for alpha = 0.
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("alpha,n", [(0.7, 8), (0.7, 9), (2.5, 200), (0.0, 16), (0.0, 17), (0.0, 200)])
def test_matches_closed_form(alpha, n, intercept):
    x, y = data(n=n)
    m = ordinata.Ridge(alpha, intercept)
    m.fit(x, y)
    beta, inv, e, mse = oracle(x, y, alpha, intercept)
    coef = beta[1:] if intercept else beta
    np.testing.assert_allclose(m.coefficients, coef, rtol=RTOL)
    if intercept:
        assert m.intercept == pytest.approx(beta[0], rel=RTOL)
    else:
        assert m.intercept is None
    np.testing.assert_allclose(m.residuals, e, rtol=1e-9, atol=1e-12)
    assert m.mse == pytest.approx(mse, rel=RTOL)
    se = np.sqrt(mse * np.diag(inv))
    np.testing.assert_allclose(m.standard_errors(), se[1:] if intercept else se, rtol=1e-9)
    cov = m.covariance_matrix()
    assert cov.shape == (x.shape[1] + intercept,) * 2
    # alpha = 0 on the SVD route uses a 1e-12 ridge, invisible at this scale.
    np.testing.assert_allclose(cov, mse * inv, rtol=1e-9)
    tss = ((y - y.mean()) ** 2).sum()
    assert m.r_squared == pytest.approx(1 - (e @ e) / tss, rel=RTOL)
    np.testing.assert_allclose(m.predict(x), y - e, rtol=RTOL)


def test_huge_alpha_shrinks_slopes_not_intercept():
    x, y = data()
    m = ordinata.Ridge(1e12)
    m.fit(x, y)
    assert np.abs(m.coefficients).max() < 1e-8
    assert m.intercept == pytest.approx(y.mean(), rel=1e-8)


@pytest.mark.parametrize("n, message", [
    (16, "Cannot compute inverse for standard errors"),  # n = 4k: SVD route
    (21, "Regularized matrix is singular"),  # n = 4k + 1: LU route
])
def test_alpha_zero_rank_deficient(n, message):
    x, y = data(n=n, p=4)
    x[:, 2] = 2.0 * x[:, 0]
    m = ordinata.Ridge(0.0)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        m.fit(x, y)
    assert m.n_samples is None and m.coefficients is None
    m = ordinata.Ridge(0.5)  # a penalty makes the same design well posed
    m.fit(x, y)
    assert np.isfinite(m.standard_errors()).all()


def test_constant_y_and_refit():
    x, y = data()
    m = ordinata.Ridge()
    m.fit(x, np.full(60, 4.0))
    assert m.r_squared == 0.0
    first = m.covariance_matrix()
    m.fit(x, y)
    assert not np.allclose(m.covariance_matrix(), first)
    assert m.summary().startswith(" " * 28 + "Ridge Regression Results\n")


@pytest.mark.parametrize(
    "cls,ctor,fit",
    [
        (ordinata.Ridge, "(alpha=1.0, fit_intercept=True)", "($self, x, y)"),
        (ordinata.WLS, "(fit_intercept=True)", "($self, x, y, weights)"),
        (ordinata.GLS, "(fit_intercept=True)", "($self, x, y, sigma)"),
    ],
)
def test_signatures(cls, ctor, fit):
    assert cls.__text_signature__ == ctor
    assert cls.fit.__text_signature__ == fit
    assert ordinata.__all__[:4] == ["OLS", "GLS", "WLS", "Ridge"]


def test_alpha_conversion():
    assert ordinata.Ridge(np.float32(2)).alpha == 2.0 and ordinata.Ridge(3).alpha == 3.0
    with pytest.raises(TypeError):
        ordinata.Ridge(alpha=None)
    with pytest.raises(TypeError, match="^argument 'fit_intercept'"):
        ordinata.Ridge(1.0, 1)


def test_report():
    x, y = data()
    m = ordinata.Ridge(2.0)
    m.fit(x, y)
    text = m.summary()
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
    xd = np.column_stack([np.ones(200), x])
    aug = np.vstack([xd, np.sqrt(alpha) * np.eye(4)[1:]])
    ref = np.linalg.lstsq(aug, np.concatenate([y, np.zeros(3)]), rcond=None)[0]
    m = ordinata.Ridge(alpha)
    m.fit(x, y)
    np.testing.assert_allclose(m.coefficients, ref[1:], rtol=1e-8)
    assert m.intercept == pytest.approx(ref[0], rel=1e-8)
