"""tarnwold_tools.smooth on in-memory and dask-backed DataArrays, against direct
calls of the module on the same series."""

import re

import numpy as np
import pytest

import tarnwold

xr = pytest.importorskip("xarray")
import tarnwold_tools  # noqa: E402

SIZES = {"time": 40, "y": 3, "x": 2}
DAYS = np.cumsum(np.random.default_rng(3).integers(1, 9, SIZES["time"]))
CASES = [
    ("whittaker", np.float64, {"lam": 5.0}),
    ("whittaker", np.float32, {"lam": 5.0, "d": 3, "normalize": None}),
    ("robust", np.float64, {"lam": 5.0, "iterations": 3, "weighting": "cauchy", "merge_x_tol": 1.5}),
    ("robust", np.float32, {"lam": 5.0, "iterations": 4, "scale": "huber", "parallel": False}),
    # lam chosen per series: the dask case's chunks of two series must not change it.
    ("whittaker", np.float64, {"lam": "reml"}),
    ("whittaker", np.float64, {"lam": "vcurve", "d": 3, "normalize": None, "parallel": False}),
    # Robust smoothing with lam chosen per series, with the robust options mapped.
    ("robust", np.float64, {"lam": "reml", "weighting": "cauchy", "iterations": 3}),
    ("robust", np.float64, {"lam": "vcurve", "weighting": "huber", "scale": "huber", "tuning": (0.0, 0.0, 2.5), "d": 3,
                            "parallel": False}),
    # Envelopes: a given lam, and lam chosen on the asymmetric weights.
    ("envelope", np.float64, {"lam": 5.0, "p": 0.9, "iterations": 6}),
    ("envelope", np.float64, {"lam": "reml", "p": 0.1, "d": 3, "tol": 0.05}),
]


def cube(dims, dtype=np.float64, seed=0):
    rng = np.random.default_rng(seed)
    shape = tuple(SIZES[dim] for dim in dims)
    values = rng.normal(0.0, 0.3, shape) + np.sin(DAYS / 20.0).reshape([-1 if d == "time" else 1 for d in dims])
    missing = rng.random(shape) < 0.1
    # Observed at both ends, so that the plain fit is the module's without a
    # ridge (missing ends are solved on the observations' span).
    missing[tuple(slice(None) if d != "time" else [0, -1] for d in dims)] = False
    values[missing] = np.nan
    coords = {"time": np.datetime64("2021-03-01") + DAYS.astype("timedelta64[D]"), "doy": ("time", DAYS % 365)}
    if "y" in dims:
        coords["y"] = [10.0, 20.0, 30.0]
        coords["site"] = ("y", ["a", "b", "c"])
    return xr.DataArray(values.astype(dtype), dims=dims, coords=coords, name="ndvi", attrs={"units": "1", "source": "test"})


def reference(da, dtype, method, options, w=None):
    """The module called once on every series of `da`, as an (S, T) block."""
    x = (DAYS - DAYS[0]).astype(dtype)
    y_st = np.ascontiguousarray(da.transpose(..., "time").values.reshape(-1, SIZES["time"]).astype(dtype))
    w_st = None if w is None else w.broadcast_like(da).transpose(..., "time").values.reshape(y_st.shape).astype(dtype)
    suffix = "f32" if dtype == np.float32 else "f64"
    if method == "envelope":
        found = tarnwold_tools.envelope(x, y_st, w_st, **options)
        return found.z, found.weights
    if method == "robust" and isinstance(options.get("lam"), str):
        found = tarnwold_tools.robust(x, y_st, w_st, **options)
        return found.z, found.weights
    if isinstance(options.get("lam"), str):
        rest = {name: value for name, value in options.items() if name != "lam"}
        return (tarnwold_tools.select_lambda(x, y_st, w_st, criterion=options["lam"], **rest).z,)
    if method == "robust":
        return getattr(tarnwold, f"robust_whittaker_irls_{suffix}")(x, y_st, w_st, return_weights=True, **options)
    # The series here have at least d observations or none: without a ridge
    # given, the plain smoother needs none.
    return (getattr(tarnwold, f"whittaker_solve_{suffix}")(x, y_st, w_st, **{"ridge": 0.0, **options}),)


def as_st(da):
    return da.transpose(..., "time").values.reshape(-1, SIZES["time"])


def assert_bitwise(actual, expected):
    assert actual.dtype == expected.dtype
    np.testing.assert_array_equal(actual.view(f"u{actual.itemsize}"), expected.view(f"u{expected.itemsize}"))


