"""Time per call of small batches, where reusing scratch and waking the
workers cost as much as the arithmetic.

    python3 benchmarks/small_batches.py [--rounds 7] [--threads 2] [--lone-driver PATH]

Each round runs every case in a fresh process (the pool has the size asked
for and no earlier case warmed it) and takes the median of many back-to-back
calls; the report gives, per case, the median over rounds in microseconds.
Compare two builds by running this on each under the same load.

A lone series (S=1, T=46) is set against what it cannot avoid: a bare
build_pb_f64 call on its grid and the one-lane solve timed in C++ by the
driver benchmarks/cpp/lone_series.cpp (configure with
-DTARNWOLD_BUILD_BENCHMARKS=ON and pass the built program as --lone-driver).
The driver runs in every round right after the round's cases, so that the
ratio is taken per round, its sides timed alternately like every ratio of
benchmarks/ (alternating.py; a side here is the median of many calls of a
few microseconds, not the best of three), and reported as the median of
the rounds with its range.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

from alternating import spread

HERE = Path(__file__).resolve().parent
CASES = [(1, 46), (2, 5000), (100, 365)]
FUNCTIONS = ("solve_f64", "robust_f64", "build_pb_f64")

CHILD = r"""
import json, sys, time
import numpy as np
import tarnwold
import data

S, T, name, parallel = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4] == "par"
x = data.irregular_grid(T)
y = data.series(S, T, 0.05, np.float64)
if name == "solve_f64":
    call = lambda: tarnwold.whittaker_solve_f64(x, y, lam=10.0, parallel=parallel)
elif name == "build_pb_f64":
    call = lambda: tarnwold.build_pb_f64(x, 2)
else:
    call = lambda: tarnwold.robust_whittaker_irls_f64(x, y, lam=10.0, iterations=4, parallel=parallel)
for _ in range(20):
    call()
times = []
deadline = time.perf_counter() + 0.5
while time.perf_counter() < deadline or len(times) < 50:
    t0 = time.perf_counter()
    call()
    times.append(time.perf_counter() - t0)
print(json.dumps(float(np.median(times))))
"""


def one(S, T, name, mode, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", CHILD, str(S), str(T), name, mode], env=env,
                          capture_output=True, text=True, cwd=HERE, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--lone-driver", default=None, help="the built lone_series timing program")
    args = parser.parse_args()
    # The band depends on the grid alone: one mode, and only where it is the
    # lone series' reference.
    keys = [(S, T, name, mode) for S, T in CASES for name in FUNCTIONS for mode in ("seq", "par")
            if name != "build_pb_f64" or (S == 1 and mode == "par")]
    samples = {key: [] for key in keys}
    lone_solves = []
    for _ in range(args.rounds):
        for key in keys:
            samples[key].append(one(*key, args.threads))
        if args.lone_driver:
            lone_solves.append(lone_solve_seconds(args.lone_driver))
    for key, values in samples.items():
        S, T, name, mode = key
        print(f"S={S:<4d} T={T:<5d} {name:12s} {mode}: {statistics.median(values) * 1e6:9.2f} us "
              f"(rounds {', '.join(f'{v * 1e6:.1f}' for v in values)})", flush=True)
    if lone_solves:
        lone_series_target(samples, lone_solves)


def lone_solve_seconds(driver):
    """The C++ one-lane solve of a lone series (T=46, d=2), in seconds."""
    lines = subprocess.run([driver, "46", "2"], capture_output=True, text=True, check=True).stdout
    return float(re.search(r"one-lane solve .*: ([0-9.]+) ns", lines).group(1)) * 1e-9


def lone_series_target(samples, lone_solves):
    """A lone series' call against a bare band build plus the C++ one-lane
    solve, round by round."""
    bands = samples[(1, 46, "build_pb_f64", "par")]
    calls = samples[(1, 46, "solve_f64", "par")]
    ratios = [call / (band + solve) for call, band, solve in zip(calls, bands, lone_solves)]
    print(f"lone series S=1, T=46: whittaker_solve_f64 {statistics.median(calls) * 1e6:.2f} us vs build_pb_f64 "
          f"{statistics.median(bands) * 1e6:.2f} us + one-lane solve {statistics.median(lone_solves) * 1e6:.2f} us: "
          f"{spread(ratios)} (target <= 1.5x)", flush=True)


if __name__ == "__main__":
    start = time.monotonic()
    main()
    print(f"{time.monotonic() - start:.0f} s")
