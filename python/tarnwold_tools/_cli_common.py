"""What the readers of the command line share: its error type, optional
imports, and the series a reader hands over."""

import importlib
import sys
from dataclasses import dataclass
from collections.abc import Callable

import numpy as np

from ._days import positions


class UsageError(Exception):
    """A problem with the command line's input or options; reported in one
    line with exit status 2."""


def require(module, purpose):
    """Imports an optional dependency, or explains which one is missing."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise UsageError(f"{purpose} needs the Python package {module!r} (pip install 'tarnwold[cli]')") from None


def first_line(error):
    text = str(error).strip() or type(error).__name__
    return text.splitlines()[0]


def note(text):
    """One line on standard error about what the command did on its own."""
    print(f"tarnwold-smooth: note: {text}", file=sys.stderr)


def complete_positions(values, what):
    """Positions (days for times) of the 1-D `values`, which must be complete
    and finite, in any order."""
    try:
        x = positions(values)
    except TypeError:
        raise UsageError(f"{what} holds neither numbers nor dates") from None
    if x.size == 0:
        raise UsageError(f"{what} is empty: there is nothing to smooth")
    if np.isnan(x).any():
        raise UsageError(f"{what} has missing values")
    if np.isinf(x).any():
        raise UsageError(f"{what} has an infinite value")
    return x


def checked_positions(values, what):
    """Positions (days for times) of the 1-D `values`, which must be complete,
    finite and strictly increasing."""
    x = complete_positions(values, what)
    if not np.all(x[1:] > x[:-1]):
        raise UsageError(f"{what} is not strictly increasing")
    return x


@dataclass
class Loaded:
    """Series read from a file, and how to write their smoothed values back."""

    x: np.ndarray  # float64 positions of the T observations (days for times)
    x_values: np.ndarray  # the same positions as they were read, for plots
    x_label: str
    y_st: np.ndarray  # (S, T) observations, NaN where missing
    labels: list  # a name for every series, for plots
    # write(z_st, path, progress, grid) writes the input with z_st in place
    # of y_st; with grid (the output positions' values) z_st lies on it.
    # path is sys.stdout itself for -o - (CSV only).
    write: Callable
    grid_refusal: str | None = None  # why the output cannot go on another grid
    w_st: np.ndarray | None = None  # (S, T) weights: readings merged at a position, or None for all 1
    # Series whose positions differ (long tables: ids observed on other
    # days), each smoothed in calls of its own; write then takes a list of
    # their z_st. None: the series above are all there is.
    parts: list | None = None
