"""The passes over the rows of a block (a dask partition, or a slice of an
in-memory table): its design, its native moments, the sums of the pass over
the residuals, the entity means of a fixed-effects fit; the typed records of
each and their pairwise merges, which keep the rows' order."""

from __future__ import annotations

import functools
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
from formulaic.errors import DataMismatchWarning  # type: ignore[import-untyped]

from ordinata_frames import _native
from ordinata_frames._plan import Plan, as_in_memory


@dataclass
class Design:
    a: list[np.ndarray]           # the columns of [X y] (IV: [W Z E y]), the intercept left out
    w: np.ndarray | None
    frame: pd.DataFrame           # the complete rows, for clusters and the entity
    dropped: int
    rows: np.ndarray              # the positions of the rows kept in the block


def design(part: pd.DataFrame, plan: Plan, direct_complete: bool = False) -> Design:
    """The block's complete rows as float64 columns, views of the block's own where they can be.
    `direct_complete`: the columns a direct plan reads as they are hold no missing value (the
    native pass, which refuses one, is to find out), so only the other columns are scanned."""
    frame = part.loc[:, list(plan.columns)]
    scanned = frame
    if direct_complete and plan.direct is not None:
        direct = set(plan.direct)
        scanned = frame.loc[:, [c for c in plan.columns if c not in direct]]
    missing = _missing(scanned)
    dropped = 0 if missing is None else int(missing.sum())
    if dropped:
        assert missing is not None
        rows = np.flatnonzero(~missing)
        frame = frame.loc[~missing].reset_index(drop=True)
    else:
        rows = _every_row(len(frame))
        frame = frame.reset_index(drop=True)
    if plan.direct is not None:
        a = [frame[name].to_numpy(dtype=np.float64) for name in plan.direct]
        return Design(a=a, w=_weights(frame, plan), frame=frame, dropped=dropped, rows=rows)
    frame = as_in_memory(frame)
    pieces = [_materialise(plan.main, frame)]
    pieces += [_materialise(spec, frame) for spec in plan.extras]
    lhs, rhs = pieces[0]
    index = lhs.index.intersection(rhs.index)
    for m in pieces[1:]:
        index = index.intersection(m.index)
    if len(index) < len(frame):
        dropped += len(frame) - len(index)
        lhs, rhs = lhs.loc[index], rhs.loc[index]
        pieces = [(lhs, rhs)] + [m.loc[index] for m in pieces[1:]]
        frame = frame.loc[index].reset_index(drop=True)
        rows = rows[index.to_numpy()]
    blocks = [rhs.iloc[:, 1:] if plan.intercept or plan.drop_leading else rhs]
    if plan.instrumental:
        endog, instr = pieces[1], pieces[2]
        blocks = [blocks[0], instr, endog]
    blocks.append(lhs)
    a = [block.iloc[:, col].to_numpy(dtype=np.float64) for block in blocks for col in range(block.shape[1])]
    return Design(a=a, w=_weights(frame, plan), frame=frame, dropped=dropped, rows=rows)


def _missing(frame: pd.DataFrame) -> np.ndarray | None:
    """Per row whether a column misses its value; None where no column can (integers, booleans)."""
    missing = None
    for i in range(frame.shape[1]):
        column = frame.iloc[:, i]
        dtype = column.dtype
        if isinstance(dtype, np.dtype) and dtype.kind in "iub":
            continue
        if isinstance(dtype, np.dtype) and dtype.kind == "f":
            values = column.to_numpy()
            with np.errstate(all="ignore"):         # a sum past the largest float: the mask decides
                total = np.add.reduce(values)
            if np.isfinite(total):                  # no NaN (a sum of any is NaN): no mask to allocate
                continue
            found = np.isnan(values)
        else:
            found = column.isna().to_numpy(dtype=bool)
        missing = found if missing is None else missing | found
    return missing


@functools.lru_cache(maxsize=4)
def _every_row_cached(n: int) -> np.ndarray:
    rows = np.arange(n)
    rows.flags.writeable = False
    return rows


def _every_row(n: int) -> np.ndarray:
    """0, 1, ..., n - 1 (read-only): shared between blocks of one size where that is small."""
    return _every_row_cached(n) if n <= 1 << 21 else np.arange(n)


