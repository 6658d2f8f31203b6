"""The output grid of evaluate_lambda and select_lambda, the rates of a fit
along it, and the polynomial through a fit's end values. The fit itself is
formed natively on the union of x and x_out (union_model.hpp), and
continued there beyond x's range."""

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
    positions = np.require(positions, np.float64, "CA")
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
