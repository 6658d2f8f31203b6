# Stubs of the native half of select_lambda, evaluate_lambda, envelope and robust. Each
# allocates its results and returns them by name: C-contiguous float64 arrays
# unless noted, None where not asked for.
from typing import Any

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]

# The names select accepts as its criterion.
CRITERIA: tuple[str, ...]

def select(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    d: int = 2,
    criterion: str = "reml",
    lam_grid: _F64 | None = None,
    refine: bool = True,
    gamma: float = 1.0,
    ridge: float | None = None,
    normalize: str | None = "mean",
    eps: float = 1e-10,
    return_se: bool = False,
    return_scores: bool = False,
    parallel: bool = True,
    x_out: _F64 | None = None,
    derivative: int = 0,
) -> dict[str, Any]: ...
def evaluate(
    x: _F64,
    y_st: _F64,
    lam: _F64,
    w_base_st: _F64 | None = None,
    d: int = 2,
    ridge: float | None = None,
    normalize: str | None = "mean",
    eps: float = 1e-10,
    gamma: float = 1.0,
    return_hat: bool = False,
    return_se: bool = False,
    parallel: bool = True,
    x_out: _F64 | None = None,
    derivative: int = 0,
    sigma2: _F64 | None = None,
) -> dict[str, Any]: ...
def envelope(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    p: float = 0.9,
    lam: str | _F64 = "vcurve",
    d: int = 2,
    iterations: int = 10,
    tol: float = 0.0,
    normalize: str | None = "mean",
    ridge: float | None = None,
    eps: float = 1e-10,
    parallel: bool = True,
    x_out: _F64 | None = None,
    derivative: int = 0,
) -> dict[str, Any]: ...
def robust(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: str | _F64 = "reml",
    d: int = 2,
    weighting: str = "tukey",
    scale: str = "mad",
    tuning: tuple[float, float, float] | None = None,
    iterations: int = 4,
    tol: float = 0.0,
    normalize: str | None = "mean",
    ridge: float = 0.0,
    eps: float = 1e-10,
    parallel: bool = True,
    x_out: _F64 | None = None,
    derivative: int = 0,
    return_se: bool = False,
) -> dict[str, Any]: ...
