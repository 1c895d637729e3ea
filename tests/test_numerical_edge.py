"""Singular and ill-conditioned designs: an exactly collinear design raises the
route's singular error on every machine, a near-collinear full-rank one fits
with the digits a QR solve keeps."""

from fractions import Fraction

import numpy as np
import pytest

import exact
import ordinata
from problems import CLASSES, fit_exogenous

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


# Every class and route, against the exact minimum: the Cholesky/LU routes
# (n = 40) and the short designs (n = 14, the SVD routes of OLS and Ridge).
SWEEP = [(ordinata.OLS, {}, True), (ordinata.OLS, {"robust": True}, True), (ordinata.OLS, {}, False),
         (ordinata.Ridge, {"alpha": 0.0}, True), (ordinata.Ridge, {"alpha": 0.0}, False), (ordinata.WLS, {}, True),
         (ordinata.GLS, {}, True), (ordinata.IV, {}, True), (ordinata.TSLS, {}, True), (ordinata.FE, {}, False)]


@pytest.mark.parametrize("n", [40, 14])
@pytest.mark.parametrize("cond", [1e6, 1e9, 1e11, 1e13])
@pytest.mark.parametrize("cls, ctor, intercept", SWEEP)
def test_near_collinear_full_rank_reaches_the_least_squares_minimum(cls, ctor, intercept, cond, n):
    if cls is ordinata.FE and n < 40:
        pytest.skip("a panel needs more rows than entities and regressors")
    rng = np.random.default_rng(int(np.log10(cond)) + n)
    x = near_collinear(rng, n, 3, cond)
    ids = (np.arange(n) % 4).astype(np.int64)
    y = x @ [1.0, -2.0, 0.5] + 1.0 + rng.normal(size=n) + ids * 0.5
    w = rng.uniform(0.5, 2.0, n) if cls in (ordinata.WLS, ordinata.GLS) else np.ones(n)
    d = np.column_stack([np.ones(n), x]) if intercept else x
    if cls is ordinata.FE:
        d = np.column_stack([x, np.eye(4)[ids]])
    kappa = np.linalg.cond(d / np.linalg.norm(d, axis=0))
    m = fit_exogenous(cls, x, y, {"fit_intercept": intercept, **ctor} if cls is not ordinata.FE else {},
                      weights=w, sigma=np.diag(1.0 / w), entity_id=ids)
    beta, ssr = exact.lstsq(d, y, w)
    params = np.r_[[m.intercept] if intercept else [], m.coefficients]
    if cls is ordinata.FE:  # the entity effects that go with the slopes
        e = y - x @ m.coefficients
        params = np.r_[params, [e[ids == g].mean() for g in range(4)]]
    # A backward-stable solve leaves || A (b - b*) || at about eps kappa
    # || y ||; the floor is that with a factor 1e3 to spare (and never
    # tighter than 1e-12). A wrecked solve misses by factors of 1e8 and more.
    minimum = ssr(beta)
    excess = float((ssr(params) - minimum) / minimum)
    bound = max(1e-12, float((1e3 * np.finfo(float).eps * kappa) ** 2 * np.sum(w * y**2) / float(minimum)))
    assert excess <= bound, f"cond {kappa:.1e}: residual sum of squares {excess:.1e} above the minimum"
    # The reported residual mean square is the minimum's, to the same bound.
    dof = n - d.shape[1]
    if cls not in (ordinata.WLS, ordinata.GLS):  # those report the unweighted one
        assert abs(m.mse * dof / float(minimum) - 1) <= max(1e-10, bound)