@pytest.mark.parametrize("dims", [("time",), ("time", "y"), ("y", "time", "x"), ("y", "x", "time")])
@pytest.mark.parametrize("backend", ["numpy", "dask"])
@pytest.mark.parametrize(("method", "dtype", "options"), CASES)
def test_matches_module_and_keeps_metadata(dims, backend, method, dtype, options):
    da = cube(dims)
    if backend == "dask":
        pytest.importorskip("dask.array")
        # Chunked along time as well: smooth() must give each series whole.
        da = da.chunk({dim: 2 if dim != "time" else 15 for dim in dims})
    reweighted = method != "whittaker"
    result = tarnwold_tools.smooth(da, "time", method=method, dtype=dtype, return_weights=reweighted, **options)
    outputs = result if reweighted else (result,)
    for output in outputs:
        assert (output.chunks is not None) == (backend == "dask")
        assert output.dims == da.dims
        assert output.coords.to_dataset().identical(da.coords.to_dataset())
    smoothed = outputs[0]
    assert smoothed.name == "ndvi" and smoothed.attrs == da.attrs
    if reweighted:
        assert outputs[1].name == "ndvi_weights"
    # Computed in `dtype`, handed back in the data's own float64.
    for output, expected in zip(outputs, reference(da, dtype, method, options)):
        assert_bitwise(as_st(output.compute()), expected.astype(da.dtype))


@pytest.mark.parametrize("backend", ["numpy", "dask"])
@pytest.mark.parametrize("weight_dims", [("time",), ("y", "time"), ("time", "y", "x")])
def test_base_weights_broadcast(backend, weight_dims):
    da = cube(("y", "time", "x"))
    rng = np.random.default_rng(5)
    w = cube(weight_dims, seed=9).copy(data=rng.uniform(0.2, 2.0, tuple(SIZES[d] for d in weight_dims)))
    if backend == "dask":
        pytest.importorskip("dask.array")
        da = da.chunk({"y": 1})
    smoothed = tarnwold_tools.smooth(da, "time", weights=w, lam=3.0)
    assert smoothed.dims == da.dims
    assert_bitwise(as_st(smoothed.compute()), reference(da, np.float64, "whittaker", {"lam": 3.0}, w)[0])


@pytest.mark.parametrize(
    ("coordinate", "expected_x"),
    [
        (None, np.arange(6.0)),
        (np.array([0.5, 1.0, 4.0, 4.5, 9.0, 12.0]), np.array([0.5, 1.0, 4.0, 4.5, 9.0, 12.0])),
        (np.array([0, 36, 48, 96, 120, 144], "timedelta64[h]"), np.array([0.0, 1.5, 2.0, 4.0, 5.0, 6.0])),
        (np.array(["2020-02-27T12", "2020-02-28", "2020-03-01", "2020-03-02", "2020-03-05", "2020-03-09"], "datetime64[h]"),
         np.array([0.0, 0.5, 2.5, 3.5, 6.5, 10.5])),
    ],
)
def test_positions_from_coordinate(coordinate, expected_x):
    y = np.random.default_rng(1).normal(size=(2, 6))
    da = xr.DataArray(y, dims=("s", "t"), coords=None if coordinate is None else {"t": coordinate})
    smoothed = tarnwold_tools.smooth(da, "t", lam=2.0)
    assert_bitwise(smoothed.values, tarnwold.whittaker_solve_f64(expected_x, y, lam=2.0, ridge=0.0))


@pytest.mark.parametrize(
    ("data_dtype", "dtype", "computed", "expected"),
    [
        (np.float32, None, np.float64, np.float32),
        (np.float64, None, np.float64, np.float64),
        (np.int16, None, np.float64, np.float64),
        (np.float64, "float32", np.float32, np.float64),
        (np.float32, "float32", np.float32, np.float32),
        # Big-endian floats (FITS) are the same numbers, handed back native.
        (">f4", None, np.float64, np.float32),
    ],
)
@pytest.mark.parametrize("backend", ["numpy", "dask"])
def test_computes_in_float64_unless_asked_and_keeps_the_data_type(backend, data_dtype, dtype, computed, expected):
    da = (cube(("time", "y")).fillna(1.0) * 100).astype(data_dtype)
    if backend == "dask":
        pytest.importorskip("dask.array")
        da = da.chunk({"y": 1})
    smoothed = tarnwold_tools.smooth(da, "time", dtype=dtype)
    assert smoothed.dtype == expected
    assert_bitwise(as_st(smoothed.compute()), reference(da, computed, "whittaker", {})[0].astype(expected))


