"""Automatic choice of lam per series, and the diagnostics of given lams.

Both functions work in float64 whatever the input precision (float32 input
is widened; its fit and standard errors come back rounded to float32), with
the grid normalised as tarnwold's solvers normalise it, and run their series
over the native selection's own worker pool (built like tarnwold's) without
holding the interpreter lock. Results are the same bits for any thread count
and with ``parallel=False``.

lam weighs divided differences, as tarnwold's solvers do: on a unit grid it
is (d!)**2 times the lam of packages that penalise plain differences
(SciPy's whittaker_henderson, pybaselines, most papers), 4 times for d = 2
and 36 times for d = 3; ``lam = math.factorial(d) ** 2 * lam_plain``.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Literal

import numpy as np

from . import _select
from ._output_grid import output_positions

LAMBDA_OK = 0
"""A minimum inside the grid (refined between its neighbours, or between an
end of the grid and its neighbour)."""
LAMBDA_AT_LOWER = 1
"""The minimum lies at the smallest lam of the grid itself (nothing between it
and the next is lower): the data may want less smoothing."""
LAMBDA_AT_UPPER = 2
"""The minimum lies at the largest lam of the grid itself: the data may want
more smoothing."""
LAMBDA_FLAT = 3
"""The criterion does not vary over the grid, or the data lie in the penalty's
null space (a polynomial of degree d - 1): the largest lam is returned."""
LAMBDA_TOO_FEW = 4
"""At most d + 1 observations: no lam can be chosen (lam is NaN, z is the fit
at the grid's geometric middle)."""
LAMBDA_EMPTY = 5
"""No observation: every result of the series is NaN."""

Criterion = Literal["reml", "gcv", "loocv", "vcurve"]
_CRITERIA = ("reml", "gcv", "loocv", "vcurve")


@dataclasses.dataclass(frozen=True)
class LambdaSelection:
    """What select_lambda found, one entry per series (S series, T points).

    lam: (S,) the selected lam, NaN for the statuses too_few and empty.
    score: (S,) the criterion at lam (for "vcurve", the V-curve speed).
    edf: (S,) effective degrees of freedom, trace of the hat matrix.
    sigma2: (S,) noise variance: Q / (m - d) after "reml", RSS / (m - edf)
        otherwise.
    n_obs: (S,) int64, the number m of points with a finite value and a
        positive weight.
    status: (S,) int8, one of LAMBDA_OK .. LAMBDA_EMPTY.
    z: (S, T) the fit at lam, in the input's dtype ((S, len(x_out)) at
        x_out when given; its derivative with derivative=1 or 2).
    se: (S, T) posterior standard errors sqrt(sigma2 * Sigma_ii), also at
        missing points, in the input's dtype; None unless return_se.
    grid: (G,) the lam grid for weight 1. Series s used grid * grid_scale[s].
    grid_scale: (S,) each series' mean positive weight with the default grid
        (1 with unit weights), 1 with an explicit lam_grid, NaN for empty series.
    scores: (S, G) the criterion on the grid ((S, G - 1) on the grid's
        geometric mid-points for "vcurve"); None unless return_scores.
    """

    lam: np.ndarray
    score: np.ndarray
    edf: np.ndarray
    sigma2: np.ndarray
    n_obs: np.ndarray
    status: np.ndarray
    z: np.ndarray
    se: np.ndarray | None
    grid: np.ndarray
    grid_scale: np.ndarray
    scores: np.ndarray | None


@dataclasses.dataclass(frozen=True)
class LambdaEvaluation:
    """evaluate_lambda's results, one entry per series (S series, T points).

    z: (S, T) the fit, in the input's dtype. edf, rss, roughness (||D z||^2),
    gcv, loocv, reml: (S,) float64. hat: (S, T) float64 leverages w_i Sigma_ii
    (0 where w_i = 0), None unless return_hat. se: (S, T) sqrt(sigma2 *
    Sigma_ii) with sigma2 = Q / (m - d), in the input's dtype, None unless
    return_se. A series without observations gives NaN throughout. With
    x_out, z and se are (S, len(x_out)) and hat stays on x; with derivative,
    z holds the derivative.
    """

    z: np.ndarray
    edf: np.ndarray
    rss: np.ndarray
    roughness: np.ndarray
    gcv: np.ndarray
    loocv: np.ndarray
    reml: np.ndarray
    hat: np.ndarray | None
    se: np.ndarray | None


def _series_inputs(x, y_st, w_base_st):
    """The grid, series and base weights as aligned C-contiguous float64 (masked
    entries of a masked array as missing: NaN values, zero weights), with
    the input's dtype in native byte order; ValueError/TypeError for what
    the selection cannot take."""
    y = np.asarray(y_st)
    # Byte order aside: FITS and other big-endian files hand out '>f8'.
    if y.dtype.kind != "f" or y.dtype.itemsize not in (4, 8):
        raise TypeError("y_st must be a float32 or float64 array")
    if y.ndim != 2:
        raise ValueError("y_st shape must be (S,T) with T=len(x)")
    grid = np.require(x, np.float64, "CA")
    if grid.ndim != 1 or grid.shape[0] != y.shape[1]:
        raise ValueError("y_st shape must be (S,T) with T=len(x)")
    values = _filled(y_st, np.nan)
    weights = None
    if w_base_st is not None:
        weights = _filled(w_base_st, 0.0)
        if weights.shape != values.shape:
            raise ValueError("w_base_st must match y_st shape")
        if not (np.all(weights >= 0) and np.all(np.isfinite(weights))):
            raise ValueError("w_base_st must be finite and >= 0")
    return grid, values, weights, y.dtype.newbyteorder("=")


def _filled(array, missing):
    """`array` as C-contiguous float64, with the masked entries of a masked
    array set to `missing`: np.asarray would keep the fill values under the
    mask (a -9999 taken for data)."""
    if isinstance(array, np.ma.MaskedArray):
        return np.require(np.ma.filled(array.astype(np.float64), missing), np.float64, "CA")
    # Aligned too: a view of bytes at an odd offset is contiguous but cannot
    # be read as doubles.
    return np.require(array, np.float64, "CA")


def _check_parameters(ridge, eps, gamma):
    """The selection needs a positive definite system and a meaningful
    penalty on the EDF: a negative ridge or a non-positive gamma would only
    select from rounding noise. A ridge of None is chosen per series, by the
    native selection."""
    if ridge is not None and not (math.isfinite(ridge) and ridge >= 0):
        raise ValueError("ridge must be finite and >= 0")
    if not (math.isfinite(eps) and eps >= 0):
        raise ValueError("eps must be finite and >= 0")
    if not (math.isfinite(gamma) and gamma > 0):
        raise ValueError("gamma must be finite and > 0")
    return None if ridge is None else float(ridge), float(eps), float(gamma)


def _check_order(d: int, length: int) -> int:
    if isinstance(d, bool) or not isinstance(d, (int, np.integer)):
        raise TypeError("d must be an integer")
    if not 1 <= d < length:
        raise ValueError("d must be at least 1 and less than len(x)")
    return int(d)


def _check_derivative(derivative: int, return_se: bool) -> int:
    if isinstance(derivative, bool) or not isinstance(derivative, (int, np.integer)) or derivative not in (0, 1, 2):
        raise ValueError("derivative must be 0, 1 or 2")
    if derivative and return_se:
        # Standard errors of the fit next to a derivative would pass for the
        # derivative's own.
        raise ValueError("return_se gives the fit's standard errors: ask for them with derivative=0")
    return int(derivative)


def select_lambda(
    x: np.ndarray,
    y_st: np.ndarray,
    w_base_st: np.ndarray | None = None,
    *,
    d: int = 2,
    criterion: Criterion = "reml",
    lam_grid: np.ndarray | None = None,
    refine: bool = True,
    gamma: float = 1.0,
    ridge: float | None = None,
    normalize: str | None = "mean",
    eps: float = 1e-10,
    return_se: bool = False,
    return_scores: bool = False,
    parallel: bool = True,
    x_out: np.ndarray | None = None,
    derivative: int = 0,
) -> LambdaSelection:
    """Chooses lam for every series by minimising a criterion.

    criterion: "reml" (restricted likelihood), "gcv" (generalised
    cross-validation, m * RSS / (m - gamma * edf)^2), "loocv" (exact
    leave-one-out error) or "vcurve" (speed of the curve of log RSS against log
    roughness). The criterion is evaluated on lam_grid (an increasing array of
    at least 3 positive values) or, by default, on a grid from the lam that
    halves a wave of period 2 samples to the one for 2T samples, at most half
    a decade apart (a decade for "reml"), times the series' mean positive
    weight. Ties go to the largest lam; the minimum is refined in log lam
    between its grid neighbours, or from an end of the grid towards its
    neighbour, to about 5e-4 decade, and stays at the end (LAMBDA_AT_LOWER,
    LAMBDA_AT_UPPER) only when nothing inside is lower. REML's slope in log
    lam comes with each of its values: its refinement starts in the grid
    step whose ends' slopes hold a minimum (the lowest such one, so that a
    minimum between two points above the grid's lowest is still found) and
    takes cubic steps through values and slopes, typically two or three
    (about 16 evaluations in all for T = 365, d = 2, against 30 half a decade
    apart); the other criteria use Brent's search, at most 7 steps. With
    refine=False the grid minimum is returned as it is, at_lower or at_upper
    at an end.
    See LambdaSelection for the results and LAMBDA_OK .. LAMBDA_EMPTY for the
    statuses.

    x: the positions, strictly increasing and finite, each more than 1e-4 of
    x's mean spacing from its neighbours. Closer positions (two sources'
    timestamps merged a rounding step apart, say) make the divided
    differences across them so large that the system cannot be solved to
    any useful digit: they raise ValueError naming them. Average their
    observations at one position (the base weights summed), or drop one.

    x_out and derivative: as in evaluate_lambda. The choice of lam is made on
    x alone (the criteria do not change); then the fit at the selected lam
    (for too_few series at the grid's middle) is computed on the union of x
    and x_out, and z and se come at x_out, se with the selection's sigma2.

    ridge: added to the diagonal of every system. By default 0 for a series
    with at least d observations, the first and last position of x among
    them: its system is positive definite without one, and a ridge would
    pull the fit towards 0 where the data hold it little (beyond x's range,
    at x_out, the fit is continued from within whatever the ridge). 1e-10
    for the others:
    missing values at an end of x are solved as part of the system, which
    without a ridge loses the polynomial there to rounding when the run is
    long (see tarnwold_tools._ridge).
    """
    if criterion not in _CRITERIA:
        raise ValueError("criterion must be one of 'reml', 'gcv', 'loocv', 'vcurve'")
    grid_x, values, weights, dtype = _series_inputs(x, y_st, w_base_st)
    order = _check_order(d, grid_x.shape[0])
    ridge, eps, gamma = _check_parameters(ridge, eps, gamma)
    derivative = _check_derivative(derivative, return_se)
    settings = dict(
        d=order, criterion=criterion, refine=bool(refine), gamma=gamma, normalize=normalize, eps=eps,
        return_se=bool(return_se), return_scores=bool(return_scores), parallel=bool(parallel), derivative=derivative,
    )  # fmt: skip
    if x_out is not None:
        settings["x_out"] = output_positions(x_out, np.asarray(x).dtype)
    if lam_grid is not None:
        settings["lam_grid"] = np.atleast_1d(np.array(lam_grid, dtype=np.float64))
    found = _select.select(grid_x, values, weights, ridge=ridge, **settings)
    found["z"] = found["z"].astype(dtype, copy=False)
    if found["se"] is not None:
        found["se"] = found["se"].astype(dtype, copy=False)
    return LambdaSelection(**found)


def evaluate_lambda(
    x: np.ndarray,
    y_st: np.ndarray,
    lam: float | np.ndarray,
    w_base_st: np.ndarray | None = None,
    *,
    d: int = 2,
    ridge: float | None = None,
    normalize: str | None = "mean",
    eps: float = 1e-10,
    gamma: float = 1.0,
    return_hat: bool = False,
    return_se: bool = False,
    parallel: bool = True,
    x_out: np.ndarray | None = None,
    derivative: int = 0,
) -> LambdaEvaluation:
    """The fit and its diagnostics at a given lam: one for every series (a
    scalar) or one per series (an (S,) array). See LambdaEvaluation.

    x: as in select_lambda (strictly increasing, finite, neighbours more
    than 1e-4 of the mean spacing apart).

    x_out: positions to return z and se at (1-D, finite, strictly increasing,
    in x's units). The fit is computed on the union of x and the x_out
    positions within x's range, with zero weight where there is no
    observation, and z and se are (S, len(x_out));
    se grows across gaps. Output positions closer together than x's
    spacing would leave the system too ill-conditioned to keep the fit's
    digits, so the union takes an output position only at least 10^(-3 / d)
    of x's mean spacing after the one it took before (1/32 of it for
    d = 2, 1/10 for d = 3), and 1e-4 of it away from its other points; any
    other output position is read between the union's points, by the
    polynomial of degree d through the d + 1 of them around it (for d = 1
    the line the union fit itself follows there). A minute grid over data
    seen every few days thus gets the fit of a grid of some hours, read at
    every minute. With lam = 0 only observed positions have a fit: z and
    se are NaN at every other one.
    lam keeps its meaning on x: the union is normalised with x's shift and
    scale, and each difference row weighted by the share of x's spacing it
    covers, so a dense x_out smooths like a sparse one (identically for
    d = 1, to the discretisation's accuracy beyond: a daily x_out moves the
    fit at x of a sine seen every 4 to 12 days, lam = 10, by 0.5 % of its
    amplitude with d = 2, 1.4 % with d = 3; on a cloudy year of vegetation
    index, observations clustered between gaps of weeks, up to 2 %). With
    x_out equal to x
    the result is the plain fit, bit for bit. Beyond x's range the fit
    continues as the polynomial of degree d - 1 through the fit at the
    union's first (last) d points: d = 1 constant, d = 2 the straight line,
    d = 3 the parabola. It is read from those points rather than solved
    for, as the system's condition would grow with the distance to the
    power 2d, so a ridge does not bend it (a ridge still acts on the fit
    within x's range). se there adds to that of the polynomial the spread
    the penalty leaves free beyond x, sigma2 / lam times
    (d!)**2 delta**(2d - 1) / ((2d - 1) ((d - 1)!)**2) at delta mean
    spacings (normalised units) beyond x. edf, rss, roughness, the
    criteria and hat stay those of x alone, as without x_out; se uses the
    union fit's own sigma2 = Q / (m - d).

    derivative: 1 or 2 returns, as z, the derivative of the fit along the
    output grid (x_out, else x) in x's units: at each point that of the
    parabola through it and its two neighbours (the first or last three
    points at the ends). Measured on two years of sin(2 pi t / 365) seen
    every 4 to 12 days with two gaps of a month, noise-free, lam = 0.1, the
    first derivative on a daily grid is off by at most 3.8 % (RMS 0.8 %) of
    the true amplitude 2 pi / 365 with d = 2, 0.3 % (RMS 0.05 %) with
    d = 3; with noise of 2 % of the amplitude and lam chosen by REML, d = 2,
    16 % (RMS 5 %). return_se needs derivative=0.
    """
    grid_x, values, weights, dtype = _series_inputs(x, y_st, w_base_st)
    order = _check_order(d, grid_x.shape[0])
    ridge, eps, gamma = _check_parameters(ridge, eps, gamma)
    derivative = _check_derivative(derivative, return_se)
    settings = {} if x_out is None else {"x_out": output_positions(x_out, np.asarray(x).dtype)}
    S = values.shape[0]
    lams = np.require(np.atleast_1d(np.asarray(lam, dtype=np.float64)), np.float64, "CA")
    if lams.ndim != 1 or (np.ndim(lam) == 1 and lams.shape[0] != S) or np.ndim(lam) > 1:
        raise ValueError("lam must be a scalar or an array of shape (S,)")
    if np.ndim(lam) == 0:
        lams = lams[:1]
    found = _select.evaluate(
        grid_x, values, lams, weights, d=order, ridge=ridge, normalize=normalize, eps=eps, gamma=gamma,
        return_hat=bool(return_hat), return_se=bool(return_se), parallel=bool(parallel), derivative=derivative,
        **settings,
    )  # fmt: skip
    found["z"] = found["z"].astype(dtype, copy=False)
    if found["se"] is not None:
        found["se"] = found["se"].astype(dtype, copy=False)
    return LambdaEvaluation(**found)
