"""The dense dummy-variable regression that fe with absorbed factors is checked against (numpy,
by Frisch-Waugh-Lovell on the full set of dummies), and a runner of a script under several
thread counts."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def dummies(d, factors):
    """A column for every level of every factor ("a^b": every pair of levels)."""
    codes = [pd.factorize(pd.MultiIndex.from_frame(d[f.split("^")]) if "^" in f else d[f])[0] for f in factors]
    return np.hstack([np.eye(c.max() + 1)[c] for c in codes])


def kept(d, factors):
    """The rows left once those alone in a level are dropped, round after round."""
    keep = np.ones(len(d), dtype=bool)
    while (alone := np.logical_or.reduce(
            [keep & (d[f].map(d[f][keep].value_counts()).fillna(0).to_numpy() == 1) for f in factors])).any():
        keep &= ~alone
    return d[keep]


def _root_weights(d, w):
    return np.ones(len(d)) if w is None else np.sqrt(d[w].to_numpy())


def dense_fit(d, factors, w=None, xs=("x1", "x2")):
    """Slopes and fitted values of the regression on the slopes and every factor's dummies."""
    sw = _root_weights(d, w)
    full = np.column_stack([d[list(xs)], dummies(d, factors)])
    coef = np.linalg.lstsq(full * sw[:, None], d.y.to_numpy() * sw, rcond=None)[0]
    return coef[:len(xs)], full @ coef


def oracle(d, xs, factors, w=None, clusters=(), df_k=None, instruments=()):
    """Coefficients, covariance (iid, HC1 or CRV1) and the absorbed rank of the dense regression;
    with instruments (the exogenous xs among them), of its two stages."""
    sw = _root_weights(d, w)
    dm = dummies(d, factors) * sw[:, None]
    cols = np.column_stack([d[c] for c in [*xs, *instruments, "y"]]) * sw[:, None]
    t = cols - dm @ np.linalg.lstsq(dm, cols, rcond=None)[0]
    n, k = len(d), len(xs)
    x, z, y = t[:, :k], t[:, k:-1], t[:, -1]
    xhat = z @ np.linalg.lstsq(z, x, rcond=None)[0] if instruments else x
    rank = np.linalg.matrix_rank(dummies(d, factors))
    beta = np.linalg.lstsq(xhat, y, rcond=None)[0]
    e = y - x @ beta
    a = np.linalg.inv(xhat.T @ xhat)
    y_raw, w_raw = d["y"].to_numpy(), sw**2
    centred = y_raw - np.average(y_raw, weights=w_raw)
    out = {"beta": beta, "rank": rank, "iid": e @ e / (n - k - rank) * a,
           "r2": 1.0 - (e @ e) / (w_raw @ centred**2),
           "HC1": a @ (xhat.T * e**2) @ xhat @ a * n / (n - k - rank)}
    if clusters:
        def meat(codes):
            s = pd.DataFrame(xhat * e[:, None]).groupby(codes).sum().to_numpy()
            return s.T @ s, len(s)
        parts = [meat(d[c].to_numpy()) for c in clusters]
        if len(clusters) == 2:
            pair = meat(pd.factorize(pd.MultiIndex.from_frame(d[list(clusters)]))[0])
            parts.append((-pair[0], pair[1]))
        g = min(p[1] for p in parts[:2])
        p = k + rank if df_k is None else df_k
        out["CRV1"] = a @ sum(m for m, _ in parts) @ a * g / (g - 1) * (n - 1) / (n - p)
    return out


def close(actual, expected, rtol):
    expected = np.asarray(expected)
    np.testing.assert_allclose(np.asarray(actual), expected, rtol=rtol, atol=rtol * np.abs(expected).max())


def outputs_by_thread_count(code, threads=("1", "2", "3")):
    """What the script prints under each thread count (as a set), the tests' folder importable."""
    head = f"import sys; sys.path[:0] = {[*sys.path[:3], ROOT]!r}\n"
    return {subprocess.run([sys.executable, "-c", head + code], check=True, capture_output=True, text=True,
                           env={**os.environ, "ORDINATA_NUM_THREADS": t}).stdout for t in threads}
