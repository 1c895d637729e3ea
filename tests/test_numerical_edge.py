"""Singular and ill-conditioned designs: an exactly collinear design raises the
route's singular error on every machine, a near-collinear full-rank one fits
with the digits a QR solve keeps."""

import numpy as np
import pytest

import ordinata
from problems import fit_exogenous

SEEDS = range(20)


def collinear(rng, n, p, kind):
    """n x p regressors whose last column depends exactly on the others (up to
    the rounding of the arithmetic that made it, as in real data)."""
    x = rng.normal(size=(n, p)) * rng.uniform(0.1, 1e3, p) + rng.uniform(-1e3, 1e3, p)
    if kind == "combination":
        x[:, -1] = 0.3 * x[:, 0] - 1.7 * x[:, 1]
    elif kind == "duplicate":
        x[:, -1] = x[:, 0]
    else:  # "constant": the dummy-variable trap beside an intercept
        x[:, -1] = 0.1
    return x


def dummy_trap(rng, n):
    """Three group dummies that sum to the intercept's column of ones."""
    g = rng.integers(0, 3, n)
    g[:3] = [0, 1, 2]
    return np.column_stack([rng.normal(size=n), (g == 0) * 1.0, (g == 1) * 1.0, (g == 2) * 1.0])


# (class, settings, rows, message): every route of every class.
LINEAR = [
    (ordinata.OLS, {}, 60, "Matrix is singular"),  # Cholesky
    (ordinata.OLS, {"robust": True}, 60, "Matrix is singular"),
    (ordinata.OLS, {}, 8, "Cannot compute standard errors: matrix is singular"),  # SVD
    (ordinata.Ridge, {"alpha": 0.0}, 60, "Regularized matrix is singular"),  # LU
    (ordinata.Ridge, {"alpha": 0.0}, 16, "Cannot compute inverse for standard errors"),  # SVD
    (ordinata.WLS, {}, 60, "Cannot compute standard errors: design matrix is singular"),
    (ordinata.WLS, {}, 12, "Cannot compute standard errors: design matrix is singular"),
    (ordinata.GLS, {}, 60, "XTX not positive definite"),  # Cholesky
    (ordinata.GLS, {}, 12, "Cannot compute standard errors"),  # SVD
]


# The constant column and the dummies are collinear only with the intercept.
@pytest.mark.parametrize("intercept, kind", [(True, "combination"), (False, "combination"), (True, "duplicate"),
                                             (False, "duplicate"), (True, "constant"), (True, "dummies")])
@pytest.mark.parametrize("cls, ctor, n, message", LINEAR)
def test_collinear_design_raises_the_routes_error(cls, ctor, n, message, intercept, kind):
    for seed in SEEDS:
        rng = np.random.default_rng(seed)
        x = dummy_trap(rng, n) if kind == "dummies" else collinear(rng, n, 4, kind)
        y, a = x[:, 0] - x[:, 1] + rng.normal(size=n), rng.normal(size=(n, n))
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            fit_exogenous(cls, x, y, {"fit_intercept": intercept, **ctor}, weights=rng.uniform(0.5, 2.0, n),
                          sigma=a @ a.T / n + np.eye(n))


@pytest.mark.parametrize("n", [60, 16])
def test_ridge_penalty_keeps_collinear_designs_well_posed(n):
    for seed in SEEDS:
        rng = np.random.default_rng(seed)
        x = collinear(rng, n, 4, "duplicate")
        y = x[:, 0] + rng.normal(size=n)
        m = ordinata.Ridge(1.0)
        m.fit(x, y)
        # The penalty splits the weight evenly between the twin columns; the
        # system's condition number is about ||x||^2 / alpha = 1e9 here.
        assert m.coefficients[0] == pytest.approx(m.coefficients[3], rel=1e-6)
        assert np.isfinite(m.standard_errors()).all()


def iv_data(rng, n, q, p):
    z = rng.normal(size=(n, q))
    x = z[:, :p] + 0.5 * rng.normal(size=(n, p))
    return z, x, x.sum(axis=1) + rng.normal(size=n)


IV_SINGULAR = r"^Z'X matrix is singular\. Check instrument-regressor correlation\.$"
TSLS_SINGULAR = "^X\u0302'X\u0302 matrix is singular$"


# IV with collinear instruments or regressors; TSLS with collinear regressors
# on the stacked normal equations (n = 60) and the general path (n = 9).
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("cls, n, q, p, which, message", [
    (ordinata.IV, 50, 3, 3, "instruments", IV_SINGULAR), (ordinata.IV, 50, 3, 3, "regressors", IV_SINGULAR),
    (ordinata.TSLS, 60, 3, 2, "regressors", TSLS_SINGULAR), (ordinata.TSLS, 9, 3, 2, "regressors", TSLS_SINGULAR)])
