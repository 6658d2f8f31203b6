// The loop over series and its worker pool under stress: every series runs
// exactly once wherever it runs, the pool exists only after a parallel loop,
// failures come back only once nothing is running any more, and a forked
// child gets working threads of its own.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "check.hpp"
#include "runtime/parallel.hpp"
#include "runtime/pool_size.hpp"
#include "runtime/scratch.hpp"

#if defined(__SANITIZE_THREAD__)
#define UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_THREAD_SANITIZER 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

#ifdef UNDER_THREAD_SANITIZER
// ThreadSanitizer starts a helper thread along with the first thread the
// process creates, and cannot follow a child that starts threads after a
// fork of a multi-threaded process.
constexpr std::size_t sanitizer_threads = 1;
constexpr bool fork_supported = false;
#else
constexpr std::size_t sanitizer_threads = 0;
constexpr bool fork_supported = true;
#endif

#ifdef UNDER_ADDRESS_SANITIZER
// AddressSanitizer's allocator (as built into the compilers CI uses) does not
// take its own locks across fork(): a child forked while another thread
// allocates may start with one of them held and hang in its first
// allocation, whatever the code under test does.
constexpr bool fork_amid_allocations_supported = false;
#else
constexpr bool fork_amid_allocations_supported = fork_supported;
#endif

using tarnwold::for_each_series;
using tarnwold::worker_pool_size;

std::size_t thread_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

void pause_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// join() returns once the kernel has cleared the thread's id, a moment before
// the thread leaves /proc/self/task; on a busy machine that moment is long
// enough to be counted. Waits up to five seconds for the expected count.
std::size_t thread_count_settled_at(std::size_t expected) {
    for (int wait = 0; wait < 5000 && thread_count() != expected; ++wait) {
        pause_briefly();
    }
    return thread_count();
}

// A per-series result that depends on every bit of the arithmetic, to be
// compared bit for bit with the same series computed sequentially.
double series_value(std::size_t s) {
    double v = static_cast<double>(s) * 0.37 + 1.0;
    for (int i = 0; i < 40; ++i) {
        v = v * 0.999 + std::sqrt(v + static_cast<double>(i));
    }
    return v;
}

// Runs one parallel loop over S series and checks that each ran exactly
// once, never on the calling thread, with the sequential result.
void check_loop_runs_each_series_once(std::size_t series_count) {
    std::vector<std::atomic<int>> hits(series_count);
    std::vector<double> values(series_count, 0.0);
    std::vector<std::thread::id> runners(series_count);
    for_each_series(series_count, true, [&](std::size_t s) {
        hits[s].fetch_add(1, std::memory_order_relaxed);
        values[s] = series_value(s);
        runners[s] = std::this_thread::get_id();
    });
    const bool on_pool = series_count >= 2;
    for (std::size_t s = 0; s < series_count; ++s) {
        CHECK(hits[s].load() == 1);
        const double expected = series_value(s);
        CHECK(std::memcmp(&values[s], &expected, sizeof expected) == 0);
        CHECK((runners[s] == std::this_thread::get_id()) != on_pool);
    }
}

