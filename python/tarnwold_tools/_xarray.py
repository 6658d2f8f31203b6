"""Smoothing of xarray DataArrays along a named dimension, in memory or lazily with dask."""

import dataclasses

import numpy as np

from ._days import positions
from ._request import gap_in_units, make_request
from ._smoothing import check_options, check_real, resolve_dtype, result_dtype
from ._xarray_apply import smoothed_along
from ._xarray_output import lams_per_series, output_grid

# The arguments of smooth() as its refusals name them.
_NAMES = {
    "return_weights": "return_weights=True",
    "return_diagnostics": "return_diagnostics=True",
    "return_se": "return_se=True",
    "whittaker": "method='whittaker'",
    "robust": "method='robust'",
    "envelope": "method='envelope'",
    "lam": "lam",
    "criterion": "lam={lam!r}",
    "dtype": "dtype='float32'",
    "merge_x_tol": "merge_x_tol",
}


def smooth(da, dim, *, method="whittaker", dtype=None, weights=None, return_weights=False,
           return_diagnostics=False, return_se=False, x_out=None, derivative=0, extrapolate=False, max_gap=None,
           **options):
    """Smooth every series of a DataArray along the dimension `dim`.

    Each one-dimensional slice of `da` along `dim` is one series; all of them
    share the sampling positions given by the coordinate of `dim` (0, 1, 2, ...
    when it has none). A datetime64 or timedelta64 coordinate is converted to
    days since its first value, so `lam`, `merge_x_tol` and the spacing of the
    grid are in days. Missing values (NaN, or masked) get weight zero and are
    filled by the fit. A series without a single finite observation comes out
    NaN, and so do the missing positions when lam=0: there the fit would be
    an invention. So does every position before a series' first and after
    its last observation (a finite value with a positive weight), where the
    fit only continues itself, unless extrapolate=True, as interpolation in
    xarray and pandas does not extrapolate either. The result has the
    dimensions, coordinates, name and attributes of `da`; only the values
    change.

    Every combination of method, lam (a number, one per series or a
    criterion), output grid, derivative and what comes back beside the fit
    works, except those that mean nothing, which are refused with the reason
    when the computation is set up: return_weights with method="whittaker"
    (its weights are the base weights), return_se without
    return_diagnostics, with a derivative or with method="envelope" (its
    weights are no precisions), dtype="float32" beyond the module's
    smoothers at a given lam on the coordinate, x_out or a derivative with
    lam left out or 0 somewhere, and merge_x_tol wherever the robust
    smoother does not run as the module's (a criterion, x_out, a derivative,
    diagnostics).

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
    method : {"whittaker", "robust", "envelope"}, default "whittaker"
        "whittaker" is the single-pass weighted smoother
        (`tarnwold.whittaker_solve_*`); "robust" is the smoother by
        iteratively reweighted least squares (`tarnwold.robust_whittaker_irls_*`),
        which with `return_weights=True` also gives the weight of every
        observation in its final fit; with lam a criterion it is
        `tarnwold_tools.robust` (in float64), which chooses lam per series on
        the robust weights, pass by pass. "envelope" fits with asymmetric
        weights (`tarnwold_tools.envelope`, in float64): the option `p`
        (default 0.9) above 0.5 gives the upper envelope (vegetation
        indices biased low by clouds), below 0.5 a baseline under peaks;
        lam is a number, one per series, or a criterion (default "reml"),
        chosen per series on the asymmetric weights. The module's third operation,
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
        With method="robust" or "envelope", also return the total weight of
        every observation in the final fit, as a second DataArray (on the
        coordinate of `dim` also when x_out is given), after the Dataset
        with return_diagnostics=True.
    return_diagnostics : bool, default False
        Return a Dataset holding the smoothed variable (named like `da`, or
        "smoothed") and, for every series, its `lam` (with a criterion the
        chosen one, NaN where none could be chosen) and the effective degrees
        of freedom `edf` of its fit; with lam a criterion also the `status`
        of the choice (LAMBDA_OK .. LAMBDA_EMPTY, also named in the
        variable's flag attributes); with method="robust" or "envelope" also
        the number of `iterations` it took (fits for the robust smoother,
        reweightings for the envelope). For a given lam the edf is
        `evaluate_lambda`'s at it (with the final weights after an envelope,
        from `tarnwold_tools.robust` for the robust smoother), in float64.
    return_se : bool, default False
        With return_diagnostics=True, add `se`: the posterior standard error
        of the fit at every position, also at missing ones (NaN where the fit
        is).
    x_out : array or str, optional
        Positions to return the fit at instead of the coordinate of `dim`:
        an array of the coordinate's kind (datetime64 on a datetime
        coordinate), or on a datetime coordinate a pandas frequency ("1D",
        "10D") for the dates from its first to its last value. `dim` then
        takes their length and they become its coordinate. The fit is
        `evaluate_lambda`'s (lam a number > 0) or `select_lambda`'s (lam a
        criterion, chosen on the observations) on the union of the
        coordinate and x_out, in float64; with method="envelope" the weights
        are decided on the observations and the fit at their final lam and
        weights is computed on the union, and with method="robust"
        (`tarnwold_tools.robust`, also for a given lam: the module's robust
        smoother fits on the coordinate) the fit at the final lam and robust
        weights.
    derivative : {0, 1, 2}, default 0
        Return the first or second derivative of the fit along the output
        grid (x_out, else the coordinate), in the coordinate's units (per day
        on a datetime coordinate); as x_out for the rest. Where the fit is
        NaN (see extrapolate, max_gap) so is its derivative.
    extrapolate : bool, default False
        Also return the fit before each series' first and after its last
        observation: the polynomial of degree d - 1 the smoother continues
        with there, an extrapolation rather than an estimate.
    max_gap : number, str or timedelta, optional
        NaN at every output position strictly inside a gap between two
        consecutive observations of a series more than `max_gap` apart (the
        observations themselves keep their values): a number in the
        coordinate's units (days on a datetime coordinate) or there also a
        time span, a pandas Timedelta text ("30D", "12h") or a
        numpy.timedelta64. Independent of extrapolate.
    **options
        Passed to the function computing the request unchanged: `lam`, `d`, `ridge`,
        `normalize`, `eps`, `parallel` for every method, `iterations`,
        `weighting`, `scale`, `tuning`, `merge_x_tol` for method="robust", and
        `p`, `iterations`, `tol` for method="envelope". Left out, each has the
        default of the module's function (of `tarnwold_tools.envelope` for
        method="envelope"), except `ridge` with method="whittaker" and a
        numeric lam: 0 for a series with at least d observations, whose
        system needs none (a ridge bends the fit towards 0 beyond the last
        observation), 1e-10 for the others; with a criterion, x_out,
        derivative or method="envelope" as in `select_lambda`, and with
        method="robust" and a criterion as in `tarnwold_tools.robust`. `lam`
        may be a criterion, "reml", "gcv", "loocv" or "vcurve": lam is then
        chosen for every series on its own on its default grid, in float64
        (dtype="float32" is refused), by `select_lambda` with
        method="whittaker", and with method="robust" by
        `tarnwold_tools.robust` on the total weights of every pass, which its
        reweighting changes. That path fits every series on its positions as
        they are: `merge_x_tol` is refused with a criterion. `lam` may also
        be one per series: a DataArray over the other dimensions (aligned
        exactly with `da`, broadcast over those it lacks) or an array of
        their shape; the robust smoother at a given lam takes the module's
        defaults (iterations 1, ridge 1e-10) also where
        `tarnwold_tools.robust` computes it.

    Returns
    -------
    xarray.DataArray, a pair (smoothed, weights) with return_weights=True, or
    an xarray.Dataset with return_diagnostics=True.

    Notes
    -----
    Every series is smoothed on its own and the results are bit-identical for
    every chunking, scheduler and number of threads, with one exception: the
    float32 robust smoother reruns all the series of one call in float64 when
    one of them fails its stability test, so a chunk holding such a series gets
    float64-based results for all of its series. Use float64 where results must
    not depend on the chunking. With a criterion the robust smoother
    computes in float64 and each series on its own: no exception there.
    """
    import xarray as xr

    lam = options.pop("lam", None)
    check_options(method, options)
    if not isinstance(da, xr.DataArray):
        raise TypeError(f"da must be an xarray.DataArray, not {type(da).__name__}")
    if dim not in da.dims:
        raise ValueError(f"{dim!r} is not a dimension of the DataArray; its dimensions are {da.dims}")
    check_real(da.dtype, "the DataArray")
    coordinate = da[dim].values if dim in da.coords else None
    per_series = None if isinstance(lam, str) or np.ndim(lam) == 0 else lams_per_series(lam, da, dim)
    request = make_request(
        method, lam, per_series_lams=None if per_series is None else per_series.values, other_grid=x_out is not None,
        derivative=derivative, return_weights=return_weights, return_diagnostics=return_diagnostics,
        return_se=return_se, dtype=resolve_dtype(dtype), extrapolate=extrapolate,
        max_gap=gap_in_units(max_gap, coordinate is not None and coordinate.dtype.kind in "mM"), options=options,
        names=_NAMES | {"grid": "x_out" if x_out is not None else "derivative"},
    )  # fmt: skip
    try:
        x = positions(da[dim].values).astype(np.float64)
    except TypeError as error:
        raise TypeError(f"coordinate {dim!r}: {error}") from None
    # Checked here rather than left to the module, so that a lazy computation
    # fails when it is set up, not when a worker first runs it.
    if not np.all(x.astype(request.dtype)[1:] > x.astype(request.dtype)[:-1]):
        raise ValueError(f"coordinate {dim!r} must be strictly increasing (as {request.dtype})")
    grid = None
    if x_out is not None:
        positions_out, grid = output_grid(da, dim, x_out, derivative)
        request = dataclasses.replace(request, x_out=positions_out)

    da = _whole_along(da, dim)
    inputs = [da]
    if weights is not None:
        inputs.append(_weights_like(weights, da, dim))
    if per_series is not None:
        # Chunked as the series are, so that every block of data meets its own lams.
        chunks = {name: sizes for name, sizes in zip(da.dims, da.chunks or ()) if name != dim}
        inputs.append(per_series.chunk(chunks) if da.chunks is not None else per_series)
    return smoothed_along(da, dim, inputs, request, x, result_dtype(da.dtype), grid, weights is not None,
                          per_series is not None)  # fmt: skip


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
