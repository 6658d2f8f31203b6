"""NetCDF files for the command line: variables smoothed along one dimension."""

import numpy as np

from ._cli_common import Loaded, UsageError, checked_positions, first_line, note, require
from ._smoothing import result_dtype

# The encoding keys that store a variable as integers: without them the
# smoothed values are written as plain floats.
PACKING = ("dtype", "scale_factor", "add_offset", "_FillValue", "missing_value", "_Unsigned")


def load_netcdf(path, dim, variables, progress, derivative=0):
    """The variables along `dim` as series; `derivative` (1 or 2): they are
    written back as that derivative of their values."""
    xr = require("xarray", "reading NetCDF files")
    size = path.stat().st_size
    try:
        with progress.stage("reading", size, "B") as bar:
            # The netCDF4 engine by name: left to guess, xarray answers a
            # damaged file with a list of the engines it tried.
            with xr.open_dataset(path, engine=_engine()) as dataset:
                dataset = dataset.load()
            bar.update(size)
    except Exception as error:
        raise UsageError(f"cannot read {path}: {_reason(error)}") from None

    dim, variables, x_values, x, step = cube_axis(dataset, dim, variables)
    # Each variable, with the smoothing dimension last, is a block of series.
    moved = [dataset[name].transpose(..., dim) for name in variables]
    blocks = [var.values.reshape(-1, x.size).astype(np.float64) for var in moved]
    labels = [label(name, index) for name, var in zip(variables, moved) for index in np.ndindex(var.shape[:-1])]

    def write(z_st, out_path, progress, grid=None):
        out = dataset.copy() if grid is None else on_grid(dataset, dim, variables, grid)
        start = 0
        for name, var, block in zip(variables, moved, blocks):
            shape = var.shape[:-1] + (z_st.shape[1],)
            part = z_st[start : start + block.shape[0]].reshape(shape).astype(result_dtype(var.dtype))
            start += block.shape[0]
            if grid is None:
                smoothed = var.copy(data=part)
                encoding = var.encoding
            else:
                smoothed = xr.Variable(var.dims, part, attrs=var.attrs)
                # Chunk sizes and the shape on file were those of the old grid,
                # and the coordinates it named along it are left out.
                encoding = {key: value for key, value in var.encoding.items()
                            if key not in ("chunksizes", "original_shape", "coordinates")}
            smoothed = smoothed.transpose(*dataset[name].dims)
            if derivative:
                # A rate written through the values' packing would be rounded
                # to its step, which is a step of values, not of rates.
                smoothed.attrs = rate_attrs(var.attrs, derivative, step)
                smoothed.encoding = {key: value for key, value in encoding.items() if key not in PACKING}
            else:
                smoothed.encoding = _encoding_for(name, smoothed.values, encoding)
            out[name] = smoothed
        with progress.stage("writing", 1, "files") as bar:
            out.to_netcdf(out_path, engine=_engine())
            bar.update(1)

    return Loaded(x, x_values, str(dim), np.concatenate(blocks), labels, write)


def cube_axis(dataset, dim, variables):
    """What a cube (NetCDF or Zarr) is smoothed along: the dimension and the
    variables chosen, the positions as read and as checked floats, and the
    step a rate is per (see rate_step)."""
    dim = chosen_dimension(dataset, dim)
    variables = chosen_variables(dataset, dim, variables)
    x_values = dataset[dim].values
    x = checked_positions(x_values, f"coordinate {dim!r}")
    return dim, variables, x_values, x, rate_step(dataset, dim)


def chosen_dimension(dataset, dim):
    """The dimension to smooth along: `dim`, or "time", or the only one."""
    dims = list(dataset.sizes)
    if dim is None:
        if "time" in dims:
            return "time"
        if len(dims) == 1:
            return dims[0]
        raise UsageError(f"name the dimension to smooth along with --time-column (the dimensions are: {', '.join(map(str, dims))})")
    if dim not in dims:
        raise UsageError(f"unknown dimension {dim!r} (the dimensions are: {', '.join(map(str, dims))})")
    return dim


def chosen_variables(dataset, dim, variables):
    """The variables to smooth: `variables`, checked, or every one along
    `dim` that holds measurements."""
    if variables is None:
        variables = [name for name, var in dataset.data_vars.items() if dim in var.dims and _holds_measurements(var)]
        if not variables:
            raise UsageError(f"no floating-point variable has the dimension {dim!r} (name integer ones with --variable)")
    for name in variables:
        if name not in dataset.data_vars:
            raise UsageError(f"unknown variable {name!r} (the variables are: {', '.join(map(str, dataset.data_vars))})")
        if dim not in dataset[name].dims:
            raise UsageError(f"variable {name!r} has no dimension {dim!r}")
        if dataset[name].dtype.kind not in "iuf":
            raise UsageError(f"variable {name!r} is not numeric")
    return variables


