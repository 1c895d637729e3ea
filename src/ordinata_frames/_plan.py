"""The plan of a fit: which columns it reads, the formulaic encodings of its
designs with their categorical levels found from the rows kept, the columns
taken as they are when every term is a plain numeric column, and the names.
The plan is small and built before any design: it is what each block or
partition needs to build its own rows' design."""

from __future__ import annotations

import functools
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import pandas as pd
from formulaic import Formula  # type: ignore[import-untyped]
from formulaic.errors import DataMismatchWarning, FormulaicError  # type: ignore[import-untyped]

from ordinata_frames import _formula, _rowwise


class Source(Protocol):
    """Where the rows are: in memory, or a dask frame's partitions."""

    meta: pd.DataFrame                  # the frame's columns, no rows
    whole_columns: bool                 # terms that need the whole column (center, lag) are built on it

    def reduce(self, columns: list[str], block: Callable[..., Any], merge: Callable[[Any, Any], Any],
               *args: Any, run: int = 1) -> Any: ...


@dataclass(frozen=True)
class Plan:
    columns: tuple[str, ...]          # every column read, in the frame
    main: Any                         # formulaic's spec of "lhs ~ rhs"
    extras: tuple[Any, ...]           # IV: the specs of the endogenous regressors and the instruments
    intercept: bool                   # the design's leading "Intercept" column is the intercept
    drop_leading: bool                # fe: the design's leading intercept column is dropped
    weights: str | None = None
    # The columns of a, in order, when every term reads a numeric column as it is:
    # the blocks then skip formulaic and take the columns as they are.
    direct: tuple[str, ...] | None = None
    names: tuple[str, ...] = ()
    extra_names: tuple[tuple[str, ...], ...] = ()
    dependent: str = ""
    rowwise: bool = True              # every term's value depends on its own row alone
    lags: tuple[tuple[str, str], ...] = ()   # lag columns derived on the whole table: (name, call)

    @property
    def instrumental(self) -> bool:
        return bool(self.extras)

    @property
    def width(self) -> int:
        """The columns of a block's design: [X y], IV [W Z E y], the intercept left out."""
        c = len(self.names) - (1 if self.intercept or self.drop_leading else 0) + 1
        return c + sum(len(e) for e in self.extra_names)

    @property
    def column_names(self) -> list[str]:
        """The names of a block's design columns, in order."""
        names = list(self.names[1:] if (self.intercept or self.drop_leading) else self.names)
        for extra in (self.extra_names[1], self.extra_names[0]) if self.instrumental else ():
            names += list(extra)
        return [*names, self.dependent]


def _spec_of(formula: str, proto: pd.DataFrame) -> Any:
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore", DataMismatchWarning)
            mm = _rowwise.parsed(formula).get_model_matrix(proto, na_action="ignore")
    except FormulaicError as error:
        raise ValueError(f"cannot build the design of {formula!r}: {error}") from None
    return mm


def _columns_of(meta: pd.DataFrame, columns: list[str]) -> pd.DataFrame:
    """The template of the columns read, in their order (the template itself where it holds just those)."""
    return meta if list(meta.columns) == columns else meta[columns]


@functools.lru_cache(maxsize=256)
def _spec_of_ones(formula: str, columns: tuple[tuple[str, bool], ...]) -> Any:
    """The design of a formula whose terms take nothing from the data but the columns' kinds (bool or
    number), built once on a row of ones: formulaic's set-up is most of a small fit's cost."""
    return _spec_of(formula, _ones(columns))


def _ones(columns: tuple[tuple[str, bool], ...]) -> pd.DataFrame:
    return pd.DataFrame({name: np.ones(1, dtype=bool) if is_bool else np.ones(1, dtype=np.float64)
                         for name, is_bool in columns})


