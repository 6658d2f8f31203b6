"""Companion tools for tarnwold: smoothing of xarray DataArrays (in memory or
with dask), the command line `tarnwold-smooth`, and the automatic choice of
lam per series (select_lambda, evaluate_lambda), upper envelopes and
baselines (envelope), robust smoothing with lam chosen per series (robust). Their lam means what tarnwold's does: the weight of
the divided differences of order d, (d!)**2 times the lam of packages that
penalise plain differences (4 times for d = 2).

The NumPy functions (select_lambda, evaluate_lambda, envelope, robust) are
the building blocks: their fit continues before each series' first and
after its last observation, and across every gap. smooth() and the command
line return NaN outside each series' observations unless asked to
extrapolate, and across gaps longer than max_gap.

Importing this package needs only numpy and tarnwold; xarray, dask, pandas,
pyarrow, netCDF4, matplotlib and tqdm are imported when a tool needs them
(install them with the extras "xarray" and "cli").
"""

from ._envelope import Envelope, envelope
from ._lambda import (
    LAMBDA_AT_LOWER,
    LAMBDA_AT_UPPER,
    LAMBDA_EMPTY,
    LAMBDA_FLAT,
    LAMBDA_OK,
    LAMBDA_TOO_FEW,
    LambdaEvaluation,
    LambdaSelection,
    evaluate_lambda,
    select_lambda,
)
from ._robust import RobustFit, robust
from ._xarray import smooth

__all__ = [
    "LAMBDA_AT_LOWER",
    "LAMBDA_AT_UPPER",
    "LAMBDA_EMPTY",
    "LAMBDA_FLAT",
    "LAMBDA_OK",
    "LAMBDA_TOO_FEW",
    "Envelope",
    "LambdaEvaluation",
    "LambdaSelection",
    "RobustFit",
    "envelope",
    "evaluate_lambda",
    "robust",
    "select_lambda",
    "smooth",
]
