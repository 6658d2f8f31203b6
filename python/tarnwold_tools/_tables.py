"""CSV and Parquet tables for the command line, with series in columns or in rows."""

import csv
import math
import sys
import warnings

import numpy as np

from ._cli_common import Loaded, UsageError, checked_positions, first_line, require
from ._csv_text import write_csv
from ._smoothing import check_real, result_dtype

def load_table(path, fmt, layout, time_column, columns, sep, progress):
    frame = _read(path, fmt, sep, progress)
    by_name = {str(column): column for column in frame.columns}
    chosen = None if columns is None else [_lookup(by_name, name) for name in columns]
    if layout == "columns":
        return _series_in_columns(frame, fmt, sep, by_name, time_column, chosen)
    if time_column is not None:
        raise UsageError("--time-column applies to --series columns; with --series rows the headers of the value columns are the positions")
    return _series_in_rows(frame, fmt, sep, chosen)


def _read(path, fmt, sep, progress):
    pd = require("pandas", "reading CSV and Parquet files")
    if fmt == "parquet":
        require("pyarrow", "reading Parquet files")
    size = path.stat().st_size
    try:
        with progress.stage("reading", size, "B") as bar:
            if fmt == "csv":
                _check_headers(_csv_header(path, sep), path)
                with open(path, "rb") as raw:
                    frame = pd.read_csv(_Counted(raw, bar), sep=sep, **exact_floats(pd))
            else:
                frame = pd.read_parquet(path)
                _check_headers([str(column) for column in frame.columns], path)
                bar.update(size)
    except UsageError:
        raise
    except Exception as error:
        raise UsageError(f"cannot read {path}: {first_line(error)}") from None
    if fmt == "csv" and frame.shape[1] == 1:
        _check_separator(str(frame.columns[0]), sep)
    return frame


class _Counted:
    """A binary file that reports the bytes read from it to a progress bar."""

    def __init__(self, raw, bar):
        self.raw, self.bar = raw, bar

    def read(self, size=-1):
        data = self.raw.read(size)
        self.bar.update(len(data))
        return data

    def __iter__(self):
        return iter(self.raw)


def _csv_header(path, sep):
    """The header names as written: pandas renames a repeated name ("2"
    becomes "2.1"), which would invent a position or a series."""
    with open(path, newline="", encoding="utf-8-sig", errors="replace") as text:
        return next(csv.reader(text, delimiter=sep), [])


def _check_headers(names, path):
    seen = set()
    for name in names:
        if name in seen:
            raise UsageError(f"cannot read {path}: the column name {name!r} appears twice")
        seen.add(name)


def _check_separator(header, sep):
    for other in (";", "\t", "|"):
        if other != sep and other in header:
            raise UsageError(f"the file has a single column {header[:40]!r}: are its fields separated by {other!r}? Pass --sep {other!r}")


def exact_floats(pd):
    """read_csv options that give back every float exactly as written. Before
    pandas 3 the default parser may be one unit in the last place off; pandas 3
    parses exactly and deprecates the option."""
    return {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}


def _lookup(by_name, name):
    if name not in by_name:
        listed = ", ".join(list(by_name)[:20]) + (", ..." if len(by_name) > 20 else "")
        raise UsageError(f"unknown column {name!r} (the columns are: {listed})")
    return by_name[name]


# The tests below take dtypes: looking at frame.dtypes once is much faster
# than taking out each of thousands of columns.


def _is_numeric(dtype):
    from pandas.api.types import is_bool_dtype, is_numeric_dtype

    return is_numeric_dtype(dtype) and not is_bool_dtype(dtype)


def _is_text(dtype):
    from pandas.api.types import is_object_dtype, is_string_dtype

    return is_object_dtype(dtype) or is_string_dtype(dtype)


def _is_time(dtype):
    import pandas as pd

    return dtype.kind == "M" or isinstance(dtype, pd.DatetimeTZDtype)


def _check_numeric(frame, columns):
    dtypes = frame.dtypes
    for column in columns:
        if not _is_numeric(dtypes[column]):
            _reject_bad_cell(frame[column], column)
            raise UsageError(f"column {str(column)!r} is not numeric")
        try:
            check_real(dtypes[column], f"column {str(column)!r}")
        except TypeError as error:
            raise UsageError(str(error)) from None


