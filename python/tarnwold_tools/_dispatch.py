"""The one dispatcher of smooth() and the command line: a Request run on a
block of series with the function that computes it."""

import numpy as np

from ._outside import unsupported
from ._request import MODULE_LAM, MODULE_ROBUST_DEFAULTS
from ._smoothing import as_float, envelope_block, evaluate_block, robust_block, select_block, smooth_block

# The options the choice and the evaluation of lam share with every method.
_SELECTION_OPTIONS = ("d", "ridge", "normalize", "eps", "parallel")


def run_block(request, x, y_st, w_st=None, lams=None):
    """The results of `request` for the rows of `y_st` (S, T) observed at the
    float64 positions `x` (T,), with base weights `w_st` and, for one lam per
    series, `lams` (S,): a dict with "z" (S, P) on request.x_out (else x) in
    the computation's dtype, "weights" (S, T) with return_weights, and the
    names of request.diagnostics. Every series is computed on its own, so
    splitting a batch changes no result (but see smooth_block)."""
    lam = request.lam if lams is None else np.asarray(lams, dtype=np.float64).reshape(-1)
    found = _METHODS[request.method](request, x, y_st, w_st, lam)
    if not request.extrapolate or request.max_gap is not None:
        observed = np.isfinite(as_float(y_st, np.float64, missing=np.nan, what="the data"))
        if w_st is not None:
            observed &= as_float(w_st, np.float64, missing=0.0, what="the weights") > 0
        positions = x if request.x_out is None else request.x_out
        hidden = unsupported(np.asarray(x, dtype=np.float64), observed, positions, request.extrapolate,
                             request.max_gap)  # fmt: skip
        for name in ("z", "se"):
            if name in found:
                found[name][hidden] = np.nan
    if "lam" in found and np.ndim(found["lam"]) == 0:
        found["lam"] = np.full(y_st.shape[0], found["lam"])
    return found


def _kept(request, found):
    """The entries of `found` the request asks for."""
    wanted = ("z",) + (("weights",) if request.return_weights else ()) + request.diagnostics
    return {name: found[name] for name in wanted}


def _whittaker(request, x, y_st, w_st, lam):
    settings = {name: value for name, value in request.options.items() if name in _SELECTION_OPTIONS}
    grid = {"x_out": request.x_out, "derivative": request.derivative}
    if request.criterion is not None:
        chosen = select_block(x, y_st, w_st, criterion=request.criterion, return_se=request.return_se,
                              options=dict(settings, **grid))  # fmt: skip
        return _kept(request, vars(chosen))
    if lam is None:
        lam = MODULE_LAM
    found = {"lam": lam}
    if not request.resampled:
        found["z"] = _per_lam(lam, y_st, lambda rows, value: smooth_block(
            x, y_st[rows], None if w_st is None else w_st[rows], method="whittaker", dtype=request.dtype,
            options=dict(request.options, **({} if value is None else {"lam": value}))))  # fmt: skip
    if request.return_diagnostics or request.resampled:
        evaluated = evaluate_block(x, y_st, w_st, lam=lam, options=settings, return_se=request.return_se, **grid)
        found.update(edf=evaluated.edf, se=evaluated.se)
        found.setdefault("z", evaluated.z)
    return _kept(request, found)


def _robust(request, x, y_st, w_st, lam):
    if request.on_module:
        parts = _per_lam(lam, y_st, lambda rows, value: smooth_block(
            x, y_st[rows], None if w_st is None else w_st[rows], method="robust", dtype=request.dtype,
            return_weights=True, options=dict(request.options, **({} if value is None else {"lam": value}))))  # fmt: skip
        return _kept(request, {"z": parts[0], "weights": parts[1]})
    options = request.options if request.criterion is not None else {**MODULE_ROBUST_DEFAULTS, **request.options}
    found = robust_block(x, y_st, w_st, lam=MODULE_LAM if lam is None else lam, options=options,
                         return_se=request.return_se, x_out=request.x_out, derivative=request.derivative)  # fmt: skip
    return _kept(request, vars(found))


def _envelope(request, x, y_st, w_st, lam):
    found = vars(envelope_block(x, y_st, w_st, options=dict(request.options, lam=lam), x_out=request.x_out,
                                derivative=request.derivative))  # fmt: skip
    if request.return_diagnostics:
        settings = {name: value for name, value in request.options.items() if name in _SELECTION_OPTIONS}
        found["edf"] = np.full(y_st.shape[0], np.nan)
        # The edf of the returned fit: at its lam with its weights (none
        # where no lam could be chosen).
        rows = np.flatnonzero(np.isfinite(found["lam"]))
        if rows.size:
            found["edf"][rows] = evaluate_block(x, y_st[rows], found["weights"][rows], lam=found["lam"][rows],
                                                options=settings).edf  # fmt: skip
    return _kept(request, found)


def _per_lam(lam, y_st, solve):
    """solve(rows, value) for every distinct lam of `lam` (None: the
    module's default, a number, or one per series), assembled in row order:
    an array, or a tuple of arrays when solve returns tuples."""
    if np.ndim(lam) == 0:
        return solve(slice(None), lam)
    parts = None
    for value in np.unique(lam):
        rows = np.flatnonzero(lam == value)
        found = solve(rows, float(value))
        found = found if isinstance(found, tuple) else (found,)
        if parts is None:
            parts = tuple(np.empty((y_st.shape[0],) + part.shape[1:], dtype=part.dtype) for part in found)
        for target, part in zip(parts, found):
            target[rows] = part
    if parts is None:  # no series
        return solve(slice(None), None)
    return parts if len(parts) > 1 else parts[0]


_METHODS = {"whittaker": _whittaker, "robust": _robust, "envelope": _envelope}