def _weights(frame: pd.DataFrame, plan: Plan) -> np.ndarray | None:
    if plan.weights is None:
        return None
    w = np.ascontiguousarray(frame[plan.weights].to_numpy(dtype=np.float64))
    if len(w) and not (np.all(w > 0) and np.all(np.isfinite(w))):
        raise ValueError("All weights must be positive and finite")
    return w


def _materialise(spec: Any, frame: pd.DataFrame) -> Any:
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        # A row whose transform is missing (and is dropped) may hold a level that no kept row
        # has, which formulaic then casts to a missing value, with warnings from it and pandas.
        warnings.simplefilter("ignore", DataMismatchWarning)
        warnings.simplefilter("ignore", getattr(pd.errors, "Pandas4Warning", DeprecationWarning))
        mm = spec.get_model_matrix(frame, na_action="drop")
    if hasattr(mm, "lhs"):
        return mm.lhs, mm.rhs
    return mm


@dataclass(frozen=True)
class Moments:
    """The native pass's mergeable moments of a set of rows: their count and weight, per
    column a pivot (a value of the column) and the mean's offset from it, the R factor of
    the centred (weighted) columns, and whether they were centred (an intercept)."""

    native: tuple[Any, ...]

    @property
    def n(self) -> int:
        return int(self.native[0])

    @property
    def weight(self) -> float:
        return float(self.native[1])

    @property
    def pivot(self) -> np.ndarray:
        return np.frombuffer(self.native[2])

    @property
    def mean(self) -> np.ndarray:
        return np.frombuffer(self.native[3])

    @property
    def r(self) -> np.ndarray:
        c = len(self.pivot)
        return np.frombuffer(self.native[4]).reshape(c, c)

    @property
    def intercept(self) -> bool:
        return bool(self.native[5])

    @property
    def exact(self) -> bool:
        """Every block's R from its rows' QR (not the Cholesky factor of its Gram matrix)."""
        return bool(self.native[6])

    def columns(self, cols: list[int]) -> Moments:
        """The moments of a leading block of columns and one more, the last's R column re-triangularised."""
        r = self.r
        z, target = cols[:-1], cols[-1]
        size = len(cols)
        sub = np.zeros((size, size))
        sub[: len(z), : len(z)] = r[: len(z), z]
        sub[: len(z), -1] = r[: len(z), target]
        sub[-1, -1] = np.linalg.norm(r[len(z):, target])
        return Moments((self.native[0], self.native[1], self.pivot[cols].tobytes(), self.mean[cols].tobytes(),
                        sub.tobytes(), self.native[5], self.native[6]))


def moments(a: list[np.ndarray], w: np.ndarray | None, intercept: bool, group: np.ndarray | None = None,
            table: np.ndarray | None = None, *, exact: bool = False) -> Moments:
    """The native moments pass: each block's R the Cholesky factor of its centred Gram matrix where
    the core trusts it, else its rows' QR; `exact` asks for the rows' QR everywhere, where the solve
    found the merged Gram route too poorly conditioned for the design."""
    return Moments(_native.moments(a, w, intercept, group, table, exact))


def merge_moments(a: Moments | None, b: Moments | None) -> Moments | None:
    return Moments(_native.merge_moments(a.native, b.native)) if a and b else (a or b)


@dataclass
class Stats:
    moments: Moments | None
    plain: Moments | None = None    # weighted fits: the unweighted moments, for the residual mean square
    rows: int = 0
    dropped: int = 0
    partitions: int = 1
    target: tuple[float, float, float] = (0.0, 0.0, 0.0)   # weight, mean and centred square sum of y


def target_stats(y: np.ndarray, w: np.ndarray | None) -> tuple[float, float, float]:
    if len(y) == 0:
        return (0.0, 0.0, 0.0)
    ww = np.ones_like(y) if w is None else w
    total = float(ww.sum())
    pivot = y[0]
    mean = pivot + float(ww @ (y - pivot)) / total
    d = y - mean
    return (total, mean, float(ww @ (d * d)))


def _merge_target(a: tuple[float, float, float], b: tuple[float, float, float]) -> tuple[float, float, float]:
    if a[0] == 0.0:
        return b
    if b[0] == 0.0:
        return a
    total = a[0] + b[0]
    delta = b[1] - a[1]
    return (total, a[1] + delta * b[0] / total, a[2] + b[2] + delta * delta * a[0] * b[0] / total)


class NotFinite(ValueError):
    """A partition's refusal of a value that is not finite, with the columns that hold one."""