def _reject_bad_cell(series, column, share=0.0, hint=""):
    """A text column of numbers (more than `share` of its cells) with a cell
    that is none holds a typo or a foreign notation ("12,5"); copying it
    through unsmoothed, or smoothing without it, would hide that."""
    import pandas as pd

    present = series.notna().to_numpy()
    numbers = pd.to_numeric(series[present].astype(str), errors="coerce").notna().to_numpy()
    if numbers.any() and not numbers.all() and numbers.mean() > share:
        bad = np.flatnonzero(present)[np.argmin(numbers)]
        raise UsageError(f"column {str(column)!r} holds numbers but also {str(series.iloc[bad])!r} (row {bad + 1} of the data){hint}")


def _looks_like_dates(series):
    """Whether a text column holds dates (checked on its first cells)."""
    import pandas as pd

    sample = series.dropna().astype(str).head(20)
    if sample.empty or pd.to_numeric(sample, errors="coerce").notna().any():
        return False
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return bool(pd.to_datetime(sample).notna().all())
    except (ValueError, TypeError, OverflowError):
        return False


def _values(frame, columns):
    return frame[columns].to_numpy(dtype=np.float64, na_value=np.nan)


def _time_values(series):
    """The values of a time column as numbers or datetime64 (zoned dates in
    UTC), and the time zone of its dates (None without one)."""
    import pandas as pd

    if _is_numeric(series.dtype):
        return series.to_numpy(dtype=np.float64, na_value=np.nan), None
    if not isinstance(series.dtype, pd.DatetimeTZDtype) and series.dtype.kind != "M":
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                series = pd.to_datetime(series)
        except (ValueError, TypeError, OverflowError):
            return series.to_numpy(), None
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        return series.dt.tz_convert(None).to_numpy(), series.dt.tz
    return series.to_numpy(), None


def _series_in_columns(frame, fmt, sep, by_name, time_column, chosen):
    if time_column is None:
        dates = [str(column) for column, dtype in frame.dtypes.items()
                 if _is_time(dtype) or _is_text(dtype) and _looks_like_dates(frame[column])]
        if dates:
            raise UsageError(f"column {dates[0]!r} holds dates: pass --time-column {dates[0]}, or --time-column none for row numbers")
    if time_column is None or time_column.lower() == "none" and "none" not in by_name:
        x_values, x_label, time_key, zone = np.arange(len(frame), dtype=np.float64), "row", None, None
    else:
        time_key = _lookup(by_name, time_column)
        (x_values, zone), x_label = _time_values(frame[time_key]), time_column
    x = checked_positions(x_values, "row numbers" if time_key is None else f"time column {time_column!r}")

    if chosen is None:
        for column, dtype in frame.dtypes.items():
            if column != time_key and _is_text(dtype):
                _reject_bad_cell(frame[column], column, share=0.5, hint="; name the columns to smooth with --columns if it is no data")
        chosen = [column for column, dtype in frame.dtypes.items() if column != time_key and dtype.kind == "f"]
        if not chosen:
            raise UsageError("the table has no floating-point columns to smooth (name integer columns with --columns)")
    elif time_key in chosen:
        raise UsageError(f"the time column {time_column!r} cannot also be a series")
    _check_numeric(frame, chosen)

    def write(z_st, path, progress, grid=None):
        if grid is None:
            _write(_with_values(frame, chosen, z_st.T), path, fmt, sep, progress)
            return
        # One row per output position: columns along the rows that were not
        # smoothed have no values there.
        left_out = [str(column) for column in frame.columns if column != time_key and column not in chosen]
        if left_out:
            print(f"tarnwold-smooth: note: columns not smoothed are left out on the new grid: {', '.join(left_out)}",
                  file=sys.stderr)
        import pandas as pd

        # The grid is in UTC without a zone, as the positions were read;
        # a zoned time column is written back in its own zone.
        times = grid if zone is None else pd.DatetimeIndex(grid).tz_localize("UTC").tz_convert(zone)
        positions = pd.DataFrame({time_key: times})
        _write(_with_values(positions, chosen, z_st.T, frame.dtypes), path, fmt, sep, progress)

    refusal = "--every and --x-out need --time-column: the output positions are written into it" if time_key is None else None
    return Loaded(x, x_values, x_label, _values(frame, chosen).T, [str(c) for c in chosen], write, refusal)


def _header_number(header):
    try:
        value = float(header)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _is_date(header):
    import pandas as pd

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return not pd.isna(pd.Timestamp(header))
    except (ValueError, TypeError, OverflowError):
        return False


