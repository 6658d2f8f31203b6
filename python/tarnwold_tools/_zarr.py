"""Zarr stores for the command line: variables smoothed along one dimension,
read, smoothed and written chunk by chunk, so that a cube larger than the
memory goes through. Dimensions and variables are chosen as in NetCDF
files; the output store has the input's Zarr format."""

import math
import warnings
from dataclasses import dataclass
from collections.abc import Callable

import numpy as np

from ._cli_common import UsageError, first_line, note, require
from ._netcdf import PACKING, cube_axis, on_grid, rate_attrs
from ._smoothing import result_dtype


@dataclass
class ZarrCube:
    """A Zarr store's series, not read yet, and how to smooth them into
    another store. Reads like the Loaded of the other formats where the
    output grid is concerned (x_values, grid_refusal, parts)."""

    x: np.ndarray  # float64 positions (days for times)
    x_values: np.ndarray  # the positions as read
    series: int
    # write(smoothed, path, progress, grid): smoothed(y_st) gives the fit of
    # a block of series (S, T) in float64; path is the new store.
    write: Callable
    grid_refusal: str | None = None
    parts: None = None  # every series shares the positions x


def open_zarr_cube(path, dim, variables, derivative=0):
    xr = require("xarray", "reading Zarr stores")
    require("zarr", "reading Zarr stores")
    require("dask", "reading Zarr stores")
    try:
        with warnings.catch_warnings():
            # Version 3 stores carry consolidated metadata only as an extension.
            warnings.filterwarnings("ignore", message="Consolidated metadata")
            dataset = xr.open_zarr(path)
        zarr_format = _zarr_format(path)
    except Exception as error:
        raise UsageError(f"cannot read {path}: {first_line(error)}") from None
    dim, variables, x_values, x, step = cube_axis(dataset, dim, variables)
    series = sum(math.prod(dataset[name].shape) // x.size for name in variables)

    def write(smoothed, out_path, progress, grid=None):
        import dask

        out = dataset.copy() if grid is None else on_grid(dataset, dim, variables, grid)
        points = x.size if grid is None else len(grid)
        with progress.stage("smoothing", series, "series") as bar:
            for name in variables:
                out[name] = _smoothed_variable(name, dataset[name], dim, smoothed, points, bar, derivative, step)
            # One chunk at a time: the module's worker pool already uses
            # every core on a chunk's series, and the memory holds a chunk
            # (whole along the dimension) rather than one per thread.
            with dask.config.set(scheduler="synchronous"), warnings.catch_warnings():
                # Consolidated metadata, which readers look for first, and the
                # input's own data types are no news to the user.
                warnings.filterwarnings("ignore", message="Consolidated metadata")
                warnings.filterwarnings("ignore", message=".*does not have a Zarr V3 spec")
                out.to_zarr(out_path, mode="w", zarr_format=zarr_format)

    return ZarrCube(x, x_values, series, write)


def _zarr_format(path):
    import zarr

    return zarr.open_group(str(path), mode="r").metadata.zarr_format


def _smoothed_variable(name, var, dim, smoothed, points, bar, derivative, step):
    """The variable `var` smoothed along `dim` onto `points` positions, as a
    lazy array: each chunk, whole along `dim`, is smoothed when written."""
    import dask.array as da
    import xarray as xr

    moved = var.transpose(..., dim)
    data = da.asarray(moved.data).rechunk({moved.ndim - 1: -1})
    out_dtype = result_dtype(var.dtype)

    def block(values):
        shape = values.shape
        y_st = np.asarray(values, dtype=np.float64).reshape(-1, shape[-1])
        z_st = smoothed(y_st).astype(out_dtype, copy=False)
        bar.update(y_st.shape[0])
        return z_st.reshape(shape[:-1] + (points,))

    fitted = data.map_blocks(block, dtype=out_dtype, chunks=data.chunks[:-1] + ((points,),))
    result = xr.Variable(moved.dims, fitted, attrs=var.attrs).transpose(*var.dims)
    # The chunks on disk follow the computation's (whole along the dimension).
    encoding = {key: value for key, value in var.encoding.items()
                if key not in ("chunks", "preferred_chunks", "shards", "original_shape", "coordinates")}
    stored = np.dtype(encoding.get("dtype", out_dtype))
    if derivative:
        result.attrs = rate_attrs(var.attrs, derivative, step)
        encoding = {key: value for key, value in encoding.items() if key not in PACKING}
    elif stored.kind in "iu":
        # Values smoothed as they are written cannot be checked against the
        # packing's range first: floats hold them whatever they are.
        note(f"{name!r} written as unpacked floats: its smoothed values are not checked against its integer packing")
        encoding = {key: value for key, value in encoding.items() if key not in PACKING}
    result.encoding = encoding
    return result
