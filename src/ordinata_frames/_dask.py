"""The functions on dask DataFrames: exact fits without ever collecting the rows.

Every partition gives its mergeable statistics in one native pass (the row
count, the weight sum, the column means and the R factor of the centred
[X y]); the statistics merge pairwise in a tree and the fit is solved once
from them, with the same rules as in memory. What needs the residuals (the
robust and clustered meats, the cluster score sums, the report's residual
diagnostics) comes from a second pass with the coefficients fixed; fe takes
the entity means in a first pass. The graphs run wherever dask.compute runs
them: on the active distributed client, else on dask's local scheduler.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from enum import IntEnum
from typing import Any

import numpy as np
import pandas as pd
from formulaic import Formula  # type: ignore[import-untyped]
from formulaic.errors import FormulaicError  # type: ignore[import-untyped]

from ordinata_frames import _formula, _native, _rowwise, _vcov
from ordinata_frames._results import PredictState, Results, TestResult


def is_dask_frame(data: Any) -> bool:
    dd = sys.modules.get("dask.dataframe")
    return dd is not None and isinstance(data, dd.DataFrame)


def _dask() -> Any:
    try:
        import dask
    except ImportError as error:  # pragma: no cover - a dask frame implies dask
        raise ImportError("fitting dask frames needs dask: pip install 'ordinata[dask]'") from error
    return dask


# ---------------------------------------------------------------------------
# The plan: what every partition needs to build its design, shipped to the workers.

@dataclass(frozen=True)
class _Plan:
    columns: tuple[str, ...]          # every column read, in the frame
    main: Any                         # formulaic's spec of "lhs ~ rhs"
    extras: tuple[Any, ...]           # IV: the specs of the endogenous regressors and the instruments
    intercept: bool                   # the design's leading "Intercept" column is the intercept
    drop_leading: bool                # fe: the design's leading intercept column is dropped
    weights: str | None = None
    # The columns of a, in order, when every term reads a numeric column as it is:
    # the partitions then skip formulaic and copy the columns straight into a.
    direct: tuple[str, ...] | None = None
    names: tuple[str, ...] = ()
    extra_names: tuple[tuple[str, ...], ...] = ()
    dependent: str = ""

    @property
    def instrumental(self) -> bool:
        return bool(self.extras)


@dataclass
class _Design:
    a: list[np.ndarray]           # the columns of [X y] (IV: [W Z E y]), the intercept left out
    w: np.ndarray | None
    frame: pd.DataFrame           # the complete rows, for clusters and the entity
    dropped: int


def _spec_of(formula: str, proto: pd.DataFrame) -> Any:
    try:
        mm = Formula(formula).get_model_matrix(proto, na_action="ignore")
    except FormulaicError as error:
        raise ValueError(f"cannot build the design of {formula!r}: {error}") from None
    return mm


def _plan(ddf: Any, pieces: _formula.Pieces, extra_columns: list[str], extra_formulas: list[str],
          weights: str | None, drop_leading: bool) -> _Plan:
    main = f"{pieces.lhs} ~ {pieces.rhs}"
    columns = _formula.used_columns(main, extra_formulas, extra_columns)
    have = {str(c) for c in ddf.columns}
    for name in columns:
        if name not in have:
            shown = ", ".join(repr(c) for c in list(have)[:20])
            raise ValueError(f"column {name!r} is not in data (its columns: {shown})")
    meta = ddf._meta[columns]
    _formula.check_types(main, extra_formulas, meta)
    # Before any pass over the data: every term must be one a partition can build alone.
    for f in [main, *extra_formulas]:
        _rowwise.check(f, columns)
    protos = _prototypes(ddf, columns, [main, *extra_formulas])
    mm = _spec_of(main, protos[0])
    extras = tuple(_spec_of(f, proto).model_spec for f, proto in zip(extra_formulas, protos[1:]))
    names = tuple(str(c) for c in mm.rhs.model_spec.column_names)
    dependent = [str(c) for c in mm.lhs.model_spec.column_names]
    if len(dependent) != 1:
        raise ValueError(f"the left-hand side {pieces.lhs!r} must give one column, not {len(dependent)} ({dependent})")
    intercept = bool(names) and names[0] == "Intercept"
    blocks = [_plain_columns(mm.rhs.model_spec, meta)]
    if extras:
        blocks += [_plain_columns(extras[1], meta), _plain_columns(extras[0], meta)]
    blocks.append(_plain_columns(mm.lhs.model_spec, meta))
    direct = None if any(b is None for b in blocks) else tuple(c for b in blocks for c in b or ())
    return _Plan(columns=tuple(columns), main=mm.model_spec, extras=extras, intercept=intercept and not drop_leading,
                 drop_leading=drop_leading, weights=weights, direct=direct, names=names,
                 extra_names=tuple(tuple(str(c) for c in e.column_names) for e in extras), dependent=dependent[0])


def _plain_columns(spec: Any, meta: pd.DataFrame) -> list[str] | None:
    """The columns a design reads as they are, in its order (the intercept left out), or None."""
    columns = []
    for term in spec.formula:
        factors = list(term.factors)
        if len(factors) == 1 and factors[0].eval_method == factors[0].EvalMethod.LITERAL and factors[0].expr == "1":
            continue
        if len(factors) != 1 or factors[0].eval_method != factors[0].EvalMethod.LOOKUP:
            return None
        name = factors[0].expr
        if name not in meta.columns or not _formula._numeric(meta[name]):
            return None
        columns.append(name)
    if columns != [c for c in spec.column_names if c != "Intercept"]:
        return None
    return columns


# ---------------------------------------------------------------------------
# The levels of the categorical terms, found as in memory: formulaic takes them from
# the rows a formula keeps (every column present, no term missing), in the order of a
# pandas Categorical's categories, else sorted. A partition gives, per formula, one
# kept row for each value of each categorical term's columns; formulaic reading these
# few rows finds the levels it would find in all of them.

def _level_keys(formula: str, meta: pd.DataFrame) -> list[tuple[str, ...]]:
    """Per term whose encoding depends on the values seen, the columns it reads."""
    columns = list(meta.columns)
    keys = []
    for factor in _rowwise.factors(formula):
        if factor.eval_method != factor.EvalMethod.PYTHON:
            continue
        column = _rowwise.categorical_column(factor.expr, columns)
        read = {column} if column else _rowwise.columns_read(factor.expr, columns)
        if column or any(not _formula._numeric(meta[c]) for c in read):
            keys.append(tuple(sorted(read)))
    return list(dict.fromkeys(keys))


def _may_drop(formula: str) -> list[str]:
    """The factors that can be missing where their columns are not (np.log of a negative)."""
    out = []
    for factor in _rowwise.factors(formula):
        if factor.eval_method == factor.EvalMethod.PYTHON and not _rowwise.missing_only_with_its_column(factor.expr):
            out.append(factor.expr)
    return list(dict.fromkeys(out))


@dataclass
class _Seen:
    """What the levels pass merges: counts for the "no rows left" message, and per
    formula the kept rows that show every level."""

    missing: np.ndarray                 # per column, the rows where it is missing
    rows: int
    complete: int                       # the rows with every column present
    kept: int                           # of them, the rows every formula keeps
    examples: list[pd.DataFrame]


def _kept(formula: str, frame: pd.DataFrame) -> pd.Index:
    """The rows formulaic keeps of complete ones: those where no factor is missing."""
    factors = _may_drop(formula)
    if len(frame) == 0 or not factors:
        return frame.index
    import warnings

    from formulaic.errors import DataMismatchWarning
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore", DataMismatchWarning)
            kept: pd.Index = Formula("0 + " + " + ".join(f"{{{f}}}" for f in factors)).get_model_matrix(
                frame, na_action="drop").index
    except FormulaicError as error:
        raise ValueError(f"cannot build the design of {formula!r}: {error}") from None
    return kept


def _examples(frame: pd.DataFrame, keys: list[tuple[str, ...]]) -> pd.DataFrame:
    """The first row of each value of each key, in the frame's order."""
    if not keys or len(frame) == 0:
        return frame.iloc[:0]
    first = np.zeros(len(frame), dtype=bool)
    for key in keys:
        first |= ~frame.duplicated(subset=list(key)).to_numpy()
    return frame.loc[first]