def checked(fn: Callable[..., Any], plan: Plan, design: Design, *args: Any, **kwargs: Any) -> Any:
    try:
        return fn(*args, **kwargs)
    except ValueError as error:
        if "NaN or infinite" in str(error):
            bad = [name for name, col in zip(plan.column_names, design.a) if not np.isfinite(col).all()]
            raise NotFinite(str(error), ", ".join(bad)) from None
        raise


def block_moments(part: pd.DataFrame, plan: Plan, exact: bool = False) -> Stats:
    d = design(part, plan, direct_complete=plan.direct is not None)
    try:
        m = checked(moments, plan, d, d.a, d.w, plan.intercept, exact=exact)
    except NotFinite:
        if plan.direct is None:
            raise
        # A value the scan skipped is missing or infinite: the rows are read again, missing ones dropped.
        d = design(part, plan)
        m = checked(moments, plan, d, d.a, d.w, plan.intercept, exact=exact)
    plain = moments(d.a, None, plan.intercept, exact=exact) if d.w is not None else None
    # The target's own spread, for R-squared, only where the moments do not centre it.
    target = target_stats(d.a[-1], d.w) if not plan.intercept else (0.0, 0.0, 0.0)
    return Stats(m, plain, rows=len(d.frame), dropped=d.dropped, target=target)


def merge_stats(a: Stats, b: Stats) -> Stats:
    return Stats(merge_moments(a.moments, b.moments), merge_moments(a.plain, b.plain), a.rows + b.rows,
                 a.dropped + b.dropped, a.partitions + b.partitions, _merge_target(a.target, b.target))


def _in_turn(items: Sequence[Any], combine: Callable[[Any, Any], Any], run: int) -> list[Any]:
    """Each run of `run` neighbours merged in turn, one into the merge of those before it."""
    out = []
    for start in range(0, len(items), run):
        merged = items[start]
        for item in items[start + 1: start + run]:
            merged = combine(merged, item)
        out.append(merged)
    return out


# Runs folded in turn before the pairwise merges: the partitions finish roughly in order, so the
# last run then waits on one merge rather than a tree's depth of them (beyond this many runs a
# fold could fall behind runs that many workers finish at once).
FOLDED_RUNS = 8


