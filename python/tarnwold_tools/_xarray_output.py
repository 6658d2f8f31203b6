"""smooth()'s arguments that come as arrays beside the data: the output grid
x_out, and lam given per series."""

import numpy as np

from ._output_grid import output_positions


def output_grid(da, dim, x_out, derivative):
    """(positions in the units smooth() gives the coordinate, coordinate
    values) of x_out: an array like the coordinate, or on a datetime
    coordinate also a pandas frequency string ("1D", "10D"). Checked here,
    so that with dask a grid out of order or too short for the derivative
    fails when the computation is set up, not in a worker."""
    coordinate = da[dim].values if dim in da.coords else np.arange(da.sizes[dim], dtype=np.float64)
    timed = coordinate.dtype.kind in "mM"
    if isinstance(x_out, str):
        if coordinate.dtype.kind != "M":
            raise ValueError(f"x_out={x_out!r} (a frequency) needs a datetime coordinate along {dim!r}")
        import pandas as pd

        values = pd.date_range(coordinate[0], coordinate[-1], freq=x_out).values
    else:
        values = np.asarray(x_out)
        if (values.dtype.kind in "mM") != timed or (timed and values.dtype.kind != coordinate.dtype.kind):
            raise TypeError(f"x_out must be of the kind of the coordinate {dim!r} ({coordinate.dtype})")
    if values.ndim != 1 or values.size == 0:
        raise ValueError("x_out must be a non-empty 1-D array")
    positions = output_positions((values - coordinate[0]) / np.timedelta64(1, "D") if timed else values)
    if positions.shape[0] < derivative + 1:
        raise ValueError(f"derivative={derivative} needs at least {derivative + 1} output positions")
    return positions, values


def lams_per_series(lam, da, dim):
    """One lam per series as a DataArray over the dimensions of `da` other
    than `dim`, in their order, in memory: `lam` is a DataArray over some of
    them (aligned exactly, broadcast over the rest) or an array of their
    shape. Its values are checked where the request is made."""
    import xarray as xr

    others = [name for name in da.dims if name != dim]
    template = da.isel({dim: 0}, drop=True)
    if not isinstance(lam, xr.DataArray):
        values = np.asarray(lam)
        shape = tuple(da.sizes[name] for name in others)
        if values.shape != shape:
            raise ValueError(f"lam given per series must have the shape of the other dimensions {others}, {shape}, "
                             f"not {values.shape}")
        lam = xr.DataArray(values, dims=others, coords={name: template.coords[name] for name in template.coords})
    extra = [name for name in lam.dims if name not in others]
    if extra:
        raise ValueError(f"lam per series has dimensions that the series lack: {extra}")
    xr.align(template, lam, join="exact")
    lam = lam.broadcast_like(template).transpose(*others).compute()
    if lam.dtype.kind not in "iuf":
        raise TypeError(f"lam per series must hold numbers, not {lam.dtype}")
    return lam.astype(np.float64)