def _as_in_memory(frame: pd.DataFrame) -> pd.DataFrame:
    """Text columns as a pandas frame holds them: dask reads text into string columns
    with pd.NA, which formulaic takes for numbers outside C(); pandas' own "str" it encodes."""
    text = [c for c, dtype in frame.dtypes.items() if isinstance(dtype, pd.StringDtype) and dtype.na_value is pd.NA]
    return frame.astype({c: "str" for c in text}) if text else frame


def _partition_levels(part: pd.DataFrame, columns: list[str], formulas: list[str],
                      keys: list[list[tuple[str, ...]]]) -> _Seen:
    frame = part.loc[:, columns]
    missing = frame.isna()
    complete = _as_in_memory(frame.loc[~missing.to_numpy().any(axis=1)])
    index = complete.index
    examples = []
    for f, key in zip(formulas, keys):
        kept = _kept(f, complete)
        index = index.intersection(kept)
        examples.append(_examples(complete.loc[kept], key))
    return _Seen(missing.sum().to_numpy(), len(frame), len(complete), len(index), examples)


def _merge_levels(keys: list[list[tuple[str, ...]]]) -> Callable[[_Seen, _Seen], _Seen]:
    def merge(a: _Seen, b: _Seen) -> _Seen:
        examples = [_examples(pd.concat([x, y], ignore_index=True), key)
                    for x, y, key in zip(a.examples, b.examples, keys)]
        return _Seen(a.missing + b.missing, a.rows + b.rows, a.complete + b.complete, a.kept + b.kept, examples)
    return merge


def _seen(ddf: Any, columns: list[str], formulas: list[str], keys: list[list[tuple[str, ...]]]) -> _Seen:
    delayed = _dask().delayed
    parts = ddf[columns].to_delayed()
    seen: _Seen = _run(_tree([delayed(_partition_levels)(p, columns, formulas, keys) for p in parts],
                             _merge_levels(keys)))
    return seen


def _no_rows(seen: _Seen, columns: list[str]) -> ValueError:
    """The in-memory message for a fit left without rows."""
    if seen.complete:
        return ValueError(f"no rows left after dropping those where a formula term is missing "
                          f"({seen.complete} rows had every column present)")
    if not seen.rows:
        return ValueError("data has no rows")
    detail = ", ".join(f"'{c}' ({int(n)})" for c, n in zip(columns, seen.missing) if n)
    return ValueError(f"no rows left in data after dropping the {seen.rows} rows with a missing value "
                      f"(missing per column: {detail})")


def _prototypes(ddf: Any, columns: list[str], formulas: list[str]) -> list[pd.DataFrame]:
    """Per formula, the rows formulaic builds its encoding from: where a term's levels
    come from the data, kept rows showing every level (one pass); else a row of ones."""
    meta = ddf._meta[columns]
    keys = [_level_keys(f, meta) for f in formulas]
    ones = pd.DataFrame({name: np.ones(1, dtype=bool) if pd.api.types.is_bool_dtype(meta[name])
                         else np.ones(1, dtype=np.float64) for name in columns})
    if not any(keys):
        return [ones] * len(formulas)
    seen = _seen(ddf, columns, formulas, keys)
    if seen.kept == 0:
        raise _no_rows(seen, columns)
    return [_without_unused_categories(examples.reset_index(drop=True)) if key else ones
            for examples, key in zip(seen.examples, keys)]


