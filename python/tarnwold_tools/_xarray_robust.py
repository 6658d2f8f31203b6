"""smooth(method="robust") with lam a criterion: robust() on every series, on
the coordinate or on an output grid, with the final weights on the
coordinate and the choice's diagnostics per series."""

import math

import numpy as np

from ._smoothing import robust_block
from ._xarray_output import output_grid

# The output grid's dimension while it and the coordinate's coexist in one
# apply_ufunc call (the weights stay on the coordinate); renamed to `dim`.
_OUTPUT_DIM = "__tarnwold_output__"
# What robust() reports per series, and the dtypes it reports them in.
_DIAGNOSTICS = {"lam": np.float64, "edf": np.float64, "status": np.int8, "iterations": np.int64}


def robust_along(da, dim, inputs, x, out_dtype, criterion, options, x_out, derivative, return_se):
    """smooth()'s results for method="robust" with lam chosen by `criterion`,
    unnamed: the fit (at x_out, or its derivative, when asked), the final
    weights on the coordinate, and a dict of the per-series lam, edf, status
    and iterations (and with return_se the fit's se on the fit's grid)."""
    import xarray as xr

    if x_out is None:
        positions_out, coordinate = None, (da[dim].values if dim in da.coords else None)
    else:
        positions_out, coordinate = output_grid(da, dim, x_out, derivative)
    points = da.sizes[dim] if x_out is None else len(positions_out)
    names = list(_DIAGNOSTICS) + (["se"] if return_se else [])
    core_dims = {"se": [_OUTPUT_DIM]}
    result = xr.apply_ufunc(
        _robust_kernel,
        *inputs,
        kwargs={"x": x, "x_out": positions_out, "derivative": derivative, "criterion": criterion,
                "return_se": return_se, "out_dtype": out_dtype, "options": options},
        input_core_dims=[[dim]] * len(inputs),
        output_core_dims=[[_OUTPUT_DIM], [dim]] + [core_dims.get(name, []) for name in names],
        dask="parallelized",
        output_dtypes=[out_dtype, out_dtype] + [_DIAGNOSTICS.get(name, out_dtype) for name in names],
        dask_gufunc_kwargs={"output_sizes": {_OUTPUT_DIM: points}},
        keep_attrs="drop",
    )  # fmt: skip
    smoothed, weights, *diagnostics = result
    along = [_on_dim(part, da, dim, coordinate, x_out is None) for part in (smoothed, *diagnostics[len(_DIAGNOSTICS):])]
    return along[0], weights, dict(zip(names, diagnostics[: len(_DIAGNOSTICS)] + along[1:]))


def _on_dim(part, da, dim, coordinate, on_coordinate):
    """A result along the output grid, its dimension renamed to `dim` with
    the grid's coordinate; on the coordinate itself it keeps every
    coordinate of `da` along `dim`."""
    part = part.rename({_OUTPUT_DIM: dim})
    if coordinate is not None:
        part = part.assign_coords({dim: coordinate})
    if on_coordinate:
        part = part.assign_coords({name: da.coords[name] for name in da.coords if dim in da.coords[name].dims})
    return part


def _robust_kernel(y, w=None, *, x, x_out, derivative, criterion, return_se, out_dtype, options):
    shape = y.shape
    series = math.prod(shape[:-1])
    y_st = y.reshape(series, shape[-1])
    w_st = None if w is None else np.broadcast_to(w, shape).reshape(series, shape[-1])
    found = robust_block(x, y_st, w_st, criterion=criterion, options=options, return_se=return_se, x_out=x_out,
                         derivative=derivative)  # fmt: skip
    along = shape[:-1] + (found.z.shape[1],)
    parts = [found.z.reshape(along).astype(out_dtype, copy=False), found.weights.reshape(shape).astype(out_dtype, copy=False)]
    parts += [getattr(found, name).reshape(shape[:-1]) for name in _DIAGNOSTICS]
    if return_se:
        parts.append(found.se.reshape(along).astype(out_dtype, copy=False))
    return tuple(parts)
