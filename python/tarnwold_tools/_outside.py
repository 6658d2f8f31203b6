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
    hidden = np.zeros((S, positions.shape[0]), dtype=bool)
    if not extrapolate:
        first = x[np.argmax(observed, axis=1)]
        last = x[T - 1 - np.argmax(observed[:, ::-1], axis=1)]
        hidden = (positions < first[:, None]) | (positions > last[:, None])
    if max_gap is not None:
        # Consecutive observations of a row, and the output positions
        # strictly between those more than max_gap apart: lo .. hi - 1.
        rows, columns = np.nonzero(observed)
        start, stop = x[columns[:-1]], x[columns[1:]]
        long = (rows[1:] == rows[:-1]) & (stop - start > max_gap)
        lo = np.searchsorted(positions, start[long], side="right")
        hi = np.searchsorted(positions, stop[long], side="left")
        edges = np.zeros((S, positions.shape[0] + 1), dtype=np.int32)
        np.add.at(edges, (rows[1:][long], lo), 1)
        np.add.at(edges, (rows[1:][long], hi), -1)
        hidden |= np.cumsum(edges[:, :-1], axis=1) > 0
    return hidden & observed.any(axis=1, keepdims=True)
