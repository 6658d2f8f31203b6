"""Threads, first-use races and fork().

Every scenario runs in a fresh interpreter under a timeout: a deadlock there
fails the test instead of hanging the suite, and first-use races need a
process in which NumPy has not been bound (or imported) yet. Results are
compared bit for bit with sequential calls of the same process.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 240

# Shared by the child scripts: one input per dtype (an irregular grid with a
# pair that the default tolerance merges, gaps, an outlier, weights), every
# function called on it, and an exact comparison of two result lists.
COMMON = r"""
import os, sys
import numpy as np
import tarnwold
import tarnwold_tools

def problem(dtype, S=48, T=30, seed=11):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.5, 1.5, T)); x[5] = x[4] + 0.003
    y = np.sin(x / 3.0)[None, :] + 0.3 * rng.normal(size=(S, T))
    y[rng.random((S, T)) < 0.1] = np.nan
    y[3, 7] = 25.0
    w = rng.uniform(0.2, 2.0, (S, T))
    arrays = [a.astype(dtype) for a in (x, y, w)]
    for a in arrays:
        a.flags.writeable = False
    return arrays

def calls(modes=(True, False), tools=True):
    # Every function on each dtype's input, with `parallel` set to each of
    # `modes` where it applies; with `tools`, also the choice of lam, whose
    # module shares the core, and so the pool, with tarnwold.
    out = []
    for dtype, sfx in ((np.float32, "f32"), (np.float64, "f64")):
        x, y, w = problem(dtype)
        f = {k: getattr(tarnwold, k + "_" + sfx) for k in ("build_pb", "whittaker_solve", "robust_whittaker_irls")}
        out.append(lambda f=f, x=x: [f["build_pb"](x, d=3, normalize="median")[0]])
        for parallel in modes:
            out.append(lambda f=f, x=x, y=y, w=w, p=parallel: [f["whittaker_solve"](x, y, w, lam=4.0, parallel=p)])
            out.append(lambda f=f, x=x, y=y, w=w, p=parallel: list(f["robust_whittaker_irls"](
                x, y, w, iterations=4, weighting="huber", scale="huber", parallel=p, return_weights=True)))
            for criterion in ("reml", "loocv", "vcurve") if tools else ():
                out.append(lambda x=x, y=y, w=w, p=parallel, c=criterion: fields(tarnwold_tools.select_lambda(
                    x, y, w, criterion=c, return_se=True, return_scores=True, parallel=p)))
            out += [lambda x=x, y=y, w=w, p=parallel: fields(tarnwold_tools.evaluate_lambda(
                x, y, np.linspace(0.5, 50.0, len(y)), w, return_hat=True, return_se=True, parallel=p))] * tools
    return out

def fields(result):
    return [np.asarray(value) for value in vars(result).values() if value is not None]

def bits(arrays):
    return [(a.dtype.str, a.shape, a.tobytes()) for a in arrays]

def same(a, b):
    return bits(a) == bits(b)