void test_pool_size_rule() {
    struct Case {
        const char* num_threads;
        const char* num_cpus;
        std::size_t hardware;
        std::size_t expected;
    };
    const Case cases[] = {
        {"4", "3", 8, 4},
        {"+4", "3", 8, 4},
        {"0004", nullptr, 8, 4},
        {"0", "3", 8, 8},  // zero selects the default; the second is not read
        {"+0", "3", 8, 8},
        {"", "3", 8, 3},
        {"-1", "3", 8, 3},
        {" 4", "3", 8, 3},
        {"4 ", "3", 8, 3},
        {"abc", "3", 8, 3},
        {"++4", "3", 8, 3},
        {"+", "3", 8, 3},
        {"4x", nullptr, 8, 8},
        {"18446744073709551615", "3", 8, 65535},  // largest u64: valid, capped
        {"18446744073709551616", "3", 8, 3},      // beyond u64: ignored
        {"99999999999999999999999", nullptr, 8, 8},
        {"70000", "3", 8, 65535},
        {"65535", nullptr, 8, 65535},
        {nullptr, "3", 8, 3},
        {nullptr, "+3", 8, 3},
        {nullptr, "0", 8, 8},  // the second variable must be positive
        {nullptr, "-3", 8, 8},
        {nullptr, " 3", 8, 8},
        {nullptr, "70000", 8, 65535},
        {nullptr, nullptr, 8, 8},
        {nullptr, nullptr, 0, 1},
        {"0", nullptr, 0, 1},
        {nullptr, nullptr, 100000, 65535},
    };
    for (const Case& c : cases) {
        const std::size_t got = tarnwold::pool_size_from(c.num_threads, c.num_cpus, c.hardware);
        if (got != c.expected) {
            std::fprintf(stderr, "pool size for (%s, %s, %zu): %zu, expected %zu\n",
                         c.num_threads ? c.num_threads : "unset", c.num_cpus ? c.num_cpus : "unset",
                         c.hardware, got, c.expected);
        }
        CHECK(got == c.expected);
    }
}

// Must run before any parallel loop of the process.
void test_sequential_loops_leave_pool_alone() {
    const std::size_t threads_before = thread_count();
    const std::thread::id caller = std::this_thread::get_id();
    CHECK(worker_pool_size() >= 1);

    const struct {
        std::size_t series_count;
        bool parallel;
    } loops[] = {{0, false}, {1, false}, {7, false}, {1000, false}, {0, true}, {1, true}};
    for (const auto& loop : loops) {
        std::vector<std::size_t> order;
        bool on_caller = true;
        for_each_series(loop.series_count, loop.parallel, [&](std::size_t s) {
            order.push_back(s);
            on_caller = on_caller && std::this_thread::get_id() == caller;
        });
        CHECK(on_caller);
        CHECK(order.size() == loop.series_count);
        for (std::size_t i = 0; i < order.size(); ++i) {
            CHECK(order[i] == i);
        }
    }

    // A sequential failure stops the loop at once.
    std::size_t ran = 0;
    try {
        for_each_series(10, false, [&](std::size_t s) {
            ++ran;
            if (s == 3) {
                throw tarnwold::InternalFault("series 3");
            }
        });
        CHECK(false);
    } catch (const tarnwold::InternalFault&) {
        CHECK(ran == 4);
    }

    CHECK(thread_count() == threads_before);
}

void test_first_parallel_loop_starts_pool() {
    const std::size_t threads_before = thread_count();
    check_loop_runs_each_series_once(2);
    const std::size_t threads_after = thread_count();
    CHECK(threads_after == threads_before + worker_pool_size() + sanitizer_threads);
    check_loop_runs_each_series_once(100);
    CHECK(thread_count() == threads_after);
}

void test_many_loops_run_each_series_once() {
    for (const std::size_t series_count : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 63, 1000, 4097}) {
        check_loop_runs_each_series_once(series_count);
    }
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> size(0, 300);
    for (int loop = 0; loop < 3000; ++loop) {
        check_loop_runs_each_series_once(size(rng));
    }
}

// Loops handed in while the workers are ending their watch for work and
// going to sleep: the pauses sweep across the length of that watch, so some
// loops arrive just as a worker decides to sleep. A wake-up lost there
// leaves the call waiting for ever (ctest's timeout reports it). The window
// is narrow; ThreadSanitizer, which slows every lock, widens it.
void test_loops_arriving_as_workers_fall_asleep() {
    for (int loop = 0; loop < 2000; ++loop) {
        std::this_thread::sleep_for(std::chrono::microseconds(60 + loop % 80));
        check_loop_runs_each_series_once(2 + static_cast<std::size_t>(loop % 7));
    }
}

