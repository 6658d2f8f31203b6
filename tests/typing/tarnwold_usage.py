"""Calls of tarnwold that a type checker must accept, with the types it must
infer, and calls it must reject.

Checked with `mypy --strict` against the installed stubs: a rejected call
carries a targeted ignore, which --strict reports as unused should the stubs
ever accept it. The accepted calls also run; this file is not collected by
pytest.
"""

from typing import TYPE_CHECKING, assert_type

import numpy as np
from numpy.typing import NDArray

import tarnwold

x64 = np.arange(10.0)
y64 = np.zeros((3, 10))
x32 = x64.astype(np.float32)
y32 = y64.astype(np.float32)
flag: bool = bool(np.random.default_rng().integers(2))

assert_type(tarnwold.build_pb_f64(x64), tuple[NDArray[np.float64], int])
assert_type(tarnwold.build_pb_f32(x32, d=1, normalize="median", eps=np.float32(1e-6)),
            tuple[NDArray[np.float32], int])

assert_type(tarnwold.whittaker_solve_f64(x64, y64, lam=np.float64(5.0), d=np.int64(3)),
            NDArray[np.float64])
assert_type(tarnwold.whittaker_solve_f32(x32, y32, y32, 1, normalize=None, parallel=np.bool_(False)),
            NDArray[np.float32])

assert_type(tarnwold.robust_whittaker_irls_f64(x64, y64), NDArray[np.float64])
assert_type(tarnwold.robust_whittaker_irls_f64(x64, y64, iterations=4, weighting="hampel",
                                               scale="huber", tuning=(1.5, 3.5, 8.0)),
            NDArray[np.float64])
assert_type(tarnwold.robust_whittaker_irls_f64(x64, y64, return_weights=True),
            tuple[NDArray[np.float64], NDArray[np.float64]])
assert_type(tarnwold.robust_whittaker_irls_f64(x64, y64, None, 10.0, 2, 3, "tukey", "mad", 1e-10,
                                               "mean", 1e-10, True, None, True, None),
            tuple[NDArray[np.float64], NDArray[np.float64]])
assert_type(tarnwold.robust_whittaker_irls_f64(x64, y64, return_weights=flag),
            NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]])

assert_type(tarnwold.robust_whittaker_irls_f32(x32, y32, merge_x_tol=None), NDArray[np.float32])
assert_type(tarnwold.robust_whittaker_irls_f32(x32, y32, return_weights=True),
            tuple[NDArray[np.float32], NDArray[np.float32]])
assert_type(tarnwold.robust_whittaker_irls_f32(x32, y32, return_weights=False, merge_x_tol=0.0),
            NDArray[np.float32])

if TYPE_CHECKING:
    # Each dtype has its own function; NumPy never casts at the boundary.
    tarnwold.whittaker_solve_f64(x32, y32)  # type: ignore[arg-type]
    tarnwold.build_pb_f32([0.0, 1.0, 2.0])  # type: ignore[arg-type]
    # Option words are checked as written: the module would take "Tukey"
    # (any case) but treat "meen" as a plain shift and "MAD " as "mad".
    tarnwold.robust_whittaker_irls_f64(x64, y64, weighting="Tukey")  # type: ignore[call-overload]
    tarnwold.whittaker_solve_f64(x64, y64, normalize="meen")  # type: ignore[arg-type]
    tarnwold.robust_whittaker_irls_f32(x32, y32, scale="MAD ")  # type: ignore[call-overload]
    # Flags are bools, counts are integers, tuning is a tuple of three reals.
    tarnwold.whittaker_solve_f64(x64, y64, parallel=1)  # type: ignore[arg-type]
    tarnwold.whittaker_solve_f64(x64, y64, d=2.0)  # type: ignore[arg-type]
    tarnwold.robust_whittaker_irls_f64(x64, y64, tuning=(4.0,))  # type: ignore[arg-type]
