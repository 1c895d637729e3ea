"""Input that a careless or hostile caller gives: NaN and infinity anywhere,
targets and regressors at the ends of the double range, a NaN penalty."""

import functools
import subprocess
import sys

import numpy as np
import pytest

import ordinata
from problems import CLASSES, fit_exogenous, fit_kwargs, fitted, params, predict

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


# Rows at which the fit's scans change chunk or block for three regressors:
# the centred pass's blocks of 16384 // 3 rows and its chunks of nine such
# blocks (2**18 elements of 5-wide rows), then the chunks of 2**18 elements
# of the 4-, 3- and 1-wide passes.
EDGE_ROWS = [5461, 9 * 5461, 2**18 // 4, 2**18 // 3, 2 * (2**18 // 3), 2**18]
N_LONG = 2**18 + 7000


@functools.cache
def long_inputs(cls):
    rng = np.random.default_rng(2)
    x = rng.normal(size=(N_LONG, 3))
    y = x @ [1.0, 2.0, 3.0] + rng.normal(size=N_LONG)
    z = x + rng.normal(size=x.shape)
    return {"x": x, "regressors": x, "y": y, "targets": y, "entity_id": np.arange(N_LONG, dtype=np.int64) % 1000,
            "weights": rng.uniform(0.5, 2.0, N_LONG),
            "instruments": z if cls is ordinata.IV else np.column_stack([z, rng.normal(size=N_LONG)])}


# Every class but GLS, whose Σ of n^2 values keeps its inputs short (its
# tiles have their own test); without an intercept OLS scans a plain copy.
# The weights have their own message.
LONG = [(cls, ctor, arg) for cls, ctor in [(c, {}) for c in CLASSES if c is not ordinata.GLS] +
        [(ordinata.OLS, {"fit_intercept": False})] for arg in params(cls.fit) if arg in long_inputs(cls)
        and arg != "entity_id"]


@pytest.mark.parametrize("edge", range(2 + 2 * len(EDGE_ROWS)))
@pytest.mark.parametrize("cls, ctor, arg", LONG, ids=lambda v: getattr(v, "__name__", str(v)))
def test_non_finite_value_at_every_chunk_edge_is_refused(cls, ctor, arg, edge):
    kw = {a: long_inputs(cls)[a] for a in params(cls.fit)}
    w = kw[arg].size // N_LONG
    kw[arg] = spoil(kw[arg], np.nan, ([0, kw[arg].size - 1] + [r * w + d for r in EDGE_ROWS for d in (-1, 0)])[edge])
    with pytest.raises(ValueError, match="^All weights must be positive and finite$" if arg == "weights" else NOT_FINITE):
        cls(**ctor).fit(**kw)


# predict reads an x that BLAS can address in chunks of 2**18 // 24 groups
# of 8 rows (87376 rows of 3), which Ridge checks 1024 elements at a time,
# and any other view (strided, reversed) in blocks of 4096 // 3 rows: a NaN
# at each of their ends is refused by Ridge, and is the one NaN of the other
# classes' predictions, which equal those of a dense copy.
@pytest.mark.parametrize("layout, row, col", [
    ("dense", 0, 0), ("dense", 341, 0), ("dense", 341, 1), ("dense", 87375, 2), ("dense", 87376, 0),
    ("dense", 87376 + 341, 1), ("dense", -1, 2), ("strided", 1364, 2), ("strided", 1365, 0), ("strided", -1, 2),
    ("reversed", 0, 1), ("reversed", -1, 0)])
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_predict_reads_every_chunk_and_block_to_its_end(cls, layout, row, col):
    model = fitted(cls)
    big = np.random.default_rng(1).normal(size=(180_000, 6))
    x = {"dense": lambda: np.ascontiguousarray(big[:, :3]), "strided": lambda: big[:, ::2],
         "reversed": lambda: big[::-1, ::-2][:, :3]}[layout]()
    x[row, col] = np.nan
    if cls is ordinata.Ridge:
        with pytest.raises(ValueError, match=r"^Input contains NaN or infinite values$"):
            model.predict(x)
    else:
        out = predict(model, x)
        np.testing.assert_array_equal(np.isnan(out), np.arange(len(x)) == row % len(x))
        np.testing.assert_allclose(out, predict(model, np.ascontiguousarray(x)), rtol=1e-15, atol=1e-300)


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
def test_a_constant_target_has_no_r_squared_at_any_scale(cls):
    # (Beyond 1e150 the rounding noise of a constant's residuals no longer
    # squares into the double range, and the fit says so.)
    for scale in (1e-200, 1.0, 1e150):
        assert fit(cls, X, np.full(200, 3.0 * scale), sigma=np.eye(200) * 2).r_squared == 0.0


def outputs(m):
    """Every scale-carrying output: estimates, errors, residual mean square, residuals."""
    est = np.r_[[m.intercept] if getattr(m, "intercept", None) is not None else [], m.coefficients]
    return est, m.standard_errors(), m.mse, m.residuals


# Results that do not fit in a double raise, whichever way they leave it:
# a residual mean square of 1e-400 (target 1e-200), or of 1e400, slopes of
# 1e450 (overflow) and 1e-450 (their errors underflow). Infinity in y shows in
# its mean, but so does a finite y whose sum overflows ("sum"): that y must
# still pass the finiteness check.
@pytest.mark.parametrize("cls", CLASSES)
# All-subnormal inputs are finite: their residual mean square (1e-620) is
# what leaves the range, and the message says so.
@pytest.mark.parametrize("x_scale, y_scale, word", [(1.0, 1e-200, "underflow"), (1.0, 1e200, "overflow"),
                                                    (1e-300, 1e150, "overflow"), (1e300, 1e-150, "underflow"),
                                                    (1e-310, 1e-310, "underflow"), (1.0, "sum", "overflow")])
def test_results_beyond_the_double_range_raise(cls, x_scale, y_scale, word):
    m = cls(**({"alpha": 0.0} if cls is ordinata.Ridge else {}))
    kw = fit_kwargs(cls, n=200)
    kw.update({name: X * x_scale for name in ("x", "regressors", "instruments") if name in kw})
    if y_scale == "sum" and cls is ordinata.FE:
        pytest.skip("the entities' targets are constant: nothing is summed across them")
    y = np.where(np.arange(200) % 2, 1.0e308, 1.5e308) if y_scale == "sum" else Y * y_scale
    kw.update({name: y for name in ("y", "targets") if name in kw})
    kw.update({"sigma": np.eye(200) * 2} if "sigma" in kw else {})
    with pytest.raises(ValueError, match=f"^Results {word} the range of double precision: rescale the data"):
        m.fit(**kw)
    assert not m.is_fitted()


# Every output is the unit-scale one times the target's scale, and R^2 the
# same: targets of 1e+-100 on the plain route, beyond 1e+-144 (results still
# within a double) fitted on a power-of-two copy. Only the ratios of the
# weights, and the shape of Sigma, enter the estimates and their errors:
# weights of 1e-310 or 1e300 each, or Sigma times 2^-1000 or 1e300, give the
# unit-scale results (GLS's whitened residuals and their mean square carry
# Sigma's scale).
@pytest.mark.parametrize("cls, scaled, scale", [
    *[(cls, "y", scale) for scale in (1e-100, 2.0**-490, 1e-150, 1e100, 2.0**490, 1e150) for cls in CLASSES],
    (ordinata.WLS, "weights", 1e-310), (ordinata.WLS, "weights", 1e300), (ordinata.GLS, "weights", 2.0**-1000),
    (ordinata.GLS, "weights", 1e300)], ids=lambda v: getattr(v, "__name__", str(v)))
def test_scaled_inputs_transform_every_output(cls, scaled, scale):
    w, (sy, sw) = np.linspace(0.5, 2.0, 200), (scale, 1.0) if scaled == "y" else (1.0, scale)
    ref = fit(cls, X, Y, weights=w, sigma=np.diag(2.0 / w))
    m = fit(cls, X, Y * sy, weights=w * sw, sigma=np.diag(2.0 * sw / w))
    f, powers = (scale, (1, 1, 2, 1)) if scaled == "y" else (scale if cls is ordinata.GLS else 1.0, (0, 0, -1, -0.5))
    assert 0.5 < ref.r_squared < 1.0 and m.r_squared == pytest.approx(ref.r_squared, rel=1e-12)
    for got, want, power in zip(outputs(m), outputs(ref), powers):
        np.testing.assert_allclose(np.divide(got, f**power), want, rtol=1e-12, atol=1e-12 * np.max(np.abs(want)))