def _without_unused_categories(frame: pd.DataFrame) -> pd.DataFrame:
    """As in memory: a category no kept row has would be a dummy of zeros."""
    for name in frame.columns:
        if isinstance(frame[name].dtype, pd.CategoricalDtype):
            frame[name] = frame[name].cat.remove_unused_categories()
    return frame


def _design(part: pd.DataFrame, plan: _Plan) -> _Design:
    """The partition's complete rows as float64 columns, views of the partition's own where they can be."""
    frame = part.loc[:, list(plan.columns)]
    missing = frame.isna().to_numpy().any(axis=1) if len(frame) else np.zeros(0, dtype=bool)
    dropped = int(missing.sum())
    frame = frame.loc[~missing].reset_index(drop=True) if dropped else frame.reset_index(drop=True)
    if plan.direct is not None:
        a = [frame[name].to_numpy(dtype=np.float64) for name in plan.direct]
        return _Design(a=a, w=_weights(frame, plan), frame=frame, dropped=dropped)
    frame = _as_in_memory(frame)
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
    blocks = [rhs.iloc[:, 1:] if plan.intercept or plan.drop_leading else rhs]
    if plan.instrumental:
        endog, instr = pieces[1], pieces[2]
        blocks = [blocks[0], instr, endog]
    blocks.append(lhs)
    a = [block.iloc[:, col].to_numpy(dtype=np.float64) for block in blocks for col in range(block.shape[1])]
    return _Design(a=a, w=_weights(frame, plan), frame=frame, dropped=dropped)


def _weights(frame: pd.DataFrame, plan: _Plan) -> np.ndarray | None:
    if plan.weights is None:
        return None
    w = np.ascontiguousarray(frame[plan.weights].to_numpy(dtype=np.float64))
    if len(w) and not (np.all(w > 0) and np.all(np.isfinite(w))):
        raise ValueError("All weights must be positive and finite")
    return w


def _materialise(spec: Any, frame: pd.DataFrame) -> Any:
    import warnings

    from formulaic.errors import DataMismatchWarning
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", DataMismatchWarning)
        mm = spec.get_model_matrix(frame, na_action="drop")
    if hasattr(mm, "lhs"):
        return mm.lhs, mm.rhs
    return mm


# ---------------------------------------------------------------------------
# Statistics and their merges.

@dataclass
class _Stats:
    moments: tuple[Any, ...] | None
    plain: tuple[Any, ...] | None = None    # weighted fits: the unweighted moments, for the residual mean square
    rows: int = 0
    dropped: int = 0
    partitions: int = 1
    target: tuple[float, float, float] = (0.0, 0.0, 0.0)   # weight, mean and centred square sum of y


def _target_stats(y: np.ndarray, w: np.ndarray | None) -> tuple[float, float, float]:
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


class _NotFinite(ValueError):
    """A partition's refusal of a value that is not finite, with the columns that hold one."""


class _NeedsExact(Exception):
    """Moments with R factors from partitions' Gram matrices whose fit is too ill-conditioned for them:
    the moments pass is run again with every R from its rows' QR."""


def _checked(fn: Callable[..., Any], plan: _Plan, design: _Design, *args: Any) -> Any:
    try:
        return fn(*args)
    except ValueError as error:
        if "NaN or infinite" in str(error):
            names = list(plan.names[1:] if (plan.intercept or plan.drop_leading) else plan.names)
            for extra in (plan.extra_names[1], plan.extra_names[0]) if plan.instrumental else ():
                names += list(extra)
            names.append(plan.dependent)
            bad = [name for name, col in zip(names, design.a) if not np.isfinite(col).all()]
            raise _NotFinite(str(error), ", ".join(bad)) from None
        raise


def _partition_moments(part: pd.DataFrame, plan: _Plan, exact: bool) -> _Stats:
    d = _design(part, plan)
    m = _checked(_native.moments, plan, d, d.a, d.w, plan.intercept, None, None, exact)
    plain = _native.moments(d.a, None, plan.intercept, None, None, exact) if d.w is not None else None
    # The target's own spread, for R-squared, only where the moments do not centre it.
    target = _target_stats(d.a[-1], d.w) if not plan.intercept else (0.0, 0.0, 0.0)
    return _Stats(m, plain, rows=len(d.frame), dropped=d.dropped, target=target)


def _merge_pair(a: tuple[Any, ...] | None, b: tuple[Any, ...] | None) -> tuple[Any, ...] | None:
    return _native.merge_moments(a, b) if a and b else (a or b)


def _merge_stats(a: _Stats, b: _Stats) -> _Stats:
    return _Stats(_merge_pair(a.moments, b.moments), _merge_pair(a.plain, b.plain), a.rows + b.rows, a.dropped + b.dropped, a.partitions + b.partitions,
                  _merge_target(a.target, b.target))