"""


def run_child(script, *args, env=None, timeout=TIMEOUT):
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1", **(env or {}))
    done = subprocess.run([sys.executable, "-c", COMMON + textwrap.dedent(script), *args], env=environment,
                          capture_output=True, text=True, timeout=timeout,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("pool_size", ["1", "3"])
def test_threads_calling_every_function_get_sequential_results(pool_size):
    report = run_child(r"""
        import json, threading
        sequential = [c() for c in calls()]
        sys.setswitchinterval(1e-5)  # hand the interpreter lock around as often as possible
        barrier = threading.Barrier(8)
        mismatches, errors = [], []

        def worker(i):
            try:
                mine = list(enumerate(calls()))
                mine = mine[i:] + mine[:i]  # each thread starts with another function
                barrier.wait()
                for _ in range(3):
                    for j, c in mine:
                        if not same(c(), sequential[j]):
                            mismatches.append((i, j))
            except BaseException as error:
                errors.append(repr(error))

        threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        alive = sum(t.is_alive() for t in threads)
        print(json.dumps({"alive": alive, "mismatches": mismatches, "errors": errors}))
        """, env={"RAYON_NUM_THREADS": pool_size})
    assert report == {"alive": 0, "mismatches": [], "errors": []}


def test_results_are_the_same_bits_for_every_pool_size():
    script = r"""
        import hashlib, json
        digest = hashlib.sha256()
        for c in calls(modes=(True,)):
            for kind, shape, data in bits(c()):
                digest.update(data)
        print(json.dumps(digest.hexdigest()))
        """
    digests = {size: run_child(script, env={"RAYON_NUM_THREADS": size}) for size in ("1", "2", "5")}
    assert len(set(digests.values())) == 1, digests


# Threads that race into their first import of the module and its first calls
# (which bind the NumPy C API through a once-only guard), against threads
# that import NumPy themselves and run long parallel calls. NumPy is not yet
# imported when they start, so whichever thread binds it first imports it
# inside the guard while the others wait there.
FIRST_USE = r"""
import json, sys, threading
assert "numpy" not in sys.modules and "tarnwold" not in sys.modules
sys.setswitchinterval(1e-6)
roles = sys.argv[1]
barrier = threading.Barrier(len(roles))
errors = []

def first_call():
    import tarnwold
    try:
        tarnwold.whittaker_solve_f32([0.0, 1.0], None)  # no array: the call still binds NumPy
    except TypeError as error:
        assert str(error) == "argument 'x': 'list' object cannot be cast as 'ndarray'", error

def long_call():
    import numpy as np
    import tarnwold
    x = np.linspace(0.0, 200.0, 300)
    y = np.sin(np.arange(96 * 300, dtype=np.float64).reshape(96, 300) / 17.0)
    z = tarnwold.robust_whittaker_irls_f64(x, y, iterations=6, parallel=True)
    assert np.array_equal(z, tarnwold.robust_whittaker_irls_f64(x, y, iterations=6, parallel=False))

def import_numpy():
    import numpy
    numpy.zeros(3).sum()

ROLE = {"f": first_call, "l": long_call, "n": import_numpy}

def run(role):
    try:
        barrier.wait()
        ROLE[role]()
    except BaseException as error:
        errors.append(f"{role}: {error!r}")

threads = [threading.Thread(target=run, args=(r,), daemon=True) for r in roles]
for t in threads:
    t.start()
for t in threads:
    t.join(120)
