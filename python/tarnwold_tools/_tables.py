"""CSV and Parquet tables for the command line, with series in columns or in rows."""

import math
import warnings

import numpy as np

from ._cli_common import Loaded, UsageError, checked_positions, first_line, require


def load_table(path, fmt, layout, time_column, columns):
    frame = _read(path, fmt)
    by_name = {str(column): column for column in frame.columns}
    chosen = None if columns is None else [_lookup(by_name, name) for name in columns]
    if layout == "columns":
        return _series_in_columns(frame, fmt, by_name, time_column, chosen)
    if time_column is not None:
        raise UsageError("--time-column applies to --series columns; with --series rows the headers of the value columns are the positions")
    return _series_in_rows(frame, fmt, chosen)


def _read(path, fmt):
    pd = require("pandas", "reading CSV and Parquet files")
    if fmt == "parquet":
        require("pyarrow", "reading Parquet files")
    try:
        if fmt == "csv":
            return pd.read_csv(path, **exact_floats(pd))
        return pd.read_parquet(path)
    except (OSError, ValueError) as error:
        raise UsageError(f"cannot read {path}: {first_line(error)}") from None


def exact_floats(pd):
    """read_csv options that give back every float exactly as written. Before
    pandas 3 the default parser may be one unit in the last place off; pandas 3
    parses exactly and deprecates the option."""
    return {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}


def _write(frame, path, fmt):
    if fmt == "csv":
        frame.to_csv(path, index=False)
    else:
        frame.to_parquet(path)


def _lookup(by_name, name):
    if name not in by_name:
        listed = ", ".join(list(by_name)[:20]) + (", ..." if len(by_name) > 20 else "")
        raise UsageError(f"unknown column {name!r} (the columns are: {listed})")
    return by_name[name]


def _is_numeric(series):
    from pandas.api.types import is_bool_dtype, is_numeric_dtype

    return is_numeric_dtype(series.dtype) and not is_bool_dtype(series.dtype)


def _check_numeric(frame, columns):
    for column in columns:
        if not _is_numeric(frame[column]):
            raise UsageError(f"column {str(column)!r} is not numeric")


def _values(frame, columns):
    return frame[columns].to_numpy(dtype=np.float64, na_value=np.nan)


def _time_values(series):
    """The values of a time column as numbers or datetime64."""
    import pandas as pd

    if _is_numeric(series):
        return series.to_numpy(dtype=np.float64, na_value=np.nan)
    if not isinstance(series.dtype, pd.DatetimeTZDtype) and series.dtype.kind != "M":
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                series = pd.to_datetime(series)
        except (ValueError, TypeError, OverflowError):
            return series.to_numpy()
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        series = series.dt.tz_convert(None)
    return series.to_numpy()


def _series_in_columns(frame, fmt, by_name, time_column, chosen):
    if time_column is None:
        x_values, x_label, time_key = np.arange(len(frame), dtype=np.float64), "row", None
    else:
        time_key = _lookup(by_name, time_column)
        x_values, x_label = _time_values(frame[time_key]), time_column
    x = checked_positions(x_values, f"time column {time_column!r}" if time_column else "row numbers")

    if chosen is None:
        chosen = [column for column in frame.columns if column != time_key and _is_numeric(frame[column])]
        if not chosen:
            raise UsageError("the table has no numeric columns to smooth")
    elif time_key in chosen:
        raise UsageError(f"the time column {time_column!r} cannot also be a series")
    _check_numeric(frame, chosen)

    def write(z_st, path):
        out = frame.copy()
        out[chosen] = z_st.T
        _write(out, path, fmt)

    return Loaded(x, x_values, x_label, _values(frame, chosen).T, [str(c) for c in chosen], write)


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


def _series_in_rows(frame, fmt, chosen):
    import pandas as pd

    if chosen is None:
        numeric = [column for column in frame.columns if _is_numeric(frame[column])]
        chosen = [column for column in numeric if _header_number(str(column)) is not None]
        if not chosen:
            chosen = [column for column in numeric if _is_date(str(column))]
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

    def write(z_st, path):
        out = frame.copy()
        out[chosen] = z_st
        _write(out, path, fmt)

    return Loaded(x, x_values, x_label, _values(frame, chosen), labels, write)