@pytest.mark.parametrize("backend", ["numpy", "dask"])
@pytest.mark.parametrize(
    ("method", "options", "hole"),
    [
        ("whittaker", {}, "series"),
        ("robust", {"iterations": 3}, "series"),
        ("whittaker", {}, "weights"),
        ("whittaker", {"lam": 0.0}, "positions"),
        ("robust", {"lam": 0.0, "merge_x_tol": None}, "positions"),
        ("whittaker", {}, "mask"),
        ("whittaker", {"lam": "reml"}, "series"),
        ("whittaker", {"lam": "gcv"}, "weights"),
        ("whittaker", {"lam": "loocv"}, "mask"),
        ("robust", {"lam": "reml"}, "series"),
        ("robust", {"lam": "gcv", "iterations": 2}, "weights"),
        ("robust", {"lam": "vcurve"}, "mask"),
        ("envelope", {"lam": "vcurve"}, "series"),
        ("envelope", {"lam": 0.0, "p": 0.8}, "positions"),
        ("envelope", {"lam": 3.0, "p": 0.2}, "mask"),
        ("envelope", {"lam": 3.0}, "weights"),
    ],
)
def test_no_values_where_the_fit_has_no_observation(backend, method, options, hole):
    da = cube(("y", "time"))
    values = da.values.copy()
    weights = None
    if hole == "series":
        values[1] = np.nan
    elif hole == "weights":
        weights = xr.ones_like(da).copy(data=np.where(np.arange(3)[:, None] == 1, 0.0, np.ones(da.shape)))
    elif hole == "mask":
        values[1, ::2] = -9999.0
        values = np.ma.masked_array(values, mask=np.isnan(values) | (values == -9999.0))
        values[1] = np.ma.masked
    da = da.copy(data=values)
    if backend == "dask":
        pytest.importorskip("dask.array")
        da = da.chunk({"y": 1})
    smoothed = tarnwold_tools.smooth(da, "time", method=method, weights=weights, **options).values
    observed = np.isfinite(np.ma.filled(values, np.nan))
    if hole == "positions":
        assert np.isnan(smoothed[~observed]).all()
        assert_bitwise(smoothed[observed], reference(da, np.float64, method, options)[0][observed])
    else:
        assert np.isnan(smoothed[1]).all()
        assert np.isfinite(smoothed[[0, 2]]).all()


