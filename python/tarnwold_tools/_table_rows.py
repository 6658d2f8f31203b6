"""Rows of a table in the order of their positions. Rows out of order are
smoothed in the order of their positions, and rows at the same position of
a series are one observation: the mean of their readings, weighted by how
many readings there are. The smoothed values go back to every row, in the
input's order."""

from dataclasses import dataclass

import numpy as np

from ._cli_common import complete_positions


@dataclass
class RowOrder:
    first: np.ndarray  # the first row at each distinct position, positions increasing
    inverse: np.ndarray  # for each row, the index of its position among the distinct ones
    in_order: bool  # whether the rows came with their positions not decreasing
    duplicates: int  # rows at a position that an earlier row holds

    @property
    def unchanged(self):
        """Whether the rows are the distinct positions, in order."""
        return self.in_order and self.duplicates == 0

    def spread(self, z_st):
        """The values `z_st` (S, distinct positions) at every row."""
        return z_st if self.unchanged else z_st[:, self.inverse]


def row_order(values, what):
    """The order of the rows with positions `values` (numbers or datetime64,
    complete and finite). Equal values are compared as read, not as days,
    which could make two nanosecond times one."""
    x = complete_positions(values, what)
    keys = values if values.dtype.kind in "mM" else x
    order = np.argsort(keys, kind="stable")
    ranked = keys[order]
    new = np.ones(len(order), dtype=bool)
    new[1:] = ranked[1:] != ranked[:-1]
    inverse = np.empty(len(order), dtype=np.intp)
    inverse[order] = np.cumsum(new) - 1
    return RowOrder(order[new], inverse, bool(np.all(keys[1:] >= keys[:-1])), int(len(order) - np.count_nonzero(new)))


def merged(y_st, order):
    """(y_st, w_st) on the distinct positions: each position's finite
    readings averaged, with their count as the weight (NaN and weight 0
    where it has none); w_st is None when no position holds two rows, so
    that such a series is smoothed exactly as before."""
    if order.unchanged:
        # No copy: a wide table's values are the larger part of its memory.
        return y_st, None
    if order.duplicates == 0:
        return y_st[:, order.first], None
    finite = np.isfinite(y_st)
    sums = np.zeros((order.first.size, y_st.shape[0]))
    counts = np.zeros_like(sums)
    np.add.at(sums, order.inverse, np.where(finite, y_st, 0.0).T)
    np.add.at(counts, order.inverse, finite.T.astype(np.float64))
    with np.errstate(invalid="ignore", divide="ignore"):
        means = np.where(counts > 0, sums / counts, np.nan)
    return means.T, counts.T


def notes(orders, what, note):
    """The notes about rows sorted and duplicates merged, once each over
    all the `orders` (one per series or id)."""
    if not all(order.in_order for order in orders):
        note(f"the rows are not in the order of {what}: they are smoothed in that order and written in the input's")
    duplicates = sum(order.duplicates for order in orders)
    if duplicates:
        note(f"{duplicates} duplicate row(s) repeat a position of {what}: their readings are averaged, "
             "weighted by the number of readings")
