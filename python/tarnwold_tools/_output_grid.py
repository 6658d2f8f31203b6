"""The output grid of evaluate_lambda and select_lambda, and the rates of a
fit along it. The fit itself is formed natively on the union of x and x_out
(union_model.hpp), beyond x's range by continuation (beyond_x)."""

from __future__ import annotations

import numpy as np


def output_positions(x_out, x_dtype=None) -> np.ndarray:
    """x_out as C-contiguous float64; ValueError unless it is 1-D, non-empty,
    finite and strictly increasing. TypeError unless it holds numbers, or
    values of x's own type `x_dtype`: dates on a grid of numbers (or dates
    of another unit) would become counts of their unit, in other units than
    x's."""
    values = np.asarray(x_out)
    if values.dtype.kind not in "iuf" and values.dtype != x_dtype:
        raise TypeError(f"x_out must hold numbers in x's units, not {values.dtype}")
    positions = np.asarray(values, dtype=np.float64)
    if positions.ndim != 1 or positions.shape[0] == 0:
        raise ValueError("x_out must be a non-empty 1-D array")
    positions = np.ascontiguousarray(positions)
    if not np.all(np.isfinite(positions)):
        raise ValueError("x_out must be finite")
    if not np.all(np.diff(positions) > 0):
        raise ValueError("x_out must be strictly increasing")
    return positions


def divided_differences(z: np.ndarray, positions: np.ndarray, derivative: int) -> np.ndarray:
    """The derivative of order 1 or 2 of the rows of z along positions: the
    derivative of the parabola through each point and its two neighbours
    (the first three or last three points at the ends, one-sided there), in
    the units of positions. Two points give the slope of their line."""
    n = positions.shape[0]
    if n < derivative + 1:
        raise ValueError(f"derivative={derivative} needs at least {derivative + 1} output positions")
    if n == 2:
        slope = (z[:, 1] - z[:, 0]) / (positions[1] - positions[0])
        return np.repeat(slope[:, None], 2, axis=1)
    centre = np.clip(np.arange(n), 1, n - 2)
    a, b, c = positions[centre - 1], positions[centre], positions[centre + 1]
    ab, ac, bc = a - b, a - c, b - c
    if derivative == 1:
        t = positions
        weights = (((t - b) + (t - c)) / (ab * ac), ((t - a) + (t - c)) / (-ab * bc), ((t - a) + (t - b)) / (ac * bc))
    else:
        weights = (2 / (ab * ac), 2 / (-ab * bc), 2 / (ac * bc))
    # Slices rather than gathered copies: output points lo .. hi - 1 take
    # the columns from `first` on and the two after them.
    out = np.empty_like(z)
    for lo, hi, first in ((1, n - 1, 0), (0, 1, 0), (n - 1, n, n - 3)):
        count = hi - lo
        target = out[:, lo:hi]
        np.multiply(weights[0][lo:hi], z[:, first : first + count], out=target)
        target += weights[1][lo:hi] * z[:, first + 1 : first + 1 + count]
        target += weights[2][lo:hi] * z[:, first + 2 : first + 2 + count]
    return out


# Output positions closer than this share of x's mean spacing to a position
# of x, or to the previous output position, are merged into it natively.
_MERGED = 1e-4


def beyond_x(x, positions, d):
    """None when every output position lies within x's range. Otherwise
    (solve_at, continued): the positions to solve the union of x and x_out
    at, and the function that turns the fit there, (S, len(solve_at)), into
    the fit at `positions`.

    Without a ridge, the fit beyond x's range is the polynomial of degree
    d - 1 through the fit's first (last) d values on the union: the
    penalty's rows there can all be made 0 and nothing else involves those
    positions. Solved as part of the system, that polynomial is lost to
    rounding as it grows: 1000 spacings beyond x, about 1e-5 of the data
    with d = 2 and nothing of it with d = 3, as the system's condition grows
    with the distance to the power 2d. So it is evaluated directly from the
    fit at the end d positions of the union within x's range, which are
    solved at with the positions inside."""
    tolerance = _MERGED * (x[-1] - x[0]) / (x.shape[0] - 1)
    # A position merged into an end of x is no position beyond it.
    before, after = positions < x[0] - tolerance, positions > x[-1] + tolerance
    if not (before.any() or after.any()):
        return None
    within = ~(before | after)
    inside = positions[within]
    first = _union_nodes(x[:d], inside[inside <= x[d - 1]], tolerance)[:d]
    last = _union_nodes(x[-d:], inside[inside >= x[-d]], tolerance)[-d:]
    solve_at = np.union1d(inside, np.concatenate([first, last]))

    def continued(z):
        out = np.empty((z.shape[0], positions.shape[0]))
        out[:, within] = z[:, np.searchsorted(solve_at, inside)]
        for nodes, where in ((first, before), (last, after)):
            if where.any():
                out[:, where] = polynomial_through(z[:, np.searchsorted(solve_at, nodes)], nodes, positions[where])
        return out

    return solve_at, continued


def _union_nodes(x_part, extra, tolerance):
    """The positions of x `x_part` and the output positions `extra` as the
    union holds them: an output position merged into a position of x or
    into the previous output position is none of its own."""
    if extra.size:
        apart = np.min(np.abs(extra[:, None] - x_part[None, :]), axis=1) > tolerance
        apart[1:] &= np.diff(extra) > tolerance
        extra = extra[apart]
    return np.sort(np.concatenate([x_part, extra]))


def polynomial_through(values, nodes, at):
    """The polynomial through the rows of `values` (S, len(nodes)) at
    `nodes`, at the positions `at`: (S, len(at)), in Lagrange's form summed
    in the order of the nodes (a matrix product would sum in an order that
    depends on the shapes, and so on how the series are batched)."""
    weights = np.ones((nodes.shape[0], at.shape[0]))
    for j, node in enumerate(nodes):
        for other in np.delete(nodes, j):
            weights[j] *= (at - other) / (node - other)
    out = values[:, :1] * weights[0]
    for j in range(1, nodes.shape[0]):
        out += values[:, j : j + 1] * weights[j]
    return out
