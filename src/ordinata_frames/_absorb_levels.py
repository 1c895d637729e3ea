"""Absorbed fixed effects on partitioned rows, solved in the space of the levels: the rows
are read a fixed number of times, never once per iteration.

- The levels pass: per factor the keys seen and their row counts; with drop_singletons it is
  made again (the factors' columns and the levels dropped so far) until no level is left with
  one row.
- The statistics pass: per factor the weight of each level, per pair of factors their crosstab
  (the pairs of levels the rows hold, with their summed weight), per level the weighted sums
  of every column of the block [X y] (taken about each partition's first row, moved onto the
  first partition's when merged), and per column its weight, mean, spread and square sums.
- On the client, the effects' normal equations D'WD alpha = D'W v, every column v at once,
  solved natively by conjugate gradients on the sparse level system (absorb_levels.hpp).
- The demeaned rows v_i - sum_f alpha_f[level_f(i)] are then formed partition by partition
  for the pipeline's moments pass and pass over the residuals.

A worker holds one partition and the levels' state: the keys, and the effects of every
column (levels x columns float64)."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field, replace

import numpy as np
import pandas as pd

from ordinata_frames import _absorb, _formula, _native, _passes
from ordinata_frames._passes import Design, Stats
from ordinata_frames._plan import Plan

METHOD = "conjugate gradients on the levels' system, diagonal preconditioner"


def _key(frame: pd.DataFrame, columns: tuple[str, ...]) -> pd.Index:
    """The key of each row in a factor: its value, or the tuple of an interaction's."""
    key: pd.Index
    if len(columns) == 1:
        key = pd.Index(frame[columns[0]])
        return key
    key = pd.MultiIndex.from_arrays([frame[c] for c in columns], names=list(columns))
    return key


def _checked_design(part: pd.DataFrame, plan: Plan) -> Design:
    d = _passes.design(part, plan)
    if not all(np.isfinite(col).all() for col in d.a):
        _passes.checked(_passes.moments, plan, d, d.a, None, False)
    return d


# ---------------------------------------------------------------------------
# The levels pass.

@dataclass
class Levels:
    """Per factor the row count of each key seen (a Series indexed by the keys)."""

    counts: list[pd.Series]
    rows: int
    dropped: int


def _count(index: pd.Index) -> pd.Series:
    """The rows of each key, in the keys' order where they have one (so that merges align sorted runs)."""
    ones = pd.Series(np.ones(len(index), dtype=np.int64), index=index)
    counts = ones.groupby(level=list(range(index.nlevels)), sort=False).sum()
    try:
        return counts.sort_index()
    except TypeError:       # keys of mixed types have no order
        return counts


def block_levels(part: pd.DataFrame, plan: Plan, factors: tuple[tuple[str, ...], ...]) -> Levels:
    d = _passes.design(part, plan)
    return Levels([_count(_key(d.frame, f)) for f in factors], len(d.frame), d.dropped)


def merge_levels(a: Levels, b: Levels) -> Levels:
    counts = [x.add(y, fill_value=0).astype(np.int64) for x, y in zip(a.counts, b.counts)]
    return Levels(counts, a.rows + b.rows, a.dropped + b.dropped)


def sorted_keys(counts: pd.Series) -> pd.Index:
    """The keys in the order the in-memory codes give them (sorted where they have an order)."""
    keys = counts.index
    try:
        return keys.sort_values()
    except TypeError:       # keys of mixed types have no order
        return keys


@dataclass(frozen=True)
class LevelState:
    """What a partition needs to code its rows: the keys first seen, the levels dropped
    (singletons, again and again) and the code of each level kept (-1: dropped)."""

    factors: tuple[tuple[str, ...], ...]
    keys: tuple[pd.Index, ...]
    dropped: tuple[np.ndarray, ...]
    codes: tuple[np.ndarray, ...] = ()

    def coded(self, frame: pd.DataFrame) -> tuple[list[np.ndarray], np.ndarray]:
        """Each factor's codes of the rows (among the keys seen) and the rows kept."""
        raw = [k.get_indexer(_key(frame, f)).astype(np.int64) for f, k in zip(self.factors, self.keys)]
        keep = np.ones(len(frame), dtype=bool)
        for code, dropped in zip(raw, self.dropped):
            keep &= ~dropped[code]
        return raw, keep


