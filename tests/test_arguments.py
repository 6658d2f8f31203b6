"""Argument matching and the conversion of every argument kind."""

import collections

import numpy as np
import pytest

import tarnwold

F32 = ("build_pb_f32", "whittaker_solve_f32", "robust_whittaker_irls_f32")
F64 = ("build_pb_f64", "whittaker_solve_f64", "robust_whittaker_irls_f64")
ALL = F32 + F64
SOLVERS = ("whittaker_solve_f32", "whittaker_solve_f64", "robust_whittaker_irls_f32", "robust_whittaker_irls_f64")
PARAMETER_COUNT = {"build_pb": 4, "whittaker_solve": 9, "robust_whittaker_irls": 15}


def dtype_of(name):
    return np.float32 if name.endswith("_f32") else np.float64


def grid(name, n=6):
    return np.array([0.0, 0.5, 1.5, 2.0, 3.5, 4.0, 6.0, 7.5][:n], dtype=dtype_of(name))


def series(name, s=2, n=6):
    rng = np.random.default_rng(7)
    return rng.normal(size=(s, n)).astype(dtype_of(name))


def required(name):
    """The required arguments of a valid call."""
    return (grid(name),) if name.startswith("build_pb") else (grid(name), series(name))


def call(name, *args, **kwargs):
    return getattr(tarnwold, name)(*args, **kwargs)


