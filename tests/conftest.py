"""The dask tests' cluster: two worker processes on this machine, started for a test module
and closed at its end (a cluster left running would allocate in this process during the
tests after it, the leak checks among them)."""

import os

import pytest


@pytest.fixture(scope="module")
def client():
    if os.environ.get("ORDINATA_SANITIZED"):
        # The sanitizer runs rebuild the core module only, and the workers would inherit its runtime.
        pytest.skip("the dask fits run on the uninstrumented private extension")
    distributed = pytest.importorskip("distributed")
    # Port 0: the scheduler's HTTP server takes a free port rather than a taken 8787.
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address="127.0.0.1:0", memory_limit="1GiB") as cluster,
          distributed.Client(cluster) as c):
        yield c
