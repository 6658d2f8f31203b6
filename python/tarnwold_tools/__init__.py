"""Companion tools for tarnwold: smoothing of xarray DataArrays (in memory or
with dask) and the command line `tarnwold-smooth`.

Importing this package needs only numpy and tarnwold; xarray, dask, pandas,
pyarrow, netCDF4, matplotlib and tqdm are imported when a tool needs them
(install them with the extras "xarray" and "cli").
"""

from ._xarray import smooth

__all__ = ["smooth"]