def raises_exactly(exc_type, message, name, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(name, *args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    return info.value


def same_result(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_result(u, v) for u, v in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
    return a == b


# --- matching -------------------------------------------------------------------------

@pytest.mark.parametrize("name", ALL)
def test_too_many_positional(name):
    total = PARAMETER_COUNT[name[:-4]]
    req = 1 if name.startswith("build_pb") else 2
    args = required(name) + (None,) * (total + 1 - req)
    raises_exactly(
        TypeError,
        f"{name}() takes from {req} to {total} positional arguments but {total + 1} were given",
        name,
        *args,
    )


def test_too_many_positional_is_found_before_keywords():
    x = grid("build_pb_f32")
    raises_exactly(
        TypeError,
        "build_pb_f32() takes from 1 to 4 positional arguments but 5 were given",
        "build_pb_f32", x, 2, None, None, 5, order=3,
    )


@pytest.mark.parametrize("name", ALL)
def test_unexpected_and_repeated_keywords(name):
    args = required(name)
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'order'", name, *args, order=3)
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'X'", name, *args, X=args[0])
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'x'", name, *args, x=args[0])
    # keywords are examined in the order they were passed
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'x'", name, *args, x=args[0], order=3)
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'order'", name, *args, order=3, x=args[0])


@pytest.mark.parametrize("keyword", ["\u00e4", "\ud800", "x\udcff", "d "])
def test_unknown_keyword_of_any_text_is_a_type_error(keyword):
    raises_exactly(TypeError, f"build_pb_f64() got an unexpected keyword argument '{keyword}'",
                   "build_pb_f64", grid("build_pb_f64"), **{keyword: 1})


@pytest.mark.parametrize("name", SOLVERS)
def test_keyword_repeating_a_later_positional(name):
    x, y = required(name)
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'y_st'", name, x, y, y_st=y)
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'w_base_st'", name, x, y, None, w_base_st=None)


@pytest.mark.parametrize(
    "name, args, kwargs, missing",
    [
        ("build_pb_f32", (), {}, "1 required positional argument: 'x'"),
        ("build_pb_f64", (), {"d": 1}, "1 required positional argument: 'x'"),
        ("whittaker_solve_f64", (), {}, "2 required positional arguments: 'x' and 'y_st'"),
        ("robust_whittaker_irls_f32", (), {"lam": 1.0}, "2 required positional arguments: 'x' and 'y_st'"),
        ("whittaker_solve_f32", ("X",), {}, "1 required positional argument: 'y_st'"),
        ("robust_whittaker_irls_f64", (), {"y_st": "Y"}, "1 required positional argument: 'x'"),
    ],
)
def test_missing_required(name, args, kwargs, missing):
    # matching happens before any conversion: the strings are never looked at
    raises_exactly(TypeError, f"{name}() missing {missing}", name, *args, **kwargs)


def test_unexpected_keyword_is_found_before_missing_arguments():
    raises_exactly(TypeError, "whittaker_solve_f64() got an unexpected keyword argument 'foo'",
                   "whittaker_solve_f64", foo=1)


@pytest.mark.parametrize("name", ALL)
def test_everything_by_keyword(name):
    args = required(name)
    names = ("x", "y_st")[: len(args)]
    assert same_result(call(name, **dict(zip(names, args))), call(name, *args))


# --- arrays -----------------------------------------------------------------------------

class GridSubclass(np.ndarray):
    pass


class SurrogateName:
    pass


# A lone surrogate cannot be encoded: the message escapes it.
SurrogateName.__qualname__ = "Surrogate\ud800"


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "bad, type_name",
    [
        (lambda x: list(x), "list"),
        (lambda x: tuple(x), "tuple"),
        (lambda x: 3.0, "float"),
        (lambda x: None, "NoneType"),
        (lambda x: x.astype(np.float32 if x.dtype == np.float64 else np.float64), "ndarray"),
        (lambda x: x.astype(np.int64), "ndarray"),
        (lambda x: x.astype(np.float16), "ndarray"),
        (lambda x: x.astype(x.dtype.newbyteorder()), "ndarray"),
        (lambda x: x.reshape(1, -1), "ndarray"),
        (lambda x: np.array(x[0]), "ndarray"),
        (lambda x: x.astype(x.dtype.newbyteorder()).view(GridSubclass), "GridSubclass"),
        (lambda x: SurrogateName(), "Surrogate\\ud800"),
    ],
)
def test_grid_array_rejections(name, bad, type_name):
    args = required(name)
    raises_exactly(TypeError, f"argument 'x': '{type_name}' object cannot be cast as 'ndarray'",
                   name, bad(args[0]), *args[1:])


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize("parameter", ["y_st", "w_base_st"])
@pytest.mark.parametrize(
    "bad, type_name",
    [
        (lambda y: y.tolist(), "list"),
        (lambda y: y[0], "ndarray"),
        (lambda y: y[None], "ndarray"),
        (lambda y: y.astype(np.float32 if y.dtype == np.float64 else np.float64), "ndarray"),
        (lambda y: y.astype(y.dtype.newbyteorder()), "ndarray"),
    ],
)
def test_series_array_rejections(name, parameter, bad, type_name):
    x, y = required(name)
    kwargs = {"y_st": y, parameter: bad(y)}
    raises_exactly(TypeError, f"argument '{parameter}': '{type_name}' object cannot be cast as 'ndarray'",
                   name, x, **kwargs)


@pytest.mark.parametrize("name", ALL)
def test_array_subclasses_and_read_only_arrays_are_accepted(name):
    args = required(name)
    expected = call(name, *args)
    views = []
    for a in args:
        v = a.copy().view(GridSubclass)
        v.setflags(write=False)
        views.append(v)
    assert same_result(call(name, *views), expected)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("view", [lambda a: a[::2], lambda a: a[::-1], lambda a: np.repeat(a, 2)[1::2]])
def test_non_contiguous_grid_raises_unprefixed_before_value_checks(name, view):
    dtype = dtype_of(name)
    # not increasing and with repeats: any ValueError check would also fail
    x = view(np.array([3, 3, 1, 1, 0, 0, -1, -1], dtype=dtype))
    assert not x.flags.c_contiguous and not x.flags.f_contiguous
    # y_st has the wrong number of columns, w_base_st the wrong shape
    rest = () if name.startswith("build_pb") else (np.zeros((2, 1), dtype), np.zeros((3, 3), dtype))
    raises_exactly(TypeError, "The given array is not contiguous", name, x, *rest)


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize(
    "layout",
    [
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=1)[:, ::2],
        lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
        lambda a: np.repeat(a, 3, axis=0)[::3],
        lambda a: a.T.copy().T,
    ],
)
def test_series_arrays_in_any_layout(name, layout):
    x, y = required(name)
    w = np.linspace(0.5, 2.0, y.size).reshape(y.shape).astype(y.dtype)
    expected = call(name, x, y, w)
    y2, w2 = layout(y), layout(w)
    assert np.array_equal(y2, y) and np.array_equal(w2, w)
    assert same_result(call(name, x, y2, w2), expected)


# --- counts ------------------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "value, order",
    [(True, 1), (False, 0), (np.int64(3), 3), (np.uint8(1), 1), (Index(3), 3)],
)
def test_count_accepts_integers_and_index_objects(name, value, order):
    args = required(name)
    assert same_result(call(name, *args, d=value), call(name, *args, d=order))


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "value, type_name",
    [(2.0, "float"), ("2", "str"), (None, "NoneType"), (np.float64(2.0), "numpy.float64"), ([2], "list"),
     pytest.param(np.bool_(True), "numpy.bool", marks=pytest.mark.skipif(
         np.lib.NumpyVersion(np.__version__) < "2.0.0",
         reason="NumPy 1.x booleans still have __index__"))],
)
def test_count_type_errors_are_prefixed(name, value, type_name):
    args = required(name)
    raises_exactly(TypeError, f"argument 'd': '{type_name}' object cannot be interpreted as an integer",
                   name, *args, d=value)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), 2**100, Index(-1), Index(2**64)])
