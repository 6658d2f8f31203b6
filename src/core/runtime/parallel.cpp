// The process-wide worker pool and the fork-join loop over series.
//
// Scheduling. A loop is a recursion over contiguous ranges of series. A range
// splits at lo + n / 2 while it holds two or more series and its split budget
// allows; the worker runs the left half itself and parks the right half in
// its own deque, where idle or waiting workers can take it from the far end.
// One mutex guards every deque, the queue of loops handed in by calling
// threads and the list of sleeping workers. A job is a range of whole series,
// so a few lock round trips per job cost nothing next to the work, and in
// exchange the scheduler can be checked for correctness by reading it.
//
// Lifetime. The pool is made with `new` by the first parallel loop that can
// start all its threads and never deleted; its threads are detached and sleep
// on their condition variables between loops. Nothing therefore runs at
// process exit that could destroy a mutex or condition variable while a
// detached worker still waits on it, as a static owner destroyed by exit
// would.
//
// Waiting. Waking a sleeping thread costs microseconds (far more in a
// virtual machine), as much as a small loop's whole work. A worker that runs
// out of work therefore watches for new work for a short while, yielding its
// processor meanwhile, before it sleeps: back-to-back calls find the workers
// awake, and an idle pool still sleeps. The calling thread watches only
// briefly for the end of its loop: longer, it would take processor time from
// the workers it waits for.
//
// fork(). A child process inherits the pool object but none of its threads,
// and the pool's mutex may have been held by a worker at the moment of the
// fork. The pool records the pid that created it; a loop in any other process
// leaves the inherited object untouched (leaking it on purpose) and builds a
// fresh pool of its own. The lookup's own mutex, which another thread may hold
// while the forking one calls fork() (the selection module computes without
// the interpreter lock), is taken by the forking thread across the fork, so the
// child finds it free.
#include "runtime/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include "base/fault.hpp"
#include "runtime/pool_size.hpp"

namespace tarnwold {

namespace {

using Body = RangeBody;

constexpr std::uint64_t max_pool_size = 65535;

// The whole text as an unsigned 64-bit decimal integer: digits only, at most
// one leading '+'. Anything else, overflow included, is no number at all.
std::optional<std::uint64_t> parse_count(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    if (*text == '+') {
        ++text;
    }
    if (*text == '\0') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(*text - '0');
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    return value;
}

// How long a worker without work keeps looking for more before it sleeps,
// and how long a calling thread looks for the end of its loop: only long
// enough to catch a tiny loop, since meanwhile it competes with the workers.
constexpr std::chrono::microseconds worker_watch{100};
constexpr std::chrono::microseconds calling_thread_watch{2};

// Polls `ready` until it holds or `span` has passed, yielding the processor
// after each poll that found it false. The caller decides under the pool's
// mutex what the state is afterwards.
template <class Ready>
void watch(std::chrono::microseconds span, const Ready& ready) {
    const auto deadline = std::chrono::steady_clock::now() + span;
    do {
        for (int poll = 0; poll < 16; ++poll) {
            if (ready()) {
                return;
            }
            std::this_thread::yield();
        }
    } while (std::chrono::steady_clock::now() < deadline);
}

// The series [lo, hi) and the number of further splits it may still make.
struct Range {
    std::size_t lo;
    std::size_t hi;
    std::size_t budget;
};

// Work waiting to be taken: the right half of a fork, or a calling thread's
// whole loop. It lives on the stack of the thread that waits for it. The
// thread that completes it touches it for the last time while holding the
// pool's mutex, so the waiter may return (destroying it) once it sees `done`.
struct Job {
    Range range;
    bool whole_loop;  // a caller's loop: split once, both halves taken over
    const Body* body;
    std::condition_variable* waiter;
    bool taken = false;  // removed from its queue by a thread that will run it
    // Set under the mutex; read without it only to end a wait early, after
    // which the waiter takes the mutex before it lets the job go.
    std::atomic<bool> done{false};
    std::exception_ptr error{};
};

struct Worker {
    // Right halves of this worker's own forks, newest at the back. The owner
    // reclaims from the back; others take from the front, which holds the
    // oldest and therefore largest pending range.
    std::deque<Job*> pending;
    std::condition_variable wake;
    bool listed_asleep = false;
};

class Pool;

// The pool the current thread works for, if any. Trivially destructible, so
// no thread-exit code runs for it.
struct WorkerIdentity {
    Pool* pool = nullptr;
    std::size_t index = 0;
};
thread_local WorkerIdentity current_worker;

class Pool {
public:
    // A pool with `size` running, detached workers. When the system refuses
    // a thread, no further one is tried: the workers already started are
    // stopped and joined and InternalFault is thrown.
    static Pool* start(std::size_t size);

