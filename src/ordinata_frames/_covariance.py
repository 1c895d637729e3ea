"""The covariance types, each written once: what the pass over the residuals sums
for it, its meat from the merged sums, its small-sample factor and the degrees
of freedom of its t.

With A the bread ((X'X)^-1 of the design the estimator whitens or projects to)
and e the residuals on the same scale:

- iid: s^2 A, s^2 = e'e / (n - k); t with n - k degrees of freedom.
- HC0: A X' diag(e^2) X A.  HC1: HC0 * n / (n - k).
  HC2: e_i^2 / (1 - h_i);  HC3: e_i^2 / (1 - h_i)^2, h the leverages x_i' A x_i.
  As statsmodels' cov_type "HC0".."HC3"; t with n - k degrees of freedom.
- CRV1 one-way: A (sum_g s_g s_g') A * G/(G-1) * (n-1)/(n-k), s_g the score sums
  X_g' e_g of cluster g; t with G - 1 degrees of freedom (statsmodels' "cluster"
  and pyfixest's feols default).
- CRV1 two-way (Cameron, Gelbach and Miller): V_1 + V_2 - V_12, V_12 clustered by
  the pairs, every term scaled with G = min(G_1, G_2), t with G - 1 degrees of
  freedom, as pyfixest's defaults (ssc G_df="min").

- CR2 one-way (Bell and McCaffrey's bias-reduced linearisation): A (sum_g m_g m_g') A,
  m_g = X_g' (I - H_gg)^(-1/2) e_g, H_gg = X_g (X'X)^-1 X_g' the cluster's block of the hat
  matrix; no small-sample factor. Each coefficient's t has its own degrees of freedom
  (Results.df_per_term), Bell and McCaffrey's Satterthwaite approximation under
  independent homoskedastic errors: with w_g = (I - H)_{.,g} (I - H_gg)^(-1/2) X_g A c for
  coefficient c, df = (tr W'W)^2 / tr((W'W)^2). The report's F and df_inference keep G - 1.
- CR3 one-way (the jackknife): (G-1)/G * A (sum_g m_g m_g') A with
  m_g = X_g' (I - H_gg)^-1 e_g, so that A m_g = b - b_(g), the change in the estimates when
  cluster g is left out: (G-1)/G times the sum of the squared changes (pyfixest's CRV3 with
  its small-sample factor off, times (G-1)/G); t with G - 1 degrees of freedom.
  Both on the design the estimator fits: WLS's whitened rows (sqrt(w) x, sqrt(w) e), fixed
  effects' demeaned ones: the absorbed effects are partialled out of H, which is the
  dummy-variable fit's leverage (with the Moore-Penrose root where an entity lies within a
  cluster) for the slopes whenever the entities are nested in the clusters.
- HAC (Newey and West): A S A * n/(n - k), S = sum_{|l| <= L} (1 - |l|/(L+1)) Gamma_l,
  Gamma_l = sum_t s_t s_{t-l}', s_t the score of the row at time t: statsmodels' cov_type
  "HAC" with use_correction=True; t with n - k degrees of freedom. The rows are taken in the
  order of the time column (not their order in the table), one row per time; a repeated
  time is refused. Lags count positions among the times present: a gap is not filled.
- DK (Driscoll and Kraay): the same kernel over the periods' score sums s_t = sum_{i in t}
  x_i e_i, in the order of the time column, times n/(n - k) (fixed effects: n/(n - k - G)),
  as linearmodels' cov_type "kernel" with debiased=True and statsmodels' "hac-groupsum" with
  use_correction="hac"; t with T - 1 degrees of freedom (T periods).
  lags="auto" is Newey and West's (1994) rule for the Bartlett kernel on the sum of the
  slopes' score columns per period (the intercept's left out), as linearmodels'
  kernel_optimal_bandwidth: pilot lags n = ceil(4 (T/100)^(2/9)),
  L = min(ceil(1.1447 ((s_1/s_0)^2)^(1/3) T^(1/3)), T - 1).

CR2 and CR3 come from per-cluster k x k sums alone, mergeable by key like CRV1's score
sums: t_g = X_g' e_g and M_g = X_g' X_g (in the score coordinates q, with G = sum_g M_g).
With F F' = G^-1 and C_g = F' M_g F, whose eigenvalues are those of H_gg other than 0,
X_g' f(H_gg) e_g = t_g + M_g F phi(C_g) F' t_g for f(0) = 1 and phi(x) = (f(x) - 1)/x:
f(x) = (1 - x)^(-1/2) for CR2, (1 - x)^-1 for CR3. No n_g x n_g matrix is formed. The
degrees of freedom too: with d coefficient c's row of L G F (L the bread in
the score coordinates), z_g = C_g f(C_g) d and q_g = d' C_g f(C_g)^2 d,
W'W = diag(q) - Z Z'. HAC and DK need the score sums per time only, mergeable by key:
the kernel's lags are taken over the sorted keys once all are merged.

The sandwiches are formed in the coordinates of the fit's scores (the design
times the inverse of its R factor), whose bread `left` the solve hands over:
formed as A X' W X A on the raw columns they would cancel like the condition
squared. A new type is one class here and one line in TYPES.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from ordinata_frames import _linalg


@dataclass(frozen=True)
class VcovRequest:
    kind: str                          # a key of TYPES
    clusters: tuple[str, ...] = ()     # a keyed type: its column(s), clusters or time
    lags: int | str | None = None      # a kernel type: the lags, or "auto"

    @property
    def label(self) -> str:
        """The report's "Covariance Type:" value."""
        if self.kind == "iid":
            return "nonrobust"
        if TYPES[self.kind].clustered:
            return f"{self.kind}: " + " + ".join(self.clusters)
        return self.kind

    @classmethod
    def from_label(cls, label: str) -> VcovRequest:
        """The request a label was made from: the cluster columns are stripped and hold
        no "+" (parse splits on it), so the label reads back unambiguously."""
        if label == "nonrobust":
            return cls("iid")
        kind, _, columns = label.partition(": ")
        if kind not in TYPES or bool(columns) != TYPES[kind].clustered:
            raise ValueError(f"{label!r} is not a covariance type's label")
        return cls(kind, tuple(columns.split(" + ")) if columns else ())

    @property
    def family(self) -> Covariance:
        return TYPES[self.kind](self)


