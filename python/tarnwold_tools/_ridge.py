"""The ridge the companion solves with when the caller gives none.

A ridge makes the system positive definite whatever the weights, at a
price: it pulls every value towards 0 in proportion to how little the data
hold it, so beyond the last observation (a long run of missing values at
the end of x) the fit bends towards 0 instead of
continuing as the polynomial of degree d - 1 the penalty leaves free; with
d = 2, lam 4 and 1000 positions beyond, the 1e-10 ridge collapses the
straight line. A series with at least d observations at distinct positions
pins that polynomial down, so its system is positive definite without a
ridge; only the series with fewer keep the module's 1e-10, whose solution
is then the smallest one that fits them.

Without a ridge, a long run of missing values at an end of x is solved as
part of the system, whose condition grows with the run's length to the
power 2d: 1000 missing positions lose the polynomial to rounding (about
1e-4 of the data with d = 2, all of it with d = 3). The plain smoother
solves such series on their observations' span and continues the fit
(_ends). The lam selection does not, and chooses its ridges natively
(src/core/lambda/default_ridge.hpp), where a series must also be observed
at both ends of x to go without one."""

import numpy as np

# The module's default ridge: what the series that need one are solved with.
FALLBACK_RIDGE = 1e-10


def observation_counts(values, weights):
    """Per row, the observations that enter the fit: finite values of
    positive weight."""
    observed = np.isfinite(values)
    if weights is not None:
        observed &= weights > 0
    return observed.sum(axis=1)


def ridge_groups(ridge, values, weights, d):
    """[(rows, ridge)] covering every row of `values` once: the given `ridge`
    for all rows, or without one (None) ridge 0 for the rows with at least
    `d` observations and FALLBACK_RIDGE for the others. rows is a slice of
    all rows when there is one group, an index array otherwise."""
    if ridge is not None:
        return [(slice(None), ridge)]
    enough = observation_counts(values, weights) >= d
    if enough.all():
        return [(slice(None), 0.0)]
    if not enough.any():
        return [(slice(None), FALLBACK_RIDGE)]
    return [(np.flatnonzero(enough), 0.0), (np.flatnonzero(~enough), FALLBACK_RIDGE)]


def solved_in_groups(groups, series, solve):
    """Runs solve(rows, ridge) once per group of ridge_groups and returns
    its tuple of per-series results (arrays with the series first, or None)
    for all `series` rows in their order."""
    if len(groups) == 1:
        return solve(*groups[0])
    parts = [(rows, solve(rows, ridge)) for rows, ridge in groups]
    merged = []
    for index, first in enumerate(parts[0][1]):
        if first is None:
            merged.append(None)
            continue
        whole = np.empty((series, *first.shape[1:]), dtype=first.dtype)
        for rows, results in parts:
            whole[rows] = results[index]
        merged.append(whole)
    return tuple(merged)
