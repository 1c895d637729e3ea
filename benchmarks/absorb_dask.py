"""Absorbed fixed effects on a dask frame against the same fit in memory, timed on a
two-worker LocalCluster (the designs of benchmarks.absorb).

Usage::

    .venv/bin/python -m benchmarks.absorb_dask --rows 1e6 --partitions 8
    .venv/bin/python -m benchmarks.absorb_dask --generated --rows 1e8 --partitions 100

The dask frame is made from the in-memory table (outside the timing) and persisted
on the workers; the fit's time counts the passes over the partitions and the solve
on the client. Each fit runs `--repeats` times, the fastest counting.

With --generated the frame never exists in one place: each partition is drawn on
its worker whenever a pass reads it (two workers of 2 GiB each), with a worker
factor of 10^6 levels and a year factor of 10, and the fit `y ~ x1 | worker +
year` is timed beside dask's own pass over the same frame, `ddf.sum()`, in
`--repeats` paired runs (a sum, then a fit), their medians compared.
"""

from __future__ import annotations

import argparse
import functools
import time
from typing import Any

import numpy as np

from benchmarks.absorb import DESIGNS, FORMULAS, design


def _fastest(fit: object, repeats: int) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fit()  # type: ignore[operator]
        best = min(best, time.perf_counter() - start)
    return best, result


def generated_partition(i: int, rows: int, seed: int = 0, workers: int = 10**6, years: int = 10) -> Any:
    """Partition i of the generated panel: its rows drawn from its own stream, the effects functions
    of the levels (the same in every partition)."""
    import pandas as pd

    rng = np.random.default_rng([seed, i])
    worker = rng.integers(0, workers, rows)
    year = rng.integers(0, years, rows)
    x1 = rng.normal(size=rows) + 0.1 * year
    y = 0.5 * x1 + np.sin(worker) + np.cos(year) + rng.normal(size=rows)
    return pd.DataFrame({"y": y, "x1": x1, "worker": worker, "year": year})


def generated(rows: int, partitions: int, repeats: int) -> None:
    import dask.dataframe as dd
    import distributed

    import ordinata_frames as of

    each = -(-rows // partitions)
    sizes = [min(each, rows - i * each) for i in range(partitions)]
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="2GiB",
                                   host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster,
          distributed.Client(cluster)):
        ddf = dd.from_map(generated_partition, range(partitions), sizes)
        # Paired runs: a sum, then a fit, in turn (the machine's state shared by both); a frame of its own
        # for each sum, whose repeat would come back from dask's cache.
        sums, fits, r = [], [], None
        for seed in range(1, repeats + 1):
            start = time.perf_counter()
            dd.from_map(generated_partition, range(partitions), sizes, seed=seed).sum().compute()
            sums.append(time.perf_counter() - start)
            start = time.perf_counter()
            r = of.fe("y ~ x1 | worker + year", ddf)
            fits.append(time.perf_counter() - start)
        passing, fitting = float(np.median(sums)), float(np.median(fits))
        print(f"{rows:.0e} rows in {partitions} partitions, medians of {repeats} paired runs: ddf.sum() "
              f"{passing:6.2f} s, fe {fitting:6.2f} s ({fitting / passing:.2f}x; {r.solver.iterations} it, "  # type: ignore[attr-defined]
              f"{r.solver.method}), slope {r.coefficients['x1']:.6f}")  # type: ignore[attr-defined]
        print(f"  ddf.sum() {' '.join(f'{t:.2f}' for t in sums)} s; fe {' '.join(f'{t:.2f}' for t in fits)} s")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", default="1e6")
    ap.add_argument("--partitions", type=int, default=8)
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--designs", default=",".join(DESIGNS))
    ap.add_argument("--generated", action="store_true", help="time the frame drawn on the workers beside ddf.sum()")
    args = ap.parse_args(argv)
    if args.generated:
        generated(int(float(args.rows)), args.partitions, args.repeats)
        return 0
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
