"""No leaks: every function, called thousands of times on its success paths
and on every failure path, leaves the reference counts of its arguments as
they were, and the resident memory of the process stays flat.

The two checks see different faults. Reference counts are exact, so a
missing or extra decref of an argument shows after a single call. Resident
memory is coarse (pages, allocator arenas), so the memory check feeds large
inputs: a leaked working buffer, result array or grid copy then costs tens of
kilobytes per call and stands out far above the noise. Small leaks of objects
the module creates itself are left to the LeakSanitizer run of CI, which
reports any unreachable block allocated below one of the module's frames.
"""

import collections
import gc
import os
import sys

import numpy as np
import pytest

import tarnwold
from tarnwold_tools import _select

# Set by CI when the module runs under AddressSanitizer, whose quarantine of
# freed blocks makes resident memory grow by design.
SANITIZED = bool(os.environ.get("TARNWOLD_SANITIZER"))

Case = collections.namedtuple("Case", "id function args kwargs outcome")

# The double-precision rerun of the single-precision robust smoother: a ridge
# of -(1 - 2**-22) leaves a system whose fit of curvature-free data is about
# 4e6 times the data, so the first solve is rejected; with iterations=2 and
# the Cauchy weights even the rerun overflows.
FALLBACK_X = [0, 0.7, 1.9, 2.4, 3.8, 4.1, 5.6, 6.0]
FALLBACK_LINEAR = [[1, 2, 3, 2, 1, 0, -1, 0], [1, 2, 3, 4, 5, 6, 7, 8]]
FALLBACK_OPTIONS = dict(lam=1.0, ridge=-(1 - 2**-22))


class FailingIndex:
    def __index__(self):
        raise RuntimeError("no index")


class FailingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float")