def build(source: Source, pieces: _formula.Pieces, extra_columns: list[str], extra_formulas: list[str],
          weights: str | None, drop_leading: bool, lags: dict[str, str] | None = None) -> Plan:
    main = f"{pieces.lhs} ~ {pieces.rhs}"
    columns = _formula.used_columns(main, extra_formulas, extra_columns)
    have = {str(c) for c in source.meta.columns}
    for name in columns:
        if name not in have:
            shown = ", ".join(repr(c) for c in list(have)[:20])
            raise ValueError(f"column {name!r} is not in data (its columns: {shown})")
    meta = _columns_of(source.meta, columns)
    _formula.check_types(main, extra_formulas, meta)
    # Before any pass over the data: a partition builds only terms known to work row by row;
    # in memory a term that needs the whole column is built on the whole kept rows at once.
    rowwise = True
    for f in [main, *extra_formulas]:
        try:
            _rowwise.check(f, columns)
        except ValueError:
            if not source.whole_columns:
                raise
            rowwise = False
    formulas = [main, *extra_formulas]
    protos = _prototypes(source, columns, formulas) if rowwise else [_kept_rows(source, columns, formulas)] * len(formulas)
    kinds = tuple((name, bool(pd.api.types.is_bool_dtype(meta[name]))) for name in columns)
    specs = [_spec_of(f, proto) if proto is not None else _spec_of_ones(f, kinds) for f, proto in zip(formulas, protos)]
    mm = specs[0]
    extras = tuple(spec.model_spec for spec in specs[1:])
    unquote = (lambda names: _formula.unquote_lags(names, lags)) if lags else list
    names = tuple(unquote([str(c) for c in mm.rhs.model_spec.column_names]))
    dependent = unquote([str(c) for c in mm.lhs.model_spec.column_names])
    if len(dependent) != 1:
        raise ValueError(f"the left-hand side {pieces.lhs!r} must give one column, not {len(dependent)} ({dependent})")
    intercept = bool(names) and names[0] == "Intercept"
    blocks = [_plain_columns(mm.rhs.model_spec, meta)]
    if extras:
        blocks += [_plain_columns(extras[1], meta), _plain_columns(extras[0], meta)]
    blocks.append(_plain_columns(mm.lhs.model_spec, meta))
    direct = None if any(b is None for b in blocks) else tuple(c for b in blocks for c in b or ())
    return Plan(columns=tuple(columns), main=mm.model_spec, extras=extras, intercept=intercept and not drop_leading,
                drop_leading=drop_leading, weights=weights, direct=direct, names=names,
                extra_names=tuple(tuple(unquote([str(c) for c in e.column_names])) for e in extras),
                dependent=dependent[0], rowwise=rowwise, lags=tuple((lags or {}).items()))


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


def as_in_memory(frame: pd.DataFrame) -> pd.DataFrame:
    """Text columns as a pandas frame holds them: dask reads text into string columns
    with pd.NA, which formulaic takes for numbers outside C(); pandas' own "str" it encodes."""
    text = [c for c, dtype in frame.dtypes.items() if isinstance(dtype, pd.StringDtype) and dtype.na_value is pd.NA]
    return frame.astype(dict.fromkeys(text, "str")) if text else frame


def _partition_levels(part: pd.DataFrame, columns: list[str], formulas: list[str],
                      keys: list[list[tuple[str, ...]]]) -> _Seen:
    frame = part.loc[:, columns]
    missing = frame.isna()
    complete = as_in_memory(frame.loc[~missing.to_numpy().any(axis=1)])
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


def seen(source: Source, columns: list[str], formulas: list[str], keys: list[list[tuple[str, ...]]]) -> _Seen:
    found: _Seen = source.reduce(columns, _partition_levels, _merge_levels(keys), columns, formulas, keys)
    return found


def _kept_rows(source: Source, columns: list[str], formulas: list[str]) -> pd.DataFrame:
    """All the rows a fit keeps, for encodings learnt from the whole columns (in memory only)."""
    def block(part: pd.DataFrame) -> pd.DataFrame:
        frame = part.loc[:, columns]
        complete = as_in_memory(frame.loc[~frame.isna().to_numpy().any(axis=1)])
        index = complete.index
        for f in formulas:
            index = index.intersection(_kept(f, complete))
        return complete.loc[index]

    kept: pd.DataFrame = source.reduce(columns, block, lambda a, b: pd.concat([a, b]))
    if len(kept) == 0:
        raise no_rows(seen(source, columns, [], []), columns)
    return _without_unused_categories(kept.reset_index(drop=True))


def no_rows(found: _Seen, columns: list[str]) -> ValueError:
    """The in-memory message for a fit left without rows."""
    if found.complete:
        return ValueError(f"no rows left after dropping those where a formula term is missing "
                          f"({found.complete} rows had every column present)")
    if not found.rows:
        return ValueError("data has no rows")
    detail = ", ".join(f"'{c}' ({int(n)})" for c, n in zip(columns, found.missing) if n)
    return ValueError(f"no rows left in data after dropping the {found.rows} rows with a missing value "
                      f"(missing per column: {detail})")


def _prototypes(source: Source, columns: list[str], formulas: list[str]) -> list[pd.DataFrame | None]:
    """Per formula, the rows formulaic builds its encoding from: where a term's levels
    come from the data, kept rows showing every level (one pass); else None, for a row of ones."""
    meta = _columns_of(source.meta, columns)
    keys = [_level_keys(f, meta) for f in formulas]
    if not any(keys):
        return [None] * len(formulas)
    found = seen(source, columns, formulas, keys)
    if found.kept == 0:
        raise no_rows(found, columns)
    return [_without_unused_categories(examples.reset_index(drop=True)) if key else None
            for examples, key in zip(found.examples, keys)]


def _without_unused_categories(frame: pd.DataFrame) -> pd.DataFrame:
    """As in memory: a category no kept row has would be a dummy of zeros."""
    for name in frame.columns:
        if isinstance(frame[name].dtype, pd.CategoricalDtype):
            frame[name] = frame[name].cat.remove_unused_categories()
    return frame


