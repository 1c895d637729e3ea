"""Input that a careless or hostile caller gives: NaN and infinity anywhere,
targets and regressors at the ends of the double range, a NaN penalty."""

import subprocess
import sys

import numpy as np
import pytest

import ordinata
from problems import CLASSES, fit_exogenous, fit_kwargs

NOT_FINITE = "^Input contains NaN or infinite values$"


def spoil(a, value, index=None):
    a = np.array(a, dtype=float)
    a.flat[a.size // 2 if index is None else index] = value
    return a


# Every float argument of every class (the weights have their own message),
# and short inputs that take the SVD routes (where LAPACK once spun on an
# infinity or printed its complaints).
ARGS = [(cls, arg, n) for n in (40, 9) for cls in CLASSES for arg, a in fit_kwargs(cls).items()
        if a.dtype == float and arg != "weights"]


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("cls, arg, n", ARGS, ids=lambda v: getattr(v, "__name__", str(v)))
def test_non_finite_input_is_refused_silently(cls, arg, n, value, capfd):
    kw = fit_kwargs(cls, n=n)
    kw[arg] = spoil(kw[arg], value)
    model = cls()
    with pytest.raises(ValueError, match=NOT_FINITE):
        model.fit(**kw)
    assert not model.is_fitted()
    assert capfd.readouterr() == ("", "")


def test_sigma_is_read_whole():
    kw = fit_kwargs(ordinata.GLS)
    kw["sigma"] = spoil(kw["sigma"], np.nan, index=1)  # above the diagonal
    with pytest.raises(ValueError, match=NOT_FINITE):
        ordinata.GLS().fit(**kw)


def test_tsls_infinite_instrument_on_the_svd_route_returns():
    # Once a hang inside LAPACK that Ctrl-C could not stop: run it apart.
    code = ("import numpy as np, ordinata\nz = np.random.default_rng(0).normal(size=(9, 4)); z[3, 1] = np.inf\n"
            "try:\n    ordinata.TSLS().fit(z, z[:, :2].copy(), np.ones(9))\nexcept ValueError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "Input contains NaN or infinite values" and out.stderr == ""


@pytest.mark.parametrize("alpha, message", [(np.nan, "non-negative"), (-1.0, "non-negative"), (np.inf, "finite")])
def test_ridge_bad_alpha_is_refused_at_fit_before_anything_else(alpha, message):
    m = ordinata.Ridge(alpha)
    for x, y in [fit_kwargs(ordinata.Ridge).values(), (np.empty((0, 2)), np.empty(0))]:
        with pytest.raises(ValueError, match=f"^Alpha must be {message}$"):
            m.fit(x, y)


def fit(cls, x, y, **kw):
    return fit_exogenous(cls, x, y, {"alpha": 0.0} if cls is ordinata.Ridge else {}, **kw)


X = np.random.default_rng(0).normal(size=(200, 3))
Y = X @ [1.0, 2.0, -1.0] + 0.5 * np.random.default_rng(1).normal(size=200)


@pytest.mark.parametrize("cls", CLASSES)
def test_r_squared_is_scale_free(cls):
    # Sigma on the scale of y keeps the whitened target.
    r2 = lambda scale: fit(cls, X, Y * scale, sigma=np.eye(200) * 2 * scale**2).r_squared
    assert 0.5 < r2(1.0) < 1.0
    for scale in (1e-10, 1e-100, 1e100):
        assert r2(scale) == pytest.approx(r2(1.0), rel=1e-9)
    # (Beyond 1e150 the rounding noise of a constant's residuals no longer
    # squares into the double range, and the fit says so.)
    for scale in (1e-200, 1.0, 1e150):
        assert fit(cls, X, np.full(200, 3.0 * scale), sigma=np.eye(200) * 2).r_squared == 0.0


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("scale", [1e155, 1e-160])
def test_extreme_column_scales_fit_the_rescaled_model(cls, scale):
    ref, m = fit(cls, X, Y), fit(cls, X * scale, Y)
    np.testing.assert_allclose(m.coefficients * scale, ref.coefficients, rtol=1e-9)
    np.testing.assert_allclose(m.standard_errors() * scale, ref.standard_errors(), rtol=1e-9)
    assert m.r_squared == pytest.approx(ref.r_squared, rel=1e-9)


@pytest.mark.parametrize("cls", CLASSES)
def test_results_beyond_the_double_range_raise(cls):
    m = cls()
    kw = fit_kwargs(cls, n=200)
    kw["targets" if "targets" in kw else "y"] *= 1e200  # residual mean square near 1e400
    kw.update({"sigma": np.eye(200)} if "sigma" in kw else {})
    with pytest.raises(ValueError, match="^Results overflow the range of double precision: rescale the data"):
        m.fit(**kw)
    assert not m.is_fitted()


@pytest.mark.parametrize("cls", [ordinata.OLS, ordinata.Ridge])
def test_finite_targets_whose_sum_overflows_are_not_called_infinite(cls):
    # Infinity in y shows in its mean, but so does a finite y whose sum
    # overflows: that y must still pass the finiteness check.
    kw = fit_kwargs(cls)
    kw["y"] = np.where(np.arange(kw["y"].size) % 2, 1.0e308, 1.5e308)
    m = cls()
    with pytest.raises(ValueError, match="^Results overflow the range of double precision"):
        m.fit(**kw)
    assert not m.is_fitted()