def make_cases(length, series):
    """Calls of all six functions: a few valid ones and one for every way a
    call can fail, with grids of `length` positions and `series` series."""
    rng = np.random.default_rng(5)
    cases = []
    for suffix, dt in (("f32", np.float32), ("f64", np.float64)):
        pb = getattr(tarnwold, "build_pb_" + suffix)
        solve = getattr(tarnwold, "whittaker_solve_" + suffix)
        robust = getattr(tarnwold, "robust_whittaker_irls_" + suffix)
        # The first two positions lie within the default merging tolerance.
        x = np.concatenate([[0.0, 0.004], 1.0 + np.cumsum(rng.uniform(0.5, 1.5, length - 2))]).astype(dt)
        y = rng.normal(size=(series, length)).astype(dt)
        y[::2, 3] = np.nan
        w = rng.uniform(0.5, 2.0, size=(series, length)).astype(dt)
        y_fortran = np.asfortranarray(y)
        y_reversed = y[::-1, ::-1]
        flat = np.zeros((series, 4), dtype=dt)
        decreasing = x[::-1].copy()
        w_wide = np.ones((series, length + 1), dtype=dt)
        empty = np.zeros(0, dtype=dt)
        other = x.astype(np.float64 if dt is np.float32 else np.float32)
        x_2d = x.reshape(1, -1)
        strided = x[::2]

        def add(label, function, *args, outcome=None, **kwargs):
            cases.append(Case(f"{function.__name__}-{label}", function, args, kwargs, outcome))

        # Valid calls, with and without every option.
        add("default", pb, x)
        add("options", pb, x, 3, "median", 1e-9)
        add("default", solve, x, y)
        add("options", solve, x, y_fortran, w, 2.0, 1, 1e-9, None, 1e-8, False)
        add("reversed", solve, x, y_reversed, w, parallel=True)
        add("default", robust, x, y)
        add("merge-weights", robust, x, y_reversed, w, iterations=3, weighting="hampel", scale="huber",
            tuning=(1.0, 2.0, 4.0), return_weights=True, normalize="median", parallel=False)
        add("no-merge", robust, x, y_fortran, iterations=2, merge_x_tol=None, return_weights=True,
            parallel=np.bool_(True), d=np.int64(3))

        # Argument matching.
        for function in (pb, solve, robust):
            add("missing", function, outcome="TypeError")
            add("too-many", function, *([x] * 16), outcome="TypeError")
            add("unknown-keyword", function, x, y, order=1, outcome="TypeError")
            add("unknown-surrogate-keyword", function, x, y, outcome="TypeError", **{"\ud800": 1})
            add("twice", function, x, x=x, outcome="TypeError")
        add("missing-y", solve, x, outcome="TypeError")
        add("missing-y", robust, x, outcome="TypeError")

        # Conversion of each kind, the later parameters after all earlier
        # ones have been converted.
        for label, value in (("list", [0.0, 1.0, 2.0]), ("dtype", other), ("2d", x_2d)):
            add("x-" + label, pb, value, outcome="TypeError")
        add("y-1d", solve, x, x, outcome="TypeError")
        add("w-dtype", robust, x, y, y.astype(other.dtype), outcome="TypeError")
        add("d-float", pb, x, 2.0, outcome="TypeError")
        add("d-negative", solve, x, y, d=-1, outcome="OverflowError")
        add("d-huge", robust, x, y, d=2**64, outcome="OverflowError")
        add("d-index-raises", pb, x, FailingIndex(), outcome="RuntimeError")
        add("iterations-negative", robust, x, y, iterations=-1, outcome="OverflowError")
        add("lam-text", solve, x, y, lam="a", outcome="TypeError")
        add("eps-float-raises", pb, x, eps=FailingFloat(), outcome="ZeroDivisionError")
        add("merge-text", robust, x, y, merge_x_tol="a", outcome="TypeError")
        add("parallel-int", solve, x, y, parallel=1, outcome="TypeError")
        add("return-weights-none", robust, x, y, return_weights=None, outcome="TypeError")
        add("normalize-int", pb, x, normalize=5, outcome="TypeError")
        add("weighting-bytes", robust, x, y, weighting=b"tukey", outcome="TypeError")
        add("scale-surrogate", robust, x, y, scale="\ud800", outcome="UnicodeEncodeError")
        add("tuning-list", robust, x, y, tuning=[0, 0, 4.0], outcome="TypeError")
        add("tuning-length", robust, x, y, tuning=(4.0,), outcome="ValueError")
        add("tuning-item", robust, x, y, tuning=(0, "a", 4.0), outcome="TypeError")
        add("tuning-item-raises", robust, x, y, tuning=(0, FailingFloat(), 4.0), outcome="ZeroDivisionError")

        # Every check of the bodies.
        add("not-contiguous", pb, strided, outcome="TypeError")
        add("short", pb, x[:1], outcome="ValueError")
        add("decreasing", pb, decreasing, outcome="ValueError")
        add("order-too-high", pb, x, length + 1, outcome="ValueError")
        add("not-contiguous", solve, strided, y, outcome="TypeError")
        add("y-shape", solve, x, flat, outcome="ValueError")
        add("decreasing", solve, decreasing, y, outcome="ValueError")
        add("empty", solve, empty, np.zeros((series, 0), dtype=dt), outcome="ValueError")
        add("order-too-high", solve, x, y, d=length + 1, outcome="ValueError")
        add("w-shape", solve, x, y, w_wide, outcome="ValueError")
        add("not-contiguous", robust, strided, y, outcome="TypeError")
        add("y-shape", robust, x, flat, outcome="ValueError")
        add("decreasing", robust, decreasing, y, outcome="ValueError")
        add("weighting", robust, x, y, weighting="nope", outcome="ValueError")
        add("merged-short", robust, x, y, merge_x_tol=1e30, outcome="ValueError")
        add("merged-order", robust, x, y, d=length - 1, outcome="ValueError")
        add("w-shape", robust, x, y, w_wide, outcome="ValueError")
        if not SANITIZED:
            # The working weights of this many series exceed any address
            # space. (AddressSanitizer's operator new aborts instead of
            # throwing, so this path is left to the plain build.)
            huge = np.broadcast_to(y[:1], (2**44, length))
            add("too-many-series", solve, x, huge, outcome="MemoryError")
            add("too-many-series", robust, x, huge, outcome="MemoryError")

    # The native half of the companion's functions: results allocated
    # natively, success and every check of the buffers and values.
    x = np.cumsum(rng.uniform(0.5, 1.5, length))
    y = rng.normal(size=(series, length))
    y[::2, 3] = np.nan
    w = rng.uniform(0.5, 2.0, size=(series, length))
    grid = np.logspace(-2, 4, 7)
    x_out = np.linspace(x[0] - 1, x[-1] + 1, 2 * length)

    def add_native(label, function, outcome=None, **kwargs):
        cases.append(Case(f"_select.{function.__name__}-{label}", function, (x, y), dict(w_base_st=w, **kwargs), outcome))

    for criterion in ("reml", "gcv", "loocv", "vcurve"):
        add_native(criterion, _select.select, criterion=criterion, lam_grid=grid, return_se=True, return_scores=True)
    add_native("lean", _select.select)
    add_native("x-out", _select.select, x_out=x_out, return_se=True)
    add_native("derivative", _select.select, x_out=x_out, derivative=2)
    add_native("one-lam", _select.evaluate, lam=np.array([3.0]), return_hat=True, return_se=True)
    add_native("lams", _select.evaluate, lam=np.linspace(1, 9, series), x_out=x_out, sigma2=np.ones(series))
    add_native("given", _select.envelope, lam=np.array([3.0]), x_out=x_out, derivative=1)
    add_native("chosen", _select.envelope, lam="reml", ridge=1e-10)
    add_native("chosen", _select.robust, x_out=x_out, return_se=True)
    add_native("given", _select.robust, lam=np.linspace(1, 9, series), x_out=x_out, derivative=1)
    add_native("missing", _select.evaluate, "TypeError")
    add_native("keyword", _select.select, "TypeError", lam=1.0)
    add_native("criterion", _select.select, "ValueError", criterion="aic")
    add_native("grid-shape", _select.select, "ValueError", lam_grid=grid[:2])
    add_native("grid-type", _select.select, "TypeError", lam_grid=grid.astype(np.float32))
    add_native("x-out-order", _select.select, "ValueError", x_out=x_out[::-1].copy())
    add_native("lam-count", _select.evaluate, "ValueError", lam=np.ones(2 * series))
    add_native("sigma2-shape", _select.evaluate, "ValueError", lam=np.ones(1), sigma2=np.ones(1))
    add_native("lam-count", _select.robust, "ValueError", lam=np.ones(2 * series))
    add_native("tuning", _select.robust, "TypeError", tuning=(0.0, "a", 4.0))
    add_native("order", _select.envelope, "ValueError", d=length)

    # Group means that overflow to -inf make the merged grid not increase.
    x = np.array([-1.7e308, -1.0e308, *np.linspace(-0.29e308, -0.283e308, 7)])
    cases.append(Case("robust_whittaker_irls_f64-merged-decreasing", tarnwold.robust_whittaker_irls_f64,
                      (x, np.zeros((series, x.size))), dict(merge_x_tol=0.7e308, d=1), "ValueError"))

    # The single-precision fall-back, recovering and failing.
    x = np.array(FALLBACK_X, dtype=np.float32)
    linear = np.tile(np.array(FALLBACK_LINEAR, dtype=np.float32) * np.float32(0.1), (series, 1))
    constant = np.full((2 * series, x.size), 0.3, dtype=np.float32)
    robust = tarnwold.robust_whittaker_irls_f32
    cases.append(Case("robust_whittaker_irls_f32-fallback", robust, (x, linear),
                      dict(return_weights=True, **FALLBACK_OPTIONS), None))
    cases.append(Case("robust_whittaker_irls_f32-instability", robust, (x, constant),
                      dict(weighting="cauchy", iterations=2, **FALLBACK_OPTIONS), "ValueError"))
    return cases


