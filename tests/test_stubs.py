"""The installed type stubs agree with the module.

mypy's stubtest (run in CI) compares names and plain signatures but skips
the defaults of overloaded functions and cannot see dtypes; this check reads
the stub file shipped in the installed distribution and covers both, on
every interpreter the suite runs on.
"""

import ast
import importlib.metadata
import inspect

import pytest

import tarnwold


def installed_stub_tree():
    files = importlib.metadata.files("tarnwold") or []
    stubs = [f for f in files if f.as_posix() == "tarnwold-stubs/__init__.pyi"]
    assert stubs, "the distribution does not install tarnwold-stubs/__init__.pyi"
    return ast.parse(stubs[0].locate().read_text(encoding="utf-8"))


TREE = installed_stub_tree()
DEFINITIONS = [node for node in TREE.body if isinstance(node, ast.FunctionDef)]


def stub_all():
    for node in TREE.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    return None


def stub_parameters(definition):
    """(name, default or inspect.Parameter.empty, annotation text) of each parameter."""
    arguments = definition.args
    positional = arguments.args
    padded = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    pairs = list(zip(positional, padded)) + list(zip(arguments.kwonlyargs, arguments.kw_defaults))
    return [
        (arg.arg,
         inspect.Parameter.empty if default is None else ast.literal_eval(default),
         ast.unparse(arg.annotation))
        for arg, default in pairs
    ]


def test_stub_all_matches_module():
    assert stub_all() == tarnwold.__all__
    assert sorted({d.name for d in DEFINITIONS}) == sorted(tarnwold.__all__)


@pytest.mark.parametrize("name", tarnwold.__all__)
def test_every_overload_has_the_runtime_parameters_and_defaults(name):
    runtime = inspect.signature(getattr(tarnwold, name)).parameters
    definitions = [d for d in DEFINITIONS if d.name == name]
    for definition in definitions:
        parameters = stub_parameters(definition)
        assert [p[0] for p in parameters] == list(runtime)
        for parameter, default, _ in parameters:
            if default is not inspect.Parameter.empty:
                assert default == runtime[parameter].default, (name, parameter)
    # At least one overload accepts every optional argument left out.
    assert any(
        all((default is inspect.Parameter.empty) == (runtime[p].default is inspect.Parameter.empty)
            for p, default, _ in stub_parameters(d))
        for d in definitions
    )


@pytest.mark.parametrize("name", tarnwold.__all__)
def test_arrays_are_typed_with_the_function_dtype(name):
    own, other = ("_F32", "_F64") if name.endswith("_f32") else ("_F64", "_F32")
    for definition in (d for d in DEFINITIONS if d.name == name):
        annotations = [a for _, _, a in stub_parameters(definition)] + [ast.unparse(definition.returns)]
        assert not any(other in a for a in annotations)
        assert own in annotations[0] and own in annotations[-1]
