"""The module object: its attributes, function objects, signatures and docstrings."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import types

import pytest

import tarnwold

NAMES = [
    "build_pb_f64",
    "build_pb_f32",
    "whittaker_solve_f64",
    "whittaker_solve_f32",
    "robust_whittaker_irls_f64",
    "robust_whittaker_irls_f32",
]

PB_SIGNATURE = "(x, d=2, normalize=None, eps=None)"
SOLVE_SIGNATURE = (
    '(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10, normalize="mean", eps=1e-10, parallel=True)'
)
ROBUST_SIGNATURE = (
    '(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1, weighting="tukey", scale="mad", '
    'ridge=1e-10, normalize="mean", eps=1e-10, parallel=True, tuning=None, return_weights=False, '
    "merge_x_tol=1e-2)"
)
SIGNATURES = {
    "build_pb": PB_SIGNATURE,
    "whittaker_solve": SOLVE_SIGNATURE,
    "robust_whittaker_irls": ROBUST_SIGNATURE,
}
DEFAULTS = {
    "build_pb": {"x": None, "d": 2, "normalize": None, "eps": None},
    "whittaker_solve": {
        "x": None, "y_st": None, "w_base_st": None, "lam": 10.0, "d": 2, "ridge": 1e-10,
        "normalize": "mean", "eps": 1e-10, "parallel": True,
    },
    "robust_whittaker_irls": {
        "x": None, "y_st": None, "w_base_st": None, "lam": 10.0, "d": 2, "iterations": 1,
        "weighting": "tukey", "scale": "mad", "ridge": 1e-10, "normalize": "mean", "eps": 1e-10,
        "parallel": True, "tuning": None, "return_weights": False, "merge_x_tol": 0.01,
    },
}
REQUIRED = {"build_pb": 1, "whittaker_solve": 2, "robust_whittaker_irls": 2}


def build_pb_doc(dtype):
    return "\n".join([
        "Build the lower-banded penalty matrix `Pb` for divided differences (`P = D.T @ D`).",
        "",
        "Parameters",
        "----------",
        f"x : ndarray[{dtype}], shape (T,)",
        "    Strictly increasing sampling positions.",
        "d : int, default=2",
        "    Divided-difference order. The penalty bandwidth is `k = 2*d`.",
        'normalize : {"mean","median"} or None, optional',
        "    Optionally normalize `x` to ~unit spacing before building `Pb`.",
        "eps : float, optional",
        "    Small floor to avoid division by zero in divided differences.",
        "",
        "Returns",
        "-------",
        f"pb : ndarray[{dtype}], shape (k+1, T)",
        "    Lower band of `P` stored as `pb[j, i] = P[i, i-j]`.",
        "k : int",
        "    Half-bandwidth, `k = 2*d`.",
    ])


def solve_doc(dtype):
    return "\n".join([
        "Solve a single-pass (non-robust) Whittaker smoother for each series.",
        "",
        "Notes",
        "-----",
        "Solves, per series, the linear system:",
        "`(diag(w) + lam * D.T @ D + ridge * I) z = w * y`.",
        "",
        "NaNs in `y_st` are treated as missing (weight forced to 0).",
        "",
        "Parameters",
        "----------",
        f"x : ndarray[{dtype}], shape (T,)",
        f"y_st : ndarray[{dtype}], shape (S, T)",
        f"w_base_st : ndarray[{dtype}], shape (S, T) or None, optional",
        "lam : float, default=10.0",
        "d : int, default=2",
        "ridge : float, default=1e-10",
        'normalize : {"mean","median"} or None, default="mean"',
        "eps : float, default=1e-10",
        "parallel : bool, default=True",
        "",
        "Returns",
        "-------",
        f"z_st : ndarray[{dtype}], shape (S, T)",
    ])


ROBUST_F64_NOTES = [
    "Runs `iterations` steps of IRLS to down-weight outliers using the chosen `weighting`",
    'function and scale estimator (`scale="mad"` or `"huber"`).',
    "",
    "NaNs in `y_st` are treated as missing (weight forced to 0).",
]
ROBUST_F32_NOTES = [
    "Same API as `robust_whittaker_irls_f64`, but returns float32 output. For highly irregular or",
    "near-duplicate `x`, or when large portions of a series are missing (e.g. long NaN tails), the",
    "internal float32 solve can become ill-conditioned. This function automatically falls back to a",
    "float64 solve when it detects numerical instability (and casts back to float32).",
]


def robust_doc(dtype):
    notes = ROBUST_F32_NOTES if dtype == "float32" else ROBUST_F64_NOTES
    return "\n".join([
        f"Robust Whittaker smoother via IRLS ({dtype}).",
        "",
        "Notes",
        "-----",
        *notes,
        "",
        "If `merge_x_tol > 0`, adjacent `x` values within that spacing are merged (in input-x units)",
        "using a base-weighted mean of observations. The solve runs on the compressed grid and the",
        "output is expanded back to the original `(S, T)` shape.",
        "",
        "Parameters",
        "----------",
        f"x : ndarray[{dtype}], shape (T,)",
        f"y_st : ndarray[{dtype}], shape (S, T)",
        f"w_base_st : ndarray[{dtype}], shape (S, T) or None, optional",
        "lam : float, default=10.0",
        "d : int, default=2",
        "iterations : int, default=1",
        'weighting : {"tukey","huber","cauchy","welsch","fair","hampel"}, default="tukey"',
        'scale : {"mad","huber"}, default="mad"',
        "ridge : float, default=1e-10",
        'normalize : {"mean","median"} or None, default="mean"',
        "eps : float, default=1e-10",
        "parallel : bool, default=True",
        "tuning : tuple or None, optional",
        "return_weights : bool, default=False",
        "merge_x_tol : float or None, default=1e-2",
        "    Merge adjacent `x` points when `x[i+1]-x[i] <= merge_x_tol`. Set to `None` (or `0.0`) to disable.",
        "",
        "Returns",
        "-------",
        f"z_st : ndarray[{dtype}], shape (S, T)",
        "or (z_st, w_total_st) if return_weights=True",
    ])


DOCS = {"build_pb": build_pb_doc, "whittaker_solve": solve_doc, "robust_whittaker_irls": robust_doc}


def family(name):
    return name[:-4]


def run_fresh(code):
    """Runs `code` in a new interpreter, away from the test directory."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, cwd="/", timeout=120
    )


