"""The partition pipeline of ordinata_frames._native on its own: moments from partitions' Gram matrices
(their Cholesky factors) where those can be trusted, from the rows' QR elsewhere, against exact
rational arithmetic."""

from __future__ import annotations

import itertools
from fractions import Fraction

import numpy as np
import pytest

import exact
from ordinata_frames import _native


def _exact(x: np.ndarray, y: np.ndarray, w: np.ndarray | None) -> tuple[list, list, list]:
    """The weighted means of [x y], their centred Gram and the intercept-and-slopes of y on [1 x], exactly."""
    a = np.column_stack([x, y])
    n, c = a.shape
    rows = [[Fraction(v) for v in row] for row in a.tolist()]
    weight = [Fraction(v) for v in w.tolist()] if w is not None else [Fraction(1)] * n
    total = sum(weight)
    sums = [sum(wi * r[j] for wi, r in zip(weight, rows)) for j in range(c)]
    mean = [s / total for s in sums]
    gram = [[sum(wi * r[i] * r[j] for wi, r in zip(weight, rows)) - sums[i] * sums[j] / total for j in range(c)]
            for i in range(c)]
    return mean, gram, exact.lstsq(np.column_stack([np.ones(n), x]), y, w)[0]


def _merged(x: np.ndarray, y: np.ndarray, w: np.ndarray | None, cuts: list[int], exact: bool):
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])] + [np.ascontiguousarray(y)]
    merged = None
    for a, b in itertools.pairwise(cuts):
        part = _native.moments([col[a:b] for col in cols], None if w is None else w[a:b], True, None, None, exact)
        merged = part if merged is None else _native.merge_moments(merged, part)
    return merged


def _solve(m) -> dict:
    return _native.solve_moments(m, 0, 0, None, 0.0, 0, 0, 0)


def _fit(x, y, w, cuts) -> tuple[np.ndarray, bool]:
    """beta as the dask fit takes it: from the fast moments, again from exact ones when asked."""
    s = _solve(_merged(x, y, w, cuts, False))
    retried = bool(s.get("needs_exact"))
    if retried:
        s = _solve(_merged(x, y, w, cuts, True))
    return np.frombuffer(s["beta"]), retried


def _near_collinear(n: int, cond: float, offset: float = 0.0, seed: int = 3):
    rng = np.random.default_rng(seed)
    x1 = rng.normal(size=n)
    x = np.column_stack([offset + x1, rng.normal(size=n), offset + x1 + rng.normal(size=n) / cond])
    return x, x @ [0.5, -1.0, 2.0] + 0.3 * rng.normal(size=n)


# Around the switch (a unit-column design condition of about 1e2): beta to within the condition times
# eps of the exact solution on both sides; the Gram of a design of condition 1e4 squares it to 1e8 and
# its Cholesky factor would be 1e-8 off, which the exact pass avoids.
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("cond", [3.0, 30.0, 300.0, 1e4])
def test_beta_keeps_the_digits_of_the_condition_either_side_of_the_switch(cond, weighted):
    x, y = _near_collinear(1500, cond)
    w = np.random.default_rng(4).uniform(0.1, 10.0, len(y)) if weighted else None
    cuts = [0, 400, 1100, 1500]
    beta, _ = _fit(x, y, w, cuts)
    _, _, exact = _exact(x, y, w)
    np.testing.assert_allclose(beta, [float(b) for b in exact], rtol=cond * 2e-14, atol=0)
    fast = _merged(x, y, w, cuts, False)
    if cond <= 3.0:
        assert not fast[6] and "beta" in _solve(fast)  # every partition's R from its Gram, solved as is
    if cond >= 1e4:
        assert fast[6] or "needs_exact" in _solve(fast)


def test_partitions_far_apart_make_a_merged_design_the_fast_moments_refuse():
    # Each partition's own x1, x2 are independent; their means, 1e4 apart on both, make the merged
    # columns nearly collinear: the merged system asks for the exact pass.
    rng = np.random.default_rng(5)
    x = rng.normal(size=(2000, 2))
    x[1000:] += 1e4
    y = x @ [1.0, -2.0] + rng.normal(size=2000)
    fast = _merged(x, y, None, [0, 1000, 2000], False)
    assert not fast[6]
    assert _solve(fast) == {"needs_exact": True}
    beta, retried = _fit(x, y, None, [0, 1000, 2000])
    assert retried
    exact = [float(b) for b in _exact(x, y, None)[2]]
    # The intercept is the means' (1e4) difference: to eps times them.
    np.testing.assert_allclose(beta[1:], exact[1:], rtol=1e-11)
    assert beta[0] == pytest.approx(exact[0], abs=1e-10)


