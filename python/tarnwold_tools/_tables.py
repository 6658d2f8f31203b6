"""CSV and Parquet tables for the command line, with series in columns or in rows."""

import csv
import math
import sys
import warnings
from dataclasses import dataclass, replace

import numpy as np

from ._cli_common import Loaded, UsageError, checked_positions, first_line, note, require
from ._csv_text import Dialect, write_csv
from ._smoothing import check_real, result_dtype
from ._table_dates import DateReading, looks_like_dates, parsed_dates, time_values
from ._table_rows import merged, notes, row_order

# The separators a CSV file's header is searched for, when none is given.
_SEPARATORS = (",", ";", "\t", "|")


@dataclass(frozen=True)
class TableReading:
    """How a table is read: the CSV dialect (its separator found in the
    header line unless `sep_given`), how text dates are read, and the column
    of ids of a long table (None: one series per value column)."""

    dialect: Dialect = Dialect()
    sep_given: bool = False
    dates: DateReading = DateReading()
    id_column: str | None = None


def load_table(path, fmt, layout, time_column, columns, reading, progress):
    if fmt == "csv" and not reading.sep_given:
        reading = replace(reading, dialect=replace(reading.dialect, sep=_found_separator(path)))
    if reading.dialect.sep == reading.dialect.decimal:
        raise UsageError(f"the decimal mark {reading.dialect.decimal!r} is also the field separator; "
                         "a file with decimal commas separates its fields by another character (pass --sep)")
    frame = _read(path, fmt, reading, progress)
    by_name = {str(column): column for column in frame.columns}
    chosen = None if columns is None else [lookup(by_name, name) for name in columns]
    if reading.id_column is not None:
        if layout != "columns":
            raise UsageError("--id-column applies to --series columns: a long table holds one reading per row")
        from ._long_table import series_by_id

        return series_by_id(frame, by_name, time_column, lookup(by_name, reading.id_column), chosen, reading,
                            _writer(fmt, reading.dialect))  # fmt: skip
    if layout == "columns":
        return _series_in_columns(frame, fmt, reading, by_name, time_column, chosen)
    if time_column is not None:
        raise UsageError("--time-column applies to --series columns; with --series rows the headers of the value columns are the positions")
    return _series_in_rows(frame, fmt, reading, chosen)


def _found_separator(path):
    """The separator of a CSV file: of those tried, the one its header line
    holds most often (a comma when it holds none)."""
    try:
        with open(path, newline="", encoding="utf-8-sig", errors="replace") as text:
            header = text.readline()
    except OSError:
        return ","  # the reader reports the failure in its words
    counts = [header.count(sep) for sep in _SEPARATORS]
    return _SEPARATORS[counts.index(max(counts))] if max(counts) else ","


def _read(path, fmt, reading, progress):
    pd = require("pandas", "reading CSV and Parquet files")
    if fmt == "parquet":
        require("pyarrow", "reading Parquet files")
    size = path.stat().st_size
    sep, decimal = reading.dialect.sep, reading.dialect.decimal
    try:
        with progress.stage("reading", size, "B") as bar:
            if fmt == "csv":
                _check_headers(_csv_header(path, sep), path)
                with open(path, "rb") as raw:
                    frame = pd.read_csv(_Counted(raw, bar), sep=sep, decimal=decimal, **exact_floats(pd))
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


def lookup(by_name, name):
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
    texts = series[present].astype(str)
    numbers = pd.to_numeric(texts, errors="coerce").notna().to_numpy()
    if numbers.any() and not numbers.all() and numbers.mean() > share:
        bad = np.flatnonzero(present)[np.argmin(numbers)]
        raise UsageError(f"column {str(column)!r} holds numbers but also {str(series.iloc[bad])!r} (row {bad + 1} of the data){hint}")
    if texts.size and not numbers.any() and pd.to_numeric(texts.str.replace(",", ".", regex=False), errors="coerce").notna().all():
        raise UsageError(f"column {str(column)!r} holds numbers with decimal commas ({texts.iloc[0]!r}): pass --decimal ,{hint}")


def values_of(frame, columns):
    return frame[columns].to_numpy(dtype=np.float64, na_value=np.nan)


def _series_in_columns(frame, fmt, reading, by_name, time_column, chosen):
    if time_column is None:
        refuse_undeclared_dates(frame, reading.dates)
    if time_column is None or time_column.lower() == "none" and "none" not in by_name:
        x_values, x_label, time_key, zone = np.arange(len(frame), dtype=np.float64), "row", None, None
    else:
        time_key = lookup(by_name, time_column)
        x_label = time_column
        x_values, zone = time_values(frame[time_key], reading.dates, f"time column {time_column!r}")
    what = "row numbers" if time_key is None else f"time column {time_column!r}"
    order = row_order(x_values, what)
    notes([order], what, note)
    x_values = x_values[order.first]
    x = checked_positions(x_values, what)
    chosen = value_columns(frame, chosen, [time_key], time_column)
    y_st, w_st = merged(values_of(frame, chosen).T, order)
    writer = _writer(fmt, reading.dialect)

    def write(z_st, path, progress, grid=None):
        if grid is None:
            writer(with_values(frame, chosen, order.spread(z_st).T), path, progress, chosen)
            return
        # One row per output position: columns along the rows that were not
        # smoothed have no values there.
        left_out = [str(column) for column in frame.columns if column != time_key and column not in chosen]
        if left_out:
            note(f"columns not smoothed are left out on the new grid: {', '.join(left_out)}")
        import pandas as pd

        # The grid is in UTC without a zone, as the positions were read;
        # a zoned time column is written back in its own zone.
        times = grid if zone is None else pd.DatetimeIndex(grid).tz_localize("UTC").tz_convert(zone)
        positions = pd.DataFrame({time_key: times})
        writer(with_values(positions, chosen, z_st.T, frame.dtypes), path, progress, chosen)

    refusal = "--every and --x-out need --time-column: the output positions are written into it" if time_key is None else None
    return Loaded(x, x_values, x_label, y_st, [str(c) for c in chosen], write, grid_refusal=refusal, w_st=w_st)


