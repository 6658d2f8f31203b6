"""The tarnwold-smooth command line on real files: CSV, Parquet and NetCDF in,
the same format out, results equal to direct calls of the module."""

import hashlib
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

import tarnwold
from tarnwold_tools import _csv_text, _progress, envelope, evaluate_lambda, robust, select_lambda
from tarnwold_tools._tables import exact_floats
from tarnwold_tools.cli import main

T, S = 40, 12
DAYS = np.cumsum(np.random.default_rng(4).integers(1, 6, T)).astype(np.float64)
DATES = np.datetime64("2023-01-01") + DAYS.astype("timedelta64[D]")
NEEDS = {"csv": ["pandas"], "parquet": ["pandas", "pyarrow"], "netcdf": ["xarray", "netCDF4"]}
SUFFIX = {"csv": ".csv", "parquet": ".parquet", "netcdf": ".nc"}


def observations(seed=0):
    rng = np.random.default_rng(seed)
    y_st = np.sin(DAYS / 15.0 + rng.uniform(0, 3, (S, 1))) + rng.normal(0.0, 0.2, (S, T))
    missing = rng.random(y_st.shape) < 0.1
    # Observed at both ends, so that the plain fit is the module's without
    # a ridge (missing ends are solved on the observations' span).
    missing[:, [0, -1]] = False
    y_st[missing] = np.nan
    y_st[rng.random(y_st.shape) < 0.05] += 2.0
    return y_st


def write_input(tmp_path, fmt, layout="columns", name="data", dtype=np.float64, encoding=None):
    """Writes the observations in `fmt` and returns the path; every layout
    carries a text column that must come through unchanged, NetCDF files
    also an integer coordinate along time (quality flags, with a fill value)."""
    for module in NEEDS[fmt]:
        pytest.importorskip(module)
    path = tmp_path / f"{name}{SUFFIX[fmt]}"
    y_st = observations().astype(dtype)
    if fmt == "netcdf":
        import xarray as xr

        cube = y_st.T.reshape(T, 3, 4)
        xr.Dataset(
            {"ndvi": (("time", "y", "x"), cube, {"units": "1"}), "station": ("y", ["a", "b", "c"])},
            coords={"time": DATES, "qa": ("time", np.arange(T, dtype=np.int16) % 4)},
        ).to_netcdf(path, encoding={"ndvi": encoding or {}, "qa": {"_FillValue": np.int16(-1)}})
        return path
    import pandas as pd

    if layout == "columns":
        dates = DATES.astype(str) if fmt == "csv" else DATES
        frame = pd.DataFrame({"date": dates, **{f"s{i}": y_st[i] for i in range(S)}, "note": ["x"] * T})
    else:
        frame = pd.DataFrame(y_st, columns=[str(d) for d in DATES])
        frame.insert(0, "site", [f"site{i}" for i in range(S)])
    if fmt == "csv":
        frame.to_csv(path, index=False)
    else:
        frame.to_parquet(path)
    return path


def read_result(path, fmt, layout="columns", encoding=None, units="1"):
    """The (S, T) smoothed values and the untouched text column of an output."""
    if fmt == "netcdf":
        import xarray as xr

        with xr.open_dataset(path) as ds:
            assert ds["ndvi"].attrs == {"units": units}
            if encoding is not None:
                assert {key: ds["ndvi"].encoding[key] for key in encoding} == encoding
            assert ds["qa"].encoding["dtype"] == np.int16
            np.testing.assert_array_equal(ds["qa"].values, np.arange(T) % 4)
            return ds["ndvi"].values.reshape(T, S).T, list(ds["station"].values)
    import pandas as pd

    frame = pd.read_csv(path, **exact_floats(pd)) if fmt == "csv" else pd.read_parquet(path)
    if layout == "columns":
        return frame[[f"s{i}" for i in range(S)]].to_numpy().T, list(frame["note"])
    return frame.iloc[:, 1:].to_numpy(), list(frame["site"])


def expected(method, dtype, options, data_dtype=np.float64):
    """The module's result on the observations as stored in `data_dtype`,
    computed in `dtype` and handed back in `data_dtype`."""
    name = "robust_whittaker_irls" if method == "robust" else "whittaker_solve"
    function = getattr(tarnwold, f"{name}_{'f32' if dtype == 'float32' else 'f64'}")
    y_st = observations().astype(data_dtype).astype(dtype)
    if method == "envelope":
        return envelope(DAYS - DAYS[0], y_st, **options).z.astype(data_dtype)
    if method == "robust" and isinstance(options.get("lam"), str):
        return robust(DAYS - DAYS[0], y_st, **options).z.astype(data_dtype)
    if "derivative" in options:
        rest = {key: value for key, value in options.items() if key != "lam"}
        if isinstance(options["lam"], str):
            return select_lambda(DAYS - DAYS[0], y_st, criterion=options["lam"], **rest).z.astype(data_dtype)
        return evaluate_lambda(DAYS - DAYS[0], y_st, options["lam"], **rest).z.astype(data_dtype)
    if isinstance(options.get("lam"), str):
        rest = {key: value for key, value in options.items() if key != "lam"}
        return select_lambda(DAYS - DAYS[0], y_st, criterion=options["lam"], **rest).z.astype(data_dtype)
    if method == "whittaker":  # every series has at least d observations: no ridge unless given
        options = {"ridge": 0.0, **options}
    return function((DAYS - DAYS[0]).astype(dtype), y_st, **options).astype(data_dtype)


def run(argv, capsys):
    status = main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.err


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


OPTION_SETS = [
    ([], "whittaker", "float64", {}),
    (["--lam", "30", "--d", "3", "--normalize", "median", "--no-parallel"], "whittaker", "float64",
     {"lam": 30.0, "d": 3, "normalize": "median", "parallel": False}),
    (["--method", "robust", "--iterations", "4", "--weighting", "Huber", "--scale", "huber", "--merge-x-tol", "none",
      "--dtype", "float32", "--tuning", "0,0,2.5"], "robust", "float32",
     {"iterations": 4, "weighting": "huber", "scale": "huber", "merge_x_tol": None, "tuning": (0.0, 0.0, 2.5)}),
    (["--method", "robust", "--iterations", "3", "--merge-x-tol", "1.5", "--normalize", "none", "--ridge", "1e-6"],
     "robust", "float64", {"iterations": 3, "merge_x_tol": 1.5, "normalize": None, "ridge": 1e-6}),
    # Robust smoothing without --iterations reweights, rather than being the plain fit.
    (["--method", "robust"], "robust", "float64", {"iterations": 4}),
    # lam chosen per series, the same in chunks of 5 series as in one call.
    (["--lam", "reml"], "whittaker", "float64", {"lam": "reml"}),
    (["--lam", "GCV", "--d", "3", "--chunk-size", "5", "--no-parallel"], "whittaker", "float64",
     {"lam": "gcv", "d": 3, "parallel": False}),
    # Rates along the positions, per day.
    (["--lam", "30", "--derivative", "1", "--chunk-size", "5"], "whittaker", "float64", {"lam": 30.0, "derivative": 1}),
    (["--lam", "reml", "--derivative", "2"], "whittaker", "float64", {"lam": "reml", "derivative": 2}),
    # Envelopes: lam chosen on the asymmetric weights by default, or given.
    (["--envelope", "0.9", "--chunk-size", "5"], "envelope", "float64", {"p": 0.9}),
    (["--envelope", "0.05", "--lam", "20", "--iterations", "3", "--d", "3"], "envelope", "float64",
     {"p": 0.05, "lam": 20.0, "iterations": 3, "d": 3}),
    (["--envelope", "0.8", "--lam", "reml", "--derivative", "1"], "envelope", "float64",
     {"p": 0.8, "lam": "reml", "derivative": 1}),
    # Robust smoothing with lam chosen per series at every pass, its options mapped.
    (["--method", "robust", "--lam", "reml", "--weighting", "cauchy", "--iterations", "3", "--chunk-size", "5"], "robust",
     "float64", {"lam": "reml", "weighting": "cauchy", "iterations": 3}),
    (["--method", "robust", "--lam", "gcv", "--scale", "huber", "--tuning", "0,0,3", "--derivative", "1"], "robust",
     "float64", {"lam": "gcv", "scale": "huber", "tuning": (0.0, 0.0, 3.0), "derivative": 1}),
]


@pytest.mark.parametrize("fmt", ["csv", "parquet", "netcdf"])
@pytest.mark.parametrize(("flags", "method", "dtype", "options"), OPTION_SETS)
def test_smooths_each_format_like_the_module(tmp_path, capsys, fmt, flags, method, dtype, options):
    source = write_input(tmp_path, fmt)
    before = digest(source)
    time_flags = [] if fmt == "netcdf" else ["--time-column", "date"]
    status, err = run([source, *time_flags, *flags], capsys)
    assert status == 0, err
    assert digest(source) == before
    units = f"day-{options['derivative']}" if "derivative" in options else "1"
    values, untouched = read_result(tmp_path / f"data.smoothed{SUFFIX[fmt]}", fmt, units=units)
    assert untouched == (["a", "b", "c"] if fmt == "netcdf" else ["x"] * T)
    assert values.dtype == np.float64 or fmt == "csv"
    np.testing.assert_array_equal(values, expected(method, dtype, options))