// Ranges handed out in grains: together they cover every series once, and
// every range starts at a multiple of the grain (so a block of lanes is
// never cut in two); a lone grain still runs on the pool.
void test_ranges_in_grains() {
    std::mt19937 rng(20261207);
    for (int loop = 0; loop < 500; ++loop) {
        const std::size_t series_count = std::uniform_int_distribution<std::size_t>(2, 400)(rng);
        const std::size_t grain = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
        std::vector<std::atomic<int>> hits(series_count);
        std::atomic<bool> aligned{true};
        std::atomic<bool> on_caller{false};
        const auto caller = std::this_thread::get_id();
        tarnwold::for_each_series_range(
            series_count, true,
            [&](std::size_t lo, std::size_t hi) {
                aligned = aligned && lo % grain == 0 && lo < hi;
                on_caller = on_caller || std::this_thread::get_id() == caller;
                for (std::size_t s = lo; s < hi; ++s) {
                    hits[s].fetch_add(1, std::memory_order_relaxed);
                }
            },
            grain);
        CHECK(aligned.load());
        CHECK(!on_caller.load());
        for (std::size_t s = 0; s < series_count; ++s) {
            CHECK(hits[s].load() == 1);
        }
    }
}

void test_slow_series_spread_over_workers() {
    const std::size_t series_count = 32;
    std::vector<std::thread::id> runners(series_count);
    for_each_series(series_count, true, [&](std::size_t s) {
        runners[s] = std::this_thread::get_id();
        pause_briefly();
    });
    const std::set<std::thread::id> distinct(runners.begin(), runners.end());
    CHECK(distinct.count(std::this_thread::get_id()) == 0);
    CHECK(distinct.size() >= std::min<std::size_t>(2, worker_pool_size()));
}

struct SeriesFailure {
    std::size_t series;
};