def _tree(items: Sequence[Any], merge: Callable[[Any, Any], Any]) -> Any:
    """Pairwise merges of neighbours, level by level: the order of the rows is kept."""
    dask = _dask()
    level = list(items)
    combine = dask.delayed(merge, pure=True)
    while len(level) > 1:
        nxt = [combine(level[i], level[i + 1]) for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            nxt.append(level[-1])
        level = nxt
    return level[0]


def _partitions(ddf: Any, plan: _Plan) -> list[Any]:
    return list(ddf[list(plan.columns)].to_delayed())


# ---------------------------------------------------------------------------
# The second pass.

@dataclass(frozen=True)
class _Pass:
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


@dataclass
class _Sums:
    meat: np.ndarray | None
    clusters: list[pd.DataFrame]                 # per clustering: the score sums indexed by the cluster keys
    residuals: tuple[float, ...] | None
    # sum w u u' of the slopes' score coordinates (with a meat or clusters): the identity but for the
    # rounding of the R factor the coordinates were formed with
    gram: np.ndarray | None = None
    first_stage: list[tuple[np.ndarray | None, list[pd.DataFrame], np.ndarray | None]] = field(default_factory=list)
    pairs: list[pd.DataFrame] = field(default_factory=list)   # fe: the (entity, cluster) pairs seen


def _one_clustering(values: pd.Series) -> tuple[np.ndarray, pd.Index]:
    """Codes 0..G-1 and the key of each code. Small non-negative integers are their own
    codes, with no hashing; the sums of the codes a partition lacks are dropped later."""
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


def _one_pass(d: _Design, p: _Pass, weights: np.ndarray, scores: np.ndarray, power: int, codes: list[np.ndarray],
              keys: list[pd.Index], sums: bool, group: np.ndarray | None, table: np.ndarray | None, score_gram: bool
              ) -> tuple[np.ndarray | None, list[pd.DataFrame], tuple[float, ...] | None, np.ndarray | None]:
    ks = scores.shape[0]
    k = ks + (1 if p.intercept else 0)
    meat, cluster_bytes, residuals, gram = _native.score_pass(
        d.a, d.w, p.pivot, p.mean, p.intercept, p.total_weight, weights, scores, power, codes,
        [len(key) for key in keys], sums, group, table, score_gram)
    meat_array = np.frombuffer(meat, dtype=np.float64).reshape(k, k) if meat is not None else None
    frames = []
    for b, key, code in zip(cluster_bytes, keys, codes):
        per_group = pd.DataFrame(np.frombuffer(b, dtype=np.float64).reshape(len(key), k), index=key)
        if isinstance(key, pd.RangeIndex):
            per_group = per_group[np.bincount(code, minlength=len(key)) > 0]
        frames.append(per_group)
    gram_array = np.frombuffer(gram, dtype=np.float64).reshape(ks, ks) if gram is not None else None
    return meat_array, frames, residuals, gram_array


def _partition_scores(part: pd.DataFrame, plan: _Plan, p: _Pass) -> _Sums:
    d = _design(part, plan)
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
    meat, clusters, residuals, gram = _checked(_one_pass, plan, d, d, p, p.residual_weights, p.scores,
                                               p.leverage_power, codes, keys, p.residual_sums, group, table,
                                               p.score_gram)
    first = []
    for weights, scores, score_gram in p.first_stage:
        m, c, _, g = _one_pass(d, p, weights, scores, p.leverage_power if p.leverage_power <= 0 else 0, codes, keys,
                               False, None, None, score_gram)
        first.append((m, c, g))
    return _Sums(meat, clusters, residuals, gram, first, pairs)


def _add_frames(a: list[pd.DataFrame], b: list[pd.DataFrame]) -> list[pd.DataFrame]:
    out = []
    for x, y in zip(a, b):
        both = pd.concat([x, y])
        out.append(both.groupby(level=list(range(both.index.nlevels)), sort=False).sum())
    return out


def _add(a: np.ndarray | None, b: np.ndarray | None) -> np.ndarray | None:
    return a + b if a is not None and b is not None else None


def _merge_sums(a: _Sums, b: _Sums) -> _Sums:
    residuals = (_native.merge_residual_sums(a.residuals, b.residuals)
                 if a.residuals is not None and b.residuals is not None else None)
    first = [(_add(ma, mb), _add_frames(ca, cb), _add(ga, gb))
             for (ma, ca, ga), (mb, cb, gb) in zip(a.first_stage, b.first_stage)]
    pairs = [pd.concat([x, y]).drop_duplicates() for x, y in zip(a.pairs, b.pairs)]
    return _Sums(_add(a.meat, b.meat), _add_frames(a.clusters, b.clusters), residuals, _add(a.gram, b.gram), first,
                 pairs)


# ---------------------------------------------------------------------------
# Covariances from the sums.

def _sandwich(left: np.ndarray, meat: np.ndarray) -> np.ndarray:
    v = left @ meat @ left.T
    out: np.ndarray = (v + v.T) / 2
    return out


def _refined_left(left: np.ndarray, gram: np.ndarray | None) -> np.ndarray:
    """The bread for scores u = F'x whose sum of w u u' is I + E rather than I: with g^-1 = F (I + E)^-1 F'
    exactly, L diag(1, (I + E)^-1) takes back the rounding of the merged R factor, which the sandwich
    would otherwise magnify like the condition of the design."""
    if gram is None:
        return left
    ks = gram.shape[0]
    out = left.copy()
    out[:, -ks:] = np.linalg.solve(gram, left[:, -ks:].T).T
    return out


def _covariance_from_sums(request: _vcov.VcovRequest, left: np.ndarray, meat: np.ndarray | None,
                          clusters: list[pd.DataFrame], n: int, df_k: int, gram: np.ndarray | None = None
                          ) -> tuple[np.ndarray, int]:
    left = _refined_left(left, gram)
    if request.kind in _vcov.HC_TYPES:
        assert meat is not None
        v = _sandwich(left, meat)
        return (v * (n / (n - df_k)) if request.kind == "HC1" else v), 0
    counts = [len(c) for c in clusters[: len(request.clusters)]]
    for name, count in zip(request.clusters, counts):
        if count < 2:
            raise ValueError(f"cluster column {name!r} has {count} group: clustering needs at least two")
    g = min(counts)
    total = np.zeros_like(left)
    for sign, frame in zip((1.0, 1.0, -1.0), clusters):
        s = frame.to_numpy()
        total += sign * (s.T @ s)
    scale = g / (g - 1) * (n - 1) / (n - df_k)
    return _sandwich(left, total) * scale, g


def _leverage_power(request: _vcov.VcovRequest) -> int:
    return {"HC0": 0, "HC1": 0, "HC2": 1, "HC3": 2}.get(request.kind, -1)


# ---------------------------------------------------------------------------
# The fit.

def _arr(b: bytes, *shape: int) -> np.ndarray:
    return np.frombuffer(b, dtype=np.float64).reshape(shape).copy()


class _Kind(IntEnum):
    """The fit solve_moments solves: its route policy and refusals (values as _native.pyi lists them)."""

    OLS = 0
    WLS = 1
    RIDGE = 2
    FE = 3
    IV = 4
    TSLS = 5


@dataclass
class _Fit:
    beta: np.ndarray
    inverse: np.ndarray
    ssr: float
    tss: float
    residual_weights: np.ndarray
    scores: np.ndarray
    left: np.ndarray
    design_factor: np.ndarray
    score_gram: bool

    @classmethod
    def solve(cls, moments: tuple[Any, ...], kind: _Kind, *, k: int, c: int, q: int = 0,
              raw: np.ndarray | None = None, alpha: float = 0.0, kw: int = 0, kz: int = 0, ke: int = 0) -> _Fit:
        s = _native.solve_moments(moments, kind, q, raw, alpha, kw, kz, ke)
        if s.get("needs_exact"):
            raise _NeedsExact
        ks = k - (1 if moments[5] else 0)
        return cls(_arr(s["beta"], k), _arr(s["inverse"], k, k), s["ssr"], s["tss"],
                   _arr(s["residual_weights"], c), _arr(s["scores"], ks, c), _arr(s["left"], k, k),
                   _arr(s["design_factor"], k, k), s["score_gram"])


class _Report:
    """What Results reads of a native fit: mse, and summary(), from what the fit
    computed (its residual diagnostics included), never from the data again."""

    def __init__(self, title: str, method: str, n: int, k: int, intercept: bool, r2: float, mse: float,
                 partitions: int, residuals: tuple[float, ...] | None,
                 design_factor: np.ndarray | None, within_r2: float | None = None):
        self.mse = mse
        self._args = (title, method, n, k, intercept, r2, mse)
        self._partitions = partitions
        self._residuals = residuals
        self._design = design_factor
        self._within = within_r2

    def summary(self) -> str:
        residuals = self._residuals
        text = _native.report(*self._args, residuals, self._design if residuals is not None else None,
                              self._within)
        lines = text.split("\n")
        at = next(i for i, line in enumerate(lines) if line.startswith("Covariance Type:"))
        lines.insert(at + 1, f"{'Partitions merged:':<25} {self._partitions:<25}".rstrip())
        return "\n".join(lines)


def _r2(ssr: float, tss: float, clamp: bool) -> float:
    if not abs(tss) > 0.0:
        return 0.0
    r2 = 1.0 - ssr / tss
    return min(max(r2, -1.0), 1.0) if clamp else r2


def _compute(*graphs: Any) -> Any:
    return _dask().compute(*graphs)


def _run(graph: Any) -> Any:
    """One merged result of a graph."""
    return _compute(graph)[0]


def _message(error: Exception, formula: str, plan: _Plan) -> Exception:
    names = list(plan.names) + [n for e in plan.extra_names for n in e]
    if isinstance(error, _NotFinite):
        return ValueError(f"{error.args[0]} (fitting {formula!r}; not finite: {error.args[1]})")
    return type(error)(f"{error} (fitting {formula!r}; terms {', '.join(names)})")


def fit(model: str, formula: str, ddf: Any, *, request: _vcov.VcovRequest, pieces: _formula.Pieces,
        weights: str | None = None, alpha: float = 0.0) -> Results:
    """The dask counterpart of the in-memory functions, for model OLS, WLS, Ridge, IV, TSLS or FE."""
    if model == "FE":
        return _fit_fe(formula, ddf, request, pieces)
    extra = [pieces.endog, pieces.instr] if pieces.endog and pieces.instr else []
    columns = ([weights] if weights else []) + list(request.clusters)
    plan = _plan(ddf, pieces, columns, extra, weights, drop_leading=False)
    if weights is not None and not _formula._numeric(ddf._meta[weights]):
        raise ValueError(f"weights column {weights!r} is not numeric (dtype {ddf._meta[weights].dtype})")
    parts = _partitions(ddf, plan)

    def moments_pass(exact: bool) -> _Stats:
        try:
            merged: _Stats = _compute(_tree([_dask().delayed(_partition_moments)(p, plan, exact) for p in parts],
                                            _merge_stats))[0]
        except (ValueError, RuntimeError) as error:
            raise _message(error, formula, plan) from error
        return merged

    stats = moments_pass(False)
    if stats.rows == 0:
        raise _no_rows(_seen(ddf, list(plan.columns), [], []), list(plan.columns))
    kind = _Kind[model.upper()]
    n = stats.rows
    k = len(plan.names) + (sum(len(e) for e in plan.extra_names[:1]) if plan.instrumental else 0)
    c = _columns_count(plan)
    kw = kz = ke = 0
    if plan.instrumental:
        kw = len(plan.names) - (1 if plan.intercept else 0)
        ke, kz = len(plan.extra_names[0]), len(plan.extra_names[1])
        _formula.check_identified(model, list(plan.extra_names[0]), list(plan.extra_names[1]))
    if n <= k:
        raise _message(ValueError("Insufficient degrees of freedom for covariance estimation"
                                  if plan.instrumental else "Insufficient samples for the number of parameters"),
                       formula, plan)

    def solved(stats: _Stats) -> tuple[_Fit, list[_Fit]]:
        assert stats.moments is not None
        try:
            f = _Fit.solve(stats.moments, kind, k=k, c=c, alpha=alpha, kw=kw, kz=kz, ke=ke)
        except (ValueError, RuntimeError) as error:
            raise _message(error, formula, plan) from error
        if not (plan.instrumental and request.kind != "iid"):
            return f, []
        return f, [_first_stage_fit(stats.moments, kw + kz, kw + kz + j) for j in range(ke)]

    try:
        f, first_stage_fits = solved(stats)
    except _NeedsExact:
        stats = moments_pass(True)
        f, first_stage_fits = solved(stats)

    tss = f.tss if plan.intercept else stats.target[2]
    clamp = model in ("OLS", "Ridge")
    r2 = _r2(f.ssr, tss, clamp)
    mse = f.ssr / (n - k)
    # WLS reports the unweighted residual mean square, as in memory.
    reported_mse = _unweighted_ssr(stats.plain, stats.moments, f) / (n - k) if stats.plain else mse
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / (n - k)
    moments = stats.moments
    pivot, mean = np.frombuffer(moments[2]), np.frombuffer(moments[3])
    diagnostics = model in ("OLS", "Ridge")

    def second_pass(residual_sums: bool, leverage: int) -> _Sums:
        p = _Pass(pivot=pivot, mean=mean, intercept=plan.intercept, total_weight=float(moments[1]),
                  residual_weights=f.residual_weights, scores=f.scores, leverage_power=leverage,
                  clusters=request.clusters, residual_sums=residual_sums,
                  score_gram=f.score_gram,
                  first_stage=tuple((_embed(g.residual_weights, c, kw + kz, kw + kz + j),
                                     _embed_scores(g.scores, c, kw + kz), g.score_gram)
                                    for j, g in enumerate(first_stage_fits)))
        delayed = _dask().delayed
        sums: _Sums = _run(_tree([delayed(_partition_scores)(part, plan, p) for part in parts], _merge_sums))
        return sums

    sums = None
    if request.kind != "iid":
        sums = second_pass(diagnostics, _leverage_power(request))
    # The classical covariance as the in-memory functions form it: the bread times e'e / (n - k)
    # (Ridge: the penalised inverse times its mse).
    cov, df = f.inverse * mse, float(n - k)
    if sums is not None:
        # A ridge's scores are not orthonormal coordinates (their sum of u u' is I - alpha F'F).
        gram = sums.gram if not alpha else None
        cov, g = _covariance_from_sums(request, f.left, sums.meat, sums.clusters, n, k, gram)
        if request.kind == "CRV1":
            df = float(g - 1)

    residuals = None
    if diagnostics:
        # The report's residual diagnostics are taken now, while the data are at hand:
        # the results are to be read and pickled without them.
        residuals = sums.residuals if sums is not None else second_pass(True, -1).residuals
    title, method = _TITLES[model]
    report = _Report(title, method, n, k - (1 if plan.intercept else 0), plan.intercept, r2, reported_mse,
                     stats.partitions,
                     residuals, f.design_factor if diagnostics else None)
    extra_diag: dict[str, Any] = {}
    names = list(plan.names)
    encodings: tuple[Any, ...] = (plan.main.rhs,)
    if plan.instrumental:
        names += list(plan.extra_names[0])
        encodings = (plan.main.rhs, plan.extras[0])
        extra_diag = _iv_diagnostics(request, moments, n, kw + (1 if plan.intercept else 0), kz, ke, f, first_stage_fits,
                                     sums, list(plan.extra_names[0]), plan.intercept)
    return Results(model=model, formula=formula, dependent=plan.dependent, names=tuple(names), params=f.beta, cov=cov,
                   df_inference=df, nobs=n, df_resid=n - k, r_squared=float(r2), r_squared_adj=float(r2_adj),
                   mse=float(reported_mse), vcov_type=request.label, dropped_rows=stats.dropped,
                   predict_state=PredictState(encodings=encodings), _native_fit=report, **extra_diag)


def _unweighted_ssr(plain: tuple[Any, ...], weighted: tuple[Any, ...], f: _Fit) -> float:
    """sum e_i^2 of a weighted fit from the unweighted moments: the centred part plus n
    times the residuals' unweighted mean, formed from the means' small offsets."""
    v = f.residual_weights
    rv = _r_of(plain) @ v
    shift = 0.0
    if plain[5]:
        delta = ((np.frombuffer(plain[2]) - np.frombuffer(weighted[2]))
                 + (np.frombuffer(plain[3]) - np.frombuffer(weighted[3])))
        shift = float(delta @ v)
    return float(rv @ rv) + float(plain[0]) * shift * shift


_TITLES = {
    "OLS": ("OLS Regression Results", "Least Squares"),
    "WLS": ("WLS Regression Results", "Weighted Least Squares"),
    "Ridge": ("Ridge Regression Results", "Ridge Regression"),
    "IV": ("IV", "Instrumental Variables"),
    "TSLS": ("TSLS", "Two-Stage Least Squares"),
    "FE": ("Fixed Effects Regression Results", "Within Estimator (Fixed Effects)"),
}


def _columns_count(plan: _Plan) -> int:
    c = len(plan.names) - (1 if plan.intercept or plan.drop_leading else 0) + 1
    return c + sum(len(e) for e in plan.extra_names)


def _embed(weights: np.ndarray, c: int, z: int, target: int) -> np.ndarray:
    """A sub-fit's residual weights over [Z e_j] placed among all the columns."""
    out = np.zeros(c)
    out[:z] = weights[:z]
    out[target] = weights[z]
    return out


def _embed_scores(scores: np.ndarray, c: int, z: int) -> np.ndarray:
    out = np.zeros((scores.shape[0], c))
    out[:, :z] = scores[:, :z]
    return out


def _sub_moments(moments: tuple[Any, ...], cols: list[int]) -> tuple[Any, ...]:
    """The moments of a leading block of columns and one more, the last's R column re-triangularised."""
    c = len(np.frombuffer(moments[2]))
    r = np.frombuffer(moments[4]).reshape(c, c)
    z, target = cols[:-1], cols[-1]
    size = len(cols)
    sub = np.zeros((size, size))
    sub[: len(z), : len(z)] = r[: len(z), z]
    sub[: len(z), -1] = r[: len(z), target]
    sub[-1, -1] = np.linalg.norm(r[len(z):, target])
    pivot = np.frombuffer(moments[2])[cols]
    mean = np.frombuffer(moments[3])[cols]
    return (moments[0], moments[1], pivot.tobytes(), mean.tobytes(), sub.tobytes(), moments[5], moments[6])


def _first_stage_fit(moments: tuple[Any, ...], z: int, target: int) -> _Fit:
    sub = _sub_moments(moments, [*range(z), target])
    k = z + (1 if moments[5] else 0)
    return _Fit.solve(sub, _Kind.OLS, k=k, c=z + 1)


def _r_of(moments: tuple[Any, ...]) -> np.ndarray:
    c = len(np.frombuffer(moments[2]))
    return np.frombuffer(moments[4]).reshape(c, c)


def _iv_diagnostics(request: _vcov.VcovRequest, moments: tuple[Any, ...], n: int, kw: int, kz: int, ke: int, f: _Fit,
                    first: list[_Fit], sums: _Sums | None, endog_names: list[str], intercept: bool) -> dict[str, Any]:
    """First-stage strength, Sargan and Wu-Hausman from the R factor of the centred [W Z E y]
    (kw counts the intercept, as the in-memory diagnostics do)."""
    r = _r_of(moments)
    kwd = kw - (1 if intercept else 0)        # W's data columns
    zc = kwd + kz                               # the instruments' columns in R
    kfirst = kw + kz
    rows = []
    for j in range(ke):
        col = zc + j
        on_w = float(np.sum(r[kwd:, col] ** 2))
        on_z = float(np.sum(r[zc:, col] ** 2))
        partial = 1.0 - on_z / on_w
        if request.kind == "iid":
            stat = ((on_w - on_z) / kz) / (on_z / (n - kfirst))
            pvalue = _native.f_sf(stat, kz, n - kfirst)
        else:
            assert sums is not None
            g = first[j]
            meat, clusters, gram = sums.first_stage[j]
            cov, _ = _covariance_from_sums(request, g.left, meat, clusters, n, kfirst, gram)
            b = g.beta[-kz:]
            stat = float(b @ np.linalg.solve(cov[-kz:, -kz:], b))
            pvalue = _native.chi2_sf(stat, kz)
        rows.append((partial, stat, pvalue))
    first_stage = pd.DataFrame(rows, index=pd.Index(endog_names), columns=["partial_r2", "f_stat", "f_pvalue"])

    v = f.residual_weights
    rv = r @ v
    resid_ss = float(rv @ rv)
    projected = float(np.sum(rv[:zc] ** 2))       # ||P_Z e||^2
    sargan = None
    if kz > ke:
        stat = float(n * projected / resid_ss)
        sargan = TestResult(stat, float(kz - ke), _native.chi2_sf(stat, kz - ke), "chi2")
    # Columns [W E Z y]: y on [W E] leaves e0; its projection onto [W Z E] is what [W E Z] adds.
    order = [*range(kwd), *range(zc, zc + ke), *range(kwd, zc), zc + ke]
    r2 = np.linalg.qr(r[:, order], mode="r")
    e0 = float(np.sum(r2[kwd + ke:, -1] ** 2))
    rest = float(r2[-1, -1] ** 2) if r2.shape[0] == r2.shape[1] else 0.0
    delta = (e0 - rest) - projected
    df_denom = n - kw - ke - ke
    stat = (delta / ke) / ((e0 - delta) / df_denom)
    wu = TestResult(stat, (float(ke), float(df_denom)), _native.f_sf(stat, ke, df_denom), "F")
    return {"first_stage": first_stage, "sargan": sargan, "wu_hausman": wu}


# ---------------------------------------------------------------------------
# Fixed effects: the entity means first, the demeaned moments next.

@dataclass
class _Entities:
    keys: pd.Index
    counts: np.ndarray
    means: np.ndarray           # entities x columns
    raw_sq: np.ndarray          # per column, sum of squares before demeaning
    rows: int
    dropped: int
    partitions: int = 1


def _partition_entities(part: pd.DataFrame, plan: _Plan, entity: str) -> _Entities:
    d = _design(part, plan)
    if not all(np.isfinite(col).all() for col in d.a):
        _checked(_native.moments, plan, d, d.a, None, False, None, None)
    code, uniques = pd.factorize(d.frame[entity], sort=False)
    counts = np.bincount(code, minlength=len(uniques)).astype(np.float64)
    means = np.zeros((len(uniques), len(d.a)))
    if len(code):
        # Sums taken against the partition's first row keep the means' digits whatever the offsets.
        for j, col in enumerate(d.a):
            means[:, j] = np.bincount(code, weights=col - col[0], minlength=len(uniques)) / counts + col[0]
    raw_sq = np.array([float(col @ col) for col in d.a])
    return _Entities(pd.Index(uniques), counts, means, raw_sq, len(d.frame), d.dropped)


def _merge_entities(a: _Entities, b: _Entities) -> _Entities:
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
    return _Entities(pd.Index(uniques), counts, means, a.raw_sq + b.raw_sq, a.rows + b.rows, a.dropped + b.dropped,
                     a.partitions + b.partitions)


def _partition_within(part: pd.DataFrame, plan: _Plan, entity: str, keys: pd.Index, means: np.ndarray,
                      exact: bool) -> _Stats:
    d = _design(part, plan)
    group = keys.get_indexer(pd.Index(d.frame[entity])).astype(np.int64)
    m = _checked(_native.moments, plan, d, d.a, None, False, group, means, exact)
    return _Stats(m, rows=len(d.frame), dropped=d.dropped)


def _fit_fe(formula: str, ddf: Any, request: _vcov.VcovRequest, pieces: _formula.Pieces) -> Results:
    entity = pieces.entity
    assert entity is not None
    pieces = _formula.Pieces(lhs=pieces.lhs, rhs=f"{pieces.rhs} + 1", entity=entity)
    plan = _plan(ddf, pieces, [entity, *request.clusters], [], None, drop_leading=True)
    names = list(plan.names[1:])
    if not names:
        raise ValueError(f"formula {formula!r} has no regressor besides the entity effects")
    plan = replace(plan, names=tuple(plan.names))
    parts = _partitions(ddf, plan)
    delayed = _dask().delayed
    try:
        ent: _Entities = _compute(_tree([delayed(_partition_entities)(p, plan, entity) for p in parts],
                                        _merge_entities))[0]
    except (ValueError, RuntimeError) as error:
        raise _message(error, formula, plan) from error
    n, k, groups = ent.rows, len(names), len(ent.keys)
    if n == 0:
        raise _no_rows(_seen(ddf, list(plan.columns), [], []), list(plan.columns))
    if groups >= n:
        raise _message(ValueError("Insufficient degrees of freedom: number of entities must be less than number of "
                                  "observations"), formula, plan)
    if n <= k + groups:
        raise _message(ValueError("Insufficient degrees of freedom for Fixed Effects estimation"), formula, plan)
    keys, means = ent.keys, ent.means
    # Ship the entity table once, not with every task.
    keys_d, means_d = delayed(keys, pure=True), delayed(means, pure=True)
    c = k + 1

    def within_fit(exact: bool) -> tuple[_Stats, _Fit]:
        within: _Stats = _compute(_tree([delayed(_partition_within)(p, plan, entity, keys_d, means_d, exact)
                                         for p in parts], _merge_stats))[0]
        assert within.moments is not None
        try:
            return within, _Fit.solve(within.moments, _Kind.FE, k=k, c=c, q=k + groups, raw=np.sqrt(ent.raw_sq))
        except (ValueError, RuntimeError) as error:
            raise _message(error, formula, plan) from error

    try:
        within, f = within_fit(False)
    except _NeedsExact:
        within, f = within_fit(True)
    df_resid = n - k - groups
    mse = f.ssr / df_resid
    y_mean = float(ent.counts @ ent.means[:, -1] / n)
    tss = f.tss + float(ent.counts @ (ent.means[:, -1] - y_mean) ** 2)
    r2 = _r2(f.ssr, tss, True)
    within_r2 = _r2(f.ssr, f.tss, True)
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / df_resid if df_resid > 0 else float("nan")
    zeros = np.zeros(c)

    def second_pass(residual_sums: bool, leverage: int) -> _Sums:
        p = _Pass(pivot=zeros, mean=zeros, intercept=False, total_weight=float(n), residual_weights=f.residual_weights,
                  scores=f.scores, leverage_power=leverage, clusters=request.clusters, residual_sums=residual_sums,
                  score_gram=f.score_gram, entity=entity, entity_keys=keys, entity_means=means)
        sums: _Sums = _run(_tree([delayed(_partition_scores)(part, plan, p) for part in parts], _merge_sums))
        return sums

    iid = f.inverse * mse
    cov, df = iid, float(df_resid)
    sums = None
    if request.kind != "iid":
        sums = second_pass(True, _leverage_power(request))
        df_k = k + groups
        if request.kind == "CRV1":
            nested = [len(p) == groups for p in sums.pairs]
            if any(nested):
                df_k = k + 1
        cov, g = _covariance_from_sums(request, f.left, sums.meat, sums.clusters, n, df_k, sums.gram)
        if request.kind == "CRV1":
            df = float(g - 1)
    residuals = sums.residuals if sums is not None else second_pass(True, -1).residuals
    title, method = _TITLES["FE"]
    report = _Report(title, method, n, k, False, r2, mse, within.partitions, residuals, f.design_factor,
                     within_r2=within_r2)
    fixed_effects = means[:, -1] - means[:, :-1] @ f.beta
    state = PredictState(encodings=(plan.main.rhs,), entity=entity, entity_levels=tuple(keys),
                         fixed_effects=fixed_effects)
    return Results(model="FE", formula=formula, dependent=plan.dependent, names=tuple(names), params=f.beta, cov=cov,
                   df_inference=df, nobs=n, df_resid=df_resid, r_squared=float(r2), r_squared_adj=float(r2_adj),
                   mse=float(mse), vcov_type=request.label, dropped_rows=ent.dropped, predict_state=state,
                   _native_fit=report)