def _series_in_rows(frame, fmt, sep, chosen):
    import pandas as pd

    if chosen is None:
        chosen = [column for column in frame.columns if _header_number(str(column)) is not None]
        if not chosen:
            chosen = [column for column in frame.columns if _is_date(str(column))]
        if not chosen:
            raise UsageError("with --series rows the value columns need numbers or dates as headers; none found (name them with --columns)")
    _check_numeric(frame, chosen)

    headers = [str(column) for column in chosen]
    numbers = [_header_number(header) for header in headers]
    if all(number is not None for number in numbers):
        x_values, x_label = np.array(numbers), "column header"
    else:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                x_values = pd.to_datetime(headers).to_numpy()
        except (ValueError, TypeError, OverflowError):
            raise UsageError("with --series rows the headers of the value columns must all be numbers or all be dates") from None
        x_label = "date"
    x = checked_positions(x_values, "the sequence of column headers")

    others = [column for column in frame.columns if column not in chosen]
    if others:
        labels = [str(value) for value in frame[others[0]]]
    else:
        labels = [f"row {index}" for index in frame.index]

    def write(z_st, path, progress, grid=None):
        if grid is None:
            _write(_with_values(frame, chosen, z_st), path, fmt, sep, progress)
            return
        # Value columns left out of --columns lie along the positions too:
        # they have no values on the new grid.
        dated = x_label == "date"
        left_out = [str(column) for column in others
                    if (_is_date(str(column)) if dated else _header_number(str(column)) is not None)]
        if left_out:
            print(f"tarnwold-smooth: note: columns not smoothed are left out on the new grid: {', '.join(left_out)}",
                  file=sys.stderr)
        kept = [column for column in others if str(column) not in left_out]
        headers = _headers(grid)
        clash = set(headers) & {str(column) for column in kept}
        if clash:
            raise UsageError(f"the output position {sorted(clash)[0]!r} is also the name of a column")
        # The value columns become the output positions, in the widest type of the old ones.
        dtype = np.result_type(*(result_dtype(frame.dtypes[column]) for column in chosen))
        smoothed = pd.DataFrame(z_st.astype(dtype, copy=False), columns=headers, index=frame.index, copy=False)
        _write(pd.concat([frame[kept], smoothed], axis=1), path, fmt, sep, progress)

    return Loaded(x, x_values, x_label, _values(frame, chosen), labels, write)


def _headers(grid):
    """Column headers for the output positions: ISO dates, all in one format
    so that they read back as dates (with the time of day only where one is
    not midnight), or numbers as Python writes them (without '.0' for
    whole numbers)."""
    if grid.dtype.kind == "M":
        stamps = grid.astype("datetime64[ns]")
        unit = next(unit for unit in ("D", "s", "ns") if np.all(stamps == stamps.astype(f"datetime64[{unit}]")))
        return [str(text) for text in np.datetime_as_string(stamps, unit=unit)]
    return [str(int(value)) if value.is_integer() and abs(value) < 2**53 else repr(value) for value in grid.tolist()]


def _with_values(frame, chosen, values, dtypes=None):
    """`frame` with `values` (rows, len(chosen)) in the columns `chosen`, each
    in its own float32 or float64 type (from `dtypes`, default frame's). The
    smoothed columns form one block: assigning them one by one would leave
    thousands of blocks, which pandas writes many times slower."""
    import pandas as pd

    smoothed = pd.DataFrame(values, columns=chosen, index=frame.index, copy=False)
    dtypes = frame.dtypes if dtypes is None else dtypes
    wanted = {column: result_dtype(dtypes[column]) for column in chosen}
    narrow = {column: dtype for column, dtype in wanted.items() if dtype != values.dtype}
    if narrow:
        smoothed = smoothed.astype(narrow)
    kept = [column for column in frame.columns if column not in chosen]
    order = [column for column in dtypes.index if column in chosen or column in kept]
    return pd.concat([frame[kept], smoothed], axis=1)[order]


def _write(frame, path, fmt, sep, progress):
    rows = len(frame)
    with progress.stage("writing", rows, "rows") as bar:
        if fmt != "csv":
            frame.to_parquet(path)
            bar.update(rows)
            return
        if path is sys.stdout:
            write_csv(frame, path, sep, bar)
            return
        with open(path, "w", newline="", encoding="utf-8") as out:
            write_csv(frame, out, sep, bar)