def block_singletons(part: pd.DataFrame, plan: Plan, state: LevelState) -> list[np.ndarray]:
    """The rows kept in each level of each factor, the levels dropped so far left out."""
    d = _passes.design(part, plan)
    raw, keep = state.coded(d.frame)
    return [np.bincount(code[keep], minlength=len(k)) for code, k in zip(raw, state.keys)]


def merge_counts(a: list[np.ndarray], b: list[np.ndarray]) -> list[np.ndarray]:
    return [x + y for x, y in zip(a, b)]


# ---------------------------------------------------------------------------
# The statistics pass.

@dataclass
class LevelStats:
    levels: tuple[int, ...]
    rows: int = 0
    dropped: int = 0
    singletons: int = 0
    pivot: np.ndarray = field(default_factory=lambda: np.zeros(0))      # per column
    weights: list[np.ndarray] = field(default_factory=list)             # per factor, each level's weight
    sums: np.ndarray = field(default_factory=lambda: np.zeros((0, 0)))  # (all levels, columns), about the pivot
    crosstabs: dict[tuple[int, int], tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)
    columns: list[tuple[float, float, float]] = field(default_factory=list)  # per column: weight, mean, centred SS
    high: np.ndarray = field(default_factory=lambda: np.zeros(0))
    low: np.ndarray = field(default_factory=lambda: np.zeros(0))
    raw_sq: np.ndarray = field(default_factory=lambda: np.zeros(0))     # per column, sum w v^2
    nesting: list[pd.DataFrame] = field(default_factory=list)  # per (factor, cluster): the pairs seen


def _pair_key(a: np.ndarray, b: np.ndarray, levels_b: int) -> np.ndarray:
    key: np.ndarray = a * levels_b + b
    return key


def _summed(keys: np.ndarray, weights: np.ndarray, size: int) -> tuple[np.ndarray, np.ndarray]:
    """The distinct keys (ascending) in 0..size-1 and the weight summed on each: counted in place
    where the key space is not much larger than the keys, else sorted."""
    if size <= max(4 * len(keys), 1 << 20):
        total = np.bincount(keys, weights=weights, minlength=size)
        unique = np.flatnonzero(np.bincount(keys, minlength=size))
        return unique.astype(np.int64), total[unique]
    if len(keys) == 0:
        return keys.astype(np.int64), weights.astype(np.float64)
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    start = np.flatnonzero(np.concatenate([[True], ordered[1:] != ordered[:-1]]))
    return ordered[start].astype(np.int64), np.add.reduceat(weights[order], start)


def block_stats(part: pd.DataFrame, plan: Plan, state: LevelState, clusters: tuple[str, ...]) -> LevelStats:
    d = _checked_design(part, plan)
    raw, keep = state.coded(d.frame)
    codes = [c[code[keep]] for c, code in zip(state.codes, raw)]
    levels = tuple(int(c.max()) + 1 if len(c) else 0 for c in state.codes)
    a = [col[keep] for col in d.a]
    n = int(keep.sum())
    w = np.ones(n) if d.w is None else d.w[keep]
    out = LevelStats(levels, rows=n, dropped=d.dropped, singletons=len(keep) - n)
    out.pivot = np.array([col[0] if n else 0.0 for col in a])
    out.weights = [np.bincount(code, weights=w, minlength=size) for code, size in zip(codes, levels)]
    out.sums = np.zeros((sum(levels), len(a)))
    offsets = np.cumsum((0,) + levels)
    for f, code in enumerate(codes):
        for j, col in enumerate(a):
            out.sums[offsets[f]: offsets[f + 1], j] = np.bincount(code, weights=w * (col - out.pivot[j]),
                                                                  minlength=levels[f])
    for f in range(len(codes)):
        for g in range(f + 1, len(codes)):
            out.crosstabs[(f, g)] = _summed(_pair_key(codes[f], codes[g], levels[g]), w, levels[f] * levels[g])
    out.columns = [_passes.target_stats(col, w) for col in a]
    out.high = np.array([col.max() if n else -np.inf for col in a])
    out.low = np.array([col.min() if n else np.inf for col in a])
    out.raw_sq = np.array([float(w @ (col * col)) for col in a])
    frame = d.frame.loc[keep]
    out.nesting = [pd.DataFrame({"level": code, "cluster": frame[c].to_numpy()}).drop_duplicates()
                   for code in codes for c in clusters]
    return out


