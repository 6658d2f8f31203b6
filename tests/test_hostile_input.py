"""Hostile and unusual input: a correct result or a clear exception, never a crash.

Layouts are checked bit for bit against aligned C-contiguous copies of the
same values: the module reads argument arrays in place, through their strides
and with loads that tolerate any alignment, and never writes into them.
"""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import tarnwold

DTYPES = [np.float32, np.float64]
INSTABILITY = "Numerical instability in f32 solver; try robust_whittaker_irls_f64 or increase eps/ridge"


def fn(kind, dtype):
    return getattr(tarnwold, f"{kind}_{'f32' if dtype == np.float32 else 'f64'}")


def problem(dtype, S=5, T=14, seed=3):
    """An irregular grid with one pair close enough for the default merging
    tolerance, noisy series with gaps and an outlier, positive weights."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.5, 1.5, T))
    x[4] = x[3] + 0.004
    y = np.sin(x)[None, :] + 0.2 * rng.normal(size=(S, T))
    if S >= 4:
        y[1, 2] = np.nan
        y[2, 6] = 40.0
        y[3] = np.nan
    w = rng.uniform(0.2, 2.0, (S, T))
    return x.astype(dtype), y.astype(dtype), w.astype(dtype)


def every_result(x, y, w):
    """Every function on one input (the robust ones with and without merging
    and with both scale estimators), as a flat list of arrays."""
    dtype = x.dtype.type
    out = [fn("build_pb", dtype)(x, normalize="mean")[0]]
    for parallel in (True, False):
        out.append(fn("whittaker_solve", dtype)(x, y, w, lam=3.0, parallel=parallel))
        out += fn("robust_whittaker_irls", dtype)(x, y, w, iterations=3, parallel=parallel,
                                                  return_weights=True)
        out += fn("robust_whittaker_irls", dtype)(x, y, w, iterations=2, weighting="hampel", scale="huber",
                                                  merge_x_tol=None, parallel=parallel, return_weights=True)
    return out


def assert_same_bits(actual, expected):
    assert len(actual) == len(expected)
    for a, e in zip(actual, expected):
        assert type(a) is np.ndarray and a.dtype == e.dtype and a.shape == e.shape
        bits = np.uint32 if a.dtype == np.float32 else np.uint64
        np.testing.assert_array_equal(a.view(bits), e.view(bits))


def unaligned(a, extra_columns=1):
    """The values of `a` in a buffer that starts one byte past an aligned
    address; 2-D arrays are laid out with `extra_columns` - 1 unused columns
    between the used ones, so that the view is strided as well."""
    itemsize = a.dtype.itemsize
    if a.ndim == 1:
        raw = bytearray(a.nbytes + 1)
        view = np.frombuffer(raw, dtype=a.dtype, count=a.size, offset=1)
    else:
        S, T = a.shape
        raw = bytearray(S * T * extra_columns * itemsize + 1)
        full = np.frombuffer(raw, dtype=a.dtype, count=S * T * extra_columns, offset=1)
        view = full.reshape(S, T * extra_columns)[:, ::extra_columns]
    view[...] = a
    assert not view.flags.aligned
    return view


def memmapped(a, path):
    a.tofile(path)
    return np.memmap(path, dtype=a.dtype, mode="r", shape=a.shape)


class Tagged(np.ndarray):
    """An ndarray subclass with its own attribute and finaliser."""

    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "tagged")


# Each layout turns (x, y, w) into other arrays with the same values. A masked
# array is an ndarray subclass like any other: its data are used, its mask is
# not looked at.
LAYOUTS = {
    "read-only": lambda x, y, w, tmp: tuple(_read_only(a) for a in (x, y, w)),
    "fortran": lambda x, y, w, tmp: (x, np.asfortranarray(y), np.asfortranarray(w)),
    "strided": lambda x, y, w, tmp: (x, np.repeat(y, 3, axis=1)[:, 1::3], np.repeat(w, 2, axis=0)[::2]),
    "negative strides": lambda x, y, w, tmp: (x, y[::-1, ::-1].copy()[::-1, ::-1], w[::-1].copy()[::-1]),
    "unaligned": lambda x, y, w, tmp: (unaligned(x), unaligned(y), unaligned(w)),
    "unaligned strided": lambda x, y, w, tmp: (unaligned(x), unaligned(y, 3), unaligned(w, 2)),
    "unaligned fortran": lambda x, y, w, tmp: (unaligned(x), unaligned(y.T).T, unaligned(w.T, 2).T),
    "read-only memmap": lambda x, y, w, tmp: (memmapped(x, tmp / "x"), memmapped(y, tmp / "y"),
                                              memmapped(w, tmp / "w")),
    "ndarray subclass": lambda x, y, w, tmp: (x.view(Tagged), y.view(Tagged), w.view(Tagged)),
    "matrix and masked": lambda x, y, w, tmp: (x, np.asmatrix(y), np.ma.masked_array(w, mask=w > 1)),
}


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_layouts_give_the_aligned_contiguous_results(dtype, layout, tmp_path):
    x, y, w = problem(dtype)
    expected = every_result(x, y, w)
    views = LAYOUTS[layout](x, y, w, tmp_path)
    before = [np.array(v, copy=True) for v in views]
    for view, original in zip(views, (x, y, w)):
        np.testing.assert_array_equal(np.asarray(view), original)
    assert_same_bits(every_result(*views), expected)
    for view, saved in zip(views, before):  # nothing was written into the arguments
        np.testing.assert_array_equal(np.asarray(view), saved)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("make", [
    lambda row, S: np.broadcast_to(row, (S, row.size)),
    lambda row, S: as_strided(row, shape=(S, row.size), strides=(0, row.itemsize)),
])
def test_zero_strides_read_one_row_for_every_series(dtype, make):
    x, y, w = problem(dtype, S=1)
    y0, w0 = y[0].copy(), np.full(x.size, 0.75, dtype)
    y_zero, w_zero = make(y0, 4), np.broadcast_to(dtype(0.75), (4, x.size))
    assert y_zero.strides[0] == 0 and w_zero.strides == (0, 0)
    dense = np.tile(y0, (4, 1)), np.tile(w0, (4, 1))
    assert_same_bits(every_result(x, y_zero, w_zero), every_result(x, *dense))


# --- shapes too large for memory ----------------------------------------------------------------

def address_sanitizer_loaded():
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line or "clang_rt.asan" in line for line in maps)
    except OSError:
        return False


@pytest.mark.skipif(address_sanitizer_loaded(),
                    reason="AddressSanitizer aborts on an allocation it cannot serve instead of throwing")
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind, kwargs", [
    ("whittaker_solve", {}),
    ("whittaker_solve", {"parallel": False}),
    ("robust_whittaker_irls", {"return_weights": True}),
    ("robust_whittaker_irls", {"merge_x_tol": None, "iterations": 2}),
])
@pytest.mark.parametrize("S, with_weights", [(2**55, False), (2**55, True), (2**40 + 1, True)])
def test_huge_series_count_is_a_memory_error_or_internal_fault(dtype, kind, kwargs, S, with_weights):
    # S * T * itemsize still fits NumPy's size limit, but S * T elements of
    # working memory cannot be had: the first allocation must fail cleanly.
    # (NumPy itself refuses any shape whose byte size overflows.)
    x, y, w = problem(dtype, S=1)
    y_huge = np.broadcast_to(y[0], (S, x.size))
    w_huge = as_strided(w[0], shape=(S, x.size), strides=(0, w.itemsize)) if with_weights else None
    with pytest.raises(BaseException) as info:
        fn(kind, dtype)(x, y_huge, w_huge, **kwargs)
    assert type(info.value) is MemoryError or type(info.value).__name__ == "InternalFault", repr(info.value)
    # and the module is still usable afterwards
    assert fn(kind, dtype)(x, y, w, **kwargs) is not None


# --- objects whose conversion hooks fail --------------------------------------------------------

class Hook:
    """Raises `error` from every conversion hook the module may call."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class bool_:  # noqa: N801 - poses as NumPy's boolean scalar type
    """Looks like numpy.bool_ by name and module, so the flag conversion calls
    its __bool__, which fails."""

    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