class Covariance:
    """A covariance type. `leverage_power` says what the residual pass sums for it:
    -1 no meat, p >= 0 the meat of e_i^2 / (1 - h_i)^p; `clustered`, the score sums
    per key of a column instead (`cluster_grams`: and the sums of w q q' per cluster).
    `ways` is how many columns the dict form names at most, `options` its further keys."""

    leverage_power: ClassVar[int] = -1
    clustered: ClassVar[bool] = False
    residual_pass: ClassVar[bool] = True
    cluster_grams: ClassVar[bool] = False
    ways: ClassVar[int] = 2
    options: ClassVar[tuple[str, ...]] = ()
    example: ClassVar[str] = '{"CRV1": "g"} or {"CRV1": "g1 + g2"}'

    def __init__(self, request: VcovRequest | None = None):
        self.request = request
        # Set by covariance() where each coefficient's t has its own degrees of freedom.
        self.df_per_term: np.ndarray | None = None

    def label(self) -> str:
        """The results' covariance type, once the covariance is formed."""
        return self.request.label if self.request is not None else self.__class__.__name__

    def meat(self, sums: Any, names: tuple[str, ...]) -> np.ndarray:
        out: np.ndarray = sums.meat
        return out

    def scale(self, n: int, df_k: int, sums: Any) -> float:
        return 1.0

    def df(self, df_resid: int, sums: Any) -> float:
        return float(df_resid)

    def parameters(self, k: int, groups: int, sums: Any) -> int:
        """The parameters a fixed-effects fit counts in the small-sample factor: the
        slopes and one intercept per entity."""
        return k + groups

    def covariance(self, left: np.ndarray, sums: Any, *, n: int, df_k: int, df_resid: int,
                   names: tuple[str, ...] = (), weight: float = 0.0, intercept: bool = False
                   ) -> tuple[np.ndarray, float]:
        """The covariance from the merged sums, and the degrees of freedom of its t."""
        meat = self.meat(sums, names)   # weight and intercept: what a kernel type's automatic lags need
        return sandwich(refined_left(left, sums.gram), meat) * self.scale(n, df_k, sums), self.df(df_resid, sums)


