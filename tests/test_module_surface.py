"""The module object: its attributes, function objects, signatures and docstrings."""

import importlib
import inspect
import pathlib
import runpy
import subprocess
import sys
import textwrap
import types

import pytest

import tarnwold

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
# The one written source of the docstrings, which the build compiles in; it
# lists the functions in registration order.
DOCSTRING_TABLE = runpy.run_path(
    str(pathlib.Path(__file__).resolve().parents[1] / "src" / "module" / "docstrings.py"))
DOCSTRINGS = DOCSTRING_TABLE["docstrings"]()
NAMES = list(DOCSTRINGS)


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
def test_inspect_signature(name):
    function = getattr(tarnwold, name)
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
def test_text_signature_and_docstring_come_from_the_table(name):
    function = getattr(tarnwold, name)
    assert (function.__text_signature__, function.__doc__) == DOCSTRING_TABLE["split"](DOCSTRINGS[name])


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