def test_count_out_of_range_is_an_unprefixed_overflow(name, value):
    args = required(name)
    with pytest.raises(OverflowError) as info:
        call(name, *args, d=value)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name", ["robust_whittaker_irls_f32", "robust_whittaker_irls_f64"])
def test_iterations_is_a_count(name):
    args = required(name)
    raises_exactly(TypeError, "argument 'iterations': 'float' object cannot be interpreted as an integer",
                   name, *args, iterations=1.0)
    with pytest.raises(OverflowError):
        call(name, *args, iterations=-1)
    assert same_result(call(name, *args, iterations=np.int32(2)), call(name, *args, iterations=2))


# --- reals -------------------------------------------------------------------------------

REAL_PARAMETERS = [(n, p) for n in SOLVERS for p in ("lam", "ridge", "eps")] + [
    (n, "merge_x_tol") for n in SOLVERS if "robust" in n
] + [(n, "eps") for n in ("build_pb_f32", "build_pb_f64")]


@pytest.mark.parametrize("name, parameter", REAL_PARAMETERS)
@pytest.mark.parametrize("value, type_name", [("a", "str"), ([1.0], "list"), (1j, "complex"), (b"1", "bytes")])
def test_real_type_errors_are_prefixed(name, parameter, value, type_name):
    args = required(name)
    raises_exactly(TypeError, f"argument '{parameter}': must be real number, not {type_name}",
                   name, *args, **{parameter: value})


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize("parameter", ["lam", "ridge", "eps"])
def test_real_rejects_none(name, parameter):
    args = required(name)
    raises_exactly(TypeError, f"argument '{parameter}': must be real number, not NoneType",
                   name, *args, **{parameter: None})


class FloatSubclass(float):
    pass


def test_negative_integer_real_is_not_mistaken_for_an_error():
    x = grid("build_pb_f64")
    assert same_result(tarnwold.build_pb_f64(x, eps=-1), tarnwold.build_pb_f64(x, eps=-1.0))
    assert same_result(tarnwold.build_pb_f32(x.astype(np.float32), eps=Real(-1.0)),
                       tarnwold.build_pb_f32(x.astype(np.float32), eps=-1.0))


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize("value", [3, Real(3.0), Index(3), np.float32(3.0), np.int16(3), FloatSubclass(3.0), True * 3])
def test_real_accepts_numbers(name, value):
    args = required(name)
    assert same_result(call(name, *args, lam=value), call(name, *args, lam=3.0))