print(json.dumps({"alive": sum(t.is_alive() for t in threads), "errors": errors}))
"""


@pytest.mark.parametrize("roles", ["ff", "lf", "fl", "fffl", "lflfn", "nfff", "lll"])
def test_first_import_and_first_call_race_without_deadlock(roles):
    # No COMMON prefix here: it would import NumPy and the module up front.
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1", RAYON_NUM_THREADS="2")
    done = subprocess.run([sys.executable, "-c", FIRST_USE, roles], env=environment, capture_output=True,
                          text=True, timeout=TIMEOUT, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"alive": 0, "errors": []}


# What the interpreter does around a call. Python code that runs while the
# first call binds NumPy: the module must hold no lock of its own meanwhile.
# "gc": a gc callback on the same thread calls the module again (a nested
# first call). "fork": another thread forks while the first call waits in
# Python code (a stand-in for NumPy's version parser); the child's calls must
# work. "exit": the main thread ends while a daemon thread is inside
# select_lambda; CPython 3.11 to 3.13 end that thread with pthread_exit when
# its call asks for the interpreter lock back, and the unwinding must pass
# the module's frames (stopped there, the runtime aborts the process). An
# object deleted while the interpreter finalises keeps it finalising until
# some call has ended.
INTERPRETER_EVENTS = {
    "gc": r"""
        import gc, numpy as np, tarnwold
        x = np.arange(4.0)
        nested = []
        def callback(phase, info):
            if phase == "start" and not nested:
                nested.append(tarnwold.build_pb_f64(x)[1])
        gc.callbacks.append(callback)
        gc.set_threshold(1)
        k = tarnwold.build_pb_f64(x)[1]
        gc.callbacks.clear()
        print(nested == [4] and k == 4)
        """,
    "fork": r"""
        import os, signal, threading, time
        import numpy as np, numpy.lib, tarnwold
        parse, inside, forked = numpy.lib.NumpyVersion, threading.Event(), threading.Event()
        def slow_parse(version):
            inside.set()
            forked.wait()
            return parse(version)
        numpy.lib.NumpyVersion = slow_parse
        x = np.arange(4.0)
        first = threading.Thread(target=tarnwold.build_pb_f64, args=(x,))
        first.start()
        inside.wait()
        pid = os.fork()
        forked.set()
        if pid == 0:
            os._exit(0 if tarnwold.build_pb_f64(x)[1] == 4 else 1)
        deadline = time.monotonic() + 30
        while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
            time.sleep(0.01)
        if not done[0]:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        first.join()
        print(bool(done[0]) and os.waitstatus_to_exitcode(done[1]) == 0)
        """,
    "exit": r"""
        import threading, time
        import numpy as np, tarnwold_tools
        x = np.linspace(0.0, 100.0, 400)
        y = np.sin(np.arange(32 * 400).reshape(32, 400) / 9.0)
        inside = threading.Event()
        def select_forever():
            while True:
                inside.set()
                tarnwold_tools.select_lambda(x, y)
        threading.Thread(target=select_forever, daemon=True).start()
        inside.wait()
        class Linger:
            def __del__(self, sleep=time.sleep):
                sleep(0.5)
        linger = Linger()
        print(True)
        """,
}


@pytest.mark.parametrize("case", sorted(INTERPRETER_EVENTS))
def test_interpreter_events_around_a_call_leave_the_process_working(case):
    if case == "fork" and not hasattr(os, "fork"):
        pytest.skip("needs fork()")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERPRETER_EVENTS[case])],
                          env=dict(os.environ, OPENBLAS_NUM_THREADS="1"), capture_output=True,
                          text=True, timeout=60, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert (done.returncode, done.stdout.strip()) == (0, "True"), done.stderr


# --- fork() -------------------------------------------------------------------------------------

# A child made by os.fork() after the pool exists inherits the pool object
# but none of its threads. Its first parallel call must build a pool of its
# own, and the parent must keep using its original one. Threads are counted
# in /proc/self/task; the pool has two workers.
RAW_FORK = r"""
import json, signal, time

def threads():
    return len(os.listdir("/proc/self/task"))

def parallel_results():
    return [c() for c in calls((True,), tools=False)]

expected = [c() for c in calls((False,), tools=False)]  # sequential: the pool is not touched
if sys.argv[1] == "pool-first":
    assert all(same(a, b) for a, b in zip(parallel_results(), expected))
before = threads()

def child(depth):
    # Exit code 0: every result equal and exactly two new threads (the new
    # pool); 1: a result differs; 2: another thread count; 3: an exception.
    try:
        start = threads()
        ok = all(same(a, b) for a, b in zip(parallel_results(), expected))
        if not ok:
            return 1
        if threads() - start != 2:
            return 2
        if depth == 1:  # a grandchild of a process whose pool was itself rebuilt
            return wait_for(fork(2))
        return 0
    except BaseException:
        import traceback
        traceback.print_exc()
        return 3

def fork(depth):
    pid = os.fork()
    if pid == 0:
        if depth == 1:
            os.setpgid(0, 0)  # the grandchild joins this group: a hang is killed as a whole
        os._exit(child(depth))
    return pid

def wait_for(pid, limit=90.0):
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:  # a child that waits for absent workers
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:  # the grandchild, which has no group of its own
                os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.01)

