"""Absorbed fixed effects on partitioned rows, solved in the space of the levels: the rows
are read a fixed number of times, never once per iteration.

- Factors whose keys are integers, no singleton dropped: one pass gives, keyed by the keys
  themselves, per factor each key's weight and the weighted sums of every column of the block
  [X y] (about each partition's first row, moved onto the first partition's when merged), per
  pair of factors the pairs of keys the rows hold with their weight, and per column its weight,
  mean, spread and square sums. Runs of partitions are folded in turn into dense tables of the
  keys' range where the keys fill it (else merged as rising keys); the runs merge pairwise.
- Other keys, or drop_singletons: a levels pass first (per factor the keys seen and their row
  counts; with drop_singletons made again until no level is left with one row), then the same
  statistics by the levels' codes.
- On the client, the effects' normal equations D'WD alpha = D'W v, every column v at once,
  solved natively by conjugate gradients on the sparse level system (absorb_levels.hpp).
- The Gram of the demeaned columns z = v - D alpha follows from that one pass: the columns'
  own moments (their centred Gram, merged as any moments) less alpha'D'W v and its transpose,
  plus alpha'D'WD alpha, exact for the alpha solved (however far from the solution) and so the
  Gram of the rows that pass two would demean. Its digits cancel as far as the effects explain
  the columns: taken where that loses less than a factor LOSS of a Gram's own accuracy, else
- the demeaned rows v_i - sum_f alpha_f[level_f(i)] are formed partition by partition
  (natively, level_tables.hpp) for the pipeline's moments pass; and always for its pass over
  the residuals.

A worker holds a partition, the levels' state (the keys, and the effects of every column:
levels x columns float64) and the partial statistics of the runs it folds (one per run of RUN
partitions): per factor a row per key seen and per pair of factors a row per pair seen, or as
dense tables at most 8 times those (beside 2^16 rows of keys and 2^20 cells of pairs), and the
native kernels' scratch of a partition, which a thread keeps for its next one (level_tables.cpp)."""

from __future__ import annotations

import functools
import threading
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import pandas as pd

from ordinata_frames import _absorb, _formula, _native, _passes
from ordinata_frames._passes import Design, Stats
from ordinata_frames._plan import Plan

METHOD = "conjugate gradients on the levels' system, diagonal preconditioner"
# Two factors, one of at most 512 levels: the iterations go on from the exact solve of its Schur complement.
METHOD_STARTED = METHOD + ", from the smaller factor's exact solve"


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


class IntegerCoder:
    """The rows' integer keys to their positions among rising keys (-1: not among them): looked up
    in a table where the keys span not much more than their number, else found by bisection."""

    def __init__(self, keys: np.ndarray):
        self.keys = keys
        self.low = int(keys[0]) if len(keys) else 0
        span = int(keys[-1]) - self.low + 1 if len(keys) else 0
        self.table: np.ndarray | None = None
        self.filled = span == len(keys)     # the keys fill their range: a key's position is its offset
        if not self.filled and 0 < span <= 4 * len(keys) + (1 << 16) and max(abs(self.low), abs(int(keys[-1]))) < 1 << 62:
            self.table = np.full(span, -1, dtype=np.int64)
            self.table[keys - self.low] = np.arange(len(keys))

    def __call__(self, rows: np.ndarray) -> np.ndarray:
        rows = rows.astype(np.int64, copy=False)
        if len(self.keys) == 0:
            return np.full(len(rows), -1, dtype=np.int64)
        if self.filled and len(rows) and self.low <= rows.min() and rows.max() <= int(self.keys[-1]):
            codes = (rows - self.low if self.low else rows).view()
            codes.flags.writeable = False       # it may be the caller's column itself
            return codes
        if self.table is not None:
            shifted = rows - self.low
            inside = (shifted >= 0) & (shifted < len(self.table))
            if inside.all():
                found: np.ndarray = self.table[shifted]
                return found
            return np.where(inside, self.table[np.where(inside, shifted, 0)], -1)
        at = np.minimum(np.searchsorted(self.keys, rows), len(self.keys) - 1)
        return np.where(self.keys[at] == rows, at, -1)