def test_all_and_docstring():
    assert tarnwold.__all__ == NAMES
    assert type(tarnwold.__all__) is list
    assert tarnwold.__doc__ == ""
    assert tarnwold.__name__ == "tarnwold"


def test_no_other_public_attributes():
    # what the import system gives every extension module, nothing more
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(tarnwold)) - standard == set(NAMES) | {"__all__"}
    assert not any(
        isinstance(v, type) and issubclass(v, BaseException) for v in vars(tarnwold).values()
    )
    assert not hasattr(tarnwold, "InternalFault")


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(name):
    function = getattr(tarnwold, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "tarnwold"
    assert function.__self__ is tarnwold


@pytest.mark.parametrize("name", NAMES)
def test_text_signature_and_inspect(name):
    function = getattr(tarnwold, name)
    assert function.__text_signature__ == SIGNATURES[family(name)]
    parameters = inspect.signature(function).parameters
    assert list(parameters) == list(DEFAULTS[family(name)])
    for i, (pname, parameter) in enumerate(parameters.items()):
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if i < REQUIRED[family(name)]:
            assert parameter.default is inspect.Parameter.empty
        else:
            expected = DEFAULTS[family(name)][pname]
            assert parameter.default == expected and type(parameter.default) is type(expected)


def test_signature_rendering_of_build_pb():
    assert str(inspect.signature(tarnwold.build_pb_f32)) == "(x, d=2, normalize=None, eps=None)"


@pytest.mark.parametrize("name", NAMES)
def test_docstring_bodies(name):
    dtype = "float32" if name.endswith("_f32") else "float64"
    assert getattr(tarnwold, name).__doc__ == DOCS[family(name)](dtype)


def test_import_does_not_import_numpy():
    result = run_fresh("""
        import sys, tarnwold
        assert "numpy" not in sys.modules, "numpy imported"
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_numpy_is_bound_at_first_array_call_in_a_fresh_interpreter():
    # tarnwold itself imports numpy on first use, before the caller ever did
    result = run_fresh("""
        import sys, tarnwold
        try:
            tarnwold.build_pb_f64([0.0, 1.0])
        except TypeError as e:
            print(e)
        print("numpy" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["argument 'x': 'list' object cannot be cast as 'ndarray'", "True"]


def test_importing_again_gives_the_same_module():
    original = sys.modules["tarnwold"]
    try:
        del sys.modules["tarnwold"]
        again = importlib.import_module("tarnwold")
        assert again is original
        assert again.__all__ == NAMES
    finally:
        sys.modules["tarnwold"] = original


def test_second_init_returns_the_same_module_with_a_new_reference():
    ctypes = pytest.importorskip("ctypes")
    init = ctypes.PyDLL(tarnwold.__file__).PyInit_tarnwold
    init.restype = ctypes.py_object  # ctypes takes over the returned reference
    before = sys.getrefcount(tarnwold)
    again = init()
    assert again is tarnwold
    assert sys.getrefcount(tarnwold) == before + 1
    del again
    assert sys.getrefcount(tarnwold) == before


SUBINTERPRETER_PROBE = """
    import tarnwold
    try:
        import concurrent.interpreters as ci
    except ImportError:
        ci = None
    if ci is not None:
        interp = ci.create()
        try:
            interp.exec("import tarnwold")
        except Exception as e:
            print("FAILED", e)
        else:
            print("IMPORTED")
        raise SystemExit
    try:
        import _xxsubinterpreters as xx
    except ImportError:
        print("UNAVAILABLE")
        raise SystemExit
    interp = xx.create()
    try:
        xx.run_string(interp, "import tarnwold")
    except Exception as e:
        print("FAILED", e)
    else:
        print("IMPORTED")
"""


def test_second_interpreter_cannot_import():
    result = run_fresh(SUBINTERPRETER_PROBE)
    if result.stdout.strip() == "UNAVAILABLE":
        pytest.skip("no subinterpreter API in this Python")
    assert result.returncode == 0, result.stderr
    out = result.stdout.strip()
    assert out.startswith("FAILED"), out
    assert "ImportError" in out and "subinterpreters" in out