def rate_step(dataset, dim):
    """The unit of the positions along `dim`, which a rate is per: days for
    times, else the coordinate's units (None: unknown)."""
    return "day" if dataset[dim].dtype.kind in "mM" else dataset[dim].attrs.get("units")


def on_grid(dataset, dim, variables, grid):
    """`dataset` without what lies along `dim`, which takes the output
    positions `grid` as its coordinate (with the old coordinate's
    attributes); the smoothed `variables` are added by the caller. Other
    variables along `dim` have no values on the new grid: they are left
    out, with a note."""
    left_out = [str(name) for name, var in dataset.variables.items()
                if dim in var.dims and name != dim and name not in variables]
    if left_out:
        note(f"variables not smoothed are left out on the new grid: {', '.join(left_out)}")
    out = dataset.drop_dims(dim)
    attrs = dataset[dim].attrs if dim in dataset.coords else {}
    return out.assign_coords({dim: (dim, grid, attrs)})


def rate_attrs(attrs, derivative, step):
    """The attributes of the derivative of order `derivative` of a variable
    with `attrs`, along positions in units `step` (None: unknown): its units
    per step, without what describes the values rather than their rate (the
    standard name, valid and actual ranges). Units that cannot be told are
    left out rather than stated wrongly."""
    rate = {key: value for key, value in attrs.items()
            if key not in ("units", "standard_name", "valid_min", "valid_max", "valid_range", "actual_range")}
    units = attrs.get("units")
    if units is not None and step is not None:
        per = f"{step}-{derivative}"
        rate["units"] = per if str(units).strip() in ("", "1") else f"{units} {per}"
    return rate


def _holds_measurements(var):
    """Floats, or integers packed with a scale or offset; plain integers
    (counts, quality flags, class codes) even when a fill value made them
    floats on reading."""
    stored = np.dtype(var.encoding.get("dtype", var.dtype))
    if stored.kind in "iu":
        return "scale_factor" in var.encoding or "add_offset" in var.encoding
    return var.dtype.kind == "f"


def _engine():
    require("netCDF4", "reading and writing NetCDF files")
    return "netcdf4"


def _reason(error):
    """The cause of a failed read, without the file name said twice; the
    netCDF library's own codes (negative errno) mostly mean a damaged file."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        if error.errno is not None and error.errno < 0:
            return f"{error.strerror} (a damaged, truncated or foreign file)"
        return error.strerror
    return first_line(error)


def _encoding_for(name, values, encoding):
    """The variable's encoding for its smoothed `values`: kept as it was
    (a float32 variable stays float32, packed integers stay packed), except
    where the stored type cannot hold the smoothed values faithfully. Plain
    integers would truncate them and packed ones can overflow or need a fill
    value they lack; those variables are written as floats, with a note."""
    stored = np.dtype(encoding.get("dtype", values.dtype))
    if stored.kind not in "iu":
        return dict(encoding)
    unpacked = {key: value for key, value in encoding.items() if key not in PACKING}
    if "scale_factor" not in encoding and "add_offset" not in encoding:
        return unpacked
    problem = _packing_problem(values, encoding, stored)
    if problem is None:
        return dict(encoding)
    note(f"{name!r} written as unpacked floats: {problem}")
    return unpacked


def _packing_problem(values, encoding, stored):
    if "_Unsigned" in encoding:
        return "its _Unsigned packing is not supported"
    fills = [encoding[key] for key in ("_FillValue", "missing_value") if key in encoding]
    missing = np.isnan(values)
    if missing.any() and not fills:
        return "it has missing values and no _FillValue"
    scale = encoding.get("scale_factor", 1.0)
    offset = encoding.get("add_offset", 0.0)
    with np.errstate(invalid="ignore"):
        packed = np.around((values[~missing].astype(np.float64) - offset) / scale)
    limits = np.iinfo(stored)
    if packed.size and (packed.min() < limits.min or packed.max() > limits.max):
        return f"smoothed values leave the range of {stored}"
    if np.isin(packed, np.asarray(fills, dtype=np.float64)).any():
        return "a smoothed value packs to the fill value"
    return None


def label(name, index):
    return f"{name}[{', '.join(map(str, index))}]" if index else str(name)