@pytest.mark.parametrize("cls, ctor, intercept", [c for c in SWEEP if c[0] is not ordinata.FE])
def test_past_the_rank_threshold_raises(cls, ctor, intercept):
    # A condition of 1e16 lies a hundredfold past 1 / (max(n, k) eps) = 1.1e14.
    rng = np.random.default_rng(7)
    x = near_collinear(rng, 40, 3, 1e16)
    with pytest.raises((RuntimeError, ValueError), match=r"singular|positive definite|Cannot compute"):
        fit_exogenous(cls, x, x[:, 0] + rng.normal(size=40), {"fit_intercept": intercept, **ctor})


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
    with pytest.raises(RuntimeError, match=r"^Matrix is singular$"):
        ordinata.OLS().fit(x, x[:, 1] + rng.normal(size=60))


# Two columns with a common offset of 1e8 and a shared variation: centred,
# they are only near-collinear (1e-7 apart), but [1 | x] with unit columns
# is singular (ratio 4e-16, thirty times below max(n, k) eps = 1.3e-14);
# 1e-4 apart it is thirty times above and fits. Only the intercept's row in
# the rank factor tells the two apart.
# GLS whitens the columns about their means and FE demeans them by entity,
# yet both judge the rank on the given columns beside the ones column (for
# FE with one entity the same regression as OLS with an intercept).
@pytest.mark.parametrize("cls, ctor", [(ordinata.OLS, {}), (ordinata.Ridge, {"alpha": 0.0}), (ordinata.WLS, {}),
                                       (ordinata.GLS, {}), (ordinata.FE, {})])
@pytest.mark.parametrize("gap, singular", [(1e-7, True), (1e-4, False)])
def test_offset_columns_judged_with_the_intercept(cls, ctor, gap, singular):
    rng = np.random.default_rng(0)
    u, v = rng.normal(size=60), rng.normal(size=60)
    x = np.column_stack([1e8 + u, 1e8 + u + gap * v])
    xd = np.column_stack([np.ones(60), x]) / np.linalg.norm(np.column_stack([np.ones(60), x]), axis=0)
    assert (np.linalg.matrix_rank(xd) < 3) == singular
    fit = lambda: fit_exogenous(cls, x, u + rng.normal(size=60), ctor, weights=np.ones(60),
                                sigma=np.diag(np.linspace(0.5, 2.0, 60)), entity_id=np.zeros(60, np.int64))
    if singular:
        with pytest.raises(RuntimeError, match=r"singular|positive definite"):
            fit()
    else:
        assert fit().is_fitted()


# A near-perfect fit: the residuals (1e-9) are what is left of terms of 1e6,
# so y - X b in double precision keeps about one digit, and which digit
# depends on the BLAS kernel. The residual mean square must be that of the
# reported coefficients to ten digits (the floor of the re-formed residuals,
# with a digit to spare); a working-precision product misses it by 10%.
@pytest.mark.parametrize("cls, ctor", [(ordinata.OLS, {}), (ordinata.OLS, {"fit_intercept": False}),
                                       (ordinata.Ridge, {"alpha": 0.0}), (ordinata.IV, {}), (ordinata.TSLS, {})])
def test_residuals_of_a_near_perfect_fit_do_not_depend_on_rounding(cls, ctor):
    rng = np.random.default_rng(11)
    n = 40
    x = rng.uniform(1.0, 2.0, size=(n, 2))
    y = 3.0 * ctor.get("fit_intercept", True) + x @ [1e6, -2e6] + 1e-9 * rng.normal(size=n)
    m = fit_exogenous(cls, x, y, ctor)
    intercept = ctor.get("fit_intercept", True)
    b = [Fraction(v) for v in np.r_[[m.intercept] if intercept else [], m.coefficients]]
    d = np.column_stack([np.ones(n), x]) if intercept else x
    e = [Fraction(yi) - sum(Fraction(v) * bj for v, bj in zip(row, b)) for row, yi in zip(d, y)]
    assert m.mse * (n - d.shape[1]) == pytest.approx(float(sum(v * v for v in e)), rel=1e-9)
    np.testing.assert_allclose(m.residuals, [float(v) for v in e], rtol=1e-9, atol=0)