@pytest.mark.parametrize("name", ["whittaker_solve_f32", "robust_whittaker_irls_f32"])
def test_f32_reals_are_rounded_to_single_precision(name):
    args = required(name)
    lam32 = float(np.float32(0.1))
    assert lam32 != 0.1
    base = call(name, *args, lam=0.1)
    for lam in (lam32, np.nextafter(0.1, 1.0), np.nextafter(0.1, 0.0)):
        assert same_result(call(name, *args, lam=lam), base)


@pytest.mark.parametrize("name", ["whittaker_solve_f64", "robust_whittaker_irls_f64"])
def test_f64_reals_keep_double_precision(name):
    args = required(name)
    assert not same_result(call(name, *args, lam=0.1), call(name, *args, lam=float(np.float32(0.1))))


def test_f32_eps_of_build_pb_is_rounded_to_single_precision():
    x = np.array([0.0, 1e-9, 1.0], dtype=np.float32)
    eps32 = float(np.float32(1e-5))
    pb = tarnwold.build_pb_f32(x, 1, eps=eps32)[0]
    assert np.array_equal(tarnwold.build_pb_f32(x, 1, eps=np.nextafter(eps32, 1.0))[0], pb)
    x64 = x.astype(np.float64)
    assert not np.array_equal(tarnwold.build_pb_f64(x64, 1, eps=np.nextafter(eps32, 1.0))[0],
                              tarnwold.build_pb_f64(x64, 1, eps=eps32)[0])


# --- flags -------------------------------------------------------------------------------

FLAG_PARAMETERS = [(n, "parallel") for n in SOLVERS] + [
    (n, "return_weights") for n in SOLVERS if "robust" in n
]


@pytest.mark.parametrize("name, parameter", FLAG_PARAMETERS)
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (1.0, "float"), (np.int8(1), "int8"),
     (SurrogateName(), "Surrogate\\ud800")],
)
def test_flag_rejections(name, parameter, value, type_name):
    args = required(name)
    raises_exactly(TypeError, f"argument '{parameter}': '{type_name}' object cannot be cast as 'bool'",
                   name, *args, **{parameter: value})


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize("value, truth", [(True, True), (False, False), (np.bool_(False), False), (np.bool_(True), True)])
def test_flag_accepts_bools(name, value, truth):
    args = required(name)
    assert same_result(call(name, *args, parallel=value), call(name, *args, parallel=truth))
    if "robust" in name:
        result = call(name, *args, return_weights=value)
        assert isinstance(result, tuple) == truth


# --- texts -------------------------------------------------------------------------------

TEXT_PARAMETERS = [(n, "normalize") for n in ALL] + [
    (n, p) for n in SOLVERS if "robust" in n for p in ("weighting", "scale")
]


class Text(str):
    pass


@pytest.mark.parametrize("name, parameter", TEXT_PARAMETERS)
@pytest.mark.parametrize("value, type_name", [(5, "int"), (b"mean", "bytes"), (1.5, "float"), (["mean"], "list"),
                                              (SurrogateName(), "Surrogate\\ud800")])
def test_text_rejections(name, parameter, value, type_name):
    args = required(name)
    raises_exactly(TypeError, f"argument '{parameter}': '{type_name}' object cannot be cast as 'str'",
                   name, *args, **{parameter: value})


@pytest.mark.parametrize("name, parameter", TEXT_PARAMETERS)
def test_unencodable_text_raises_unprefixed_unicode_error(name, parameter):
    args = required(name)
    with pytest.raises(UnicodeEncodeError) as info:
        call(name, *args, **{parameter: "mea\ud800n"})
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name, parameter", TEXT_PARAMETERS)
def test_str_subclass_is_accepted(name, parameter):
    value = {"normalize": "median", "weighting": "huber", "scale": "huber"}[parameter]
    args = required(name)
    assert same_result(call(name, *args, **{parameter: Text(value)}), call(name, *args, **{parameter: value}))


