"""The command line's output grid: --every FREQ and --x-out FILE, read into
the values written to the output and the positions the fit is taken at."""

import warnings

import numpy as np

from ._cli_common import UsageError, first_line, require


def output_grid(every, x_out_file, loaded):
    """The values of the output grid, or None without one: of the kind of
    the input's positions (datetime64 for dates, float64 for numbers). The
    series of a long table's parts share one grid, over the span of all of
    them; grid_positions puts it in each part's units."""
    if every is None and x_out_file is None:
        return None
    if loaded.grid_refusal is not None:
        raise UsageError(loaded.grid_refusal)
    spans = [part.x_values for part in loaded.parts or [loaded]]
    first, last = min(span[0] for span in spans), max(span[-1] for span in spans)
    dated = loaded.x_values.dtype.kind == "M"
    if every is not None:
        if not dated:
            raise UsageError(f"--every {every} needs dates as positions; these are {_kind(loaded.x_values)}")
        pd = require("pandas", "--every")
        try:
            # A step of zero divides by zero in pandas, one of nanoseconds
            # over years asks for more memory than there is.
            values = pd.date_range(first, last, freq=every).values
        except (ValueError, TypeError) as error:
            raise UsageError(f"--every {every}: {first_line(error)}") from None
        except ZeroDivisionError:
            raise UsageError(f"--every {every}: the step must be positive") from None
        except MemoryError:
            raise UsageError(f"--every {every}: too many output positions for the memory") from None
        if values.size == 0:
            raise UsageError(f"--every {every}: no output position from the first date to the last "
                             "(the step must be positive and fit into the span)")
    else:
        if loaded.x_values.dtype.kind == "m":
            raise UsageError("--x-out: the positions are time spans; give positions as numbers or dates")
        values = _read_positions(x_out_file, dated)
    return values


def grid_positions(values, x_values):
    """The output grid's `values` as positions in the units of series read
    at `x_values`: days since their first date for dates (as positions()
    measures them), numbers as they are."""
    if x_values.dtype.kind == "M":
        return (values - x_values[0]) / np.timedelta64(1, "D")
    return values


def _kind(values):
    return "time spans" if values.dtype.kind == "m" else "numbers"


def _read_positions(path, dated):
    """One position per line: numbers, or dates (2023-05-01, 2023-05-01T12:00)
    when the input's positions are dates. Blank lines and lines starting with
    '#' are skipped."""
    try:
        with open(path, encoding="utf-8-sig") as text:
            lines = [(number, line.strip()) for number, line in enumerate(text, 1)]
    except (OSError, UnicodeDecodeError) as error:
        raise UsageError(f"--x-out: cannot read {path}: {getattr(error, 'strerror', None) or first_line(error)}") from None
    cells = [(number, line) for number, line in lines if line and not line.startswith("#")]
    if not cells:
        raise UsageError(f"--x-out: {path} holds no positions")
    values = [_parse(cell, dated, path, number) for number, cell in cells]
    values = np.array(values, dtype="datetime64[ns]" if dated else np.float64)
    if not np.all(values[1:] > values[:-1]):
        raise UsageError(f"--x-out: the positions in {path} are not strictly increasing")
    return values


def _parse(cell, dated, path, number):
    if dated:
        pd = require("pandas", "--x-out with dates")
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                stamp = pd.Timestamp(cell)
        except (ValueError, TypeError, OverflowError):
            stamp = pd.NaT
        if pd.isna(stamp):
            raise UsageError(f"--x-out: line {number} of {path} is no date: {cell[:40]!r}")
        if stamp.tzinfo is not None:
            stamp = stamp.tz_convert(None)
        return stamp.to_datetime64()
    try:
        value = float(cell)
    except ValueError:
        value = np.nan
    if not np.isfinite(value):
        raise UsageError(f"--x-out: line {number} of {path} is no finite number: {cell[:40]!r}")
    return value
