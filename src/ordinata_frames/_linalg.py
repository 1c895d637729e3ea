"""The few small dense factorisations the package makes, on k x k matrices (and,
for GLS, on Sigma), by the core's factorisations in the private extension:
numpy factors nothing here."""

from __future__ import annotations

import numpy as np

from ordinata_frames import _native


def solve(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """a^-1 b for a small square a; ValueError("singular matrix") where a leaves no digit."""
    return _native.solve(np.ascontiguousarray(a, dtype=np.float64), np.ascontiguousarray(b, dtype=np.float64))


def r_factor(a: np.ndarray) -> np.ndarray:
    """The upper triangular R of a = QR (min(n, p) rows)."""
    return _native.r_factor(np.ascontiguousarray(a, dtype=np.float64))


def singular(a: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The singular values of a small a, largest first, and its right singular vectors as rows."""
    s, vt = _native.singular(np.ascontiguousarray(a, dtype=np.float64))
    return s, vt


def whiten(sigma: np.ndarray, columns: np.ndarray) -> np.ndarray:
    """L^-1 columns, L the Cholesky factor of sigma, factored once for all the columns; sigma read
    as the GLS class reads it (finite, symmetric up to rounding, else its refusals)."""
    return _native.whiten(sigma, columns)