# --- optional kinds --------------------------------------------------------------------------

@pytest.mark.parametrize("name", SOLVERS)
def test_w_base_st_none_is_absent(name):
    x, y = required(name)
    assert same_result(call(name, x, y, None), call(name, x, y))
    assert same_result(call(name, x, y, w_base_st=None), call(name, x, y, np.ones_like(y)))


@pytest.mark.parametrize("name", ["build_pb_f32", "build_pb_f64"])
def test_build_pb_optionals_none_is_absent(name):
    x = grid(name) * 3
    plain = call(name, x)
    assert same_result(call(name, x, 2, None, None), plain)
    assert not same_result(call(name, x, normalize="mean"), plain)


@pytest.mark.parametrize("name", SOLVERS)
def test_solver_normalize_left_out_is_mean_and_none_is_off(name):
    x, y = required(name)
    x = x * 7  # far from unit spacing, so normalising changes the result
    left_out = call(name, x, y)
    assert same_result(call(name, x, y, normalize="mean"), left_out)
    off = call(name, x, y, normalize=None)
    assert not same_result(off, left_out)
    # normalising to the grid itself is the same as switching it off
    assert same_result(call(name, x - x[0], y, normalize=None), call(name, x, y, normalize="shift"))


@pytest.mark.parametrize("name", ["robust_whittaker_irls_f32", "robust_whittaker_irls_f64"])
def test_merge_x_tol_left_out_is_default_and_none_is_off(name):
    dtype = dtype_of(name)
    tol = dtype(0.01)
    x = np.array([0.0, tol, 1.0, 2.0, 3.5, 4.0], dtype=dtype)  # first spacing is exactly the tolerance
    y = series(name)
    merged = call(name, x, y)
    assert merged[0, 0] == merged[0, 1] and merged[1, 0] == merged[1, 1]
    assert same_result(call(name, x, y, merge_x_tol=float(tol)), merged)
    off = call(name, x, y, merge_x_tol=None)
    assert off[0, 0] != off[0, 1]
    assert same_result(call(name, x, y, merge_x_tol=0.0), off)
    # one step below the default tolerance no longer merges
    assert same_result(call(name, x, y, merge_x_tol=float(np.nextafter(tol, dtype(0)))), off)


# --- tuning ------------------------------------------------------------------------------------

ROBUST = ["robust_whittaker_irls_f32", "robust_whittaker_irls_f64"]
Tuning = collections.namedtuple("Tuning", "a b c")


@pytest.mark.parametrize("name", ROBUST)
@pytest.mark.parametrize("value, type_name", [([1.0, 2.0, 3.0], "list"), (np.array([1.0, 2.0, 3.0]), "ndarray"),
                                              (4.685, "float"), ("abc", "str"),
                                              (SurrogateName(), "Surrogate\\ud800")])
def test_tuning_must_be_a_tuple(name, value, type_name):
    raises_exactly(TypeError, f"argument 'tuning': '{type_name}' object cannot be cast as 'tuple'",
                   name, *required(name), tuning=value)


@pytest.mark.parametrize("name", ROBUST)
@pytest.mark.parametrize("length", [0, 1, 2, 4])
def test_tuning_length_is_an_unprefixed_value_error(name, length):
    raises_exactly(ValueError, f"expected tuple of length 3, but got tuple of length {length}",
                   name, *required(name), tuning=("a",) * length)


@pytest.mark.parametrize("name", ROBUST)
@pytest.mark.parametrize("value, type_name", [(("a", 1.0, 1.0), "str"), ((1.0, None, 1.0), "NoneType"),
                                              ((1.0, 1.0, [1]), "list"), ((1.0, "b", None), "str")])
def test_tuning_items_are_reals(name, value, type_name):
    raises_exactly(TypeError, f"argument 'tuning': must be real number, not {type_name}",
                   name, *required(name), tuning=value)


