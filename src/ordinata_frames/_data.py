"""From a user's table to a pandas frame of the columns used (the missing rows are dropped block by block)."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd


def _check_columns(available: Iterable[str], names: list[str], what: str) -> None:
    have = set(available)
    for name in names:
        if name not in have:
            shown = ", ".join(repr(c) for c in list(have)[:20])
            raise ValueError(f"column {name!r} is not in {what} (its columns: {shown})")


def _check_unique(columns: Iterable[Any], names: list[str], what: str) -> None:
    counts: dict[str, int] = {}
    for column in columns:
        counts[str(column)] = counts.get(str(column), 0) + 1
    repeated = [f"{name!r} ({counts[name]} columns)" for name in names if counts.get(name, 0) > 1]
    if repeated:
        raise ValueError(f"{what} has more than one column named {', '.join(repeated)}: "
                         "rename them so that each name is one column")


def _check_aligned(data: Mapping[str, Any], names: list[str], what: str) -> None:
    """pandas Series are paired by their index, not their position: Series whose
    indexes differ are refused rather than matched row by row."""
    indexed = [(name, data[name]) for name in names if isinstance(data[name], pd.Series)]
    for name, series in indexed[1:]:
        first, values = indexed[0]
        if not series.index.equals(values.index):
            raise ValueError(f"the pandas Series {first!r} and {name!r} of {what} have different indexes: "
                             "align them first (pd.DataFrame(data) aligns them by label) or pass arrays")


def _as_pandas(data: Any, names: list[str], what: str) -> pd.DataFrame:
    if isinstance(data, pd.DataFrame):
        _check_columns(map(str, data.columns), names, what)
        _check_unique(data.columns, names, what)
        # Each column a view of the caller's (pandas copies on write, so the caller's frame is never
        # touched): a selection of several columns of one block would copy them all.
        position = {str(c): i for i, c in enumerate(data.columns)}
        frame = pd.DataFrame({name: data.iloc[:, position[name]] for name in names}, copy=False)
        return frame.reset_index(drop=True)
    if isinstance(data, Mapping):
        _check_columns(data.keys(), names, what)
        _check_aligned(data, names, what)
        arrays = {}
        for name in names:
            values = np.asarray(data[name])
            if values.ndim != 1:
                raise ValueError(f"column {name!r} of {what} must be one-dimensional, not of shape {values.shape}")
            arrays[name] = values
        lengths = {len(v) for v in arrays.values()}
        if len(lengths) > 1:
            shown = ", ".join(f"{k!r}: {len(v)}" for k, v in arrays.items())
            raise ValueError(f"the columns of {what} differ in length ({shown})")
        return pd.DataFrame(arrays, copy=True) if arrays else pd.DataFrame(index=range(_dict_length(data)))
    try:
        table = nw.from_native(data, eager_only=True)
    except TypeError:
        raise TypeError(f"{what} must be a pandas, polars or pyarrow table or a dict of columns, "
                        f"not {type(data).__name__}") from None
    _check_columns(table.columns, names, what)
    return pd.DataFrame({name: _values(table[name]) for name in names})


def _values(column: Any) -> np.ndarray:
    """A column's values with its nulls as missing values: a dictionary-encoded
    arrow column gives a valid level at a null's place otherwise."""
    values: np.ndarray = column.to_numpy()
    nulls = column.is_null().to_numpy()
    if nulls.any():
        floating = values.dtype.kind == "f"
        values = np.array(values, dtype=values.dtype if floating else object)   # a copy: arrow's may be read-only
        values[nulls] = np.nan if floating else None
    return values


def _dict_length(data: Mapping[str, Any]) -> int:
    for values in data.values():
        return len(np.asarray(values))
    return 0
