"""Regressions with absorbed fixed effects on the public benchmark designs, timed
against the peers at the same tolerance.

Usage::

    .venv/bin/python -m benchmarks.absorb --rows 1e5,1e6,1e7 --out benchmarks/absorb_results.json

The designs: a panel of workers observed for 10 years, 23 workers per firm on
average; "simple" assigns each row a random firm (a dense worker-firm graph),
"difficult" takes the firm as the row number modulo the number of firms (a
sparse one, slow for alternating projections). The formulas absorb worker and
year, then worker, year and firm. Every method runs in a process of its own
(the data made there from the same seed, outside the timing), in alternation
round after round; the median of the rounds counts. A run that fails or passes
its time limit is recorded as such. Methods: ordinata_frames' fe, pyfixest's
feols with its alternating-projections demeaner (rust) and its LSMR demeaner
("within"), linearmodels' AbsorbingLS; the demeaning tolerance is 1e-8 for all.
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
FORMULAS = {"2 effects": "y ~ x1 | worker + year", "3 effects": "y ~ x1 | worker + year + firm"}
DESIGNS = ("simple", "difficult")
METHODS = ("ordinata", "pyfixest-map", "pyfixest-within", "linearmodels")
TOLERANCE = 1e-8


def design(rows: int, kind: str, seed: int = 0, years: int = 10, per_firm: int = 23) -> Any:
    """The benchmark panel: worker and year effects, firm effects by the design's rule."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    workers = max(1, round(rows / years))
    firms = max(1, round(workers / per_firm))
    worker = np.repeat(np.arange(workers), years)[:rows]
    year = np.tile(np.arange(years), workers)[:rows]
    firm = rng.integers(0, firms, rows) if kind == "simple" else np.arange(rows) % firms
    x1 = rng.normal(size=rows)
    y = (x1 + rng.normal(size=firms)[firm] + rng.normal(size=workers)[worker] + rng.normal(size=years)[year]
         + rng.normal(size=rows))
    return pd.DataFrame({"y": y, "x1": x1, "worker": worker, "year": year, "firm": firm})


def fit(method: str, formula: str, frame: Any) -> tuple[float, float]:
    """One fit: the slope of x1 and its (iid) standard error."""
    if method == "ordinata":
        import ordinata_frames as of

        r = of.fe(formula, frame)
        return float(r.coefficients["x1"]), float(r.standard_errors["x1"])
    if method.startswith("pyfixest"):
        import pyfixest as pf
        from pyfixest.demeaners import LsmrDemeaner, MapDemeaner

        demeaner = (MapDemeaner(backend="rust", fixef_tol=TOLERANCE) if method == "pyfixest-map"
                    else LsmrDemeaner(backend="within", fixef_atol=TOLERANCE, fixef_btol=TOLERANCE))
        r = pf.feols(formula, frame, vcov="iid", demeaner=demeaner, fixef_rm="none")
        return float(r.coef()["x1"]), float(r.se()["x1"])
    from linearmodels.iv.absorbing import AbsorbingLS

    effects = formula.split("|")[1].split("+")
    absorb = frame[[e.strip() for e in effects]].astype("category")
    # use_cache=False: linearmodels keeps the variables it demeaned, keyed by the data's hash, and
    # would hand the second fit of a process the first one's work.
    r = AbsorbingLS(frame["y"], frame[["x1"]], absorb=absorb, drop_absorbed=True).fit(
        cov_type="unadjusted", use_cache=False, lsmr_options={"atol": TOLERANCE, "btol": TOLERANCE})
    return float(r.params["x1"]), float(r.std_errors["x1"])


def child(method: str, formula: str, rows: int, kind: str, repeats: int) -> None:
    """Runs in its own process: prints the seconds of each fit and the last estimate as JSON."""
    import warnings

    warnings.simplefilter("ignore")
    fit(method, formula, design(2_000, kind, seed=1))    # compilation and first imports, untimed
    frame = design(rows, kind)
    seconds, estimate = [], (float("nan"), float("nan"))
    for _ in range(repeats):
        start = time.perf_counter()
        estimate = fit(method, formula, frame)
        seconds.append(time.perf_counter() - start)
    print(json.dumps({"seconds": seconds, "coef": estimate[0], "se": estimate[1]}))


def run(method: str, formula: str, rows: int, kind: str, repeats: int, limit: float) -> dict[str, Any]:
    args = [sys.executable, "-m", "benchmarks.absorb", "--child", method, formula, str(rows), kind, str(repeats)]
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=limit, cwd=HERE.parent)
    except subprocess.TimeoutExpired:
        return {"status": f"timed out ({limit:.0f} s)"}
    if out.returncode != 0:
        lines = [line for line in out.stderr.strip().splitlines() if line.strip()]
        return {"status": "failed: " + (lines[-1] if lines else f"exit {out.returncode}")}
    return {"status": "ok", **json.loads(out.stdout.strip().splitlines()[-1])}