@pytest.mark.parametrize(
    ("change", "error", "match"),
    [
        ({"dim": "depth"}, ValueError, "'depth' is not a dimension"),
        ({"method": "lowess"}, ValueError, "method must be 'whittaker', 'robust' or 'envelope'"),
        ({"iterations": 3}, ValueError, "'iterations' applies to method='robust' or 'envelope' only"),
        ({"p": 0.9}, ValueError, "'p' applies to method='envelope' only"),
        ({"method": "envelope", "weighting": "huber"}, ValueError, "'weighting' applies to method='robust' only"),
        ({"method": "envelope", "p": 1.0}, ValueError, "p must lie strictly between 0 and 1"),
        ({"method": "envelope", "p": "0.9"}, TypeError, "p must be a number"),
        ({"method": "envelope", "iterations": -1}, ValueError, "iterations must be >= 0"),
        ({"method": "envelope", "tol": "none"}, TypeError, "tol must be a number"),
        ({"method": "envelope", "lam": "aic"}, ValueError, "lam must be a number or one of"),
        ({"method": "envelope", "dtype": "float32"}, ValueError, "method='envelope' computes in float64"),
        ({"method": "envelope", "return_diagnostics": True, "return_se": True}, ValueError,
         "return_se=True does not apply to method='envelope'"),
        ({"method": "envelope", "x_out": "1D", "lam": 0.0}, ValueError, "x_out needs lam, a number > 0 or a criterion"),
        ({"lamda": 3.0}, TypeError, "unknown option 'lamda'"),
        ({"return_weights": True}, ValueError, "return_weights=True needs method='robust' or method='envelope'"),
        ({"dtype": "float16"}, ValueError, "dtype must be float32 or float64"),
        ({"weights": "heavy"}, TypeError, "weights must be an xarray.DataArray"),
        ({"method": "robust", "d": 40}, ValueError, "x must have length > d after merging"),
        ({"da": cube(("time", "y")) * (1 + 1j)}, TypeError, "the DataArray holds complex values"),
        ({"lam": "aic"}, ValueError, "lam must be a number or one of 'reml', 'gcv', 'loocv', 'vcurve', not 'aic'"),
        ({"lam": "reml", "method": "robust", "merge_x_tol": 0.5}, ValueError, "merge_x_tol does not apply with lam='reml'"),
        ({"lam": "gcv", "method": "robust", "dtype": "float32"}, ValueError, "lam='gcv' selects in float64"),
        ({"lam": "gcv", "method": "robust", "tol": 0.1}, ValueError, "'tol' applies to method='envelope' only"),
        ({"lam": 5.0, "method": "robust", "return_diagnostics": True, "merge_x_tol": 0.5}, ValueError,
         "merge_x_tol does not apply with return_diagnostics=True"),
        ({"lam": "gcv", "dtype": "float32"}, ValueError, "lam='gcv' selects in float64"),
        ({"lam": 5.0, "return_diagnostics": True, "dtype": "float32"}, ValueError,
         "return_diagnostics=True computes in float64; dtype='float32' does not apply"),
        ({"lam": "reml", "return_se": True}, ValueError, "return_se=True needs return_diagnostics=True"),
        ({"lam": "reml", "lam_grid": [1.0, 2.0, 3.0]}, TypeError, "unknown option 'lam_grid'"),
        ({"x_out": "1D", "method": "robust", "lam": 5.0, "merge_x_tol": 0.5}, ValueError, "merge_x_tol does not apply with x_out"),
        ({"x_out": "1D", "lam": 0.0}, ValueError, "x_out needs lam, a number > 0 or a criterion"),
        ({"derivative": 1}, ValueError, "derivative needs lam, a number > 0 or a criterion"),
        ({"derivative": 1, "lam": 5.0, "dtype": "float32"}, ValueError, "derivative computes in float64"),
        ({"x_out": "1D", "lam": np.array([5.0, 0.0, 1.0])}, ValueError, "x_out needs lam, a number > 0"),
        ({"lam": np.array([5.0, 1.0])}, ValueError, r"the shape of the other dimensions \['y'\], \(3,\), not \(2,\)"),
        ({"lam": np.array([5.0, -1.0, 1.0])}, ValueError, "lam must be finite and >= 0 for every series"),
        ({"lam": xr.DataArray([1.0, 2.0], dims="band")}, ValueError, r"dimensions that the series lack: \['band'\]"),
        ({"lam": xr.DataArray([1.0, 2.0, 3.0], dims="y", coords={"y": [1.0, 2.0, 3.0]})}, ValueError, "cannot align"),
        ({"max_gap": "30D", "da": cube(("time", "y")).drop_vars("time")}, TypeError, "max_gap must be a number in the"),
        ({"max_gap": "thirty days"}, ValueError, "max_gap must be a time span such as '30D'"),
        ({"max_gap": -2.0}, ValueError, "max_gap must be a positive length"),
        ({"x_out": np.arange(3.0), "lam": 5.0}, TypeError, "of the kind of the coordinate 'time'"),
        ({"da": cube(("time", "y")).drop_vars("time"), "x_out": "1D", "lam": 5.0}, ValueError, "needs a datetime"),
        ({"x_out": np.array([], "datetime64[D]"), "lam": 5.0}, ValueError, "non-empty"),
        ({"derivative": 3, "lam": 5.0}, ValueError, "derivative must be 0, 1 or 2"),
        # On dask arrays too, refused when the computation is set up.
        ({"da": "dask", "method": "envelope", "derivative": 3}, ValueError, "derivative must be 0, 1 or 2"),
        ({"da": "dask", "x_out": np.array(["2021-05-01", "2021-04-01"], "datetime64[ns]"), "lam": 5.0}, ValueError,
         "strictly increasing"),
        ({"da": "dask", "method": "envelope", "x_out": np.array(["2021-04-01", "NaT"], "datetime64[ns]")}, ValueError,
         "finite"),
        ({"da": "dask", "x_out": np.array(["2021-04-01"], "datetime64[D]"), "derivative": 1, "lam": "reml"}, ValueError,
         "at least 2 output positions"),
        ({"da": "dask", "method": "envelope", "lam": -1.0}, ValueError, "lam must be a finite number >= 0"),
        ({"da": "dask", "lam": "reml", "derivative": 1, "return_diagnostics": True, "return_se": True}, ValueError,
         "ask for them with derivative=0"),
        ({"da": "dask", "method": "robust", "lam": "gcv", "x_out": "1D", "derivative": 2, "return_diagnostics": True,
          "return_se": True}, ValueError, "ask for them with derivative=0"),
        ({"da": "dask", "method": "envelope", "lam": np.nan}, ValueError, "lam must be a finite number >= 0"),
    ],
)
def test_rejects_bad_requests(change, error, match):
    arguments = {"da": cube(("time", "y")), "dim": "time", **change}
    if isinstance(arguments["da"], str):
        pytest.importorskip("dask.array")
        arguments["da"] = cube(("time", "y")).chunk({"y": 1})
    with pytest.raises(error, match=match):
        tarnwold_tools.smooth(**arguments)


