# Stubs of the native half of select_lambda and evaluate_lambda. The result
# arrays are allocated by the caller (C-contiguous, float64 unless noted)
# and filled in place.
import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]

# The names select accepts as its criterion.
CRITERIA: tuple[str, ...]

def default_grid(x: _F64, d: int, eps: float, normalize: str | None, /) -> list[float]: ...
def select(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None,
    d: int,
    ridge: float,
    eps: float,
    normalize: str | None,
    criterion: str,
    grid: _F64,
    scale_by_weight: bool,
    refine: bool,
    gamma: float,
    parallel: bool,
    lam: _F64,
    score: _F64,
    edf: _F64,
    sigma2: _F64,
    n_obs: npt.NDArray[np.int64],
    status: npt.NDArray[np.int8],
    grid_scale: _F64,
    z: _F64,
    se: _F64 | None,
    scores: _F64 | None,
    /,
) -> None: ...
def evaluate(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None,
    d: int,
    ridge: float,
    eps: float,
    normalize: str | None,
    lam: _F64,
    gamma: float,
    parallel: bool,
    z: _F64 | None,
    edf: _F64 | None,
    rss: _F64 | None,
    roughness: _F64 | None,
    gcv: _F64 | None,
    loocv: _F64 | None,
    reml: _F64 | None,
    hat: _F64 | None,
    se: _F64 | None,
    x_out: _F64 | None = None,
    sigma2: _F64 | None = None,
    /,
) -> None: ...
def envelope(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None,
    d: int,
    ridge: float,
    eps: float,
    normalize: str | None,
    p: float,
    iterations: int,
    tol: float,
    parallel: bool,
    criterion: str | None,
    lam: _F64,
    grid: _F64,
    scale_by_weight: bool,
    z: _F64,
    weights: _F64,
    iterations_taken: npt.NDArray[np.int64],
    lam_out: _F64,
    status: npt.NDArray[np.int8] | None,
    /,
) -> None: ...