// A failing series surfaces only after every other running part has ended.
void test_failure_returns_after_everything_settled() {
    const std::size_t series_count = 64;
    for (const std::size_t failing : {series_count - 1, std::size_t{0}, series_count / 2}) {
        std::atomic<std::size_t> started{0};
        std::atomic<std::size_t> finished{0};
        try {
            for_each_series(series_count, true, [&](std::size_t s) {
                started.fetch_add(1);
                if (s == failing) {
                    throw SeriesFailure{s};
                }
                pause_briefly();
                finished.fetch_add(1);
            });
            CHECK(false);
        } catch (const SeriesFailure& failure) {
            CHECK(failure.series == failing);
            const std::size_t started_at_return = started.load();
            CHECK(finished.load() + 1 == started_at_return);
            if (failing == series_count - 1) {
                // The last series ends its range, so nothing was skipped.
                CHECK(started_at_return == series_count);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            CHECK(started.load() == started_at_return);
        }
    }

    // Every series failing still gives exactly one failure to the caller.
    int caught = 0;
    try {
        for_each_series(500, true,
                        [](std::size_t s) { throw tarnwold::InternalFault("series " + std::to_string(s)); });
    } catch (const tarnwold::InternalFault& fault) {
        ++caught;
        CHECK(std::string(fault.what()).rfind("series ", 0) == 0);
    }
    CHECK(caught == 1);

    check_loop_runs_each_series_once(1000);
}

// Loops of random size with uneven series, a third of them with failing
// series at random places: whatever the distribution, a loop returns only
// once no series is running, a failure reaches the caller exactly once, and
// a loop without failures ran every series exactly once with the sequential
// result. Run under several pool sizes by CTest.
void test_random_loops_with_failures() {
    std::mt19937 rng(20240612 + static_cast<unsigned>(worker_pool_size()));
    std::uniform_int_distribution<std::size_t> size(2, 200);
    std::uniform_int_distribution<int> effort(0, 200);
    for (int loop = 0; loop < 1000; ++loop) {
        const std::size_t series_count = size(rng);
        std::vector<int> work(series_count);
        for (int& w : work) {
            w = effort(rng);
        }
        std::vector<char> fails(series_count, 0);
        const bool failing = loop % 3 == 0;
        if (failing) {
            std::uniform_int_distribution<std::size_t> pick(0, series_count - 1);
            for (int i = 0; i < 3; ++i) {
                fails[pick(rng)] = 1;
            }
        }
        std::vector<std::atomic<int>> hits(series_count);
        std::vector<double> values(series_count, 0.0);
        std::atomic<int> running{0};
        try {
            for_each_series(series_count, true, [&](std::size_t s) {
                running.fetch_add(1);
                hits[s].fetch_add(1, std::memory_order_relaxed);
                double v = series_value(s);
                for (int i = 0; i < work[s]; ++i) {
                    v = std::sqrt(v + 1.0);
                }
                values[s] = v;
                running.fetch_sub(1);
                if (fails[s] != 0) {
                    throw SeriesFailure{s};
                }
            });
            CHECK(!failing);
        } catch (const SeriesFailure& failure) {
            CHECK(failing && fails[failure.series] != 0);
        }
        CHECK(running.load() == 0);
        for (std::size_t s = 0; s < series_count; ++s) {
            CHECK(hits[s].load() <= 1);
            if (!failing) {
                double expected = series_value(s);
                for (int i = 0; i < work[s]; ++i) {
                    expected = std::sqrt(expected + 1.0);
                }
                CHECK(hits[s].load() == 1);
                CHECK(std::memcmp(&values[s], &expected, sizeof expected) == 0);
            }
        }
    }
    check_loop_runs_each_series_once(1000);
}

void test_nested_loops() {
    const std::size_t outer = 13;
    const std::size_t inner = 9;
    for (const bool inner_parallel : {true, false}) {
        std::vector<std::atomic<int>> hits(outer * inner);
        for_each_series(outer, true, [&](std::size_t o) {
            for_each_series(inner, inner_parallel, [&](std::size_t i) {
                hits[o * inner + i].fetch_add(1, std::memory_order_relaxed);
            });
        });
        for (const auto& hit : hits) {
            CHECK(hit.load() == 1);
        }
    }
}

// Not a situation the module creates (one loop at a time), but the pool
// must not mix up the loops of two callers.
void test_concurrent_callers() {
    const std::size_t threads_before = thread_count();
    std::atomic<bool> all_once{true};
    auto caller = [&all_once] {
        for (int loop = 0; loop < 200; ++loop) {
            std::vector<std::atomic<int>> hits(50);
            for_each_series(hits.size(), true, [&](std::size_t s) { hits[s].fetch_add(1); });
            for (const auto& hit : hits) {
                if (hit.load() != 1) {
                    all_once = false;
                }
            }
        }
    };
    std::thread first(caller);
    std::thread second(caller);
    first.join();
    second.join();
    CHECK(all_once.load());
    CHECK(thread_count_settled_at(threads_before) == threads_before);
}

// A forked child has none of the parent's workers; its first parallel loop
// must build a pool of its own, and the parent's pool must keep working.
void test_fork_builds_new_pool() {
    if (!fork_supported) {
        return;
    }
    const std::size_t parent_threads = thread_count();
    const int failures_before_fork = tarnwold_test::failure_count();
    const pid_t child = fork();
    if (child == 0) {
        const std::size_t before = thread_count();
        check_loop_runs_each_series_once(200);
        const bool ok = tarnwold_test::failure_count() == failures_before_fork &&
                        thread_count() == before + worker_pool_size();
        _exit(ok ? 0 : 1);
    }
    CHECK(child > 0);
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    check_loop_runs_each_series_once(200);
    CHECK(thread_count_settled_at(parent_threads) == parent_threads);
}

// fork() while other threads keep taking the locks of the scratch cache and
// of the pool lookup: a child must never start with one of them held by a
// thread it does not have. A child that hangs is killed after ten seconds,
// and the first such child ends the test.
void test_fork_while_threads_hold_locks() {
    if (!fork_amid_allocations_supported) {
        return;
    }
    std::atomic<bool> stop{false};
    const auto take_and_give = [&] {
        while (!stop) {
            tarnwold::Scratch<double> buffer(64);
            buffer[0] = 1;
        }
    };
    const auto look_up_pool = [&] {
        while (!stop) {
            tarnwold::for_each_series_range(1, true, [](std::size_t, std::size_t) {});
        }
    };
    std::thread scratch_user(take_and_give);
    std::thread pool_user(look_up_pool);
    int hung = 0;
    int failed = 0;
    const int failures_before_fork = tarnwold_test::failure_count();
    for (int round = 0; round < 200 && hung == 0; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            tarnwold::Scratch<double> buffer(64);
            buffer[0] = 1;
            check_loop_runs_each_series_once(8);
            _exit(tarnwold_test::failure_count() == failures_before_fork ? 0 : 1);
        }
        int status = 0;
        pid_t done = 0;
        for (int wait = 0; wait < 10000 && (done = waitpid(child, &status, WNOHANG)) == 0; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (done == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ++hung;
        } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            ++failed;
        }
    }
    stop = true;
    scratch_user.join();
    pool_user.join();
    CHECK(hung == 0);
    CHECK(failed == 0);
}

}  // namespace

