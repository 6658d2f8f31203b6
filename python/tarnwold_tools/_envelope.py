"""Upper envelopes and baselines: smoothing with asymmetric weights."""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from . import _select
from ._lambda import _CRITERIA, Criterion, _check_derivative, _check_order, _check_parameters, _series_inputs
from ._output_grid import output_positions


@dataclasses.dataclass(frozen=True)
class Envelope:
    """What envelope found, one entry per series (S series, T points).

    z: (S, T) the fit at lam with the final weights, in the input's dtype
        ((S, len(x_out)) at x_out when given; its derivative with
        derivative=1 or 2).
    weights: (S, T) the final weights (base weight times p or 1 - p; 0 where
        the value is missing), in the input's dtype.
    iterations: (S,) int64, the reweightings taken: refits after the first,
        symmetric one, in both rounds with a criterion (at most `iterations`;
        0 with iterations=0 and for series without observations).
    lam: (S,) float64, the lam of z (NaN for the statuses too_few and empty).
    status: (S,) int8, LAMBDA_OK .. LAMBDA_EMPTY of the final selection; None
        for a given lam.
    """

    z: np.ndarray
    weights: np.ndarray
    iterations: np.ndarray
    lam: np.ndarray
    status: np.ndarray | None


def check_reweighting(p, iterations, tol):
    """TypeError/ValueError unless p lies in (0, 1), iterations is an
    integer >= 0 and tol a finite number >= 0."""
    if isinstance(p, bool) or not isinstance(p, (int, float, np.floating, np.integer)):
        raise TypeError("p must be a number")
    if not (math.isfinite(p) and 0 < p < 1):
        raise ValueError("p must lie strictly between 0 and 1")
    if isinstance(iterations, bool) or not isinstance(iterations, (int, np.integer)):
        raise TypeError("iterations must be an integer")
    if iterations < 0:
        raise ValueError("iterations must be >= 0")
    if isinstance(tol, bool) or not isinstance(tol, (int, float, np.floating, np.integer)):
        raise TypeError("tol must be a number")
    if not (math.isfinite(tol) and tol >= 0):
        raise ValueError("tol must be finite and >= 0")


def envelope(
    x: np.ndarray,
    y_st: np.ndarray,
    w_base_st: np.ndarray | None = None,
    *,
    p: float = 0.9,
    lam: float | np.ndarray | Criterion = "reml",
    d: int = 2,
    iterations: int = 10,
    tol: float = 0.0,
    normalize: str | None = "mean",
    ridge: float | None = None,
    eps: float = 1e-10,
    parallel: bool = True,
    x_out: np.ndarray | None = None,
    derivative: int = 0,
) -> Envelope:
    """Fits every series with asymmetric weights: p > 0.5 follows the upper
    envelope (vegetation indices biased low by clouds), p < 0.5 a baseline
    under peaks (spectra, asymmetric least squares).

    The first fit uses the base weights alone. Each reweighting then weighs
    an observation base * p when it lies above the last fit (y > z) and
    base * (1 - p) at or below it, and refits. A series stops when at most
    tol * m of its m observations (tol a fraction) changed side in the last refit (with
    tol=0: none, so its weights are those its own fit gives), or after
    `iterations` reweightings. The weights returned are always those of the
    returned fit. With p = 0.5 every weight is halved: the fit is the plain
    fit at 2 * lam.

    lam: a number, an (S,) array (one per series), or a criterion of
    select_lambda ("reml", the default, "gcv", "loocv", "vcurve"; with a
    third of the points biased low the V-curve often settles on a much
    stiffer fit than REML), chosen per series on
    the asymmetric weights with the default grid, in two rounds. First, lam
    is chosen on the grid for the base weights (the symmetric choice, not
    refined: it only sets where the iteration starts), scaled by the share
    of the weight the reweighting leaves on the sides of that fit (a
    criterion's lam scales about with the weights), and the weights are
    iterated at it. Then lam is selected on those weights and the iteration
    continues at it from them with the reweightings left, which moves few
    points; lam is selected a last time on the final weights of the series
    whose weights moved. The returned lam is the criterion's choice on the
    returned weights and z the fit at that lam with those weights
    (select_lambda on the returned weights gives the same lam, status and
    z). As lam moved once more, a few points may lie on the other side of z
    than their weight says: on synthetic cloudy series about 1 in 1000 with
    REML and the V-curve (1 to 7 in 100 after one round), 1 to 7 in 100
    with GCV. This costs a grid scan, a selection, a second one where the
    weights moved, and at most `iterations` + 2 solves per series. For
    baselines under sharp peaks (small p) GCV and
    LOOCV tend to choose a lam that follows the points closely; REML and the
    V-curve keep smoother, or give lam explicitly.

    Like every function of this package but smooth() and the command line,
    envelope extrapolates: z continues before each series' first and after
    its last observation (see evaluate_lambda).

    x_out and derivative: as in evaluate_lambda. The weights are decided on
    x alone, so lam, weights, iterations and status do not depend on x_out;
    z is then the fit at the returned lam with the returned weights on the
    union of x and x_out, at x_out: what evaluate_lambda gives with them
    (for too_few series, select_lambda on the returned weights).

    x: as in select_lambda (strictly increasing, finite, neighbours more
    than 1e-4 of the mean spacing apart).

    ridge: as in select_lambda, by default 0 for a series with at least d
    observations, the first and last position of x among them, 1e-10 for
    the others.

    float32 input is computed in float64 and its z and weights come back
    rounded. Results are the same bits for any thread count and with
    parallel=False.
    """
    check_reweighting(p, iterations, tol)
    grid_x, values, weights, dtype = _series_inputs(x, y_st, w_base_st)
    order = _check_order(d, grid_x.shape[0])
    ridge, eps, _ = _check_parameters(ridge, eps, 1.0)
    derivative = _check_derivative(derivative, False)
    settings = {} if x_out is None else {"x_out": output_positions(x_out, np.asarray(x).dtype)}
    if isinstance(lam, str):
        if lam not in _CRITERIA:
            raise ValueError("lam must be a number, an (S,) array or one of 'reml', 'gcv', 'loocv', 'vcurve'")
    else:
        given = np.asarray(lam, dtype=np.float64)
        if given.ndim > 1 or (given.ndim == 1 and given.shape[0] != values.shape[0]):
            raise ValueError("lam must be a scalar or an array of shape (S,)")
        if not (np.all(np.isfinite(given)) and np.all(given >= 0)):
            raise ValueError("lam must be finite and >= 0")
        lam = np.require(np.atleast_1d(given), requirements="CA")
    found = _select.envelope(
        grid_x, values, weights, p=float(p), lam=lam, d=order, iterations=int(iterations), tol=float(tol),
        normalize=normalize, ridge=ridge, eps=eps, parallel=bool(parallel), derivative=derivative, **settings,
    )  # fmt: skip
    found["z"] = found["z"].astype(dtype, copy=False)
    found["weights"] = found["weights"].astype(dtype, copy=False)
    return Envelope(**found)