@dataclass(frozen=True)
class LevelState:
    """What a partition needs to code its rows: the keys first seen, the levels dropped
    (singletons, again and again) and the code of each level kept (-1: dropped)."""

    factors: tuple[tuple[str, ...], ...]
    keys: tuple[pd.Index, ...]
    dropped: tuple[np.ndarray, ...]
    codes: tuple[np.ndarray, ...] = ()

    @functools.cached_property
    def _coders(self) -> tuple[IntegerCoder | None, ...]:
        return tuple(IntegerCoder(k.to_numpy(dtype=np.int64)) if len(f) == 1 and _absorb.integer_keys(k.dtype)
                     and k.is_monotonic_increasing else None for f, k in zip(self.factors, self.keys))

    @functools.cached_property
    def _any_dropped(self) -> tuple[bool, ...]:
        return tuple(bool(d.any()) for d in self.dropped)

    def coded(self, frame: pd.DataFrame) -> tuple[list[np.ndarray], np.ndarray]:
        """Each factor's codes of the rows (among the keys seen) and the rows kept."""
        raw = [coder(frame[f[0]].to_numpy()) if coder is not None and _absorb.integer_keys(frame[f[0]].dtype)
               else k.get_indexer(_key(frame, f)).astype(np.int64)
               for f, k, coder in zip(self.factors, self.keys, self._coders)]
        keep = np.ones(len(frame), dtype=bool)
        for code, dropped, any_dropped in zip(raw, self.dropped, self._any_dropped):
            if any_dropped or (len(code) and code.min() < 0):
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
    own: _passes.Moments | None = None      # the columns' own moments (their centred Gram's R)
    # per pair of factors the codes of the pairs its crosstab holds, once asked for (_structure)
    structures: dict[tuple[int, int], tuple[np.ndarray, ...]] = field(default_factory=dict, repr=False,
                                                                       compare=False)


def _pair_sums(codes_f: np.ndarray, codes_g: np.ndarray, weights: np.ndarray | None, levels_f: int,
               levels_g: int) -> tuple[np.ndarray, np.ndarray]:
    """The crosstab of two factors' codes: the distinct pairs f * levels_g + g (rising) the rows hold
    and the weight summed on each in the rows' order (weights None: a row weighs one)."""
    n = len(codes_f)
    keys, sums = np.empty(n, dtype=np.int64), np.empty(n)
    count = _native.pair_sums(np.ascontiguousarray(codes_f, dtype=np.int64),
                              np.ascontiguousarray(codes_g, dtype=np.int64),
                              None if weights is None else np.ascontiguousarray(weights, dtype=np.float64),
                              int(levels_f), int(levels_g), keys, sums)
    return keys[:count], sums[:count]


def _level_sums(codes: np.ndarray, levels: int, weights: np.ndarray | None, columns: list[np.ndarray],
                pivot: np.ndarray) -> np.ndarray:
    """Per level (rows) its weight and the weighted sums of the columns about the pivot."""
    table = np.zeros((levels, 1 + len(columns)))
    if len(codes):
        _native.level_sums(table, np.ascontiguousarray(codes, dtype=np.int64),
                           None if weights is None else np.ascontiguousarray(weights), columns, pivot)
    return table


def _column_stats(out: LevelStats | KeyedStats, a: list[np.ndarray], weights: np.ndarray | None) -> None:
    """The columns' own moments; from them per column its weight, mean, centred square sum and raw
    square sum (the centred one and the mean's share, both non-negative); its bounds."""
    if not len(a[0]):
        out.columns = [(0.0, 0.0, 0.0)] * len(a)
        out.high, out.low, out.raw_sq = np.full(len(a), -np.inf), np.full(len(a), np.inf), np.zeros(len(a))
        return
    own = out.own = _passes.moments(a, weights, True)
    centred = np.einsum("ij,ij->j", own.r, own.r)
    means = own.pivot + own.mean
    out.columns = [(own.weight, float(m), float(c)) for m, c in zip(means, centred)]
    out.high = np.array([col.max() for col in a])
    out.low = np.array([col.min() for col in a])
    out.raw_sq = centred + own.weight * means * means


def block_stats(part: pd.DataFrame, plan: Plan, state: LevelState, clusters: tuple[str, ...]) -> LevelStats:
    d = _checked_design(part, plan)
    raw, keep = state.coded(d.frame)
    codes = [c[code[keep]] for c, code in zip(state.codes, raw)]
    levels = tuple(int(c.max()) + 1 if len(c) else 0 for c in state.codes)
    a = [col[keep] for col in d.a]
    n = int(keep.sum())
    w = None if d.w is None else d.w[keep]
    out = LevelStats(levels, rows=n, dropped=d.dropped, singletons=len(keep) - n)
    out.pivot = np.array([col[0] if n else 0.0 for col in a])
    tables = [_level_sums(code, size, w, a, out.pivot) for code, size in zip(codes, levels)]
    out.weights = [t[:, 0].copy() for t in tables]
    out.sums = np.vstack([t[:, 1:] for t in tables]) if tables else np.zeros((0, len(a)))
    for f in range(len(codes)):
        for g in range(f + 1, len(codes)):
            out.crosstabs[(f, g)] = _pair_sums(codes[f], codes[g], w, levels[f], levels[g])
    _column_stats(out, a, w)
    frame = d.frame.loc[keep]
    out.nesting = [pd.DataFrame({"level": code, "cluster": frame[c].to_numpy()}).drop_duplicates()
                   for code in codes for c in clusters]
    return out


