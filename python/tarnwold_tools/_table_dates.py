"""Dates written as text in a table: how they are read (day first, an
explicit format) and times whose UTC offset changes (summer time), which
are taken in UTC."""

import warnings
from dataclasses import dataclass

import numpy as np

from ._cli_common import UsageError, note


@dataclass(frozen=True)
class DateReading:
    """How text dates are read: `dayfirst` takes 07/01/2019 as 7 January,
    `format` (strftime codes such as %d.%m.%Y %H:%M) reads every date with
    it; None: pandas' own reading, month first."""

    dayfirst: bool = False
    format: str | None = None

    def options(self):
        return {"dayfirst": self.dayfirst} if self.format is None else {"format": self.format}


def parsed_dates(texts, reading, utc=False):
    """`texts` (a pandas Series or a list) as pandas datetimes; ValueError
    (or TypeError, OverflowError) where a text is no date."""
    import pandas as pd

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pd.to_datetime(texts, utc=utc, **reading.options())


def looks_like_dates(series, reading):
    """Whether a text column holds dates (checked on its first cells), in
    one UTC offset or several."""
    import pandas as pd

    sample = series.dropna().astype(str).head(20)
    if sample.empty or pd.to_numeric(sample, errors="coerce").notna().any():
        return False
    try:
        return bool(parsed_dates(sample, reading, utc=True).notna().all())
    except (ValueError, TypeError, OverflowError):
        return False


def time_values(series, reading, what):
    """The values of a time column as numbers or datetime64 (zoned dates in
    UTC), and the time zone of its dates (None without one). Text that is
    neither stays as it is, for the caller to refuse. Times whose UTC offset
    changes within the column (local times across a switch to summer time)
    are converted to UTC, with a note."""
    import pandas as pd
    from pandas.api.types import is_bool_dtype, is_numeric_dtype

    if is_numeric_dtype(series.dtype) and not is_bool_dtype(series.dtype):
        return series.to_numpy(dtype=np.float64, na_value=np.nan), None
    if not isinstance(series.dtype, pd.DatetimeTZDtype) and series.dtype.kind != "M":
        series = _parsed_column(series, reading, what)
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        return series.dt.tz_convert(None).to_numpy(), series.dt.tz
    return series.to_numpy(), None


def _parsed_column(series, reading, what):
    try:
        parsed = parsed_dates(series, reading)
        if parsed.dtype.kind != "O":
            return parsed
        # Older pandas hands back times of several offsets as they are.
    except (ValueError, TypeError, OverflowError):
        pass
    try:
        parsed = parsed_dates(series, reading, utc=True)
    except (ValueError, TypeError, OverflowError):
        if reading.format is not None:
            raise UsageError(f"{what} does not match --date-format {reading.format}: {_unmatched(series, reading)}") from None
        return series
    note(f"{what} holds times with different UTC offsets: they are taken in UTC")
    return parsed


def _unmatched(series, reading):
    """The first cell of `series` that `reading` reads as no date, and its row."""
    import pandas as pd

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        parsed = pd.to_datetime(series, errors="coerce", utc=True, **reading.options())
    failed = np.flatnonzero(parsed.isna().to_numpy() & series.notna().to_numpy())
    if failed.size == 0:
        return "its times cannot be read together"
    return f"{str(series.iloc[failed[0]])!r} (row {failed[0] + 1} of the data)"
