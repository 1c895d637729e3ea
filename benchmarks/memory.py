"""Peak memory of one fit, measured in a fresh process.

Usage: ``python -m benchmarks.memory WORKLOAD_KEY IMPL_INDEX [--quick]``;
prints one JSON object. The peak is the resident set (VmHWM), which sees
native allocations that tracemalloc does not. The peak is reset after the
data are built and the libraries warmed up, so it covers the fit alone.
"""

from __future__ import annotations

import gc
import json
import resource
import sys


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _reset_peak() -> bool:
    # Writing 5 to clear_refs resets VmHWM to the current RSS (Linux >= 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(key: str, index: int, quick: bool) -> dict:
    from .base import reference_bytes
    from .workloads import all_workloads

    wl = next(w for w in all_workloads() if w.key == key)
    impl = wl.impls[index]

    # Warm up on a small copy: imports, BLAS thread buffers, first-call caches.
    warm = wl.make(True)
    setup, run = impl.factory(warm)
    run(setup() if setup else None, 0)
    del warm, setup, run

    data = wl.make(True) if quick else wl.make(False)
    setup, run = impl.factory(data)
    state = setup() if setup else None
    gc.collect()
    baseline_kb = _status_kb("VmRSS")
    reset = _reset_peak()
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = run(state, 0)
    # Without a resettable peak, ru_maxrss is only meaningful if the fit went
    # above everything before it.
    peak_kb = _status_kb("VmHWM") if reset else max(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, maxrss_before)
    del result
    return {
        "workload": key,
        "impl": impl.label,
        "baseline_bytes": baseline_kb * 1024,
        "peak_extra_bytes": max(peak_kb - baseline_kb, 0) * 1024,
        "reference": wl.memory_ref,
        "reference_bytes": reference_bytes(data, wl.memory_ref),
        "method": "VmHWM reset" if reset else "ru_maxrss",
    }


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    print(json.dumps(measure(args[0], int(args[1]), "--quick" in sys.argv)))
