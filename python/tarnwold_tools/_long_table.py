"""Long tables: one reading per row, with a column of ids naming the series
(date, well, level). Each id's rows form one series per value column; ids
observed at the same positions are smoothed in one call, the others in
calls of their own, so that a series' fit never depends on the days other
ids were read. The output keeps the input's rows, in their order, or on an
output grid holds one row per id and output position."""

import numpy as np

from ._cli_common import Loaded, UsageError, checked_positions, note
from ._table_dates import time_values
from ._table_rows import merged, notes, row_order
from ._tables import lookup, value_columns, values_of, with_values


def series_by_id(frame, by_name, time_column, id_key, chosen, reading, writer):
    """The series of a long table, `id_key` its column of ids; `writer`
    writes a frame in the input's format (see _tables._writer)."""
    import pandas as pd

    if time_column is None or time_column.lower() == "none" and "none" not in by_name:
        raise UsageError("--id-column needs --time-column: the positions of each id's readings")
    time_key = lookup(by_name, time_column)
    if time_key == id_key:
        raise UsageError("the id column cannot also be the time column")
    chosen = value_columns(frame, chosen, [time_key, id_key], time_column)
    codes, ids = pd.factorize(frame[id_key], sort=False)
    if (codes < 0).any():
        raise UsageError(f"the id column {str(id_key)!r} has missing values (row {int(np.argmax(codes < 0)) + 1} of the data)")
    what = f"time column {time_column!r}"
    values, zone = time_values(frame[time_key], reading.dates, what)
    y_rows = values_of(frame, chosen)
    # The rows of each id, in the input's order.
    by_code = np.argsort(codes, kind="stable")
    rows = np.split(by_code, np.cumsum(np.bincount(codes, minlength=len(ids)))[:-1])
    orders = [row_order(values[taken], f"{what} of id {ids[code]!r}") for code, taken in enumerate(rows)]
    notes(orders, f"{what} within an id", note)

    # Ids with the same distinct positions share a call, in order of first appearance.
    grouped = {}
    for code, (taken, order) in enumerate(zip(rows, orders)):
        distinct = values[taken][order.first]
        grouped.setdefault((distinct.dtype.str, distinct.tobytes()), []).append(code)
    parts = []
    for codes_in_part in grouped.values():
        first = codes_in_part[0]
        x_values = values[rows[first]][orders[first].first]
        x = checked_positions(x_values, what)
        merged_ids = [merged(y_rows[rows[code]].T, orders[code]) for code in codes_in_part]
        # Series by value column, then by id.
        y_st = np.stack([y for y, _ in merged_ids], axis=1).reshape(-1, x.size)
        w_st = None
        if any(w is not None for _, w in merged_ids):
            w_st = np.stack([np.isfinite(y).astype(np.float64) if w is None else w for y, w in merged_ids], axis=1)
            w_st = w_st.reshape(-1, x.size)
        labels = [f"{column}[{ids[code]}]" for column in chosen for code in codes_in_part]
        # A part is smoothed, never written on its own: the table's write below writes them all.
        parts.append((Loaded(x, x_values, time_column, y_st, labels, write=None, w_st=w_st), codes_in_part))

    def write(z_parts, path, progress, grid=None):
        if grid is not None:
            writer(on_grid(z_parts, grid), path, progress, chosen)
            return
        smoothed = np.full(y_rows.shape, np.nan)
        for code, z in fits_by_id(z_parts):
            smoothed[rows[code]] = orders[code].spread(z).T
        writer(with_values(frame, chosen, smoothed), path, progress, chosen)

    def fits_by_id(z_parts):
        """(code, fit) of every id, its fit (value columns, positions) taken
        from the z_st of its part."""
        for (_, codes_in_part), z_st in zip(parts, z_parts):
            z_st = z_st.reshape(len(chosen), len(codes_in_part), -1)
            for index, code in enumerate(codes_in_part):
                yield code, z_st[:, index]

    def on_grid(z_parts, grid):
        """One row per id (in order of first appearance) and output position
        (increasing): the time, the id and the smoothed columns."""
        import pandas as pd

        left_out = [str(column) for column in frame.columns if column not in (time_key, id_key) and column not in chosen]
        if left_out:
            note(f"columns not smoothed are left out on the new grid: {', '.join(left_out)}")
        smoothed = np.empty((len(ids), len(grid), len(chosen)))
        for code, z in fits_by_id(z_parts):
            smoothed[code] = z.T
        # The grid is in UTC without a zone, as the positions were read; a
        # zoned time column is written back in its own zone.
        times = pd.Index(grid) if zone is None else pd.DatetimeIndex(grid).tz_localize("UTC").tz_convert(zone)
        rows_out = pd.DataFrame({time_key: times.take(np.tile(np.arange(len(grid)), len(ids))),
                                 id_key: ids.take(np.repeat(np.arange(len(ids)), len(grid)))})  # fmt: skip
        return with_values(rows_out, chosen, smoothed.reshape(-1, len(chosen)), frame.dtypes)

    loaded = parts[0][0]
    return Loaded(loaded.x, loaded.x_values, time_column, loaded.y_st, loaded.labels, write, w_st=loaded.w_st,
                  parts=[part for part, _ in parts])  # fmt: skip
