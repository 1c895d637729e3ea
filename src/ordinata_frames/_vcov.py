"""Covariance types from a fit's bread, its score columns and its residuals.

With A the bread ((X'X)^-1 of the design the estimator whitens or projects to),
X that design and e the residuals on the same scale:

- iid: s^2 A, s^2 = e'e / (n - k).
- HC0: A X' diag(e^2) X A.  HC1: HC0 * n / (n - k).
  HC2: e_i^2 / (1 - h_i);  HC3: e_i^2 / (1 - h_i)^2, h the leverages x_i' A x_i.
  As statsmodels' cov_type "HC0".."HC3"; t with n - k degrees of freedom.
- CRV1 one-way: A (sum_g s_g s_g') A * G/(G-1) * (n-1)/(n-k), s_g the score sums
  X_g' e_g of cluster g; t with G - 1 degrees of freedom (statsmodels' "cluster"
  and pyfixest's feols default).
- CRV1 two-way (Cameron, Gelbach and Miller): V_1 + V_2 - V_12, V_12 clustered by
  the pairs, every term scaled with G = min(G_1, G_2), t with G - 1 degrees of
  freedom, as pyfixest's defaults (ssc G_df="min").

The group sums are numpy's bincount over integer codes, one pass per column.
"""

from __future__ import annotations


import numpy as np
import pandas as pd

from ordinata_frames import _native



def cluster_codes(frame: pd.DataFrame, names: tuple[str, ...]) -> list[np.ndarray]:
    """Integer codes 0..G-1 per cluster column; with two columns, their pairs as a third."""
    codes = []
    for name in names:
        code, uniques = pd.factorize(frame[name], sort=False)
        if len(uniques) < 2:
            raise ValueError(f"cluster column {name!r} has {len(uniques)} group: clustering needs at least two")
        codes.append(code.astype(np.intp, copy=False))
    if len(codes) == 2:
        pair = codes[0].astype(np.int64) * (int(codes[1].max()) + 1) + codes[1]
        codes.append(pd.factorize(pair, sort=False)[0].astype(np.intp, copy=False))
    return codes


def group_sums(scores: np.ndarray, code: np.ndarray) -> np.ndarray:
    """(G, k) sums of the score rows per group."""
    groups = int(code.max()) + 1
    return np.column_stack([np.bincount(code, weights=scores[:, j], minlength=groups)
                            for j in range(scores.shape[1])]) if scores.shape[1] else np.zeros((groups, 0))


class Factor:
    """V = L (D' W D) L' for a diagonal or block weight W, and leverages
    h_i = d_i' H d_i (H None: the identity).

    From X: D = X T with T = S^-1 R^-1, S the column norms and R the Cholesky
    factor of the scaled Gram matrix, so D is orthonormal up to G = D'D, which
    is the identity to about cond(X S^-1)^2 eps; then L = T G^-1 and H = G^-1.
    In exact arithmetic V is the usual A (X'WX) A for any such T, but formed
    this way it keeps the digits that the product with A = (X'X)^-1 loses to
    cancellation on collinear designs such as Longley's. The passes over the
    rows (X'X, D'D, D' diag(w) D, and D itself when a caller needs it) run in
    the private extension. Householder QR is the fallback past cond ~ 1e5.
    Without a factorisation at hand, D = X and L = H = A."""

    def __init__(self, left: np.ndarray, x: np.ndarray, t: np.ndarray | None, leverage: np.ndarray | None):
        self.left = left
        self.leverage = leverage
        self._x = x
        self._t = t
        self._design: np.ndarray | None = x if t is None else None

    @classmethod
    def from_design(cls, x: np.ndarray, root: np.ndarray | None = None) -> Factor:
        """The factor of X, or of diag(root) X when the rows are weighted (WLS).

        With an intercept (a first column of ones) the other columns are centred
        first, X_c = X T with T = I - e_0 m', m their (weighted) means: an offset
        of 1e9 in a regressor would otherwise enter every product of X'X and of
        the meat and cancel there, taking its digits with it. The factor of X_c
        gives L_c, and L = T L_c (D, and so every projection, is unchanged:
        X and X_c span the same columns)."""
        if x.shape[1] < 2 or not np.all(x[:, 0] == 1.0):
            return cls._orthogonal(x if root is None else x * root[:, None])
        if root is None:
            mean = x[:, 1:].mean(axis=0)
        else:
            w = root * root
            mean = (w @ x[:, 1:]) / w.sum()
        centred = np.array(x, dtype=np.float64, order="F")
        centred[:, 1:] -= mean
        if root is not None:
            centred *= root[:, None]
        factor = cls._orthogonal(centred)
        left = factor.left.copy()
        left[0] -= mean @ factor.left[1:]
        factor.left = left
        return factor

    @classmethod
    def _orthogonal(cls, x: np.ndarray) -> Factor:
        k = x.shape[1]
        gram = _gram(x, None)
        norms = np.sqrt(np.diag(gram))
        norms = np.where(norms > 0, norms, 1.0)
        try:
            r = np.linalg.cholesky(gram / np.outer(norms, norms)).T
            t = np.ascontiguousarray(np.linalg.inv(r) / norms[:, None])
            g_inv = np.linalg.inv(_gram(x, t))
            if np.all(np.isfinite(g_inv)) and np.max(np.abs(g_inv - np.eye(k))) < 1e-6:
                return cls(t @ g_inv, x, t, g_inv)
        except np.linalg.LinAlgError:
            pass
        q, r = np.linalg.qr(x / norms)
        return cls(np.linalg.inv(r) / norms[:, None], q, None, None)

    @property
    def design(self) -> np.ndarray:
        """D, formed on first use."""
        if self._design is None:
            assert self._t is not None
            self._design = np.empty((self._x.shape[0], self._t.shape[1]))
            _native.rows_times(self._x, self._t, self._design)
        return self._design

    def weighted_gram(self, w: np.ndarray) -> np.ndarray:
        """D' diag(w) D for w >= 0."""
        if self._t is None:
            root = self._x * np.sqrt(w)[:, None]
            out: np.ndarray = root.T @ root
            return out
        return _gram(self._x, self._t, np.sqrt(w))

    @property
    def bread(self) -> np.ndarray:
        """(X'X)^-1 = L H^-1 L'."""
        if self.leverage is None:
            out: np.ndarray = self.left @ self.left.T
        else:
            out = self.left @ np.linalg.inv(self.leverage) @ self.left.T
        return out

    def project(self, v: np.ndarray) -> np.ndarray:
        """X (X'X)^-1 X' v."""
        inner = self.design.T @ v
        out: np.ndarray = self.design @ (inner if self.leverage is None else self.leverage @ inner)
        return out

    def residual(self, v: np.ndarray) -> np.ndarray:
        out: np.ndarray = v - self.project(v)
        return out


