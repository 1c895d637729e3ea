"""The wild cluster bootstrap against the wildboottest package: B = 9,999 draws of
one coefficient on 10^6 rows in 50 clusters, WCR and WCU, Rademacher weights.

Run with ``python -m benchmarks.wild_bootstrap [rows] [clusters]``; it prints the
seconds of the fit, of the bootstrap after the fit (the pass over the rows and
the draws) and of wildboottest on the same statsmodels design. A measurement,
not a test.
"""

from __future__ import annotations

import sys
import time
import warnings

import numpy as np
import pandas as pd


def main(rows: int = 1_000_000, clusters: int = 50, draws: int = 9999) -> None:
    import statsmodels.api as sm
    from wildboottest.wildboottest import wildboottest

    import ordinata_frames as of

    rng = np.random.default_rng(0)
    g = rng.integers(0, clusters, rows)
    df = pd.DataFrame({"x1": rng.normal(size=rows), "x2": rng.normal(size=rows), "g": g})
    df["y"] = 1.0 + 0.01 * df.x1 + rng.normal(size=clusters)[g] + rng.normal(size=rows)
    start = time.perf_counter()
    fit = of.ols("y ~ x1 + x2", df, vcov={"CRV1": "g"})
    print(f"fit: {time.perf_counter() - start:.3f} s")
    model = sm.OLS(df.y.to_numpy(), sm.add_constant(df[["x1", "x2"]].to_numpy()))
    model.data.xnames = ["Intercept", "x1", "x2"]
    for impose_null in (True, False):
        start = time.perf_counter()
        ours = fit.wildboottest("x2", df, B=draws, impose_null=impose_null, seed=1)
        mine = time.perf_counter() - start
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            # once to compile its numba kernel, then timed
            wildboottest(model, B=draws, cluster=g, param="x2", impose_null=impose_null, seed=1, show=False)
            start = time.perf_counter()
            theirs = wildboottest(model, B=draws, cluster=g, param="x2", impose_null=impose_null, seed=1, show=False)
            elapsed = time.perf_counter() - start
        kind = "WCR" if impose_null else "WCU"
        print(f"{kind}: ordinata_frames {mine:.3f} s (t {ours.statistic:.6f}, p {ours.pvalue:.4f}); "
              f"wildboottest {elapsed:.3f} s (t {float(np.ravel(theirs['statistic'].iloc[0])[0]):.6f}, "
              f"p {float(theirs['p-value'].iloc[0]):.4f}); {elapsed / mine:.1f}x")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