def _merged(keys_a: np.ndarray, w_a: np.ndarray, keys_b: np.ndarray, w_b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Two crosstabs' pairs (rising keys) joined in one linear merge, the weights of a pair in both summed."""
    keys, weights = _native.merge_pairs(np.ascontiguousarray(keys_a, dtype=np.int64), np.ascontiguousarray(w_a),
                                        np.ascontiguousarray(keys_b, dtype=np.int64), np.ascontiguousarray(w_b))
    return np.frombuffer(keys, dtype=np.int64), np.frombuffer(weights)


def merge_stats(a: LevelStats, b: LevelStats) -> LevelStats:
    if a.rows == 0 or b.rows == 0:
        kept = b if a.rows == 0 else a
        return replace(kept, dropped=a.dropped + b.dropped, singletons=a.singletons + b.singletons)
    # b's sums moved onto a's pivot: sum w (v - p_a) = sum w (v - p_b) + W (p_b - p_a)
    level_weight = np.concatenate(b.weights)
    sums = a.sums + b.sums + np.outer(level_weight, b.pivot - a.pivot)
    crosstabs = {pair: _merged(*a.crosstabs[pair], *b.crosstabs[pair]) for pair in a.crosstabs}
    nesting = [pd.concat([x, y]).drop_duplicates() for x, y in zip(a.nesting, b.nesting)]
    return LevelStats(a.levels, a.rows + b.rows, a.dropped + b.dropped, a.singletons + b.singletons, a.pivot,
                      [x + y for x, y in zip(a.weights, b.weights)], sums, crosstabs,
                      [_passes._merge_target(x, y) for x, y in zip(a.columns, b.columns)],
                      np.maximum(a.high, b.high), np.minimum(a.low, b.low), a.raw_sq + b.raw_sq, nesting)


# ---------------------------------------------------------------------------
# The level system and its solve.

def _structure(stats: LevelStats, f: int, g: int) -> tuple[np.ndarray, np.ndarray]:
    """The pairs of codes of factors f < g that the rows hold."""
    keys, _ = stats.crosstabs[(f, g)]
    return keys // stats.levels[g], keys % stats.levels[g]


def _nested(stats: LevelStats, inner: int, outer: int) -> bool:
    """Every level of `inner` lies within one level of `outer`."""
    a, b = _structure(stats, min(inner, outer), max(inner, outer))
    codes = a if inner < outer else b
    return bool(np.all(np.bincount(codes, minlength=stats.levels[inner]) <= 1))


def _kept(stats: LevelStats) -> list[int]:
    """The factors not redundant: none other nested in them (the first of identical ones kept)."""
    levels = stats.levels
    return [f for f in range(len(levels))
            if not any(g != f and (levels[g] != levels[f] or g < f) and _nested(stats, g, f)
                       for g in range(len(levels)))]


def components(stats: LevelStats, f: int = 0, g: int = 1) -> tuple[int, np.ndarray]:
    """The connected components of factors f and g's bipartite graph, and each level's (f's first)."""
    a, b = _structure(stats, f, g)
    count, labels = _native.absorb_components(np.ascontiguousarray(a), np.ascontiguousarray(b),
                                              stats.levels[f], stats.levels[g])
    return int(count), np.frombuffer(labels, dtype=np.int64)


def absorbed_df(stats: LevelStats) -> int:
    """The rank of the factors' dummies, by the rules of _absorb's docstring."""
    kept = _kept(stats)
    levels = stats.levels
    if len(kept) == 1:
        return levels[kept[0]]
    if len(kept) == 2:
        return levels[kept[0]] + levels[kept[1]] - components(stats, kept[0], kept[1])[0]
    return sum(levels[f] for f in kept) - (len(kept) - 1)


def crv_parameters(k: int, absorbed: int, stats: LevelStats, factors: Sequence[tuple[str, ...]],
                   clusters: tuple[str, ...]) -> int:
    """_absorb.crv_parameters from the pairs of levels and clusters the rows hold."""
    nested_levels = fully = 0
    for f in _kept(stats):
        pairs = stats.nesting[f * len(clusters): (f + 1) * len(clusters)]
        if any(factors[f] == (c,) or bool(np.all(np.bincount(p["level"].to_numpy(dtype=np.int64),
                                                            minlength=stats.levels[f]) <= 1))
               for c, p in zip(clusters, pairs)):
            nested_levels += stats.levels[f]
            fully += 1
    if fully == 0:
        return k + absorbed
    return max(k + absorbed - nested_levels + fully, k + 1)


def _entries(stats: LevelStats) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The crosstabs as the entries of D'WD above its diagonal: two levels (positions among all
    the levels) and the weight of the rows holding both."""
    offsets = np.cumsum((0,) + stats.levels)
    a, b, w = [np.zeros(0, dtype=np.int64)], [np.zeros(0, dtype=np.int64)], [np.zeros(0)]
    for (f, g), (_, weights) in stats.crosstabs.items():
        codes_f, codes_g = _structure(stats, f, g)
        a.append(codes_f + offsets[f])
        b.append(codes_g + offsets[g])
        w.append(weights)
    return (np.ascontiguousarray(np.concatenate(a), dtype=np.int64),
            np.ascontiguousarray(np.concatenate(b), dtype=np.int64), np.ascontiguousarray(np.concatenate(w)))


def solve(stats: LevelStats, names: Sequence[str], *, tol: float, max_iterations: int
          ) -> tuple[np.ndarray, np.ndarray, _absorb.SolverInfo]:
    """The effects (columns, all levels) of every column less its weighted mean, and the means;
    ValueError naming the factors where the iterations do not converge. As the row solver, the
    columns are centred first: each factor's block of D'W 1 is its levels' weights, so the
    centred sums are the pivot's less the mean's offset from the pivot times the level weights."""
    pair_a, pair_b, pair_w = _entries(stats)
    bounds = np.cumsum((0,) + stats.levels).astype(np.int64)
    # The stopping rule's pair: the two factors of most levels (the others' levels, heavier, move least).
    first, second = (sorted(sorted(range(len(stats.levels)), key=lambda f: -stats.levels[f])[:2])
                     if len(stats.levels) > 1 else (0, 1))
    means = np.array([m for _, m, _ in stats.columns])
    spreads = np.maximum(stats.high - means, means - stats.low)
    level_weights = np.concatenate(stats.weights)
    rhs = np.ascontiguousarray((stats.sums - np.outer(level_weights, means - stats.pivot)).T)
    effects = np.zeros_like(rhs)
    converged, iterations, change = _native.absorb_levels(
        rhs, effects, level_weights, pair_a, pair_b, pair_w, bounds, np.ascontiguousarray(spreads), first, second,
        float(tol), int(max_iterations))
    if not converged:
        raise ValueError(f"the fixed effects {' + '.join(names)} did not converge in {max_iterations} iterations "
                         f"(relative change {change:.2e} against a tolerance of {tol:g}): raise max_iterations "
                         f"or tol")
    return effects, means, _absorb.SolverInfo(int(iterations), METHOD, float(change))


# ---------------------------------------------------------------------------
# The passes over the demeaned rows.

@dataclass(frozen=True)
class Demeaning:
    state: LevelState
    offsets: np.ndarray
    centre: np.ndarray          # per column, its weighted mean
    effects: np.ndarray         # (columns, all levels), of the columns less their means


def demeaned(part: pd.DataFrame, plan: Plan, how: Demeaning, complete: bool = False) -> Design:
    """The partition's rows kept, each column less its mean and its levels' effects."""
    d = _passes.design(part, plan, direct_complete=complete)
    raw, keep = how.state.coded(d.frame)
    positions = [how.offsets[f] + c[code[keep]] for f, (c, code) in enumerate(zip(how.state.codes, raw))]
    a = []
    for j, col in enumerate(d.a):
        out = col[keep] - how.centre[j]
        for p in positions:
            out -= how.effects[j, p]
        a.append(out)
    frame = d.frame.loc[keep].reset_index(drop=True)
    return Design(a=a, w=None if d.w is None else d.w[keep], frame=frame, dropped=d.dropped, rows=d.rows[keep])


def block_moments(part: pd.DataFrame, plan: Plan, how: Demeaning, exact: bool) -> Stats:
    d = demeaned(part, plan, how)
    return Stats(_passes.checked(_passes.moments, plan, d, d.a, d.w, False, exact=exact), rows=len(d.frame),
                 dropped=d.dropped)


def block_sums(part: pd.DataFrame, plan: Plan, how: Demeaning, p: _passes.Pass) -> _passes.Sums:
    return _passes.sums_of(plan, demeaned(part, plan, how, p.complete), p)


def factor_name(columns: tuple[str, ...]) -> str:
    return _formula.factor_name(columns)
