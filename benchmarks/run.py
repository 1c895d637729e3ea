"""Runs every workload, then writes RESULTS.md and results.png.

Within a workload all implementations see the same arrays and run in
alternation, round after round (ordinata, peer 1, peer 2, ordinata, ...), so
a change in machine load hits them alike; each peer's ratio is the median of
its per-round ratios to ordinata.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

from .base import Workload
from .workloads import all_workloads

HERE = Path(__file__).resolve().parent


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# Every OpenBLAS keeps its threads spinning for a while after a threaded
# call (numpy's for about 0.1 s), taking cores from whatever runs next. Each
# sample of the large workloads starts after this pause, so that no
# implementation runs beside the previous one's spinning threads. (A sleep:
# a busy wait instead keeps one core hot and the other idle, and the two
# threads of the thread workload then often start on one core.)
SETTLE_S = 0.25


def _one_sample(setup, run, batch: int) -> float:
    state = setup() if setup else None
    gc.collect()
    if batch == 1:
        time.sleep(SETTLE_S)
    t0 = time.perf_counter()
    for i in range(batch):
        run(state, i)
    elapsed = time.perf_counter() - t0
    del state
    return elapsed / batch


def time_workload(wl: Workload, quick: bool) -> dict:
    warm = wl.make(True)
    for impl in wl.impls:
        _one_sample(*impl.factory(warm), wl.batch)
    del warm

    data = wl.make(True) if quick else wl.make(False)
    prepared = [impl.factory(data) for impl in wl.impls]
    rounds = 2 if quick else wl.rounds
    samples: list[list[float]] = [[] for _ in wl.impls]
    for _ in range(rounds):
        for j, (setup, run) in enumerate(prepared):
            samples[j].append(_one_sample(setup, run, wl.batch))

    out = {}
    base = samples[0]
    for impl, s in zip(wl.impls, samples):
        paired = [p / o for p, o in zip(s, base)]
        out[impl.label] = {
            "median": statistics.median(s),
            "min": min(s),
            "samples": s,
            # Peer time over ordinata time: above 1, ordinata is faster.
            "ratio": statistics.median(paired),
        }
        if wl.bytes_read:
            out[impl.label]["bytes_read"] = wl.bytes_read(data)
    return out


def isolated_timing(wl: Workload, quick: bool) -> dict:
    """time_workload in a process of its own, with the workload's environment."""
    cmd = [sys.executable, "-m", "benchmarks", "--time-one", wl.key] + (["--quick"] if quick else [])
    env = {**os.environ, **(wl.isolated_env or {})}
    proc = subprocess.run(cmd, cwd=HERE.parent, env=env, capture_output=True, text=True, timeout=1800)
    if proc.returncode != 0:
        raise RuntimeError(f"{wl.key}: {proc.stderr.strip()[-500:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def memory_workload(wl: Workload, quick: bool) -> dict:
    out = {}
    for index, impl in enumerate(wl.impls):
        if not impl.measure_memory:
            continue
        cmd = [sys.executable, "-m", "benchmarks.memory", wl.key, str(index)]
        if quick:
            cmd.append("--quick")
        try:
            proc = subprocess.run(cmd, cwd=HERE.parent, capture_output=True, text=True, timeout=600)
        except subprocess.TimeoutExpired:
            out[impl.label] = {"error": "timed out"}
            continue
        if proc.returncode != 0:
            tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
            out[impl.label] = {"error": tail[0]}
            continue
        out[impl.label] = json.loads(proc.stdout.strip().splitlines()[-1])
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m benchmarks")
    ap.add_argument("--quick", action="store_true",
                    help="small data and two rounds: checks the harness, measures nothing")
    ap.add_argument("--only", default="", help="comma-separated workload keys")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory subprocesses")
    ap.add_argument("--out", default=str(HERE), help="directory for RESULTS.md and results.png")
    ap.add_argument("--time-one", default="", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.time_one:
        wl = next(w for w in all_workloads() if w.key == args.time_one)
        print(json.dumps(time_workload(wl, args.quick)))
        return 0

    from . import report

    start = time.perf_counter()
    env = report.environment()
    workloads = all_workloads()
    if args.only:
        keys = set(args.only.split(","))
        workloads = [w for w in workloads if w.key in keys]

    timings: dict[str, dict] = {}
    memory: dict[str, dict] = {}
    skipped: dict[str, list[str]] = {}
    for wl in workloads:
        missing = wl.missing()
        if missing:
            skipped[wl.key] = missing
            log(f"[{time.perf_counter() - start:6.0f} s] {wl.title}: skipped, no ordinata.{', '.join(missing)}")
            continue
        t0 = time.perf_counter()
        timings[wl.key] = isolated_timing(wl, args.quick) if wl.isolated_env else time_workload(wl, args.quick)
        summary = ", ".join(f"{label} {r['median'] * 1e3:.3g} ms" for label, r in timings[wl.key].items())
        log(f"[{time.perf_counter() - start:6.0f} s] {wl.title}: {summary} ({time.perf_counter() - t0:.0f} s)")
        gc.collect()
    if not args.no_memory:
        for wl in workloads:
            if wl.key in skipped or wl.memory_ref is None:
                continue
            t0 = time.perf_counter()
            memory[wl.key] = memory_workload(wl, args.quick)
            log(f"[{time.perf_counter() - start:6.0f} s] memory of {wl.title} ({time.perf_counter() - t0:.0f} s)")

    env["duration_s"] = time.perf_counter() - start
    env["loadavg_end"] = os.getloadavg()
    env["quick"] = args.quick
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    report.write(out, env, all_workloads() if not args.only else workloads, timings, memory, skipped)
    log(f"wrote {out / 'RESULTS.md'} and {out / 'results.png'} in {env['duration_s']:.0f} s")
    return 0
