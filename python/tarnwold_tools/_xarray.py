"""Smoothing of xarray DataArrays along a named dimension, in memory or lazily with dask."""

import math

import numpy as np

from ._days import positions
from ._smoothing import check_real, check_request, resolve_dtype, result_dtype, smooth_block


def smooth(da, dim, *, method="whittaker", dtype=None, weights=None, return_weights=False, **options):
    """Smooth every series of a DataArray along the dimension `dim`.

    Each one-dimensional slice of `da` along `dim` is one series; all of them
    share the sampling positions given by the coordinate of `dim` (0, 1, 2, ...
    when it has none). A datetime64 or timedelta64 coordinate is converted to
    days since its first value, so `lam`, `merge_x_tol` and the spacing of the
    grid are in days. Missing values (NaN, or masked) get weight zero and are
    filled by the fit. A series without a single finite observation comes out
    NaN, and so do the missing positions when lam=0: there the fit would be
    an invention. The result has the dimensions, coordinates, name and
    attributes of `da`; only the values change.

    Works on any number of other dimensions, and lazily on dask-backed arrays:
    the series are smoothed chunk by chunk (`xarray.apply_ufunc` with
    dask="parallelized"), so a computation can run on any dask scheduler,
    including a distributed cluster. Smoothing needs whole series, so an array
    chunked along `dim` is first rechunked to a single chunk along it; chunk
    over the other dimensions to spread the work.

    Parameters
    ----------
    da : xarray.DataArray
        The series; any real numeric dtype (complex is an error).
    dim : str
        The dimension to smooth along. Its coordinate must be strictly
        increasing (after conversion to `dtype`).
    method : {"whittaker", "robust"}, default "whittaker"
        "whittaker" is the single-pass weighted smoother
        (`tarnwold.whittaker_solve_*`); "robust" is the smoother by
        iteratively reweighted least squares (`tarnwold.robust_whittaker_irls_*`),
        which with `return_weights=True` also gives the weight of every
        observation in its final fit. The module's third operation,
        `build_pb_*`, returns the penalty matrix rather than smoothed data, so it
        is no method here.
    dtype : {"float32", "float64"} or None, default None
        The precision of the computation, choosing the module's `_f32` or
        `_f64` function. None means float64 whatever the data's dtype. The
        result has the data's dtype when that is float32 or float64, float64
        otherwise.
    weights : xarray.DataArray, optional
        Base weight of every observation (`w_base_st`), broadcastable to `da`
        and aligned with it exactly; its dimensions must be among those of `da`.
    return_weights : bool, default False
        With method="robust", also return the total weight of every observation
        in the final fit, as a second DataArray.
    **options
        Passed to the module's function unchanged: `lam`, `d`, `ridge`,
        `normalize`, `eps`, `parallel` for both methods, and `iterations`,
        `weighting`, `scale`, `tuning`, `merge_x_tol` for method="robust". Left
        out, each has the module's default.

    Returns
    -------
    xarray.DataArray, or a pair (smoothed, weights) with return_weights=True.

    Notes
    -----
    Every series is smoothed on its own and the results are bit-identical for
    every chunking, scheduler and number of threads, with one exception: the
    float32 robust smoother reruns all the series of one call in float64 when
    one of them fails its stability test, so a chunk holding such a series gets
    float64-based results for all of its series. Use float64 where results must
    not depend on the chunking.
    """
    import xarray as xr

    check_request(method, options, return_weights)
    if not isinstance(da, xr.DataArray):
        raise TypeError(f"da must be an xarray.DataArray, not {type(da).__name__}")
    if dim not in da.dims:
        raise ValueError(f"{dim!r} is not a dimension of the DataArray; its dimensions are {da.dims}")
    check_real(da.dtype, "the DataArray")
    dtype = resolve_dtype(dtype)
    out_dtype = result_dtype(da.dtype)
    try:
        x = positions(da[dim].values).astype(dtype)
    except TypeError as error:
        raise TypeError(f"coordinate {dim!r}: {error}") from None
    # Checked here rather than left to the module, so that a lazy computation
    # fails when it is set up, not when a worker first runs it.
    if not np.all(x[1:] > x[:-1]):
        raise ValueError(f"coordinate {dim!r} must be strictly increasing (as {dtype})")

    da = _whole_along(da, dim)
    inputs = [da]
    if weights is not None:
        inputs.append(_weights_like(weights, da, dim))

    outputs = 2 if return_weights else 1
    result = xr.apply_ufunc(
        _smooth_kernel,
        *inputs,
        kwargs={"x": x, "method": method, "dtype": dtype, "out_dtype": out_dtype, "return_weights": return_weights, "options": options},
        input_core_dims=[[dim]] * len(inputs),
        output_core_dims=[[dim]] * outputs,
        dask="parallelized",
        output_dtypes=[out_dtype] * outputs,
        keep_attrs="drop",
    )
    results = result if return_weights else (result,)
    # apply_ufunc moves the core dimension last; give back the caller's order.
    smoothed = results[0].transpose(*da.dims)
    smoothed.name = da.name
    smoothed.attrs = dict(da.attrs)
    if not return_weights:
        return smoothed
    total_weights = results[1].transpose(*da.dims)
    total_weights.name = "weights" if da.name is None else f"{da.name}_weights"
    return smoothed, total_weights


def _whole_along(da, dim):
    """`da` with a single chunk along `dim` (unchanged when it is in memory)."""
    if da.chunks is not None and len(da.chunks[da.get_axis_num(dim)]) > 1:
        return da.chunk({dim: -1})
    return da


def _weights_like(weights, da, dim):
    import xarray as xr

    if not isinstance(weights, xr.DataArray):
        raise TypeError(f"weights must be an xarray.DataArray, not {type(weights).__name__}")
    extra = [name for name in weights.dims if name not in da.dims]
    if extra:
        raise ValueError(f"weights have dimensions that the data lack: {extra}")
    xr.align(da, weights, join="exact")
    weights = weights.broadcast_like(da).transpose(*da.dims)
    if da.chunks is not None:
        weights = weights.chunk(dict(zip(da.dims, da.chunks)))
    return weights


def _smooth_kernel(y, w=None, *, x, method, dtype, out_dtype, return_weights, options):
    # Called with numpy blocks whose last axis is the smoothing dimension; all
    # other axes are flattened into the series axis the module expects.
    shape = y.shape
    series = math.prod(shape[:-1])
    y_st = y.reshape(series, shape[-1])
    w_st = None if w is None else np.broadcast_to(w, shape).reshape(series, shape[-1])
    result = smooth_block(x, y_st, w_st, method=method, dtype=dtype, return_weights=return_weights, options=options)
    if return_weights:
        return tuple(part.reshape(shape).astype(out_dtype, copy=False) for part in result)
    return result.reshape(shape).astype(out_dtype, copy=False)