    // Runs body over [0, series_count), series_count >= 2, and returns when
    // every series is done; rethrows the first failure that reached the top.
    void run_loop(std::size_t series_count, const Body& body);

private:
    explicit Pool(std::size_t size);

    void worker_main(std::size_t index);
    void stop_and_join(std::vector<std::thread>& threads);

    void run_range(Range range, bool taken_over, const Body& body);
    void fork(Range left, Range right, bool taken_over, const Body& body);
    void execute(Job& job);

    void work_until(std::unique_lock<std::mutex>& lock, const Job* awaited);
    Job* take_job(std::size_t thief);
    void wake_one_sleeper();
    void watch_for_work(const Job* awaited) const;

    const std::size_t size_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::deque<Job*> loops_;         // whole loops of calling threads, in arrival order
    std::vector<Worker*> sleepers_;  // workers blocked on their `wake`
    // Changed under the mutex; read without it by threads watching for work.
    std::atomic<std::size_t> queued_{0};  // jobs in loops_ and in every deque
    std::atomic<bool> stopping_{false};   // set only when start-up failed
};

Pool::Pool(std::size_t size) : size_(size) {
    workers_.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        workers_.push_back(std::make_unique<Worker>());
    }
}

Pool* Pool::start(std::size_t size) {
    std::unique_ptr<Pool> pool(new Pool(size));
    Pool* const raw = pool.get();
    std::vector<std::thread> threads;
    threads.reserve(size);
    try {
        for (std::size_t i = 0; i < size; ++i) {
            threads.emplace_back([raw, i] { raw->worker_main(i); });
        }
    } catch (const std::system_error& error) {
        pool->stop_and_join(threads);
        throw InternalFault(std::string("could not start the worker threads: ") + error.what());
    } catch (...) {
        pool->stop_and_join(threads);
        throw;
    }
    for (std::thread& thread : threads) {
        thread.detach();
    }
    return pool.release();
}

void Pool::stop_and_join(std::vector<std::thread>& threads) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (const auto& worker : workers_) {
            worker->wake.notify_one();
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

void Pool::worker_main(std::size_t index) {
    current_worker = WorkerIdentity{this, index};
    std::unique_lock<std::mutex> lock(mutex_);
    work_until(lock, nullptr);
}

void Pool::run_loop(std::size_t series_count, const Body& body) {
    const Range whole{0, series_count, size_};
    if (current_worker.pool == this) {
        // A body that loops in parallel itself: its worker forks the inner
        // loop like any range of its own instead of sleeping on the pool.
        run_range(whole, false, body);
        return;
    }
    std::condition_variable finished;
    Job job{.range = whole, .whole_loop = true, .body = &body, .waiter = &finished};
    std::unique_lock<std::mutex> lock(mutex_);
    loops_.push_back(&job);
    ++queued_;
    wake_one_sleeper();
    lock.unlock();
    watch(calling_thread_watch, [&job] { return job.done.load(); });
    lock.lock();
    finished.wait(lock, [&job] { return job.done.load(); });
    const std::exception_ptr error = job.error;
    lock.unlock();
    if (error) {
        std::rethrow_exception(error);
    }
}

// A range split without being taken over spends half its budget; one taken
// over by another worker than its creator gets at least the pool size back,
// so that busy workers keep producing ranges idle workers can take.
void Pool::run_range(Range range, bool taken_over, const Body& body) {
    const std::size_t n = range.hi - range.lo;
    if (n >= 2 && (taken_over || range.budget > 0)) {
        const std::size_t budget = taken_over ? std::max(size_, range.budget / 2) : range.budget / 2;
        const std::size_t mid = range.lo + n / 2;
        fork(Range{range.lo, mid, budget}, Range{mid, range.hi, budget}, false, body);
        return;
    }
    body(range.lo, range.hi);
}

// Runs both halves on this worker unless another takes the right one.
// `taken_over` is the state both halves start in when this worker runs them.
// Whatever the left half throws, the right half still runs to completion
// before the failure moves up; the left half's failure wins over the right's.
void Pool::fork(Range left, Range right, bool taken_over, const Body& body) {
    Worker& self = *workers_[current_worker.index];
    Job job{.range = right, .whole_loop = false, .body = &body, .waiter = &self.wake};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        self.pending.push_back(&job);
        ++queued_;
        wake_one_sleeper();
    }

    std::exception_ptr left_error;
    try {
        run_range(left, taken_over, body);
    } catch (...) {
        left_error = std::current_exception();
    }

    std::exception_ptr right_error;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!job.taken) {
        // Every fork made while the left half ran has been joined, and
        // others take only from the front, so the job is still at the back.
        self.pending.pop_back();
        --queued_;
        lock.unlock();
        try {
            run_range(right, taken_over, body);
        } catch (...) {
            right_error = std::current_exception();
        }
    } else {
        work_until(lock, &job);
        right_error = job.error;
        lock.unlock();
    }

