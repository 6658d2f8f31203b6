"""Fuzz target over the argument conversion and the bodies of all six
functions, and of the four of the companion's native half
(tarnwold_tools._select), for atheris.

Every argument of a call is drawn from the fuzzer's bytes: mostly plausible
values (increasing grids, series with the grid's length, the function's
dtype, option words, small counts), otherwise anything at all: arrays of
other dtypes, dimensions, byte orders and layouts (Fortran, strided,
reversed, broadcast, unaligned, read-only, subclassed), NaN, infinities and
huge values, counts beyond 64 bits, texts that cannot be encoded, tuples of
any length, None, objects of the wrong type and objects whose conversion
raises. A call must either return a well-formed result or raise one of the
ordinary exceptions; a crash, a sanitizer report, InternalFault, any other
exception, a hang or a written argument array is a finding.

    python tests/fuzz/fuzz_arguments.py -max_total_time=60 [CORPUS_DIR]

Under AddressSanitizer (TARNWOLD_SANITIZER set) no call asks for more memory
than exists: the sanitizer's operator new aborts where the plain build
throws std::bad_alloc, which the module turns into MemoryError.
"""

import os
import sys

import atheris
import numpy as np

import tarnwold
from tarnwold_tools import _select

SANITIZED = bool(os.environ.get("TARNWOLD_SANITIZER"))
ORDINARY = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)

PARAMETERS = {
    "build_pb": ("x", "d", "normalize", "eps"),
    "whittaker_solve": ("x", "y_st", "w_base_st", "lam", "d", "ridge", "normalize", "eps", "parallel"),
    "robust_whittaker_irls": ("x", "y_st", "w_base_st", "lam", "d", "iterations", "weighting", "scale",
                              "ridge", "normalize", "eps", "parallel", "tuning", "return_weights",
                              "merge_x_tol"),
}
# The companion's native half: float64 only, results returned by name.
SELECT_PARAMETERS = {
    "select": ("x", "y_st", "w_base_st", "d", "criterion", "lam_grid", "refine", "gamma", "ridge", "normalize",
               "eps", "return_se", "return_scores", "parallel", "x_out", "derivative"),
    "evaluate": ("x", "y_st", "lam", "w_base_st", "d", "ridge", "normalize", "eps", "gamma", "return_hat",
                 "return_se", "parallel", "x_out", "derivative", "sigma2"),
    "envelope": ("x", "y_st", "w_base_st", "p", "lam", "d", "iterations", "tol", "normalize", "ridge", "eps",
                 "parallel", "x_out", "derivative"),
    "robust": ("x", "y_st", "w_base_st", "lam", "d", "weighting", "scale", "tuning", "iterations", "tol",
               "normalize", "ridge", "eps", "parallel", "x_out", "derivative", "return_se"),
}
FUNCTIONS = [(family, suffix) for family in PARAMETERS for suffix in ("f32", "f64")]
FUNCTIONS += [(family, None) for family in SELECT_PARAMETERS]
CRITERIA = ["reml", "gcv", "loocv", "vcurve", "aic", "REML", "reml\0"]
WORDS = ["mean", "median", "tukey", "bisquare", "huber", "cauchy", "welsch", "fair", "hampel", "mad",
         "TUKEY", "Hampel", "tu\u212aey", "none", "", "nope", "mean\0"]
OTHER_DTYPES = [np.float16, np.float32, np.float64, np.int32, np.int64, np.uint8, np.bool_, np.complex128,
                np.dtype(">f4"), np.dtype(">f8"), np.dtype("<f4"), np.dtype("<f8"), object,
                np.dtype([("a", "<f8")]), np.dtype(np.float64, metadata={"unit": "s"})]


class Hostile(Exception):
    """Raised by the objects below from inside a conversion."""


class FailingIndex:
    def __index__(self):
        raise Hostile("__index__")


class FailingFloat:
    def __float__(self):
        raise Hostile("__float__")


class FailingBool:
    def __bool__(self):
        raise Hostile("__bool__")


class LookalikeBool:
    """Named like NumPy's boolean scalar, so the flag conversion calls its
    truth slot, which may raise."""

    __module__ = "numpy"

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        if self.truth is None:
            raise Hostile("__bool__")
        return self.truth


LookalikeBool.__name__ = LookalikeBool.__qualname__ = "bool_"


class SubArray(np.ndarray):
    pass


