"""Dask frames: the pipeline's blocks are the partitions, its passes and merges a
graph built with dask.delayed, merged pairwise in a tree and computed wherever
dask.compute runs it (the active distributed client, else dask's local
scheduler). The rows are never collected; what the results need of them is
taken before the fit returns."""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import pandas as pd

from ordinata_frames import _passes


def is_dask_frame(data: Any) -> bool:
    dd = sys.modules.get("dask.dataframe")
    return dd is not None and isinstance(data, dd.DataFrame)


def _dask() -> Any:
    try:
        import dask
    except ImportError as error:  # pragma: no cover - a dask frame implies dask
        raise ImportError("fitting dask frames needs dask: pip install 'ordinata[dask]'") from error
    return dask


class Partitioned:
    """A dask frame as the pipeline's source: one block per partition."""

    whole_columns = False       # a partition sees its own rows only: terms must work row by row
    eager = True                # the report's residual diagnostics are taken now, while the data are at hand

    def __init__(self, ddf: Any):
        self.ddf = ddf
        self.meta: pd.DataFrame = ddf._meta
        self.partitions: int = ddf.npartitions

    def reduce(self, columns: list[str], block: Callable[..., Any], merge: Callable[[Any, Any], Any],
               *args: Any) -> Any:
        delayed = _dask().delayed
        parts = self.ddf[columns].to_delayed()
        graph = _passes.tree([delayed(block)(part, *args) for part in parts], delayed(merge, pure=True))
        return _dask().compute(graph)[0]

    def share(self, value: Any) -> Any:
        """A value every task reads, shipped once rather than with each task."""
        return _dask().delayed(value, pure=True)
