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


def standard_errors(columns, y, kind="HC0", groups=None, weights=None, instruments=None):
    """Standard errors of the (weighted, two-stage) least-squares coefficients of y on the given
    columns: iid (s^2 (H'WH)^-1), HC0, HC1, HC3, CRV (scores summed per group) or CRV1
    (CRV times G/(G-1) (n-1)/(n-k)) from (H'WH)^-1 H' Omega H (H'WH)^-1, where H is the columns
    or, with instruments, their projection onto the instruments' span, and the residuals those of
    the exact solution on the columns. Computed on integers: D = Di S^-1, y = yi / t and the
    weights wi / tw, so the coefficients of yi on Di are S^-1 beta t and their errors scale alike;
    with instruments Hi = Zi P holds the integer P = p (Zi'W Zi)^-1 Zi'W Di, H = Hi / p."""
    cols = [_integers(c) for c in columns]
    di = list(zip(*(c[0] for c in cols)))
    yi, t = _integers(y)
    n, k = len(yi), len(cols)
    w = [1] * n if weights is None else _integers(weights)[0]
    hi, p = di, 1
    if instruments is not None:
        zi = list(zip(*(_integers(c)[0] for c in instruments)))
        q = len(zi[0])
        zz = [[sum(v * r[a] * r[b] for v, r in zip(w, zi)) for b in range(q)] for a in range(q)]
        zd = [[sum(v * r[a] * d[b] for v, r, d in zip(w, zi, di)) for b in range(k)] for a in range(q)]
        proj = solve(zz, zd)
        p = math.lcm(*(f.denominator for row in proj for f in row))
        proj = [[int(f * p) for f in row] for row in proj]
        hi = [[sum(r[a] * proj[a][b] for a in range(q)) for b in range(k)] for r in zi]
    g = [[sum(v * r[a] * r[b] for v, r in zip(w, hi)) for b in range(k)] for a in range(k)]
    rhs = [[sum(w[i] * hi[i][a] * yi[i] for i in range(n)) * p] + [int(a == b) for b in range(k)] for a in range(k)]
    sol = solve(g, rhs)
    gamma, inv = [row[0] for row in sol], [row[1:] for row in sol]
    den = math.lcm(*(f.denominator for f in gamma))
    num = [int(f * den) for f in gamma]
    e = [yi[i] * den - sum(di[i][a] * num[a] for a in range(k)) for i in range(n)]  # den times the residuals
    scale = [c[1] / t for c in cols]
    out = [_errors(one, hi, e, w, inv, den * Fraction(1, p), groups) * scale
           for one in ([kind] if isinstance(kind, str) else kind)]
    return out[0] if isinstance(kind, str) else out


def _errors(kind, hi, e, w, inv, den, groups):
    """The errors of the kind in the integer units, e being den times the residuals."""
    n, k = len(e), len(inv)
    if kind == "iid":
        s2 = Fraction(sum(v * r * r for v, r in zip(w, e)), den**2 * (n - k))
        var = [inv[j][j] * s2 for j in range(k)]
    else:
        if kind.startswith("CRV"):
            sums = {}
            for i in range(n):
                s = sums.setdefault(groups[i], [0] * k)
                for a in range(k):
                    s[a] += w[i] * e[i] * hi[i][a]
            scores, u = list(sums.values()), [1] * len(sums)
        else:
            scores, u = hi, [(v * r) ** 2 for v, r in zip(w, e)]
            if kind == "HC3":
                h = [w[i] * sum(hi[i][a] * inv[a][b] * hi[i][b] for a in range(k) for b in range(k)) for i in range(n)]
                u = [u[i] / (1 - h[i]) ** 2 for i in range(n)]
        meat = [[0] * k for _ in range(k)]
        for a in range(k):
            for b in range(a, k):
                meat[a][b] = meat[b][a] = sum(c * s[a] * s[b] for c, s in zip(u, scores))
        var = [sum(inv[j][a] * meat[a][b] * inv[j][b] for a in range(k) for b in range(k)) / den**2 for j in range(k)]
    factor = {"HC1": Fraction(n, n - k)}.get(kind, 1)
    if kind == "CRV1":
        factor = Fraction(len(set(groups)), len(set(groups)) - 1) * Fraction(n - 1, n - k)
    return np.array([math.sqrt(v * factor) for v in var])
