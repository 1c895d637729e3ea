"""RESULTS.md and results.png from the measurements."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
from dataclasses import dataclass
from pathlib import Path

from .base import FLOOR, ORDINATA, Workload

MB = 1024.0 * 1024.0


def environment() -> dict:
    import linearmodels
    import numpy
    import scipy
    import sklearn  # noqa: F401
    import statsmodels
    from threadpoolctl import threadpool_info

    import ordinata  # noqa: F401  (loads the BLAS it links against)

    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, cwd=Path(__file__).parent).stdout.strip()
    except OSError:
        commit = "unknown"
    import sklearn as _sk
    return {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "commit": commit,
        "versions": {"numpy": numpy.__version__, "scipy": scipy.__version__,
                     "statsmodels": statsmodels.__version__, "linearmodels": linearmodels.__version__,
                     "scikit-learn": _sk.__version__},
        "blas": threadpool_info(),
        "blas_env": {k: v for k, v in sorted(os.environ.items())
                     if k.startswith(("OPENBLAS", "OMP_", "MKL_", "GOTO"))},
        "loadavg_start": os.getloadavg(),
    }


# ---------------------------------------------------------------- targets

@dataclass(frozen=True)
class Target:
    text: str
    workload: str
    peer: str | None  # None: a memory target on ordinata
    kind: str  # "speedup" (peer/ordinata >= bound), "within" (ordinata/peer <= bound), "memory"
    bound: float


TARGETS = [
    Target("OLS 10⁶ × 20 fit + standard errors at most 1.0× the numpy floor",
           "ols_big_classical", FLOOR, "within", 1.0),
    Target("OLS 10⁶ × 20 at least 20× faster than statsmodels", "ols_big_classical",
           "statsmodels OLS", "speedup", 20),
    Target("OLS 10⁶ × 20 robust (HC0) at least 15× faster than statsmodels", "ols_big_robust",
           "statsmodels OLS", "speedup", 15),
    Target("OLS 100 × 3 at least 40× faster than statsmodels", "ols_small", "statsmodels OLS",
           "speedup", 40),
    *[Target(f"FE N = {n:,} {c} at least {bound}× faster than linearmodels PanelOLS",
             f"fe_{n}_{c}", "linearmodels PanelOLS", "speedup", bound)
      for n, bound in ((10_000, 20), (100_000, 40)) for c in ("classical", "clustered")],
    *[Target(f"FE N = {n:,} clustered at most 1.25× the classical fit", f"fe_{n}_clustered",
             "ordinata classical", "within", 1.25) for n in (10_000, 100_000)],
    *[Target(f"FE N = 100,000 {c}, rows in random order, at most 1.3× the rows grouped by entity",
             f"fe_shuffled_{c}", "ordinata sorted ids", "within", 1.3) for c in ("classical", "clustered")],
    Target("Two threads fitting two OLS 2·10⁵ × 20 models at least 1.6× the throughput of one thread",
           "threads_ols", "ordinata, one thread fitting both", "speedup", 1.6),
    Target("GLS n = 1,000 at least 1.8× faster than statsmodels GLS", "gls_1000",
           "statsmodels GLS", "speedup", 1.8),
    Target("GLS n = 4,000 at least 2× faster than statsmodels GLS", "gls_4000",
           "statsmodels GLS", "speedup", 2),
    Target("GLS n = 4,000 at most 1.15× the numpy floor", "gls_4000", FLOOR, "within", 1.15),
    *[Target(f"GLS n = {n:,} peak extra memory at most 2.2× the size of Σ", f"gls_{n}", None,
             "memory", 2.2) for n in (1_000, 4_000)],
    Target("Ridge 10⁶ × 20 at least 2× faster than scikit-learn Ridge", "ridge_big",
           "scikit-learn Ridge", "speedup", 2),
    Target("WLS 10⁶ × 20 at least 15× faster than statsmodels WLS", "wls_big", "statsmodels WLS",
           "speedup", 15),
    *[Target(f"{m} at least 10× faster than {p}", f"{m.lower()}_big", p, "speedup", 10)
      for m in ("IV", "TSLS") for p in ("linearmodels IV2SLS", "statsmodels IV2SLS")],
    Target("summary() at least 20× faster than statsmodels summary()", "summary_ols20",
           "statsmodels OLS summary()", "speedup", 20),
    Target("OLS 10⁶ × 20 fit peak extra memory at most about 1.2× the size of x",
           "ols_big_classical", None, "memory", 1.2),
    Target("OLS 10⁶ × 20 robust fit peak extra memory at most about 1.2× the size of x",
           "ols_big_robust", None, "memory", 1.2),
    Target("ordinata_frames OLS 10⁶ × 20, formula to standard errors, at least 5× faster than statsmodels' "
           "formula OLS", "frames_ols", "statsmodels formula OLS", "speedup", 5),
    Target("ordinata_frames FE N = 100,000 with CRV1 at least 2× faster than pyfixest feols", "frames_fe",
           "pyfixest feols", "speedup", 2),
]


def evaluate(t: Target, timings: dict, memory: dict, skipped: dict) -> tuple[str, str]:
    """(measured value, verdict) for one target."""
    if t.workload in skipped:
        return "–", "not measured (no ordinata." + ", ".join(skipped[t.workload]) + ")"
    if t.kind == "memory":
        m = memory.get(t.workload, {}).get(ORDINATA)
        if not m or "error" in m:
            return "–", "not measured" + (f" ({m['error']})" if m else "")
        value = m["peak_extra_bytes"] / m["reference_bytes"]
        return f"{value:.2f}×", "met" if value <= t.bound else "missed"
    r = timings.get(t.workload, {}).get(t.peer)
    if r is None:
        return "–", "not measured"
    if t.kind == "speedup":
        return f"{r['ratio']:.1f}× faster", "met" if r["ratio"] >= t.bound else "missed"
    value = 1.0 / r["ratio"]
    return f"{value:.2f}×", "met" if value <= t.bound else "missed"


# ---------------------------------------------------------------- markdown

def _fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def _fmt_ratio(label: str, r: dict) -> str:
    if label == ORDINATA:
        return "1"
    return f"{r['ratio']:.2f}"


def markdown(env: dict, workloads: list[Workload], timings: dict, memory: dict,
             skipped: dict) -> str:
    L: list[str] = []
    L.append("# Benchmark results")
    L.append("")
    L.append("Generated by `make bench` (`python -m benchmarks`); do not edit by hand.")
    if env.get("quick"):
        L.append("")
        L.append("**Quick run on small data: these figures check the harness and measure nothing.**")
    L.append("")
    la0 = ", ".join(f"{v:.2f}" for v in env["loadavg_start"])
    la1 = ", ".join(f"{v:.2f}" for v in env["loadavg_end"])
    L.append(f"- Date: {env['date']}; run time {env['duration_s']:.0f} s; ordinata commit {env['commit']}")
    L.append(f"- Machine: {env['cpu']}, {env['cores']} logical cores; load average "
             f"{la0} at the start, {la1} at the end")
    L.append(f"- Python {env['python']}; " + ", ".join(f"{k} {v}" for k, v in env["versions"].items()))
    L.append("")
    L.append("## BLAS configuration")
    L.append("")
    L.append("| library | version | threads | threading | architecture | file |")
    L.append("|---|---|---|---|---|---|")
    for b in env["blas"]:
        L.append(f"| {b.get('internal_api', '')} ({b.get('user_api', '')}) | {b.get('version', '')} | "
                 f"{b.get('num_threads', '')} | {b.get('threading_layer', '')} | "
                 f"{b.get('architecture', '')} | `{b.get('filepath', '')}` |")
    L.append("")
    env_vars = env["blas_env"]
    L.append("Environment: " + (", ".join(f"`{k}={v}`" for k, v in env_vars.items())
                               if env_vars else "no OPENBLAS_*, OMP_*, MKL_* or GOTO* variables set") + ".")
    L.append("ordinata calls the OpenBLAS of the scipy-openblas32 package it is linked against; numpy "
             "and scipy each call the OpenBLAS their wheels ship, and so do the peers through them.")
    L.append("")
    L.append("## How it is measured")
    L.append("")
    L.append("- Each workload's data are generated once; every implementation gets the same arrays. "
             "Whatever a peer needs beyond what ordinata takes (a constant column, a pandas MultiIndex "
             "frame) is prepared outside the timing, which favours the peer.")
    L.append("- Every implementation is first run once on a small copy of the data (imports, thread "
             "pools). Then the implementations run in alternation, round after round "
             "(ordinata, peer, peer, ordinata, ...). A sample is one call, or the mean of a batch of "
             "calls for the small workloads.")
    L.append("- Each sample of a large workload (one call per sample) starts 0.25 s after the previous "
             "one ended: an OpenBLAS keeps its threads spinning for about 0.1 s after a threaded call, "
             "and without the pause whichever implementation runs next shares the cores with them.")
    L.append("- A timed call is the fit plus the standard errors (`standard_errors()` for ordinata, "
             "`bse`/`std_errors` for the peers; scikit-learn's Ridge has none), or one `summary()`.")
    L.append("- The numpy floor is the minimum work of the estimator: `X.T @ X` and `X.T @ y` on the "
             "design with its constant column, a Cholesky solve and the inverse (plus the residuals and "
             "the HC0 middle matrix when robust, the √w scaling for WLS, the Cholesky whitening for GLS, "
             "the entity means for FE, the instrument products for IV and TSLS).")
    L.append("- **Ratio** is the median over rounds of (implementation time ÷ ordinata time) in the "
             "same round: above 1, ordinata is faster.")
    L.append("- Peak memory: one fresh process per fit; after the data are built and the libraries "
             "warmed up, the resident-set peak (VmHWM) is reset and read again after the fit. "
             "The extra peak is compared with the size of the main input "
             "(x; Σ for GLS; x and the instruments for IV and TSLS).")
    L.append("")

    L.append("## Targets")
    L.append("")
    L.append("| target | measured | verdict |")
    L.append("|---|---|---|")
    for t in TARGETS:
        value, verdict = evaluate(t, timings, memory, skipped)
        mark = {"met": "**met**", "missed": "**missed**"}.get(verdict, verdict)
        L.append(f"| {t.text} | {value} | {mark} |")
    L.append("")

    L.append("## Time")
    L.append("")
    L.append("| workload | implementation | median | min | samples | ratio |")
    L.append("|---|---|---|---|---|---|")
    notes: list[str] = []
    for wl in workloads:
        if wl.key in skipped:
            notes.append(f"- {wl.title}: skipped, this build of ordinata has no "
                         f"{', '.join(skipped[wl.key])} class.")
            continue
        if wl.key not in timings:
            continue
        for label, r in timings[wl.key].items():
            L.append(f"| {wl.title} | {label} | {_fmt_time(r['median'])} | {_fmt_time(r['min'])} | "
                     f"{len(r['samples'])} | {_fmt_ratio(label, r)} |")
        notes.extend(f"- {wl.title}: {n}" for n in wl.notes)
    L.append("")
    if notes:
        L.append("Notes:")
        L.append("")
        L.extend(notes)
        L.append("")

    bandwidth = [(wl, timings[wl.key]) for wl in workloads if wl.bytes_read and wl.key in timings]
    if bandwidth:
        L.append("## Bandwidth")
        L.append("")
        L.append("Bytes of x each call must read once, over the median time of the call.")
        L.append("")
        L.append("| workload | implementation | x | median | x read at |")
        L.append("|---|---|---|---|---|")
        for wl, per_impl in bandwidth:
            for label, r in per_impl.items():
                nbytes = r["bytes_read"]
                L.append(f"| {wl.title} | {label} | {nbytes / 1e9:.2f} GB | {_fmt_time(r['median'])} | "
                         f"{nbytes / r['median'] / 1e9:.1f} GB/s |")
        L.append("")

    L.append("## Peak memory of one fit")
    L.append("")
    if not memory:
        L.append("Not measured in this run.")
    else:
        L.append("| workload | implementation | input compared | input size | peak extra | ratio |")
        L.append("|---|---|---|---|---|---|")
        titles = {w.key: w.title for w in workloads}
        for key, per_impl in memory.items():
            for label, m in per_impl.items():
                if "error" in m:
                    L.append(f"| {titles[key]} | {label} | – | – | failed: {m['error']} | – |")
                    continue
                ref = m["reference"].replace("+", " + ")
                L.append(f"| {titles[key]} | {label} | {ref} | {m['reference_bytes'] / MB:.1f} MiB | "
                         f"{m['peak_extra_bytes'] / MB:.1f} MiB | "
                         f"{m['peak_extra_bytes'] / m['reference_bytes']:.2f} |")
    L.append("")
    L.append("![ordinata against its peers](results.png)")
    L.append("")
    if any(k.startswith("ols_scale_") for k in timings):
        L.append("![OLS time against the number of rows](scaling.png)")
        L.append("")
    return "\n".join(L)


# ---------------------------------------------------------------- chart

def chart(path: Path, workloads: list[Workload], timings: dict, memory: dict) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = []  # (workload title, peer label, ratio)
    for wl in workloads:
        if wl.key.startswith("ols_scale_"):
            continue  # drawn in the scaling chart
        for label, r in timings.get(wl.key, {}).items():
            if label != ORDINATA:
                rows.append((wl.title, label, r["ratio"]))
    mem_rows = []
    titles = {w.key: w.title for w in workloads}
    for key, per_impl in memory.items():
        for label, m in per_impl.items():
            if "error" not in m:
                mem_rows.append((titles[key], label, m["peak_extra_bytes"] / m["reference_bytes"]))

    # One colour per library, so that a peer reads the same in both panels.
    families = [("ordinata classical", "tab:purple"), (ORDINATA, "tab:blue"), (FLOOR, "tab:red"),
                ("statsmodels", "tab:olive"), ("linearmodels", "tab:green"),
                ("scikit-learn", "tab:brown")]

    def color(label: str) -> str:
        return next((c for prefix, c in families if label.startswith(prefix)), "tab:gray")

    fig, axes = plt.subplots(1, 2, figsize=(16, max(6.0, 0.28 * max(len(rows), len(mem_rows)) + 2)),
                             gridspec_kw={"width_ratios": [3, 2]})
    ax = axes[0]
    if rows:
        ys = range(len(rows))[::-1]
        ax.barh(list(ys), [r[2] for r in rows], color=[color(r[1]) for r in rows])
        ax.set_yticks(list(ys), [f"{r[0]} — {r[1]}" for r in rows], fontsize=7)
        ax.set_xscale("log")
        ax.axvline(1.0, color="black", linewidth=0.8)
        for y, r in zip(ys, rows):
            ax.text(r[2], y, f" {r[2]:.3g}×", va="center", fontsize=6)
    ax.set_xlabel("peer time ÷ ordinata time (median of paired rounds; > 1: ordinata faster)")
    ax.set_title("Speed")

    ax = axes[1]
    if mem_rows:
        ys = range(len(mem_rows))[::-1]
        ax.barh(list(ys), [r[2] for r in mem_rows], color=[color(r[1]) for r in mem_rows])
        ax.set_yticks(list(ys), [f"{r[0]} — {r[1]}" for r in mem_rows], fontsize=7)
        for y, r in zip(ys, mem_rows):
            ax.text(r[2], y, f" {r[2]:.2f}", va="center", fontsize=6)
    ax.set_xlabel("peak extra memory ÷ input size")
    ax.set_title("Peak memory of one fit")
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def scaling_chart(path: Path, timings: dict) -> None:
    """Median time of the OLS series against n, log-log, one line per implementation."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series: dict[str, list[tuple[int, float]]] = {}
    for key, per_impl in timings.items():
        if key.startswith("ols_scale_"):
            n = int(key.removeprefix("ols_scale_"))
            for label, r in per_impl.items():
                series.setdefault(label, []).append((n, r["median"]))
    if not series:
        return
    fig, ax = plt.subplots(figsize=(8, 5.5))
    for label, points in series.items():
        points.sort()
        ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows n (10 regressors and an intercept)")
    ax.set_ylabel("fit + standard errors, median seconds")
    ax.set_title("OLS: time against the number of rows")
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(out: Path, env: dict, workloads: list[Workload], timings: dict, memory: dict,
          skipped: dict) -> None:
    (out / "RESULTS.md").write_text(markdown(env, workloads, timings, memory, skipped), encoding="utf-8")
    chart(out / "results.png", workloads, timings, memory)
    scaling_chart(out / "scaling.png", timings)