def cell(formula: str, rows: int, kind: str, methods: list[str], rounds: int, repeats: int,
         limit: float) -> list[dict[str, Any]]:
    """Every method on one design, in alternating order round after round."""
    runs: dict[str, list[dict[str, Any]]] = {m: [] for m in methods}
    for r in range(rounds):
        for m in methods if r % 2 == 0 else methods[::-1]:
            if runs[m] and runs[m][-1]["status"] != "ok":
                continue    # a failure or a timeout is not tried again
            runs[m].append(run(m, formula, rows, kind, repeats, limit))
            print(f"[{time.strftime('%H:%M:%S')}] {kind} {formula!r} {rows:.0e} {m}: {runs[m][-1]}",
                  file=sys.stderr, flush=True)
    records = []
    for m, results in runs.items():
        ok = [r for r in results if r["status"] == "ok"]
        record = {"method": m, "formula": formula, "rows": rows, "design": kind}
        if len(ok) == len(results):
            record |= {"status": "ok", "seconds": statistics.median(min(r["seconds"]) for r in ok),
                       "coef": ok[-1]["coef"], "se": ok[-1]["se"]}
        else:
            record["status"] = results[-1]["status"]
        records.append(record)
    return records


def table(records: list[dict[str, Any]]) -> str:
    """Markdown: one row per design, formula and size; seconds per method."""
    methods = list(dict.fromkeys(r["method"] for r in records))
    lines = ["| design | effects | rows | " + " | ".join(methods) + " |", "|---|---|---|" + "---|" * len(methods)]
    keys = list(dict.fromkeys((r["design"], r["formula"], r["rows"]) for r in records))
    for kind, formula, rows in keys:
        cells = []
        for m in methods:
            r = next((r for r in records if (r["design"], r["formula"], r["rows"], r["method"])
                      == (kind, formula, rows, m)), None)
            cells.append("" if r is None else f"{r['seconds']:.3g}" if r["status"] == "ok" else r["status"])
        effects = next(k for k, v in FORMULAS.items() if v == formula)
        lines.append(f"| {kind} | {effects} | {rows:.0e} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def chart(records: list[dict[str, Any]], out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(DESIGNS), len(FORMULAS), figsize=(10, 7), sharex=True, squeeze=False)
    for row, kind in enumerate(DESIGNS):
        for col, (effects, formula) in enumerate(FORMULAS.items()):
            ax = axes[row][col]
            for m in dict.fromkeys(r["method"] for r in records):
                points = sorted((r["rows"], r["seconds"]) for r in records if r["status"] == "ok"
                                and (r["design"], r["formula"], r["method"]) == (kind, formula, m))
                if points:
                    ax.plot(*zip(*points), marker="o", label=m)
            ax.set(xscale="log", yscale="log", title=f"{kind}, {effects}", xlabel="rows", ylabel="seconds")
            ax.grid(True, which="both", alpha=0.3)
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", default="1e5,1e6,1e7", help="comma-separated sizes")
    ap.add_argument("--methods", default=",".join(METHODS), help="comma-separated subset of " + ", ".join(METHODS))
    ap.add_argument("--rounds", type=int, default=3, help="rounds per cell (median counts)")
    ap.add_argument("--rounds-large", type=int, default=1, help="rounds for sizes of 1e7 rows and more")
    ap.add_argument("--repeats", type=int, default=2, help="fits per process (the fastest counts)")
    ap.add_argument("--limit", type=float, default=300.0, help="seconds a process may take")
    ap.add_argument("--out", default=str(HERE / "absorb_results.json"))
    ap.add_argument("--chart", default=str(HERE / "absorb.png"))
    ap.add_argument("--child", nargs=5, metavar=("METHOD", "FORMULA", "ROWS", "DESIGN", "REPEATS"), help=argparse.SUPPRESS)
    opts = ap.parse_args(argv)
    if opts.child:
        method, formula, rows, kind, repeats = opts.child
        child(method, formula, int(rows), kind, int(repeats))
        return 0
    methods = opts.methods.split(",")
    records = []
    for rows in (int(float(r)) for r in opts.rows.split(",")):
        rounds = opts.rounds_large if rows >= 10**7 else opts.rounds
        for kind in DESIGNS:
            for formula in FORMULAS.values():
                records += cell(formula, rows, kind, methods, rounds, opts.repeats, opts.limit)
    Path(opts.out).write_text(json.dumps({"machine": platform.platform(), "tolerance": TOLERANCE,
                                          "records": records}, indent=1) + "\n")
    chart(records, Path(opts.chart))
    print(table(records))
    return 0


if __name__ == "__main__":
    sys.exit(main())