# Past the size the extended-precision QR takes (rows x columns^2 above
# 2^22), an ill-conditioned design goes to LAPACK's QR: the same least-squares
# solution to its conditioning (cond 1e8: about 1e-8, checked at 1e-6).
@pytest.mark.parametrize("cls, ctor", [(ordinata.OLS, {}), (ordinata.Ridge, {"alpha": 0.0}), (ordinata.WLS, {})])
def test_large_ill_conditioned_design_by_working_precision_qr(cls, ctor):
    rng = np.random.default_rng(13)
    n = 300_000
    x = near_collinear(rng, n, 4, 1e8)
    y = x @ [1.0, -2.0, 0.5, 3.0] + 1.0 + rng.normal(size=n)
    xd = np.column_stack([np.ones(n), x])
    assert n * 4**2 > 2**22 and np.linalg.cond(xd / np.linalg.norm(xd, axis=0)) > 1e6
    m = cls(**ctor)
    m.fit(x, y, *([np.ones(n)] if cls is ordinata.WLS else []))
    norms = np.linalg.norm(xd, axis=0)
    want = np.linalg.lstsq(xd / norms, y, rcond=None)[0] / norms
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], want, rtol=1e-6)
    # The intercept's variance from R too: from the rounded inverse, m'S^-1 m
    # cancelled to about cond^2 eps (1e-5 here); QR's own inverse is right to
    # cond eps, the slopes' block as well (R^-1 R^-T, not R^-T R^-1).
    r_inv = np.linalg.inv(np.linalg.qr(xd / norms, mode="r"))
    want_cov = (r_inv @ r_inv.T) / np.outer(norms, norms)
    if cls is not ordinata.WLS:  # WLS shows no covariance
        got = covariance(m) / m.mse
        np.testing.assert_allclose(got[0], want_cov[0], rtol=1e-6)
        np.testing.assert_allclose(got, want_cov, rtol=1e-6, atol=1e-6 * np.abs(want_cov).max())


def fit(cls, x, y, ctor=None):
    n = len(y)
    ctor = {"alpha": 0.0, **(ctor or {})} if cls is ordinata.Ridge else ctor or {}
    return fit_exogenous(cls, x, y, ctor, weights=np.linspace(0.5, 2.0, n), sigma=np.diag(np.linspace(2.0, 0.5, n)))


def covariance(m):
    c = getattr(m, "covariance_matrix", None)
    return c() if callable(c) else c


def assert_transformed(m, ref, s, rtol):
    """m, fitted on columns multiplied by s, against ref fitted on the columns."""
    np.testing.assert_allclose(m.coefficients * s, ref.coefficients, rtol=rtol)
    np.testing.assert_allclose(m.standard_errors() * np.abs(s), ref.standard_errors(), rtol=rtol)
    for attr in ("intercept", "mse", "r_squared"):
        if hasattr(ref, attr):
            assert getattr(m, attr) == pytest.approx(getattr(ref, attr), rel=rtol), attr
    np.testing.assert_allclose(m.residuals, ref.residuals, rtol=0, atol=rtol * np.abs(ref.residuals).max())
    # Covariances of columns past 1e+-150 square beyond the double range.
    if (c := covariance(ref)) is not None and np.abs(np.log10(np.abs(s))).max() <= 150:
        f = np.r_[np.ones(len(c) - len(s)), s]  # the intercept first, when fitted
        np.testing.assert_allclose(covariance(m) * np.outer(f, f), c, rtol=0, atol=rtol * np.abs(c).max())


def unit_columns(rng, n):
    """Three regressors whose largest magnitudes are 0.75 exactly, the last in [0.5, 0.75]."""
    x = rng.normal(size=(n, 3))
    x[:, 2] = rng.uniform(0.5, 0.75, n)
    return x / np.abs(x).max(axis=0) * 0.75


