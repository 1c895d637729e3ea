"""From a user's table to a pandas frame of the used columns with complete rows."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd


def load(data: Any, columns: Iterable[str], *, what: str = "data") -> tuple[pd.DataFrame, np.ndarray, int]:
    """The named columns as a new pandas frame with a fresh RangeIndex, rows with a
    missing value dropped, the positions of the rows kept in the caller's table and its
    number of rows."""
    names = list(dict.fromkeys(columns))
    frame = _as_pandas(data, names, what)
    total = len(frame)
    missing = frame.isna().to_numpy().any(axis=1) if names else np.zeros(len(frame), dtype=bool)
    dropped = int(missing.sum())
    kept = np.flatnonzero(~missing) if dropped else np.arange(len(frame))
    if dropped:
        frame = frame.loc[~missing].reset_index(drop=True)
    if len(frame) == 0:
        if dropped:
            counts = {c: int(n) for c, n in _missing_counts(data, names).items() if n}
            detail = ", ".join(f"'{c}' ({n})" for c, n in counts.items())
            raise ValueError(f"no rows left in {what} after dropping the {dropped} rows with a missing value "
                             f"(missing per column: {detail})")
        raise ValueError(f"{what} has no rows")
    return frame, kept, total


def _missing_counts(data: Any, names: list[str]) -> pd.Series:
    return _as_pandas(data, names, "data").isna().sum()


def _check_columns(available: Iterable[str], names: list[str], what: str) -> None:
    have = set(available)
    for name in names:
        if name not in have:
            shown = ", ".join(repr(c) for c in list(have)[:20])
            raise ValueError(f"column {name!r} is not in {what} (its columns: {shown})")


def _as_pandas(data: Any, names: list[str], what: str) -> pd.DataFrame:
    if isinstance(data, pd.DataFrame):
        _check_columns(map(str, data.columns), names, what)
        # A shallow selection: pandas copies on write, so the caller's frame is never touched.
        frame = data.loc[:, names]
        frame.columns = names
        return frame.reset_index(drop=True)
    if isinstance(data, Mapping):
        _check_columns(data.keys(), names, what)
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
    return pd.DataFrame({name: table[name].to_numpy() for name in names})


def _dict_length(data: Mapping[str, Any]) -> int:
    for values in data.values():
        return len(np.asarray(values))
    return 0