@pytest.mark.parametrize("offset", [2.0**30, 2.0**40])
@pytest.mark.parametrize("exact", [False, True])
def test_offsets_keep_the_centre_and_the_centred_gram(offset, exact):
    # 1100 rows in one partition span two 512-row chunks and a partial third on the rows' route.
    rng = np.random.default_rng(6)
    x = np.column_stack([offset + rng.normal(size=1100), rng.normal(size=1100), rng.normal(size=1100)])
    y = offset + x @ [0.5, -1.0, 2.0] + rng.normal(size=1100)
    w = rng.uniform(0.5, 2.0, len(y))
    m = _merged(x, y, w, [0, 1100], exact)
    assert m[6] == exact
    mean, gram, beta = _exact(x, y, w)
    # The centre, pivot plus offset, to eps times the (unit) spread, far below a double near the offset.
    gap = [float(Fraction(p) + Fraction(o) - e) for p, o, e in zip(np.frombuffer(m[2]), np.frombuffer(m[3]), mean)]
    assert np.all(np.abs(gap) <= 1e-14)
    r = np.frombuffer(m[4]).reshape(4, 4)
    g = np.array([[float(v) for v in row] for row in gram])
    scale = np.sqrt(np.outer(np.diag(g), np.diag(g)))
    np.testing.assert_allclose((r.T @ r) / scale, g / scale, rtol=0, atol=1e-13)
    got = np.frombuffer(_solve(m)["beta"])
    np.testing.assert_allclose(got[1:], [float(b) for b in beta[1:]], rtol=1e-11)


def test_a_partition_with_fewer_rows_than_columns_takes_its_rows_qr_and_a_constant_column_adds_nothing():
    rng = np.random.default_rng(7)
    n = 1300
    x = np.column_stack([rng.normal(size=n), rng.normal(size=n), rng.integers(0, 2, n).astype(float)])
    x[600:1296, 2] = 1.0          # a dummy constant in the second partition: zero once centred, left out of its factor
    x[1296:, 2] = [0.0, 1.0, 1.0, 0.0]
    y = x @ [1.0, 2.0, -3.0] + rng.normal(size=n)
    cuts = [0, 600, 1296, n]     # the last partition: 4 rows, 4 columns
    cols = [np.ascontiguousarray(x[:, j]) for j in range(3)] + [y]
    flags = [_native.moments([c[a:b] for c in cols], None, True, None, None)[6] for a, b in itertools.pairwise(cuts)]
    assert flags == [False, False, True]
    m = _merged(x, y, None, cuts, False)
    assert not m[6]
    s = _solve(m)
    np.testing.assert_allclose(np.frombuffer(s["beta"]), [float(b) for b in _exact(x, y, None)[2]], rtol=1e-12)


@pytest.mark.parametrize("exact", [False, True])
def test_demeaned_moments_are_the_within_gram(exact):
    rng = np.random.default_rng(8)
    n, groups = 1200, 40
    g = rng.integers(0, groups, n).astype(np.int64)
    x = rng.normal(size=(n, 2)) + 50.0 * rng.normal(size=groups)[g][:, None]
    y = x @ [1.0, -1.0] + rng.normal(size=n)
    a = np.column_stack([x, y])
    table = np.array([a[g == e].mean(axis=0) for e in range(groups)])
    m = _native.moments([np.ascontiguousarray(a[:, j]) for j in range(3)], None, False, g, table, exact)
    assert m[6] == exact
    d = [[Fraction(v) - Fraction(t) for v, t in zip(row, table[e])] for row, e in zip(a.tolist(), g.tolist())]
    gram = np.array([[float(sum(r[i] * r[j] for r in d)) for j in range(3)] for i in range(3)])
    r = np.frombuffer(m[4]).reshape(3, 3)
    np.testing.assert_allclose(r.T @ r, gram, rtol=1e-13, atol=1e-13 * gram.max())


@pytest.mark.parametrize("levels", [300, 900])
def test_a_categorical_of_many_levels_takes_cholesky_qr_twice_and_stays_exact(levels):
    # Few rows a level (900 levels here) leave the normal equations too ill-conditioned to be taken
    # as they are: the partition's factor comes from Cholesky QR twice, as exact as its rows' QR.
    rng = np.random.default_rng(12)
    n = 4 * levels + 700
    g = rng.integers(0, levels, n)
    x = np.zeros((n, levels))
    x[np.arange(n), g] = 1.0
    x = np.column_stack([rng.normal(size=n) + 1e3, x[:, 1:]])
    y = 0.5 * x[:, 0] + g * 0.01 + rng.normal(size=n)
    cols = [np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])] + [y]
    fast, exact = (_native.moments(cols, None, True, None, None, e) for e in (False, True))
    assert exact[6] and fast[6] == (levels == 900)
    r_fast, r_exact = (np.abs(np.frombuffer(m[4]).reshape(levels + 1, levels + 1)) for m in (fast, exact))
    np.testing.assert_allclose(r_fast, r_exact, rtol=1e-9, atol=1e-9 * np.abs(r_exact).max())