// Scratch of every size taken and released by the workers at once: each
// buffer is whole and private to its range (filled and read back), a
// released buffer is handed out again, and what stays cached between loops
// is bounded for the whole process, however many threads released blocks.
void test_scratch_cache_is_shared_and_bounded() {
    constexpr std::size_t bound = std::size_t{8} << 20;
    const std::vector<std::size_t> counts{1, 700, 9000, 40000, 300000, 3000000};
    std::atomic<int> corrupted{0};
    for (int loop = 0; loop < 20; ++loop) {
        tarnwold::for_each_series_range(64, true, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t s = lo; s < hi; ++s) {
                tarnwold::Scratch<double> buffer(counts[(s + loop) % counts.size()]);
                for (std::size_t i = 0; i < buffer.size(); i += 97) {
                    buffer[i] = static_cast<double>(s + i);
                }
                std::this_thread::yield();
                for (std::size_t i = 0; i < buffer.size(); i += 97) {
                    corrupted += buffer[i] != static_cast<double>(s + i);
                }
            }
        });
        CHECK(tarnwold::scratch_cache::kept_bytes() <= bound);
    }
    CHECK(corrupted == 0);
    CHECK(tarnwold::scratch_cache::kept_bytes() > 0);
    // Larger than the whole cache: straight back to the system.
    const std::size_t kept = tarnwold::scratch_cache::kept_bytes();
    { tarnwold::Scratch<char> huge(bound + 1); }
    CHECK(tarnwold::scratch_cache::kept_bytes() == kept);
    // A released block serves the next request of its size.
    { tarnwold::Scratch<double> buffer(100000); }
    const std::size_t with_block = tarnwold::scratch_cache::kept_bytes();
    tarnwold::Scratch<double> again(100000);
    CHECK(tarnwold::scratch_cache::kept_bytes() < with_block);
}

int main() {
    // More workers than this machine may have cores, so that taking over
    // really happens; an explicit setting from outside is kept.
    setenv("RAYON_NUM_THREADS", "4", 0);

    test_pool_size_rule();
    test_sequential_loops_leave_pool_alone();
    test_first_parallel_loop_starts_pool();
    test_many_loops_run_each_series_once();
    test_loops_arriving_as_workers_fall_asleep();
    test_ranges_in_grains();
    test_slow_series_spread_over_workers();
    test_failure_returns_after_everything_settled();
    test_random_loops_with_failures();
    test_nested_loops();
    test_concurrent_callers();
    test_fork_builds_new_pool();
    test_fork_while_threads_hold_locks();
    test_scratch_cache_is_shared_and_bounded();
    return tarnwold_test::check_summary();
}