class IID(Covariance):
    residual_pass = False

    @staticmethod
    def classical(inverse: np.ndarray, mse: float, df_resid: int) -> tuple[np.ndarray, float]:
        """s^2 A and the t's degrees of freedom (Ridge: its penalised inverse times its mse)."""
        return inverse * mse, float(df_resid)


class HC0(Covariance):
    leverage_power = 0


class HC1(HC0):
    def scale(self, n: int, df_k: int, sums: Any) -> float:
        return n / (n - df_k)


class HC2(HC0):
    leverage_power = 1


class HC3(HC0):
    leverage_power = 2


class CRV1(Covariance):
    clustered = True

    def meat(self, sums: Any, names: tuple[str, ...]) -> np.ndarray:
        counts = [len(c) for c in sums.clusters[: len(names)]]
        for name, count in zip(names, counts):
            if count < 2:
                raise ValueError(f"cluster column {name!r} has {count} group: clustering needs at least two")
        k = sums.clusters[0].shape[1]
        total = np.zeros((k, k))
        # Two-way: the pairs' sums (the third) enter with a minus.
        for sign, frame in zip((1.0, 1.0, -1.0), sums.clusters):
            s = frame.to_numpy()
            total += sign * (s.T @ s)
        return total

    @staticmethod
    def groups(sums: Any) -> int:
        """G of the small-sample factor and the t: the fewest groups of the clusterings."""
        return min(len(c) for c in sums.clusters[:2])

    def scale(self, n: int, df_k: int, sums: Any) -> float:
        g = self.groups(sums)
        return g / (g - 1) * (n - 1) / (n - df_k)

    def df(self, df_resid: int, sums: Any) -> float:
        return float(self.groups(sums) - 1)

    def parameters(self, k: int, groups: int, sums: Any) -> int:
        # pyfixest's "nonnested" count: entity effects nested in a cluster add one parameter, not G.
        return k + 1 if any(len(p) == groups for p in sums.pairs) else k + groups


def _at_least_two(sums: Any, names: tuple[str, ...]) -> int:
    groups = len(sums.clusters[0])
    if groups < 2:
        raise ValueError(f"cluster column {names[0]!r} has {groups} group: clustering needs at least two")
    return groups


def _scaled_inverse_root(g: np.ndarray) -> np.ndarray:
    """F with F F' = g^-1, g symmetric positive definite: D^-1 (D^-1 g D^-1)^(-1/2), D = diag(g)^(1/2),
    so that the scale of the intercept's coordinate (the total weight) costs no digit."""
    d = np.sqrt(np.diag(g))
    s, vt = _linalg.singular(g / np.outer(d, d))
    if not s[-1] > s[0] * len(s) * np.finfo(np.float64).eps:
        raise ValueError("the design's cross products are singular")
    out: np.ndarray = (vt.T * (1.0 / np.sqrt(s))) @ vt / d[:, None]
    return out


