"""Resident memory that calls leave behind once they have returned.

    python3 benchmarks/kept_memory.py

Two scenarios, each in a fresh process: eight pool workers and three
parallel calls on a (64, 100000) float64 batch; twelve Python threads that
each make one call with T = 1e6 and stay alive afterwards. Resident memory
is read after the inputs exist and again after the calls, with the results
dropped, gc run and glibc's free heap trimmed; the difference is what the
threads keep between calls.
"""

import os
import subprocess
import sys

CHILD = r"""
import ctypes, gc, json, re, sys, threading
import numpy as np
import tarnwold

def resident_mib():
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024

rng = np.random.default_rng(1)
if sys.argv[1] == "pool":
    T = 100_000
    x = np.arange(T, dtype=np.float64)
    y = rng.normal(size=(64, T))
    tarnwold.whittaker_solve_f64(x[:10], y[:2, :10])  # binds NumPy, starts the pool
    before = resident_mib()
    for call in range(3):
        z = tarnwold.whittaker_solve_f64(x, y, parallel=True)
        z = tarnwold.robust_whittaker_irls_f64(x, y, iterations=2, parallel=True)
    del z
    after = resident_mib()
else:
    T = 1_000_000
    x = np.arange(T, dtype=np.float64)
    y = rng.normal(size=(4, T))
    tarnwold.whittaker_solve_f64(x[:10], y[:2, :10])
    before = resident_mib()
    done, leave = threading.Barrier(13), threading.Event()
    def one_call():
        tarnwold.whittaker_solve_f64(x, y, parallel=False)
        done.wait()
        leave.wait()
    threads = [threading.Thread(target=one_call) for _ in range(12)]
    for t in threads:
        t.start()
    done.wait()
    after = resident_mib()
    leave.set()
    for t in threads:
        t.join()
print(json.dumps({"before_mib": round(before, 1), "after_mib": round(after, 1),
                  "kept_mib": round(after - before, 1)}))
"""


def main():
    for scenario, threads in (("pool", 8), ("threads", 2)):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
        done = subprocess.run([sys.executable, "-c", CHILD, scenario], env=env, capture_output=True,
                              text=True, check=True)
        print(scenario, done.stdout.strip(), flush=True)


if __name__ == "__main__":
    main()