bool_.__module__ = "numpy"


class NeverTruthy:
    def __bool__(self):
        raise AssertionError("a flag must not be converted through an arbitrary __bool__")


HOOK_PARAMETERS = [
    ("build_pb_f64", "d", Hook), ("build_pb_f32", "eps", Hook),
    ("whittaker_solve_f32", "d", Hook), ("whittaker_solve_f64", "lam", Hook),
    ("whittaker_solve_f64", "ridge", Hook), ("whittaker_solve_f32", "eps", Hook),
    ("whittaker_solve_f64", "parallel", bool_),
    ("robust_whittaker_irls_f64", "iterations", Hook), ("robust_whittaker_irls_f32", "merge_x_tol", Hook),
    ("robust_whittaker_irls_f32", "parallel", bool_), ("robust_whittaker_irls_f64", "return_weights", bool_),
]


def required(name):
    x, y, _ = problem(np.float32 if name.endswith("f32") else np.float64, S=2)
    return (x,) if name.startswith("build_pb") else (x, y)


@pytest.mark.parametrize("name, parameter, hook", HOOK_PARAMETERS)
@pytest.mark.parametrize("error", [RuntimeError("hook failed"), OverflowError("hook overflow"),
                                   KeyboardInterrupt(), ZeroDivisionError()])
