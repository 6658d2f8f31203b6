"""tarnwold-smooth: smooth the series of a CSV, Parquet or NetCDF file or a Zarr store."""

import argparse
import contextlib
import dataclasses
import math
import os
import signal
import sys
import threading
from pathlib import Path

import numpy as np

from ._atomic import directory_replaced_on_success, is_stream, replaced_on_success
from ._cli_common import UsageError, first_line
from ._cli_grid import grid_positions, output_grid
from ._progress import Progress
from ._dispatch import run_block
from ._request import gap_in_units, make_request
from ._smoothing import CRITERIA, METHOD_OPTIONS, resolve_dtype

PROG = "tarnwold-smooth"

_FORMATS = {
    ".csv": "csv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".nc": "netcdf",
    ".nc4": "netcdf",
    ".cdf": "netcdf",
    ".netcdf": "netcdf",
    ".zarr": "zarr",
}
# "--merge-x-tol none" gives None, which means no merging, so a left-out
# option needs a value of its own.
_NOT_GIVEN = object()
_WEIGHTINGS = ("tukey", "bisquare", "huber", "cauchy", "welsch", "fair", "hampel")
# -o -: the output goes to standard output.
_STDOUT = "-"
# One plain fit is what --method whittaker gives; robust smoothing needs a few
# reweighting passes to discount outliers.
_ROBUST_ITERATIONS = 4

DESCRIPTION = """\
Smooth many series at once with the Whittaker smoother and write them back
in the input's format (CSV, Parquet, NetCDF or a Zarr store), next to the
input as NAME.smoothed.EXT unless --output says otherwise. No input (nor the --x-out
file) is ever overwritten, an existing output only with --force, and an
output appears only when it is complete. An output that exists and is no
regular file (a device, a FIFO, /dev/stdout) is written to as a stream,
without --force; -o - writes CSV to standard output.

Tables hold one series per column (--series columns, the default; the time
steps are rows, and --time-column gives their positions), one per row
(--series rows; the headers of the value columns, numbers or dates, are the
positions), or one per id in long tables of one reading per row
(--id-column: date, id, value). Floating-point columns are smoothed; integer
columns (ids, years, flags) only when named with --columns. Rows out of
order are smoothed in the order of their positions, and the readings of a
series at the same position are averaged, each reading counting once in
the weight; the output keeps the input's rows in their order (on another
grid see --every below). CSV files are
written in the input's dialect: its separator (found in the header line
unless --sep is given) and its decimal mark (--decimal ,). Times with
different UTC offsets (local times across a switch to summer time) are
taken in UTC. In NetCDF files and Zarr stores every floating-point (or
packed) variable with the dimension named by --time-column (default "time")
is smoothed along it; a Zarr store is read and written chunk by chunk, so
it may be larger than the memory. Dates become days since the first one,
so --lam and --merge-x-tol are in days for them.

The computation is in float64 unless --dtype float32; results keep the
input's float32 or float64 type (and a NetCDF variable its packing). A series
without any finite observation, and with --lam 0 every missing position,
comes out as NaN (empty in CSV). So does every position before a series'
first and after its last observation, where the fit would only continue
itself, unless --extrapolate; --max-gap LENGTH leaves gaps longer than
LENGTH between observations empty too.

Smoothing options left out take the defaults of the tarnwold module, except
--iterations, which is 4 with --method robust, and --ridge: without it a
series with at least d observations is fitted without a ridge, which would
pull the fit towards 0 beyond the observations (with a criterion as --lam,
--envelope, --every, --x-out or --derivative, only if it is also observed
at the first and last position); the others, and --method robust with a
number as --lam, take the module's 1e-10. --method robust with a criterion
fits without a ridge unless --ridge is given.

--lam reml (or gcv, loocv, vcurve) chooses lam for every series on its own
by that criterion, in float64; with --method robust it is chosen again at
every reweighting pass, on the robust weights. --diagnostics FILE.csv
writes each series' lam, effective degrees of freedom, observations and,
with a criterion, the status of the choice (ok, at_lower, at_upper, flat,
too_few, empty), and with --method robust or --envelope the passes it took.

--envelope P fits with asymmetric weights, in float64: P above 0.5 follows
the upper envelope (vegetation indices biased low by clouds), below 0.5 a
baseline under peaks. Its lam is a number or a criterion (default reml),
chosen per series on the asymmetric weights.

--every FREQ (a pandas frequency such as 1D or 10D, for dates) or --x-out
FILE writes the fit on another grid: tables get one row (--series columns)
or one column (--series rows) per output position, long tables one row per
id and output position (every id on the same positions, --every spanning
all ids' readings), NetCDF files the dimension with the output positions as
its coordinate. Columns and variables along the positions that are not
smoothed have no values there and are left out (with a note); everything
else is kept."""