def _merged(keys_a: np.ndarray, values_a: np.ndarray, keys_b: np.ndarray, values_b: np.ndarray
            ) -> tuple[np.ndarray, np.ndarray]:
    """Two keyed lists (rising keys, a key a value or a row of int64) joined in one linear merge, the
    values (a value or a row of them per key) of a key in both summed."""
    keys, values = _native.merge_pairs(np.ascontiguousarray(keys_a, dtype=np.int64), np.ascontiguousarray(values_a),
                                       np.ascontiguousarray(keys_b, dtype=np.int64), np.ascontiguousarray(values_b))
    key_shape = (-1, np.shape(keys_a)[1]) if np.ndim(keys_a) == 2 else (-1,)
    value_shape = (-1, np.shape(values_a)[1]) if np.ndim(values_a) == 2 else (-1,)
    return np.frombuffer(keys, dtype=np.int64).reshape(key_shape), np.frombuffer(values).reshape(value_shape)


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
                      np.maximum(a.high, b.high), np.minimum(a.low, b.low), a.raw_sq + b.raw_sq, nesting,
                      _passes.merge_moments(a.own, b.own))


# ---------------------------------------------------------------------------
# Integer keys without singletons dropped: the levels and their statistics in one pass, keyed by
# the keys themselves (no earlier pass to learn them), merged by the keys.

def one_pass(meta: pd.DataFrame, factors: Sequence[tuple[str, ...]], drop_singletons: bool) -> bool:
    return not drop_singletons and all(len(f) == 1 and _absorb.integer_keys(meta[f[0]].dtype) for f in factors)


# Counts and codes sent between processes in the narrowest unsigned type that holds them exactly (a
# partition's statistics cross to another worker to be merged: most of their bytes are the pairs'
# codes and counts); restored to int64 and float64 when received.
_NARROW = (np.uint8, np.uint16, np.uint32)


def _narrowed(a: np.ndarray) -> np.ndarray:
    """a in the narrowest unsigned type that holds each entry exactly, else a itself (weights are
    positive: no sum of them is a negative zero, which would come back as zero)."""
    if a.size == 0 or a.dtype not in (np.int64, np.float64):
        return a
    low, high = a.min(), a.max()
    if not low >= 0:
        return a
    for dtype in _NARROW:
        if high <= np.iinfo(dtype).max:
            narrow = a.astype(dtype)
            return narrow if a.dtype == np.int64 or np.array_equal(narrow, a) else a
    return a


def _widened(a: np.ndarray, dtype: type) -> np.ndarray:
    return a if a.dtype == dtype else a.astype(dtype)


@dataclass
class KeyedStats:
    """The statistics pass keyed by the keys: per factor its keys seen (rising) with, per key, the
    weight and the weighted sums of every column about the pivot; per pair of factors the pairs of
    keys the rows hold (rising) with their weight; per (factor, cluster) the pairs of keys and clusters.
    Merged, they may be dense: per factor a table of a range of keys, per pair of factors a table of
    their ranges' pairs (a key or pair not seen: weight 0)."""

    rows: int = 0
    dropped: int = 0
    pivot: np.ndarray = field(default_factory=lambda: np.zeros(0))
    keys: list[np.ndarray] = field(default_factory=list)                 # per factor, (levels,)
    values: list[np.ndarray] = field(default_factory=list)               # per factor, (levels, 1 + columns)
    pairs: dict[tuple[int, int], tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)  # (n, 2), (n,)
    columns: list[tuple[float, float, float]] = field(default_factory=list)
    high: np.ndarray = field(default_factory=lambda: np.zeros(0))
    low: np.ndarray = field(default_factory=lambda: np.zeros(0))
    raw_sq: np.ndarray = field(default_factory=lambda: np.zeros(0))
    nesting: list[pd.DataFrame] = field(default_factory=list)
    lows: list[int] | None = None   # dense: per factor the key of the first row of its table (keys unused)
    own: _passes.Moments | None = None
    # sparse pairs as codes f * len(keys[g]) + g among these statistics' own keys (a partition's: the
    # smallest to send), not as pairs of keys
    coded: bool = False

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["keys"] = [_narrowed(k) for k in self.keys]
        state["pairs"] = {pair: (_narrowed(codes), _narrowed(weights)) for pair, (codes, weights) in self.pairs.items()}
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        state["keys"] = [_widened(k, np.int64) for k in state["keys"]]
        state["pairs"] = {pair: (_widened(codes, np.int64), _widened(weights, np.float64))
                          for pair, (codes, weights) in state["pairs"].items()}
        self.__dict__.update(state)


