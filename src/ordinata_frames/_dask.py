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
               *args: Any, run: int = 1) -> Any:
        delayed = _dask().delayed
        parts = self.ddf[columns].to_delayed()
        graph = _passes.tree([delayed(block)(part, *args) for part in parts], delayed(merge, pure=True), run)
        return _dask().compute(graph)[0]

    def share(self, value: Any) -> Any:
        """A value every task reads, shipped once rather than with each task: scattered to the
        workers where a distributed client is active (not sent inside the graph, which
        distributed warns of when it is large), else a node of the graph."""
        client = _active_client()
        if client is None:
            return _dask().delayed(value, pure=True)
        return client.scatter(value, broadcast=True, hash=False)


def _active_client() -> Any:
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        client = distributed.default_client()
    except ValueError:      # no client: dask's local scheduler runs the graph
        return None
    # A client may exist while dask is told to compute elsewhere (a scheduler set in its config).
    scheduler = _dask().base.get_scheduler()
    return client if getattr(scheduler, "__self__", None) is client else None
