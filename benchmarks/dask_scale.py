"""Exact OLS on a Parquet dataset through dask, timed against dask's own passes.

Usage::

    .venv/bin/python -m benchmarks.dask_scale --rows 1e6,1e7 --out dask_scale.json

For each size a Parquet dataset (10 float64 regressors, y, an integer cluster
column g) is written to a temporary folder in chunks, then every method runs
on a 2-worker LocalCluster reading it with dd.read_parquet: dask's own
``ddf.sum()`` (one pass, the floor), ordinata's ols (classical, HC1, CRV1 by
g), dask.array's lstsq and dask-ml's LinearRegression. Methods run in
alternation, round after round; the best round counts. The data are deleted
at the end. ``--profile`` first profiles one partition's work in-process.
"""

from __future__ import annotations

import argparse
import contextlib
import cProfile
import gc
import io
import json
import os
import platform
import pstats
import shutil
import sys
import tempfile
import time
import traceback
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
XCOLS = [f"x{i}" for i in range(10)]
FORMULA = "y ~ " + " + ".join(XCOLS)
BETA = np.linspace(0.5, -0.5, 10)


def log(msg: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Data


def write_dataset(path: Path, rows: int, rows_per_file: int, rows_per_group: int, groups: int,
                  seed: int = 0, prefix: str = "part") -> dict[str, Any]:
    """Writes `rows` rows as files of `rows_per_file` rows, one row group of at most
    `rows_per_group` rows at a time, so at most one row group is ever in memory."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    path.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    # Cluster effects and heteroscedastic noise, so HC1 and CRV1 differ from the classical errors.
    effects = 0.5 * rng.standard_normal(groups)
    schema = pa.schema([(c, pa.float64()) for c in XCOLS] + [("y", pa.float64()), ("g", pa.int64())])
    written = files = 0
    t0 = time.perf_counter()
    while written < rows:
        in_file = min(rows_per_file, rows - written)
        with pq.ParquetWriter(path / f"{prefix}.{files:05d}.parquet", schema) as writer:
            done = 0
            while done < in_file:
                m = min(rows_per_group, in_file - done)
                x = rng.standard_normal((10, m))
                g = rng.integers(0, groups, m)
                y = 1.0 + BETA @ x + effects[g] + rng.standard_normal(m) * (1.0 + 0.5 * np.abs(x[0]))
                arrays = [pa.array(x[i]) for i in range(10)] + [pa.array(y), pa.array(g)]
                writer.write_table(pa.Table.from_arrays(arrays, schema=schema), row_group_size=m)
                done += m
                del x, g, y, arrays
        written += in_file
        files += 1
    size = sum(f.stat().st_size for f in path.glob(f"{prefix}.*.parquet"))
    return {"rows": rows, "files": files, "bytes_on_disk": size, "write_s": time.perf_counter() - t0}


# ---------------------------------------------------------------------------
# The methods; each takes the dask frame and returns the coefficients
# (intercept first, then x0..x9) or, for the floor, the column sums.


def m_sum(ddf: Any) -> Any:
    return ddf.sum().compute()


def _ols(vcov: Any) -> Callable[[Any], Any]:
    def run(ddf: Any) -> Any:
        import ordinata_frames as of
        r = of.ols(FORMULA, ddf, vcov=vcov)
        return np.asarray(r.params)
    return run


def m_lstsq(ddf: Any) -> Any:
    import dask.array as da
    # One array for X and y so that each partition is read once.
    a = ddf[XCOLS + ["y"]].to_dask_array(lengths=True)
    ones = da.ones((a.shape[0], 1), chunks=(a.chunks[0], 1))
    x = da.concatenate([ones, a[:, :10]], axis=1).rechunk({1: -1})  # tsqr wants one column block
    coef, _, _, _ = da.linalg.lstsq(x, a[:, 10])
    return coef.compute()


def _dask_ml(solver: str | None) -> Callable[[Any], Any]:
    def run(ddf: Any) -> Any:
        from dask_ml.linear_model import LinearRegression
        a = ddf[XCOLS + ["y"]].to_dask_array(lengths=True)
        model = LinearRegression() if solver is None else LinearRegression(solver=solver)
        model.fit(a[:, :10], a[:, 10])
        return np.r_[model.intercept_, model.coef_]
    return run


METHODS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "sum": ("dask ddf.sum() (floor)", m_sum),
    "ols": ("ordinata ols, classical", _ols("iid")),
    "ols_hc1": ("ordinata ols, HC1", _ols("HC1")),
    "ols_crv1": ("ordinata ols, CRV1 by g", _ols({"CRV1": "g"})),
    "lstsq": ("dask.array lstsq (coef only)", m_lstsq),
    "daskml": ("dask-ml LinearRegression (default admm)", _dask_ml(None)),
    "daskml_newton": ("dask-ml LinearRegression (newton)", _dask_ml("newton")),
}


# ---------------------------------------------------------------------------
# One partition's work, profiled in this process.


def profile_partition(path: Path, vcov: Any, repeats: int = 3) -> dict[str, Any]:
    """Times reading one partition, then profiles a whole fit of that one partition
    on dask's synchronous scheduler: the per-function shares of one partition task."""
    import dask
    import dask.dataframe as dd

    import ordinata_frames as of

    first = sorted(path.glob("*.parquet"))[0]
    ddf = dd.read_parquet(str(first))
    cols = XCOLS + ["y"] + (["g"] if isinstance(vcov, dict) else [])
    out: dict[str, Any] = {"file": first.name, "vcov": vcov if isinstance(vcov, str) else "CRV1 g"}
    with dask.config.set(scheduler="synchronous"):
        reads = []
        for _ in range(repeats):
            t0 = time.perf_counter()
            part = ddf[cols].compute()
            reads.append(time.perf_counter() - t0)
        out["rows"] = len(part)
        out["partition_mib"] = part.memory_usage(deep=True).sum() / 2**20
        out["read_s"] = min(reads)
        del part
        of.ols(FORMULA, ddf, vcov=vcov)           # warm: imports, formulaic caches
        fits = []
        for _ in range(repeats):
            t0 = time.perf_counter()
            of.ols(FORMULA, ddf, vcov=vcov)
            fits.append(time.perf_counter() - t0)
        out["fit_s"] = min(fits)
        prof = cProfile.Profile()
        prof.enable()
        of.ols(FORMULA, ddf, vcov=vcov)
        prof.disable()
    st = pstats.Stats(prof)
    total = max(v[3] for k, v in st.stats.items() if k[2] == "ols")  # type: ignore[attr-defined]

    def cum(pred: Callable[[str, str], bool]) -> float:
        # Cumulative time of the outermost matching calls (recursion counted once by pstats).
        return sum(v[3] for (file, _, name), v in st.stats.items() if pred(file, name))  # type: ignore[attr-defined]

    def outer(pred: Callable[[str, str], bool]) -> float:
        # Nested matches: the outermost call holds the others.
        return max([v[3] for (file, _, name), v in st.stats.items() if pred(file, name)] or [0.0])  # type: ignore[attr-defined]

    ours = "ordinata_frames"
    parts = {
        "parquet read (pyarrow.parquet)": outer(lambda f, n: "pyarrow/parquet/core.py" in f),
        "arrow -> pandas conversion": cum(lambda f, n: n == "table_to_dataframe"),
        "_plan (client side: metadata, formulaic spec)": cum(lambda f, n: n == "_plan" and ours in f),
        "_partition_moments (1st pass task body)": cum(lambda f, n: n == "_partition_moments" and ours in f),
        "_partition_scores (2nd pass task body)": cum(lambda f, n: n == "_partition_scores" and ours in f),
        "  _design, both passes": cum(lambda f, n: n == "_design" and ours in f),
        "    formulaic materialisation (_materialise)": cum(lambda f, n: n == "_materialise" and ours in f),
        "    pandas isna (missing-row mask)": cum(lambda f, n: n == "isna" and "pandas/core/frame.py" in f),
        "  _target_stats (numpy, y mean and square sum)": cum(lambda f, n: n == "_target_stats" and ours in f),
        "  native moments": cum(lambda f, n: "_native.moments" in n),
        "  native score_pass": cum(lambda f, n: "_native.score_pass" in n),
        "  cluster codes (pd.factorize)": cum(lambda f, n: n == "_cluster_codes" and ours in f),
        "merges (_merge_stats + _merge_sums)": cum(lambda f, n: n in ("_merge_stats", "_merge_sums") and ours in f),
    }
    out["profiled_total_s"] = total
    out["shares"] = {k: {"s": v, "share": v / total if total else 0.0} for k, v in parts.items()}
    buf = io.StringIO()
    pstats.Stats(prof, stream=buf).sort_stats("tottime").print_stats(18)
    out["top_tottime"] = buf.getvalue()
    return out


def print_profile(p: dict[str, Any]) -> None:
    print(f"\nOne partition ({p['rows']:,} rows, {p['partition_mib']:.0f} MiB in pandas), vcov {p['vcov']}, "
          "synchronous scheduler in one process:")
    print(f"  read the partition alone (best of 3): {p['read_s']:.3f} s")
    print(f"  of.ols on it, whole (best of 3):      {p['fit_s']:.3f} s")
    print(f"  profiled run (cProfile overhead included): {p['profiled_total_s']:.3f} s")
    for name, v in p["shares"].items():
        print(f"    {name:<50} {v['s']:7.3f} s  {100 * v['share']:5.1f} %")


# ---------------------------------------------------------------------------
# Timing


def machine() -> dict[str, Any]:
    import dask
    import distributed
    import pandas as pd
    import pyarrow

    model = ""
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem = 0
    with contextlib.suppress(OSError), open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                mem = int(line.split()[1]) * 1024
    versions = {"python": platform.python_version(), "numpy": np.__version__, "pandas": pd.__version__,
                "pyarrow": pyarrow.__version__, "dask": dask.__version__, "distributed": distributed.__version__}
    try:
        import dask_ml
        versions["dask_ml"] = dask_ml.__version__
    except Exception as error:  # recorded, the method is then skipped
        versions["dask_ml"] = f"unavailable: {error!r}"
    return {"cpu": model, "logical_cores": os.cpu_count(), "memory_bytes": mem, "versions": versions,
            "load_average": os.getloadavg()}


def coef_check(results: dict[str, Any]) -> dict[str, float]:
    """Largest absolute coefficient difference of each solver to ordinata's classical fit."""
    ref = results.get("ols")
    out = {}
    if ref is None:
        return out
    for key, value in results.items():
        if key in ("sum", "ols") or value is None:
            continue
        out[key] = float(np.max(np.abs(np.asarray(value, dtype=float) - ref)))
    return out


def run_size(client: Any, path: Path, rows: int, methods: list[str], repeats: int, budget: float,
             repeat_budget: float, previous: dict[str, float]) -> dict[str, Any]:
    import dask.dataframe as dd

    ddf = dd.read_parquet(str(path))
    rec: dict[str, Any] = {"rows": rows, "npartitions": ddf.npartitions, "methods": {}}
    values: dict[str, Any] = {}
    skip: dict[str, str] = {}
    for key in methods:
        # A method that would blow the budget by its speed at the previous size is not attempted.
        if key in previous:
            guess = previous[key] * rows * 1e-9
            if guess > budget:
                skip[key] = f"skipped: about {guess:.0f} s expected from the previous size, budget {budget:.0f} s"
    times: dict[str, list[float]] = {k: [] for k in methods}
    for r in range(repeats):
        for key in methods:
            if key in skip:
                continue
            client.run(gc.collect)
            t0 = time.perf_counter()
            try:
                values[key] = METHODS[key][1](ddf)
            except Exception as error:  # reported in the table
                skip[key] = f"failed: {type(error).__name__}: {' '.join(str(error).split())[:200]}"
                log(f"{key} failed at {rows:,} rows:\n{traceback.format_exc()}")
                continue
            dt = time.perf_counter() - t0
            times[key].append(dt)
            log(f"{rows:,} rows, round {r + 1}: {key} {dt:.2f} s")
            if dt > repeat_budget and r + 1 < repeats:
                skip[key] = f"not repeated: one run took over {repeat_budget:.0f} s"
    floor = min(times["sum"]) if times.get("sum") else None
    for key in methods:
        t = times[key]
        entry: dict[str, Any] = {"label": METHODS[key][0], "times_s": t}
        if t:
            best = min(t)
            entry.update(best_s=best, ns_per_row=best / rows * 1e9, ratio_to_floor=best / floor if floor else None)
        if key in skip:
            entry["note"] = skip[key]
        rec["methods"][key] = entry
    rec["max_abs_coef_diff_to_ols"] = coef_check(values)
    return rec


def print_table(records: list[dict[str, Any]]) -> None:
    head = f"{'rows':>13}  {'method':<42} {'best s':>9} {'x floor':>8} {'ns/row':>9}  runs  note"
    print(head)
    print("-" * len(head))
    for rec in records:
        for e in rec["methods"].values():
            if "best_s" in e:
                ratio = f"{e['ratio_to_floor']:.2f}" if e.get("ratio_to_floor") else "-"
                runs = ",".join(f"{t:.2f}" for t in e["times_s"])
                print(f"{rec['rows']:>13,}  {e['label']:<42} {e['best_s']:>9.2f} {ratio:>8} {e['ns_per_row']:>9.1f}"
                      f"  {runs}  {e.get('note', '')}")
            else:
                print(f"{rec['rows']:>13,}  {e['label']:<42} {'-':>9} {'-':>8} {'-':>9}  -  {e.get('note', '')}")
        diffs = ", ".join(f"{k} {v:.1e}" for k, v in rec["max_abs_coef_diff_to_ols"].items())
        print(f"{'':>13}  partitions {rec['npartitions']}; max |coef - ordinata classical|: {diffs}")


def chart(records: list[dict[str, Any]], out: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 4.5))
    keys = list(dict.fromkeys(k for r in records for k in r["methods"]))
    for key in keys:
        pts = [(r["rows"], r["methods"][key]["ns_per_row"]) for r in records
               if "ns_per_row" in r["methods"].get(key, {})]
        if pts:
            xs, ys = zip(*pts)
            ax.plot(xs, ys, marker="o", label=METHODS[key][0] if key in METHODS else key,
                    linestyle="--" if key == "sum" else "-")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows (10 float64 regressors + y + g, Parquet)")
    ax.set_ylabel("ns per row (best run)")
    ax.set_title("Out-of-core OLS on a 2-worker dask LocalCluster")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", default="1e6,1e7", help="comma-separated sizes, e.g. 1e6,1e7,1e8")
    ap.add_argument("--methods", default=",".join(METHODS), help="comma-separated subset of " + ", ".join(METHODS))
    ap.add_argument("--repeats", type=int, default=3, help="rounds per size (best counts)")
    ap.add_argument("--repeats-large", type=int, default=2, help="rounds for sizes of 5e7 rows and more")
    ap.add_argument("--budget", type=float, default=300.0,
                    help="a method whose speed at the previous size predicts more seconds than this is skipped")
    ap.add_argument("--repeat-budget", type=float, default=60.0,
                    help="a method whose run took more seconds than this is not repeated at that size")
    ap.add_argument("--rows-per-file", type=float, default=2e6)
    ap.add_argument("--rows-per-group", type=float, default=1e6)
    ap.add_argument("--groups", type=int, default=1000)
    ap.add_argument("--tmp", default=None, help="folder for the temporary Parquet data (default: system temp)")
    ap.add_argument("--out", default=None, help="JSON file for the results")
    ap.add_argument("--chart", default=str(HERE / "dask_scale.png"), help="PNG chart of ns/row against rows")
    ap.add_argument("--profile", action="store_true", help="profile one partition's work first (in-process)")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--memory-limit", default="2GiB")
    ap.add_argument("--plot-from", default=None,
                    help="comma-separated JSON files of earlier runs: print their tables and draw the chart, no run")
    args = ap.parse_args(argv)

    if args.plot_from:
        merged: list[dict[str, Any]] = []
        for name in args.plot_from.split(","):
            merged += json.loads(Path(name).read_text(encoding="utf-8"))["records"]
        merged.sort(key=lambda r: r["rows"])
        print_table(merged)
        chart(merged, Path(args.chart))
        log(f"wrote {args.chart}")
        return 0

    sizes = [int(float(s)) for s in args.rows.split(",") if s.strip()]
    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = [m for m in methods if m not in METHODS]
    if unknown:
        ap.error(f"unknown methods {unknown}")
    if "sum" not in methods:
        methods.insert(0, "sum")
    env = machine()
    if str(env["versions"].get("dask_ml", "")).startswith("unavailable"):
        methods = [m for m in methods if not m.startswith("daskml")]
        log(f"dask-ml left out: {env['versions']['dask_ml']}")
    rows_per_file, rows_per_group = int(args.rows_per_file), int(args.rows_per_group)
    root = Path(tempfile.mkdtemp(prefix="ordinata-dask-scale-", dir=args.tmp))
    records: list[dict[str, Any]] = []
    result: dict[str, Any] = {"machine": env, "command": " ".join([Path(sys.executable).name, "-m",
                                                                   "benchmarks.dask_scale", *sys.argv[1:]]),
                              "cluster": {"n_workers": args.workers, "threads_per_worker": 1,
                                          "memory_limit": args.memory_limit, "processes": True},
                              "rows_per_file": rows_per_file, "rows_per_group": rows_per_group,
                              "groups": args.groups, "records": records}
    t_start = time.perf_counter()
    try:
        warm = root / "warm"
        write_dataset(warm, 200_000, 100_000, 100_000, args.groups, seed=1)
        if args.profile:
            prof_path = root / "profile"
            write_dataset(prof_path, rows_per_file, rows_per_file, rows_per_group, args.groups, seed=2)
            result["profile"] = [profile_partition(prof_path, v) for v in ("iid", "HC1", {"CRV1": "g"})]
            for p in result["profile"]:
                print_profile(p)
            print("\nTop functions by own time, CRV1 run:\n" + result["profile"][-1]["top_tottime"])
            shutil.rmtree(prof_path, ignore_errors=True)

        from dask.distributed import Client, LocalCluster
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, memory_limit=args.memory_limit,
                          processes=True, host="127.0.0.1", dashboard_address=None) as cluster, \
                Client(cluster) as client:
            import dask.dataframe as dd
            # Imports and first-call costs on the workers, untimed.
            wddf = dd.read_parquet(str(warm))
            for key in methods:
                try:
                    METHODS[key][1](wddf)
                except Exception:  # the timed runs report it
                    log(f"warm-up of {key} failed:\n{traceback.format_exc()}")
            shutil.rmtree(warm, ignore_errors=True)
            previous: dict[str, float] = {}
            for rows in sizes:
                path = root / f"rows-{rows}"
                log(f"writing {rows:,} rows to {path}")
                info = write_dataset(path, rows, rows_per_file, rows_per_group, args.groups)
                log(f"wrote {info['files']} files, {info['bytes_on_disk'] / 1e9:.2f} GB in {info['write_s']:.0f} s")
                repeats = args.repeats_large if rows >= 50_000_000 else args.repeats
                rec = run_size(client, path, rows, methods, repeats, args.budget, args.repeat_budget, previous)
                rec["dataset"] = info
                records.append(rec)
                previous = {k: e["ns_per_row"] for k, e in rec["methods"].items() if "ns_per_row" in e}
                shutil.rmtree(path, ignore_errors=True)
                print_table([rec])
                sys.stdout.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    result["duration_s"] = time.perf_counter() - t_start
    print("\nAll sizes:")
    print_table(records)
    if args.out:
        Path(args.out).write_text(json.dumps(result, indent=1, default=str), encoding="utf-8")
        log(f"wrote {args.out}")
    if args.chart and records:
        chart(records, Path(args.chart))
        log(f"wrote {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
