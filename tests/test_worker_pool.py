"""Sizing and lifetime of the process-wide worker pool.

The pool is created once per process and sized from the environment at that
moment, so every case runs in a fresh interpreter. Worker threads are counted
in /proc/self/task; the count is taken relative to the threads that exist
after importing numpy and tarnwold (a BLAS library may start its own).
"""

import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc/self/task")

CHILD = r"""
import json, os, sys
import numpy as np
def threads():
    return len(os.listdir("/proc/self/task"))
numpy_only = threads()
import tarnwold
import tarnwold_tools
report = {"import": threads() - numpy_only}
base = threads()
x = np.linspace(0.0, 30.0, 25)
y = np.sin(np.arange(500 * 25).reshape(500, 25) / 7.0)
y[::3, 4] = np.nan
solve = tarnwold.whittaker_solve_f64
for mode in sys.argv[1:]:
    if mode == "sequential":
        solve(x, y, parallel=False)
    elif mode == "one":
        solve(x, y[:1], parallel=True)
    elif mode == "none":
        solve(x, y[:0], parallel=True)
    elif mode == "parallel":
        z = solve(x, y, parallel=True)
        report["equal"] = bool(np.array_equal(z, solve(x, y, parallel=False), equal_nan=True))
    elif mode == "select":
        tarnwold_tools.select_lambda(x, y, parallel=True)
    elif mode == "reset-env":
        os.environ["RAYON_NUM_THREADS"] = "1"
    elif mode == "limit-address-space":
        # Room for a few thread stacks only: the pool cannot start.
        import re, resource
        with open("/proc/self/status") as f:
            size = int(re.search(r"VmSize:\s+(\d+)", f.read()).group(1)) * 1024
        unlimited = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), unlimited[1]))
    elif mode == "unlimit-address-space":
        resource.setrlimit(resource.RLIMIT_AS, unlimited)
    elif mode == "attempt":
        try:
            solve(x, y, parallel=True)
            outcome = "ok"
        except BaseException as error:
            outcome = f"{type(error).__name__}: {str(error).split(':')[0]}"
        report.setdefault("attempts", []).append([outcome, threads() - base])
    report[mode] = threads() - base
print(json.dumps(report))
"""


def run_child(env_vars, *modes):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_vars)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    done = subprocess.run([sys.executable, "-c", CHILD, *modes], env=env, capture_output=True,
                          text=True, timeout=120, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


DEFAULT = os.cpu_count() or 1


@pytest.mark.parametrize(
    "env,workers",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+2"}, 2),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, DEFAULT),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "+3"}, 3),
        ({}, DEFAULT),
        ({"RAYON_RS_NUM_CPUS": "0"}, DEFAULT),
    ],
)
def test_pool_size_from_environment(env, workers):
    report = run_child(env, "parallel")
    assert report["parallel"] == workers
    assert report["equal"]


# New threads after each step. The pool is created once, at its first size
# (later environment changes are not read), and both native modules share it:
# a parallel call of either starts it, and one of the other adds no thread.
@pytest.mark.parametrize(
    "modes,threads",
    [
        (("sequential", "one", "none", "parallel", "reset-env", "parallel"),
         {"import": 0, "sequential": 0, "one": 0, "none": 0, "parallel": 3}),
        (("parallel", "select"), {"parallel": 3, "select": 3}),
        (("sequential", "select", "parallel"), {"sequential": 0, "select": 3, "parallel": 3}),
    ],
)
def test_one_pool_per_process_created_by_the_first_parallel_loop(modes, threads):
    report = run_child({"RAYON_NUM_THREADS": "3"}, *modes)
    assert {step: report[step] for step in threads} == threads


def test_single_worker_matches_sequential():
    report = run_child({"RAYON_NUM_THREADS": "1"}, "parallel")
    assert report["parallel"] == 1 and report["equal"]


# The system refuses threads after a few (the address space cannot hold more
# stacks; a limit on processes would not bind root). The threads already
# started are released and no pool is kept: every parallel call under the
# limit fails at once, sequential calls keep working, and the first parallel
# call after the limit is lifted starts the pool.
@pytest.mark.skipif(bool(os.environ.get("TARNWOLD_SANITIZER")),
                    reason="the sanitizers' shadow memory does not fit an address-space limit")
def test_pool_that_cannot_start_is_started_again_once_threads_can_be_had():
    report = run_child({"RAYON_NUM_THREADS": "64"}, "limit-address-space", "attempt", "attempt", "sequential",
                       "unlimit-address-space", "attempt", "attempt")
    fault = ["InternalFault: could not start the worker threads", 0]
    assert report["attempts"] == [fault, fault, ["ok", 64], ["ok", 64]]
    assert report["sequential"] == 0