# Column scales, the last column's all of one sign: past 1e+-150 the fit
# runs on rescaled columns (a lone negative column at 1e+-200 would not fit
# otherwise); 2^480 and 2^-479 stay just inside the range in which columns
# are left as they are (every magnitude in [2^-480, 2^480)), 2^481 and
# 2^-481 lie just outside it. Powers of two and the factors that undo the
# rescaling change no digit, and 1e+-150 round each element by at most eps,
# which a design of condition number below 10 carries into the results no
# further than 1e-14. "near-collinear": columns 1e6 and 1e-6 times those of
# a design of scaled condition number 1e6, whose rounding to the new scale
# moves each element by eps and the fits by up to about cond * eps = 2e-10.
SCALES = {"mixed": [1e150, -1.0, -1e-150], "negative-huge": [1.0, 1.0, -1e200], "negative-tiny": [1.0, 1.0, -1e-200],
          "huge-inside": [1.0, 1.0, 2.0**480], "huge-outside": [1.0, 1.0, -(2.0**481)],
          "tiny-inside": [1.0, 1.0, 2.0**-479], "tiny-outside": [1.0, 1.0, -(2.0**-481)],
          "near-collinear": [1e6, 1e-6, 1.0]}


@pytest.mark.parametrize("cls, name", [pytest.param(c, k, id=f"{c.__name__}-{k}") for c in CLASSES for k in SCALES])
def test_rescaled_columns_give_the_transformed_fit(cls, name):
    if name == "near-collinear":
        rng = np.random.default_rng(7)
        x = rng.normal(size=(200, 3))
        x[:, 2] = x[:, 0] * 3.0 + x[:, 1] + x[:, 2] / 1e5 + 5.0
        y = x @ [1.0, -2.0, 0.5] + 1.0 + rng.normal(size=200)
    else:
        rng = np.random.default_rng(6)
        x = unit_columns(rng, 120)
        y = x @ [1.0, 2.0, -1.0] + 0.5 + rng.normal(size=120)
    s = np.array(SCALES[name])
    assert_transformed(fit(cls, x * s, y), fit(cls, x, y), s, rtol=1e-8 if name == "near-collinear" else 1e-12)


# Ridge penalises the slopes of the columns it is given: alpha b^2 on a
# column multiplied by s is alpha / s^2 on the slope of the column itself,
# nothing at 1e150 and all but infinite at 1e-150. The oracle solves the
# centred normal equations of a design of condition number below 10.
@pytest.mark.parametrize("s", [[1e150, 1.0, 1e-150], [2.0**481, 2.0**-481, -1.0], [1.0, 1.0, 1.0]])
def test_ridge_penalises_the_slopes_of_the_given_columns(s):
    rng = np.random.default_rng(8)
    x = unit_columns(rng, 60)
    y = x @ [1.0, 2.0, -1.0] + rng.normal(size=60)
    xc = x - x.mean(axis=0)
    b = np.linalg.solve(xc.T @ xc + np.diag(3.0 / np.square(s)), xc.T @ (y - y.mean()))
    m = fit(ordinata.Ridge, x * s, y, {"alpha": 3.0})
    np.testing.assert_allclose(m.coefficients * s, b, rtol=1e-10)
    assert m.intercept == pytest.approx(y.mean() - x.mean(axis=0) @ b, rel=1e-10)


# R^2 is 0 for a target whose total sum of squares is within the rounding
# noise of its mean, (n eps)^2 sum y^2. Here 15 of 16 values are 2^26 (about
# 6.7e7) and one is m 2^-22 above: every sum is exact, the total sum of
# squares is m^2 (15/16) 2^-44 and the noise 2^-40, so m = 8 lies 3.75 times
# above the cut-off and m = 2 4.3 times below it. x, that row's indicator,
# explains all of the target.
@pytest.mark.parametrize("m, explained", [(8, True), (2, False)])
@pytest.mark.parametrize("cls", CLASSES)
def test_r_squared_cut_off_at_the_rounding_noise_of_the_mean(cls, m, explained):
    x = (np.arange(16) == 5)[:, None] * 1.0
    y = 2.0**26 + x[:, 0] * m * 2.0**-22
    r2 = fit_exogenous(cls, x, y, {"alpha": 0.0} if cls is ordinata.Ridge else {}, weights=np.ones(16),
                       sigma=np.eye(16)).r_squared
    assert r2 > 0.99 if explained else r2 == 0.0


