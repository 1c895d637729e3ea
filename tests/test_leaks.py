"""Repeated calls to every member of every class must not grow Python
objects, reference counts or native memory."""

import gc
import inspect
import os
import resource
import sys

import numpy as np
import pytest

import ordinata


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def arguments(cls, n=30, p=3):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(n, p))
    z = x + rng.normal(size=(n, p)) if cls.__name__ == "IV" else np.column_stack([x, rng.normal(size=n)])
    return {
        "x": x, "regressors": x, "instruments": z, "y": x @ np.ones(p) + rng.normal(size=n),
        "targets": x @ np.ones(p) + rng.normal(size=n), "weights": rng.uniform(0.5, 2, size=n),
        "sigma": np.eye(n) + 0.1, "entity_id": (np.arange(n) % 4).astype(np.int64), "alpha": 0.1,
    }


def members(cls):
    for name, value in vars(cls).items():
        if name.startswith("__"):
            continue
        if inspect.isgetsetdescriptor(value):
            yield name, None
        else:
            sig = value.__text_signature__.strip("()").split(",")[1:]
            yield name, [s.strip().split("=")[0] for s in sig]


def exercise(obj, calls, args):
    for name, params in calls:
        if params is None:
            getattr(obj, name)
        else:
            getattr(obj, name)(*[args[p] for p in params])
    repr(obj)
    # failures release what they hold too
    for bad in (lambda: obj.fit(), lambda: obj.predict(np.ones((2, 9))), lambda: type(obj)(fit_intercept=1)):
        try:
            bad()
        except (TypeError, ValueError, RuntimeError):
            pass


@pytest.mark.parametrize("cls", [getattr(ordinata, c) for c in ordinata.__all__], ids=lambda c: c.__name__)
def test_repeated_calls_do_not_grow_memory(cls):
    args = arguments(cls)
    obj = cls()
    calls = sorted(members(cls), key=lambda m: m[0] != "fit")  # fit first
    for _ in range(300):  # warm up caches and allocator pools
        exercise(obj, calls, args)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_kib()
    refs = [sys.getrefcount(v) for v in args.values()]
    for _ in range(3000):
        exercise(obj, calls, args)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    assert [sys.getrefcount(v) for v in args.values()] == refs
    if not os.environ.get("ORDINATA_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert rss_kib() - rss < 2048