def block_keyed_stats(part: pd.DataFrame, plan: Plan, factors: tuple[tuple[str, ...], ...],
                      clusters: tuple[str, ...]) -> KeyedStats:
    d = _checked_design(part, plan)
    n = len(d.frame)
    out = KeyedStats(rows=n, dropped=d.dropped, coded=True, pivot=np.array([col[0] if n else 0.0 for col in d.a]))
    coded = [_absorb.integer_codes(d.frame[f[0]].to_numpy()) for f in factors]
    for keys, codes in coded:
        values = _level_sums(codes, len(keys), d.w, d.a, out.pivot)
        out.keys.append(keys)
        out.values.append(values)
    for f, (keys_f, codes_f) in enumerate(coded):
        for g in range(f + 1, len(coded)):
            keys_g, codes_g = coded[g]
            out.pairs[(f, g)] = _pair_sums(codes_f, codes_g, d.w, len(keys_f), len(keys_g))
    _column_stats(out, d.a, d.w)
    out.nesting = [pd.DataFrame({"level": d.frame[f[0]].to_numpy(dtype=np.int64), "cluster": d.frame[c].to_numpy()}
                                ).drop_duplicates() for f in factors for c in clusters]
    return out


# The partitions merged in turn into one accumulator before the accumulators merge pairwise: a dense
# table takes a partition in the time of its own keys, where a pairwise merge reads both sides.
RUN = 16

# A dense table of the levels (or of a crosstab's pairs) may be this much larger than the keys (pairs)
# it holds, beside a fixed allowance; beyond, the merges stay sparse.
DENSE_SPREAD = 8


def _ranges(s: KeyedStats) -> list[tuple[int, int]]:
    """Per factor its least and greatest key (of a dense table: the range it covers)."""
    if s.lows is not None:
        return [(low, low + len(v) - 1) for low, v in zip(s.lows, s.values)]
    return [(int(k[0]), int(k[-1])) for k in s.keys]


def _counts(s: KeyedStats) -> tuple[list[int], dict[tuple[int, int], int]]:
    """The keys per factor and the pairs per crosstab that s holds."""
    if s.lows is None:
        return [len(k) for k in s.keys], {p: len(w) for p, (_, w) in s.pairs.items()}
    return ([int(np.count_nonzero(v[:, 0])) for v in s.values],
            {p: int(np.count_nonzero(t)) for p, (_, t) in s.pairs.items()})


def _key_pairs(s: KeyedStats) -> KeyedStats:
    """Sparse s with its pairs as pairs of keys (n, 2), rising."""
    if not s.coded:
        return s
    pairs = {}
    for (f, g), (codes, weights) in s.pairs.items():
        of_f, of_g = np.divmod(codes, len(s.keys[g]))
        pairs[(f, g)] = (np.column_stack([s.keys[f][of_f], s.keys[g][of_g]]), weights)
    return replace(s, pairs=pairs, coded=False)


def _sparse(s: KeyedStats) -> KeyedStats:
    """s as rising keys with pairs of keys (a dense table's levels and pairs of nonzero weight: every
    one seen, the weights being positive)."""
    if s.lows is None:
        return _key_pairs(s)
    keys, values = [], []
    for low, v in zip(s.lows, s.values):
        present = np.flatnonzero(v[:, 0])
        keys.append(present + low)
        values.append(v[present])
    pairs = {}
    for (f, g), (_, table) in s.pairs.items():
        flat = np.flatnonzero(table)                   # row by row: the pairs rise
        a, b = np.divmod(flat, table.shape[1])
        pairs[(f, g)] = (np.column_stack([a + s.lows[f], b + s.lows[g]]), table.ravel()[flat])
    return replace(s, lows=None, keys=keys, values=values, pairs=pairs)


