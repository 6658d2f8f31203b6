"""What smooth() and the command line are asked for, as one checked request:
the method, the kind of lam, the output grid, the derivative, what comes
back beside the fit, and what happens outside the observations. The table
REFUSALS lists every combination that means nothing, with the reason; both
entry points build their requests through make_request, which applies it."""

import dataclasses
import math

import numpy as np

from ._ridge import FALLBACK_RIDGE
from ._smoothing import CRITERIA

# The lam of the module's smoothers when none is given.
MODULE_LAM = 10.0
# The defaults the module's robust smoother has and tarnwold_tools.robust
# has not: a robust fit at a given lam is the same whichever of them runs.
MODULE_ROBUST_DEFAULTS = {"iterations": 1, "ridge": FALLBACK_RIDGE}


@dataclasses.dataclass(frozen=True)
class Request:
    """One call of smooth() or of the command line.

    lam: a number, a criterion, or None: the module's default (method
    "whittaker" or "robust"), or one lam per series (per_series), which the
    caller hands to the dispatcher beside the data. lam_min: the smallest
    lam given (None for a criterion or lam left out). other_grid: the fit is
    returned on x_out (or the command line's grid) rather than on the
    observations' positions; x_out holds those positions once they are known.
    options: the method's options other than lam, passed on unchanged.
    max_gap: in the units of the positions (days for dates), or None.
    """

    method: str
    lam: float | str | None
    per_series: bool
    lam_min: float | None
    other_grid: bool
    derivative: int
    return_weights: bool
    return_diagnostics: bool
    return_se: bool
    dtype: np.dtype
    extrapolate: bool
    max_gap: float | None
    options: dict
    x_out: np.ndarray | None = None

    @property
    def criterion(self):
        return self.lam if isinstance(self.lam, str) else None

    @property
    def resampled(self):
        """Whether the fit leaves the observations' positions: another grid, or a rate."""
        return self.other_grid or self.derivative != 0

    @property
    def on_module(self):
        """Whether the module's own smoother gives the fit (in float32 too):
        a given lam, on the positions, without diagnostics."""
        return self.method != "envelope" and self.criterion is None and not self.resampled and not self.return_diagnostics

    @property
    def diagnostics(self):
        """The names of the per-series (and, for se, per-position) results
        beside the fit: the status of a choice only where lam was chosen, the
        passes of the reweighting methods."""
        if not self.return_diagnostics:
            return ()
        names = ("lam", "edf") + (("status",) if self.criterion else ())
        names += ("iterations",) if self.method != "whittaker" else ()
        return names + (("se",) if self.return_se else ())


def _float32(r):
    return r.dtype == np.float32


# (predicate, reason): every combination a request refuses. The reasons name
# the arguments through the entry point's own words (`names`, see refusal).
REFUSALS = (
    (lambda r: r.method == "whittaker" and r.return_weights,
     "{return_weights} needs {robust} or {envelope}: the plain smoother's weights are the base weights as given"),
    (lambda r: r.return_se and not r.return_diagnostics, "{return_se} needs {return_diagnostics}"),
    (lambda r: r.return_se and r.derivative != 0,
     "{return_se} gives the fit's standard errors: ask for them with derivative=0"),
    (lambda r: r.return_se and r.method == "envelope",
     "{return_se} does not apply to {envelope}: its weights say on which side of the fit a value lies, "
     "not how precise it is"),
    (lambda r: _float32(r) and r.method == "envelope", "{envelope} computes in float64; {dtype} does not apply"),
    (lambda r: _float32(r) and r.criterion is not None, "{criterion} selects in float64; {dtype} does not apply"),
    (lambda r: _float32(r) and r.resampled, "{grid} computes in float64; {dtype} does not apply"),
    (lambda r: _float32(r) and r.return_diagnostics, "{return_diagnostics} computes in float64; {dtype} does not apply"),
    # The module's default lam would pass unnoticed; at lam = 0 the fit has
    # no rate and nothing between the observations.
    (lambda r: r.resampled and ((r.lam is None and not r.per_series) or r.lam_min == 0),
     "{grid} needs {lam}, a number > 0 or a criterion"),
    # The choice of lam models every position as it is (the positions are
    # strictly increasing, so none coincide): there is nothing to merge.
    (lambda r: r.method == "robust" and "merge_x_tol" in r.options and r.criterion is not None,
     "{merge_x_tol} does not apply with {criterion}: robust smoothing with lam chosen fits every series on its "
     "positions as they are, without merging"),
    (lambda r: r.method == "robust" and "merge_x_tol" in r.options and r.criterion is None and r.resampled,
     "{merge_x_tol} does not apply with {grid}: robust smoothing there fits every series on its positions as they "
     "are, without merging"),
    (lambda r: r.method == "robust" and "merge_x_tol" in r.options and r.criterion is None and r.return_diagnostics,
     "{merge_x_tol} does not apply with {return_diagnostics}: robust smoothing with diagnostics fits every series on "
     "its positions as they are, without merging"),
)


