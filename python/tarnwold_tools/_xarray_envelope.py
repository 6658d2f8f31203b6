"""smooth(method="envelope"): the upper envelope or baseline of every series,
on the coordinate or on an output grid, with the final weights on the
coordinate."""

import math

import numpy as np

from ._smoothing import envelope_block
from ._xarray_output import output_grid

# The output grid's dimension while it and the coordinate's coexist in one
# apply_ufunc call (the weights stay on the coordinate); renamed to `dim`.
_OUTPUT_DIM = "__tarnwold_output__"


def envelope_along(da, dim, inputs, x, out_dtype, return_weights, options, x_out, derivative):
    """smooth()'s results for method="envelope", unnamed: the fit (on x_out,
    or its derivative, when asked) and with return_weights the final
    weights."""
    import xarray as xr

    if x_out is None:
        positions_out, coordinate = None, (da[dim].values if dim in da.coords else None)
    else:
        positions_out, coordinate = output_grid(da, dim, x_out, derivative)
    points = da.sizes[dim] if x_out is None else len(positions_out)
    outputs = 2 if return_weights else 1
    result = xr.apply_ufunc(
        _envelope_kernel,
        *inputs,
        kwargs={"x": x, "x_out": positions_out, "derivative": derivative, "return_weights": return_weights,
                "out_dtype": out_dtype, "options": options},
        input_core_dims=[[dim]] * len(inputs),
        output_core_dims=[[_OUTPUT_DIM], [dim]][:outputs],
        dask="parallelized",
        output_dtypes=[out_dtype] * outputs,
        dask_gufunc_kwargs={"output_sizes": {_OUTPUT_DIM: points}},
        keep_attrs="drop",
    )  # fmt: skip
    results = result if return_weights else (result,)
    smoothed = results[0].rename({_OUTPUT_DIM: dim})
    if coordinate is not None:
        smoothed = smoothed.assign_coords({dim: coordinate})
    if x_out is None:
        # On the coordinate the result keeps every coordinate along `dim`.
        smoothed = smoothed.assign_coords({name: da.coords[name] for name in da.coords if dim in da.coords[name].dims})
    return (smoothed, *results[1:])


def _envelope_kernel(y, w=None, *, x, x_out, derivative, return_weights, out_dtype, options):
    shape = y.shape
    series = math.prod(shape[:-1])
    y_st = y.reshape(series, shape[-1])
    w_st = None if w is None else np.broadcast_to(w, shape).reshape(series, shape[-1])
    found = envelope_block(x, y_st, w_st, options=options, x_out=x_out, derivative=derivative)
    z = found.z.reshape(shape[:-1] + (found.z.shape[1],)).astype(out_dtype, copy=False)
    if not return_weights:
        return z
    return z, found.weights.reshape(shape).astype(out_dtype, copy=False)