# The rank tolerance is max(n, k) eps on the design with unit columns (and
# the intercept's): a column that departs from another by 3 times that is a
# regressor of its own, by a third of it a copy. Rounding moves the smallest
# singular value by a few eps, a tenth of the margin.
@pytest.mark.parametrize("intercept", [True, False])
@pytest.mark.parametrize("ratio, full_rank", [(3.0, True), (1 / 3, False)])
@pytest.mark.parametrize("cls", [ordinata.OLS, ordinata.Ridge, ordinata.WLS, ordinata.GLS])
def test_rank_tolerance_edge(cls, ratio, full_rank, intercept):
    rng = np.random.default_rng(9)
    n = 64
    x = rng.normal(size=(n, 3))
    u = rng.normal(size=n)
    def ratio_of(delta):
        x[:, 2] = x[:, 0] + delta * u
        a = np.c_[np.ones(n), x][:, 1 - intercept:]
        sv = np.linalg.svd(a / np.linalg.norm(a, axis=0), compute_uv=False)
        return sv[-1] / sv[0]
    tol = n * np.finfo(float).eps
    delta = 1e-6 * ratio * tol / ratio_of(1e-6)
    assert ratio_of(delta) == pytest.approx(ratio * tol, rel=0.1)
    y = x[:, :2] @ [1.0, 2.0] + rng.normal(size=n)
    args = ({"alpha": 0.0} if cls is ordinata.Ridge else {}) | {"fit_intercept": intercept}
    if full_rank:
        fit_exogenous(cls, x, y, args, weights=np.ones(n), sigma=np.eye(n))
    else:
        with pytest.raises(RuntimeError):
            fit_exogenous(cls, x, y, args, weights=np.ones(n), sigma=np.eye(n))


# Instruments that reach a regressor only at the level of rounding (1e-15 of
# its length, ten times below max(n, k) eps): Z'X is singular whatever the
# scale of that regressor's column, and rescaling the column must not hide it.
@pytest.mark.parametrize("reach", [0.0, 1e-15])
def test_instruments_that_do_not_reach_a_regressor(reach):
    rng = np.random.default_rng(9)
    z = rng.normal(size=(50, 2))
    w = rng.normal(size=50)
    w -= z @ np.linalg.lstsq(z, w, rcond=None)[0]
    x = np.column_stack([z[:, 0], w / np.linalg.norm(w) + reach * z[:, 1] / np.linalg.norm(z[:, 1])])
    with pytest.raises(ValueError, match=r"^Z'X matrix is singular"):
        ordinata.IV(fit_intercept=False).fit(z, x, rng.normal(size=50))


# Short designs (n <= 3-4 parameters) and longer ones, with columns offset
# by a representable 2^30 or 2^40 beside the intercept (the means then round
# at a share of the spread), also a near-collinear pair (solved by QR), or
# scaled by 2^-41, the rows permuted, or the target offset by 2^40: the
# coefficients are the exact least-squares solution of the given doubles to
# 1e-12 in the column-scaled norm, and a target's offset, the intercept's
# alone, costs the slopes no digit either.
TRANSFORMS = {"offset": lambda x: x + [2.0**30, 0.0], "offsets": lambda x: x + [2.0**40, -(2.0**40)],
              "offset near-collinear": lambda x: np.column_stack([x[:, 0], x[:, 0] + 1e-3 * x[:, 1]]) + 2.0**30,
              "scaled": lambda x: x * [1.0, 2.0**-41], "permuted": lambda x: x[::-1], "target offset": lambda x: x}


