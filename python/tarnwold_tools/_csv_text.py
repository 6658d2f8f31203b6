"""CSV text of a table as pandas writes it, only faster for wide tables of
floats: pandas turns floats into text through NumPy and then walks every
column of every chunk, which for thousands of smoothed columns takes several
times as long as reading them. Here the float64 cells become Python's
shortest exact text in one pass and the csv module writes whole rows."""

import csv
import os
from dataclasses import dataclass

import numpy as np

# Cells turned into text at a time: the progress bar moves once per piece.
CELLS_PER_PIECE = 1_000_000


@dataclass(frozen=True)
class Dialect:
    """How a CSV file writes its cells: the field separator, the decimal mark
    of its numbers and, for the smoothed columns, the significant digits
    (None: the shortest text that reads back as the same number)."""

    sep: str = ","
    decimal: str = "."
    digits: int | None = None


def write_csv(frame, out, dialect, bar, rounded=()):
    """Writes `frame` with its header and without its index to the text file
    `out` in `dialect`, reporting the rows written to `bar`. The columns
    named in `rounded` are written with dialect.digits significant digits;
    every other float keeps its shortest exact text."""
    writer = csv.writer(out, delimiter=dialect.sep, lineterminator=os.linesep)
    writer.writerow([str(column) for column in frame.columns])
    dtypes = list(frame.dtypes)
    if not all(_plain(dtype) for dtype in dtypes):
        # Types whose text pandas formats in ways of its own: leave it to pandas.
        _pandas_csv(frame, out, dialect, rounded)
        bar.update(len(frame))
        return
    digits = [dialect.digits if column in rounded else None for column in frame.columns]
    shortest = [dtype == np.float64 and digits[i] is None for i, dtype in enumerate(dtypes)]
    floats = [i for i, plain_float in enumerate(shortest) if plain_float]
    others = [i for i, plain_float in enumerate(shortest) if not plain_float]
    step = max(1, CELLS_PER_PIECE // max(1, frame.shape[1]))
    for start in range(0, len(frame), step):
        piece = frame.iloc[start : start + step]
        cells = np.empty(piece.shape, dtype=object)
        if floats:
            cells[:, floats] = _float_texts(piece.iloc[:, floats].to_numpy(), dialect.decimal)
        for i in others:
            cells[:, i] = _texts(piece.iloc[:, i], dialect.decimal, digits[i])
        writer.writerows(cells.tolist())
        bar.update(len(piece))


def _pandas_csv(frame, out, dialect, rounded):
    shortest = [column for column in frame.columns if column not in rounded and frame[column].dtype.kind == "f"]
    if dialect.digits is not None and rounded:
        # float_format applies to every float column: those not rounded go as text.
        frame = frame.astype({column: object for column in shortest})
        frame[shortest] = frame[shortest].map(lambda value: _float_text(value, dialect.decimal, None))
    fmt = None if dialect.digits is None else f"%.{dialect.digits}g"
    frame.to_csv(out, sep=dialect.sep, decimal=dialect.decimal, float_format=fmt, index=False, header=False)


def _plain(dtype):
    from pandas.api.types import is_bool_dtype, is_integer_dtype, is_object_dtype, is_string_dtype

    return dtype.kind in "fM" and not hasattr(dtype, "tz") or is_integer_dtype(dtype) or is_bool_dtype(dtype) or is_object_dtype(dtype) or is_string_dtype(dtype)


def _float_texts(values, decimal):
    texts = np.array(list(map(float.__repr__, values.ravel().tolist())), dtype=object).reshape(values.shape)
    if decimal != ".":
        texts = np.array([text.replace(".", decimal) for text in texts.ravel().tolist()], dtype=object).reshape(values.shape)
    texts[np.isnan(values)] = ""
    return texts


def _float_text(value, decimal, digits):
    if value != value:
        return ""
    text = repr(value) if digits is None else format(value, f".{digits}g")
    return text.replace(".", decimal)


def _texts(series, decimal, digits):
    if series.dtype.kind == "f" and (digits is not None or decimal != "."):
        if digits is None:  # float32: its own shortest text, as pandas writes it
            return np.array(["" if value != value else str(value).replace(".", decimal) for value in series.to_numpy()], dtype=object)
        return np.array([_float_text(value, decimal, digits) for value in series.tolist()], dtype=object)
    texts = series.astype(str).to_numpy(dtype=object)
    texts[series.isna().to_numpy()] = ""
    return texts
