"""Benchmark of tarnwold against a per-series SciPy loop and the Whittaker
smoothers on PyPI, on identical seeded data.

    python3 benchmarks/run.py            # full grid, about 20 minutes on idle cores
    python3 benchmarks/run.py --quick    # smoke test, about two minutes
    python3 benchmarks/run.py --selection   # the choice of lam only, a few minutes
    python3 benchmarks/run.py --scaling     # S=1e4..1e6, one and two threads, about 40 minutes

Every measurement runs in a fresh process (measure.py), so the peak memory
of one call is not hidden by an earlier one and the worker pool has the size
asked for. Every ratio a target is judged on comes from a ratio job: the
two sides timed alternately in one fresh process, 7 rounds of the best of 3
calls each, reported as the median of the rounds' ratios and their range
(alternating.py). Writes results/[NAME-]results.md, -throughput.png and -raw.json
and prints the ratios to the SciPy loop and a PASS/FAIL line per target.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import alternating
import methods
import report
import targets

HERE = Path(__file__).resolve().parent
MODES = ("par", "seq")
# The scaling and thread targets compare batches in and out of the caches'
# reach, so each call of theirs starts with the caches emptied: all cores,
# and one thread.
COLD_MODES = ("cold", "1thr cold")

# Largest batch (S*T values) timed in one call: 5e7 values are 400 MB in
# float64, and the robust smoother holds several such matrices at once.
MAX_BATCH_VALUES = 50_000_000
# The per-series loops are timed on at most this many series and values.
MAX_LOOP_SERIES = 20_000
MAX_LOOP_VALUES = 5_000_000
# Rounds of a ratio job, and the calls of each side per round (the best counts).
RATIO_ROUNDS = 7
RATIO_CALLS = 3

FULL = dict(S=(1, 100, 10_000, 100_000), T=(46, 365, 5000), d=(1, 2, 3), missing=(0.05, 0.40),
            budget=0.3)
QUICK = dict(S=(1, 1_000, 10_000), T=(365,), d=(2,), missing=(0.05,), budget=0.1)
# The scaling and thread targets only: whole batches up to 1e6 series (at
# T=365 in float64, 2.9 GB of observations, as much again of fits, and the
# robust smoother's working matrices), with no cap on the values per call.
SCALING = dict(S=targets.SCALING_S, T=targets.SCALING_T, d=(2,), missing=(0.05,), budget=0.3)


def plan(grid):
    """Cases in the order they are run: ascending S within each (T, d, missing),
    so that a loop timed on a subset of series can stand for every larger S."""
    cases = []
    for T in grid["T"]:
        for d in grid["d"]:
            for missing in grid["missing"]:
                sizes = set(grid["S"])
                if (T, d, missing) == (365, 2, 0.05):
                    sizes |= {S for S in targets.SCALING_S if S <= max(grid["S"])}
                for S in sorted(sizes):
                    cases.append(dict(S=S, T=T, d=d, missing=missing))
    if (46, 2, 0.05) not in {(c["T"], c["d"], c["missing"]) for c in cases}:
        cases.insert(0, dict(S=1, T=46, d=2, missing=0.05))
    return cases


def worker_env(threads=None):
    """The measuring processes' environment. The machine's OpenBLAS kernel
    overrides are dropped there (and only there) so that SciPy runs the
    kernel a user would get; BLAS is pinned to one thread, since the loops
    run one small banded solve at a time and must not compete with
    tarnwold's workers for the two cores.

    The timed calls run in steady state: glibc keeps freed memory for reuse
    (no mmap per large block, no trimming of the heap), so every call after
    the first finds its outputs' pages mapped. By default a call returning
    one (S,T) array reused the last call's memory while one returning two,
    or a larger one, got fresh pages each time, whose first touch (zeroing,
    and on a virtual machine the host backing them: up to 6 s for 2.9 GB
    here) then dominated the figure. The first call, whose peak memory is
    measured, still starts from a trimmed heap."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "RAYON_NUM_THREADS",
                        "RAYON_RS_NUM_CPUS")}
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1",
               MALLOC_MMAP_THRESHOLD_=str(1 << 62), MALLOC_TRIM_THRESHOLD_=str(1 << 62))
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    return env