def _add_into(table: KeyedStats, s: KeyedStats, shift: np.ndarray) -> None:
    """Sparse s's weights and sums, moved by their weight times shift, added into the dense tables of
    `table` (which cover its keys)."""
    assert table.lows is not None and s.lows is None
    for low, into, keys, values in zip(table.lows, table.values, s.keys, s.values):
        _native.add_rows_into(into, low, np.ascontiguousarray(keys), np.ascontiguousarray(values), shift)
    for (f, g), (pairs, weights) in s.pairs.items():
        if s.coded:
            _native.add_coded_pairs_into(table.pairs[(f, g)][1], table.lows[f], table.lows[g],
                                         np.ascontiguousarray(pairs), np.ascontiguousarray(weights),
                                         np.ascontiguousarray(s.keys[f]), np.ascontiguousarray(s.keys[g]))
        else:
            _native.add_pairs_into(table.pairs[(f, g)][1], table.lows[f], table.lows[g], np.ascontiguousarray(pairs),
                                   np.ascontiguousarray(weights))


def _add_table_into(table: KeyedStats, s: KeyedStats, shift: np.ndarray) -> None:
    """Dense s's tables, its sums moved by their weight times shift, added into those of `table`
    (whose ranges cover s's)."""
    assert table.lows is not None and s.lows is not None
    at = [low - base for low, base in zip(s.lows, table.lows)]
    for start, into, values in zip(at, table.values, s.values):
        rows = into[start: start + len(values)]
        rows[:, 0] += values[:, 0]
        rows[:, 1:] += values[:, 1:] + np.outer(values[:, 0], shift)
    for (f, g), (_, weights) in s.pairs.items():
        table.pairs[(f, g)][1][at[f]: at[f] + weights.shape[0], at[g]: at[g] + weights.shape[1]] += weights


def _dense(s: KeyedStats, lows: list[int], spans: list[int]) -> KeyedStats:
    """s as dense tables over the ranges given: s itself where its tables are those, to be added into."""
    if s.lows == lows and [len(v) for v in s.values] == spans:
        return s
    columns = s.values[0].shape[1]
    out = replace(s, lows=lows, coded=False, keys=[np.zeros(0, dtype=np.int64) for _ in spans],
                  values=[np.zeros((span, columns)) for span in spans],
                  pairs={(f, g): (np.zeros((0, 2), dtype=np.int64), np.zeros((spans[f], spans[g])))
                         for f, g in s.pairs})
    _add_into(out, s if s.lows is None else _sparse(s), np.zeros(columns - 1))
    return out


def _moved(s: KeyedStats, pivot: np.ndarray) -> KeyedStats:
    """Sparse s's sums about another pivot: sum w (v - p) = sum w (v - p_s) + W (p_s - p)."""
    shift = s.pivot - pivot
    values = [np.column_stack([v[:, :1], v[:, 1:] + np.outer(v[:, 0], shift)]) for v in s.values]
    return replace(s, pivot=pivot, values=values)


def merge_keyed_stats(a: KeyedStats, b: KeyedStats) -> KeyedStats:
    """a and b's statistics summed: added into dense tables where the keys of both span not much
    more than they hold (a's own tables taken and updated where they cover b's keys: nothing
    else reads a), else merged as rising keys."""
    if a.rows == 0 or b.rows == 0:
        kept = b if a.rows == 0 else a
        return replace(kept, dropped=a.dropped + b.dropped)
    ranges = [(min(x[0], y[0]), max(x[1], y[1])) for x, y in zip(_ranges(a), _ranges(b))]
    spans = [high - low + 1 for low, high in ranges]
    if a.lows is not None and ranges == _ranges(a):
        dense = True                    # a's tables cover b's keys: added into in place
    else:
        (levels_a, pairs_a), (levels_b, pairs_b) = _counts(a), _counts(b)
        dense = (all(span <= DENSE_SPREAD * max(x, y) + (1 << 16) for span, x, y in zip(spans, levels_a, levels_b))
                 and all(spans[f] * spans[g] <= DENSE_SPREAD * max(pairs_a[(f, g)], pairs_b[(f, g)]) + (1 << 20)
                         for f, g in a.pairs))
    if dense:
        merged = _dense(a, [low for low, _ in ranges], spans)
        (_add_into if b.lows is None else _add_table_into)(merged, b, b.pivot - a.pivot)
    else:
        a, b = _sparse(a), _moved(_sparse(b), a.pivot)
        keys, values = [], []
        for keys_a, values_a, keys_b, values_b in zip(a.keys, a.values, b.keys, b.values):
            k, v = _merged(keys_a, values_a, keys_b, values_b)
            keys.append(k)
            values.append(v)
        merged = replace(a, keys=keys, values=values,
                         pairs={pair: _merged(*a.pairs[pair], *b.pairs[pair]) for pair in a.pairs})
    nesting = [pd.concat([x, y]).drop_duplicates() for x, y in zip(a.nesting, b.nesting)]
    return replace(merged, rows=a.rows + b.rows, dropped=a.dropped + b.dropped,
                   columns=[_passes._merge_target(x, y) for x, y in zip(a.columns, b.columns)],
                   high=np.maximum(a.high, b.high), low=np.minimum(a.low, b.low), raw_sq=a.raw_sq + b.raw_sq,
                   nesting=nesting, own=_passes.merge_moments(a.own, b.own))


