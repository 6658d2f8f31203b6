"""Choice of the tarnwold function for a method and a precision, and one call of it."""

import operator

import numpy as np

import tarnwold

from ._ends import fit_within_observations
from ._ridge import ridge_groups, solved_in_groups

METHODS = ("whittaker", "robust", "envelope")
# Names that, given as lam, choose lam per series by minimising the criterion.
CRITERIA = ("reml", "gcv", "loocv", "vcurve")

# Options every smoother accepts, and those only some methods know.
COMMON_OPTIONS = ("lam", "d", "ridge", "normalize", "eps", "parallel")
METHOD_OPTIONS = {
    "whittaker": (),
    "robust": ("iterations", "weighting", "scale", "tuning", "merge_x_tol"),
    "envelope": ("p", "iterations", "tol"),
}

_FUNCTIONS = {
    ("whittaker", np.float32): tarnwold.whittaker_solve_f32,
    ("whittaker", np.float64): tarnwold.whittaker_solve_f64,
    ("robust", np.float32): tarnwold.robust_whittaker_irls_f32,
    ("robust", np.float64): tarnwold.robust_whittaker_irls_f64,
}


def resolve_dtype(dtype):
    """The precision to compute in: float64 unless `dtype` asks for float32.
    The input's own dtype does not choose it, so that a float32 file and a
    float32 DataArray give the same numbers as their float64 copies."""
    if dtype is None:
        return np.dtype(np.float64)
    try:
        resolved = np.dtype(dtype)
    except TypeError:
        resolved = None
    if resolved not in (np.dtype(np.float32), np.dtype(np.float64)):
        raise ValueError(f"dtype must be float32 or float64, not {dtype!r}")
    return resolved


def result_dtype(data_dtype):
    """The dtype results are handed back in: the data's own float32 or
    float64, and float64 for everything else (integers, float16)."""
    data_dtype = np.dtype(data_dtype)
    if data_dtype.kind == "f" and data_dtype.itemsize in (4, 8):
        # In native byte order: a big-endian file's floats are the same numbers.
        return data_dtype.newbyteorder("=")
    return np.dtype(np.float64)


def check_real(dtype, what):
    """Complex values have no order to smooth along; dropping the imaginary
    part silently would hand back something else than was asked for."""
    if np.dtype(dtype).kind == "c":
        raise TypeError(f"{what} holds complex values; smooth the real and imaginary parts (or the magnitude) separately")


def check_options(method, options):
    """Rejects an unknown method, unknown options and options the method does
    not take, before any data is touched (with dask, before anything runs)."""
    if method not in METHODS:
        raise ValueError(f"method must be 'whittaker', 'robust' or 'envelope', not {method!r}")
    for name in options:
        if name in COMMON_OPTIONS or name in METHOD_OPTIONS[method]:
            continue
        taking = [f"{other!r}" for other, names in METHOD_OPTIONS.items() if name in names]
        if taking:
            raise ValueError(f"option {name!r} applies to method={' or '.join(taking)} only")
        known = ", ".join(dict.fromkeys(COMMON_OPTIONS + sum(METHOD_OPTIONS.values(), ())))
        raise TypeError(f"unknown option {name!r}; the options are {known}")
    if method == "envelope":
        from ._envelope import check_reweighting

        # Checked before any data is touched: with dask a bad p would only
        # surface when a worker first runs a chunk.
        check_reweighting(options.get("p", 0.9), options.get("iterations", 0), options.get("tol", 0.0))


def smooth_block(x, y_st, w_st=None, *, method, dtype, return_weights=False, options):
    """Smooths the rows of `y_st` (S, T) sampled at `x` (T,) with one call of the
    module, in the precision `dtype`. Returns z_st, or (z_st, w_total_st) when
    `return_weights` is true. Where the fit rests on no observation (a series
    without any, or a missing position with lam=0) z_st is NaN.

    The module treats every series on its own, so splitting a batch changes no
    result, with one exception: the float32 robust smoother reruns the whole
    batch of a call in float64 when one series of it fails its stability test.

    Without the option ridge the plain smoother solves the series with at
    least d observations with ridge 0, those whose observations do not
    reach the ends of x on their span and continued beyond it (_ends), and
    the others with the module's default (see _ridge). The robust smoother keeps the module's default:
    its reweighting may leave fewer than d observations any weight, and
    without a ridge such a system is singular.
    """
    function = _FUNCTIONS[method, dtype.type]
    x = np.ascontiguousarray(x, dtype=dtype)
    y_st = as_float(y_st, dtype, missing=np.nan, what="the data")
    if w_st is not None:
        w_st = as_float(w_st, dtype, missing=0.0, what="the weights")
    if method == "robust":
        result = function(x, y_st, w_st, return_weights=return_weights, **options)
    else:
        result = _plain_fit(function, x, y_st, w_st, options)
    z_st = result[0] if return_weights else result
    _hide_invented(z_st, y_st, w_st, options.get("lam"))
    return result


