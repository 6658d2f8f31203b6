"""The single-pass smoother without a ridge on series whose observations
end before x does: solved within their observations, continued beyond.

Without a ridge, the fit beyond a series' last observation (before its
first) is the polynomial of degree d - 1 through its last (first) d values:
the penalty's rows there can all be made 0 and nothing else involves those
positions. Solved as part of the system over a long run of missing values,
that polynomial is lost to rounding as it grows (1000 missing positions:
about 1e-4 of the data with d = 2, nothing of it with d = 3, as the
condition grows with the run's length to the power 2d). So such a series
is solved on the grid between its first and last observation, normalised
as the whole grid is, and the ends are evaluated from that fit."""

import numpy as np

from ._output_grid import polynomial_through


def fit_within_observations(function, x, y_st, w_st, d, options):
    """function(x, y_st, w_st, **options), the module's single-pass smoother
    called with ridge 0 in `options`, for series with at least d >= 1
    observations; those whose observations do not span x are solved on
    their span and continued (see above)."""
    T = x.shape[0]
    observed = np.isfinite(y_st) if w_st is None else np.isfinite(y_st) & (w_st > 0)
    first = np.argmax(observed, axis=1)
    last = T - 1 - np.argmax(observed[:, ::-1], axis=1)
    spanning = (first == 0) & (last == T - 1)
    normalize = options.get("normalize", "mean")
    if spanning.all() or not (normalize is None or isinstance(normalize, str)):
        return function(x, y_st, w_st, **options)
    z_st = np.empty(y_st.shape, dtype=x.dtype)
    if spanning.any():
        z_st[spanning] = function(x, y_st[spanning], None if w_st is None else w_st[spanning], **options)
    grid = module_grid(x, normalize)
    settings = dict(options, normalize=None)
    ends = np.stack([first, last], axis=1)[~spanning]
    for start, stop in np.unique(ends, axis=0):
        rows = np.flatnonzero(~spanning)[np.all(ends == (start, stop), axis=1)]
        span = slice(start, stop + 1)
        part = function(grid[span], y_st[rows, span], None if w_st is None else w_st[rows, span], **settings)
        z_st[rows, span] = part
        for nodes, values, beyond in ((slice(start, start + d), part[:, :d], slice(0, start)),
                                      (slice(stop + 1 - d, stop + 1), part[:, -d:], slice(stop + 1, T))):
            if beyond.start < beyond.stop:
                z_st[rows, beyond] = polynomial_through(values.astype(np.float64), grid[nodes].astype(np.float64),
                                                        grid[beyond].astype(np.float64))
    return z_st


def module_grid(x, normalize):
    """The grid tarnwold smooths on for `normalize`, in x's dtype with the
    module's operations: shifted to start at 0 and divided by the mean or
    median positive spacing ("mean", "median"), only shifted for any other
    text, unchanged for None."""
    if normalize is None or x.shape[0] < 2:
        return x.copy()
    one = x.dtype.type(1)
    if normalize == "mean":
        scale = (x[-1] - x[0]) / x.dtype.type(x.shape[0] - 1)
    elif normalize == "median":
        steps = np.diff(x)
        steps = steps[steps > 0]
        n = steps.shape[0]
        if n == 0:
            scale = one
        elif n % 2:
            scale = np.partition(steps, n // 2)[n // 2]
        else:
            ordered = np.partition(steps, (n // 2 - 1, n // 2))
            scale = (ordered[n // 2] + ordered[n // 2 - 1]) * x.dtype.type(0.5)
    else:
        scale = one
    if not scale > 0:
        scale = one
    return (x - x[0]) / scale
