"""HC0 (OLS) and entity-clustered (FE) standard errors against exact rational
arithmetic on offset and near-collinear designs, and their invariance under
exact rescaling, shifting and reordering of the data."""

import math

import numpy as np
import pytest

import exact
from ordinata import FE, OLS


def exact_hc0(x, y, intercept):
    columns = ([[1.0] * len(y)] if intercept else []) + [list(c) for c in np.asarray(x).T]
    return exact.standard_errors(columns, list(y))[1 if intercept else 0:]


def design(rng, n, cond, offset, bits=None):
    """Three columns, the first two near-collinear (scaled condition about
    cond), on a grid fine enough for the collinearity and coarse enough for
    the offset: every value is offset + an integer multiple of ulp(offset),
    about 2^bits of them for the spread (at most 2^52 times the offset)."""
    z = rng.normal(size=(n, 3))
    z[:, 1] = z[:, 0] + rng.normal(size=n) / cond
    unit = math.ulp(offset) if offset else 2.0**-30
    return offset + np.round(z * 2.0 ** (bits or max(12, math.ceil(math.log2(cond)) + 12))) * unit


def heteroskedastic_target(rng, x):
    xc = (x - x.mean(0)) / x.std(0)
    return 3.0 + xc[:, 0] - xc[:, 2] + rng.normal(size=len(x)) * (0.5 + np.abs(xc[:, 2]))


def relative(got, want):
    return float(np.max(np.abs(np.asarray(got) / want - 1.0)))


# n = 14: OLS's SVD route; cond 1e1: the Cholesky factor, the others the extended-precision QR.
# Offsets of 2^30 (timestamps) and 2^40 lie up to 1e11 times the columns' spread. 1,300 rows and 16
# parameters: blocks of 512 rows and a partial last one, on the Cholesky route.
@pytest.mark.parametrize("n, cond, intercept, offset", [
    *[(n, cond, *io) for n in (14, 40) for cond in (1e1, 1e4, 1e6, 1e8)
      for io in ((False, 0.0), (True, 0.0), (True, 2.0**30), (True, 2.0**40))], (1300, 3.0, True, 2.0**30)])
def test_hc0_agrees_with_exact_arithmetic(n, cond, intercept, offset):
    rng = np.random.default_rng([n, int(math.log10(cond)), int(math.log2(offset or 1))])
    x = design(rng, n, cond, offset)
    y = heteroskedastic_target(rng, x)
    if n > 40:
        more = np.round(rng.normal(size=(n, 12)) * 2**20) / 2**20
        x, y = np.column_stack([x, more]), y + more @ rng.normal(size=12)
    m = OLS(fit_intercept=intercept, robust=True)
    m.fit(x, y)
    assert relative(m.standard_errors(), exact_hc0(x, y, intercept)) <= 1e-8


def qr_oracle(d, y, groups=None):
    """numpy's own QR of the design: V = R^-1 (Q' Omega Q) R^-T with the
    orthonormal rows of Q (or their sums per group)."""
    q, r = np.linalg.qr(d)
    e = y - q @ (q.T @ y)
    s = q * e[:, None]
    if groups is not None:
        s = np.stack([s[groups == g].sum(0) for g in np.unique(groups)])
    r_inv = np.linalg.inv(r)
    return np.sqrt(np.diag(r_inv @ (s.T @ s) @ r_inv.T))


def test_hc0_of_a_large_ill_conditioned_design_agrees_with_a_qr_oracle():
    # Too large for the extended-precision factor (n k^2 > 2^22): LAPACK's
    # QR in working precision, row blocks on every thread, a partial last
    # block; the offset of 2^30 beside the intercept, a thousand times the
    # spread (the rank rule takes 120,000 rows to a condition of 4e10).
    rng = np.random.default_rng(11)
    n = 120_037
    x = np.column_stack([design(rng, n, 1e6, 2.0**30, bits=42), rng.normal(size=(n, 2))])
    y = heteroskedastic_target(rng, x[:, :3]) + x[:, 3]
    m = OLS(robust=True)
    m.fit(x, y)
    xc = x - x.mean(0)  # exact: every column's values lie within a factor two of its mean
    want = qr_oracle(np.column_stack([np.ones(n), xc]), y)[1:]
    # The oracle's own error grows like cond * eps, about 1e-10 here.
    assert relative(m.standard_errors(), want) <= 1e-8