@pytest.mark.parametrize(
    ("fmt", "data_dtype", "encoding", "flags", "dtype"),
    [
        ("parquet", np.float32, None, [], "float64"),
        ("parquet", np.float32, None, ["--dtype", "float32"], "float32"),
        ("netcdf", np.float32, {"dtype": np.dtype(np.float32)}, [], "float64"),
        ("netcdf", np.float64, {"dtype": np.dtype(np.int16), "scale_factor": 0.001, "_FillValue": np.int16(-32768)}, [], "float64"),
        # Rates are no values: written unpacked, in float, per day.
        ("netcdf", np.float64, {"dtype": np.dtype(np.int16), "scale_factor": 0.001, "_FillValue": np.int16(-32768)},
         ["--lam", "30", "--derivative", "2"], "float64"),
    ],
)
def test_output_keeps_the_input_types(tmp_path, capsys, fmt, data_dtype, encoding, flags, dtype):
    source = write_input(tmp_path, fmt, dtype=data_dtype, encoding=encoding)
    time_flags = [] if fmt == "netcdf" else ["--time-column", "date"]
    status, err = run([source, *time_flags, *flags], capsys)
    assert status == 0 and err.count("\n") == 1, err
    if "--derivative" in flags:
        import xarray as xr

        with xr.open_dataset(tmp_path / "data.smoothed.nc") as ds:
            assert ds["ndvi"].attrs == {"units": "day-2"} and ds["ndvi"].encoding["dtype"].kind == "f"
            values = ds["ndvi"].values.reshape(T, S).T
        stored, _ = read_result(source, fmt)
        rates = evaluate_lambda(DAYS - DAYS[0], stored.astype(np.float64), 30.0, derivative=2).z
        np.testing.assert_array_equal(values, rates.astype(values.dtype))
        return
    values, _ = read_result(tmp_path / f"data.smoothed{SUFFIX[fmt]}", fmt, encoding=encoding)
    if encoding and "scale_factor" in encoding:  # packed: equal to within the packing step
        stored, _ = read_result(source, fmt)  # unpacked to float32 or float64, by xarray's version
        assert values.dtype == stored.dtype
        fit = tarnwold.whittaker_solve_f64(DAYS - DAYS[0], stored.astype(np.float64), ridge=0.0)
        np.testing.assert_allclose(values, fit, rtol=0, atol=0.0005 + 1e-6)
    else:
        assert values.dtype == data_dtype
        np.testing.assert_array_equal(values, expected("whittaker", dtype, {}, data_dtype))


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_series_in_rows_with_dates_as_headers(tmp_path, capsys, fmt):
    source = write_input(tmp_path, fmt, layout="rows")
    output = tmp_path / f"out{SUFFIX[fmt]}"
    status, err = run([source, "--series", "rows", "--lam", "7", "-o", output], capsys)
    assert status == 0, err
    values, sites = read_result(output, fmt, layout="rows")
    assert sites == [f"site{i}" for i in range(S)]
    np.testing.assert_array_equal(values, expected("whittaker", "float64", {"lam": 7.0}))
    # On another grid, value columns left out of --columns are left out of
    # the output as well: they have no values at the new positions.
    import pandas as pd

    resampled = tmp_path / f"grid{SUFFIX[fmt]}"
    status, err = run([source, "--series", "rows", "--lam", "7", "--columns", *map(str, DATES[:-1]), "--every", "2D",
                       "--extrapolate", "-o", resampled], capsys)  # fmt: skip
    assert status == 0 and f"left out on the new grid: {DATES[-1]}" in err, err
    frame = pd.read_csv(resampled, **exact_floats(pd)) if fmt == "csv" else pd.read_parquet(resampled)
    grid = pd.date_range(DATES[0], DATES[-2], freq="2D").values
    assert list(frame.columns) == ["site", *np.datetime_as_string(grid, unit="D")]
    fit = evaluate_lambda(DAYS[:-1] - DAYS[0], observations()[:, :-1], 7.0, x_out=(grid - DATES[0]) / np.timedelta64(1, "D"))
    np.testing.assert_array_equal(frame.iloc[:, 1:].to_numpy(), fit.z)


# (separator, --sep, decimal mark): None finds the separator in the header line.
@pytest.mark.parametrize(("sep", "flag", "decimal"), [(",", ",", "."), (";", ";", "."), ("\t", "\\t", "."), (";", None, ","),
                                                      ("\t", None, ","), ("|", None, ".")])
def test_numeric_time_column_and_chosen_columns(tmp_path, capsys, sep, flag, decimal):
    pd = pytest.importorskip("pandas")
    y_st = observations()
    frame = pd.DataFrame({"t": DAYS * 24.0 + 0.5, "a": y_st[0], "b": y_st[1], "c": y_st[2]})
    frame.to_csv(tmp_path / "h.csv", index=False, sep=sep, decimal=decimal)
    flags = ([] if flag is None else ["--sep", flag]) + ([] if decimal == "." else ["--decimal", decimal])
    status, err = run([tmp_path / "h.csv", "--time-column", "t", "--columns", "c", "a", *flags], capsys)
    assert status == 0, err
    # Written in the input's dialect: the untouched columns as they were.
    written = [line.split(sep) for line in (tmp_path / "h.smoothed.csv").read_text().splitlines()]
    given = [line.split(sep) for line in (tmp_path / "h.csv").read_text().splitlines()]
    assert [row[:3:2] for row in written] == [row[:3:2] for row in given]
    assert all(decimal in row[1] and decimal in row[3] for row in written[1:])
    out = pd.read_csv(tmp_path / "h.smoothed.csv", sep=sep, decimal=decimal, **exact_floats(pd))
    np.testing.assert_array_equal(out["t"], DAYS * 24.0 + 0.5)
    np.testing.assert_array_equal(out["b"], y_st[1])
    np.testing.assert_array_equal(out[["c", "a"]].to_numpy().T, tarnwold.whittaker_solve_f64(DAYS * 24.0 + 0.5, y_st[[2, 0]], ridge=0.0))


@pytest.mark.parametrize("fmt", ["csv", "netcdf"])
@pytest.mark.parametrize("tqdm_installed", [True, False])
def test_progress_over_stages_gives_the_same_result(tmp_path, capsys, monkeypatch, tqdm_installed, fmt):
    if tqdm_installed:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import fails: the plain progress line
    source = write_input(tmp_path, fmt)
    flags = ["--time-column", "date"] if fmt == "csv" else []
    # A run longer than the delay shows every stage; a quick one nothing.
    monkeypatch.setattr(_progress, "SHOW_AFTER", 0.0)
    status, err = run([source, *flags, "--chunk-size", "5", "-o", tmp_path / f"chunked{SUFFIX[fmt]}"], capsys)
    assert status == 0 and f"/{S} " in err
    assert all(stage in err for stage in ("reading", "smoothing", "writing"))
    monkeypatch.setattr(_progress, "SHOW_AFTER", 60.0)
    status, err = run([source, *flags, "-o", tmp_path / f"whole{SUFFIX[fmt]}"], capsys)
    assert status == 0 and err.count("\n") == 1, err
    expected_values, _ = read_result(tmp_path / f"whole{SUFFIX[fmt]}", fmt)
    np.testing.assert_array_equal(read_result(tmp_path / f"chunked{SUFFIX[fmt]}", fmt)[0], expected_values)


def stamps(days, zone=None):
    """Timestamps `days` after 2023-03-01 (across the switch to summer time
    in Berlin), in `zone` or without one."""
    import pandas as pd

    times = pd.Timestamp("2023-03-01") + pd.to_timedelta(days, unit="D")
    return times if zone is None else times.tz_localize("UTC").tz_convert(zone)


# (flags, separator, decimal mark, the text of a time, note): CSV files as
# people have them, read and written back in their own dialect.
DIALECTS = [
    ([], ",", ".", lambda t: t.strftime("%Y-%m-%d"), None),
    (["--decimal", ","], ";", ",", lambda t: t.strftime("%Y-%m-%d"), None),
    (["--dayfirst"], "\t", ".", lambda t: t.strftime("%d/%m/%Y"), None),
    (["--date-format", "%d.%m.%Y %H:%M", "--decimal", ","], ";", ",", lambda t: t.strftime("%d.%m.%Y %H:%M"), None),
    # Local times whose UTC offset changes with summer time are taken in UTC.
    ([], ",", ".", lambda t: t.isoformat(), "different UTC offsets: they are taken in UTC"),
    (["--digits", "5"], ",", ".", lambda t: t.strftime("%Y-%m-%d"), None),
]
# (name, the rows' order, rows repeated, note): rows out of order and rows
# that repeat a day, smoothed in order, merged, and written as they came.
ARRANGEMENTS = [
    ("in order", False, [], ()),
    ("shuffled", True, [], ("not in the order of time column 'date'",)),
    ("repeated days", False, [3, 3, 17, T - 1], ("4 duplicate row(s) repeat a position",)),
    ("both", True, [0, 20], ("not in the order", "2 duplicate row(s)")),
]


