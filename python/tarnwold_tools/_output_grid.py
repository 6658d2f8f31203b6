"""The output grid of evaluate_lambda and select_lambda, and the polynomial
through a fit's end values. The fit itself, and its rates along the grid,
are formed natively on the union of x and x_out (union_model.hpp), and
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
