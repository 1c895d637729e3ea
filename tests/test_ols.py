"""OLS: fitted values against independent computations, every message and
the state a failed fit leaves behind."""

import numpy as np
import pytest
from scipy import stats

from ordinata import OLS


def make(n, p, seed=0, intercept=3.0, noise=1.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ rng.normal(size=p) + intercept + noise * rng.normal(size=n)
    return x, y


def reference(x, y, fit_intercept):
    xd = np.column_stack([np.ones(len(y)), x]) if fit_intercept else x
    beta, *_ = np.linalg.lstsq(xd, y, rcond=None)
    e = y - xd @ beta
    dof = len(y) - xd.shape[1]
    mse = e @ e / dof
    inv = np.linalg.inv(xd.T @ xd)
    se = np.sqrt(mse * np.diag(inv))
    hc0 = np.sqrt(np.diag(inv @ (xd.T * e**2) @ xd @ inv))
    tss = ((y - y.mean()) ** 2).sum()
    return dict(beta=beta, e=e, mse=mse, cov=mse * inv, se=se, hc0=hc0, r2=1 - e @ e / tss, dof=dof)


# (n, p): Cholesky route (n > 2k), SVD route (n <= 2k and n <= 4k), both with and without intercept.
SHAPES = [(200, 5), (10, 2), (6, 2), (9, 3), (3, 1)]


@pytest.mark.parametrize("n, p", SHAPES)
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_matches_least_squares(n, p, fit_intercept):
    x, y = make(n, p, seed=n + p)
    if n <= p + fit_intercept:
        pytest.skip("not enough rows")
    m = OLS(fit_intercept=fit_intercept)
    m.fit(x, y)
    ref = reference(x, y, fit_intercept)
    slopes = ref["beta"][1:] if fit_intercept else ref["beta"]
    np.testing.assert_allclose(m.coefficients, slopes, rtol=1e-10, atol=1e-12)
    if fit_intercept:
        assert m.intercept == pytest.approx(ref["beta"][0], rel=1e-10, abs=1e-12)
    else:
        assert m.intercept is None
    np.testing.assert_allclose(m.residuals, ref["e"], rtol=1e-9, atol=1e-11)
    assert m.mse == pytest.approx(ref["mse"], rel=1e-10)
    assert m.r_squared == pytest.approx(np.clip(ref["r2"], -1, 1), rel=1e-10)
    se = ref["se"][1:] if fit_intercept else ref["se"]
    np.testing.assert_allclose(m.standard_errors(), se, rtol=1e-9)
    np.testing.assert_allclose(m.covariance_matrix(), ref["cov"], rtol=1e-9, atol=1e-14)
    np.testing.assert_allclose(m.predict(x), y - ref["e"], rtol=1e-10, atol=1e-10)
    assert (m.n_samples, m.n_features) == (n, p)


def test_large_wide_problem_takes_the_inverse_route():
    # k >= 1000 and n > 4k: LU inverse of the normal equations.
    x, y = make(4100, 1000, seed=3)
    m = OLS()
    m.fit(x, y)
    ref = reference(x, y, True)
    np.testing.assert_allclose(m.coefficients, ref["beta"][1:], rtol=1e-8, atol=1e-10)


def test_robust_changes_only_the_errors():
    x, y = make(80, 3, seed=5)
    plain, robust = OLS(), OLS(robust=True)
    plain.fit(x, y)
    robust.fit(x, y)
    for attr in ["coefficients", "residuals"]:
        np.testing.assert_array_equal(getattr(plain, attr), getattr(robust, attr))
    assert plain.mse == robust.mse and plain.r_squared == robust.r_squared
    np.testing.assert_array_equal(plain.covariance_matrix(), robust.covariance_matrix())
    assert not np.allclose(plain.standard_errors(), robust.standard_errors())


def test_hc0_single_column_closed_form():
    x, y = make(30, 1, seed=2)
    m = OLS(fit_intercept=False, robust=True)
    m.fit(x, y)
    e, xs = m.residuals, x[:, 0]
    assert m.standard_errors()[0] == pytest.approx(np.sqrt((e**2 * xs**2).sum()) / (xs**2).sum(), rel=1e-12)


def test_hc0_perfect_fit_gives_zero_errors():
    x, _ = make(20, 2, seed=4)
    y = x @ [1.0, 2.0] + 1.0
    m = OLS(robust=True)
    m.fit(x, y)
    se = m.standard_errors()
    assert np.all(np.abs(se) < 1e-6)


@pytest.mark.parametrize("dof, dist", [(30, "t"), (31, "norm"), (10, "t"), (1, "t")])
def test_p_values_switch_from_t_to_normal_after_30(dof, dist):
    p = 2
    x, y = make(dof + p + 1, p, seed=dof, noise=3.0)
    m = OLS()
    m.fit(x, y)
    t = m.t_statistics()
    np.testing.assert_allclose(t, m.coefficients / m.standard_errors(), rtol=1e-15)
    expected = 2 * stats.t.sf(np.abs(t), dof) if dist == "t" else 2 * stats.norm.sf(np.abs(t))
    np.testing.assert_allclose(m.p_values(), expected, rtol=1e-9, atol=1e-15)
    q = stats.t.ppf(0.975, dof) if dist == "t" else stats.norm.ppf(0.975)
    ci = m.confidence_intervals()
    se = m.standard_errors()
    np.testing.assert_allclose(ci[:, 0], m.coefficients - q * se, rtol=1e-10)
    np.testing.assert_allclose(ci[:, 1], m.coefficients + q * se, rtol=1e-10)


@pytest.mark.parametrize("alpha, q", [(0.1, None), (1.0, 0.0), (0.0, np.inf), (1.5, None), (2.0, -np.inf)])
def test_confidence_interval_levels(alpha, q):
    x, y = make(100, 2, seed=8)
    m = OLS()
    m.fit(x, y)
    ci = m.confidence_intervals(alpha)
    qq = stats.norm.ppf(1 - alpha / 2) if q is None else q
    with np.errstate(invalid="ignore"):
        np.testing.assert_allclose(ci[:, 1], m.coefficients + qq * m.standard_errors(), rtol=1e-9)


@pytest.mark.parametrize("alpha", [-0.1, 2.5, 3.5, float("nan")])
def test_confidence_interval_alpha_out_of_range(alpha):
    x, y = make(50, 2)
    m = OLS()
    m.fit(x, y)
    with pytest.raises(ValueError, match=r"^alpha must be between 0 and 2, got "):
        m.confidence_intervals(alpha)
    with pytest.raises(ValueError) as exc:
        m.confidence_intervals(3.5)
    assert str(exc.value) == "alpha must be between 0 and 2, got 3.5"


def test_unfitted_object():
    m = OLS()
    for attr in ["coefficients", "intercept", "mse", "r_squared", "r_squared_adj", "residuals",
                 "n_samples", "n_features"]:
        assert getattr(m, attr) is None
    for meth in ["standard_errors", "t_statistics", "p_values", "confidence_intervals", "covariance_matrix"]:
        assert getattr(m, meth)() is None
    assert m.is_fitted() is False
    assert m.fit_intercept is True and m.robust is False
    assert isinstance(m.summary(), str)
    with pytest.raises(RuntimeError, match=r"^Model not fitted\. Call fit\(\) first\.$"):
        m.predict(np.ones((2, 2)))


@pytest.mark.parametrize(
    "x, y, message",
    [
        (np.ones((0, 2)), np.ones(0), "Input arrays cannot be empty"),
        (np.ones((5, 0)), np.ones(5), "Input arrays cannot be empty"),
        (np.ones((5, 2)), np.ones(0), "Input arrays cannot be empty"),
        (np.ones((5, 2)), np.ones(4), "X and y shape mismatch: 5 vs 4"),
        (np.ones((3, 2)), np.ones(3), "Insufficient samples for the number of parameters"),
        (np.array([[1.0, np.nan]] * 5), np.ones(5), "Input contains NaN or infinite values"),
        (np.array([[1.0, np.inf]] * 5), np.ones(5), "Input contains NaN or infinite values"),
        (np.ones((5, 2)), np.array([1, 2, 3, 4, -np.inf]), "Input contains NaN or infinite values"),
        # the shape checks come before the finiteness checks
        (np.full((5, 2), np.nan), np.ones(4), "X and y shape mismatch: 5 vs 4"),
        (np.full((3, 2), np.nan), np.ones(3), "Insufficient samples for the number of parameters"),
    ],
)
def test_fit_validation_messages_leave_object_unchanged(x, y, message):
    m = OLS()
    xs, ys = make(20, 2)
    m.fit(xs, ys)
    before = (m.coefficients, m.n_samples, m.n_features)
    with pytest.raises(ValueError) as exc:
        m.fit(x, y)
    assert str(exc.value) == message
    np.testing.assert_array_equal(m.coefficients, before[0])
    assert (m.n_samples, m.n_features) == before[1:]


def test_samples_equal_to_parameters_boundary():
    x, y = make(4, 2)
    OLS().fit(x, y)  # n = k + 1: one degree of freedom
    with pytest.raises(ValueError, match="^Insufficient samples"):
        OLS().fit(x[:3], y[:3])
    OLS(fit_intercept=False).fit(x[:3], y[:3])


def test_constant_target_has_zero_r_squared():
    x, _ = make(20, 2)
    m = OLS()
    m.fit(x, np.full(20, 4.0))
    assert m.r_squared == 0.0


def test_covariance_describes_latest_fit():
    m = OLS()
    x1, y1 = make(30, 2, seed=1)
    m.fit(x1, y1)
    c1 = m.covariance_matrix()
    x2, y2 = make(50, 3, seed=2)
    m.fit(x2, y2)
    assert m.covariance_matrix().shape == (4, 4)
    np.testing.assert_allclose(m.covariance_matrix(), reference(x2, y2, True)["cov"], rtol=1e-9)
    assert c1.shape == (3, 3)


def test_predict_checks_and_propagates_nan():
    x, y = make(30, 2)
    m = OLS()
    m.fit(x, y)
    with pytest.raises(ValueError) as exc:
        m.predict(np.ones((3, 3)))
    assert str(exc.value) == "Feature count mismatch: expected 2, got 3"
    out = m.predict(np.array([[np.nan, 1.0], [1.0, 1.0]]))
    assert np.isnan(out[0]) and np.isfinite(out[1])
    assert m.predict(np.ones((0, 2))).shape == (0,)


def test_without_intercept_shapes():
    x, y = make(30, 3)
    m = OLS(fit_intercept=False)
    m.fit(x, y)
    assert m.intercept is None
    assert m.coefficients.shape == (3,)
    assert m.covariance_matrix().shape == (3, 3)


@pytest.mark.parametrize("args, text", [((), "OLS(fit_intercept=true, robust=false)"),
                                        ((False, True), "OLS(fit_intercept=false, robust=true)")])
def test_repr(args, text):
    assert repr(OLS(*args)) == text


def test_r_squared_adj():
    x, y = make(25, 3)
    m = OLS()
    m.fit(x, y)
    assert m.r_squared_adj == pytest.approx(1 - (1 - m.r_squared) * 24 / 21, rel=1e-14)
