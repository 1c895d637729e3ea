"""Peak memory of each dask worker while ordinata fits a dataset many times its memory limit.

Usage::

    .venv/bin/python -m benchmarks.dask_memory --memory-limit 1GiB --partition-mib 64 --out dask_memory.json

Writes a Parquet dataset of at least 10x one worker's memory limit (files of
one partition each), starts a 2-worker LocalCluster with that limit and runs,
one after the other: ``ddf.sum()`` (dask's own pass, for reference), ols
classical and ols HC1. While each runs, a thread in this process samples the
resident set of every worker process every 50 ms; the kernel's own peak
(VmHWM, reset before each phase) is read as well, as it sees the spikes
between samples. Each worker's peak, and its rise over the worker's idle
resident set, is set against 3 x partition size + 150 MiB. The data are
deleted at the end.

The default limit is 1 GiB: a worker that has imported dask.dataframe and
read one Parquet partition already holds about 400 MiB, above the 80 % pause
threshold of a 512 MiB worker, and paused workers can stall a computation.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

try:
    from .dask_scale import FORMULA, XCOLS, log, machine, write_dataset
except ImportError:  # run as a script
    from dask_scale import FORMULA, XCOLS, log, machine, write_dataset  # type: ignore[no-redef]

MIB = 2**20
ROW_BYTES = (len(XCOLS) + 2) * 8         # x0..x9, y, g in pandas


def _parse_bytes(text: str) -> int:
    from dask.utils import parse_bytes
    return int(parse_bytes(text))


class Sampler:
    """The resident set of some processes, sampled from a thread; peaks since the last reset."""

    def __init__(self, pids: dict[str, int], interval: float):
        import psutil
        self.procs = {name: psutil.Process(pid) for name, pid in pids.items()}
        self.interval = interval
        self.peak = dict.fromkeys(pids, 0)
        self.samples = 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self.stop.is_set():
            with self.lock:
                for name, proc in self.procs.items():
                    try:
                        rss = proc.memory_info().rss
                    except Exception:  # a restarted worker is reported by its pid
                        continue
                    if rss > self.peak[name]:
                        self.peak[name] = rss
                self.samples += 1
            self.stop.wait(self.interval)

    def reset(self) -> None:
        with self.lock:
            self.peak = dict.fromkeys(self.procs, 0)
            self.samples = 0

    def read(self) -> tuple[dict[str, int], int]:
        with self.lock:
            return dict(self.peak), self.samples


def _status_kb(pid: int, field: str) -> int | None:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def _reset_hwm(pid: int) -> bool:
    # Writing 5 to clear_refs sets VmHWM back to the current resident set (Linux >= 4.0).
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def print_report(result: dict[str, Any]) -> None:
    limit = result["memory_limit_bytes"]
    partition_bytes = result["partition_bytes"]
    bound = result["bound_bytes"]
    rows_per_file = result["rows_per_partition"]
    print(f"\nDataset: {result['dataset']['rows']:,} rows, {result['dataset']['bytes_on_disk'] / 2**30:.2f} GiB of "
          f"Parquet = {result['dataset']['bytes_on_disk'] / limit:.1f} x the worker limit of {limit / MIB:.0f} MiB; "
          f"{result['npartitions']} partitions of {rows_per_file:,} rows = {partition_bytes / MIB:.1f} MiB in pandas")
    print(f"Bound: 3 x {partition_bytes / MIB:.1f} MiB + 150 MiB = {bound / MIB:.1f} MiB per worker\n")
    head = (f"{'phase':<24} {'s':>7} {'worker':<9} {'idle RSS':>9} {'peak RSS':>9} {'sampled':>9} {'VmHWM':>9} "
            f"{'peak-idle':>9} {'bound':>7}  {'peak':<6}  {'peak-idle':<9}")
    print(head)
    print("-" * len(head))
    for ph in result["phases"]:
        for n, w in ph["workers"].items():
            hwm = f"{w['vmhwm'] / MIB:9.1f}" if w["vmhwm"] is not None else f"{'-':>9}"
            rise = "within" if w["peak_over_idle"] <= bound else "OVER"
            print(f"{ph['phase']:<24} {ph['seconds']:7.1f} {n:<9} {w['idle_rss'] / MIB:9.1f} {w['peak_rss'] / MIB:9.1f} "
                  f"{w['sampled_peak_rss'] / MIB:9.1f} {hwm} {w['peak_over_idle'] / MIB:9.1f} {bound / MIB:7.1f}  "
                  f"{'within' if w['within_bound'] else 'OVER':<6}  {rise:<9}")
        notes = []
        if ph["error"]:
            notes.append(f"failed: {ph['error']}")
        if ph["restarted_workers"]:
            notes.append(f"workers restarted: {', '.join(ph['restarted_workers'])}")
        notes.append(f"{ph['samples']} samples; peak-idle = {max(w['peak_over_idle'] for w in ph['workers'].values()) / partition_bytes:.1f} x partition at most")
        print(f"{'':<24} {'; '.join(notes)}")
    print("(MiB; peak RSS is the larger of the 50 ms samples and the kernel's VmHWM since the phase began;"
          " idle RSS is the worker's resident set just before the phase)")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--memory-limit", default="1GiB", help="per worker")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--partition-mib", type=float, default=64.0, help="in-memory size of one partition (pandas)")
    ap.add_argument("--times-limit", type=float, default=10.5,
                    help="Parquet bytes on disk as a multiple of one worker's memory limit")
    ap.add_argument("--interval", type=float, default=0.05, help="sampling interval, seconds")
    ap.add_argument("--groups", type=int, default=1000)
    ap.add_argument("--tmp", default=None)
    ap.add_argument("--out", default=None, help="JSON file for the results")
    ap.add_argument("--print-from", default=None, help="JSON file of an earlier run: print its table, no run")
    args = ap.parse_args(argv)
    if args.print_from:
        print_report(json.loads(Path(args.print_from).read_text(encoding="utf-8")))
        return 0

    limit = _parse_bytes(args.memory_limit)
    rows_per_file = int(args.partition_mib * MIB / ROW_BYTES)
    partition_bytes = rows_per_file * ROW_BYTES
    bound = 3 * partition_bytes + 150 * MIB
    target = int(args.times_limit * limit)
    root = Path(tempfile.mkdtemp(prefix="ordinata-dask-memory-", dir=args.tmp))
    data = root / "data"
    result: dict[str, Any] = {"machine": machine(), "command": " ".join([Path(sys.executable).name, "-m",
                                                                        "benchmarks.dask_memory", *sys.argv[1:]]),
                              "memory_limit_bytes": limit, "rows_per_partition": rows_per_file,
                              "partition_bytes": partition_bytes, "bound_bytes": bound, "phases": []}
    try:
        # ~89.5 bytes a row on disk (g dictionary-encoded); top up if the first estimate falls short.
        rows = -(-int(target / 89.0) // rows_per_file) * rows_per_file
        log(f"writing {rows:,} rows in files of {rows_per_file:,} rows to {data}")
        info = write_dataset(data, rows, rows_per_file, rows_per_file, args.groups)
        batch = 1
        while info["bytes_on_disk"] < target:
            more = write_dataset(data, rows_per_file * 4, rows_per_file, rows_per_file, args.groups, seed=batch,
                                 prefix=f"more{batch}")
            info = {"rows": info["rows"] + more["rows"], "files": info["files"] + more["files"],
                    "bytes_on_disk": info["bytes_on_disk"] + more["bytes_on_disk"],
                    "write_s": info["write_s"] + more["write_s"]}
            batch += 1
        log(f"wrote {info['rows']:,} rows, {info['files']} files, {info['bytes_on_disk'] / 2**30:.2f} GiB "
            f"in {info['write_s']:.0f} s")
        result["dataset"] = info

        import dask.dataframe as dd
        from dask.distributed import Client, LocalCluster

        import ordinata_frames as of

        with LocalCluster(n_workers=args.workers, threads_per_worker=1, memory_limit=limit, processes=True,
                          host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
            pids = {addr: int(pid) for addr, pid in client.run(os.getpid).items()}
            names = {addr: f"worker {i}" for i, addr in enumerate(sorted(pids))}
            ddf = dd.read_parquet(str(data))
            result["npartitions"] = ddf.npartitions
            # Imports and first-call costs, on a few partitions, before any measurement.
            small = ddf.partitions[: 2 * args.workers]
            small.sum().compute()
            of.ols(FORMULA, small)
            of.ols(FORMULA, small, vcov="HC1")
            client.run(__import__("gc").collect)
            time.sleep(1.0)
            sampler = Sampler({names[a]: p for a, p in pids.items()}, args.interval)
            sampler.thread.start()
            phases = [("ddf.sum() (dask floor)", lambda: ddf.sum().compute()),
                      ("of.ols classical", lambda: of.ols(FORMULA, ddf)),
                      ("of.ols HC1", lambda: of.ols(FORMULA, ddf, vcov="HC1"))]
            for label, run in phases:
                client.run(__import__("gc").collect)
                time.sleep(0.5)
                idle = {names[a]: (_status_kb(p, "VmRSS") or 0) * 1024 for a, p in pids.items()}
                hwm_reset = all(_reset_hwm(p) for p in pids.values())
                sampler.reset()
                t0 = time.perf_counter()
                error = None
                try:
                    run()
                except Exception as exc:  # reported with the phase
                    error = f"{type(exc).__name__}: {' '.join(str(exc).split())[:300]}"
                seconds = time.perf_counter() - t0
                time.sleep(2 * args.interval)
                peaks, samples = sampler.read()
                hwm = {names[a]: (_status_kb(p, "VmHWM") or 0) * 1024 for a, p in pids.items()}
                now = {addr: int(pid) for addr, pid in client.run(os.getpid).items()}
                restarted = sorted(names.get(a, a) for a in set(pids) | set(now) if pids.get(a) != now.get(a))
                phase = {"phase": label, "seconds": seconds, "samples": samples, "error": error,
                         "restarted_workers": restarted, "hwm_reset": hwm_reset, "workers": {}}
                for addr in sorted(pids):
                    n = names[addr]
                    peak = max(peaks[n], hwm[n]) if hwm_reset else peaks[n]
                    phase["workers"][n] = {"pid": pids[addr], "idle_rss": idle[n], "sampled_peak_rss": peaks[n],
                                           "vmhwm": hwm[n] if hwm_reset else None, "peak_rss": peak,
                                           "peak_over_idle": peak - idle[n], "within_bound": peak <= bound}
                result["phases"].append(phase)
                log(f"{label}: {seconds:.1f} s" + (f", failed: {error}" if error else ""))
            sampler.stop.set()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print_report(result)
    if args.out:
        Path(args.out).write_text(json.dumps(result, indent=1, default=str), encoding="utf-8")
        log(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