@pytest.mark.parametrize(
    ("coordinate", "error", "match"),
    [
        (np.array([0.0, 2.0, 1.0, 3.0]), ValueError, "coordinate 't' must be strictly increasing"),
        (np.array([0.0, 1.0, 1.0 + 1e-9, 3.0]), ValueError, r"strictly increasing \(as float32\)"),
        (np.array(["a", "b", "c", "d"]), TypeError, "coordinate 't': positions must be numbers"),
    ],
)
def test_rejects_bad_coordinates(coordinate, error, match):
    da = xr.DataArray(np.ones((2, 4), np.float32), dims=("s", "t"), coords={"t": coordinate})
    with pytest.raises(error, match=match):
        tarnwold_tools.smooth(da, "t", dtype="float32")


# (criterion, method, dtype of the data): robust smoothing reports its passes too.
DIAGNOSTIC_CASES = [
    ("reml", "whittaker", np.float64),
    ("gcv", "whittaker", np.float64),
    ("loocv", "whittaker", np.float64),
    ("vcurve", "whittaker", np.float64),
    ("reml", "robust", np.float64),
    ("loocv", "robust", np.float32),
]


@pytest.mark.parametrize(("criterion", "method", "data_dtype"), DIAGNOSTIC_CASES)
@pytest.mark.parametrize(("backend", "chunks"), [("numpy", None), ("dask", {"y": 1}), ("dask", {"y": 2, "x": 1})])
@pytest.mark.parametrize("return_se", [False, True])
@pytest.mark.parametrize("name", ["ndvi", None, "lam"])
def test_diagnostics_are_those_of_the_choice(criterion, method, data_dtype, backend, chunks, return_se, name):
    da = cube(("y", "time", "x"), data_dtype).rename(name)
    values = da.values.copy()
    values[1, :, 0] = np.nan  # empty
    values[2, 3:, 1] = np.nan  # too few: three observations
    da = da.copy(data=values)
    w = xr.DataArray(np.random.default_rng(2).uniform(0.5, 2.0, SIZES["time"]), dims="time", coords={"time": da.time})
    if backend == "dask":
        pytest.importorskip("dask.array")
        da = da.chunk(chunks)
    robust = method == "robust"
    result = tarnwold_tools.smooth(da, "time", method=method, weights=w, lam=criterion, d=2, return_diagnostics=True,
                                   return_se=return_se, return_weights=robust, extrapolate=True)  # fmt: skip
    result, weights = result if robust else (result, None)
    names = {"ndvi": "ndvi", None: "smoothed", "lam": "smoothed"}[name]
    fields = ("lam", "edf", "status") + (("iterations",) if robust else ())
    assert set(result.data_vars) == {names, *fields} | ({"se"} if return_se else set())
    assert result[names].dims == da.dims and result["lam"].dims == ("y", "x") and result["status"].dtype == np.int8
    assert result[names].dtype == data_dtype
    assert result["status"].attrs["flag_meanings"].split()[tarnwold_tools.LAMBDA_TOO_FEW] == "too_few"
    y_st, w_st = as_st(da), np.broadcast_to(w.values, as_st(da).shape)
    x = (DAYS - DAYS[0]).astype(np.float64)
    if robust:
        direct = tarnwold_tools.robust(x, y_st, w_st, lam=criterion, return_se=return_se)
        assert weights.dims == da.dims and weights.name == ("weights" if name is None else f"{name}_weights")
        assert_bitwise(as_st(weights.compute()), direct.weights)
    else:
        direct = tarnwold_tools.select_lambda(x, y_st, w_st, criterion=criterion, return_se=return_se)
    result = result.compute()
    assert_bitwise(as_st(result[names]), direct.z)
    for field in fields:
        assert_bitwise(result[field].transpose("y", "x").values.ravel(), getattr(direct, field))
    if return_se:
        assert_bitwise(as_st(result["se"]), direct.se)
    status = result["status"].values
    assert status[1, 0] == tarnwold_tools.LAMBDA_EMPTY and status[2, 1] == tarnwold_tools.LAMBDA_TOO_FEW
    assert np.isnan(result[names].values[1, :, 0]).all() and np.isnan(result["lam"].values[[1, 2], [0, 1]]).all()