def busy_cpu_seconds():
    """CPU time the whole machine has spent busy since boot (all cores)."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:]]
    idle = ticks[3] + ticks[4]  # idle and iowait
    return (sum(ticks[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_worker(job, threads=None):
    """Runs one measurement; adds "others", the cores that other processes of
    the machine kept busy meanwhile, since two threads can only beat one on
    cores that nothing else is using."""
    busy, own, start = busy_cpu_seconds(), children_cpu_seconds(), time.monotonic()
    proc = subprocess.run([sys.executable, str(HERE / "measure.py"), json.dumps(job)],
                          env=worker_env(threads), capture_output=True, text=True)
    others = ((busy_cpu_seconds() - busy) - (children_cpu_seconds() - own)) / \
        max(time.monotonic() - start, 1e-9)
    if proc.returncode != 0 or not proc.stdout.strip():
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"exit {proc.returncode}: {tail}"}
    return dict(json.loads(proc.stdout.strip().splitlines()[-1]), others=max(others, 0.0))


class Runner:
    def __init__(self, budget, max_batch_values=MAX_BATCH_VALUES):
        self.budget = budget
        self.max_batch_values = max_batch_values
        self.records = []
        self.unavailable = {}   # peer -> reason, once it failed to import
        self._batch_done = {}   # same series actually measured -> result
        self._loop_subset = {}  # (method, T, d, missing) -> result timed on a subset
        self.count = 0
        self.start = time.monotonic()

    def measure(self, case, method, mode):
        S, T = case["S"], case["T"]
        record = dict(case, method=method, mode=mode)
        if method in self.unavailable:
            record["skipped"] = self.unavailable[method]
            return self._keep(record)
        job = dict(case, method=method, budget=self.budget, parallel=mode != "seq",
                   cold=mode in COLD_MODES)
        if methods.timed_by_batch(method):
            job["n_max"] = min(S, self.max_batch_values // T)
            key = (method, mode, job["n_max"], T, case["d"], case["missing"])
            result = self._batch_done.get(key)
            if result is None:
                result = run_worker(job, threads=1 if mode == "1thr cold" else None)
                self._batch_done[key] = result
        else:
            job["n_max"] = min(S, MAX_LOOP_SERIES, MAX_LOOP_VALUES // T)
            key = (method, T, case["d"], case["missing"])
            result = self._loop_subset.get(key)
            if result is None:
                result = run_worker(job)
                if "n" in result and result["n"] < S:
                    self._loop_subset[key] = result
        record.update(result)
        if "skipped" in result and result["skipped"].startswith("ImportError"):
            self.unavailable[method] = result["skipped"]
        if "best_s" in result:
            itemsize = methods.dtype_of(method)().itemsize
            record["rate"] = result["n"] / result["best_s"]
            record["subset"] = result["n"] < S
            record["mem_units"] = result["peak_above_bytes"] / (result["n"] * T * itemsize)
        return self._keep(record)

    def _keep(self, record):
        self.records.append(record)
        self.count += 1
        print(f"[{self.count:4d} {time.monotonic() - self.start:6.0f}s] "
              f"{report.case_label(record)} {method_label(record)}: {report.cell(record)}",
              flush=True)
        return record

    def ratio(self, a, b):
        """Per-round ratios of side a's rate to side b's (sides as targets.side
        makes them), both timed in one process on the series their rates were."""
        sides = []
        for S, T, d, missing, method, mode in (a, b):
            r = next(r for r in self.records if (r["S"], r["T"], r["d"], r["missing"], r["method"],
                                                 r["mode"]) == (S, T, d, missing, method, mode))
            sides.append(dict(T=T, d=d, missing=missing, method=method, mode=mode, n=r["n"]))
        job = dict(method="ratio", sides=sides, rounds=RATIO_ROUNDS, calls=RATIO_CALLS,
                   cold=a[5] in COLD_MODES)
        result = run_worker(job)
        self.count += 1
        label = f"{method_label(dict(method=a[4], mode=a[5]))} / {method_label(dict(method=b[4], mode=b[5]))}"
        figure = alternating.spread(result["ratios"]) if "ratios" in result else result.get("error")
        print(f"[{self.count:4d} {time.monotonic() - self.start:6.0f}s] "
              f"S={a[0]}/{b[0]} T={a[1]} d={a[2]} {a[3]:.0%} missing {label}: {figure}", flush=True)
        return result.get("ratios")


def measured_ratios(runner):
    """Runs a ratio job for every pair a target asks for whose two sides were
    measured (a --quick run lacks some)."""
    wanted = targets.Results(runner.records)
    targets.check_all(wanted)
    ratios = {}
    for a, b in wanted.wanted:
        if wanted.get(*a) and wanted.get(*b):
            ratios[(a, b)] = runner.ratio(a, b)
    return {pair: r for pair, r in ratios.items() if r}


def method_label(record):
    return record["method"] + (f" {record['mode']}" if record["mode"] else "")


def print_ratios(case_records):
    by = {(r["method"], r["mode"]): r.get("rate") for r in case_records}
    parts = []
    for method in methods.BATCH:
        loop = by.get(("scipy_" + method[-3:], None))
        fast = by.get((method, "par"))
        if loop and fast:
            parts.append(f"{method} {fast / loop:.1f}x")
    for peer in ("whittaker_eilers", "pybaselines", "vam"):
        loop, rate = by.get(("scipy_f64", None)), by.get((peer, None))
        if loop and rate:
            parts.append(f"{peer} {rate / loop:.2f}x")
    if parts:
        print("      ratio to the SciPy loop: " + ", ".join(parts), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a few cases with short timings, for smoke testing")
    parser.add_argument("--selection", action="store_true",
                        help="only select_lambda and evaluate_lambda against whittaker_solve_f64, "
                             "at S=1e4, T=365, d=2, 5 %% missing")
    parser.add_argument("--scaling", action="store_true",
                        help="only the four batch functions at S=1e4, 1e5, 1e6 (T=46 and 365, d=2, "
                             "5 %% missing), with all cores and with one thread, the caches emptied "
                             "before each call")
    parser.add_argument("--name", default=None,
                        help="prefix of the result files (default: none; 'quick' with --quick)")
    parser.add_argument("--out", type=Path, default=HERE / "results",
                        help="directory for the results (default: benchmarks/results)")
    args = parser.parse_args()
    grid = QUICK if args.quick else SCALING if args.scaling else FULL
    name = args.name if args.name is not None else ("quick" if args.quick else "selection" if args.selection
                                                     else "scaling" if args.scaling else "")

    load_before = os.getloadavg()
    commit = report.git_commit(HERE)
    env_info = run_worker({"method": "environment"})
    print("environment:", json.dumps(env_info), flush=True)
    runner = Runner(grid["budget"], max(S * T for S in grid["S"] for T in grid["T"]) if args.scaling
                    else MAX_BATCH_VALUES)
    for case in [dict(S=10_000, **targets.FOCUS)] if args.selection else plan(grid):
        if args.selection:
            runner.measure(case, "solve_f64", "par")
            for method in methods.SELECTION:
                runner.measure(case, method, "par")
            continue
        case_records = []
        if args.scaling:
            for method in methods.BATCH:
                for mode in COLD_MODES:
                    case_records.append(runner.measure(case, method, mode))
            continue
        for method in methods.BATCH:
            for mode in MODES:
                case_records.append(runner.measure(case, method, mode))
            if case["S"] in targets.SCALING_S and case["T"] in targets.SCALING_T and \
                    (case["d"], case["missing"]) == (targets.FOCUS["d"], targets.FOCUS["missing"]):
                for mode in COLD_MODES:
                    case_records.append(runner.measure(case, method, mode))
        for method in methods.LOOPS:
            case_records.append(runner.measure(case, method, None))
        if case == dict(S=10_000, **targets.FOCUS):
            for method in [*methods.SELECTION, *methods.ROBUST_VARIANTS]:
                case_records.append(runner.measure(case, method, "par"))
        print_ratios(case_records)
    ratios = measured_ratios(runner)
    meta = dict(environment=env_info, quick=args.quick, budget=grid["budget"],
                load_before=load_before, load_after=os.getloadavg(),
                others_mean=statistics.fmean(r["others"] for r in runner.records if "others" in r),
                seconds=time.monotonic() - runner.start, commit=commit,
                max_batch_values=MAX_BATCH_VALUES, max_loop_series=MAX_LOOP_SERIES,
                max_loop_values=MAX_LOOP_VALUES)
    checks = targets.check_all(targets.Results(runner.records, ratios), env_info.get("copy_gbs"))
    meta["ratios"] = [dict(a=a, b=b, ratios=r) for (a, b), r in ratios.items()]
    paths = report.write_all(args.out, name, runner.records, checks, meta)
    print()
    for title, figure, verdict in checks:
        print(f"{verdict:4s}  {title}: {figure}")
    print()
    for path in paths:
        print("wrote", path)


if __name__ == "__main__":
    main()
