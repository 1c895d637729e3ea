"""Absorbed fixed effects: the factors' integer codes, the singleton rule, the count of
the levels the effects absorb, the native projection of a block of columns off the
factors' dummies, and the effects themselves.

Degrees of freedom. The effects absorb the rank of the factors' dummies together:

- a factor whose every level lies within one level of another factor (nested in it:
  a firm given its workers, a factor with one level) adds nothing: its dummies are
  sums of the other's;
- one factor left: its levels;
- two: their levels less the connected components of their bipartite graph (levels
  joined by the rows that hold both), which is exact;
- three or more: the sum of their levels less one per factor after the first, the count
  pyfixest and fixest use. It assumes the factors connected with no redundancy beyond
  the constant each repeats; the true rank is never above it, so where the factors hold
  more redundancy the residual degrees of freedom are understated, never overstated.

For CRV1, effects nested in a cluster count as one parameter each (pyfixest's
"nonnested" rule): their levels are taken out of the count and one added back.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from ordinata_frames import _formula, _native

METHOD = "conjugate gradients, diagonal preconditioner"
REDUCED = ("conjugate gradients on the Schur complement of {name} (its levels averaged out exactly), "
           "sparse Cholesky preconditioner")


class SolverInfo(NamedTuple):
    """How the absorbed system was solved: the iterations taken (by the column that took most),
    the method, and the largest relative change of the last iteration (the stopping rule's
    figure, at most the tolerance asked for)."""

    iterations: int
    method: str
    convergence: float


@dataclass(frozen=True)
class Factor:
    """One absorbed factor over the rows kept: codes 0..L-1 and the key of each code."""

    columns: tuple[str, ...]
    codes: np.ndarray
    keys: pd.Index

    @property
    def name(self) -> str:
        return _formula.factor_name(self.columns)

    @property
    def levels(self) -> int:
        return len(self.keys)


def integer_keys(dtype: Any) -> bool:
    """Keys that are int64 exactly: numpy's signed integers, and its unsigned of at most 32 bits."""
    return isinstance(dtype, np.dtype) and (dtype.kind == "i" or (dtype.kind == "u" and dtype.itemsize <= 4))


