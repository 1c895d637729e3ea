"""Repeated calls must not grow Python objects or native memory."""

import gc
import os
import resource
import sys

import numpy as np

from ordinata import OLS


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def exercise(m, x, y, bad):
    m.fit(x, y)
    m.predict(x)
    m.coefficients, m.residuals, m.intercept, m.mse, m.r_squared_adj, m.n_samples
    m.standard_errors(), m.t_statistics(), m.p_values(), m.confidence_intervals(0.1)
    m.covariance_matrix()
    m.summary()
    repr(m)
    for call in (lambda: m.fit(bad, y), lambda: m.predict(x[:, :1]), lambda: m.fit(x), lambda: OLS(fit_intercept=1)):
        try:
            call()
        except (ValueError, TypeError):
            pass


def test_ten_thousand_rounds_do_not_grow_memory():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(30, 3))
    y = rng.normal(size=30)
    bad = x.copy()
    bad[0, 0] = np.nan
    m = OLS(robust=True)
    for _ in range(500):  # warm up caches and allocator pools
        exercise(m, x, y, bad)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_kib()
    refs = sys.getrefcount(x), sys.getrefcount(y)
    for _ in range(10_000):
        exercise(m, x, y, bad)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    assert (sys.getrefcount(x), sys.getrefcount(y)) == refs
    if not os.environ.get("ORDINATA_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert rss_kib() - rss < 2048