@pytest.mark.parametrize("name", ROBUST)
def test_tuning_accepts_tuple_subclasses_and_none(name):
    args = required(name)
    kwargs = {"iterations": 3, "weighting": "huber"}
    plain = call(name, *args, tuning=(1.0, 2.0, 0.5), **kwargs)
    assert same_result(call(name, *args, tuning=Tuning(1, Real(2.0), np.float32(0.5)), **kwargs), plain)
    assert same_result(call(name, *args, tuning=None, **kwargs), call(name, *args, **kwargs))
    assert not same_result(call(name, *args, **kwargs), plain)


# --- the prefixed error and its cause ---------------------------------------------------------------

class Chained:
    def __index__(self):
        raise TypeError("inner index") from KeyError("index cause")

    def __float__(self):
        raise TypeError("inner float") from KeyError("float cause")


@pytest.mark.parametrize("name, parameter, message", [
    ("build_pb_f64", "d", "inner index"),
    ("whittaker_solve_f32", "lam", "inner float"),
    ("robust_whittaker_irls_f64", "iterations", "inner index"),
    ("robust_whittaker_irls_f32", "merge_x_tol", "inner float"),
])
def test_prefixed_error_keeps_the_original_cause(name, parameter, message):
    error = raises_exactly(TypeError, f"argument '{parameter}': {message}",
                           name, *required(name), **{parameter: Chained()})
    assert isinstance(error.__cause__, KeyError)
    assert error.__cause__.args == (message.replace("inner", "").strip() + " cause",)


@pytest.mark.parametrize("name, kwargs", [
    ("build_pb_f32", {"d": 2.0}),
    ("whittaker_solve_f64", {"lam": "a"}),
    ("whittaker_solve_f32", {"parallel": 1}),
    ("robust_whittaker_irls_f64", {"normalize": 5}),
    ("robust_whittaker_irls_f32", {"tuning": [1, 2, 3]}),
])
def test_prefixed_error_without_cause(name, kwargs):
    with pytest.raises(TypeError) as info:
        call(name, *required(name), **kwargs)
    assert str(info.value).startswith("argument ")
    assert info.value.__cause__ is None


# --- conversion order ----------------------------------------------------------------------------------

@pytest.mark.parametrize("name, args, kwargs, expected", [
    ("build_pb_f64", ([0.0, 1.0],), {"d": 2.0, "normalize": 5, "eps": "a"}, "argument 'x':"),
    ("build_pb_f64", (np.arange(3.0),), {"eps": "a", "normalize": 5, "d": 2.0}, "argument 'd':"),
    ("build_pb_f32", (np.arange(3.0, dtype=np.float32),), {"eps": "a", "normalize": 5}, "argument 'normalize':"),
    ("whittaker_solve_f64", ("x", "y"), {}, "argument 'x':"),
    ("whittaker_solve_f64", (np.arange(3.0), "y"), {"w_base_st": "w"}, "argument 'y_st':"),
    ("whittaker_solve_f32", (), {"parallel": 1, "eps": "a", "normalize": 5, "ridge": "r", "d": 1.0, "lam": "l",
                                 "w_base_st": "w", "y_st": np.zeros((1, 3), np.float32),
                                 "x": np.arange(3.0, dtype=np.float32)}, "argument 'w_base_st':"),
    ("whittaker_solve_f32", (), {"parallel": 1, "eps": "a", "normalize": 5, "ridge": "r", "d": 1.0,
                                 "y_st": np.zeros((1, 3), np.float32), "x": np.arange(3.0, dtype=np.float32)},
     "argument 'd':"),
    ("whittaker_solve_f32", (), {"parallel": 1, "eps": "a", "normalize": 5,
                                 "y_st": np.zeros((1, 3), np.float32), "x": np.arange(3.0, dtype=np.float32)},
     "argument 'normalize':"),
    ("robust_whittaker_irls_f64", (np.arange(3.0), np.zeros((1, 3))),
     {"merge_x_tol": "m", "return_weights": 1, "tuning": [1], "parallel": 1, "eps": "e", "scale": 1,
      "weighting": 1, "iterations": 1.0}, "argument 'iterations':"),
    ("robust_whittaker_irls_f64", (np.arange(3.0), np.zeros((1, 3))),
     {"merge_x_tol": "m", "return_weights": 1, "tuning": [1], "parallel": 1, "eps": "e", "scale": 1,
      "weighting": "bogus"}, "argument 'scale':"),
    ("robust_whittaker_irls_f32", (np.arange(3.0, dtype=np.float32), np.zeros((1, 3), np.float32)),
     {"merge_x_tol": "m", "return_weights": 1, "tuning": [1], "parallel": 1}, "argument 'parallel':"),
    ("robust_whittaker_irls_f32", (np.arange(3.0, dtype=np.float32), np.zeros((1, 3), np.float32)),
     {"merge_x_tol": "m", "return_weights": 1, "tuning": [1]}, "argument 'tuning':"),
    ("robust_whittaker_irls_f32", (np.arange(3.0, dtype=np.float32), np.zeros((1, 3), np.float32)),
     {"merge_x_tol": "m", "return_weights": 1}, "argument 'return_weights':"),
])
def test_first_failing_parameter_is_reported(name, args, kwargs, expected):
    with pytest.raises(TypeError) as info:
        call(name, *args, **kwargs)
    assert str(info.value).startswith(expected)