    if (left_error) {
        std::rethrow_exception(left_error);
    }
    if (right_error) {
        std::rethrow_exception(right_error);
    }
}

// Runs a job taken from another thread's queue and reports its completion.
void Pool::execute(Job& job) {
    std::exception_ptr error;
    try {
        const Range range = job.range;
        if (job.whole_loop) {
            // The calling thread's split: both halves are taken over.
            const std::size_t mid = range.lo + (range.hi - range.lo) / 2;
            const std::size_t budget = range.budget / 2;
            fork(Range{range.lo, mid, budget}, Range{mid, range.hi, budget}, true, *job.body);
        } else {
            run_range(range, true, *job.body);
        }
    } catch (...) {
        error = std::current_exception();
    }
    // Moved, not copied: once the waiter can see `done`, this thread holds no
    // reference to the failure, so only the thread that handles it frees it.
    std::lock_guard<std::mutex> lock(mutex_);
    job.error = std::move(error);
    job.done = true;
    job.waiter->notify_one();
}

// Runs pending work of other threads until `awaited` is done; with no job to
// await (an idle worker) until the pool stops, which only a failed start-up
// does. Entered and left with the lock held.
void Pool::work_until(std::unique_lock<std::mutex>& lock, const Job* awaited) {
    Worker& self = *workers_[current_worker.index];
    bool watched = false;
    while (awaited != nullptr ? !awaited->done : !stopping_) {
        if (Job* job = take_job(current_worker.index)) {
            lock.unlock();
            execute(*job);
            lock.lock();
            watched = false;
            continue;
        }
        if (!watched) {
            // Whatever the watch saw, the state is checked again under the
            // mutex before sleeping: work queued after the watch ended but
            // before this thread is listed asleep would wake nobody.
            lock.unlock();
            watch_for_work(awaited);
            lock.lock();
            watched = true;
            continue;
        }
        watched = false;
        self.listed_asleep = true;
        sleepers_.push_back(&self);
        self.wake.wait(lock);
        if (self.listed_asleep) {
            // Woken by a completion (or spuriously), not by new work.
            self.listed_asleep = false;
            sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), &self));
        }
    }
    // A wake meant for newly queued work may have landed here; hand it on.
    if (queued_ > 0) {
        wake_one_sleeper();
    }
}