def integer_codes(key: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The distinct keys (rising) and each row's position among them: counted in place where the
    keys span not much more than the rows, else hashed."""
    key = key.astype(np.int64, copy=False)
    if len(key) == 0:
        return key, np.zeros(0, dtype=np.int64)
    low, high = int(key.min()), int(key.max())
    if high - low < max(4 * len(key), 1 << 16):
        keys, codes = np.empty(min(high - low + 1, len(key)), dtype=np.int64), np.empty(len(key), dtype=np.int64)
        distinct = _native.range_codes(np.ascontiguousarray(key), low, high - low + 1, keys, codes)
        if distinct is None:       # the keys fill their range: a key's code is its offset
            codes = (key - low if low else key).view()
            codes.flags.writeable = False       # it may be the caller's column itself
            return np.arange(low, high + 1, dtype=np.int64), codes
        return keys[:distinct], codes
    codes, uniques = pd.factorize(key, sort=True)
    return np.asarray(uniques, dtype=np.int64), codes.astype(np.int64)


def _codes(values: pd.Series) -> tuple[np.ndarray, pd.Index]:
    dtype = values.dtype
    if isinstance(dtype, np.dtype) and integer_keys(dtype):
        distinct, positions = integer_codes(values.to_numpy())
        return positions, pd.Index(distinct.astype(dtype))
    try:
        code, uniques = pd.factorize(values, sort=True)
    except TypeError:       # keys of mixed types have no order
        code, uniques = pd.factorize(values, sort=False)
    return code.astype(np.int64), pd.Index(uniques)


def factor_of(frame: pd.DataFrame, columns: tuple[str, ...]) -> Factor:
    """The codes of a factor, or of the interaction of several columns (its keys a MultiIndex)."""
    if len(columns) == 1:
        code, keys = _codes(frame[columns[0]])
        return Factor(columns, code, keys)
    parts = [_codes(frame[c]) for c in columns]
    combined = np.zeros(len(frame), dtype=np.int64)
    for code, keys in parts:
        combined = combined * len(keys) + code
    code, uniques = pd.factorize(combined, sort=True)
    digits = []
    rest = np.asarray(uniques, dtype=np.int64)
    for _, keys in reversed(parts):
        digits.append(keys[rest % len(keys)])
        rest = rest // len(keys)
    index = pd.MultiIndex.from_arrays(list(reversed(digits)), names=list(columns))
    return Factor(columns, code.astype(np.int64), index)


def recoded(factor: Factor, keep: np.ndarray) -> Factor:
    """The factor over the rows kept, its levels without rows dropped."""
    code = factor.codes[keep]
    present = np.bincount(code, minlength=factor.levels) > 0
    new_code = np.cumsum(present) - 1
    return Factor(factor.columns, new_code[code].astype(np.int64), factor.keys[present])


def singleton_rows(factors: Sequence[Factor]) -> np.ndarray:
    """The rows kept once the rows alone in a level of some factor are dropped, again and
    again until no factor has such a level."""
    n = len(factors[0].codes)
    keep = np.ones(n, dtype=bool)
    while True:
        alone = np.zeros(n, dtype=bool)
        for f in factors:
            counts = np.bincount(f.codes[keep], minlength=f.levels)
            alone |= keep & (counts[f.codes] == 1)
        if not alone.any():
            return keep
        keep &= ~alone


def nested(inner: Factor, outer: np.ndarray, outer_levels: int) -> bool:
    """Whether every level of `inner` lies within one level of `outer` (codes over the same rows)."""
    some = np.full(inner.levels, -1, dtype=np.int64)
    # A few rows first: most pairs of factors are not nested, and their first rows show it.
    head = slice(0, min(len(outer), 4096))
    some[inner.codes[head]] = outer[head]
    if not np.array_equal(some[inner.codes[head]], outer[head]):
        return False
    some[inner.codes] = outer       # the outer code of one row of each inner level
    return bool(np.array_equal(some[inner.codes], outer))


def _redundant(factors: Sequence[Factor]) -> list[bool]:
    """The factors nested in another (the first of identical ones kept)."""
    out = []
    for f, a in enumerate(factors):
        # b nested in a maps b's levels onto all of a's: it has at least as many.
        out.append(any(g != f and (b.levels > a.levels or (b.levels == a.levels and g < f))
                       and nested(b, a.codes, a.levels) for g, b in enumerate(factors)))
    return out


def components(a: Factor, b: Factor) -> tuple[int, np.ndarray]:
    """The connected components of two factors' bipartite graph, and each level's (a's first)."""
    count, labels = _native.absorb_components(a.codes, b.codes, a.levels, b.levels)
    return int(count), np.frombuffer(labels, dtype=np.int64)


def absorbed_df(factors: Sequence[Factor]) -> int:
    """The rank of the factors' dummies together, by the rules of the module's docstring."""
    kept = [f for f, redundant in zip(factors, _redundant(factors)) if not redundant]
    if len(kept) == 1:
        return kept[0].levels
    if len(kept) == 2:
        return kept[0].levels + kept[1].levels - components(kept[0], kept[1])[0]
    return sum(f.levels for f in kept) - (len(kept) - 1)


def crv_parameters(k: int, absorbed: int, factors: Sequence[Factor], frame: pd.DataFrame,
                   clusters: tuple[str, ...]) -> int:
    """The parameters CRV1's small-sample factor counts: the slopes and the absorbed levels, the
    levels of effects nested in a cluster counted as one per factor."""
    kept = [f for f, redundant in zip(factors, _redundant(factors)) if not redundant]
    cluster_codes = [_codes(frame[c]) for c in clusters]
    nested_levels = fully = 0
    for f in kept:
        if any(f.columns == (c,) or nested(f, code, len(keys)) for c, (code, keys) in zip(clusters, cluster_codes)):
            nested_levels += f.levels
            fully += 1
    if fully == 0:
        return k + absorbed
    return max(k + absorbed - nested_levels + fully, k + 1)


class Demeaned(NamedTuple):
    """The columns projected off the factors' dummies, their effects, how the solver went, and each
    column's weighted mean and weighted sum of squares about it, as given."""

    columns: np.ndarray
    effects: np.ndarray
    solver: SolverInfo
    means: np.ndarray
    square_sums: np.ndarray


def demean(columns: np.ndarray, factors: Sequence[Factor], w: np.ndarray | None, *, tol: float,
           max_iterations: int) -> Demeaned:
    """The columns (c, n) projected off the factors' dummies (a new array; the caller's are
    not written) and each column's effects (c, sum of levels); ValueError naming the factors
    where the iterations do not converge."""
    out = np.array(columns, dtype=np.float64, order="C", copy=True)
    effects = np.zeros((out.shape[0], sum(f.levels for f in factors)))
    weights = None if w is None else np.ascontiguousarray(w, dtype=np.float64)
    converged, iterations, change, eliminated, means, square_sums = _native.absorb(
        out, effects, [np.ascontiguousarray(f.codes) for f in factors], [f.levels for f in factors], weights,
        float(tol), int(max_iterations))
    if not converged:
        names = " + ".join(f.name for f in factors)
        raise ValueError(f"the fixed effects {names} did not converge in {max_iterations} iterations (relative "
                         f"change {change:.2e} against a tolerance of {tol:g}): raise max_iterations or tol")
    method = METHOD if eliminated < 0 else REDUCED.format(name=factors[eliminated].name)
    return Demeaned(out, effects, SolverInfo(int(iterations), method, float(change)), np.frombuffer(means),
                    np.frombuffer(square_sums))


def normalised(effects: np.ndarray, factors: Sequence[Factor],
               linked: tuple[int, np.ndarray] | None = None) -> list[np.ndarray]:
    """The effects split by factor and normalised: every factor after the first has effects of mean
    zero over its levels (with two factors, in each connected component of their graph), the
    first taking up the difference. With three or more factors and more redundancy than the
    constant each repeats, the effects are one solution among several; their sums per row,
    and so the predictions, are the same for any. `linked`: the first two factors' components
    where their codes are not at hand (taken from their crosstab)."""
    bounds = np.cumsum([0] + [f.levels for f in factors])
    parts = [effects[bounds[i]: bounds[i + 1]].copy() for i in range(len(factors))]
    if len(factors) == 2:
        count, labels = linked if linked is not None else components(factors[0], factors[1])
        first, second = labels[: factors[0].levels], labels[factors[0].levels:]
        shift = np.bincount(second, weights=parts[1], minlength=count) / np.maximum(
            np.bincount(second, minlength=count), 1)
        parts[1] -= shift[second]
        parts[0] += shift[first]
        return parts
    for i in range(1, len(factors)):
        mean = float(np.mean(parts[i]))
        parts[i] -= mean
        parts[0] += mean
    return parts
