"""Speed of tarnwold_tools.robust with lam chosen per series, against the
plain solve of the same series in the same run.

    python benchmarks/robust_speed.py [--series 10000] [--rounds 5]

Series from data.series (the seasonal curves with dips), 5 % missing,
d = 2, T = 365 and 46. Each round times whittaker_solve_f64 at lam = 10 and
robust(lam="reml", iterations=4) one after the other on the same series,
so that a busy machine slows both alike (the solve's fastest of three
calls); reported: the median over rounds
of robust's series rate over the solve's, and its range.
"""

import argparse
import time

import numpy as np

import tarnwold
import tarnwold_tools as tt
from data import irregular_grid, series


def seconds(function, *args, **kwargs):
    start = time.perf_counter()
    function(*args, **kwargs)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for T in (365, 46):
        x = irregular_grid(T)
        y = series(args.series, T, 0.05, np.float64)
        ratios = []
        for _ in range(args.rounds):
            # The solve is short enough for a stray wake-up to double it:
            # the fastest of three.
            solve = min(seconds(tarnwold.whittaker_solve_f64, x, y, lam=10.0) for _ in range(3))
            robust = seconds(tt.robust, x, y, lam="reml", iterations=4)
            ratios.append(solve / robust)
        ratios = np.array(ratios)
        print(f"T = {T}, S = {args.series}: robust's rate / the solve's = 1/{1 / np.median(ratios):.1f} "
              f"(rounds 1/{1 / ratios.max():.1f} .. 1/{1 / ratios.min():.1f}); "
              f"robust {args.series / robust:.0f} series/s in the last round")  # fmt: skip


if __name__ == "__main__":
    main()