code = wait_for(fork(1))
after_fork = threads()
parent_ok = all(same(a, b) for a, b in zip(parallel_results(), expected))
print(json.dumps({"child": code, "parent_equal": parent_ok, "parent_new_threads": threads() - before,
                  "threads_unchanged_by_fork": after_fork == before}))
"""


@pytest.mark.skipif(not hasattr(os, "fork") or not os.path.isdir("/proc/self/task"),
                    reason="needs fork() and /proc/self/task")
@pytest.mark.parametrize("when", ["pool-first", "fork-first"])
def test_raw_fork_child_builds_its_own_pool(when):
    report = run_child(RAW_FORK, when, env={"RAYON_NUM_THREADS": "2"})
    assert report == {"child": 0, "parent_equal": True, "threads_unchanged_by_fork": True,
                      # the parent keeps its pool; without one yet, its first parallel call makes it
                      "parent_new_threads": 0 if when == "pool-first" else 2}


MULTIPROCESSING_FORK = r"""
import json, multiprocessing, warnings

def smooth(block):
    # Runs in a worker process forked from a parent whose pool exists.
    x, y, w = problem(np.float64)
    z, wt = tarnwold.robust_whittaker_irls_f64(x, y[block::4], w[block::4], iterations=3, return_weights=True)
    z32 = tarnwold.whittaker_solve_f32(*(a.astype(np.float32) for a in (x, y[block::4], w[block::4])))
    return [z, wt, z32]

expected = [smooth(b) for b in range(4)]  # parallel calls: the parent's pool now exists
warnings.filterwarnings("ignore", category=DeprecationWarning)  # fork() with threads running
with multiprocessing.get_context("fork").Pool(2) as workers:
    results = workers.map_async(smooth, range(4)).get(timeout=120)
print(json.dumps({"equal": [same(a, b) for a, b in zip(results, expected)],
                  "parent_still_works": same(smooth(0), expected[0])}))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_multiprocessing_fork_workers_match_the_parent():
    report = run_child(MULTIPROCESSING_FORK, env={"RAYON_NUM_THREADS": "2"})
    assert report == {"equal": [True] * 4, "parent_still_works": True}


# fork() while other threads are inside the selection module, which computes
# without the interpreter lock: the forking thread may catch them holding a
# lock of the core (the pool lookup, the scratch cache). Every child must
# still compute the same bits and exit; one that hangs is killed and counted.
FORK_DURING_CALLS = r"""
import json, signal, threading, time, warnings

def tool_calls():
    return [c for c in calls((True,)) if "tarnwold_tools" in c.__code__.co_names]

expected = [c() for c in calls((True,))]
stop = threading.Event()

def hammer():
    while not stop.is_set():
        for call in tool_calls():
            call()

def child():
    try:
        return 0 if all(same(a, b) for a, b in zip([c() for c in calls((True,))], expected)) else 1
    except BaseException:
        return 3

def wait_for(pid, limit=30.0):
    deadline = time.monotonic() + limit
    while not (done := os.waitpid(pid, os.WNOHANG))[0]:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.002)
    return os.waitstatus_to_exitcode(done[1])

warnings.filterwarnings("ignore", category=DeprecationWarning)  # fork() with threads running
workers = [threading.Thread(target=hammer) for _ in range(2)]
for worker in workers:
    worker.start()
codes = []
for _ in range(int(sys.argv[1])):
    pid = os.fork()
    if pid == 0:
        os._exit(child())
    codes.append(wait_for(pid))
stop.set()
for worker in workers:
    worker.join()
print(json.dumps(sorted(set(codes), key=str)))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.skipif(bool(os.environ.get("TARNWOLD_SANITIZER")),
                    reason="the sanitizer's allocator does not hold its locks across fork(): a child forked "
                           "while another thread allocates may hang in its first allocation")
def test_fork_while_other_threads_compute_leaves_the_child_working():
    assert run_child(FORK_DURING_CALLS, "60", env={"RAYON_NUM_THREADS": "2"}) == [0]