def _coded_crosstabs(keyed: KeyedStats) -> dict[tuple[int, int], tuple[np.ndarray, np.ndarray]]:
    """The crosstabs' pairs as codes f * levels_g + g (rising) with their weights: read off a dense
    table's cells through each factor's codes of its range, else found among the rising keys."""
    if keyed.coded:
        return {pair: (codes, weight) for pair, (codes, weight) in keyed.pairs.items()}
    if keyed.lows is None:
        return {(f, g): ((np.searchsorted(keyed.keys[f], pairs[:, 0]) * len(keyed.keys[g])
                          + np.searchsorted(keyed.keys[g], pairs[:, 1])).astype(np.int64), weight)
                for (f, g), (pairs, weight) in keyed.pairs.items()}
    seen = [v[:, 0] != 0 for v in keyed.values]
    code_of = [np.where(p, np.cumsum(p) - 1, -1) for p in seen]
    levels = [int(p.sum()) for p in seen]
    crosstabs = {}
    for (f, g), (_, table) in keyed.pairs.items():
        size = np.count_nonzero(table)
        codes, weights = np.empty(size, dtype=np.int64), np.empty(size)
        _native.dense_pair_codes(table, code_of[f], code_of[g], levels[g], codes, weights)   # row by row: rising
        crosstabs[(f, g)] = (codes, weights)
    return crosstabs