def refuse_undeclared_dates(frame, dates):
    """A table with a column of dates and no --time-column would be smoothed
    along its row numbers: the user is asked which is meant."""
    found = [str(column) for column, dtype in frame.dtypes.items()
             if _is_time(dtype) or _is_text(dtype) and looks_like_dates(frame[column], dates)]
    if found:
        raise UsageError(f"column {found[0]!r} holds dates: pass --time-column {found[0]}, or --time-column none for row numbers")


def value_columns(frame, chosen, excluded, time_column):
    """The columns to smooth: `chosen`, or every floating-point column but
    the `excluded` ones (time, ids), with a note naming the integer columns
    that are copied through as they are."""
    if chosen is None:
        for column, dtype in frame.dtypes.items():
            if column not in excluded and _is_text(dtype):
                _reject_bad_cell(frame[column], column, share=0.5, hint="; name the columns to smooth with --columns if it is no data")
        chosen = [column for column, dtype in frame.dtypes.items() if column not in excluded and dtype.kind == "f"]
        if not chosen:
            raise UsageError("the table has no floating-point columns to smooth (name integer columns with --columns)")
        integers = [str(column) for column, dtype in frame.dtypes.items() if column not in excluded and dtype.kind in "iu"]
        if integers:
            note(f"integer columns are copied through unsmoothed: {', '.join(integers)} (name them with --columns to smooth them)")
    else:
        for key, what in zip(excluded, (f"the time column {time_column!r}", "the id column")):
            if key is not None and key in chosen:
                raise UsageError(f"{what} cannot also be a series")
    _check_numeric(frame, chosen)
    return chosen


def _header_number(header):
    try:
        value = float(header)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _is_date(header, dates):
    import pandas as pd

    try:
        if dates == DateReading():
            # A wide table has thousands of headers: a Timestamp each is much
            # faster than to_datetime.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return not pd.isna(pd.Timestamp(header))
        return bool(parsed_dates([header], dates, utc=True).notna()[0])
    except (ValueError, TypeError, OverflowError):
        return False


def _series_in_rows(frame, fmt, reading, chosen):
    import pandas as pd

    dates = reading.dates
    if chosen is None:
        chosen = [column for column in frame.columns if _header_number(str(column)) is not None]
        if not chosen:
            chosen = [column for column in frame.columns if _is_date(str(column), dates)]
        if not chosen:
            raise UsageError("with --series rows the value columns need numbers or dates as headers; none found (name them with --columns)")
    _check_numeric(frame, chosen)

    headers = [str(column) for column in chosen]
    numbers = [_header_number(header) for header in headers]
    if all(number is not None for number in numbers):
        x_values, x_label = np.array(numbers), "column header"
    else:
        try:
            x_values = parsed_dates(headers, dates).to_numpy()
        except (ValueError, TypeError, OverflowError):
            raise UsageError("with --series rows the headers of the value columns must all be numbers or all be dates") from None
        x_label = "date"
    x = checked_positions(x_values, "the sequence of column headers")

    others = [column for column in frame.columns if column not in chosen]
    if others:
        labels = [str(value) for value in frame[others[0]]]
    else:
        labels = [f"row {index}" for index in frame.index]

    writer = _writer(fmt, reading.dialect)

    def write(z_st, path, progress, grid=None):
        if grid is None:
            writer(with_values(frame, chosen, z_st), path, progress, chosen)
            return
        # Value columns left out of --columns lie along the positions too:
        # they have no values on the new grid.
        dated = x_label == "date"
        left_out = [str(column) for column in others
                    if (_is_date(str(column), dates) if dated else _header_number(str(column)) is not None)]
        if left_out:
            note(f"columns not smoothed are left out on the new grid: {', '.join(left_out)}")
        kept = [column for column in others if str(column) not in left_out]
        headers = _headers(grid)
        clash = set(headers) & {str(column) for column in kept}
        if clash:
            raise UsageError(f"the output position {sorted(clash)[0]!r} is also the name of a column")
        # The value columns become the output positions, in the widest type of the old ones.
        dtype = np.result_type(*(result_dtype(frame.dtypes[column]) for column in chosen))
        smoothed = pd.DataFrame(z_st.astype(dtype, copy=False), columns=headers, index=frame.index, copy=False)
        writer(pd.concat([frame[kept], smoothed], axis=1), path, progress, headers)

    return Loaded(x, x_values, x_label, values_of(frame, chosen), labels, write)


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


def with_values(frame, chosen, values, dtypes=None):
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


def _writer(fmt, dialect):
    """write(frame, path, progress, smoothed): writes `frame` as `fmt`, a CSV
    file in `dialect` (its digits for the columns `smoothed`)."""

    def write(frame, path, progress, smoothed):
        rows = len(frame)
        with progress.stage("writing", rows, "rows") as bar:
            if fmt != "csv":
                frame.to_parquet(path)
                bar.update(rows)
                return
            if path is sys.stdout:
                write_csv(frame, path, dialect, bar, set(smoothed))
                return
            with open(path, "w", newline="", encoding="utf-8") as out:
                write_csv(frame, out, dialect, bar, set(smoothed))

    return write
