"""Input that a careless or hostile caller gives: NaN and infinity anywhere,
targets and regressors at the ends of the double range, a NaN penalty."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ordinata

NOT_FINITE = "^Input contains NaN or infinite values$"


def spoil(a, value, index=None):
    a = np.array(a, dtype=float)
    a.flat[a.size // 2 if index is None else index] = value
    return a


def fits(n=40, q=3):
    """(name, fit(model args...)) for every class, on n rows."""
    rng = np.random.default_rng(0)
    x, z = rng.normal(size=(n, 3)), rng.normal(size=(n, q))
    y, w = rng.normal(size=n), rng.uniform(0.5, 2.0, n)
    ids = (np.arange(n) % max(n // 4, 2)).astype(np.int64)
    sigma = np.eye(n) + 0.1
    return {
        "OLS": (ordinata.OLS, [x, y]),
        "Ridge": (ordinata.Ridge, [x, y]),
        "WLS": (ordinata.WLS, [x, y, w]),
        "GLS": (ordinata.GLS, [x, y, sigma]),
        "IV": (ordinata.IV, [z[:, :3], x, y]),
        "TSLS": (ordinata.TSLS, [z, x, y]),
        "FE": (ordinata.FE, [x, y, ids]),
    }


# Every float argument of every class, and short inputs that take the SVD
# routes (where LAPACK once spun on an infinity or printed its complaints).
ARGS = [(name, i, n) for n in (40, 9) for name, (_, args) in fits().items() for i, a in enumerate(args)
        if a.dtype == float and not (name == "WLS" and i == 2)]


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("name, index, n", ARGS)
def test_non_finite_input_is_refused_silently(name, index, n, value, capfd):
    cls, args = fits(n, q=4)[name]
    args[index] = spoil(args[index], value)
    model = cls()
    with pytest.raises(ValueError, match=NOT_FINITE):
        model.fit(*args)
    assert not model.is_fitted()
    assert capfd.readouterr() == ("", "")


def test_sigma_is_read_whole():
    cls, args = fits()["GLS"]
    args[2] = spoil(args[2], np.nan, index=1)  # above the diagonal
    with pytest.raises(ValueError, match=NOT_FINITE):
        cls().fit(*args)


def test_tsls_infinite_instrument_on_the_svd_route_returns():
    # Once a hang inside LAPACK that Ctrl-C could not stop: run it apart.
    code = textwrap.dedent("""
        import numpy as np, ordinata
        z = np.random.default_rng(0).normal(size=(9, 4)); z[3, 1] = np.inf
        try:
            ordinata.TSLS().fit(z, z[:, :2].copy(), np.ones(9))
        except ValueError as e:
            print(e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "Input contains NaN or infinite values" and out.stderr == ""


@pytest.mark.parametrize("alpha", [np.nan, -1.0])
def test_ridge_nan_alpha_is_refused_at_fit(alpha):
    m = ordinata.Ridge(alpha)
    x, y = fits()["Ridge"][1]
    with pytest.raises(ValueError, match="^Alpha must be non-negative$"):
        m.fit(x, y)


def r_squared(name, scale, constant=False):
    cls, args = fits(200)[name]
    rng = np.random.default_rng(1)
    x = args[1] if name in ("IV", "TSLS") else args[0]
    y = np.full(200, 3.0) if constant else x @ [1.0, 2.0, -1.0] + 0.5 * rng.normal(size=200)
    args[2 if name in ("IV", "TSLS") else 1] = y * scale
    if name in ("IV", "TSLS"):
        args[0] = x  # exogenous regressors as their own instruments
    if name == "GLS":
        # Sigma on the scale of y keeps the whitened target; a multiple of
        # the identity keeps a constant target constant once whitened.
        args[2] = np.eye(200) * (2.0 if constant else 2.0 * scale**2)
    m = cls()
    m.fit(*args)
    return m.r_squared


@pytest.mark.parametrize("name", list(fits()))
def test_r_squared_is_scale_free(name):
    base = r_squared(name, 1.0)
    assert 0.5 < base < 1.0
    for scale in (1e-10, 1e-100, 1e100):
        assert r_squared(name, scale) == pytest.approx(base, rel=1e-9)
    # (Beyond 1e150 the rounding noise of a constant's residuals no longer
    # squares into the double range, and the fit says so.)
    for scale in (1e-200, 1.0, 1e150):
        assert r_squared(name, scale, constant=True) == 0.0


@pytest.mark.parametrize("name", ["OLS", "Ridge", "WLS", "GLS", "IV", "TSLS", "FE"])
@pytest.mark.parametrize("scale", [1e155, 1e-160])
def test_extreme_column_scales_fit_the_rescaled_model(name, scale):
    cls, args = fits(200)[name]
    rng = np.random.default_rng(2)
    xi = 1 if name in ("IV", "TSLS") else 0
    x = args[xi]
    y = x @ [1.0, 2.0, -1.0] + 0.5 * rng.normal(size=200)
    args[xi + 1] = y
    if name in ("IV", "TSLS"):
        args[0] = args[1]  # exogenous: the regressors are their own instruments
    kw = {"alpha": 0.0} if name == "Ridge" else {}
    ref = cls(**kw)
    ref.fit(*args)
    scaled = list(args)
    scaled[xi] = x * scale
    if name in ("IV", "TSLS"):
        scaled[0] = scaled[1]
    m = cls(**kw)
    m.fit(*scaled)
    np.testing.assert_allclose(m.coefficients * scale, ref.coefficients, rtol=1e-9)
    np.testing.assert_allclose(m.standard_errors() * scale, ref.standard_errors(), rtol=1e-9)
    assert m.r_squared == pytest.approx(ref.r_squared, rel=1e-9)


@pytest.mark.parametrize("name", list(fits()))
def test_results_beyond_the_double_range_raise(name):
    cls, args = fits(200)[name]
    yi = 2 if name in ("IV", "TSLS") else 1
    args[yi] = args[yi] * 1e200  # residual mean square near 1e400
    if name == "GLS":
        args[2] = np.eye(200)
    m = cls()
    with pytest.raises(ValueError, match="^Results overflow the range of double precision: rescale the data"):
        m.fit(*args)
    assert not m.is_fitted()


@pytest.mark.parametrize("name", ["OLS", "Ridge"])
def test_finite_targets_whose_sum_overflows_are_not_called_infinite(name):
    # Infinity in y shows in its mean, but so does a finite y whose sum
    # overflows: that y must still pass the finiteness check.
    cls, (x, y) = fits()[name]
    y = np.where(np.arange(y.size) % 2, 1.0e308, 1.5e308)
    m = cls()
    with pytest.raises(ValueError, match="^Results overflow the range of double precision"):
        m.fit(x, y)
    assert not m.is_fitted()