def test_instrumental_collinear_designs(cls, n, q, p, which, message, intercept):
    for seed in SEEDS:
        rng = np.random.default_rng(seed)
        z, x, y = iv_data(rng, n, q, p)
        a = z if which == "instruments" else x
        a[:, -1] = 0.3 * a[:, 0] - 1.7 * a[:, 1] if a.shape[1] > 2 else 2.5 * a[:, 0]
        m = cls(intercept)
        with pytest.raises(ValueError, match=message):
            m.fit(z, x, y)
        assert not m.is_fitted()


@pytest.mark.parametrize("n", [60, 200])
def test_tsls_collinear_instruments_still_project(n):
    # A repeated instrument adds nothing to the span: the fit equals the one
    # without it, on either first-stage path.
    rng = np.random.default_rng(1)
    z, x, y = iv_data(rng, n, 3, 2)
    a, b = ordinata.TSLS(), ordinata.TSLS()
    a.fit(z, x, y)
    b.fit(np.column_stack([z, 0.3 * z[:, 0] - 1.7 * z[:, 1]]), x, y)
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=1e-9)
    np.testing.assert_allclose(b.standard_errors(), a.standard_errors(), rtol=1e-9)


@pytest.mark.parametrize("sizes, message", [
    ([10] * 6, "Matrix is singular"),  # normal equations
    ([2] * 6, "Cannot compute standard errors: matrix is singular"),  # SVD route
])
def test_fe_regressor_constant_within_entities(sizes, message):
    for seed in SEEDS:
        rng = np.random.default_rng(seed)
        ids = np.repeat(np.arange(len(sizes)) * 7 + 3, sizes).astype(np.int64)
        x = rng.normal(size=(len(ids), 2))
        x[:, 1] = rng.normal(size=len(sizes))[np.repeat(np.arange(len(sizes)), sizes)] * 1e3 + 0.1
        m = ordinata.FE()
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            m.fit(x, x[:, 0] + rng.normal(size=len(ids)), ids)
        assert not m.is_fitted()


def near_collinear(rng, n, p, cond):
    """Regressors whose unit-column design has about the given condition number."""
    x = rng.normal(size=(n, p)) * [10.0 ** (j - 1) for j in range(p)] + 5.0
    x[:, -1] = x[:, 0] * 3.0 + x[:, 1] + x[:, -1] / cond
    return x


def lstsq(xd, y):
    d = np.linalg.norm(xd, axis=0)
    return np.linalg.lstsq(xd / d, y, rcond=None)[0] / d


@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("cls, ctor", [(ordinata.OLS, {}), (ordinata.OLS, {"robust": True}),
                                       (ordinata.Ridge, {"alpha": 0.0}), (ordinata.WLS, {}), (ordinata.GLS, {}),
                                       (ordinata.IV, {}), (ordinata.TSLS, {})])
def test_near_collinear_full_rank_agrees_with_qr(cls, ctor, intercept):
    rng = np.random.default_rng(4)
    n = 200
    x = near_collinear(rng, n, 4, 1e6)
    y = x @ [1.0, -2.0, 0.5, 3.0] + 1.0 + rng.normal(size=n)
    xd = np.column_stack([np.ones(n), x]) if intercept else x
    assert np.linalg.cond(xd / np.linalg.norm(xd, axis=0)) > 1e5
    w = rng.uniform(0.5, 2.0, n)
    m = fit_exogenous(cls, x, y, {"fit_intercept": intercept, **ctor}, weights=w, sigma=np.diag(1.0 / w))
    s = np.sqrt(w) if cls in (ordinata.WLS, ordinata.GLS) else np.ones(n)
    got = np.concatenate([[m.intercept], m.coefficients]) if intercept else m.coefficients
    np.testing.assert_allclose(got, lstsq(xd * s[:, None], y * s), rtol=1e-7)


def test_fe_near_collinear_agrees_with_qr():
    rng = np.random.default_rng(5)
    ids = np.repeat(np.arange(20), 10).astype(np.int64)
    x = near_collinear(rng, 200, 3, 1e6)
    y = x @ [1.0, 2.0, -1.0] + ids * 0.5 + rng.normal(size=200)
    m = ordinata.FE()
    m.fit(x, y, ids)
    means = lambda a: np.stack([a[ids == g].mean(axis=0) for g in range(20)])[ids]
    np.testing.assert_allclose(m.coefficients, lstsq(x - means(x), y - means(y)), rtol=1e-7)


def test_columns_summing_to_a_constant_beside_the_intercept_raise():
    # x1 + x2 = 3e7 up to rounding: centred, the two columns are only
    # near-collinear (rounding at 1e-9 of their spread, far above the
    # tolerance), but [1 | x] with unit columns is singular (1e-16, far
    # below it), as numpy's matrix_rank says too.
    rng = np.random.default_rng(3)
    x = np.column_stack([1e7 + rng.normal(size=60), rng.normal(size=60), np.zeros(60)])
    x[:, 2] = 3e7 - x[:, 0]
    xd = np.column_stack([np.ones(60), x])
    assert np.linalg.matrix_rank(xd / np.linalg.norm(xd, axis=0)) < 4
    with pytest.raises(RuntimeError, match="^Matrix is singular$"):
        ordinata.OLS().fit(x, x[:, 1] + rng.normal(size=60))
