"""Oracles in exact rational arithmetic. Every double is a fraction with a power-of-two
denominator, so least squares, sandwiches and within transforms of the given doubles
are computed here without a rounding; only the final conversion to float rounds."""

import math
from fractions import Fraction

import numpy as np


def solve(a, b):
    """x with a x = b by Gauss-Jordan elimination with row exchanges (a q x q, b q x r)."""
    q = len(a)
    m = [[Fraction(v) for v in [*a[i], *b[i]]] for i in range(q)]
    for c in range(q):
        piv = next(r for r in range(c, q) if m[r][c] != 0)
        m[c], m[piv] = m[piv], m[c]
        m[c] = [v / m[c][c] for v in m[c]]
        for r in range(q):
            if r != c and m[r][c] != 0:
                f = m[r][c]
                m[r] = [u - f * v for u, v in zip(m[r], m[c], strict=True)]
    return [row[q:] for row in m]


def lstsq(d, y, w=None):
    """The weighted least-squares minimum of y on the rows d: its coefficients and a
    function giving any b's residual sum of squares, both exact."""
    rows = [[Fraction(v) for v in row] for row in d]
    target = [Fraction(v) for v in y]
    weight = [Fraction(1)] * len(rows) if w is None else [Fraction(v) for v in w]
    q = len(rows[0])
    gram = [[sum(wi * r[a] * r[c] for wi, r in zip(weight, rows)) for c in range(q)] for a in range(q)]
    moment = [[sum(wi * r[a] * t for wi, r, t in zip(weight, rows, target))] for a in range(q)]
    beta = [row[0] for row in solve(gram, moment)]

    def ssr(b):
        b = [Fraction(v) for v in b]
        return sum(wi * (t - sum(v * bj for v, bj in zip(r, b))) ** 2 for wi, r, t in zip(weight, rows, target))
    return beta, ssr


def two_stage(z, x, y):
    """Two-stage least squares: P_Z X exactly, then the coefficients of y on [1 | P_Z X]."""
    pis = [lstsq(z, x[:, j])[0] for j in range(x.shape[1])]
    xhat = [[Fraction(1)] + [sum(Fraction(a) * b for a, b in zip(row, pi)) for pi in pis] for row in z]
    return lstsq(xhat, y)[0]


def within(x, y, ids):
    """The within transform: the columns of x and y less their entity means."""
    out = []
    for col in [*np.asarray(x).T, y]:
        sums, counts = {}, {}
        for v, gid in zip(col, ids):
            sums[gid] = sums.get(gid, 0) + Fraction(float(v))
            counts[gid] = counts.get(gid, 0) + 1
        out.append([Fraction(float(v)) - sums[gid] / counts[gid] for v, gid in zip(col, ids)])
    return out[:-1], out[-1]


def _integers(values):
    """Exact numbers with power-of-two denominators as integers times a common 2^-s."""
    fr = [Fraction(v) for v in values]
    den = math.lcm(*(f.denominator for f in fr))
    return [f.numerator * (den // f.denominator) for f in fr], den


def standard_errors(columns, y, kind="HC0", groups=None):
    """Standard errors of the least-squares coefficients of y on the given columns: iid
    (s^2 (D'D)^-1), HC0, HC3 or CRV1 (scores summed per group) from (D'D)^-1 D' Omega D (D'D)^-1
    with the residuals of the exact solution, without small-sample factors. Computed on
    integers: D = Di S^-1 and y = yi / t, so the coefficients of yi on Di are S^-1 beta t and
    their errors scale alike."""
    cols = [_integers(c) for c in columns]
    di = list(zip(*(c[0] for c in cols)))
    yi, t = _integers(y)
    n, k = len(yi), len(cols)
    g = [[sum(r[a] * r[b] for r in di) for b in range(k)] for a in range(k)]
    rhs = [[sum(di[i][a] * yi[i] for i in range(n))] + [int(a == b) for b in range(k)] for a in range(k)]
    sol = solve(g, rhs)
    gamma, inv = [row[0] for row in sol], [row[1:] for row in sol]
    den = math.lcm(*(f.denominator for f in gamma))
    num = [int(f * den) for f in gamma]
    e = [yi[i] * den - sum(di[i][a] * num[a] for a in range(k)) for i in range(n)]  # den times the residuals
    if kind == "iid":
        s2 = Fraction(sum(v * v for v in e), den**2 * (n - k))
        var = [inv[j][j] * s2 for j in range(k)]
    else:
        if kind == "CRV1":
            scores = {}
            for i in range(n):
                s = scores.setdefault(groups[i], [0] * k)
                for a in range(k):
                    s[a] += e[i] * di[i][a]
            meat = [[sum(s[a] * s[b] for s in scores.values()) for b in range(k)] for a in range(k)]
        else:
            u = [Fraction(v * v) for v in e]
            if kind == "HC3":
                h = [sum(di[i][a] * inv[a][b] * di[i][b] for a in range(k) for b in range(k)) for i in range(n)]
                u = [u[i] / (1 - h[i]) ** 2 for i in range(n)]
            meat = [[sum(u[i] * di[i][a] * di[i][b] for i in range(n)) for b in range(k)] for a in range(k)]
        var = [sum(inv[j][a] * meat[a][b] * inv[j][b] for a in range(k) for b in range(k)) / den**2 for j in range(k)]
    return np.array([math.sqrt(v) * cols[j][1] / t for j, v in enumerate(var)])
