"""Where a fit rests on no observation close by: before a series' first
observation, after its last, and inside gaps longer than a given length.
The smoothers continue the fit there (a polynomial beyond the ends, the
penalty's bridge across a gap); smooth() and the command line hand back NaN
there instead unless asked to extrapolate, as interpolation in xarray and
pandas does."""

import numpy as np


def unsupported(x, observed, positions, extrapolate, max_gap):
    """(S, P) True where the fit at `positions` (float64, increasing, in x's
    units) is to be NaN: before the first and after the last True of each
    row of `observed` (S, T) at x unless `extrapolate`, and strictly between
    two consecutive observations more than `max_gap` apart (None: no limit).
    An observation's own position always keeps its value; so does every
    position of a series without observations (its fit is NaN already)."""
    S, T = observed.shape
    index = np.arange(T)
    # For every position of x the observation at or before it, at or after it (-1, T: none).
    before = np.maximum.accumulate(np.where(observed, index, -1), axis=1)
    after = np.minimum.accumulate(np.where(observed, index, T)[:, ::-1], axis=1)[:, ::-1]
    at = np.searchsorted(x, positions, side="right") - 1
    exact = (at >= 0) & (x[np.maximum(at, 0)] == positions)
    left = np.where(at >= 0, before[:, np.maximum(at, 0)], -1)
    following = np.where(exact, at, at + 1)
    right = np.where(following < T, after[:, np.minimum(following, T - 1)], T)
    outside = (left < 0) | (right >= T)
    hidden = np.zeros((S, positions.shape[0]), dtype=bool) if extrapolate else outside
    if max_gap is not None:
        inside = ~outside & (left != right)
        span = x[np.minimum(right, T - 1)] - x[np.maximum(left, 0)]
        hidden = hidden | (inside & (span > max_gap))
    return hidden & observed.any(axis=1, keepdims=True)
