"""Robust smoothing with lam chosen per series: the robust weights and the
criterion's choice decided together, pass by pass."""

from __future__ import annotations

import dataclasses
from typing import Literal

import numpy as np

from . import _select
from ._envelope import check_reweighting
from ._lambda import _CRITERIA, Criterion, _check_derivative, _check_order, _check_parameters, _series_inputs
from ._output_grid import output_positions

Weighting = Literal["tukey", "bisquare", "huber", "cauchy", "welsch", "fair", "hampel"]
_SCALES = ("mad", "huber")


@dataclasses.dataclass(frozen=True)
class RobustFit:
    """What robust found, one entry per series (S series, T points).

    z: (S, T) the fit of the last pass, in the input's dtype ((S, len(x_out))
        at x_out when given; its derivative with derivative=1 or 2).
    weights: (S, T) the total weights of that fit (base weight times robust
        weight; 0 where the value is missing), in the input's dtype.
    lam: (S,) float64, the lam of z (NaN for the statuses too_few and empty).
    edf: (S,) float64, the effective degrees of freedom of z.
    status: (S,) int8, LAMBDA_OK .. LAMBDA_EMPTY of the last choice; None for
        a given lam.
    iterations: (S,) int64, the passes taken (choices of lam, each with its
        fit; 0 for a series without observations).
    sigma2: (S,) float64, the noise variance of the last fit with the weights
        as precisions: Q / (m - d) after "reml" and for a given lam,
        RSS / (m - edf) otherwise.
    se: (S, T) sqrt(sigma2 * Sigma_ii) of the last fit, also where the weight
        is 0 (the se of a gap), in the input's dtype; None unless return_se.
    """

    z: np.ndarray
    weights: np.ndarray
    lam: np.ndarray
    edf: np.ndarray
    status: np.ndarray | None
    iterations: np.ndarray
    sigma2: np.ndarray
    se: np.ndarray | None


def _check_robustness(weighting, scale, tuning, iterations, tol):
    """The weighting's name, the scale, the tuning (None or three reals)."""
    if not isinstance(weighting, str):
        raise TypeError("weighting must be a string")
    if scale not in _SCALES:
        raise ValueError("scale must be 'mad' or 'huber'")
    if tuning is not None:
        tuning = tuple(float(v) for v in tuning)
        if len(tuning) != 3:
            raise ValueError("tuning must hold three numbers")
    check_reweighting(0.5, iterations, tol)
    if iterations < 1:
        raise ValueError("iterations must be >= 1")
    return tuning


def _given_lams(lam, S):
    """lam given as a number or one per series, checked."""
    lams = np.asarray(lam, dtype=np.float64)
    if lams.ndim > 1 or (lams.ndim == 1 and lams.shape[0] != S):
        raise ValueError("lam must be a criterion, a number or an array of shape (S,)")
    if not np.all(np.isfinite(lams) & (lams >= 0)):
        raise ValueError("lam must be finite and >= 0")
    return np.broadcast_to(lams, (S,)).copy()


