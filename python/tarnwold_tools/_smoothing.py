"""Choice of the tarnwold function for a method and a precision, and one call of it."""

import numpy as np

import tarnwold

METHODS = ("whittaker", "robust")

# Options every smoother accepts, and those only the robust one knows.
COMMON_OPTIONS = ("lam", "d", "ridge", "normalize", "eps", "parallel")
ROBUST_OPTIONS = ("iterations", "weighting", "scale", "tuning", "merge_x_tol")

_FUNCTIONS = {
    ("whittaker", np.float32): tarnwold.whittaker_solve_f32,
    ("whittaker", np.float64): tarnwold.whittaker_solve_f64,
    ("robust", np.float32): tarnwold.robust_whittaker_irls_f32,
    ("robust", np.float64): tarnwold.robust_whittaker_irls_f64,
}


def resolve_dtype(dtype, data_dtype):
    """The precision to compute in: `dtype` if given, else float32 for float32
    data and float64 for everything else."""
    if dtype is None:
        return np.dtype(np.float32 if np.dtype(data_dtype) == np.float32 else np.float64)
    try:
        resolved = np.dtype(dtype)
    except TypeError:
        resolved = None
    if resolved not in (np.dtype(np.float32), np.dtype(np.float64)):
        raise ValueError(f"dtype must be float32 or float64, not {dtype!r}")
    return resolved


def check_request(method, options, return_weights):
    """Rejects an unknown method, unknown options and options the method does
    not take, before any data is touched (with dask, before anything runs)."""
    if method not in METHODS:
        raise ValueError(f"method must be 'whittaker' or 'robust', not {method!r}")
    for name in options:
        if name in ROBUST_OPTIONS and method != "robust":
            raise ValueError(f"option {name!r} applies to method='robust' only")
        if name not in COMMON_OPTIONS and name not in ROBUST_OPTIONS:
            known = ", ".join(COMMON_OPTIONS + ROBUST_OPTIONS)
            raise TypeError(f"unknown option {name!r}; the options are {known}")
    if return_weights and method != "robust":
        raise ValueError("return_weights=True needs method='robust'")


def smooth_block(x, y_st, w_st=None, *, method, dtype, return_weights=False, options):
    """Smooths the rows of `y_st` (S, T) sampled at `x` (T,) with one call of the
    module, in the precision `dtype`. Returns z_st, or (z_st, w_total_st) when
    `return_weights` is true.

    The module treats every series on its own, so splitting a batch changes no
    result, with one exception: the float32 robust smoother reruns the whole
    batch of a call in float64 when one series of it fails its stability test.
    """
    function = _FUNCTIONS[method, dtype.type]
    x = np.ascontiguousarray(x, dtype=dtype)
    y_st = np.asarray(y_st, dtype=dtype)
    if w_st is not None:
        w_st = np.asarray(w_st, dtype=dtype)
    if method == "robust":
        return function(x, y_st, w_st, return_weights=return_weights, **options)
    return function(x, y_st, w_st, **options)