# (x_out, lam, derivative, backend, method); "dates": dates within and beyond the coordinate's;
# grids of seconds over observations days apart.
OUTPUT_GRID_CASES = [
    ("7D", 5.0, 0, "numpy", "whittaker"),
    ("1D", "reml", 1, "dask", "whittaker"),
    ("dates", 5.0, 0, "dask", "whittaker"),
    (None, "gcv", 2, "numpy", "whittaker"),
    ("1D", 5.0, 0, "dask", "envelope"),
    ("dates", "vcurve", 1, "numpy", "envelope"),
    (None, "reml", 2, "dask", "envelope"),
    ("30s", 5.0, 0, "dask", "envelope"),
    ("30s", "reml", 1, "numpy", "whittaker"),
    ("1D", "reml", 1, "dask", "robust"),
    ("dates", "gcv", 0, "numpy", "robust"),
    (None, "vcurve", 2, "dask", "robust"),
]


@pytest.mark.parametrize(("x_out", "lam", "derivative", "backend", "method"), OUTPUT_GRID_CASES)
def test_output_grid_is_that_of_evaluate_and_select_lambda(x_out, lam, derivative, backend, method):
    da = cube(("y", "time", "x"))
    time = da.time.values
    if x_out == "dates":
        x_out = time[0] + np.array([-5, 0, 3, 10, 50, DAYS[-1] - DAYS[0] + 9], dtype="timedelta64[D]")
    if isinstance(x_out, str):
        import pandas as pd

        expected = pd.date_range(time[0], time[-1], freq=x_out).values
    else:
        expected = time if x_out is None else x_out
    if backend == "dask":
        pytest.importorskip("dask.array")
        da = da.chunk({"y": 1})
    reweighted = method != "whittaker"
    result = tarnwold_tools.smooth(da, "time", method=method, lam=lam, x_out=x_out, derivative=derivative,
                                   return_weights=reweighted, extrapolate=True)  # fmt: skip
    result, weights = result if reweighted else (result, None)
    assert result.dims == da.dims and np.array_equal(result.time.values, expected)
    positions = None if x_out is None else (expected - time[0]) / np.timedelta64(1, "D")
    x, y_st = (DAYS - DAYS[0]).astype(np.float64), as_st(da)
    if reweighted:
        if method == "envelope":
            direct = tarnwold_tools.envelope(x, y_st, lam=lam, p=0.9, x_out=positions, derivative=derivative)
        else:
            direct = tarnwold_tools.robust(x, y_st, lam=lam, x_out=positions, derivative=derivative)
        # The weights stay on the observations' coordinate.
        assert weights.dims == da.dims and weights.coords.to_dataset().identical(da.coords.to_dataset())
        assert_bitwise(as_st(weights.compute()), direct.weights)
    elif isinstance(lam, str):
        direct = tarnwold_tools.select_lambda(x, y_st, criterion=lam, x_out=positions, derivative=derivative)
    else:
        direct = tarnwold_tools.evaluate_lambda(x, y_st, lam, x_out=positions, derivative=derivative)
    assert_bitwise(result.transpose(..., "time").values.reshape(-1, len(expected)), direct.z)


def test_rejects_weights_with_foreign_dimensions():
    weights = xr.DataArray(np.ones((SIZES["time"], 2)), dims=("time", "band"))
    with pytest.raises(ValueError, match=r"weights have dimensions that the data lack: \['band'\]"):
        tarnwold_tools.smooth(cube(("time", "y")), "time", weights=weights)


# Every combination of what smooth() can be asked: method x lam (a number,
# one per series, a criterion) x grid x derivative x what comes back beside
# the fit. A cell either works, bit for bit the same in one chunk and in two,
# or is refused with the reason of the request table.
LAM_KINDS = {"number": 4.0, "per series": np.array([1.0, 4.0, 9.0, 2.0]), "criterion": "gcv"}
RETURNS = [(), ("return_weights",), ("return_diagnostics",), ("return_diagnostics", "return_se"),
           ("return_weights", "return_diagnostics", "return_se")]


