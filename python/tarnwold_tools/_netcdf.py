"""NetCDF files for the command line: variables smoothed along one dimension."""

import numpy as np

from ._cli_common import Loaded, UsageError, checked_positions, first_line, require

# Encodings that would pack the smoothed floats back into the stored integer
# type or mark valid values as missing; the rest (compression, chunking, time
# units) is kept.
_PACKING = ("dtype", "scale_factor", "add_offset", "_FillValue", "missing_value", "_Unsigned")


def load_netcdf(path, dim, variables):
    xr = require("xarray", "reading NetCDF files")
    try:
        with xr.open_dataset(path) as dataset:
            dataset = dataset.load()
    except (OSError, ValueError) as error:
        raise UsageError(f"cannot read {path}: {first_line(error)}") from None

    dims = list(dataset.sizes)
    if dim is None:
        if "time" in dims:
            dim = "time"
        elif len(dims) == 1:
            dim = dims[0]
        else:
            raise UsageError(f"name the dimension to smooth along with --time-column (the dimensions are: {', '.join(map(str, dims))})")
    elif dim not in dims:
        raise UsageError(f"unknown dimension {dim!r} (the dimensions are: {', '.join(map(str, dims))})")

    if variables is None:
        variables = [name for name, var in dataset.data_vars.items() if dim in var.dims and var.dtype.kind in "iuf"]
        if not variables:
            raise UsageError(f"no numeric variable has the dimension {dim!r}")
    for name in variables:
        if name not in dataset.data_vars:
            raise UsageError(f"unknown variable {name!r} (the variables are: {', '.join(map(str, dataset.data_vars))})")
        if dim not in dataset[name].dims:
            raise UsageError(f"variable {name!r} has no dimension {dim!r}")
        if dataset[name].dtype.kind not in "iuf":
            raise UsageError(f"variable {name!r} is not numeric")

    x_values = dataset[dim].values
    x = checked_positions(x_values, f"coordinate {dim!r}")
    # Each variable, with the smoothing dimension last, is a block of series.
    moved = [dataset[name].transpose(..., dim) for name in variables]
    blocks = [var.values.reshape(-1, x.size).astype(np.float64) for var in moved]
    labels = [_label(name, index) for name, var in zip(variables, moved) for index in np.ndindex(var.shape[:-1])]

    def write(z_st, out_path):
        out = dataset.copy()
        start = 0
        for name, var, block in zip(variables, moved, blocks):
            part = z_st[start : start + block.shape[0]].reshape(var.shape)
            start += block.shape[0]
            smoothed = var.copy(data=part).transpose(*dataset[name].dims)
            smoothed.encoding = {key: value for key, value in var.encoding.items() if key not in _PACKING}
            out[name] = smoothed
        out.to_netcdf(out_path)

    return Loaded(x, x_values, str(dim), np.concatenate(blocks), labels, write)


def _label(name, index):
    return f"{name}[{', '.join(map(str, index))}]" if index else str(name)