def robust(
    x: np.ndarray,
    y_st: np.ndarray,
    w_base_st: np.ndarray | None = None,
    *,
    lam: float | np.ndarray | Criterion = "reml",
    d: int = 2,
    weighting: Weighting = "tukey",
    scale: Literal["mad", "huber"] = "mad",
    tuning: tuple[float, float, float] | None = None,
    iterations: int = 4,
    tol: float = 0.0,
    normalize: str | None = "mean",
    ridge: float = 0.0,
    eps: float = 1e-10,
    parallel: bool = True,
    x_out: np.ndarray | None = None,
    derivative: int = 0,
    return_se: bool = False,
) -> RobustFit:
    """Robust smoothing whose lam is chosen per series on the robust weights.

    lam: a criterion of select_lambda ("reml", "gcv", "loocv", "vcurve"), a
    number, or an (S,) array. With a criterion, the first pass chooses lam on
    the base weights exactly as select_lambda does (default grid, refined)
    and fits at it. Every later pass reweights from the last fit: the
    residuals r = y - z at the observed points (points weighed out before
    are judged again), each divided by sqrt(1 - h) with h its leverage in
    that fit (an isolated point or an end pulls the fit towards itself and
    would look better than it is; 1 - h is floored at 1e-12), standardised
    by their MAD scale (or Huber's with scale="huber", floored at eps), and
    mapped to robust weights by the weighting of tarnwold's robust smoother
    (its default tuning unless tuning is given); the total weight is base
    times robust. lam is then chosen on the total weights among five lams a
    decade apart from lam / 100 to 100 lam around the last one (three, from
    lam / 10 to 10 lam, for "reml", whose slopes bracket it), refined as
    select_lambda refines (the whole default grid where the minimum lands on
    that window's edge, or the last choice lay at an end of the grid), and
    the series fitted at it. Two reweightings differ: the first is made
    from a fit at 0.3 times the first choice, which, made while every
    point counts, is too stiff on a contaminated series (its fit would cut
    through narrow peaks and weigh them out); and the one before the last
    choice is followed by one more, from a fit at the same lam with the new
    weights (one-sided outliers leave the fit a little at every
    reweighting, and a fit costs a small part of a choice; a reweighting
    there that would leave d + 1 or fewer points is not applied).
    After `iterations` passes, or once no robust weight moved by more than
    tol, z is the last fit and weights its weights. A reweighting that would
    leave d + 1 or fewer points with positive weight is not applied: the
    series keeps its last choice. A series with at most d + 1 observations
    gets select_lambda's result (status too_few).

    With a number, or an (S,) array of one lam per series, each series'
    result is tarnwold.robust_whittaker_irls_f64's at its lam (without
    merging positions: x's positions lie apart), its fit and total weights
    bit for bit (float32 input widened), in one native call that smooths the
    series sharing a lam together. edf and se are those of the fit at lam
    with those weights, sigma2 = Q / (m - d) with Q = RSS + lam * ||D z||^2
    + ridge * z.z of that fit and m its points of positive weight; status is
    None, and iterations the passes asked for (0 without observations).

    Results are the same bits for any thread count, with parallel=False and
    for any kernel. Float32 input is widened, chosen in float64 and z, weights
    and se come back in float32.

    x_out and derivative: as in evaluate_lambda. The weights and lam are
    decided on x alone; z and se at x_out are those of the fit at the final
    lam with the final weights on the union of x and x_out.
    """
    grid_x, values, weights, dtype = _series_inputs(x, y_st, w_base_st)
    order = _check_order(d, grid_x.shape[0])
    ridge, eps, _ = _check_parameters(ridge, eps, 1.0)
    derivative = _check_derivative(derivative, return_se)
    tuning = _check_robustness(weighting, scale, tuning, iterations, tol)
    settings = {} if x_out is None else {"x_out": output_positions(x_out, np.asarray(x).dtype)}
    if isinstance(lam, str):
        if lam not in _CRITERIA:
            raise ValueError("lam must be one of 'reml', 'gcv', 'loocv', 'vcurve', a number or an (S,) array")
    else:
        lam = _given_lams(lam, values.shape[0])
    found = _select.robust(
        grid_x, values, weights, lam=lam, d=order, weighting=weighting, scale=scale, tuning=tuning,
        iterations=int(iterations), tol=float(tol), normalize=normalize, ridge=ridge, eps=eps,
        parallel=bool(parallel), derivative=derivative, return_se=bool(return_se), **settings,
    )  # fmt: skip
    found["z"] = found["z"].astype(dtype, copy=False)
    found["weights"] = found["weights"].astype(dtype, copy=False)
    if found["se"] is not None:
        found["se"] = found["se"].astype(dtype, copy=False)
    return RobustFit(**found)

