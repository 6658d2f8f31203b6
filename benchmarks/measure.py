"""One measurement in a fresh process: peak memory of the first call, then
series per second. Run by run.py as `python measure.py '<json job>'`; prints
one JSON object. A ratio job times two methods alternately in this one
process (alternating.py) and returns the per-round ratios of their rates.

Peak memory is resident memory, since tarnwold allocates in C++ where
tracemalloc sees nothing. Linux resets the high-water mark on writing 5 to
/proc/self/clear_refs, so the peak is taken from the inputs alone, after
whatever building them cost; without that reset ru_maxrss is used, which
can only overstate the peak.
"""

import ctypes
import json
import os
import re
import resource
import sys
import time

import numpy as np

import alternating
import data
import methods


def _status_kib(field):
    with open("/proc/self/status") as f:
        return int(re.search(field + r":\s+(\d+)", f.read()).group(1))


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _release_free_heap():
    """Hands memory freed by earlier calls back to the system, so that a call
    reusing it shows up in the peak (glibc keeps freed blocks resident)."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_above(call):
    """(result, seconds, bytes of resident memory above the state before the call)."""
    _release_free_heap()
    before = _status_kib("VmRSS")
    exact = _reset_peak()
    t0 = time.perf_counter()
    out = call()
    seconds = time.perf_counter() - t0
    if exact:
        peak = _status_kib("VmHWM")
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return out, seconds, (peak - before) * 1024


def cache_evictor():
    """A function that leaves none of the caller's data in the caches: it
    rewrites a buffer four times the last-level cache (32 MiB where the size
    is not known)."""
    try:
        size = os.sysconf("SC_LEVEL3_CACHE_SIZE")
    except (ValueError, OSError):
        size = 0
    buffer = np.zeros(4 * (size if size > 0 else 32 << 20) // 8)

    def evict():
        np.add(buffer, 1.0, out=buffer)

    return evict


def best_time(call, budget, first=None, before=None):
    """Times at least three calls and until they add up to the budget;
    returns (best, median, count). A first call that already took several
    budgets counts as one of only two. before, if given, runs untimed
    before each call."""
    times, least = [], 3
    if first is not None and first > 4 * budget:
        times, least = [first], 2
    while (sum(times) < budget or len(times) < least) and len(times) < 10000:
        if before is not None:
            before()
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return min(times), float(np.median(times)), len(times)


def out_bytes(out):
    return sum(a.nbytes for a in out) if isinstance(out, tuple) else out.nbytes


def measure_batch(job, y):
    run = methods.batch_runner(job["method"], job["T"], y, job["d"], job["parallel"])
    # A cold job times calls that find their inputs in memory, not in the
    # caches, as a batch too large for them does. Its buffer is taken first,
    # so that it does not take the memory the first call's outputs free.
    evict = cache_evictor() if job.get("cold") else None
    out, first, above = peak_above(run)
    above -= out_bytes(out)
    del out
    best, median, reps = best_time(run, job["budget"], first, evict)
    return {"n": len(y), "best_s": best, "median_s": median, "reps": reps,
            "peak_above_bytes": above}


def measure_loop(job, y):
    name, T, d = job["method"], job["T"], job["d"]
    if name.startswith("scipy"):
        run = methods.scipy_loop(T, y, d, methods.dtype_of(name))
    else:
        run = methods.peer_loop(name, T, y, d)
    # Warm up, grow the count until a loop is long enough to time, then take
    # as many series as fill half the budget.
    n = min(len(y), 4)
    run(n)
    while True:
        t0 = time.perf_counter()
        run(n)
        took = time.perf_counter() - t0
        if took >= job["budget"] / 16 or n == len(y):
            break
        n = min(len(y), 4 * n)
    n = int(min(len(y), max(n, n * 0.5 * job["budget"] / took)))
    out, first, above = peak_above(lambda: run(n))
    above -= out_bytes(out)
    check = methods.reference(name, T, y[:min(n, 8)], d)
    agreement = float(np.max(np.abs(out[:len(check)] - check)))
    del out
    best, median, reps = best_time(lambda: run(n), job["budget"], first)
    result = {"n": n, "best_s": best, "median_s": median, "reps": reps,
              "peak_above_bytes": above, "max_abs_diff": agreement}
    return result


def ratio_side(side, rows):
    """A call of one side of a ratio job on its first n rows of the batch;
    a loop side is warmed up here."""
    method, T, d, n = side["method"], side["T"], side["d"], side["n"]
    y = rows[:n]
    if not methods.timed_by_batch(method):
        loop = methods.scipy_loop(T, y, d, methods.dtype_of(method))
        loop(min(n, 4))
        return lambda: loop(n)
    # A process has one pool, of the size it started with: the one-thread
    # side of a thread ratio runs on the calling thread (parallel=False).
    return methods.batch_runner(method, T, y, d, side["mode"] not in ("seq", "1thr cold"))


def measure_ratio(job):
    """The per-round ratios of side a's series rate to side b's, the sides
    timed alternately; a cold job empties the caches before every call."""
    a, b = job["sides"]
    rows = {}
    for side in (a, b):
        key = (side["T"], side["missing"], methods.dtype_of(side["method"]))
        rows[key] = max(rows.get(key, 0), side["n"])
    rows = {key: data.series(n, key[0], key[1], key[2]) for key, n in rows.items()}
    calls = [ratio_side(side, rows[(side["T"], side["missing"], methods.dtype_of(side["method"]))])
             for side in (a, b)]
    evict = cache_evictor() if job.get("cold") else None
    for call in calls:
        call()
    ratios = alternating.ratio_rounds(*calls, rounds=job["rounds"], calls=job["calls"], before=evict)
    return {"ratios": [r * a["n"] / b["n"] for r in ratios]}


def copy_bandwidth(threads, megabytes=512, repeats=5):
    """GB/s of a STREAM-like copy between two arrays far larger than the
    caches (bytes read plus bytes written), split over `threads` threads:
    NumPy's copy releases the GIL. The best of a few repeats."""
    from concurrent.futures import ThreadPoolExecutor

    count = megabytes * 2**20 // 8
    source, target = np.ones(count), np.zeros(count)
    parts = np.array_split(np.arange(count), threads)
    bounds = [(p[0], p[-1] + 1) for p in parts]
    best = float("inf")
    with ThreadPoolExecutor(threads) as pool:
        for _ in range(repeats):
            t0 = time.perf_counter()
            list(pool.map(lambda b: np.copyto(target[b[0]:b[1]], source[b[0]:b[1]]), bounds))
            best = min(best, time.perf_counter() - t0)
    return 2 * source.nbytes / best / 1e9