def panel(rng, sizes, delta):
    """Entities of power-of-two sizes on a dyadic grid, so that the entity
    means and the demeaned values are exact: x2 = x1 + delta z (scaled
    condition about 1 / delta), x3 well determined."""
    g = rng.permutation(np.repeat(np.arange(len(sizes)), sizes))
    n = g.size
    bits = 20 + math.ceil(math.log2(1.0 / delta))
    x1 = np.round(rng.normal(size=n) * 2.0**20) / 2.0**20
    x2 = x1 + np.round(rng.normal(size=n) * delta * 2.0**bits) / 2.0**bits
    x3 = np.round(rng.normal(size=n) * 2.0**20) / 2.0**20
    x = np.column_stack([x1, x2, x3])
    y = x1 - x3 + rng.normal(size=len(sizes))[g] + rng.normal(size=n) * (0.5 + np.abs(x3))
    return x, y, (g * 7919 - 3).astype(np.int64)


@pytest.mark.parametrize("delta", [1e-1, 1e-4, 1e-6, 1e-8])
@pytest.mark.parametrize("sizes", [[8, 4, 8, 2, 8, 4, 8], [16] * 4])
def test_clustered_errors_agree_with_exact_arithmetic(sizes, delta):
    rng = np.random.default_rng([len(sizes), int(-math.log10(delta))])
    x, y, ids = panel(rng, sizes, delta)
    m = FE(robust=True)
    m.fit(x, y, ids)
    xw, yw = exact.within(x, y, ids)
    want = exact.standard_errors(xw, yw, "CRV", list(ids))
    # the well-determined third coefficient as much as the other two
    assert relative(m.standard_errors(), want) <= 1e-8


def test_clustered_errors_of_many_entities_agree_with_a_qr_oracle():
    # Past the extended-precision factor: 20,000 rows, 2,500 entities of 8,
    # scaled condition about 1e6.
    rng = np.random.default_rng(3)
    x, y, ids = panel(rng, [8] * 2500, 1e-6)
    m = FE(robust=True)
    m.fit(x, y, ids)
    _, g = np.unique(ids, return_inverse=True)
    counts = np.bincount(g)
    xw = x - (np.stack([np.bincount(g, c) for c in x.T], 1) / counts[:, None])[g]
    yw = y - (np.bincount(g, y) / counts)[g]
    assert relative(m.standard_errors(), qr_oracle(xw, yw, g)) <= 1e-8


def fits(cls, x, y, *extra):
    m = cls(robust=True)
    m.fit(x, y, *extra)
    return m.standard_errors()


# A slope's error scales inversely with its column; taking the offset 2^30 away or reordering the
# rows changes nothing.
@pytest.mark.parametrize("change", ["scale", "shift", "permute"])
@pytest.mark.parametrize("cls, cond", [(OLS, 1e1), (OLS, 1e5), (FE, 1e1), (FE, 1e6)],
                         ids=lambda v: v.__name__ if isinstance(v, type) else f"{v:g}")
def test_errors_do_not_move_with_exact_changes_of_the_data(cls, cond, change):
    rng = np.random.default_rng(int(math.log10(cond)))
    if cls is OLS:
        x = design(rng, 50, cond, 2.0**30)
        y, extra, s, shift = heteroskedastic_target(rng, x), (), [1.0, 2.0**3, 2.0**-3], [0.0, 2.0**30, 2.0**30]
    else:
        x, y, ids = panel(rng, [8, 4, 8, 2, 8, 4, 8, 16], 1 / cond)
        extra, s, shift = (ids,), [2.0**40, 1.0, 0.5], [2.0**20, 0.0, -(2.0**10)]
    ref = fits(cls, x, y, *extra)
    order = rng.permutation(len(y))
    got = {"scale": lambda: fits(cls, x * s, y, *extra) * s, "shift": lambda: fits(cls, x - shift, y, *extra),
           "permute": lambda: fits(cls, x[order], y[order], *(a[order] for a in extra))}[change]()
    assert relative(got, ref) <= 1e-12


@pytest.mark.parametrize("sizes", [[30], [30, 1, 1]])
def test_clustered_errors_refuse_fewer_than_two_clusters(sizes):
    # The scores of all clusters sum to X~'e = 0: with one entity of several
    # rows the clustered errors would be zero, and every p-value 0.
    rng = np.random.default_rng(0)
    x, y, ids = panel(rng, [8, 8, 8], 1e-1)
    m = FE(robust=True)
    m.fit(x, y, ids)
    before = (m.coefficients.copy(), m.standard_errors().copy())
    g = np.repeat(np.arange(len(sizes)), sizes).astype(np.int64)
    with pytest.raises(ValueError, match=r"^Clustered standard errors need at least two entities with more than one "
                                         r"observation$"):
        m.fit(rng.normal(size=(g.size, 2)), rng.normal(size=g.size), g)
    np.testing.assert_array_equal(m.coefficients, before[0])
    np.testing.assert_array_equal(m.standard_errors(), before[1])
    FE().fit(rng.normal(size=(g.size, 2)), rng.normal(size=g.size), g)  # classical errors are fine