def test_conversion_errors_come_before_body_checks():
    x = np.array([0.0, 0.0, 1.0])  # not strictly increasing
    with pytest.raises(TypeError, match="^argument 'lam':"):
        tarnwold.whittaker_solve_f64(x[::2], np.zeros((1, 5)), lam="a")
    # a tuple of the wrong length stops the call before return_weights is converted
    raises_exactly(ValueError, "expected tuple of length 3, but got tuple of length 1",
                   "robust_whittaker_irls_f64", x, np.zeros((1, 5)), tuning=(1.0,), return_weights=1)
    # an overflowing count ends the call before later parameters are converted
    with pytest.raises(OverflowError):
        tarnwold.robust_whittaker_irls_f64(x, np.zeros((1, 5)), d=-1, iterations="i")


# --- single-precision defaults ------------------------------------------------------------------------

F32_DEFAULT_BITS = {"lam": 0x41200000, "ridge": 0x2EDBE6FF, "eps": 0x2EDBE6FF}
TINY_SPACING = np.array([0.0, 1e-12, 1.0, 2.0, 3.5, 4.0], dtype=np.float32)


@pytest.mark.parametrize("name, parameter, setup", [
    ("whittaker_solve_f32", "lam", {}),
    ("robust_whittaker_irls_f32", "lam", {}),
    # with weights near the ridge and no penalty, the ridge shows in every value
    ("whittaker_solve_f32", "ridge", {"lam": 0.0, "w_base_st": np.full((2, 6), 1e-10, np.float32)}),
    ("robust_whittaker_irls_f32", "ridge", {"lam": 0.0, "w_base_st": np.full((2, 6), 1e-10, np.float32)}),
    # a spacing far below the floor, so eps shapes the band
    ("whittaker_solve_f32", "eps", {"x": TINY_SPACING, "normalize": None}),
])
def test_f32_real_defaults_are_the_single_precision_roundings(name, parameter, setup):
    # the merge_x_tol default (0x3c23d70a) is pinned by the merging test above
    default = float(np.uint32(F32_DEFAULT_BITS[parameter]).view(np.float32))
    setup = dict(setup)
    x = setup.pop("x", grid(name))
    y = series(name)
    result = call(name, x, y, **setup)
    assert same_result(call(name, x, y, **{parameter: default}, **setup), result)
    nudged = [float(np.nextafter(np.float32(default), np.float32(t))) for t in (0, np.inf)]
    assert not all(same_result(call(name, x, y, **{parameter: v}, **setup), result) for v in nudged)