def tree(items: Sequence[Any], combine: Callable[[Any, Any], Any], run: int = 1) -> Any:
    """Pairwise merges of neighbours, level by level: the order of the rows is kept, and
    so the same merges run in memory as on any partitioning of the same blocks. With
    run > 1, each run of that many neighbours is first merged in turn, one into the merge
    of those before it (for statistics that a merge adds into the first's own tables), and
    up to FOLDED_RUNS neighbouring runs' merges in turn again."""
    level = list(items)
    if run > 1:
        level = _in_turn(_in_turn(level, combine, run), combine, FOLDED_RUNS)
    while len(level) > 1:
        nxt = [combine(level[i], level[i + 1]) for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            nxt.append(level[-1])
        level = nxt
    return level[0]


@dataclass(frozen=True)
class Pass:
    """What the second pass needs of the fit, small enough to ship to every task."""

    pivot: np.ndarray
    mean: np.ndarray
    intercept: bool
    total_weight: float
    residual_weights: np.ndarray
    scores: np.ndarray
    leverage_power: int
    clusters: tuple[str, ...]
    residual_sums: bool
    score_gram: bool = False
    # IV: (residual weights, scores, score_gram) per endogenous
    first_stage: tuple[tuple[np.ndarray, np.ndarray, bool], ...] = ()
    entity: str | None = None
    entity_keys: pd.Index | None = None
    entity_means: np.ndarray | None = None
    complete: bool = False      # the first pass dropped no row: only columns not read directly are scanned
    cluster_grams: bool = False  # also sum w q q' of the score coordinates per cluster of the first clustering


@dataclass
class Sums:
    meat: np.ndarray | None
    clusters: list[pd.DataFrame]                 # per clustering: the score sums indexed by the cluster keys
    residuals: tuple[float, ...] | None
    # sum w u u' of the slopes' score coordinates (with a meat or clusters): the identity but for the
    # rounding of the R factor the coordinates were formed with
    gram: np.ndarray | None = None
    first_stage: list[Sums] = field(default_factory=list)
    pairs: list[pd.DataFrame] = field(default_factory=list)   # fe: the (entity, cluster) pairs seen
    # per cluster of the first clustering, sum w q q' of the score coordinates q = (1, u) (k x k, row-major)
    grams: list[pd.DataFrame] = field(default_factory=list)


def _one_clustering(values: pd.Series) -> tuple[np.ndarray, pd.Index]:
    """Codes 0..G-1 and the key of each code. Small non-negative integers are their own
    codes, with no hashing; the sums of the codes a block lacks are dropped later."""
    if pd.api.types.is_integer_dtype(values.dtype) and not pd.api.types.is_bool_dtype(values.dtype) and len(values):
        array = values.to_numpy()
        low, high = (int(array.min()), int(array.max())) if array.dtype.kind in "iu" else (-1, 0)
        if low >= 0 and high < 4 * len(array) + 1024:
            return array.astype(np.int64, copy=False), pd.RangeIndex(high + 1)
    code, uniques = pd.factorize(values, sort=False)
    return code.astype(np.int64), pd.Index(uniques)


def _cluster_codes(frame: pd.DataFrame, names: tuple[str, ...]) -> tuple[list[np.ndarray], list[pd.Index]]:
    codes, keys = [], []
    for name in names:
        code, key = _one_clustering(frame[name])
        codes.append(code)
        keys.append(key)
    if len(names) == 2:
        pair, uniques = pd.factorize(pd.MultiIndex.from_arrays([frame[names[0]], frame[names[1]]]), sort=False)
        codes.append(pair.astype(np.int64))
        keys.append(uniques if isinstance(uniques, pd.MultiIndex) else pd.MultiIndex.from_tuples(uniques))
    return codes, keys


def _one_pass(d: Design, p: Pass, weights: np.ndarray, scores: np.ndarray, power: int, codes: list[np.ndarray],
              keys: list[pd.Index], sums: bool, group: np.ndarray | None, table: np.ndarray | None, score_gram: bool,
              cluster_grams: bool = False
              ) -> tuple[np.ndarray | None, list[pd.DataFrame], tuple[float, ...] | None, np.ndarray | None,
                         list[pd.DataFrame]]:
    ks = scores.shape[0]
    k = ks + (1 if p.intercept else 0)
    meat, cluster_bytes, residuals, gram, grams = _native.score_pass(
        d.a, d.w, p.pivot, p.mean, p.intercept, p.total_weight, weights, scores, power, codes,
        [len(key) for key in keys], sums, group, table, score_gram, cluster_grams)
    meat_array = np.frombuffer(meat, dtype=np.float64).reshape(k, k) if meat is not None else None
    frames = []
    for b, key, code in zip(cluster_bytes, keys, codes):
        per_group = pd.DataFrame(np.frombuffer(b, dtype=np.float64).reshape(len(key), k), index=key)
        if isinstance(key, pd.RangeIndex):
            per_group = per_group[np.bincount(code, minlength=len(key)) > 0]
        frames.append(per_group)
    gram_array = np.frombuffer(gram, dtype=np.float64).reshape(ks, ks) if gram is not None else None
    gram_frames = []
    if grams is not None:
        # Per group of the first clustering, sum w q q' (k x k, row-major), the groups the block lacks dropped.
        per_group = pd.DataFrame(np.frombuffer(grams, dtype=np.float64).reshape(len(keys[0]), k * k), index=keys[0])
        gram_frames.append(per_group[np.bincount(codes[0], minlength=len(keys[0])) > 0]
                           if isinstance(keys[0], pd.RangeIndex) else per_group)
    return meat_array, frames, residuals, gram_array, gram_frames


def block_sums(part: pd.DataFrame, plan: Plan, p: Pass) -> Sums:
    return sums_of(plan, design(part, plan, direct_complete=p.complete), p)


def sums_of(plan: Plan, d: Design, p: Pass) -> Sums:
    """The sums of the pass over the residuals of a design."""
    codes, keys = _cluster_codes(d.frame, p.clusters)
    group = table = None
    pairs: list[pd.DataFrame] = []
    if p.entity is not None:
        assert p.entity_keys is not None
        group = p.entity_keys.get_indexer(pd.Index(d.frame[p.entity])).astype(np.int64)
        table = p.entity_means
        for name in p.clusters:
            pairs.append(pd.DataFrame({"entity": d.frame[p.entity].to_numpy(), "cluster": d.frame[name].to_numpy()})
                         .drop_duplicates())
    meat, clusters, residuals, gram, grams = checked(_one_pass, plan, d, d, p, p.residual_weights, p.scores,
                                                      p.leverage_power, codes, keys, p.residual_sums, group, table,
                                                      p.score_gram, p.cluster_grams)
    first = []
    for weights, scores, score_gram in p.first_stage:
        m, c, _, g, _ = _one_pass(d, p, weights, scores, p.leverage_power if p.leverage_power <= 0 else 0, codes, keys,
                               False, None, None, score_gram)
        first.append(Sums(m, c, None, g))
    return Sums(meat, clusters, residuals, gram, first, pairs, grams)


def _add_frames(a: list[pd.DataFrame], b: list[pd.DataFrame]) -> list[pd.DataFrame]:
    out = []
    for x, y in zip(a, b):
        both = pd.concat([x, y])
        out.append(both.groupby(level=list(range(both.index.nlevels)), sort=False).sum())
    return out


def _add(a: np.ndarray | None, b: np.ndarray | None) -> np.ndarray | None:
    return a + b if a is not None and b is not None else None


def merge_sums(a: Sums, b: Sums) -> Sums:
    residuals = (_native.merge_residual_sums(a.residuals, b.residuals)
                 if a.residuals is not None and b.residuals is not None else None)
    first = [merge_sums(x, y) for x, y in zip(a.first_stage, b.first_stage)]
    pairs = [pd.concat([x, y]).drop_duplicates() for x, y in zip(a.pairs, b.pairs)]
    return Sums(_add(a.meat, b.meat), _add_frames(a.clusters, b.clusters), residuals, _add(a.gram, b.gram), first,
                 pairs, _add_frames(a.grams, b.grams))


@dataclass
class Entities:
    keys: pd.Index
    counts: np.ndarray
    means: np.ndarray           # entities x columns
    raw_sq: np.ndarray          # per column, sum of squares before demeaning
    rows: int
    dropped: int
    partitions: int = 1


def block_entities(part: pd.DataFrame, plan: Plan, entity: str) -> Entities:
    d = design(part, plan)
    if not all(np.isfinite(col).all() for col in d.a):
        checked(moments, plan, d, d.a, None, False)
    code, uniques = pd.factorize(d.frame[entity], sort=False)
    counts = np.bincount(code, minlength=len(uniques)).astype(np.float64)
    means = np.zeros((len(uniques), len(d.a)))
    if len(code):
        # Sums taken against the block's first row keep the means' digits whatever the offsets.
        for j, col in enumerate(d.a):
            means[:, j] = np.bincount(code, weights=col - col[0], minlength=len(uniques)) / counts + col[0]
    raw_sq = np.array([float(col @ col) for col in d.a])
    return Entities(pd.Index(uniques), counts, means, raw_sq, len(d.frame), d.dropped)


def merge_entities(a: Entities, b: Entities) -> Entities:
    keys = a.keys.append(b.keys)
    code, uniques = pd.factorize(keys, sort=False)
    g = len(uniques)
    counts = np.bincount(code, weights=np.concatenate([a.counts, b.counts]), minlength=g)
    # Chan's update per entity: the first set's mean moved by the second's share of the difference.
    means = np.zeros((g, a.means.shape[1] if len(a.keys) else b.means.shape[1]))
    ca, cb = code[: len(a.keys)], code[len(a.keys):]
    means[ca] = a.means
    seen = np.zeros(g, dtype=bool)
    seen[ca] = True
    before = np.zeros(g)
    before[ca] = a.counts
    share = b.counts / (before[cb] + b.counts)
    means[cb] = np.where(seen[cb][:, None], means[cb] + share[:, None] * (b.means - means[cb]), b.means)
    return Entities(pd.Index(uniques), counts, means, a.raw_sq + b.raw_sq, a.rows + b.rows, a.dropped + b.dropped,
                     a.partitions + b.partitions)


def block_within(part: pd.DataFrame, plan: Plan, entity: str, keys: pd.Index, means: np.ndarray,
                 exact: bool = False, complete: bool = False) -> Stats:
    d = design(part, plan, direct_complete=complete)
    group = keys.get_indexer(pd.Index(d.frame[entity])).astype(np.int64)
    m = checked(moments, plan, d, d.a, None, False, group, means, exact=exact)
    return Stats(m, rows=len(d.frame), dropped=d.dropped)