@pytest.mark.parametrize("returns", RETURNS)
@pytest.mark.parametrize("derivative", [0, 1, 2])
@pytest.mark.parametrize("other_grid", [False, True])
@pytest.mark.parametrize("lam_kind", list(LAM_KINDS))
@pytest.mark.parametrize("method", ["whittaker", "robust", "envelope"])
def test_every_combination_works_or_is_refused_with_its_reason(method, lam_kind, other_grid, derivative, returns):
    pytest.importorskip("dask.array")
    from tarnwold_tools._request import REFUSALS, Request
    from tarnwold_tools._xarray import _NAMES

    rng = np.random.default_rng(5)
    days = np.cumsum(rng.integers(1, 4, 24)).astype(np.float64)
    values = np.sin(days / 6.0) + rng.normal(0.0, 0.1, (4, 24))
    values[0, :3] = np.nan  # starts late
    values[2, 8:14] = np.nan
    da = xr.DataArray(values, dims=("s", "t"), coords={"t": days})
    x_out = np.linspace(-2.0, days[-1] + 2.0, 31) if other_grid else None
    flags = {name: True for name in returns}
    cell = Request(method=method, lam=None if lam_kind == "per series" else LAM_KINDS[lam_kind],
                   per_series=lam_kind == "per series", lam_min=None if lam_kind == "criterion" else 1.0,
                   other_grid=other_grid, derivative=derivative, return_weights="return_weights" in flags,
                   return_diagnostics="return_diagnostics" in flags, return_se="return_se" in flags,
                   dtype=np.dtype(np.float64), extrapolate=False, max_gap=None, options={})  # fmt: skip
    reasons = [reason for applies, reason in REFUSALS if applies(cell)]

    def run(data):
        return tarnwold_tools.smooth(data, "t", method=method, lam=LAM_KINDS[lam_kind], x_out=x_out,
                                     derivative=derivative, **flags)  # fmt: skip

    if reasons:
        names = dict(_NAMES, grid="x_out" if other_grid else "derivative", criterion="lam='gcv'")
        with pytest.raises(ValueError, match=re.escape(reasons[0].format(**names))):
            run(da.chunk({"s": 2}))
        return
    whole, halves = run(da.chunk({"s": 4})), run(da.chunk({"s": (1, 3)}))
    in_memory = run(da)
    for result in (whole, halves):
        for part, expected in zip(result if isinstance(result, tuple) else (result,),
                                  in_memory if isinstance(in_memory, tuple) else (in_memory,)):  # fmt: skip
            assert part.chunks is not None
            assert part.compute().identical(expected)
    fit = in_memory[0] if isinstance(in_memory, tuple) else in_memory
    if "return_diagnostics" in flags:
        fields = {"lam", "edf"} | ({"status"} if lam_kind == "criterion" else set())
        fields |= {"iterations"} if method != "whittaker" else set()
        assert set(fit.data_vars) == {"smoothed"} | fields | ({"se"} if "return_se" in flags else set())
        fit = fit["smoothed"]
    grid = days if x_out is None else x_out
    assert fit.dims == ("s", "t") and np.array_equal(fit.t.values, grid)
    # Nothing before the first observation nor after the last.
    for row, first in ((0, days[3]), (1, days[0])):
        outside = (grid < first) | (grid > days[-1])
        assert np.isnan(fit.values[row, outside]).all() and np.isfinite(fit.values[row, ~outside]).all()


# (method, lam, extrapolate, max_gap, x_out, derivative): NaN before the first and after the last
# observation unless asked, and inside gaps longer than max_gap; elsewhere the extrapolating fit.
OUTSIDE_CASES = [
    ("whittaker", 5.0, False, None, None, 0),
    ("whittaker", 5.0, True, None, None, 0),
    ("whittaker", "reml", False, "20D", None, 0),
    ("robust", 5.0, True, np.timedelta64(20, "D"), "dates", 0),
    ("robust", "gcv", False, "20D", None, 0),
    ("envelope", "reml", False, 20.0, "1D", 1),
    ("whittaker", 5.0, False, "480h", "12h", 2),
    ("envelope", 3.0, True, 1e9, None, 0),
]