def residuals(x: np.ndarray, y: np.ndarray, beta: np.ndarray, w: np.ndarray | None = None) -> np.ndarray:
    """y - X beta. With an intercept (a first column of ones), from the centred
    columns, (y - m_y) - (X_c) beta less its (w-weighted) mean, which the fit makes
    zero: y - X beta itself subtracts numbers of the size of the offsets and keeps
    only their last digits (1e-8 of the residuals with regressors near 1e9)."""
    if x.shape[1] < 2 or not np.all(x[:, 0] == 1.0):
        out: np.ndarray = y - x @ beta
        return out
    mean = x[:, 1:].mean(axis=0) if w is None else (w @ x[:, 1:]) / w.sum()
    e: np.ndarray = (y - (y.mean() if w is None else (w @ y) / w.sum())) - (x[:, 1:] - mean) @ beta[1:]
    e -= e.mean() if w is None else (w @ e) / w.sum()
    return e


def _gram(x: np.ndarray, t: np.ndarray | None, s: np.ndarray | None = None) -> np.ndarray:
    """(X T)' diag(s)^2 (X T) (t None: X itself; s None: no weights), in one pass over X's rows."""
    p = x.shape[1] if t is None else t.shape[1]
    out = np.empty((p, p))
    _native.gram(x, None if t is None else np.ascontiguousarray(t, dtype=np.float64), s, out)
    return out


def sandwich(left: np.ndarray, meat: np.ndarray) -> np.ndarray:
    v: np.ndarray = left @ meat @ left.T
    symmetric: np.ndarray = (v + v.T) / 2
    return symmetric


def hc(factor: Factor, e: np.ndarray, kind: str, df_k: int) -> np.ndarray:
    n = e.shape[0]
    if kind in ("HC0", "HC1"):
        w = e * e
    else:
        x = factor.design
        scaled = x if factor.leverage is None else x @ factor.leverage
        h = np.einsum("ij,ij->i", scaled, x)
        w = e * e / (1.0 - h) if kind == "HC2" else e * e / (1.0 - h) ** 2
    v = sandwich(factor.left, factor.weighted_gram(w))
    return v * (n / (n - df_k)) if kind == "HC1" else v


def crv1(factor: Factor, e: np.ndarray, codes: list[np.ndarray], df_k: int) -> tuple[np.ndarray, int]:
    """The clustered covariance and the G of its small-sample factor and t degrees of freedom."""
    scores = factor.design * e[:, None]
    n = scores.shape[0]
    counts = [int(c.max()) + 1 for c in codes]
    g = min(counts)
    scale = g / (g - 1) * (n - 1) / (n - df_k)
    signs = (1.0, 1.0, -1.0)
    meat = np.zeros((scores.shape[1], scores.shape[1]))
    for sign, code in zip(signs, codes):
        sums = group_sums(scores, code)
        meat += sign * (sums.T @ sums)
    return sandwich(factor.left, meat) * scale, g