def coded_stats(keyed: KeyedStats, factors: tuple[tuple[str, ...], ...], dtypes: Sequence[np.dtype[Any]]
                ) -> tuple[LevelStats, LevelState, list[pd.Index]]:
    """The merged statistics of the keys as the levels' (codes: positions among the rising keys),
    the state that codes a partition's rows, and each factor's keys."""
    crosstabs = _coded_crosstabs(keyed)
    keyed = _sparse(replace(keyed, pairs={}))       # the levels as rising keys; the pairs are coded
    levels = tuple(len(k) for k in keyed.keys)
    clusters = len(keyed.nesting) // max(len(factors), 1)
    nesting = [p.assign(level=np.searchsorted(keyed.keys[i // clusters], p["level"].to_numpy()))
               for i, p in enumerate(keyed.nesting)]
    stats = LevelStats(levels, keyed.rows, keyed.dropped, 0, keyed.pivot, [v[:, 0].copy() for v in keyed.values],
                       np.vstack([v[:, 1:] for v in keyed.values]), crosstabs, keyed.columns, keyed.high,
                       keyed.low, keyed.raw_sq, nesting, keyed.own)
    keys = [pd.Index(k.astype(dtype)) for k, dtype in zip(keyed.keys, dtypes)]
    state = LevelState(factors, tuple(keys), tuple(np.zeros(n, dtype=bool) for n in levels),
                       tuple(np.arange(n, dtype=np.int64) for n in levels))
    return stats, state, keys


# ---------------------------------------------------------------------------
# The level system and its solve.

def _structure(stats: LevelStats, f: int, g: int) -> tuple[np.ndarray, np.ndarray]:
    """The pairs of codes of factors f < g that the rows hold (taken once, kept with the statistics)."""
    if (f, g) not in stats.structures:
        keys, _ = stats.crosstabs[(f, g)]
        stats.structures[(f, g)] = tuple(np.divmod(keys, stats.levels[g]))
    codes_f, codes_g = stats.structures[(f, g)]
    return codes_f, codes_g


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
    a, b, w = [], [], []
    for (f, g), (_, weights) in stats.crosstabs.items():
        codes_f, codes_g = _structure(stats, f, g)
        a.append(codes_f + offsets[f] if offsets[f] else codes_f)
        b.append(codes_g + offsets[g])
        w.append(weights)
    return _joined(a, np.int64), _joined(b, np.int64), _joined(w, np.float64)


def _joined(parts: list[np.ndarray], dtype: type) -> np.ndarray:
    """The parts end to end (one part: itself, not copied)."""
    whole = parts[0] if len(parts) == 1 else np.concatenate([np.zeros(0, dtype=dtype), *parts])
    return np.ascontiguousarray(whole, dtype=dtype)


@dataclass(frozen=True)
class Solved:
    effects: np.ndarray         # (columns, all levels), of the columns less their means
    means: np.ndarray           # per column its weighted mean
    info: _absorb.SolverInfo
    gram_change: np.ndarray     # alpha'D'WD alpha - alpha'D'W u - u'WD alpha, u the centred columns


def solve(stats: LevelStats, names: Sequence[str], *, tol: float, max_iterations: int) -> Solved:
    """The effects of every column less its weighted mean, the means, and what the demeaning takes
    off the centred columns' Gram; ValueError naming the factors where the iterations do not
    converge. As the row solver, the columns are centred first: each factor's block of D'W 1 is its
    levels' weights, so the centred sums are the pivot's less the mean's offset from the pivot
    times the level weights."""
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
    form = np.zeros((len(rhs), len(rhs)))
    converged, iterations, change, started = _native.absorb_levels(
        rhs, effects, level_weights, pair_a, pair_b, pair_w, bounds, np.ascontiguousarray(spreads), first, second,
        float(tol), int(max_iterations), form)
    if not converged:
        raise ValueError(f"the fixed effects {' + '.join(names)} did not converge in {max_iterations} iterations "
                         f"(relative change {change:.2e} against a tolerance of {tol:g}): raise max_iterations "
                         f"or tol")
    cross = effects @ rhs.T
    return Solved(effects, means, _absorb.SolverInfo(int(iterations), METHOD_STARTED if started else METHOD,
                                                     float(change)),
                  form - cross - cross.T)


# The Gram of the demeaned columns from the statistics is taken where no column's centred square sum
# exceeds its demeaned one by more than this factor (the digits the subtraction may cancel).
LOSS = 64.0


def demeaned_moments(stats: LevelStats, solved: Solved) -> _passes.Moments | None:
    """The moments of the demeaned columns (no intercept: their Gram's Cholesky factor), from the
    statistics; None where the subtraction would cancel more than LOSS allows, or the core would not
    trust the Gram's Cholesky factor: the rows are to be demeaned and read."""
    own = stats.own
    if own is None:
        return None
    # The centred Gram about the solve's means, which the columns' own moments hold about theirs.
    offset = own.pivot + own.mean - solved.means
    centred = own.r.T @ own.r + own.weight * np.outer(offset, offset)
    gram = centred + solved.gram_change
    gram = (gram + gram.T) / 2
    kept, total = np.diag(gram), np.diag(centred)
    if not (np.all(kept > 0.0) and np.all(total <= LOSS * kept)):
        return None
    native = _native.moments_from_gram(own.n, own.weight, np.ascontiguousarray(gram))
    return None if native is None else _passes.Moments(native)


# ---------------------------------------------------------------------------
# The passes over the demeaned rows.

@dataclass(frozen=True)
class Demeaning:
    state: LevelState
    offsets: np.ndarray
    centre: np.ndarray          # per column, its weighted mean
    effects: np.ndarray         # (columns, all levels), of the columns less their means

    @functools.cached_property
    def by_level(self) -> np.ndarray:
        """The effects a level to a row (all levels, columns): a row's level read once for every column."""
        return np.ascontiguousarray(self.effects.T)

    @functools.cached_property
    def maps(self) -> list[np.ndarray | None]:
        """Per factor the code of each key seen (None: the keys' own positions, none dropped)."""
        return [None if np.array_equal(c, np.arange(len(c))) else np.ascontiguousarray(c, dtype=np.int64)
                for c in self.state.codes]


_thread_kept = threading.local()
KEPT_ROWS = 1 << 23     # float64 cells of demeaned rows a thread keeps for its next partition (64 MiB)


def _rows_buffer(columns: int, rows: int) -> np.ndarray:
    """A (columns, rows) array for a partition's demeaned rows, which live only for its pass: the
    thread's own kept one where small enough (a worker returning freed memory would map and fault
    in a fresh one page by page for every partition)."""
    cells = columns * rows
    if cells > KEPT_ROWS:
        return np.empty((columns, rows))
    buffer = getattr(_thread_kept, "rows", None)
    if buffer is None or len(buffer) < cells:
        buffer = _thread_kept.rows = np.empty(cells)
    return buffer[:cells].reshape(columns, rows)


def demeaned(part: pd.DataFrame, plan: Plan, how: Demeaning, complete: bool = False) -> Design:
    """The partition's rows kept, each column less its mean and its levels' effects."""
    return _demeaned(part, plan, how, complete, None)[0]


def _demeaned(part: pd.DataFrame, plan: Plan, how: Demeaning, complete: bool, residuals: Residuals | None
              ) -> tuple[Design, bool]:
    """demeaned, or with `residuals` where every row is kept, the one column of the fit's residuals
    (and True): the native pass either way."""
    d = _passes.design(part, plan, direct_complete=complete)
    raw, keep = how.state.coded(d.frame)
    every = bool(keep.all())
    if every and len(keep):
        combined = residuals is not None
        out = _rows_buffer(1 if combined else len(d.a), len(keep))
        centre, effects, combine = ((residuals.centre, residuals.effects, residuals.combine) if residuals is not None
                                    else (np.ascontiguousarray(how.centre), how.by_level, None))
        _native.demean_rows(out, d.a, centre, effects, [np.ascontiguousarray(r, dtype=np.int64) for r in raw],
                            how.maps, np.ascontiguousarray(how.offsets[:-1], dtype=np.int64), combine)
        return Design(a=list(out), w=d.w, frame=d.frame, dropped=d.dropped, rows=d.rows), combined
    positions = [how.offsets[f] + c[code if every else code[keep]] for f, (c, code) in
                 enumerate(zip(how.state.codes, raw))]
    a = []
    for j, col in enumerate(d.a):
        out = (col if every else col[keep]) - how.centre[j]
        for p in positions:
            out -= how.effects[j, p]
        a.append(out)
    if every:
        return Design(a=a, w=d.w, frame=d.frame, dropped=d.dropped, rows=d.rows), False
    frame = d.frame.loc[keep].reset_index(drop=True)
    return (Design(a=a, w=None if d.w is None else d.w[keep], frame=frame, dropped=d.dropped, rows=d.rows[keep]),
            False)


def block_moments(part: pd.DataFrame, plan: Plan, how: Demeaning, exact: bool) -> Stats:
    d = demeaned(part, plan, how)
    return Stats(_passes.checked(_passes.moments, plan, d, d.a, d.w, False, exact=exact), rows=len(d.frame),
                 dropped=d.dropped)


def block_sums(part: pd.DataFrame, plan: Plan, how: Demeaning, p: _passes.Pass) -> _passes.Sums:
    return _passes.sums_of(plan, demeaned(part, plan, how, p.complete), p)


@dataclass(frozen=True)
class Residuals:
    """What a partition needs to form a fit's residuals sum_j r_j (v_j - centre_j) - sum_f E[level_f]
    from its rows in one native pass, E = sum_j r_j effects_j being the effects of the residual: one
    gather a factor and a row, no column demeaned on its own."""

    combine: np.ndarray     # per column, its residual weight r_j
    centre: np.ndarray
    effects: np.ndarray     # (all levels, 1)

    @staticmethod
    def of(how: Demeaning, weights: np.ndarray) -> Residuals:
        combine = np.ascontiguousarray(weights, dtype=np.float64)
        return Residuals(combine, np.ascontiguousarray(how.centre), np.ascontiguousarray((combine @ how.effects)[:, None]))


def residuals_only(p: _passes.Pass) -> bool:
    """Whether a pass asks of the rows their residuals' sums alone (no scores, clusters or groups)."""
    return (p.residual_sums and p.leverage_power < 0 and not p.clusters and not p.first_stage and not p.score_gram
            and not p.cluster_grams and p.entity is None)


def block_residual_sums(part: pd.DataFrame, plan: Plan, how: Demeaning, residuals: Residuals,
                        p: _passes.Pass) -> _passes.Sums:
    """block_sums of a pass that asks for the residuals alone: formed directly where every row is kept."""
    d, combined = _demeaned(part, plan, how, p.complete, residuals)
    if combined:
        one = np.zeros(1)
        p = replace(p, pivot=one, mean=one, residual_weights=np.ones(1), scores=np.zeros((0, 1)))
    return _passes.sums_of(plan, d, p)


def factor_name(columns: tuple[str, ...]) -> str:
    return _formula.factor_name(columns)
