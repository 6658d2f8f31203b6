"""smooth() on an output grid of the caller's choosing, or its rates: the
fit of evaluate_lambda (lam a number) or select_lambda (lam a criterion)
returned at x_out, whose dimension takes x_out's length and coordinate."""

import math

import numpy as np

from ._lambda import _check_derivative
from ._output_grid import output_positions
from ._smoothing import evaluate_block, select_block


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


def check_output_request(method, dtype, options, derivative, return_se):
    """What the output grid needs: the plain smoother, the envelope or the
    robust smoother with lam chosen, a positive lam or a criterion (the
    envelope's default), float64, and a derivative of order 0, 1 or 2, not
    asked for with the fit's se. Checked before any data is touched: with
    dask a worker would otherwise be the first to find out."""
    _check_derivative(derivative, return_se)
    if method == "robust" and not isinstance(options.get("lam"), str):
        # The module's robust smoother fits on the observations' grid only.
        raise ValueError("x_out and derivative need method='whittaker' or 'envelope', "
                         "or method='robust' with lam a criterion")
    if dtype is not None and np.dtype(dtype) != np.float64:
        raise ValueError("x_out and derivative compute in float64; dtype does not apply")
    lam = options.get("lam", "vcurve" if method == "envelope" else None)
    if lam is None or (not isinstance(lam, str) and not lam > 0):
        # At lam = 0 the fit between observations would be an invention.
        raise ValueError("x_out and derivative need lam > 0 or a criterion")


def output_kernel(y, w=None, *, x, x_out, criterion, derivative, return_se, out_dtype, options):
    """One block of series (last axis along the coordinate) on the output
    grid: the fit (or its derivative) and, with a criterion, lam, edf,
    status and se."""
    shape = y.shape
    series = math.prod(shape[:-1])
    y_st = np.asarray(y, dtype=np.float64).reshape(series, shape[-1])
    w_st = None if w is None else np.broadcast_to(w, shape).reshape(series, shape[-1])
    points = shape[-1] if x_out is None else len(x_out)
    if criterion is None:
        z = evaluate_block(x, y_st, w_st, options=options, x_out=x_out, derivative=derivative)
        return z.reshape(shape[:-1] + (points,)).astype(out_dtype, copy=False)
    settings = dict(options, x_out=x_out, derivative=derivative)
    chosen = select_block(x, y_st, w_st, criterion=criterion, return_se=return_se, options=settings)
    parts = [chosen.z.reshape(shape[:-1] + (points,)).astype(out_dtype, copy=False)]
    parts += [getattr(chosen, name).reshape(shape[:-1]) for name in ("lam", "edf", "status")]
    if return_se:
        parts.append(chosen.se.reshape(shape[:-1] + (points,)).astype(out_dtype, copy=False))
    return tuple(parts)

