"""Ratios of two speeds that survive a drifting machine.

Speed here drifts by up to 2x for tens of seconds, so a ratio of two rates
measured minutes apart says as much about the drift as about the code. Each
round times the two sides one right after the other (the best of a few calls
each, so that a stray wake-up does not count), which exposes both to the
same state of the machine; the figure is the median of the rounds' ratios,
with their range beside it.
"""

import statistics
import time


def best_seconds(call, calls, before=None):
    """The fastest of `calls` calls; before, if given, runs untimed before each."""
    best = float("inf")
    for _ in range(calls):
        if before is not None:
            before()
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def ratio_rounds(side_a, side_b, rounds=7, calls=3, before=None):
    """Per-round ratios of side_a's speed to side_b's: side_b's best seconds
    over side_a's, the two timed alternately (a first, then b) in each round."""
    ratios = []
    for _ in range(rounds):
        seconds_a = best_seconds(side_a, calls, before)
        seconds_b = best_seconds(side_b, calls, before)
        ratios.append(seconds_b / seconds_a)
    return ratios


def spread(ratios, digits=2, suffix="x"):
    """'median (range lo-hi)' of per-round ratios."""
    lo, hi = min(ratios), max(ratios)
    return f"{statistics.median(ratios):.{digits}f}{suffix} (range {lo:.{digits}f}-{hi:.{digits}f})"
