"""smooth()'s request run over the blocks of a DataArray (xarray.apply_ufunc,
lazily on dask), and its results named and assembled."""

import math

import numpy as np

from ._dispatch import run_block
from ._lambda import LAMBDA_EMPTY

# The output grid's dimension while it and the coordinate's coexist in one
# apply_ufunc call (the weights stay on the coordinate); renamed to `dim`.
_OUTPUT_DIM = "__tarnwold_output__"
# The dtypes of the per-series results; the others are the data's.
_SERIES_DTYPES = {"lam": np.float64, "edf": np.float64, "status": np.int8, "iterations": np.int64}
# The statuses of the selection, in the CF way of naming flag values.
_STATUS_ATTRS = {
    "flag_values": np.arange(LAMBDA_EMPTY + 1, dtype=np.int8),
    "flag_meanings": "ok at_lower at_upper flat too_few empty",
}


def smoothed_along(da, dim, inputs, request, x, out_dtype, grid, weighted, per_series):
    """smooth()'s result for `request` on `inputs` (the data, then the base
    weights when `weighted`, then the lams when `per_series`): the fit as a
    DataArray (on `grid`, the coordinate values of x_out, when given), or
    the Dataset of it and the diagnostics, followed by the final weights
    with return_weights."""
    import xarray as xr

    points = da.sizes[dim] if request.x_out is None else len(request.x_out)
    names = ("z",) + (("weights",) if request.return_weights else ()) + request.diagnostics
    core_dims = {"z": [_OUTPUT_DIM], "weights": [dim], "se": [_OUTPUT_DIM]}
    result = xr.apply_ufunc(
        _kernel,
        *inputs,
        kwargs={"request": request, "x": x, "names": names, "out_dtype": out_dtype, "weighted": weighted,
                "per_series": per_series},
        input_core_dims=[[dim]] * (len(inputs) - per_series) + [[]] * per_series,
        output_core_dims=[core_dims.get(name, []) for name in names],
        dask="parallelized",
        output_dtypes=[_SERIES_DTYPES.get(name, out_dtype) for name in names],
        dask_gufunc_kwargs={"output_sizes": {_OUTPUT_DIM: points}},
        keep_attrs="drop",
    )  # fmt: skip
    parts = dict(zip(names, result if len(names) > 1 else (result,)))
    for name in ("z", "se"):
        if name in parts:
            parts[name] = _on_dim(parts[name], da, dim, grid)
    smoothed = parts.pop("z").transpose(*da.dims)
    smoothed.name = da.name
    smoothed.attrs = dict(da.attrs)
    weights = parts.pop("weights", None)
    if request.return_diagnostics:
        # A variable named like a diagnostic would be overwritten by it.
        variables = {"smoothed" if da.name is None or da.name in names else da.name: smoothed}
        for name, part in parts.items():
            variables[name] = part.transpose(*(d for d in da.dims if d in part.dims))
        if "status" in variables:
            variables["status"].attrs = dict(_STATUS_ATTRS)
        smoothed = xr.Dataset(variables)
    if weights is None:
        return smoothed
    weights = weights.transpose(*da.dims)
    weights.name = "weights" if da.name is None else f"{da.name}_weights"
    return smoothed, weights


def _on_dim(part, da, dim, grid):
    """A result along the output grid, its dimension renamed to `dim` with
    the grid's coordinate; on the coordinate itself it keeps every
    coordinate of `da` along `dim`."""
    part = part.rename({_OUTPUT_DIM: dim})
    if grid is not None:
        return part.assign_coords({dim: grid})
    return part.assign_coords({name: da.coords[name] for name in da.coords if dim in da.coords[name].dims})


def _kernel(y, *rest, request, x, names, out_dtype, weighted, per_series):
    # Called with numpy blocks whose last axis is the smoothing dimension
    # (the lams have none); all other axes are flattened into the series
    # axis the dispatcher expects.
    shape = y.shape
    series = math.prod(shape[:-1])
    w = rest[0] if weighted else None
    lams = rest[-1] if per_series else None
    y_st = y.reshape(series, shape[-1])
    w_st = None if w is None else np.broadcast_to(w, shape).reshape(series, shape[-1])
    found = run_block(request, x, y_st, w_st, None if lams is None else np.broadcast_to(lams, shape[:-1]).reshape(-1))
    parts = []
    for name in names:
        value = found[name]
        if name in _SERIES_DTYPES:
            parts.append(np.asarray(value, dtype=_SERIES_DTYPES[name]).reshape(shape[:-1]))
        else:
            parts.append(value.reshape(shape[:-1] + (value.shape[1],)).astype(out_dtype, copy=False))
    return tuple(parts) if len(parts) > 1 else parts[0]
