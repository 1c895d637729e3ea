"""Absorbed fixed effects on a dask frame against the same fit in memory, timed on a
two-worker LocalCluster (the designs of benchmarks.absorb).

Usage::

    .venv/bin/python -m benchmarks.absorb_dask --rows 1e6 --partitions 8

The dask frame is made from the in-memory table (outside the timing) and persisted
on the workers; the fit's time counts the passes over the partitions and the solve
on the client. Each fit runs `--repeats` times, the fastest counting.
"""

from __future__ import annotations

import argparse
import functools
import time

import numpy as np

from benchmarks.absorb import DESIGNS, FORMULAS, design


def _fastest(fit: object, repeats: int) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fit()  # type: ignore[operator]
        best = min(best, time.perf_counter() - start)
    return best, result


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", default="1e6")
    ap.add_argument("--partitions", type=int, default=8)
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--designs", default=",".join(DESIGNS))
    args = ap.parse_args(argv)
    import dask.dataframe as dd
    import distributed

    import ordinata_frames as of

    rows = int(float(args.rows))
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster)):
        for kind in args.designs.split(","):
            frame = design(rows, kind)
            ddf = dd.from_pandas(frame, npartitions=args.partitions).persist()
            for label, formula in FORMULAS.items():
                memory, a = _fastest(functools.partial(of.fe, formula, frame), args.repeats)
                partitioned, b = _fastest(functools.partial(of.fe, formula, ddf), args.repeats)
                gap = float(np.max(np.abs(a.params - b.params)))  # type: ignore[attr-defined]
                print(f"{kind:9s} {label}: in memory {memory:6.2f} s ({a.solver.iterations} it), "  # type: ignore[attr-defined]
                      f"dask {partitioned:6.2f} s ({b.solver.iterations} it), |slope gap| {gap:.1e}")  # type: ignore[attr-defined]
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