@pytest.mark.parametrize(("flags", "sep", "decimal", "text_of", "zone_note"), DIALECTS)
@pytest.mark.parametrize(("name", "shuffled", "repeated", "arrangement_notes"), ARRANGEMENTS)
def test_csv_files_as_people_have_them(tmp_path, capsys, flags, sep, decimal, text_of, zone_note, name, shuffled,
                                       repeated, arrangement_notes):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(7)
    y_st = observations()[:3]
    rows = np.concatenate([np.arange(T), repeated]).astype(int)
    readings = y_st[:, rows] + np.where(np.arange(rows.size) >= T, rng.normal(0, 0.3, rows.size), 0.0)
    readings[0, T:] = np.nan  # a repeated day without a reading: it neither counts nor weighs
    # Repeated days next to the first reading of the day, or all rows shuffled.
    order = rng.permutation(rows.size) if shuffled else np.argsort(rows, kind="stable")
    rows, readings = rows[order], readings[:, order]
    zone = "Europe/Berlin" if zone_note else None
    times = [text_of(t) for t in stamps(DAYS[rows], zone)]
    frame = pd.DataFrame({"date": times, "a": readings[0], "b": readings[1], "c": readings[2], "count": rows})
    frame.to_csv(tmp_path / "in.csv", index=False, sep=sep, decimal=decimal)
    status, err = run([tmp_path / "in.csv", "--time-column", "date", "--lam", "5", *flags], capsys)
    assert status == 0, err
    expected_notes = [*arrangement_notes, "integer columns are copied through unsmoothed: count (name them with --columns"]
    expected_notes += [zone_note] if zone_note else []
    for note in expected_notes:
        assert note in err
    assert err.count("\n") == 1 + len(expected_notes), err

    out = pd.read_csv(tmp_path / "in.smoothed.csv", sep=sep, decimal=decimal, dtype={"date": str}, **exact_floats(pd))
    assert list(out["date"]) == times and list(out["count"]) == list(rows)
    # Each day once, its readings averaged, weighted by how many there are.
    weights = np.zeros((3, T))
    sums = np.zeros((3, T))
    for column, row in enumerate(rows):
        seen = np.isfinite(readings[:, column])
        weights[seen, row] += 1
        sums[seen, row] += readings[seen, column]
    merged = np.where(weights > 0, sums / np.maximum(weights, 1), np.nan)
    fit = tarnwold.whittaker_solve_f64(DAYS - DAYS[0], merged, weights if repeated else None, lam=5.0, ridge=0.0)
    want = fit[:, rows]
    if "--digits" in flags:
        want = np.vectorize(lambda value: float(f"{value:.5g}"))(want)
    np.testing.assert_allclose(out[["a", "b", "c"]].to_numpy().T, want, rtol=1e-15 if repeated else 0, atol=0)


# (days of each id, as indices into DAYS; rows shuffled; flags; the time
# column's kind): long tables of one reading per row, one series per id and
# value column.
LONG_CASES = [
    ([range(T)] * 3, False, ["--lam", "5"], "dates"),
    # Each id on days of its own: smoothed in calls of its own.
    ([range(T), range(0, T, 2), range(5, T - 3)], False, ["--lam", "5"], "dates"),
    ([range(T), [*range(10), 4, 4, *range(10, 30)], range(0, T, 3)], True, ["--lam", "5", "--chunk-size", "1"], "dates"),
    ([range(T), range(0, T, 2), range(0, T, 2)], True, ["--lam", "reml", "--diagnostics", "{tmp}/diag.csv"], "dates"),
    ([range(T), [*range(T), 7, 30]], False, ["--method", "robust", "--lam", "gcv"], "dates"),
    # On an output grid: one row per id and output position, each id as if smoothed alone.
    ([range(3, T), range(0, T - 5), range(3, T)], True, ["--lam", "5", "--every", "1D"], "dates"),
    ([range(T), range(0, T, 2), range(4, 25)], False, ["--lam", "5", "--x-out", "{tmp}/grid.txt"], "numbers"),
    ([range(T), range(7, T, 3)], False, ["--lam", "reml", "--every", "3D", "--columns", "level",
                                         "--diagnostics", "{tmp}/diag.csv"], "dates"),  # fmt: skip
    ([range(2, T), range(0, T, 2)], True, ["--lam", "5", "--every", "2D", "--derivative", "1"], "dates"),
    ([range(T), [*range(8), *range(22, T)]], False, ["--lam", "5", "--every", "1D", "--max-gap", "12"], "dates"),
    ([range(T), range(6, T - 6)], False, ["--method", "robust", "--lam", "20", "--x-out", "{tmp}/grid.txt"], "dates"),
]
# The --x-out files of the cases above, by the kind of the time column.
LONG_GRIDS = {"numbers": "-3\n0.5\n4.25\n17\n60\n250\n",
              "dates": "2022-12-30\n2023-01-09\n2023-02-01T12:00\n2023-03-03\n2023-06-01\n"}  # fmt: skip


@pytest.mark.parametrize(("days", "shuffled", "flags", "kind"), LONG_CASES)
def test_long_tables_one_series_per_id(tmp_path, capsys, days, shuffled, flags, kind):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    ids = [f"W{k}" for k in range(len(days))]
    times = DATES.astype(str) if kind == "dates" else DAYS
    frame = pd.concat([pd.DataFrame({"date": times[list(taken)], "well": name,
                                     "level": rng.normal(0, 1, len(taken)) + np.sin(DAYS[list(taken)] / 9),
                                     "temp": rng.normal(10, 1, len(taken))}) for name, taken in zip(ids, days)])
    frame = frame.sample(frac=1, random_state=1) if shuffled else frame.sort_values("date", kind="stable")
    frame.to_csv(tmp_path / "long.csv", index=False)
    (tmp_path / "grid.txt").write_text(LONG_GRIDS[kind])
    argv = [tmp_path / "long.csv", "--time-column", "date", "--id-column", "well", *flags]
    status, err = run([str(arg).format(tmp=tmp_path) for arg in argv], capsys)
    assert status == 0, err
    out = pd.read_csv(tmp_path / "long.smoothed.csv", **exact_floats(pd))
    if "--every" in flags or "--x-out" in flags:
        assert ("left out on the new grid: temp" in err) == ("--columns" in flags)
        check_long_table_alone(tmp_path, capsys, frame, out, flags)
        return
    lam = flags[flags.index("--lam") + 1]
    lams = []
    for name in ids:
        mine = (frame["well"] == name).to_numpy()
        stamps = pd.to_datetime(frame["date"][mine]).to_numpy()
        unique, inverse, counts = np.unique(stamps, return_inverse=True, return_counts=True)
        x = (unique - unique[0]) / np.timedelta64(1, "D")
        values = frame[["level", "temp"]][mine].to_numpy().T
        merged = np.stack([np.bincount(inverse, row) for row in values]) / counts
        weights = np.broadcast_to(counts.astype(np.float64), merged.shape) if counts.max() > 1 else None
        if "robust" in flags:
            found = robust(x, merged, weights, lam=lam)
            fit, lams = found.z, lams + list(found.lam)
        elif lam.isalpha():
            found = select_lambda(x, merged, weights, criterion=lam)
            fit, lams = found.z, lams + list(found.lam)
        else:
            fit = tarnwold.whittaker_solve_f64(x, merged, weights, lam=float(lam), ridge=0.0)
        np.testing.assert_allclose(out[["level", "temp"]][mine].to_numpy().T, fit[:, inverse], rtol=1e-14, atol=0)
    if "--diagnostics" in flags:
        table = pd.read_csv(tmp_path / "diag.csv", **exact_floats(pd))
        labels = [f"{column}[{name}]" for name in ids for column in ("level", "temp")]
        assert sorted(table["series"]) == sorted(labels)
        np.testing.assert_array_equal(table.set_index("series").loc[labels, "lam"], lams)


def check_long_table_alone(tmp_path, capsys, frame, out, flags):
    """A long table on an output grid: one row per id (in order of first
    appearance) and output position, every id on the same positions, its
    rows those of its readings smoothed alone as a table of its own on that
    grid (its own first date the origin of its positions)."""
    pd = pytest.importorskip("pandas")
    smoothed = ["level"] if "--columns" in flags else ["level", "temp"]
    assert list(out.columns) == ["date", "well", *smoothed]
    ids = list(dict.fromkeys(frame["well"]))
    points = len(out) // len(ids)
    assert list(out["well"]) == list(np.repeat(ids, points))
    grid = out["date"][:points]
    for name in ids:
        assert list(out["date"][out["well"] == name]) == list(grid)
    if "--every" in flags:
        stamps = pd.to_datetime(frame["date"]).to_numpy()
        every = pd.date_range(stamps.min(), stamps.max(), freq=flags[flags.index("--every") + 1]).values
        np.testing.assert_array_equal(pd.to_datetime(grid).values, every)
    # Outside some id's readings the fit is left empty.
    assert "--extrapolate" not in flags and out[smoothed].isna().any().all()
    alone = tmp_path / "alone"
    alone.mkdir()
    (alone / "grid.txt").write_text("\n".join(str(value) for value in grid))
    grid_flags = ("--every", "--x-out")
    kept = [flag for index, flag in enumerate(flags) if flag not in grid_flags and flags[index - 1] not in grid_flags]
    for name in ids:
        frame[frame["well"] == name].drop(columns="well").to_csv(alone / f"{name}.csv", index=False)
        argv = [alone / f"{name}.csv", "--time-column", "date", "--x-out", alone / "grid.txt", *kept, "--force"]
        status, err = run([str(arg).format(tmp=alone) for arg in argv], capsys)
        assert status == 0, err
        wide = pd.read_csv(alone / f"{name}.smoothed.csv", **exact_floats(pd))
        mine = out[out["well"] == name]
        assert list(wide["date"]) == list(mine["date"])
        np.testing.assert_array_equal(mine[smoothed].to_numpy(), wide[smoothed].to_numpy())
        if "--diagnostics" in flags:
            table = pd.read_csv(tmp_path / "diag.csv", **exact_floats(pd)).set_index("series")
            single = pd.read_csv(alone / "diag.csv", **exact_floats(pd)).set_index("series")
            for column in smoothed:
                assert table.loc[f"{column}[{name}]"].to_dict() == single.loc[column].to_dict()


