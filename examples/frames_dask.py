"""Out of core: a Parquet dataset of a few million rows fitted on a two-worker
dask cluster, beside the in-memory fit of the same rows."""

import tempfile
from pathlib import Path

from common import banner
from frames import needs_frames

ROWS = 3_000_000
FILES = 6


def write(folder):
    """The dataset in files of half a million rows, never all of it in memory at once."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(2026)
    for i in range(FILES):
        n = ROWS // FILES
        firm = rng.integers(0, 2000, n)
        x = rng.normal(size=(n, 3))
        frame = pd.DataFrame({"firm": firm, "capital": 100.0 + 10.0 * x[:, 0], "labour": x[:, 1],
                              "rnd": x[:, 2], "sector": rng.choice(["manufacturing", "services", "retail"], n)})
        frame["output"] = (2.0 + 0.3 * frame.capital + 0.6 * frame.labour + 0.1 * frame.rnd
                           + 0.5 * (frame.sector == "services") + rng.standard_t(6, n))
        frame.to_parquet(Path(folder) / f"part-{i}.parquet")


@needs_frames
def cluster_fit():
    try:
        import dask.dataframe as dd
        from distributed import Client, LocalCluster
    except ImportError as error:
        print(f"[skipped] cluster_fit: {error} (pip install 'ordinata[dask]')")
        return
    import pandas as pd

    import ordinata_frames as of

    formula = "output ~ capital + labour + rnd + C(sector)"
    with tempfile.TemporaryDirectory() as folder:
        write(folder)
        with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster, \
                Client(cluster):
            banner(f"ordinata_frames on dask: {ROWS:,} rows of Parquet on a two-worker LocalCluster, "
                   "clustered by firm")
            ddf = dd.read_parquet(folder)
            print(of.ols(formula, ddf, vcov={"CRV1": "firm"}).summary())
        banner("The same rows in memory")
        print(of.ols(formula, pd.read_parquet(folder), vcov={"CRV1": "firm"}).summary())


if __name__ == "__main__":
    cluster_fit()