// Until `awaited` is done, work is queued or the pool stops, or the watch
// has lasted its time.
void Pool::watch_for_work(const Job* awaited) const {
    watch(worker_watch, [&] {
        return (awaited != nullptr && awaited->done.load()) || queued_.load() > 0 || stopping_.load();
    });
}

Job* Pool::take_job(std::size_t thief) {
    for (std::size_t step = 1; step < size_; ++step) {
        std::deque<Job*>& pending = workers_[(thief + step) % size_]->pending;
        if (!pending.empty()) {
            Job* job = pending.front();
            pending.pop_front();
            job->taken = true;
            --queued_;
            return job;
        }
    }
    if (!loops_.empty()) {
        Job* job = loops_.front();
        loops_.pop_front();
        job->taken = true;
        --queued_;
        return job;
    }
    return nullptr;
}

void Pool::wake_one_sleeper() {
    if (sleepers_.empty()) {
        return;
    }
    Worker* worker = sleepers_.back();
    sleepers_.pop_back();
    worker->listed_asleep = false;
    worker->wake.notify_one();
}

// The pool of this process, created on first use. Callers are serialised
// here only for the lookup. A start that failed leaves no pool and no thread
// behind, so the next parallel loop tries again: a process that was at its
// thread limit for a moment (a long-running server, a dask worker) works
// again once threads can be had. Each try gives up at the first thread the
// system refuses, so while none can be had every parallel loop fails at once.
std::mutex pool_lookup;
[[maybe_unused]] const int fork_handlers =
    pthread_atfork([] { pool_lookup.lock(); }, [] { pool_lookup.unlock(); }, [] { pool_lookup.unlock(); });

Pool& process_pool() {
    static Pool* pool = nullptr;
    static pid_t owner = 0;
    std::lock_guard<std::mutex> lock(pool_lookup);
    const pid_t pid = getpid();
    if (owner != pid) {
        pool = nullptr;
        owner = pid;
    }
    if (pool == nullptr) {
        pool = Pool::start(worker_pool_size());
    }
    return *pool;
}

}  // namespace

std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t hardware) {
    std::uint64_t size = hardware == 0 ? 1 : hardware;
    if (const auto first = parse_count(rayon_num_threads)) {
        if (*first > 0) {
            size = *first;
        }
    } else if (const auto second = parse_count(rayon_rs_num_cpus); second && *second > 0) {
        size = *second;
    }
    return static_cast<std::size_t>(std::min(size, max_pool_size));
}

std::size_t worker_pool_size() {
    static const std::size_t size =
        pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                       std::thread::hardware_concurrency());
    return size;
}

void for_each_series_range(std::size_t series_count, bool parallel, const RangeBody& body,
                           std::size_t grain) {
    if (!parallel || series_count < 2) {
        if (series_count > 0) {
            body(0, series_count);
        }
        return;
    }
    if (grain <= 1) {
        process_pool().run_loop(series_count, body);
        return;
    }
    // The pool splits groups of `grain` series. A lone group still goes to
    // the pool, as a loop of two groups of which the second is empty.
    const std::size_t groups = series_count / grain + (series_count % grain != 0 ? 1 : 0);
    process_pool().run_loop(std::max<std::size_t>(groups, 2), [&](std::size_t lo, std::size_t hi) {
        const std::size_t first = std::min(lo * grain, series_count);
        const std::size_t last = std::min(hi * grain, series_count);
        if (first < last) {
            body(first, last);
        }
    });
}

void for_each_series(std::size_t series_count, bool parallel, const std::function<void(std::size_t)>& body) {
    for_each_series_range(series_count, parallel, [&body](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s) {
            body(s);
        }
    });
}

}  // namespace tarnwold
