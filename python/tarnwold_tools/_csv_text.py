"""CSV text of a table as pandas writes it, only faster for wide tables of
floats: pandas turns floats into text through NumPy and then walks every
column of every chunk, which for thousands of smoothed columns takes several
times as long as reading them. Here the float64 cells become Python's
shortest exact text in one pass and the csv module writes whole rows."""

import csv
import os

import numpy as np

# Cells turned into text at a time: the progress bar moves once per piece.
CELLS_PER_PIECE = 1_000_000


def write_csv(frame, out, sep, bar):
    """Writes `frame` with its header and without its index to the text file
    `out`, reporting the rows written to `bar`."""
    writer = csv.writer(out, delimiter=sep, lineterminator=os.linesep)
    writer.writerow([str(column) for column in frame.columns])
    dtypes = list(frame.dtypes)
    floats = [i for i, dtype in enumerate(dtypes) if dtype == np.float64]
    others = [i for i, dtype in enumerate(dtypes) if dtype != np.float64]
    if not all(_plain(dtypes[i]) for i in others):
        # Types whose text pandas formats in ways of its own: leave it to pandas.
        frame.to_csv(out, sep=sep, index=False, header=False)
        bar.update(len(frame))
        return
    step = max(1, CELLS_PER_PIECE // max(1, frame.shape[1]))
    for start in range(0, len(frame), step):
        piece = frame.iloc[start : start + step]
        cells = np.empty(piece.shape, dtype=object)
        if floats:
            cells[:, floats] = _float_texts(piece.iloc[:, floats].to_numpy())
        for i in others:
            cells[:, i] = _texts(piece.iloc[:, i])
        writer.writerows(cells.tolist())
        bar.update(len(piece))


def _plain(dtype):
    from pandas.api.types import is_bool_dtype, is_integer_dtype, is_object_dtype, is_string_dtype

    return dtype.kind in "fM" and not hasattr(dtype, "tz") or is_integer_dtype(dtype) or is_bool_dtype(dtype) or is_object_dtype(dtype) or is_string_dtype(dtype)


def _float_texts(values):
    texts = np.array(list(map(float.__repr__, values.ravel().tolist())), dtype=object).reshape(values.shape)
    texts[np.isnan(values)] = ""
    return texts


def _texts(series):
    texts = series.astype(str).to_numpy(dtype=object)
    texts[series.isna().to_numpy()] = ""
    return texts
