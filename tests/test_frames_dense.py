"""The small dense linear algebra of ordinata_frames._native against numpy."""

from __future__ import annotations

import numpy as np
import pytest

from ordinata_frames import _native


def _matrix(rows: int, cols: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).normal(size=(rows, cols))


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
@pytest.mark.parametrize("rhs", [(5,), (5, 3)])
def test_solve_matches_numpy_for_any_layout(layout, rhs):
    a = _matrix(5, 5) + 3 * np.eye(5)
    b = np.random.default_rng(1).normal(size=rhs)
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "strided":
        a = np.repeat(a, 2, axis=1)[:, ::2]
    x = _native.solve(a, b)
    assert x.shape == b.shape
    np.testing.assert_allclose(x, np.linalg.solve(a, b), rtol=1e-13, atol=1e-14)


SINGULAR = {"zero": np.zeros((3, 3)), "rank one": np.array([[1.0, 2.0], [2.0, 4.0]]),
            "rounded": np.array([[1.0, 1.0], [1.0, 1.0 + 1e-17]]), "below eps": np.array([[1.0, 1.0], [1.0, 1.0 + 2.0**-52]])}
NAN = "NaN or infinite"


# "below eps": invertible, but its exact reciprocal condition, 1 / (|A|_1 |A^-1|_1) = 2^-52 / (2 + 2^-52)^2,
# leaves a solution no correct digit.
@pytest.mark.parametrize("fn, args, error, message", [
    *[pytest.param(_native.solve, (a, np.ones(len(a))), ValueError, "^singular matrix$", id=k) for k, a in SINGULAR.items()],
    pytest.param(_native.solve, (np.array([[1.0, np.nan], [0.0, 1.0]]), np.ones(2)), ValueError, NAN, id="solve"),
    pytest.param(_native.r_factor, (np.array([[np.inf, 1.0]]),), ValueError, NAN, id="r_factor"),
    pytest.param(_native.whiten, (np.eye(2), np.array([1.0, np.nan])), ValueError, NAN, id="whiten"),
    pytest.param(_native.whiten, (np.eye(3) + 1e-3 * np.eye(3, k=2), np.ones((3, 1))), ValueError,
                 "^Covariance matrix must be symmetric$", id="not symmetric"),
    pytest.param(_native.whiten, (np.array([[1.0, 2.0], [2.0, 1.0]]), np.ones((2, 1))), RuntimeError,
                 "^Covariance matrix is not positive definite$", id="not positive definite")])
def test_singular_non_finite_or_asymmetric_input_is_refused(fn, args, error, message):
    with pytest.raises(error, match=message):
        fn(*args)


@pytest.mark.parametrize("shape", [(7, 3), (3, 3), (2, 5), (1, 4)])
def test_r_factor_is_numpys_r(shape):
    a = _matrix(*shape, seed=2)
    r = _native.r_factor(a)
    expected = np.linalg.qr(a, mode="r")
    assert r.shape == expected.shape
    assert np.all(np.tril(r, -1) == 0.0)
    # The same factor up to the sign of each row.
    signs = np.sign(np.diag(r)) * np.sign(np.diag(expected))
    np.testing.assert_allclose(signs[:, None] * r, expected, rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("scale", [1.0, 2.0**-1030, 2.0**1000])
@pytest.mark.parametrize("columns", [(6,), (6, 3)])
def test_whiten_solves_with_sigmas_cholesky_factor(columns, scale):
    b = _matrix(6, 6, seed=3)
    sigma = b @ b.T + 0.5 * np.eye(6)
    c = np.random.default_rng(4).normal(size=columns)
    # A Sigma whose products leave the double range is factored at a power of two near 1:
    # L^-1 c is the same up to that exact power.
    got = _native.whiten(sigma * scale, c)
    l = np.linalg.cholesky(sigma)
    np.testing.assert_allclose(got, np.linalg.solve(l, c) / np.sqrt(scale), rtol=1e-12, atol=1e-13 / np.sqrt(scale))