def environment():
    """Versions, BLAS kernel and instruction set as the measuring processes
    see them, and the memory copy bandwidth with one and two threads."""
    import importlib.metadata as md

    import scipy.linalg  # noqa: F401  (loads SciPy's BLAS for threadpoolctl)

    info = {"python": sys.version.split()[0]}
    for dist in ("tarnwold", "numpy", "scipy", "whittaker-eilers", "pybaselines",
                 "vam.whittaker", "threadpoolctl"):
        try:
            info[dist] = md.version(dist)
        except md.PackageNotFoundError:
            info[dist] = None
    try:
        from threadpoolctl import threadpool_info
        info["blas"] = [{k: p.get(k) for k in ("internal_api", "version", "architecture",
                                                "num_threads", "filepath")}
                        for p in threadpool_info()]
    except ImportError:
        info["blas"] = None
    with open("/proc/cpuinfo") as f:
        cpuinfo = f.read()
    model = re.search(r"model name\s*:\s*(.*)", cpuinfo)
    flags = set(re.search(r"flags\s*:\s*(.*)", cpuinfo).group(1).split())
    info["cpu"] = model.group(1) if model else "unknown"
    info["isa"] = [f for f in ("sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw",
                               "avx512vl") if f in flags]
    info["copy_gbs"] = {str(threads): round(copy_bandwidth(threads), 1) for threads in (1, 2)}
    return info


def main():
    job = json.loads(sys.argv[1])
    if job["method"] == "environment":
        print(json.dumps(environment()))
        return
    if job["method"] == "ratio":
        print(json.dumps(measure_ratio(job)))
        return
    y = data.series(job["n_max"], job["T"], job["missing"], methods.dtype_of(job["method"]))
    try:
        if methods.timed_by_batch(job["method"]):
            result = measure_batch(job, y)
        else:
            result = measure_loop(job, y)
    except (ImportError, NotImplementedError) as e:
        result = {"skipped": f"{type(e).__name__}: {e}"}
    print(json.dumps(result))


if __name__ == "__main__":
    main()