def test_non_type_errors_from_hooks_propagate_unchanged(name, parameter, hook, error):
    with pytest.raises(BaseException) as info:
        getattr(tarnwold, name)(*required(name), **{parameter: hook(error)})
    assert info.value is error


@pytest.mark.parametrize("name, parameter, hook", HOOK_PARAMETERS)
def test_type_errors_from_hooks_are_prefixed(name, parameter, hook):
    with pytest.raises(TypeError) as info:
        getattr(tarnwold, name)(*required(name), **{parameter: hook(TypeError("hook type"))})
    assert type(info.value) is TypeError and str(info.value) == f"argument '{parameter}': hook type"


@pytest.mark.parametrize("weighting", ["tukey", "hampel"])
def test_failing_hook_inside_tuning(weighting):
    args = required("robust_whittaker_irls_f64")
    error = ArithmeticError("tuning hook")
    with pytest.raises(ArithmeticError) as info:
        tarnwold.robust_whittaker_irls_f64(*args, weighting=weighting, tuning=(1.0, Hook(error), 3.0))
    assert info.value is error
    with pytest.raises(TypeError, match=r"^argument 'tuning': tuning type$"):
        tarnwold.robust_whittaker_irls_f32(*required("robust_whittaker_irls_f32"),
                                           tuning=(1.0, 2.0, Hook(TypeError("tuning type"))))


@pytest.mark.parametrize("parameter", ["parallel", "return_weights"])
def test_arbitrary_bool_hook_is_never_called(parameter):
    with pytest.raises(TypeError) as info:
        tarnwold.robust_whittaker_irls_f64(*required("robust_whittaker_irls_f64"), **{parameter: NeverTruthy()})
    assert str(info.value) == f"argument '{parameter}': 'NeverTruthy' object cannot be cast as 'bool'"


def test_conversion_hook_that_calls_the_module_again():
    x, y, w = problem(np.float64)
    expected = tarnwold.robust_whittaker_irls_f64(x, y, w, lam=2.5)

    class Reentrant:
        def __float__(self):
            # A full parallel call of every function while the outer call is
            # between converting its arguments.
            every_result(x, y, w)
            return 2.5

    assert_same_bits([tarnwold.robust_whittaker_irls_f64(x, y, w, lam=Reentrant())], [expected])


