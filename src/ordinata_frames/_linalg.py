"""The few small dense factorisations the package still makes, on k x k matrices
(and, for GLS, on Sigma), in one place: each is to be taken by the private
extension's routine of the same name, a one-line change here, so that no
factorisation of the package runs outside the core."""

from __future__ import annotations

import numpy as np


def solve(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """a^-1 b for a small square a."""
    out: np.ndarray = np.linalg.solve(a, b)
    return out


def r_factor(a: np.ndarray) -> np.ndarray:
    """The upper triangular R of a = QR (min(n, p) rows)."""
    out: np.ndarray = np.linalg.qr(a, mode="r")
    return out


def singular(a: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The singular values of a small a, largest first, and its right singular vectors as rows."""
    _, s, vt = np.linalg.svd(a)
    return s, vt


def whiten(sigma: np.ndarray, columns: np.ndarray) -> np.ndarray:
    """L^-1 columns, L the Cholesky factor of sigma, factored once for all the columns."""
    out: np.ndarray = np.linalg.solve(np.linalg.cholesky(sigma), columns)
    return out