# The names of the selection's statuses, in the order of their values.
_STATUS_NAMES = ("ok", "at_lower", "at_upper", "flat", "too_few", "empty")


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def _number(low):
    def convert(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
        if not math.isfinite(value) or value < low:
            raise argparse.ArgumentTypeError(f"must be a finite number >= {low:g}, not {text!r}")
        return value

    return convert


def _integer(low):
    def convert(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be an integer >= {low}, not {text!r}")
        return value

    return convert


def _lam(text):
    if text.lower() in CRITERIA:
        return text.lower()
    try:
        return _number(0)(text)
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{error} (or a criterion: {', '.join(CRITERIA)})") from None


def _share(text):
    value = _number(-math.inf)(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must lie strictly between 0 and 1, not {text!r}")
    return value


def _or_none(convert):
    def convert_or_none(text):
        return None if text.lower() == "none" else convert(text)

    return convert_or_none


def _separator(text):
    # A shell passes '\t' as two characters; a tab is what is meant.
    separator = "\t" if text in ("\\t", "tab") else text
    if len(separator) != 1:
        raise argparse.ArgumentTypeError(f"must be a single character (or \\t), not {text!r}")
    return separator


def _tuning(text):
    parts = text.split(",")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"needs three numbers separated by commas, not {text!r}")
    return tuple(_number(-math.inf)(part) for part in parts)


def _parser():
    parser = _Parser(prog=PROG, description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", help="CSV, Parquet or NetCDF file, or a Zarr store (a directory NAME.zarr) (format from the extension, or --format)")
    parser.add_argument("-o", "--output", help="output file, or - for standard output (CSV only) (default: INPUT with .smoothed before the extension)")
    parser.add_argument("--format", choices=("csv", "parquet", "netcdf", "zarr"), help="format of the input, and so of the output")
    parser.add_argument("--force", action="store_true", help="replace an existing output file (and --plot image)")

    data = parser.add_argument_group("data")
    data.add_argument("--series", choices=("columns", "rows"), help="tables: one series per column (default) or per row")
    data.add_argument("--time-column", metavar="NAME", help="tables: column of positions, numbers or dates, or 'none' for row numbers (default: row numbers, unless a column holds dates); NetCDF, Zarr: dimension to smooth along")
    data.add_argument("--columns", nargs="+", metavar="NAME", help="tables: the columns to smooth (default: every floating-point one)")
    data.add_argument("--id-column", metavar="NAME", help="tables: a long table of one reading per row, one series per value of this column (with --time-column); the output keeps its rows, or with --every or --x-out has one row per id and output position")
    data.add_argument("--sep", type=_separator, metavar="CHAR", help="CSV: the field separator, for example ';' or '\\t' (default: the one of , ; tab | that the header line holds most)")
    data.add_argument("--decimal", choices=(".", ","), default=".", metavar="MARK", help="CSV: the decimal mark of the numbers, '.' or ',', read and written (default '.')")
    data.add_argument("--digits", type=_integer(1), metavar="N", help="CSV: write the smoothed values with N significant digits (default: the shortest text that reads back exactly)")
    data.add_argument("--dayfirst", action="store_true", help="tables: read dates like 07/01/2019 as 7 January")
    data.add_argument("--date-format", metavar="FMT", help="tables: read dates with this strptime format, for example '%%d.%%m.%%Y %%H:%%M'")
    data.add_argument("--variable", nargs="+", metavar="NAME", help="NetCDF and Zarr: the variables to smooth (default: every floating-point or packed one along the dimension; plain integers only when named)")

    smoothing = parser.add_argument_group("smoothing (defaults: those of the tarnwold module)")
    smoothing.add_argument("--method", choices=("whittaker", "robust"), default="whittaker", help="single-pass smoother (default) or robust IRLS")
    smoothing.add_argument("--dtype", choices=("float64", "float32"), default="float64", help="precision of the computation (default float64); the output keeps the input's type")
    smoothing.add_argument("--lam", type=_lam, metavar="LAM|reml|gcv|loocv|vcurve", help="smoothness; larger is smoother (module default 10); or a criterion that chooses lam per series")
    smoothing.add_argument("--d", type=_integer(0), help="order of the penalised differences (module default 2)")
    smoothing.add_argument("--ridge", type=_number(0), help="ridge added to the diagonal (default 0 for a series with at least d observations, else 1e-10; see above)")
    smoothing.add_argument("--eps", type=_number(0), help="floor of spacings, pivots and scales (module default 1e-10)")
    smoothing.add_argument("--normalize", choices=("mean", "median", "none"), type=str.lower, help="rescale the grid to unit mean or median spacing, or not (module default mean)")
    smoothing.add_argument("--no-parallel", action="store_true", help="smooth on the calling thread only")
    smoothing.add_argument("--derivative", type=int, choices=(1, 2), help="write the first or second derivative of the fit along the positions instead (per day for dates), in float64; needs --lam (or --envelope)")
    smoothing.add_argument("--envelope", type=_share, metavar="P", help="upper envelope (P > 0.5, e.g. 0.9) or baseline (P < 0.5, e.g. 0.02) by asymmetric weights P above the fit and 1 - P below; lam: a number or a criterion (default reml)")
    smoothing.add_argument("--extrapolate", action="store_true", help="also write the fit before a series' first and after its last observation, where it is the continuation of the fit rather than an estimate (default: left empty)")
    smoothing.add_argument("--max-gap", metavar="LENGTH", help="leave the fit empty inside every gap between two observations longer than LENGTH: a number in the units of the positions, or for dates a time span such as 30D or 12h")
    grid = smoothing.add_mutually_exclusive_group()
    grid.add_argument("--every", metavar="FREQ", help="write the fit on a regular grid of dates from the first to the last one, a pandas frequency such as 1D, 10D or 1h; needs dates as positions, and --lam or --envelope")
    grid.add_argument("--x-out", metavar="FILE", help="write the fit at the positions in FILE: a text file with one number (or, for dates, one date like 2023-05-01 or 2023-05-01T12:00) per line, increasing; blank lines and lines starting with # are skipped; needs --lam or --envelope")
    robust = parser.add_argument_group("robust smoothing (with --method robust)")
    robust.add_argument("--iterations", type=_integer(1), help=f"IRLS passes; 1 is the plain weighted fit (default {_ROBUST_ITERATIONS}); with --envelope the reweightings after the first fit (default 10)")
    robust.add_argument("--weighting", choices=_WEIGHTINGS, type=str.lower, help="weight function (module default tukey)")
    robust.add_argument("--scale", choices=("mad", "huber"), type=str.lower, help="residual scale estimator (module default mad)")
    robust.add_argument("--tuning", type=_tuning, metavar="A,B,C", help="the weighting's three tuning constants")
    robust.add_argument("--merge-x-tol", type=_or_none(_number(0)), default=_NOT_GIVEN, metavar="TOL|none", help="merge positions at most TOL apart, in the units of the positions (module default 0.01; none: never)")

    run = parser.add_argument_group("running")
    run.add_argument("--chunk-size", type=_integer(1), default=10_000, metavar="N", help="series per call of the smoother (default 10000); results do not depend on it, except with --method robust --dtype float32, whose float64 fall-back reruns a whole chunk")
    run.add_argument("--no-progress", action="store_true", help="no progress bar (shown when a run takes more than a second)")
    run.add_argument("--plot", metavar="FILE.png", help="draw a few series, raw and smoothed, into this image")
    run.add_argument("--diagnostics", metavar="FILE.csv", help="write each series' lam, EDF, observations, the status of the choice (with a criterion as --lam) and, with --method robust or --envelope, its passes into this CSV file")
    run.add_argument("--plot-series", type=_integer(1), default=4, metavar="N", help="how many series to draw (default 4)")
    return parser


class _Terminated(BaseException):
    """SIGTERM, turned into an exception so that partial outputs are removed
    on the way out, as they are for Ctrl-C."""


def main(argv=None):
    """Runs the command line with `argv` (default: sys.argv[1:]) and returns
    its exit status: 0 on success, 2 with a one-line message on standard error
    for bad options, unreadable or unwritable files, unknown columns and the
    like, 130 after Ctrl-C and 143 after SIGTERM."""
    return _main(argv)[0]


def console_main():
    """The tarnwold-smooth command. After a failed NetCDF write some builds of
    the HDF5 library fail an assertion or crash in their own exit handlers,
    although the error has been reported and the temporary file removed; and
    after a failed write to standard output the interpreter's last flush of
    it would fail again, reporting the error twice and changing the status.
    In both cases the process leaves with its status without running the
    exit handlers."""
    status, unclean = _main(None)
    if unclean:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


class _WriteFailed(UsageError):
    def __init__(self, message, unclean):
        super().__init__(message)
        self.unclean = unclean


def _main(argv):
    """main's exit status, and whether the process must leave without its
    exit handlers (see console_main)."""
    with _signals_as_exceptions():
        try:
            return _run(_parser().parse_args(argv)), False
        except UsageError as error:
            print(f"{PROG}: error: {error}", file=sys.stderr)
            return 2, isinstance(error, _WriteFailed) and error.unclean
        except MemoryError as error:
            # An output grid of a second's step over years, more series than
            # fit: numpy's allocation error names the size it failed on.
            print(f"{PROG}: error: not enough memory: {first_line(error)}", file=sys.stderr)
            return 2, False
        except KeyboardInterrupt:
            print(f"{PROG}: interrupted", file=sys.stderr)
            return 130, False
        except _Terminated:
            print(f"{PROG}: terminated", file=sys.stderr)
            return 143, False


@contextlib.contextmanager
def _signals_as_exceptions():
    """SIGTERM raises _Terminated; SIGXFSZ (a file size limit reached) is
    ignored so that the write fails with an error the command reports,
    rather than killing the process beside a partial file. Only the main
    thread can handle signals; elsewhere nothing changes."""
    saved = {}
    if threading.current_thread() is threading.main_thread():
        saved[signal.SIGTERM] = signal.signal(signal.SIGTERM, _raise_terminated)
        saved[signal.SIGXFSZ] = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def _raise_terminated(number, frame):
    raise _Terminated()


def _run(args):
    source = Path(args.input)
    fmt = args.format or _format_of(source)
    if source.is_dir() and fmt != "zarr":
        raise UsageError(f"cannot read {source}: it is a directory")
    if not source.exists() or fmt == "zarr" and not source.is_dir():
        raise UsageError(f"cannot read {source}: no such {'Zarr store' if fmt == 'zarr' else 'file'}")
    if fmt is None:
        raise UsageError(f"cannot tell the format of {source} from its extension; give --format")
    request = _request(args)
    # What the command reads, which no output may replace.
    inputs = [(source, "the input file")]
    if args.x_out is not None:
        inputs.append((Path(args.x_out), "the --x-out file"))
    output = _output_path(args.output, fmt, inputs, args.force)
    if args.plot is not None:
        _check_plot_path(Path(args.plot), inputs, output, args.force)
    if args.diagnostics is not None:
        _check_diagnostics_path(Path(args.diagnostics), inputs, output, args.plot, args.force)

    progress = Progress(enabled=not args.no_progress)
    if fmt == "zarr":
        return _run_on_zarr(source, output, args, request, progress)
    loaded = _load(source, fmt, args, progress)
    grid = output_grid(args.every, args.x_out, loaded)
    request = _request_on(request, args, loaded.x_values)
    z_st, diagnostics = _smooth_in_chunks(loaded, args, request, grid, progress)
    _write(output, lambda path: loaded.write(z_st, path, progress, grid), hdf5=fmt == "netcdf")
    parts = loaded.parts or [loaded]
    series = sum(part.y_st.shape[0] for part in parts)
    lengths = sorted({part.y_st.shape[1] for part in parts})
    length = lengths[0] if len(lengths) == 1 else f"{lengths[0]} to {lengths[-1]}"
    onto = "" if grid is None else f" onto {len(grid)} output positions"
    print(f"{PROG}: smoothed {series} series of {length} positions{onto} into {_name(output)}", file=sys.stderr)
    if args.diagnostics is not None:
        labels = [label for part in parts for label in part.labels]
        _write(Path(args.diagnostics), lambda path: _write_diagnostics(path, labels, diagnostics))
    if args.plot is not None:
        from ._plot import plot_series

        # Series of one call share their positions: those of the first ids for a long table.
        drawn = z_st[0] if loaded.parts else z_st
        _write(Path(args.plot), lambda path: plot_series(path, parts[0], drawn, args.plot_series, grid, args.derivative or 0))
    return 0


def _request_on(request, args, x_values):
    """The request with --max-gap in the units of the input's positions."""
    try:
        max_gap = gap_in_units(_gap(args.max_gap), x_values.dtype.kind in "mM")
    except (TypeError, ValueError) as error:
        raise UsageError(f"--max-gap {args.max_gap}: {first_line(error)}") from None
    return dataclasses.replace(request, max_gap=max_gap)


def _on_grid(request, grid, x_values):
    """The request for series read at `x_values`, with the output grid (if
    any) in their units: the parts of a long table measure dates from their
    own first one."""
    return request if grid is None else dataclasses.replace(request, x_out=grid_positions(grid, x_values))


def _run_on_zarr(source, output, args, request, progress):
    """Smooths a Zarr store into another, chunk by chunk as they are read
    and written."""
    from ._zarr import open_zarr_cube

    for flag, value in (("--plot", args.plot), ("--diagnostics", args.diagnostics)):
        if value is not None:
            raise UsageError(f"{flag} does not apply to Zarr stores, which are smoothed as they are written")
    _refuse_table_flags(args, "Zarr stores")
    cube = open_zarr_cube(source, args.time_column, args.variable, args.derivative or 0)
    grid = output_grid(args.every, args.x_out, cube)
    request = _on_grid(_request_on(request, args, cube.x_values), grid, cube.x_values)

    def smoothed(y_st):
        """The fit of a chunk of the store's series, --chunk-size at a time."""
        steps = range(0, y_st.shape[0], args.chunk_size)
        try:
            fits = [_smooth_chunk(cube.x, y_st[start : start + args.chunk_size], None, request)["z"] for start in steps]
        except (ValueError, TypeError, OverflowError) as error:
            raise UsageError(f"cannot smooth: {first_line(error)}") from None
        return np.concatenate(fits)

    _write(output, lambda path: cube.write(smoothed, path, progress, grid), store=True)
    onto = "" if grid is None else f" onto {len(grid)} output positions"
    print(f"{PROG}: smoothed {cube.series} series of {cube.x.size} positions{onto} into {_name(output)}", file=sys.stderr)
    return 0


def _write(target, write, hdf5=False, store=False):
    """Writes `target` through a temporary file (a stream directly, standard
    output for -o -); any failure of the writer (disk full, a value the
    format cannot hold) becomes a one-line error. `hdf5`: the writer is the
    HDF5 library's (NetCDF); `store`: `target` is a Zarr store, a directory
    written through a temporary one."""
    try:
        if target == _STDOUT:
            write(sys.stdout)
            sys.stdout.flush()
        elif store:
            with directory_replaced_on_success(target) as path:
                write(path)
        else:
            with replaced_on_success(target) as path:
                write(path)
    except UsageError:
        raise
    except Exception as error:
        raise _WriteFailed(f"cannot write {_name(target)}: {first_line(error)}", hdf5 or target == _STDOUT) from None


def _name(target):
    return "standard output" if target == _STDOUT else str(target)


def _format_of(path):
    return _FORMATS.get(path.suffix.lower())


def _gap(text):
    """--max-gap as a number when it is one, else the text of a time span."""
    if text is None:
        return None
    try:
        return float(text)
    except ValueError:
        return text


def _request(args):
    """The checked Request of the command line's smoothing options (its
    output grid and --max-gap come once the input is read)."""
    options = {}
    for name in ("d", "ridge", "eps", "iterations", "weighting", "scale", "tuning"):
        value = getattr(args, name)
        if value is not None:
            options[name] = value
    if args.normalize is not None:
        options["normalize"] = None if args.normalize == "none" else args.normalize
    if args.no_parallel:
        options["parallel"] = False
    if args.method == "robust" and "iterations" not in options:
        options["iterations"] = _ROBUST_ITERATIONS
    if args.merge_x_tol is not _NOT_GIVEN:
        options["merge_x_tol"] = args.merge_x_tol
    method = args.method
    if args.envelope is not None:
        if args.method != "whittaker":
            raise UsageError(f"--envelope and --method {args.method} exclude each other")
        method, options["p"] = "envelope", args.envelope
    for name in options:
        taking = [other for other, names in METHOD_OPTIONS.items() if name in names]
        if taking and method not in taking:
            flags = " or ".join("--envelope" if other == "envelope" else f"--method {other}" for other in taking)
            raise UsageError(f"--{name.replace('_', '-')} applies to {flags} only")
    asked = [flag for flag, value in (("--derivative", args.derivative), ("--every", args.every), ("--x-out", args.x_out))
             if value is not None]
    names = {"return_weights": "weights", "return_diagnostics": "--diagnostics", "return_se": "se",
             "whittaker": "--method whittaker", "robust": "--method robust", "envelope": "--envelope", "lam": "--lam",
             "criterion": "--lam {lam}", "dtype": f"--dtype {args.dtype}", "merge_x_tol": "--merge-x-tol",
             "grid": asked[0] if asked else "--every"}  # fmt: skip
    try:
        return make_request(method, args.lam, other_grid=args.every is not None or args.x_out is not None,
                            derivative=args.derivative or 0, return_weights=False,
                            return_diagnostics=args.diagnostics is not None, return_se=False,
                            dtype=resolve_dtype(args.dtype), extrapolate=args.extrapolate, max_gap=None,
                            options=options, names=names)  # fmt: skip
    except ValueError as error:
        raise UsageError(str(error)) from None


def _output_path(given, fmt, inputs, force):
    """The output: a path, or _STDOUT for -o -. `inputs`: (path, what) of
    the files the command reads, the input first."""
    source = inputs[0][0]
    if given == _STDOUT:
        if fmt != "csv":
            raise UsageError(f"-o - writes CSV to standard output, but the result is written as {fmt} like the input")
        return _STDOUT
    output = Path(given) if given is not None else source.with_name(f"{source.stem}.smoothed{source.suffix}")
    written_as = _format_of(output)
    if written_as is not None and written_as != fmt:
        raise UsageError(f"the output {output} names a {written_as} file, but the result is written as {fmt} like the input")
    _check_not_an_input(output, inputs, "the output ")
    _check_writable(output, "", force, store=fmt == "zarr")
    return output


def _check_plot_path(plot, inputs, output, force):
    from ._plot import supported_formats

    suffix = plot.suffix.lower().lstrip(".")
    if suffix not in supported_formats():
        raise UsageError(f"--plot: cannot draw into {plot}: unknown image type {suffix!r} (use .png)")
    _check_not_an_input(plot, inputs, "--plot: ")
    if output != _STDOUT and _same_file(plot, output):
        raise UsageError(f"--plot: {plot} is the output file")
    _check_writable(plot, "--plot: ", force)


def _check_diagnostics_path(path, inputs, output, plot, force):
    if path.suffix.lower() != ".csv":
        raise UsageError(f"--diagnostics: {path} is written as CSV; name it .csv")
    _check_not_an_input(path, inputs, "--diagnostics: ")
    for other, what in ((output, "the output file"), (plot, "the --plot image")):
        if other not in (None, _STDOUT) and _same_file(path, Path(other)):
            raise UsageError(f"--diagnostics: {path} is {what}")
    _check_writable(path, "--diagnostics: ", force)


def _check_not_an_input(path, inputs, prefix):
    for other, what in inputs:
        if _same_file(path, other):
            raise UsageError(f"{prefix}{path} is {what}; refusing to overwrite it")


def _write_diagnostics(path, labels, diagnostics):
    """One row per series: its label, the chosen lam (empty where none could
    be chosen), EDF, number of observations, the status by name and, after
    robust smoothing, the passes taken."""
    import csv

    lam, edf, n_obs, status, *passes = diagnostics
    status = [None] * len(lam) if status is None else status.tolist()
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator=os.linesep)
        writer.writerow(["series", "lam", "edf", "n_obs", "status"] + ["iterations"] * len(passes))
        for row in zip(labels, lam.tolist(), edf.tolist(), n_obs.tolist(), status, *(p.tolist() for p in passes)):
            label, chosen, freedom, count, code, *taken = row
            writer.writerow([label, _cell(chosen), _cell(freedom), count, "" if code is None else _STATUS_NAMES[code],
                             *taken])


def _cell(value):
    return "" if math.isnan(value) else repr(value)


def _check_writable(path, prefix, force, store=False):
    """Rejects, before any data is read, an output that could not be written
    or would replace an existing file without --force. A stream replaces
    nothing: it needs no --force. `store`: the output is a Zarr store, a
    directory, which replaces only a directory that is one too."""
    if is_stream(path):
        if not os.access(path, os.W_OK):
            raise UsageError(f"{prefix}cannot write {path}: permission denied")
        return
    if path.is_dir() != store and path.exists():
        raise UsageError(f"{prefix}cannot write {path}: it is {'no' if store else 'a'} directory")
    if not path.parent.is_dir():
        raise UsageError(f"{prefix}cannot write {path}: no such directory {path.parent}")
    if not os.access(path.parent, os.W_OK | os.X_OK):
        raise UsageError(f"{prefix}cannot write {path}: the directory is not writable")
    if path.exists() and not force:
        raise UsageError(f"{prefix}{path} exists; pass --force to replace it")


def _same_file(path, other):
    if path.resolve() == other.resolve():
        return True
    try:
        return os.path.samefile(path, other)
    except OSError:
        return False


def _load(source, fmt, args, progress):
    if fmt == "netcdf":
        _refuse_table_flags(args, "NetCDF files")
        from ._netcdf import load_netcdf

        return load_netcdf(source, args.time_column, args.variable, progress, args.derivative or 0)
    if args.variable is not None:
        raise UsageError("--variable applies to NetCDF files and Zarr stores")
    if fmt != "csv":
        for flag, value in (("--sep", args.sep), ("--decimal", _given(args.decimal, ".")), ("--digits", args.digits)):
            if value is not None:
                raise UsageError(f"{flag} applies to CSV files")
    from ._csv_text import Dialect
    from ._table_dates import DateReading
    from ._tables import TableReading, load_table

    if args.dayfirst and args.date_format is not None:
        raise UsageError("--dayfirst and --date-format exclude each other: the format says where the day is")
    reading = TableReading(Dialect(args.sep or ",", args.decimal, args.digits), args.sep is not None,
                           DateReading(args.dayfirst, args.date_format), args.id_column)  # fmt: skip
    return load_table(source, fmt, args.series or "columns", args.time_column, args.columns, reading, progress)


def _refuse_table_flags(args, what):
    csv_only = (("--sep", args.sep), ("--decimal", _given(args.decimal, ".")), ("--digits", args.digits))
    tables = (("--series", args.series), ("--columns", args.columns), ("--id-column", args.id_column),
              ("--dayfirst", args.dayfirst or None), ("--date-format", args.date_format))  # fmt: skip
    for flags, which in ((csv_only, "CSV files"), (tables, "CSV and Parquet files")):
        for flag, value in flags:
            if value is not None:
                raise UsageError(f"{flag} applies to {which}, not to {what}")


def _given(value, default):
    return None if value == default else value


def _smooth_in_chunks(loaded, args, request, grid, progress):
    """Smooths the series `args.chunk_size` at a time, reporting progress,
    onto the output grid's values `grid` (None: at their own positions); the
    results equal those of one call (see smooth_block for the one exception).
    Returns z_st (with loaded.parts, the list of each part's) and, with
    --diagnostics, the per-series diagnostics in the order of loaded.labels
    (of the parts' labels one after the other): lam, edf, n_obs, status
    (None for a given lam) and, after robust smoothing or an envelope, the
    passes; None otherwise."""
    parts = loaded.parts or [loaded]
    series = sum(part.y_st.shape[0] for part in parts)
    with progress.stage("smoothing", series, "series") as bar:
        try:
            done = [_smooth_part(part, args, _on_grid(request, grid, part.x_values), bar) for part in parts]
        except (ValueError, TypeError, OverflowError) as error:
            raise UsageError(f"cannot smooth: {first_line(error)}") from None
    z_st = [z for z, _ in done] if loaded.parts else done[0][0]
    if not request.return_diagnostics:
        return z_st, None
    found = {name: np.concatenate([part[name] for _, part in done]) for name in request.diagnostics}
    # Observations: finite values at positions of some weight (the weights
    # count the readings averaged at a repeated position).
    observed = np.concatenate([np.count_nonzero(_observed(part), axis=1) for part in parts])
    passes = (found["iterations"].astype(np.int64),) if "iterations" in found else ()
    return z_st, (found["lam"], found["edf"], observed, found.get("status"), *passes)


def _observed(loaded):
    usable = np.isfinite(loaded.y_st)
    return usable if loaded.w_st is None else usable & (loaded.w_st > 0)


def _smooth_part(loaded, args, request, bar):
    """_smooth_in_chunks on series that share their positions: their z_st
    and the dict of their diagnostics."""
    series = loaded.y_st.shape[0]
    points = loaded.y_st.shape[1] if request.x_out is None else len(request.x_out)
    z_st = np.empty((series, points), dtype=request.dtype)
    found = {name: np.empty(series, np.int8 if name == "status" else None) for name in request.diagnostics}
    for start in range(0, series, args.chunk_size):
        stop = min(start + args.chunk_size, series)
        w_st = None if loaded.w_st is None else loaded.w_st[start:stop]
        part = _smooth_chunk(loaded.x, loaded.y_st[start:stop], w_st, request)
        z_st[start:stop] = part["z"]
        for name, target in found.items():
            target[start:stop] = part[name]
        bar.update(stop - start)
    return z_st, found


def _smooth_chunk(x, y_st, w_st, request):
    """One call of the dispatcher on at most --chunk-size series."""
    return run_block(request, x, y_st, w_st)
