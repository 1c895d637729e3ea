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

The sandwiches are formed in the coordinates of the fit's scores (the design
times the inverse of its R factor), whose bread `left` the solve hands over:
formed as A X' W X A on the raw columns they would cancel like the condition
squared. A new type is one class here and one line in TYPES.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from ordinata_frames import _linalg


@dataclass(frozen=True)
class VcovRequest:
    kind: str                          # a key of TYPES
    clusters: tuple[str, ...] = ()     # a clustered type: one or two column names

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
        return TYPES[self.kind]()


class Covariance:
    """A covariance type. `leverage_power` says what the residual pass sums for it:
    -1 no meat, p >= 0 the meat of e_i^2 / (1 - h_i)^p; `clustered`, the score sums
    per cluster instead."""

    leverage_power: ClassVar[int] = -1
    clustered: ClassVar[bool] = False
    residual_pass: ClassVar[bool] = True

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
                   names: tuple[str, ...] = ()) -> tuple[np.ndarray, float]:
        """The covariance from the merged sums, and the degrees of freedom of its t."""
        meat = self.meat(sums, names)
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


TYPES: dict[str, type[Covariance]] = {"iid": IID, "HC0": HC0, "HC1": HC1, "HC2": HC2, "HC3": HC3, "CRV1": CRV1}
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
    clustered = [name for name, family in TYPES.items() if family.clustered]
    if isinstance(vcov, str):
        kind = vcov.strip()
        if kind not in plain:
            if kind.upper() in clustered:
                raise ValueError(f'{kind.upper()} needs the cluster column(s): vcov={{"{kind.upper()}": "g"}} or '
                                 f'{{"{kind.upper()}": "g1 + g2"}}')
            raise ValueError(f"unknown covariance type {vcov!r}: use {', '.join(map(repr, plain))} "
                             'or {"CRV1": "column"}')
        request = VcovRequest(kind)
    elif isinstance(vcov, dict):
        if len(vcov) != 1 or next(iter(vcov)) not in clustered or not isinstance(next(iter(vcov.values())), str):
            raise ValueError(f'a clustered covariance is given as {{"CRV1": "g"}} or {{"CRV1": "g1 + g2"}}, not {vcov!r}')
        (kind, text), = vcov.items()
        names = tuple(part.strip() for part in text.split("+"))
        if not 1 <= len(names) <= 2 or not all(names) or len(set(names)) != len(names):
            raise ValueError(f"{kind} clusters by one or two distinct columns, not {text!r}")
        request = VcovRequest(kind, names)
    else:
        raise TypeError(f"vcov must be a string or a dict such as {{'CRV1': 'g'}}, not {type(vcov).__name__}")
    if request.kind not in allowed:
        offered = ", ".join(repr(a) if not TYPES[a].clustered else f'{{"{a}": ...}}' for a in allowed)
        raise ValueError(f"{model} offers the covariance types {offered}, not {vcov!r}")
    return request