def refusal(request, names):
    """The reason `request` means nothing, in the words of `names`, or None."""
    for applies, reason in REFUSALS:
        if applies(request):
            return reason.format(**names)
    return None


def make_request(method, lam, *, per_series_lams=None, other_grid, derivative, return_weights, return_diagnostics,
                 return_se, dtype, extrapolate, max_gap, options, names):
    """The checked Request of a known `method` (see check_options);
    ValueError with the reason for a combination REFUSALS lists, for a lam
    that is no number >= 0 or criterion, and for a derivative other than 0,
    1 or 2. `lam`: as given (None when left
    out); `per_series_lams`: the values when one lam per series is given
    (their shape is the caller's to check). `max_gap`: checked, in the
    positions' units (see gap_in_units)."""
    if isinstance(derivative, bool) or not isinstance(derivative, (int, np.integer)) or derivative not in (0, 1, 2):
        raise ValueError("derivative must be 0, 1 or 2")
    lam_min = None
    if per_series_lams is not None:
        lams = np.asarray(per_series_lams, dtype=np.float64)
        if lams.size and not np.all(np.isfinite(lams) & (lams >= 0)):
            raise ValueError("lam must be finite and >= 0 for every series")
        lam, lam_min = None, float(lams.min()) if lams.size else None
    elif isinstance(lam, str):
        if lam not in CRITERIA:
            raise ValueError(f"lam must be a number or one of 'reml', 'gcv', 'loocv', 'vcurve', not {lam!r}")
    elif lam is not None:
        if isinstance(lam, bool) or np.ndim(lam) != 0 or not isinstance(lam, (int, float, np.integer, np.floating)):
            raise ValueError("lam must be a finite number >= 0, one per series, or one of 'reml', 'gcv', 'loocv', "
                             "'vcurve'")
        if not (math.isfinite(lam) and lam >= 0):
            raise ValueError("lam must be a finite number >= 0 or one of 'reml', 'gcv', 'loocv', 'vcurve'")
        lam = lam_min = float(lam)
    elif method == "envelope":
        lam = "reml"
    request = Request(method=method, lam=lam, per_series=per_series_lams is not None, lam_min=lam_min,
                      other_grid=bool(other_grid), derivative=int(derivative), return_weights=bool(return_weights),
                      return_diagnostics=bool(return_diagnostics), return_se=bool(return_se), dtype=np.dtype(dtype),
                      extrapolate=bool(extrapolate), max_gap=max_gap, options=dict(options))  # fmt: skip
    reason = refusal(request, dict(names, criterion=names["criterion"].format(lam=lam)))
    if reason is not None:
        raise ValueError(reason)
    return request


def gap_in_units(max_gap, dated):
    """max_gap as a length in the positions' units: a number as it is; on
    dates (days) also a numpy timedelta64 or a pandas Timedelta or its text
    ("30D", "12h"). None stays None."""
    if max_gap is None:
        return None
    if isinstance(max_gap, (bool, np.bool_)):
        raise TypeError("max_gap must be a number or, on dates, a time span such as '30D'")
    # numpy's timedelta64 counts as an integer, though its unit is no position's.
    if isinstance(max_gap, (int, float, np.integer, np.floating)) and not isinstance(max_gap, np.timedelta64):
        length = float(max_gap)
    elif not dated:
        raise TypeError(f"max_gap must be a number in the units of the positions, not {max_gap!r}")
    else:
        import pandas as pd

        try:
            length = pd.Timedelta(max_gap) / pd.Timedelta(days=1)
        except (ValueError, TypeError):
            raise ValueError(f"max_gap must be a time span such as '30D' or '12h', not {max_gap!r}") from None
    if not (math.isfinite(length) and length > 0):
        raise ValueError(f"max_gap must be a positive length, not {max_gap!r}")
    return length