def call_many(case, count):
    """Runs the case `count` times, each ending as the case says."""
    for _ in range(count):
        try:
            case.function(*case.args, **case.kwargs)
            outcome = None
        except BaseException as error:  # InternalFault derives from BaseException
            outcome = type(error).__name__
        if outcome != case.outcome:
            pytest.fail(f"{case.id}: expected {case.outcome or 'a result'}, got {outcome or 'a result'}")


def argument_objects(case):
    objects = [*case.args, *case.kwargs.keys(), *case.kwargs.values()]
    return objects + [item for value in objects if isinstance(value, tuple) for item in value]


def shared(obj):
    """Objects that the whole interpreter references, so that their counts
    move with unrelated work: only a change of one per call is a leak."""
    return obj is None or isinstance(obj, (bool, np.bool_)) or (type(obj) is int and -5 <= obj <= 256)


SMALL_CASES = make_cases(length=12, series=3)
CALLS = 300


@pytest.mark.parametrize("case", SMALL_CASES, ids=[case.id for case in SMALL_CASES])
def test_argument_reference_counts_unchanged(case):
    objects = argument_objects(case)
    call_many(case, 2)
    # No call may leave a cycle behind either, so the collector stays off.
    gc.disable()
    try:
        before = [sys.getrefcount(obj) for obj in objects]
        call_many(case, CALLS)
        after = [sys.getrefcount(obj) for obj in objects]
    finally:
        gc.enable()
    for obj, count_before, count_after in zip(objects, before, after):
        if shared(obj):
            assert abs(count_after - count_before) < CALLS // 2, repr(obj)
        else:
            assert count_after == count_before, repr(obj)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine keeps freed memory resident")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_resident_memory_flat():
    # 4096 positions: a leaked grid copy is 16 or 32 KiB per call, a leaked
    # (S, T) buffer 64 or 128 KiB; the noise is a page or two.
    cases = make_cases(length=4096, series=4)
    rounds = 30
    # Released scratch is kept for the next calls (up to a bound): the
    # warm-up lets the cache reach the working set of the pool's workers,
    # which takes a few rounds since the work lands on workers at random.
    for _ in range(15):
        for case in cases:
            call_many(case, 1)
    # A leak grows the resident memory in every window of rounds; the scratch
    # cache may still grow once under load (a call's work spread over more
    # threads at once than during the warm-up), up to its bound. So the
    # memory must stay flat over one of three windows.
    growths = []
    for _ in range(3):
        gc.collect()
        before = resident_bytes()
        for _ in range(rounds):
            for case in cases:
                call_many(case, 1)
        gc.collect()
        growths.append(resident_bytes() - before)
        # Far below the 480 KiB that one leaked grid copy per call would add.
        if growths[-1] < 128 * 1024:
            return
    pytest.fail(f"resident memory grew by {growths} bytes over three windows of {rounds} rounds")


if __name__ == "__main__":
    # The LeakSanitizer run of CI: every case a few times, then the sanitizer
    # reports at exit whatever was left unreachable.
    cases = make_cases(length=12, series=3) + make_cases(length=300, series=4)
    for case in cases:
        call_many(case, 3)
    print(f"all {len(cases)} cases ran")
