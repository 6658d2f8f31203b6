"""tarnwold_tools.smooth scaled out on a dask.distributed cluster of worker
processes on this machine: the results equal the in-memory call bit for bit."""

import logging
import os
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import tarnwold_tools  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.ERROR
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def data():
    rng = np.random.default_rng(11)
    days = np.cumsum(rng.integers(1, 6, 150))
    values = np.sin(days / 25.0)[:, None, None] + rng.normal(0.0, 0.2, (150, 12, 10))
    values[rng.random(values.shape) < 0.15] = np.nan
    values[rng.random(values.shape) < 0.03] -= 1.5
    time = np.datetime64("2022-01-01") + days.astype("timedelta64[D]")
    return xr.DataArray(values, dims=("time", "y", "x"), coords={"time": time, "y": np.arange(12)}, name="v", attrs={"units": "K"})


@pytest.mark.parametrize(
    ("method", "dtype", "options"),
    [("whittaker", "float64", {"lam": 20.0}), ("robust", "float32", {"lam": 20.0, "iterations": 4, "return_weights": True})],
)
def test_cluster_result_equals_in_memory(client, method, dtype, options):
    da = data()
    lazy = tarnwold_tools.smooth(da.chunk({"y": 3, "x": 5}), "time", method=method, dtype=dtype, **options)
    in_memory = tarnwold_tools.smooth(da, "time", method=method, dtype=dtype, **options)
    lazy = lazy if isinstance(lazy, tuple) else (lazy,)
    in_memory = in_memory if isinstance(in_memory, tuple) else (in_memory,)
    assert all(part.data.npartitions == 8 for part in lazy)

    on_cluster = client.compute(list(lazy), sync=True)

    # The work ran in the worker processes, which imported the package there.
    ran = client.run(lambda: (os.getpid(), "tarnwold_tools._xarray" in sys.modules))
    assert len(ran) == 2 and all(pid != os.getpid() and imported for pid, imported in ran.values())
    for remote, local in zip(on_cluster, in_memory):
        assert remote.identical(local)
        bits = f"u{local.dtype.itemsize}"
        np.testing.assert_array_equal(remote.values.view(bits), local.values.view(bits))