class _Leverage(Covariance):
    """CR2 and CR3: X_g' f(H_gg) e_g from the clusters' k x k sums t_g, M_g (see the module's notes)."""

    clustered = True
    cluster_grams = True
    ways = 1
    example = '{"CR2": "g"}'

    @staticmethod
    def phi(s: np.ndarray) -> np.ndarray:
        """(f(s) - 1) / s for the eigenvalues s of C_g."""
        raise NotImplementedError

    @staticmethod
    def f(s: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def parts(self, left: np.ndarray, sums: Any, names: tuple[str, ...]
              ) -> tuple[np.ndarray, np.ndarray, np.ndarray, list[tuple[np.ndarray, np.ndarray]]]:
        """The bread, the adjusted score sums m_g (rows), F and each cluster's eigenvalues and vectors of C_g."""
        _at_least_two(sums, names)
        scores = sums.clusters[0]
        t = scores.to_numpy()
        k = t.shape[1]
        grams = sums.grams[0].reindex(scores.index).to_numpy().reshape(-1, k, k)
        f_root = _scaled_inverse_root(grams.sum(axis=0))
        c = f_root.T @ grams @ f_root
        eigen = []
        m = t.copy()
        for g in range(len(t)):
            s, vt = _linalg.singular((c[g] + c[g].T) / 2)
            if s[0] >= 1.0 - 1e-10:
                raise ValueError(f"cluster {scores.index[g]!r} of {names[0]!r} has a leverage of 1: its rows alone "
                                 f"determine a direction of the estimates, and I - H_gg is singular")
            eigen.append((s, vt))
            inner = (vt.T * self.phi(s)) @ vt
            m[g] += grams[g] @ (f_root @ (inner @ (f_root.T @ t[g])))
        return refined_left(left, sums.gram), m, f_root, eigen

    def covariance(self, left: np.ndarray, sums: Any, *, n: int, df_k: int, df_resid: int,
                   names: tuple[str, ...] = (), weight: float = 0.0, intercept: bool = False
                   ) -> tuple[np.ndarray, float]:
        bread, m, _, _ = self.parts(left, sums, names)
        return sandwich(bread, m.T @ m) * self.scale(n, df_k, sums), float(len(m) - 1)


class CR2(_Leverage):
    @staticmethod
    def f(s: np.ndarray) -> np.ndarray:
        out: np.ndarray = 1.0 / np.sqrt(1.0 - s)
        return out

    @staticmethod
    def phi(s: np.ndarray) -> np.ndarray:
        root = np.sqrt(1.0 - s)
        out: np.ndarray = 1.0 / (root * (1.0 + root))
        return out

    def covariance(self, left: np.ndarray, sums: Any, *, n: int, df_k: int, df_resid: int,
                   names: tuple[str, ...] = (), weight: float = 0.0, intercept: bool = False
                   ) -> tuple[np.ndarray, float]:
        bread, m, f_root, eigen = self.parts(left, sums, names)
        k = m.shape[1]
        total = sums.grams[0].to_numpy().sum(axis=0).reshape(k, k)
        d = bread @ total @ f_root                    # row j: coefficient j in the coordinates where U'U = I
        z = np.stack([(vt.T * (s * self.f(s))) @ vt @ d.T for s, vt in eigen])        # G x k x terms
        q = np.stack([np.einsum("aj,aj->j", vt @ d.T, (s / (1.0 - s))[:, None] * (vt @ d.T)) for s, vt in eigen])
        zz = np.einsum("gaj,gaj->gj", z, z)
        trace = q.sum(axis=0) - zz.sum(axis=0)
        cross = np.einsum("gaj,gbj->jab", z, z)
        square = (q * q).sum(axis=0) - 2.0 * (q * zz).sum(axis=0) + np.einsum("jab,jab->j", cross, cross)
        self.df_per_term = trace * trace / square
        return sandwich(bread, m.T @ m), float(len(m) - 1)


class CR3(_Leverage):
    example = '{"CR3": "g"}'

    @staticmethod
    def f(s: np.ndarray) -> np.ndarray:
        out: np.ndarray = 1.0 / (1.0 - s)
        return out

    phi = f

    def scale(self, n: int, df_k: int, sums: Any) -> float:
        g = len(sums.clusters[0])
        return (g - 1) / g


class HAC(Covariance):
    """The Bartlett kernel over the score sums per time, in the time column's order (see the module's notes)."""

    clustered = True
    ways = 1
    options = ("lags",)
    example = '{"HAC": "time", "lags": 4}'
    one_row_per_time: ClassVar[bool] = True

    def __init__(self, request: VcovRequest | None = None):
        super().__init__(request)
        self.lags_used: int | None = None

    def label(self) -> str:
        base = super().label()
        return base if self.lags_used is None else f"{base}, {self.lags_used} lags"

    def df(self, df_resid: int, sums: Any) -> float:
        return float(df_resid)

    def covariance(self, left: np.ndarray, sums: Any, *, n: int, df_k: int, df_resid: int,
                   names: tuple[str, ...] = (), weight: float = 0.0, intercept: bool = False
                   ) -> tuple[np.ndarray, float]:
        scores = sums.clusters[0]
        if self.one_row_per_time and len(scores) < n:
            raise ValueError(f"time column {names[0]!r} repeats values ({n} rows, {len(scores)} distinct times): "
                             f"{self.__class__.__name__} takes one row per time; for a panel use "
                             f'{{"DK": "{names[0]}"}}')
        try:
            scores = scores.sort_index()
        except TypeError as error:
            raise ValueError(f"time column {names[0]!r} holds values that cannot be ordered: {error}") from None
        t = scores.to_numpy()
        periods = len(t)
        bread = refined_left(left, sums.gram)
        requested = self.request.lags if self.request is not None and self.request.lags is not None else "auto"
        if requested == "auto":
            lags = automatic_lags(_raw_scores(bread, sums.gram, t, weight, intercept))
        else:
            lags = int(requested)
            if lags >= periods:
                raise ValueError(f"lags={lags} must be below the number of times in {names[0]!r}, {periods}: "
                                 f"the sums of {periods} periods have autocovariances up to lag {periods - 1}")
        self.lags_used = lags
        return sandwich(bread, bartlett(t, lags)) * n / (n - df_k), self.df_of(df_resid, periods)

    def df_of(self, df_resid: int, periods: int) -> float:
        return float(df_resid)


class DK(HAC):
    example = '{"DK": "time", "lags": 4}'
    one_row_per_time = False

    def df_of(self, df_resid: int, periods: int) -> float:
        return float(periods - 1)


def bartlett(t: np.ndarray, lags: int) -> np.ndarray:
    """sum_{|l| <= lags} (1 - |l|/(lags+1)) sum_s t_s t_{s-l}' of the rows of t, in their order."""
    out: np.ndarray = t.T @ t
    for lag in range(1, lags + 1):
        gamma = t[lag:].T @ t[:-lag]
        out += (1.0 - lag / (lags + 1.0)) * (gamma + gamma.T)
    return out


def _raw_scores(bread: np.ndarray, gram: np.ndarray | None, t: np.ndarray, weight: float, intercept: bool
                ) -> np.ndarray:
    """The sum of the slopes' score columns x'e per period, from the sums in the score coordinates:
    with b = T g (T = the bread times the coordinates' Gram matrix), x'e = T^-T q'e."""
    k = t.shape[1]
    ks = gram.shape[0] if gram is not None else k - (1 if intercept else 0)
    coordinates = np.eye(k)
    if intercept:
        coordinates[0, 0] = weight
    if gram is not None:
        coordinates[-ks:, -ks:] = gram
    raw = _linalg.solve((bread @ coordinates).T, t.T).T
    out: np.ndarray = raw[:, 1:].sum(axis=1) if intercept else raw.sum(axis=1)
    return out


def automatic_lags(x: np.ndarray) -> int:
    """Newey and West's (1994) lags for the Bartlett kernel from the series x (see the module's notes)."""
    periods = len(x)
    pilot = math.ceil(4.0 * (periods / 100.0) ** (2.0 / 9.0))
    if pilot >= periods - 1:
        raise ValueError(f'lags="auto" needs at least 4 times, not {periods}: give the lags')
    sigma = np.array([x[j:] @ x[: periods - j] for j in range(pilot + 1)]) / periods
    s0 = sigma[0] + 2.0 * sigma[1:].sum()
    s1 = 2.0 * (np.arange(1, pilot + 1) * sigma[1:]).sum()
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        m = float(1.1447 * ((s1 / s0) ** 2) ** (1.0 / 3.0) * periods ** (1.0 / 3.0))
    if not np.isfinite(m):
        raise ValueError('lags="auto" is not defined here (the scores\' long-run variance is 0): give the lags')
    return min(math.ceil(m), periods - 1)


TYPES: dict[str, type[Covariance]] = {"iid": IID, "HC0": HC0, "HC1": HC1, "HC2": HC2, "HC3": HC3, "CRV1": CRV1,
                                      "CR2": CR2, "CR3": CR3, "HAC": HAC, "DK": DK}
HC_TYPES = ("HC0", "HC1", "HC2", "HC3")


def sandwich(left: np.ndarray, meat: np.ndarray) -> np.ndarray:
    v = left @ meat @ left.T
    out: np.ndarray = (v + v.T) / 2
    return out


def refined_left(left: np.ndarray, gram: np.ndarray | None) -> np.ndarray:
    """The bread for scores u = F'x whose sum of w u u' is I + E rather than I: with g^-1 = F (I + E)^-1 F'
    exactly, L diag(1, (I + E)^-1) takes back the rounding of the merged R factor, which the sandwich
    would otherwise magnify like the condition of the design."""
    if gram is None:
        return left
    ks = gram.shape[0]
    out = left.copy()
    out[:, -ks:] = _linalg.solve(gram, left[:, -ks:].T).T
    return out


def parse(vcov: object, *, allowed: tuple[str, ...], model: str) -> VcovRequest:
    plain = [name for name, family in TYPES.items() if not family.clustered]
    keyed = [name for name, family in TYPES.items() if family.clustered]
    if isinstance(vcov, str):
        kind = vcov.strip()
        if kind not in plain:
            if kind.upper() in keyed:
                family = TYPES[kind.upper()]
                raise ValueError(f"{kind.upper()} needs the {'time' if family.options else 'cluster'} column(s): "
                                 f"vcov={family.example}")
            raise ValueError(f"unknown covariance type {vcov!r}: use {', '.join(map(repr, plain))} "
                             'or {"CRV1": "column"}')
        request = VcovRequest(kind)
    elif isinstance(vcov, dict):
        kinds = [key for key in vcov if isinstance(key, str) and key in keyed]
        if len(kinds) != 1 or not isinstance(vcov[kinds[0]], str):
            raise ValueError(f'a clustered covariance is given as {{"CRV1": "g"}} or {{"CRV1": "g1 + g2"}}, a kernel '
                             f'one as {{"HAC": "time", "lags": 4}}, not {vcov!r}')
        kind = kinds[0]
        family = TYPES[kind]
        unknown = [key for key in vcov if key != kind and key not in family.options]
        if unknown:
            takes = f"the key {family.options[0]!r}" if family.options else "no other key"
            raise ValueError(f"{kind} takes {takes}, not {', '.join(map(repr, unknown))}: vcov={family.example}")
        text = vcov[kind]
        names = tuple(part.strip() for part in text.split("+"))
        if not 1 <= len(names) <= family.ways or not all(names) or len(set(names)) != len(names):
            what = "one or two distinct columns" if family.ways == 2 else "one column"
            raise ValueError(f"{kind} {'clusters by' if not family.options else 'orders by'} {what}, not {text!r}")
        lags = _lags(vcov.get("lags", "auto")) if family.options else None
        request = VcovRequest(kind, names, lags)
    else:
        raise TypeError(f"vcov must be a string or a dict such as {{'CRV1': 'g'}}, not {type(vcov).__name__}")
    if request.kind not in allowed:
        offered = ", ".join(repr(a) if not TYPES[a].clustered else f'{{"{a}": ...}}' for a in allowed)
        raise ValueError(f"{model} offers the covariance types {offered}, not {vcov!r}")
    return request


def _lags(value: object) -> int | str:
    if isinstance(value, str) and value == "auto":
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)) and value >= 0:
        return int(value)
    raise ValueError(f'lags must be a non-negative integer or "auto", not {value!r}')
