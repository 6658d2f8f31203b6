"""Sampling positions from coordinate values: numbers as they are, times as days."""

import numpy as np


def positions(values):
    """Float64 positions for the 1-D `values`.

    Numbers are taken as they are. datetime64 and timedelta64 values become
    days since the first value (NaT becomes NaN): days since 1970 would spend
    the float32 mantissa on the offset (about 3 minutes of resolution in 2020)
    rather than on the spacing, and the smoothers depend on the spacing alone.
    """
    values = np.asarray(values)
    if values.dtype.kind in "mM":
        if values.size == 0:
            return np.zeros(0)
        return (values - values[0]) / np.timedelta64(1, "D")
    if values.dtype.kind in "biuf":
        return values.astype(np.float64)
    raise TypeError(f"positions must be numbers, datetime64 or timedelta64, not {values.dtype}")