def _plain_fit(function, x, y_st, w_st, options):
    """The single-pass smoother's z_st, with ridge 0 where it may (see
    smooth_block)."""
    try:
        order = operator.index(options.get("d", 2))
    except TypeError:
        # No order to count observations against: the module rejects it in
        # its own words.
        return function(x, y_st, w_st, **options)
    groups = ridge_groups(options.get("ridge"), y_st, w_st, order)

    def solve(rows, ridge):
        weights = None if w_st is None else w_st[rows]
        if ridge == 0 and order >= 1:
            return (fit_within_observations(function, x, y_st[rows], weights, order, dict(options, ridge=0.0)),)
        return (function(x, y_st[rows], weights, **dict(options, ridge=ridge)),)

    return solved_in_groups(groups, y_st.shape[0], solve)[0]


def select_block(x, y_st, w_st=None, *, criterion, return_se=False, options):
    """Chooses lam for every row of `y_st` (S, T) by `criterion` and returns
    select_lambda's LambdaSelection. Always in float64: the criteria need
    the precision. Each series is chosen on its own (the default grid depends
    on `x` and the options only), so splitting a batch changes no result;
    a series without observations comes out NaN with status LAMBDA_EMPTY."""
    from ._lambda import select_lambda

    y_st = as_float(y_st, np.float64, missing=np.nan, what="the data")
    if w_st is not None:
        w_st = as_float(w_st, np.float64, missing=0.0, what="the weights")
    settings = {name: value for name, value in options.items() if name != "lam"}
    return select_lambda(x, y_st, w_st, criterion=criterion, return_se=return_se, **settings)


def robust_block(x, y_st, w_st=None, *, lam, options, return_se=False, x_out=None, derivative=0):
    """robust() of the rows of `y_st` (S, T) at `lam` (a criterion, a number
    or one per series), in float64, with `options` (the robust smoother's
    weighting, scale, tuning and iterations among them). Returns its
    RobustFit. Each series is reweighted (and its lam chosen) on its own, so
    splitting a batch changes no result; a series without observations
    comes out NaN (with status LAMBDA_EMPTY for a criterion)."""
    from ._robust import robust

    y_st = as_float(y_st, np.float64, missing=np.nan, what="the data")
    if w_st is not None:
        w_st = as_float(w_st, np.float64, missing=0.0, what="the weights")
    settings = {name: value for name, value in options.items() if name != "lam"}
    return robust(x, y_st, w_st, lam=lam, x_out=x_out, derivative=derivative, return_se=return_se, **settings)


def envelope_block(x, y_st, w_st=None, *, options, x_out=None, derivative=0):
    """envelope() of the rows of `y_st` (S, T) in float64, with `options`
    (lam a number, one per series, or a criterion, default "reml"). Returns its Envelope;
    with lam=0, z is NaN at the missing positions (see smooth_block; at
    x_out the fit itself is NaN wherever no observation lies)."""
    from ._envelope import envelope

    y_st = as_float(y_st, np.float64, missing=np.nan, what="the data")
    if w_st is not None:
        w_st = as_float(w_st, np.float64, missing=0.0, what="the weights")
    found = envelope(x, y_st, w_st, x_out=x_out, derivative=derivative, **options)
    if x_out is None and not derivative:
        _hide_invented(found.z, y_st, w_st, options.get("lam"))
    return found


def evaluate_block(x, y_st, w_st=None, *, lam, options, return_se=False, x_out=None, derivative=0):
    """evaluate_lambda of the rows of `y_st` (S, T) at `lam` (a number or one
    per series) at x_out (default x), z the derivative of order
    `derivative`, in float64. Returns its LambdaEvaluation."""
    from ._lambda import evaluate_lambda

    y_st = as_float(y_st, np.float64, missing=np.nan, what="the data")
    if w_st is not None:
        w_st = as_float(w_st, np.float64, missing=0.0, what="the weights")
    x = np.asarray(x, dtype=np.float64)
    return evaluate_lambda(x, y_st, lam, w_st, x_out=x_out, derivative=derivative, return_se=return_se, **options)


def as_float(values, dtype, missing, what):
    """`values` as an array of `dtype`, with the masked entries of a masked
    array (netCDF4 hands out fill values that way) set to `missing`."""
    check_real(np.asarray(values).dtype, what)
    if isinstance(values, np.ma.MaskedArray):
        return np.ma.filled(values.astype(dtype), missing)
    return np.asarray(values, dtype=dtype)


def _hide_invented(z_st, y_st, w_st, lam):
    """NaN wherever the fit has nothing to go on: the module answers a series
    without a single usable observation with zeros, and with lam=0 the fit
    at a missing position is no estimate either."""
    observed = np.isfinite(y_st)
    if w_st is not None:
        observed &= w_st != 0
    z_st[~observed.any(axis=1)] = np.nan
    if lam is not None and not isinstance(lam, str):
        # lam may be one per series: only those at 0 hide their gaps.
        at_zero = np.broadcast_to(np.asarray(lam) == 0, z_st.shape[:1])
        z_st[at_zero[:, None] & ~observed] = np.nan
