// A minimal test harness: CHECK records a failure and goes on, the test's
// main returns check_summary(), non-zero when anything failed.
#pragma once

#include <cstdio>

namespace tarnwold_test {

inline int& failure_count() {
    static int count = 0;
    return count;
}

inline int check_summary() {
    if (failure_count() != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failure_count());
        return 1;
    }
    return 0;
}

// Whether call() throws an exception of type E.
template <class E, class Call>
bool throws(Call call) {
    try {
        call();
    } catch (const E&) {
        return true;
    }
    return false;
}

}  // namespace tarnwold_test

#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            ++tarnwold_test::failure_count();                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                                      \
    } while (0)