@pytest.mark.parametrize("n", [12, 40])
@pytest.mark.parametrize("transform", TRANSFORMS)
@pytest.mark.parametrize("cls, ctor", [(ordinata.OLS, {}), (ordinata.WLS, {}), (ordinata.GLS, {}),
                                       (ordinata.Ridge, {"alpha": 0.0}), (ordinata.FE, {}), (ordinata.IV, {}),
                                       (ordinata.TSLS, {})])
def test_offset_scaled_and_permuted_designs_reach_the_exact_solution(cls, ctor, transform, n):
    rng = np.random.default_rng(n)
    x0 = rng.normal(size=(n, 2))
    y0 = x0 @ [1.0, 2.0] + 3.0 + rng.normal(size=n)
    x, y = TRANSFORMS[transform](x0), {"permuted": y0[::-1], "target offset": y0 + 2.0**40}.get(transform, y0)
    w = np.linspace(0.5, 2.0, n)
    ids = np.zeros(n, np.int64)
    m = fit_exogenous(cls, x, y, ctor, weights=w, sigma=np.diag(1.0 / w), entity_id=ids)
    if cls is not ordinata.WLS and cls is not ordinata.GLS:
        w = np.ones(n)
    d = np.column_stack([np.ones(n), x])
    beta = np.array([float(b) for b in exact.lstsq(d, y, w)[0]])
    got = np.r_[(y - x @ m.coefficients).mean() if cls is ordinata.FE else m.intercept, m.coefficients]
    norms = np.linalg.norm(d, axis=0)
    assert np.linalg.norm((got - beta) * norms) <= 1e-12 * np.linalg.norm(beta * norms)
    if transform == "target offset":
        np.testing.assert_allclose(got[1:], beta[1:], rtol=1e-12)


# The regressors as their own instruments (IV with Z = X, TSLS with
# Z = [1 | X]) on a near-collinear design: the regression of y on [1 | X],
# which must reach its exact minimum as closely as OLS does (the normal
# equations of Z'X and the projection's rounding left it 1e-11 and 1e-9
# above it).
@pytest.mark.parametrize("cls", [ordinata.IV, ordinata.TSLS])
@pytest.mark.parametrize("n, cond, noise", [(40, 1e11, 1e-6), (1000, 2e10, 1e-9)])
def test_instrumental_fits_of_a_regression_reach_its_minimum(cls, n, cond, noise):
    rng = np.random.default_rng(5)
    x = near_collinear(rng, n, 3, cond)
    y = x @ [1.0, -2.0, 0.5] + 1.0 + noise * rng.normal(size=n)
    d = np.column_stack([np.ones(n), x])
    m = cls()
    m.fit(x if cls is ordinata.IV else d, x, y)
    beta, ssr = exact.lstsq(d, y, np.ones(n))
    assert float(ssr(np.r_[m.intercept, m.coefficients]) / ssr(beta)) - 1 <= 1e-12


# Well-conditioned instruments, near-collinear regressors (1e-6 apart): the
# second stage on the projection, fitted as a regression, keeps the digits
# its normal equations lost (1e-9 off the exact two-stage solution; 5e-11).
def test_tsls_of_near_collinear_regressors_against_exact_two_stages():
    rng = np.random.default_rng(4)
    n = 40
    x1, u = rng.normal(size=n), rng.normal(size=n)
    x = np.column_stack([x1, x1 + 1e-6 * u])
    z = np.column_stack([np.ones(n), x1, u, rng.normal(size=n)])
    y = 1.0 + x @ [1.0, 2.0] + 1e-3 * rng.normal(size=n)
    m = ordinata.TSLS()
    m.fit(z, x, y)
    want = np.array([float(b) for b in exact.two_stage(z, x, y)])
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], want, rtol=5e-10)