@pytest.mark.parametrize(("method", "lam", "extrapolate", "max_gap", "x_out", "derivative"), OUTSIDE_CASES)
def test_nothing_outside_the_observations_unless_asked(method, lam, extrapolate, max_gap, x_out, derivative):
    da = cube(("y", "time"))
    values = da.values.copy()
    values[0, :5] = np.nan  # starts late
    values[1, -6:] = np.nan  # ends early
    values[2, 12:20] = np.nan  # a gap of more than 20 days
    da = da.copy(data=values)
    time = da.time.values
    if x_out == "dates":
        x_out = time[0] + np.arange(-5, DAYS[-1] - DAYS[0] + 6, 3).astype("timedelta64[D]")
    settings = {"method": method, "lam": lam, "x_out": x_out, "derivative": derivative}
    smoothed = tarnwold_tools.smooth(da, "time", extrapolate=extrapolate, max_gap=max_gap, **settings).values
    continued = tarnwold_tools.smooth(da, "time", extrapolate=True, **settings).values
    grid = time if x_out is None else x_out if not isinstance(x_out, str) else smoothed_grid(da, x_out)
    days = (grid - time[0]) / np.timedelta64(1, "D")
    gap = 20.0 if max_gap is not None and max_gap != 1e9 else max_gap
    hidden = np.zeros(smoothed.shape, dtype=bool)
    for s in range(3):
        seen = (DAYS - DAYS[0])[np.isfinite(values[s])]
        if not extrapolate:
            hidden[s] = (days < seen[0]) | (days > seen[-1])
        if gap is not None:
            for a, b in zip(seen[:-1], seen[1:]):
                hidden[s] |= (b - a > gap) & (days > a) & (days < b)
    assert hidden[2].any() == (gap == 20.0) and hidden[0].any() == (not extrapolate)
    assert np.isnan(smoothed[hidden]).all()
    assert_bitwise(smoothed[~hidden], continued[~hidden])


def smoothed_grid(da, frequency):
    import pandas as pd

    return pd.date_range(da.time.values[0], da.time.values[-1], freq=frequency).values


# (method, lam, x_out, return_se): diagnostics for a given lam, one for all or one per series.
GIVEN_LAM_CASES = [
    ("whittaker", 5.0, None, True),
    ("whittaker", [1.0, 5.0, 20.0], "3D", True),
    ("robust", 5.0, None, True),
    ("robust", [1.0, 5.0, 20.0], "3D", False),
    ("envelope", 5.0, None, False),
    ("envelope", [1.0, 5.0, 20.0], "3D", False),
]


@pytest.mark.parametrize(("method", "lam", "x_out", "return_se"), GIVEN_LAM_CASES)
def test_diagnostics_at_a_given_lam_are_those_of_the_building_blocks(method, lam, x_out, return_se):
    da = cube(("y", "time"))
    per_series = xr.DataArray(lam, dims="y", coords={"y": da.y}) if isinstance(lam, list) else lam
    result = tarnwold_tools.smooth(da, "time", method=method, lam=per_series, x_out=x_out, return_diagnostics=True,
                                   return_se=return_se)  # fmt: skip
    x, y_st, lams = (DAYS - DAYS[0]).astype(np.float64), as_st(da), np.broadcast_to(lam, (3,))
    positions = None if x_out is None else (smoothed_grid(da, x_out) - da.time.values[0]) / np.timedelta64(1, "D")
    if method == "robust":
        direct = tarnwold_tools.robust(x, y_st, lam=lams, ridge=1e-10, iterations=1, x_out=positions,
                                       return_se=return_se)  # fmt: skip
        assert_bitwise(result["iterations"].values, direct.iterations)
    elif method == "envelope":
        found = tarnwold_tools.envelope(x, y_st, lam=lams, x_out=positions)
        direct = tarnwold_tools.evaluate_lambda(x, y_st, lams, found.weights)
        assert_bitwise(result["ndvi"].values, found.z)
        assert_bitwise(result["iterations"].values, found.iterations)
    else:
        direct = tarnwold_tools.evaluate_lambda(x, y_st, lams, x_out=positions, return_se=return_se)
    assert "status" not in result
    assert_bitwise(result["lam"].values, np.asarray(lams, dtype=np.float64))
    assert_bitwise(result["edf"].values, direct.edf)
    if method != "envelope" and x_out is not None:
        assert_bitwise(result["ndvi"].values, direct.z)
    if return_se:
        assert_bitwise(result["se"].values, direct.se)