class SubStr(str):
    pass


class SubFloat(float):
    pass


class SubInt(int):
    pass


class Draw:
    """The values of one call, taken from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.arrays = []  # the memory of every array handed in, with a copy of it
        self.selection = None  # the function of the companion's native half drawn for

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def size(self, largest):
        return self.fdp.ConsumeIntInRange(0, largest)

    def one_in(self, n):
        return self.fdp.ConsumeIntInRange(1, n) == 1

    # ---- scalars

    def real(self):
        kind = self.size(5)
        if kind == 0:
            return self.fdp.ConsumeFloat()  # NaN, infinities, subnormals
        if kind == 1:
            return self.fdp.ConsumeRegularFloat()
        if kind == 2:
            return self.pick([0.0, -0.0, 1e-10, 1e-300, 5e-324, 1e39, -1e39, 1e300, float("nan"),
                              float("inf"), -float("inf"), 3, True, 2**1024, -(1 - 2**-22)])
        if kind == 3:
            return self.pick([np.float32, np.float64, np.float16, SubFloat, np.int64])(
                self.fdp.ConsumeFloatInRange(-100.0, 100.0) if self.fdp.ConsumeBool() else 1)
        return self.fdp.ConsumeFloatInRange(-10.0, 100.0)

    def count(self, largest):
        kind = self.size(4)
        if kind == 0:
            return self.pick([-1, 2**64, 2**64 - 1, -(2**70), 2**63, True, False, np.int64(-3),
                              np.uint64(2**64 - 1), SubInt(1)])
        if kind == 1:
            return self.pick([np.int8, np.int64, np.uint16, SubInt])(self.size(largest))
        return self.size(largest)

    def iterations(self):
        # Never a large valid count: the call would honestly run that long.
        if self.one_in(4):
            return self.pick([-1, 2**64, -(2**70), np.int64(-1), np.uint8(3), SubInt(2), True])
        return self.size(4)

    def flag(self):
        if self.one_in(8):
            return self.pick([0, 1, None, "True", FailingBool(), LookalikeBool(None), LookalikeBool(True)])
        return self.pick([True, False, np.True_, np.False_])

    def text(self):
        kind = self.size(5)
        if kind == 0:
            return self.fdp.ConsumeUnicode(self.size(12))  # may hold lone surrogates
        if kind == 1:
            return SubStr(self.pick(WORDS))
        if kind == 2:
            return self.pick(WORDS).upper()
        return self.pick(WORDS)

    def triple(self):
        kind = self.size(4)
        if kind == 0:
            return tuple(self.real() for _ in range(self.size(5)))
        if kind == 1:
            return [self.real(), self.real(), self.real()]
        return (self.real(), self.real(), self.real())

    def anything(self):
        return self.pick([
            lambda: None, lambda: [0.0, 1.0, 2.0], lambda: (1.0, 2.0), lambda: {"x": 1}, lambda: object(),
            lambda: "text", lambda: b"mean", lambda: 3, lambda: 2.5, lambda: True, lambda: np.float64(1.0),
            lambda: FailingIndex(), lambda: FailingFloat(), lambda: FailingBool(), lambda: 1j,
            lambda: self.array(self.pick([np.float32, np.float64]), (self.size(4),)),
            lambda: self.array(self.pick(OTHER_DTYPES), (self.size(3), self.size(5))),
            lambda: self.array(np.float64, ()),
            lambda: self.array(np.float32, (2, 3, self.size(3))),
        ])()

    # ---- arrays

    def values(self, count):
        kind = self.size(5)
        if kind == 0:
            return np.array(self.fdp.ConsumeFloatList(count), dtype=np.float64)
        if kind == 1:
            return np.array(self.fdp.ConsumeFloatListInRange(count, -1e300, 1e300))
        values = np.array(self.fdp.ConsumeFloatListInRange(count, -10.0, 10.0))
        if count and kind == 2:
            holes = self.fdp.ConsumeIntListInRange(self.size(3), 0, count - 1)
            values[holes] = self.pick([np.nan, np.inf, -np.inf, 1e30])
        return values

    def grid_values(self, count):
        kind = self.size(6)
        if kind == 0:
            return self.values(count)
        if kind == 1:  # near-duplicates that merge, or whose spacing underflows eps
            steps = self.fdp.ConsumeFloatListInRange(count, 0.0, 0.02)
        elif kind == 2:  # magnitudes whose group means overflow
            return np.sort(self.fdp.ConsumeFloatListInRange(count, -1.7e308, 1.7e308))
        else:
            steps = self.fdp.ConsumeFloatListInRange(count, 1e-3, 5.0)
        start = self.fdp.ConsumeFloatInRange(-1e3, 1e3)
        return start + np.cumsum(np.array(steps, dtype=np.float64))

    def array(self, dtype, shape, values=None):
        """An array of the shape with the values, in a drawn memory layout."""
        count = int(np.prod(shape, dtype=np.int64))
        if values is None:
            values = self.values(count)
        with np.errstate(all="ignore"):
            if np.dtype(dtype).names:
                base = np.zeros(shape, dtype=dtype)
            else:
                base = np.asarray(values).astype(dtype).reshape(shape)
        layout = self.size(9)
        owner = None  # what holds the memory, when not the array itself
        if layout == 0 and base.ndim:
            array = np.asfortranarray(base)
        elif layout == 1 and base.ndim:
            owner = np.zeros(base.shape[:-1] + (2 * base.shape[-1],), dtype=base.dtype)
            owner[..., ::2] = base
            array = owner[..., ::2]
        elif layout == 2 and base.ndim:
            owner = base[::-1].copy()
            array = owner[::-1]
        elif layout == 3 and base.ndim == 2 and base.shape[0]:
            # Zero row stride: many series from one row, up to more than any
            # memory could hold once copied.
            owner = base[:1].copy()
            rows = self.size(6) if SANITIZED else self.pick([0, 1, 5, 2**46])
            array = np.broadcast_to(owner, (rows, base.shape[1]))
        elif layout == 4 and base.dtype != object:
            owner = bytearray(base.nbytes + 1)
            array = np.frombuffer(owner, dtype=base.dtype, offset=1, count=base.size).reshape(base.shape)
            array[...] = base
        elif layout == 5:
            array = base.view(SubArray)
        else:
            array = base
        if self.one_in(3):
            array.flags.writeable = False
        owner = array if owner is None else owner
        self.arrays.append((owner, bytes(owner) if isinstance(owner, bytearray) else owner.tobytes()))
        return array

    # ---- one argument by its kind

    def argument(self, name, dtype, length, series, chaotic):
        if self.one_in(4 if chaotic else 40):
            return self.anything()
        if name == "x":
            return self.array(dtype, (length,), self.grid_values(length))
        if name in ("y_st", "w_base_st"):
            if name == "w_base_st" and self.one_in(3):
                return None
            shape = (series, length) if not self.one_in(8) else (self.size(3), self.size(6))
            values = self.values(shape[0] * shape[1])
            if name == "w_base_st" and self.fdp.ConsumeBool():
                values = np.abs(values)
            return self.array(dtype, shape, values)
        if name == "d":
            return self.count(length + 2)
        if name == "iterations":
            return self.iterations()
        if name in ("parallel", "return_weights", "refine", "return_se", "return_scores", "return_hat"):
            return self.flag()
        if name == "criterion":
            return self.pick(CRITERIA) if self.fdp.ConsumeBool() else self.text()
        if name == "lam" and self.selection:
            # A criterion's name (evaluate takes none), or one lam for all
            # series or one each (evaluate, envelope and robust take these).
            if self.selection != "evaluate" and self.fdp.ConsumeBool():
                return self.pick(CRITERIA)
            count = self.pick([1, series, series + 1])
            return self.array(dtype, (count,), np.abs(self.values(count)))
        if name in ("lam_grid", "x_out", "sigma2"):
            if self.one_in(2):
                return None
            if name == "sigma2":
                return self.array(dtype, (series,), np.abs(self.values(series)))
            count = self.size(30) if name == "x_out" else self.size(8)
            values = self.grid_values(count)
            return self.array(dtype, (count,), np.abs(values) if name == "lam_grid" else values)
        if name == "derivative":
            return self.count(3)
        if name in ("weighting", "scale", "normalize"):
            return None if name == "normalize" and self.one_in(4) else self.text()
        if name == "tuning":
            return None if self.one_in(3) else self.triple()
        if name == "merge_x_tol":
            return None if self.one_in(4) else self.pick([self.real(), 0.01, 0.0, 1.0])
        if name == "ridge" and self.selection and self.one_in(3):
            return None
        return self.real()  # lam, ridge, eps, gamma, p, tol


def check_result(family, dtype, result, y):
    """A returned result has the documented form."""
    if family in SELECT_PARAMETERS:
        assert type(result) is dict and result["z"].shape[0] == y.shape[0], (type(result), y.shape)
        for a in result.values():
            assert a is None or (type(a) is np.ndarray and a.flags.c_contiguous and a.flags.owndata)
        return
    if family == "build_pb":
        pb, k = result
        assert type(k) is int and pb.shape[0] == k + 1 and pb.ndim == 2, (pb.shape, k)
        arrays = [pb]
    else:
        arrays = list(result) if isinstance(result, tuple) else [result]
        assert len(arrays) in (1, 2) and (family == "robust_whittaker_irls" or len(arrays) == 1)
        assert all(a.shape == y.shape for a in arrays), (y.shape, [a.shape for a in arrays])
    for a in arrays:
        assert type(a) is np.ndarray and a.dtype == dtype and a.flags.c_contiguous and a.flags.owndata


def mark_outcome(family, result, error):
    """Takes one branch per way a call can end, so that the fuzzer, which
    sees only the coverage of this file, keeps every input that gets a call
    further than before."""
    if error is None:
        if family in SELECT_PARAMETERS:
            return "results"
        if family == "build_pb":
            return "band"
        return "pair" if isinstance(result, tuple) else "fits"
    if isinstance(error, Hostile):
        return "hostile"
    message = str(error)
    if isinstance(error, TypeError):
        if message.startswith("argument"):
            return "conversion"
        if message == "The given array is not contiguous":
            return "contiguity"
        return "matching"
    if isinstance(error, (OverflowError, UnicodeEncodeError, MemoryError)):
        return type(error).__name__
    if message.startswith("expected tuple"):
        return "tuning"
    if message.startswith("y_st shape"):
        return "columns"
    if message.startswith("x must have length >=2 after"):
        return "merged-short"
    if message.startswith("x must have length > d after"):
        return "merged-order"
    if message.startswith("x must be strictly increasing after"):
        return "merged-order"
    if message.startswith("x must have length"):
        return "short"
    if message.startswith("x must be strictly increasing"):
        return "increasing"
    if message.startswith("d must not exceed"):
        return "order"
    if message.startswith("Unknown weighting"):
        return "weighting"
    if message.startswith("w_base_st"):
        return "weights"
    if message.startswith("Numerical instability"):
        return "instability"
    return "other"


def test_one_input(data):
    draw = Draw(data)
    family, suffix = draw.pick(FUNCTIONS)
    draw.selection = family if suffix is None else None
    function = getattr(_select, family) if draw.selection else getattr(tarnwold, f"{family}_{suffix}")
    dtype = np.float32 if suffix == "f32" else np.float64
    parameters = SELECT_PARAMETERS[family] if draw.selection else PARAMETERS[family]
    length, series = draw.size(24), draw.size(5)

    # Mostly calls that reach the body; a quarter of them chaotic.
    chaotic = draw.one_in(4)
    values = {name: draw.argument(name, dtype, length, series, chaotic) for name in parameters}
    required = 1 if family == "build_pb" else 3 if family == "evaluate" else 2
    positional = draw.size(len(parameters) + 1)
    args = [values[name] for name in parameters[:positional]]
    if positional > len(parameters):
        args.append(draw.anything())
    kwargs = {name: values[name] for i, name in enumerate(parameters[positional:], positional)
              if (i < required and not chaotic) or draw.fdp.ConsumeBool()}
    if chaotic and draw.one_in(4):
        kwargs[draw.pick(["order", "\ud800", "X", parameters[0]])] = draw.anything()

    result = error = None
    try:
        result = function(*args, **kwargs)
    except (*ORDINARY, Hostile) as raised:
        error = raised
    else:
        check_result(family, dtype, result, values.get("y_st"))
    mark_outcome(family, result, error)
    for owner, contents in draw.arrays:
        now = bytes(owner) if isinstance(owner, bytearray) else owner.tobytes()
        assert now == contents, "an argument array was written"


def main():
    # The module itself is not instrumented; the fuzzer is steered by the
    # coverage of the drawing code and of mark_outcome.
    for name, member in list(vars(Draw).items()):
        if callable(member):
            setattr(Draw, name, atheris.instrument_func(member))
    for function in (mark_outcome, test_one_input):
        atheris.instrument_func(function)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