@pytest.mark.parametrize(
    ("flags", "smoothed", "check"),
    [
        ([], ["a", "gap"], "all missing"),
        (["--columns", "a", "id"], ["a", "id"], "as module"),
        (["--lam", "0"], ["a", "gap"], "missing positions"),
    ],
)
def test_no_invented_values(tmp_path, capsys, flags, smoothed, check):
    pd = pytest.importorskip("pandas")
    y = observations()[0]
    frame = pd.DataFrame({"t": DAYS, "a": y, "gap": np.nan, "id": np.arange(T) * 7, "flag": [1, 0] * (T // 2)})
    frame.to_csv(tmp_path / "in.csv", index=False)
    status, err = run([tmp_path / "in.csv", "--time-column", "t", *flags], capsys)
    assert status == 0, err
    # Integer columns left as they are are named, once.
    assert err.count("integer columns are copied through unsmoothed: id, flag") == ("--columns" not in flags), err
    out = pd.read_csv(tmp_path / "in.smoothed.csv", **exact_floats(pd))
    for column in frame.columns.drop("t"):
        if column not in smoothed:  # integer columns stay as they were unless named
            np.testing.assert_array_equal(out[column], frame[column])
    lam = {"lam": 0.0} if check == "missing positions" else {}
    fit = tarnwold.whittaker_solve_f64(DAYS, y[None], ridge=0.0, **lam)[0]
    if check == "missing positions":
        assert np.isnan(out["a"][np.isnan(y)]).all()
        fit[np.isnan(y)] = np.nan
    np.testing.assert_array_equal(out["a"], fit)
    if check == "as module":
        np.testing.assert_array_equal(out["id"], tarnwold.whittaker_solve_f64(DAYS, frame[["id"]].to_numpy(np.float64).T, ridge=0.0)[0])
    else:
        assert out["gap"].isna().all()


@pytest.mark.parametrize(("criterion", "chunk_size", "method"), [("reml", 10_000, "whittaker"), ("loocv", 2, "whittaker"),
                                                                 ("vcurve", 5, "whittaker"), ("reml", 5, "robust"),
                                                                 ("gcv", 10_000, "robust")])
def test_diagnostics_file(tmp_path, capsys, criterion, chunk_size, method):
    pd = pytest.importorskip("pandas")
    y_st = observations()
    y_st[1] = np.nan  # empty
    y_st[2, 3:] = np.nan  # too few: three observations
    pd.DataFrame({"t": DAYS, **{f"s{i}": y_st[i] for i in range(S)}}).to_csv(tmp_path / "in.csv", index=False)
    diagnostics = tmp_path / "diag.csv"
    status, err = run([tmp_path / "in.csv", "--time-column", "t", "--lam", criterion, "--chunk-size", chunk_size,
                       "--method", method, "--diagnostics", diagnostics, "--extrapolate"], capsys)
    assert status == 0, err
    chosen = select_lambda(DAYS, y_st, criterion=criterion)
    direct = robust(DAYS, y_st, lam=criterion) if method == "robust" else chosen
    table = pd.read_csv(diagnostics, **exact_floats(pd))
    passes = ["iterations"] if method == "robust" else []
    assert list(table.columns) == ["series", "lam", "edf", "n_obs", "status", *passes]
    assert list(table["series"]) == [f"s{i}" for i in range(S)]
    np.testing.assert_array_equal(table["lam"], direct.lam)
    np.testing.assert_array_equal(table["edf"], direct.edf)
    np.testing.assert_array_equal(table["n_obs"], chosen.n_obs)
    for name in passes:
        np.testing.assert_array_equal(table[name], direct.iterations)
    names = ["ok", "at_lower", "at_upper", "flat", "too_few", "empty"]
    assert list(table["status"]) == [names[code] for code in direct.status]
    assert table["status"][1] == "empty" and table["status"][2] == "too_few" and np.isnan(table["lam"][[1, 2]]).all()
    out = pd.read_csv(tmp_path / "in.smoothed.csv", **exact_floats(pd))
    np.testing.assert_array_equal(out[[f"s{i}" for i in range(S)]].to_numpy().T, direct.z)
    assert out["s1"].isna().all()


X_OUT = "# dates, two beyond the observations\n2022-12-20\n2023-01-09\n2023-01-09T12:00\n2023-02-03\n2023-04-30\n"

# (format, layout, grid flags, smoothing flags): the fit written on another grid.
GRID_CASES = [
    ("csv", "columns", ["--every", "3D"], ["--lam", "30"]),
    ("parquet", "rows", ["--x-out", "{x_out}"], ["--envelope", "0.9"]),
    ("netcdf", None, ["--every", "1D"], ["--lam", "reml", "--derivative", "1", "--chunk-size", "5"]),
    ("csv", "rows", ["--every", "5D"], ["--envelope", "0.1", "--lam", "10", "--derivative", "2"]),
    ("parquet", "columns", ["--x-out", "{x_out}"], ["--lam", "gcv", "--plot", "{tmp}/grid.png"]),
    ("netcdf", None, ["--x-out", "{x_out}"], ["--envelope", "0.9", "--lam", "reml"]),
    ("numbers", "columns", ["--x-out", "{x_out}"], ["--lam", "8", "--derivative", "1"]),
    ("zoned", "columns", ["--every", "2D"], ["--lam", "30"]),
    ("zoned csv", "columns", ["--every", "3D"], ["--envelope", "0.9", "--lam", "30"]),
    ("csv", "columns", ["--every", "1D"], ["--lam", "30", "--derivative", "1", "--plot", "{tmp}/grid.svg"]),
    ("csv", "columns", ["--every", "3D"], ["--method", "robust", "--lam", "reml"]),
    ("netcdf", None, ["--x-out", "{x_out}"], ["--method", "robust", "--lam", "vcurve", "--derivative", "1", "--chunk-size", "5"]),
]


@pytest.mark.parametrize(("fmt", "layout", "grid_flags", "flags"), GRID_CASES)
def test_writes_the_fit_on_another_grid(tmp_path, capsys, fmt, layout, grid_flags, flags):
    import pandas as pd

    if "--plot" in flags:
        pytest.importorskip("matplotlib")
    if fmt == "numbers":
        source = tmp_path / "data.csv"
        pd.DataFrame({"t": DAYS, "note": "x", **{f"s{i}": observations()[i] for i in range(S)}}).to_csv(source, index=False)
        (tmp_path / "x_out.txt").write_text("-3\n0.5\n4.25\n17\n250\n")
        grid = np.array([-3, 0.5, 4.25, 17, 250])
        positions = grid
    elif fmt.startswith("zoned"):
        zoned = pd.DatetimeIndex(DATES).tz_localize("UTC").tz_convert("Asia/Tokyo")
        frame = pd.DataFrame({"date": zoned, **{f"s{i}": observations()[i] for i in range(S)}, "note": "x"})
        if fmt == "zoned":
            pytest.importorskip("pyarrow")
            frame.to_parquet(source := tmp_path / "data.parquet")
        else:
            frame.to_csv(source := tmp_path / "data.csv", index=False)
        grid = pd.date_range(DATES[0], DATES[-1], freq=grid_flags[1]).values
        positions = (grid - DATES[0]) / np.timedelta64(1, "D")
    else:
        source = write_input(tmp_path, fmt, layout or "columns")
        (tmp_path / "x_out.txt").write_text(X_OUT)
        if grid_flags[0] == "--every":
            grid = pd.date_range(DATES[0], DATES[-1], freq=grid_flags[1]).values
        else:
            grid = pd.to_datetime(X_OUT.splitlines()[1:], format="ISO8601").values
        positions = (grid - DATES[0]) / np.timedelta64(1, "D")
    time_flags = {"columns": ["--time-column", "t" if fmt == "numbers" else "date"], "rows": ["--series", "rows"], None: []}
    names = {"x_out": tmp_path / "x_out.txt", "tmp": tmp_path}
    argv = [source, *time_flags[layout], *grid_flags, *flags, "--extrapolate"]
    status, err = run([str(arg).format(**names) for arg in argv], capsys)
    assert status == 0, err
    assert f"onto {len(grid)} output positions" in err
    # Along the positions only the smoothed values have values on the new grid.
    assert ("left out" in err) == (layout != "rows")
    options = {"derivative": int(flags[flags.index("--derivative") + 1])} if "--derivative" in flags else {}
    lam = flags[flags.index("--lam") + 1] if "--lam" in flags else "reml"
    lam = lam if lam.isalpha() else float(lam)
    x, y_st = DAYS - DAYS[0] if fmt != "numbers" else DAYS, observations()
    if "--envelope" in flags:
        want = envelope(x, y_st, p=float(flags[1]), lam=lam, x_out=positions, **options).z
    elif "--method" in flags:
        want = robust(x, y_st, lam=lam, x_out=positions, **options).z
    elif isinstance(lam, str):
        want = select_lambda(x, y_st, criterion=lam, x_out=positions, **options).z
    else:
        want = evaluate_lambda(x, y_st, lam, x_out=positions, **options).z
    output = tmp_path / f"data.smoothed{SUFFIX.get(fmt, '.parquet' if fmt == 'zoned' else '.csv')}"
    if fmt == "netcdf":
        import xarray as xr

        with xr.open_dataset(output, decode_coords=False) as raw:
            # No reference is left to a coordinate left out.
            assert set(raw["ndvi"].attrs.get("coordinates", "").split()) <= set(raw.variables)
        with xr.open_dataset(output) as ds:
            assert "qa" not in ds and list(ds["station"].values) == ["a", "b", "c"]
            np.testing.assert_array_equal(ds["time"].values, grid)
            values = ds["ndvi"].values.reshape(len(grid), S).T
    else:
        frame = pd.read_parquet(output) if fmt in ("parquet", "zoned") else pd.read_csv(output, **exact_floats(pd))
        if layout == "rows":
            assert list(frame["site"]) == [f"site{i}" for i in range(S)]
            np.testing.assert_array_equal(pd.to_datetime(frame.columns[1:]).values, grid)
            values = frame.iloc[:, 1:].to_numpy()
        else:
            time = frame.columns[0]
            assert list(frame.columns) == [time, *(f"s{i}" for i in range(S))]
            if fmt == "numbers":
                got = frame[time].to_numpy()
            else:
                # A zoned time column keeps its zone.
                times = pd.to_datetime(frame[time])
                offset = None if times.dt.tz is None else times.iloc[0].utcoffset()
                assert offset == (pd.Timedelta(hours=9) if fmt.startswith("zoned") else None)
                got = (times.dt.tz_convert(None) if offset is not None else times).to_numpy()
            np.testing.assert_array_equal(got, grid)
            values = frame.iloc[:, 1:].to_numpy().T
    np.testing.assert_array_equal(values, want)
    if "--plot" in flags and flags[-1].endswith(".png"):
        assert (tmp_path / "grid.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    elif "--plot" in flags:
        # A derivative is drawn as what it is, not as the smoothed data.
        drawn = (tmp_path / "grid.svg").read_text()
        assert "<!-- first derivative -->" in drawn and "<!-- smoothed -->" not in drawn


# (flags, smooth()'s arguments): the command runs the request smooth() runs, on
# series that start late and end early, with their diagnostics.
REQUESTS = [
    ([], {}),
    (["--extrapolate", "--lam", "30"], {"extrapolate": True, "lam": 30.0}),
    (["--max-gap", "6D", "--lam", "reml", "--diagnostics", "{diag}"], {"max_gap": "6D", "lam": "reml"}),
    (["--lam", "30", "--diagnostics", "{diag}", "--chunk-size", "2"], {"lam": 30.0}),
    (["--method", "robust", "--lam", "8", "--every", "2D", "--diagnostics", "{diag}"],
     {"method": "robust", "lam": 8.0, "x_out": "2D", "iterations": 4}),
    (["--envelope", "0.9", "--diagnostics", "{diag}", "--derivative", "1", "--max-gap", "5.5"],
     {"method": "envelope", "p": 0.9, "derivative": 1, "max_gap": 5.5}),
    (["--method", "robust", "--lam", "gcv", "--extrapolate", "--diagnostics", "{diag}"],
     {"method": "robust", "lam": "gcv", "extrapolate": True, "iterations": 4}),
]


@pytest.mark.parametrize(("flags", "arguments"), REQUESTS)
def test_the_command_runs_what_smooth_runs(tmp_path, capsys, flags, arguments):
    pd = pytest.importorskip("pandas")
    xr = pytest.importorskip("xarray")
    import tarnwold_tools

    y_st = observations()
    y_st[0, :4] = np.nan
    y_st[1, -3:] = np.nan
    pd.DataFrame({"date": DATES, **{f"s{i}": y_st[i] for i in range(S)}}).to_csv(tmp_path / "in.csv", index=False)
    names = {"diag": tmp_path / "diag.csv"}
    status, err = run([tmp_path / "in.csv", "--time-column", "date", *(str(f).format(**names) for f in flags)], capsys)
    assert status == 0, err
    da = xr.DataArray(y_st, dims=("series", "date"), coords={"date": DATES})
    diagnosed = "--diagnostics" in flags
    result = tarnwold_tools.smooth(da, "date", return_diagnostics=diagnosed, **arguments)
    smoothed = result["smoothed"] if diagnosed else result
    out = pd.read_csv(tmp_path / "in.smoothed.csv", **exact_floats(pd))
    np.testing.assert_array_equal(out[[f"s{i}" for i in range(S)]].to_numpy().T, smoothed.values)
    assert np.isnan(smoothed.values[0, 0]) != ("--extrapolate" in flags)
    if diagnosed:
        table = pd.read_csv(names["diag"], **exact_floats(pd))
        for name in ("lam", "edf", "iterations"):
            if name in result:
                np.testing.assert_array_equal(table[name], result[name].values)
        assert table["status"].isna().all() != ("status" in result)


def write_store(tmp_path, dtype=np.float64, name="cube.zarr"):
    """The NetCDF input of write_input also as a Zarr store, in chunks of 4
    series and 10 times; returns (NetCDF file, store)."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    encoding = {"dtype": np.dtype(dtype)} if dtype != np.float64 else None
    source = write_input(tmp_path, "netcdf", dtype=dtype, encoding=encoding)
    with xr.open_dataset(source) as dataset, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zarr's own about the text variable's data type
        dataset.load().chunk({"time": 10, "y": 1, "x": 4}).to_zarr(tmp_path / name, mode="w")
    return source, tmp_path / name


# (flags, dtype of the data): a Zarr store gives what its NetCDF copy gives.
ZARR_CASES = [
    ([], np.float64),
    (["--method", "robust", "--dtype", "float32"], np.float32),
    (["--lam", "30", "--every", "2D"], np.float64),
    (["--lam", "reml", "--derivative", "1"], np.float32),
    (["--envelope", "0.9", "--x-out", "{x_out}"], np.float64),
    # At most --chunk-size series per call of the smoother, within a chunk too.
    (["--lam", "gcv", "--chunk-size", "3"], np.float64),
]


@pytest.mark.parametrize(("flags", "dtype"), ZARR_CASES)
def test_zarr_stores_are_smoothed_chunk_by_chunk_like_netcdf(tmp_path, capsys, monkeypatch, flags, dtype):
    import xarray as xr

    from tarnwold_tools import cli

    source, store = write_store(tmp_path, dtype)
    (tmp_path / "x_out.txt").write_text(X_OUT)
    argv = [arg.format(x_out=tmp_path / "x_out.txt") for arg in flags]
    assert run([source, *argv], capsys)[0] == 0
    calls = []
    smooth_chunk = cli._smooth_chunk
    monkeypatch.setattr(cli, "_smooth_chunk", lambda x, y_st, *rest: calls.append(y_st.shape) or smooth_chunk(x, y_st, *rest))
    status, err = run([store, *argv], capsys)
    assert status == 0, err
    # One chunk at a time, whole along time: never the whole cube.
    assert calls == ([(3, T), (1, T)] if "--chunk-size" in flags else [(4, T)]) * 3
    with xr.open_dataset(tmp_path / "data.smoothed.nc") as want, xr.open_zarr(tmp_path / "cube.smoothed.zarr") as got:
        assert got["ndvi"].dtype == want["ndvi"].dtype == dtype and got["ndvi"].attrs == want["ndvi"].attrs
        assert set(got.variables) == set(want.variables)
        np.testing.assert_array_equal(got["time"].values, want["time"].values)
        np.testing.assert_array_equal(got["ndvi"].values, want["ndvi"].values)


# (what is at the output already, --force, exit status, message): a store is
# written complete or not at all, and replaces only a store with --force.
STORE_OUTPUTS = [
    (None, False, 0, "smoothed 12 series of 40 positions into {out}"),
    ("store", False, 2, "{out} exists; pass --force to replace it"),
    ("store", True, 0, "into {out}"),
    ("file", True, 2, "cannot write {out}: it is no directory"),
    ("store", True, 2, "cannot smooth: x must have length > d after merging"),
]


@pytest.mark.parametrize(("previous", "force", "status", "message"), STORE_OUTPUTS)
def test_zarr_store_outputs(tmp_path, capsys, previous, force, status, message):
    import xarray as xr

    _, store = write_store(tmp_path)
    out = tmp_path / "out.zarr"
    if previous == "store":
        shutil.copytree(store, out)
        (out / "earlier").write_text("of the previous store")
    elif previous == "file":
        out.write_text("a file")
    failing = ["--method", "robust", "--d", "40"] if "cannot smooth" in message else []
    got, err = run([store, "-o", out, "--no-progress", *failing, *(["--force"] if force else [])], capsys)
    assert got == status and message.format(out=out) in err and err.count("\n") == 1, err
    assert sorted(path.name for path in tmp_path.iterdir()) == ["cube.zarr", "data.nc", "out.zarr"][: 2 + (previous is not None or status == 0)]
    if status == 0:
        assert not (out / "earlier").exists()
        with xr.open_zarr(out) as written:
            assert written["ndvi"].shape == (T, 3, 4)
    elif previous == "store":
        assert (out / "earlier").read_text() == "of the previous store"


# Every output format, written by a child process that stops in the middle of
# the writer: the patched writer writes, leaves a flag and waits to be stopped.
WRITERS = {"csv": ("tarnwold_tools._tables", "", "write_csv"), "parquet": ("pandas", "DataFrame", "to_parquet"),
           "netcdf": ("xarray", "Dataset", "to_netcdf"), "plot": ("matplotlib.figure", "Figure", "savefig"),
           "diagnostics": ("tarnwold_tools.cli", "", "_write_diagnostics")}
# A shell without job control starts its background commands with SIGINT
# ignored, and Python then never raises KeyboardInterrupt: the child restores
# the handler an interactive start would give it.
STALLING = """
import importlib, signal, sys, time
from pathlib import Path
signal.signal(signal.SIGINT, signal.default_int_handler)
module, cls, name = sys.argv[1:4]
owner = importlib.import_module(module)
owner = getattr(owner, cls) if cls else owner
original = getattr(owner, name)
def stalled(*args, **kwargs):
    original(*args, **kwargs)
    Path(sys.argv[4]).touch()
    time.sleep(60)
setattr(owner, name, stalled)
from tarnwold_tools.cli import main
sys.exit(main(sys.argv[5:]))
"""


def output_case(tmp_path, fmt, previous):
    """The input, the command line and the output file of a run that writes
    `fmt` (a CSV with --plot for "plot", with --diagnostics for
    "diagnostics"), with an earlier output in place when `previous`."""
    if fmt == "plot":
        pytest.importorskip("matplotlib")
    extra = {"plot": ("few.png", "--plot"), "diagnostics": ("diag.csv", "--diagnostics")}
    source = write_input(tmp_path, "csv" if fmt in extra else fmt)
    argv = [source] if fmt == "netcdf" else [source, "--time-column", "date"]
    target = tmp_path / (extra[fmt][0] if fmt in extra else f"data.smoothed{SUFFIX[fmt]}")
    if fmt in extra:
        argv += [extra[fmt][1], target, "-o", tmp_path / "data.smoothed.csv"]
    if fmt == "diagnostics":
        argv += ["--lam", "reml"]
    if previous:
        target.write_bytes(b"the previous output")
        argv.append("--force")
    return [str(arg) for arg in argv], target


def assert_output_untouched(tmp_path, target, previous):
    if previous:
        assert target.read_bytes() == b"the previous output"
    else:
        assert not target.exists()
    assert not [path.name for path in tmp_path.iterdir() if ".part" in path.name]


@pytest.mark.parametrize("previous", [False, True])
@pytest.mark.parametrize("fmt", ["csv", "parquet", "netcdf", "plot"])
def test_full_disk_leaves_no_partial_output(tmp_path, fmt, previous):
    argv, target = output_case(tmp_path, fmt, previous)
    if fmt == "plot":  # matplotlib's font cache, built now rather than under the limit
        pytest.importorskip("matplotlib.font_manager")
    limit = 2048 if fmt != "plot" else 8192  # smaller than the output, larger than what comes before it

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    code = "import sys; from tarnwold_tools.cli import console_main; sys.exit(console_main())"
    done = subprocess.run([sys.executable, "-c", code, *argv, "--no-progress"], capture_output=True, text=True, preexec_fn=limit_file_size, timeout=120)
    assert done.stderr.startswith("tarnwold-smooth: error: cannot write") and done.stderr.count("\n") == 1, done.stderr
    assert done.returncode == 2, done.stderr
    assert_output_untouched(tmp_path, target, previous)


# The command under an address-space limit of what its imports take plus 2 GiB.
LIMITED = """
import resource, sys
import pandas, tarnwold_tools.cli
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (2 << 30), size + (2 << 30)))
sys.exit(tarnwold_tools.cli.console_main())
"""


def test_an_output_grid_too_large_for_the_memory_is_a_one_line_error(tmp_path):
    pd = pytest.importorskip("pandas")
    dates = pd.date_range("2023-01-01", "2024-01-01", freq="7D")
    frame = pd.DataFrame({"date": dates.astype(str), **{f"s{i}": np.sin(np.arange(len(dates)) + i) for i in range(S)}})
    frame.to_csv(tmp_path / "year.csv", index=False)
    # A second's step over a year: the grid fits, the fit of 12 series on it does not.
    argv = [tmp_path / "year.csv", "--time-column", "date", "--lam", "3", "--every", "1s", "--no-progress"]
    done = subprocess.run([sys.executable, "-c", LIMITED, *map(str, argv)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith("tarnwold-smooth: error: not enough memory: ") and done.stderr.count("\n") == 1
    assert not (tmp_path / "year.smoothed.csv").exists()


@pytest.mark.parametrize(("stop", "status", "message"), [
    (signal.SIGINT, 130, "tarnwold-smooth: interrupted\n"),
    (signal.SIGTERM, 143, "tarnwold-smooth: terminated\n"),
    (signal.SIGKILL, -signal.SIGKILL, ""),
])
@pytest.mark.parametrize(("fmt", "previous"), [("csv", False), ("parquet", True), ("netcdf", False), ("netcdf", True), ("plot", False),
                                               ("diagnostics", True)])
def test_interrupted_write_leaves_no_partial_output(tmp_path, fmt, previous, stop, status, message):
    for module in ("pandas", "xarray", "matplotlib"):
        pytest.importorskip(module)
    argv, target = output_case(tmp_path, fmt, previous)
    flag = tmp_path / "writing"
    child = subprocess.Popen([sys.executable, "-c", STALLING, *WRITERS[fmt], flag, *argv, "--no-progress"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not flag.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert flag.exists(), child.communicate()[1] if child.poll() is not None else "the writer never ran"
        child.send_signal(stop)
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == status
    if fmt in ("plot", "diagnostics"):  # the data's output was complete before the picture or table was started
        err = err.replace(f"tarnwold-smooth: smoothed {S} series of {T} positions into {tmp_path / 'data.smoothed.csv'}\n", "")
    assert err == message
    if stop == signal.SIGKILL:  # no clean-up can run: the temporary file stays, the target is safe
        assert (target.read_bytes() == b"the previous output") if previous else not target.exists()
    else:
        assert_output_untouched(tmp_path, target, previous)


def device_or_fifo(path, kind):
    """Makes `path` a FIFO or a device node like /dev/null or /dev/full (in
    the test's own directory, never the system's /dev)."""
    if kind == "fifo":
        os.mkfifo(path)
        return
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3 if kind == "null" else 7))
    except PermissionError:
        pytest.skip("making a device node needs root")


# (node, option, --force, status, message): an output that exists and is no
# regular file is written as a stream, with or without --force, and stays
# the node it was; "-" is standard output.
STREAM_CASES = [
    ("null", "-o", False, 0, "into {node}"),
    ("full", "-o", True, 2, "error: cannot write {node}: [Errno 28] No space left on device"),
    ("fifo", "-o", False, 0, "into {node}"),
    ("full", "--plot", False, 2, "error: cannot write {node}: [Errno 28] No space left on device"),
    ("fifo", "--plot", True, 0, "into {tmp}/data.smoothed.csv"),
    ("stdout", "-o", False, 0, "into standard output"),
    ("full stdout", "-o", False, 2, "error: cannot write standard output: [Errno 28] No space left on device"),
]


@pytest.mark.parametrize(("kind", "option", "force", "status", "message"), STREAM_CASES)
def test_an_output_that_is_no_regular_file_is_written_as_a_stream(tmp_path, capsys, monkeypatch, kind, option, force,
                                                                  status, message):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    source = write_input(tmp_path, "csv")
    argv = [source, "--time-column", "date", "--no-progress", *(["--force"] if force else [])]
    assert run([*argv, "-o", tmp_path / "regular.csv"], capsys)[0] == 0  # to compare with
    regular = (tmp_path / "regular.csv").read_bytes()
    node = tmp_path / ("node.png" if option == "--plot" else "node.csv")
    received = []
    if kind.endswith("stdout"):
        node = "-"
    else:
        device_or_fifo(node, kind)
    if kind == "fifo":
        reader = threading.Thread(target=lambda: received.append(node.read_bytes()), daemon=True)
        reader.start()
    argv += [option, node]
    try:
        if kind == "full stdout":
            device_or_fifo(tmp_path / "full", "full")
            code = "import sys; from tarnwold_tools.cli import console_main; sys.exit(console_main())"
            with open(tmp_path / "full", "w") as full:
                done = subprocess.run([sys.executable, "-c", code, *map(str, argv)], stdout=full, stderr=subprocess.PIPE,
                                      text=True, timeout=120)
            got, err = done.returncode, done.stderr
        else:
            got = main([str(arg) for arg in argv])
            captured = capsys.readouterr()
            err = captured.err
            if kind == "stdout":
                received.append(captured.out.encode())
    finally:
        if kind == "fifo":
            reader.join(timeout=5)
            if reader.is_alive():  # still waiting for a writer, which never came: let it go
                os.close(os.open(node, os.O_WRONLY | os.O_NONBLOCK))
                reader.join(timeout=60)
    assert got == status, err
    assert message.format(node=node, tmp=tmp_path) in err and err.count("error") == (status != 0), err
    if node != "-":
        assert (stat.S_ISFIFO if kind == "fifo" else stat.S_ISCHR)(os.stat(node).st_mode)
    assert not [path.name for path in tmp_path.iterdir() if ".part" in path.name]
    if kind in ("fifo", "stdout"):
        assert received[0][:8] == b"\x89PNG\r\n\x1a\n" if option == "--plot" else received[0] == regular


class _NoBar:
    def update(self, count):
        pass


@pytest.mark.parametrize("cells_per_piece", [1, 20, 1_000_000])
# (separator, decimal mark, significant digits, the columns written with them)
@pytest.mark.parametrize(("sep", "decimal", "digits", "rounded"), [
    (",", ".", None, ()),
    (";", ".", None, ()),
    (";", ",", None, ()),
    ("\t", ",", 4, ("f", "f32", "i", "b", "s", "d", "dt", "o")),
    (",", ".", 6, ("f", "f32", "i", "b", "s", "d", "dt", "o")),
    # Only the smoothed columns are rounded; the others keep their shortest text.
    (";", ",", 3, ("f32",)),
])
@pytest.mark.parametrize("zone", [None, "UTC"])
def test_csv_text_is_what_pandas_writes(monkeypatch, cells_per_piece, sep, decimal, digits, rounded, zone):
    pd = pytest.importorskip("pandas")
    import io

    frame = pd.DataFrame({
        "f": [0.1, np.nan, -0.0, 1e300, 1e16, 123456789.0, 1e-7, np.inf],
        "f32": np.array([0.1, np.nan, 3, 4, 5, 6, 7, 8], np.float32),
        "i": np.arange(8), "b": [True, False] * 4,
        "s": ["a", "b,c", 'q"x', "line\nbreak", None, "", " sp", "é"],
        "d": pd.to_datetime(["2023-01-01"] * 7 + [None]).tz_localize(zone),
        "dt": pd.to_datetime(["2023-01-01 12:30"] * 8),
        "o": [1, "x", 2.5, None, np.nan, "y", "z", 3],
    })
    monkeypatch.setattr(_csv_text, "CELLS_PER_PIECE", cells_per_piece)
    text = io.StringIO()
    _csv_text.write_csv(frame, text, _csv_text.Dialect(sep, decimal, digits), _NoBar(), set(rounded))
    if "f" not in rounded:  # written as Python's shortest text, whatever the digits
        frame["f"] = ["" if np.isnan(value) else repr(value).replace(".", decimal) for value in frame["f"]]
    float_format = None if digits is None else f"%.{digits}g"
    assert text.getvalue() == frame.to_csv(index=False, sep=sep, decimal=decimal, float_format=float_format)


def test_plot(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    source = write_input(tmp_path, "csv")
    status, err = run([source, "--time-column", "date", "--plot", tmp_path / "few.png", "--plot-series", "3"], capsys)
    assert status == 0, err
    assert (tmp_path / "few.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_console_script(tmp_path):
    source = write_input(tmp_path, "csv")
    script = shutil.which("tarnwold-smooth", path=os.path.dirname(sys.executable))
    assert script is not None, "tarnwold-smooth is not installed beside this python"
    done = subprocess.run([script, source, "--time-column", "date", "--lam", "4"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    values, _ = read_result(tmp_path / "data.smoothed.csv", "csv")
    np.testing.assert_array_equal(values, expected("whittaker", "float64", {"lam": 4.0}))

    done = subprocess.run([script, source, "--lam", "-1"], capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr == ("tarnwold-smooth: error: argument --lam: must be a finite number >= 0, not '-1' "
                           "(or a criterion: reml, gcv, loocv, vcurve)\n")


ERRORS = [
    (["{missing}"], "cannot read"),
    (["{garbage}"], "cannot read"),
    (["{data}", "--format", "parquet", "-o", "{tmp}/x.parquet"], "cannot read"),
    (["{text}"], "cannot tell the format"),
    (["{data}", "--time-column", "day"], "unknown column 'day'"),
    (["{data}", "--columns", "s1", "s99"], "unknown column 's99'"),
    (["{data}", "--time-column", "date", "--columns", "note"], "column 'note' is not numeric"),
    (["{data}", "--time-column", "note"], "time column 'note' holds neither numbers nor dates"),
    (["{data}", "--time-column", "s3"], "time column 's3' has missing values"),
    (["{infinite}", "--time-column", "t", "-o", "{tmp}/n.csv"], "time column 't' has an infinite value"),
    (["{data}", "--series", "rows"], "need numbers or dates as headers"),
    (["{data}", "--series", "rows", "--time-column", "date"], "--time-column applies to --series columns"),
    (["{data}", "--variable", "ndvi"], "--variable applies to NetCDF files"),
    (["{data}", "--lam", "abc"], "argument --lam: invalid number: 'abc'"),
    (["{data}", "--lam", "nan"], "argument --lam: must be a finite number"),
    (["{data}", "--d", "1.5"], "argument --d: invalid integer"),
    (["{data}", "--d", "-1"], "argument --d: must be an integer >= 0"),
    (["{data}", "--derivative", "1", "--lam", "5", "--method", "robust", "--merge-x-tol", "1"],
     "--merge-x-tol does not apply with --derivative: robust smoothing there fits every series on its positions"),
    (["{data}", "--derivative", "1", "--lam", "5", "--dtype", "float32"],
     "--derivative computes in float64; --dtype float32 does not apply"),
    (["{data}", "--derivative", "1"], "--derivative needs --lam"),
    (["{data}", "--derivative", "2", "--lam", "0"], "--derivative needs --lam"),
    (["{data}", "--derivative", "3"], "argument --derivative: invalid choice"),
    (["{data}", "--normalize", "max"], "argument --normalize: invalid choice"),
    (["{data}", "--weighting", "gauss", "--method", "robust"], "argument --weighting: invalid choice"),
    (["{data}", "--tuning", "1,2", "--method", "robust"], "argument --tuning: needs three numbers"),
    (["{data}", "--method", "robust", "--merge-x-tol", "tiny"], "argument --merge-x-tol: invalid number"),
    (["{data}", "--iterations", "3"], "--iterations applies to --method robust or --envelope only"),
    (["{data}", "--merge-x-tol", "none"], "--merge-x-tol applies to --method robust only"),
    (["{data}", "--dtype", "float16"], "argument --dtype: invalid choice"),
    (["{data}", "--chunk-size", "0"], "argument --chunk-size: must be an integer >= 1"),
    (["{data}", "--bogus"], "unrecognized arguments: --bogus"),
    (["{data}", "-o", "{data}"], "is the input file; refusing to overwrite it"),
    (["{data}", "-o", "{tmp}/./sub/../data.csv"], "is the input file; refusing to overwrite it"),
    (["{data}", "-o", "{link}"], "is the input file; refusing to overwrite it"),
    (["{data}", "-o", "{tmp}/out.nc"], "names a netcdf file, but the result is written as csv"),
    (["{data}", "-o", "{tmp}/missing_dir/out.csv", "--time-column", "date"], "cannot write"),
    (["{data}", "--plot", "{tmp}/plot.xyz"], "unknown image type 'xyz'"),
    (["{data}", "--time-column", "date", "--method", "robust", "--d", "40"], "cannot smooth: x must have length > d after merging"),
    (["{data}", "--time-column", "date", "--d", "10000000000000000000000000"], "cannot smooth: "),
    (["{data}", "--time-column", "date", "--method", "robust", "--iterations", "0"], "argument --iterations: must be an integer >= 1"),
    (["{data}"], "column 'date' holds dates: pass --time-column date, or --time-column none for row numbers"),
    (["{tmp}/sub"], "cannot read {tmp}/sub: it is a directory"),
    (["{data}", "--time-column", "date", "-o", "{old}"], "{old} exists; pass --force to replace it"),
    (["{data}", "--time-column", "date", "-o", "{tmp}/sub"], "cannot write {tmp}/sub: it is a directory"),
    (["{data}", "--time-column", "date", "--plot", "{tmp}/missing_dir/p.png"], "--plot: cannot write {tmp}/missing_dir/p.png: no such directory"),
    (["{data}", "--time-column", "date", "--plot", "{old_png}"], "--plot: {old_png} exists; pass --force"),
    # The separator is found in the header line unless given.
    (["{semicolons}", "--time-column", "date", "--sep", ",", "-o", "{tmp}/data.smoothed.csv"], "separated by ';'? Pass --sep ';'"),
    (["{repeated}", "--series", "rows", "-o", "{tmp}/data.smoothed.csv"], "the column name '2' appears twice"),
    (["{typo}", "-o", "{tmp}/data.smoothed.csv"], "column 'b' holds numbers but also '12,5' (row 3 of the data)"),
    (["{typo}", "--columns", "c", "-o", "{tmp}/data.smoothed.csv"], "column 'c' holds numbers but also 'x'"),
    (["{empty_time}", "-o", "{tmp}/data.smoothed.nc"], "coordinate 'time' is empty"),
    (["{truncated}", "-o", "{tmp}/data.smoothed.nc"], "cannot read {truncated}: "),
    (["{data}", "--time-column", "date", "--lam", "aic"], "argument --lam: invalid number: 'aic' (or a criterion: reml, gcv, loocv, vcurve)"),
    (["{data}", "--time-column", "date", "--lam", "reml", "--method", "robust", "--merge-x-tol", "1"],
     "--merge-x-tol does not apply with --lam reml: robust smoothing with lam chosen fits every series on its positions"),
    (["{data}", "--time-column", "date", "--lam", "gcv", "--method", "robust", "--dtype", "float32"], "--lam gcv selects in float64"),
    (["{data}", "--time-column", "date", "--x-out", "{days}", "--lam", "5", "--method", "robust", "--merge-x-tol", "0.5"],
     "--merge-x-tol does not apply with --x-out"),
    (["{data}", "--time-column", "date", "--lam", "vcurve", "--dtype", "float32"], "--lam vcurve selects in float64"),
    (["{data}", "--time-column", "date", "--diagnostics", "{tmp}/d.csv", "--dtype", "float32"],
     "--diagnostics computes in float64; --dtype float32 does not apply"),
    (["{data}", "--time-column", "date", "--lam", "reml", "--diagnostics", "{old}"], "--diagnostics: {old} exists; pass --force"),
    (["{data}", "--time-column", "date", "--lam", "reml", "--diagnostics", "{tmp}/d.txt"], "is written as CSV; name it .csv"),
    (["{data}", "--time-column", "date", "--lam", "reml", "--diagnostics", "{data}", "--force"], "--diagnostics: {data} is the input file"),
    (["{data}", "--time-column", "date", "--lam", "reml", "--diagnostics", "{tmp}/data.smoothed.csv"], "is the output file"),
    (["{data}", "--time-column", "date", "--envelope", "1.5"], "argument --envelope: must lie strictly between 0 and 1"),
    (["{data}", "--time-column", "date", "--envelope", "0.9", "--method", "robust"], "--envelope and --method robust exclude"),
    (["{data}", "--time-column", "date", "--envelope", "0.9", "--dtype", "float32"], "--envelope computes in float64"),
    (["{data}", "--time-column", "date", "--envelope", "0.9", "--weighting", "huber"], "--weighting applies to --method robust only"),
    (["{data}", "--time-column", "date", "--max-gap", "0"], "--max-gap 0: max_gap must be a positive length"),
    (["{data}", "--time-column", "date", "--max-gap", "fortnight"], "--max-gap fortnight: max_gap must be a time span"),
    (["{numbers}", "--time-column", "t", "--max-gap", "30D", "-o", "{tmp}/n.csv"], "--max-gap 30D: max_gap must be a number"),
    (["{data}", "--time-column", "date", "--every", "1D"], "--every needs --lam, a number > 0 or a criterion"),
    (["{data}", "--time-column", "date", "--x-out", "{text}", "--lam", "0"], "--x-out needs --lam, a number > 0"),
    (["{data}", "--time-column", "date", "--every", "1D", "--lam", "3", "--method", "robust", "--merge-x-tol", "0.5"],
     "--merge-x-tol does not apply with --every"),
    (["{data}", "--time-column", "date", "--every", "1D", "--x-out", "{text}"], "argument --x-out: not allowed with argument --every"),
    (["{data}", "--time-column", "date", "--every", "fortnightly", "--lam", "3"], "--every fortnightly: "),
    (["{data}", "--time-column", "date", "--every", "0D", "--lam", "3"], "--every 0D: the step must be positive"),
    (["{data}", "--time-column", "date", "--every=-1D", "--lam", "3"], "--every -1D: no output position"),
    (["{data}", "--time-column", "date", "--every", "1ns", "--lam", "3"], "--every 1ns: too many output positions"),
    (["{data}", "--time-column", "none", "--every", "1D", "--lam", "3"], "--every and --x-out need --time-column"),
    (["{data}", "--time-column", "date", "--x-out", "{missing}", "--lam", "3"], "--x-out: cannot read {missing}"),
    (["{data}", "--time-column", "date", "--x-out", "{text}", "--lam", "3"], "--x-out: line 1 of {text} is no date: 'a,b'"),
    (["{data}", "--time-column", "date", "--x-out", "{comments}", "--envelope", "0.9"], "--x-out: {comments} holds no positions"),
    (["{numbers}", "--time-column", "t", "--every", "1D", "--lam", "3", "-o", "{tmp}/n.csv"], "--every 1D needs dates as positions; these are numbers"),
    (["{numbers}", "--time-column", "t", "--x-out", "{unordered}", "--lam", "3", "-o", "{tmp}/n.csv"], "are not strictly increasing"),
    (["{numbers}", "--time-column", "t", "--x-out", "{text}", "--lam", "3", "-o", "{tmp}/n.csv"], "line 1 of {text} is no finite number"),
    # No output replaces a file the command reads.
    (["{numbers}", "--time-column", "t", "--x-out", "{unordered}", "--lam", "3", "-o", "{unordered}", "--force"],
     "the output {unordered} is the --x-out file; refusing to overwrite it"),
    (["{data}", "--time-column", "date", "--lam", "reml", "--x-out", "{days}", "--diagnostics", "{days}", "--force"],
     "--diagnostics: {days} is the --x-out file"),
    (["{garbage}", "-o", "-"], "-o - writes CSV to standard output, but the result is written as parquet"),
    # Dialects and dates.
    (["{data}", "--time-column", "date", "--decimal", ",", "--sep", ","], "the decimal mark ',' is also the field separator"),
    (["{commas}", "--time-column", "date", "-o", "{tmp}/c.csv"], "column 'level' holds numbers with decimal commas ('1,5'): pass --decimal ,"),
    (["{garbage}", "--decimal", ",", "-o", "{tmp}/x.parquet"], "--decimal applies to CSV files"),
    (["{data}", "--decimal", ";"], "argument --decimal: invalid choice"),
    (["{data}", "--digits", "0"], "argument --digits: must be an integer >= 1"),
    (["{data}", "--time-column", "date", "--dayfirst", "--date-format", "%d"], "--dayfirst and --date-format exclude each other"),
    (["{data}", "--time-column", "date", "--date-format", "%d.%m.%Y"], f"time column 'date' does not match --date-format %d.%m.%Y: '{DATES[0]}' (row 1 of the data)"),
    # Long tables.
    (["{data}", "--id-column", "note"], "--id-column needs --time-column"),
    (["{data}", "--time-column", "date", "--id-column", "date"], "the id column cannot also be the time column"),
    (["{data}", "--time-column", "date", "--id-column", "nobody"], "unknown column 'nobody'"),
    (["{data}", "--time-column", "date", "--id-column", "note", "--columns", "s1", "note"], "the id column cannot also be a series"),
    (["{data}", "--series", "rows", "--id-column", "note"], "--id-column applies to --series columns"),
    (["{data}", "--time-column", "date", "--id-column", "note", "--x-out", "{text}", "--lam", "3"], "--x-out: line 1 of {text} is no date"),
    # Zarr stores.
    (["{tmp}/none.zarr"], "cannot read {tmp}/none.zarr: no such Zarr store"),
    (["{sub}", "--format", "zarr", "-o", "{tmp}/s.zarr"], "cannot read {sub}: "),
    (["{data}", "--time-column", "date", "-o", "{tmp}/out.zarr"], "the output {tmp}/out.zarr names a zarr file, but the result is written as csv"),
    (["{cube}", "--plot", "{tmp}/p.png"], "--plot does not apply to Zarr stores"),
    (["{cube}", "--decimal", ","], "--decimal applies to CSV files, not to Zarr stores"),
    (["{cube}", "--variable", "station"], "variable 'station' has no dimension 'time'"),
]


def error_inputs(tmp_path, data):
    """The files the table of errors refers to, besides the CSV `data`."""
    (tmp_path / "garbage.parquet").write_bytes(b"this is not a parquet file")
    (tmp_path / "data.txt").write_text("a,b\n1,2\n")
    (tmp_path / "sub").mkdir()
    os.symlink(data, tmp_path / "link.csv")
    (tmp_path / "old.csv").write_text("an earlier result\n")
    (tmp_path / "old.png").write_bytes(b"an earlier picture")
    (tmp_path / "semicolons.csv").write_text(data.read_text().replace(",", ";"))
    (tmp_path / "repeated.csv").write_text("site,1,2,2\na,1.0,2.0,3.0\n")
    (tmp_path / "typo.csv").write_text('a,b,c\n1.5,1.0,1\n2.5,2.0,x\n3.5,"12,5",4\n')
    (tmp_path / "numbers.csv").write_text("t,a\n1,0.5\n2,0.7\n4,0.1\n5,0.3\n")
    (tmp_path / "infinite.csv").write_text("t,a\n1,0.5\n2,0.7\n4,0.1\ninf,0.3\n")
    (tmp_path / "unordered.txt").write_text("1\n3\n2\n")
    (tmp_path / "comments.txt").write_text("# nothing but a comment\n\n")
    (tmp_path / "days.csv").write_text("2023-01-05\n2023-01-09\n")
    (tmp_path / "commas.csv").write_text("date;level\n2023-01-01;1,5\n2023-01-02;1,7\n")
    return {"sub": tmp_path / "sub", "cube": tmp_path / "cube.zarr", "commas": tmp_path / "commas.csv",
            "data": data, "tmp": tmp_path, "missing": tmp_path / "none.csv", "garbage": tmp_path / "garbage.parquet",
            "text": tmp_path / "data.txt", "link": tmp_path / "link.csv", "old": tmp_path / "old.csv",
            "old_png": tmp_path / "old.png", "semicolons": tmp_path / "semicolons.csv", "repeated": tmp_path / "repeated.csv",
            "typo": tmp_path / "typo.csv", "numbers": tmp_path / "numbers.csv",
            "infinite": tmp_path / "infinite.csv", "unordered": tmp_path / "unordered.txt",
            "comments": tmp_path / "comments.txt", "days": tmp_path / "days.csv", "empty_time": tmp_path / "empty_time.nc", "truncated": tmp_path / "truncated.nc"}


def netcdf_error_inputs(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    xr.Dataset({"v": (("time",), np.zeros(0))}, coords={"time": np.zeros(0)}).to_netcdf(tmp_path / "empty_time.nc")
    valid = write_input(tmp_path, "netcdf", name="valid").read_bytes()
    (tmp_path / "truncated.nc").write_bytes(valid[:2048] + b"garbage" * 300)


@pytest.mark.parametrize(("argv", "message"), ERRORS)
def test_errors_are_one_line_with_status_2(tmp_path, capsys, argv, message):
    data = write_input(tmp_path, "csv")
    names = error_inputs(tmp_path, data)
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    if any("{empty_time}" in arg or "{truncated}" in arg for arg in argv):
        netcdf_error_inputs(tmp_path)
    if "{cube}" in argv:
        write_store(tmp_path)
    before = {path: digest(path) for path in tmp_path.iterdir() if path.is_file()}
    status, err = run([arg.format(**names) for arg in argv], capsys)
    assert status == 2
    assert err.startswith("tarnwold-smooth: error: ") and err.count("\n") == 1, err
    assert message.format(**names) in err
    # Nothing written, nothing changed, nothing left behind.
    assert {path: digest(path) for path in tmp_path.iterdir() if path.is_file()} == before


@pytest.mark.parametrize(
    ("argv", "message"),
    [(["--series", "rows"], "--series applies to CSV and Parquet files"),
     (["--time-column", "band"], "unknown dimension 'band'"),
     (["--variable", "station"], "variable 'station' has no dimension 'time'"),
     (["--variable", "evi"], "unknown variable 'evi'")],
)
def test_netcdf_errors(tmp_path, capsys, argv, message):
    source = write_input(tmp_path, "netcdf")
    status, err = run([source, *argv], capsys)
    assert status == 2 and message in err and err.count("\n") == 1


def test_import_needs_only_numpy():
    code = "import sys, tarnwold_tools; print(sorted(set(sys.modules) & {'xarray', 'dask', 'pandas', 'pyarrow', 'netCDF4', 'zarr', 'matplotlib', 'tqdm'}))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout == "[]\n"