# --- huge counts ------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, message", [
    ("build_pb_f32", "d must not exceed len(x)"),
    ("whittaker_solve_f64", "d must not exceed len(x)"),
    ("robust_whittaker_irls_f32", "x must have length > d after merging"),
])
@pytest.mark.parametrize("d", [2**64 - 1, np.uint64(2**64 - 1), 2**63, 15])
def test_huge_order_is_a_value_error(name, message, d):
    with pytest.raises(ValueError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
        getattr(tarnwold, name)(*required(name), d=d)


def run_python(code, timeout):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


def test_huge_iterations_on_an_empty_batch_return_at_once():
    # Every pass over no series does nothing, so none is run; before that was
    # so, this call spun through 2**64 - 1 empty passes. A subprocess with a
    # timeout keeps a regression from hanging the suite.
    done = run_python("""
        import numpy as np, tarnwold
        for dt, f in ((np.float32, tarnwold.robust_whittaker_irls_f32), (np.float64, tarnwold.robust_whittaker_irls_f64)):
            x = np.arange(6, dtype=dt)
            for parallel in (True, False):
                z, w = f(x, np.zeros((0, 6), dt), iterations=2**64 - 1, parallel=parallel, return_weights=True)
                assert z.shape == w.shape == (0, 6) and z.dtype == w.dtype == dt
        print("ok")
        """, timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


@pytest.mark.parametrize("parallel", [True, False])
def test_huge_iterations_on_real_series_just_keep_working(parallel):
    # 2**64 - 1 passes cannot finish; what can be checked is that the loop
    # counter does not misbehave: the call is still busy (neither crashed nor
    # returned early) a while after it started, and is then killed.
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys, numpy as np, tarnwold
        x = np.arange(8.0); y = np.sin(np.arange(16.0)).reshape(2, 8)
        print("started", flush=True)
        tarnwold.robust_whittaker_irls_f64(x, y, iterations=2**64 - 1, parallel={parallel})
        print("returned", flush=True)
        """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n"
        with pytest.raises(subprocess.TimeoutExpired):
            child.wait(timeout=1.0)
    finally:
        child.kill()
        child.communicate()


# --- extreme scalars --------------------------------------------------------------------------------

EXTREMES = [np.nan, np.inf, -np.inf, -1.0, 0.0, -0.0, 5e-324, 1e-300, 1e38, 3.5e38, 1e300, -1e300]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind, parameter", [
    ("build_pb", "eps"),
    ("whittaker_solve", "lam"), ("whittaker_solve", "ridge"), ("whittaker_solve", "eps"),
    ("robust_whittaker_irls", "lam"), ("robust_whittaker_irls", "ridge"), ("robust_whittaker_irls", "eps"),
    ("robust_whittaker_irls", "merge_x_tol"),
])
def test_extreme_scalars_give_a_result_or_a_documented_error(dtype, kind, parameter):
    x, y, w = problem(dtype)
    f = fn(kind, dtype)
    args = (x,) if kind == "build_pb" else (x, y, w)
    extra = {"iterations": 3, "return_weights": True} if kind == "robust_whittaker_irls" else {}
    for value in EXTREMES:
        try:
            result = f(*args, **{parameter: value}, **extra)
        except ValueError as error:
            allowed = {INSTABILITY} if dtype == np.float32 and kind == "robust_whittaker_irls" else set()
            if parameter == "merge_x_tol":
                allowed.add("x must have length >=2 after merging")
            assert str(error) in allowed, (value, str(error))
            continue
        arrays = result if kind == "robust_whittaker_irls" else result[:1]
        for a in arrays:
            assert type(a) is np.ndarray and a.dtype == dtype and a.flags.c_contiguous


@pytest.mark.parametrize("dtype", DTYPES)
def test_extreme_merging_tolerances(dtype):
    x, y, w = problem(dtype)
    f = fn("robust_whittaker_irls", dtype)
    unmerged = f(x, y, w, merge_x_tol=None, return_weights=True)
    for off in (np.nan, -np.inf, -1.0, 0.0, -0.0):  # only a positive tolerance merges
        assert_same_bits(f(x, y, w, merge_x_tol=off, return_weights=True), unmerged)
    for everything in (np.inf, 1e300, 1e38):  # one group: too few positions left
        with pytest.raises(ValueError, match="^x must have length >=2 after merging$"):
            f(x, y, w, merge_x_tol=everything)


def test_f32_reals_beyond_single_range_are_infinities():
    x, y, w = problem(np.float32)
    for kind in ("whittaker_solve", "robust_whittaker_irls"):
        f = fn(kind, np.float32)
        for huge in (1e39, 1e300):
            for parameter in ("ridge", "eps"):
                assert_same_bits([f(x, y, w, **{parameter: huge})], [f(x, y, w, **{parameter: np.inf})])
    # an infinite penalty cannot be solved even in double precision
    with pytest.raises(ValueError, match="^Numerical instability"):
        fn("robust_whittaker_irls", np.float32)(x, y, w, lam=1e300)


@pytest.mark.parametrize("dtype", DTYPES)
def test_nan_floor_leaves_spacings_alone(dtype):
    x = problem(dtype)[0]
    assert_same_bits([fn("build_pb", dtype)(x, eps=np.nan)[0]], [fn("build_pb", dtype)(x, eps=0.0)[0]])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("weighting", ["tukey", "huber", "cauchy", "welsch", "fair", "hampel"])
def test_extreme_tuning_constants(dtype, weighting):
    x, y, w = problem(dtype)
    f = fn("robust_whittaker_irls", dtype)
    for value in (np.nan, np.inf, -np.inf, -1.0, 0.0, 5e-324, 1e300):
        for tuning in ((value, value, value), (1.0, value, 2.0), (value, 2.0, 3.0)):
            try:
                z, wt = f(x, y, w, iterations=3, weighting=weighting, tuning=tuning, return_weights=True)
            except ValueError as error:
                assert dtype == np.float32 and str(error) == INSTABILITY
                continue
            assert z.shape == wt.shape == y.shape and z.dtype == wt.dtype == dtype
