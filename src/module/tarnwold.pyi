# Type stubs of the extension module, installed as the stub-only package
# tarnwold-stubs so that type checkers find them beside the compiled module.
#
# The stubs are stricter than the module: the option parameters accept any
# str at run time (weighting names in any letter case, unknown normalize
# words as a plain shift, unknown scale words as "mad"), but only the
# documented spellings type-check, so that a typo is caught before it
# silently selects a different behaviour.

from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "build_pb_f64",
    "build_pb_f32",
    "whittaker_solve_f64",
    "whittaker_solve_f32",
    "robust_whittaker_irls_f64",
    "robust_whittaker_irls_f32",
]

# Reals go through float(), counts through operator.index(), so NumPy
# scalars are accepted as well as Python numbers.
_Real: TypeAlias = SupportsFloat | SupportsIndex
_Count: TypeAlias = SupportsIndex
_Flag: TypeAlias = bool | np.bool_
_Normalize: TypeAlias = Literal["mean", "median"]
_Weighting: TypeAlias = Literal["tukey", "bisquare", "huber", "cauchy", "welsch", "fair", "hampel"]
_Scale: TypeAlias = Literal["mad", "huber"]
_Tuning: TypeAlias = tuple[_Real, _Real, _Real]

_F64: TypeAlias = NDArray[np.float64]
_F32: TypeAlias = NDArray[np.float32]

def build_pb_f64(
    x: _F64,
    d: _Count = 2,
    normalize: _Normalize | None = None,
    eps: _Real | None = None,
) -> tuple[_F64, int]: ...
def build_pb_f32(
    x: _F32,
    d: _Count = 2,
    normalize: _Normalize | None = None,
    eps: _Real | None = None,
) -> tuple[_F32, int]: ...
def whittaker_solve_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
) -> _F64: ...
def whittaker_solve_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
) -> _F32: ...

# The robust functions return z_st alone, or (z_st, w_total_st) when
# return_weights is true: one overload per literal, for the flag passed by
# position and by keyword, and a last one for a flag known only as bool.
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting = "tukey",
    scale: _Scale = "mad",
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: Literal[False] = False,
    merge_x_tol: _Real | None = 1e-2,
) -> _F64: ...
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None,
    lam: _Real,
    d: _Count,
    iterations: _Count,
    weighting: _Weighting,
    scale: _Scale,
    ridge: _Real,
    normalize: _Normalize | None,
    eps: _Real,
    parallel: _Flag,
    tuning: _Tuning | None,
    return_weights: Literal[True],
    merge_x_tol: _Real | None = 1e-2,
) -> tuple[_F64, _F64]: ...
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting = "tukey",
    scale: _Scale = "mad",
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    *,
    return_weights: Literal[True],
    merge_x_tol: _Real | None = 1e-2,
) -> tuple[_F64, _F64]: ...
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting = "tukey",
    scale: _Scale = "mad",
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: _Flag = False,
    merge_x_tol: _Real | None = 1e-2,
) -> _F64 | tuple[_F64, _F64]: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting = "tukey",
    scale: _Scale = "mad",
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: Literal[False] = False,
    merge_x_tol: _Real | None = 1e-2,
) -> _F32: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None,
    lam: _Real,
    d: _Count,
    iterations: _Count,
    weighting: _Weighting,
    scale: _Scale,
    ridge: _Real,
    normalize: _Normalize | None,
    eps: _Real,
    parallel: _Flag,
    tuning: _Tuning | None,
    return_weights: Literal[True],
    merge_x_tol: _Real | None = 1e-2,
) -> tuple[_F32, _F32]: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting = "tukey",
    scale: _Scale = "mad",
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    *,
    return_weights: Literal[True],
    merge_x_tol: _Real | None = 1e-2,
) -> tuple[_F32, _F32]: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Real = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting = "tukey",
    scale: _Scale = "mad",
    ridge: _Real = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Real = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: _Flag = False,
    merge_x_tol: _Real | None = 1e-2,
) -> _F32 | tuple[_F32, _F32]: ...
